// VostrelHHT.exe: the updater as a Win32 program, on a terminal folder.
//
//   VostrelHHT.exe --terminal DIR [--keys "PLAY PLAY"] [--screens DIR] [--report FILE]
//                  [--fonts DIR] [ACTIVESYNC]
//
// What follows the options is the updater's own command line. Without --keys the updater waits
// for the window's keys (Enter is PLAY, Ctrl STOP, Shift <<); with them the run ends when it
// waits for a key and none is left, the terminal staying on its screen. The exit code is the
// outcome, as "vostrel sim run" gives it; 64 for a bad command line or terminal folder.
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "app/vostrel_app.h"
#include "sim/keys.h"
#include "sim/screen_trace.h"
#include "update/run_context.h"
#include "win32/terminal.h"
#include "win32/win_api.h"

namespace {

constexpr int kExitUsage = 64;
constexpr wchar_t kDefaultFonts[] = L"Z:\\usr\\share\\fonts\\truetype\\dejavu";

int Usage(const std::string& message) {
  std::fprintf(stderr, "VostrelHHT: %s\n", message.c_str());
  std::fprintf(stderr,
               "usage: VostrelHHT.exe --terminal DIR [--keys KEYS] [--screens DIR] [--report "
               "FILE] [--fonts DIR] [ACTIVESYNC]\n");
  return kExitUsage;
}

// The folder of the running program, where the stand-ins of the terminal's programs lie.
std::wstring ProgramFolder() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder = path;
  return folder.substr(0, folder.find_last_of(L"\\/"));
}

struct Outcome {
  int32_t lastError = 0;
  std::string lastErrorText;
  std::string lastErrorFunction;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::optional<std::filesystem::path> terminalDir;
  std::optional<std::filesystem::path> report;
  win32::Win32Gui::Options gui;
  gui.fontDir = kDefaultFonts;
  std::string commandLine;
  for (int i = 1; i < argc; ++i) {
    const std::string word = win32::Narrow(argv[i]);
    const bool hasValue = i + 1 < argc;
    if (word == "--terminal" && hasValue) {
      terminalDir = std::filesystem::path(argv[++i]);
    } else if (word == "--keys" && hasValue) {
      auto keys = sim::ParseKeys(win32::Narrow(argv[++i]));
      if (!keys) return Usage("--keys: " + keys.error());
      gui.keys = std::move(*keys);
    } else if (word == "--screens" && hasValue) {
      gui.screenshots = std::filesystem::path(argv[++i]);
    } else if (word == "--report" && hasValue) {
      report = std::filesystem::path(argv[++i]);
    } else if (word == "--fonts" && hasValue) {
      gui.fontDir = argv[++i];
    } else if (word.starts_with("--")) {
      return Usage("unknown option " + word);
    } else {
      commandLine += (commandLine.empty() ? "" : " ") + word;
    }
  }
  if (!terminalDir) return Usage("--terminal DIR is required");

  auto terminal = win32::Win32Terminal::Open(*terminalDir, ProgramFolder(), std::move(gui));
  if (!terminal) return Usage(terminal.error());
  if (sim::Status shown = (*terminal)->OpenScreen(); !shown) return Usage(shown.error());

  Outcome outcome;
  // The run's context goes however the run ends, a reboot or the end of the keys included.
  const RunObserver observe = [&outcome](const CRunContext& run) {
    const AppError& error = run.m_utils.LastError();
    outcome.lastError = error.m_nLastError;
    outcome.lastErrorText = error.m_strLastError;
    outcome.lastErrorFunction = error.m_strLastErrorFunction;
  };
  platform::Install((*terminal)->Backend());
  const char* end = "left";
  try {
    RunVostrelHHT(commandLine, observe);
  } catch (const win32::KeysRanOut&) {
    end = "keys ran out";
  } catch (const win32::Rebooted&) {
    end = "rebooted";
  }
  platform::Install({});
  if (std::string_view(end) == "rebooted") (*terminal)->Restart();

  std::vector<int> screens;
  for (const sim::TraceEntry& entry : (*terminal)->Gui().Trace()) {
    if (screens.empty() || screens.back() != entry.screen) screens.push_back(entry.screen);
  }
  const int finalScreen = screens.empty() ? 0 : screens.back();
  const int exitCode = sim::ExitCodeForScreen(finalScreen);
  std::printf("VostrelHHT: screens");
  for (const int screen : screens) std::printf(" %d", screen);
  std::printf("; %s; exit code %d\n", end, exitCode);
  if (report) {
    nlohmann::json shots = nlohmann::json::array();
    for (const auto& file : (*terminal)->Gui().Screenshots()) shots.push_back(file.string());
    const nlohmann::json json = {{"screens", screens},
                                 {"final_screen", finalScreen},
                                 {"end", end},
                                 {"exit_code", exitCode},
                                 {"screenshots", shots},
                                 {"last_error",
                                  {{"number", outcome.lastError},
                                   {"text", outcome.lastErrorText},
                                   {"function", outcome.lastErrorFunction}}}};
    std::ofstream(*report, std::ios::binary | std::ios::trunc) << json.dump(2) << "\n";
  }
  if (!(*terminal)->Gui().ScreenshotError().empty()) {
    std::fprintf(stderr, "VostrelHHT: %s\n", (*terminal)->Gui().ScreenshotError().c_str());
  }
  std::fflush(stdout);
  return exitCode;
}
