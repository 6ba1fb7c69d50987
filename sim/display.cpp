#include "sim/display.h"

#include <dlfcn.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <system_error>
#include <utility>

#include "app/resources.h"
#include "sim/gui.h"
#include "text/text.h"

namespace sim {

namespace {

constexpr const char* kModuleName = "libvostrel_display.so";
using OpenDisplayFunction = Display* (*)(BitmapLookup, std::string*);

// Where the module lies: named by VOSTREL_DISPLAY_MODULE, beside the running program or one
// folder up (the tests live in build/tests, the module in build/), or on the library path.
std::vector<std::string> ModuleCandidates() {
  std::vector<std::string> candidates;
  if (const char* named = std::getenv("VOSTREL_DISPLAY_MODULE")) candidates.emplace_back(named);
  std::error_code error;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) {
    candidates.push_back((self.parent_path() / kModuleName).string());
    candidates.push_back((self.parent_path().parent_path() / kModuleName).string());
  }
  candidates.emplace_back(kModuleName);
  return candidates;
}

}  // namespace

Result<void*> RendererFunction(const char* name) {
  // The module stays loaded for the rest of the process: displays may outlive any one caller.
  static std::mutex loading;
  static void* module = nullptr;
  std::lock_guard lock(loading);
  std::string tried;
  for (const std::string& candidate : ModuleCandidates()) {
    if (module != nullptr) break;
    module = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (module == nullptr) tried += "\n  " + candidate + ": " + ::dlerror();
  }
  if (module == nullptr)
    return Result<void*>::Failure("the screen renderer cannot be loaded:" + tried);
  void* function = ::dlsym(module, name);
  if (function == nullptr) {
    return Result<void*>::Failure(std::string("the screen renderer: ") + ::dlerror());
  }
  return function;
}

Result<std::unique_ptr<Display>> Display::Open() {
  using Opened = Result<std::unique_ptr<Display>>;
  auto function = RendererFunction("VostrelOpenDisplay");
  if (!function) return Opened::Failure(function.error());
  auto open = reinterpret_cast<OpenDisplayFunction>(*function);
  std::string error;
  Display* display = open(&FindBitmapResource, &error);
  if (display == nullptr) return Opened::Failure(error);
  return std::unique_ptr<Display>(display);
}

ScreenRecorder::ScreenRecorder(SimGui& gui, std::filesystem::path dir,
                               std::unique_ptr<Display> display)
    : m_gui(gui),
      m_dir(std::move(dir)),
      m_display(std::move(display)),
      m_traceSize(gui.Trace().size()) {
  m_sink =
      m_gui.AddFrameSink([this](uint64_t, const platform::ScreenFrame& frame) { OnFrame(frame); });
}

ScreenRecorder::~ScreenRecorder() { m_gui.RemoveFrameSink(m_sink); }

Result<std::unique_ptr<ScreenRecorder>> ScreenRecorder::Start(SimGui& gui,
                                                              const std::filesystem::path& dir) {
  using Started = Result<std::unique_ptr<ScreenRecorder>>;
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  if (error) return Started::Failure(dir.string() + ": " + error.message());
  auto display = Display::Open();
  if (!display) return Started::Failure(display.error());
  return std::unique_ptr<ScreenRecorder>(new ScreenRecorder(gui, dir, std::move(*display)));
}

void ScreenRecorder::OnFrame(const platform::ScreenFrame& frame) {
  const std::vector<TraceEntry>& trace = m_gui.Trace();
  if (trace.size() == m_traceSize) return;
  m_traceSize = trace.size();
  const std::filesystem::path file =
      m_dir / text::Sprintf("%04d-screen%02d.png", static_cast<int>(m_files.size()) + 1,
                            trace.back().screen);
  if (Status saved = m_display->SavePng(frame, file); !saved) {
    if (m_written) m_written = saved;
    return;
  }
  m_files.push_back(file);
}

}  // namespace sim
