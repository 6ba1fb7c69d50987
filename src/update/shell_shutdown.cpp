#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "log/log.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "text/text.h"
#include "update/run_context.h"
#include "update/update_dialog.h"
#include "utils/utils.h"

namespace {

constexpr const char* kRerunnerStopEvent = "RERUNNER_STOP";
constexpr const char* kShellWindowClass = "QUENBYSHELLCLASS";
constexpr std::string_view kShellExe = "tavimon.exe";
constexpr uint32_t kWmDestroy = 2;
constexpr uint32_t kShellProcessAccess = platform::kSynchronize | platform::kProcessTerminate;
constexpr int kShutdownPolls = 10;
constexpr uint32_t kPollMs = 1000;

constexpr const char* kUserDataFolder = "\\Flash disk2\\Documents and Settings";
constexpr const char* kCleanMePath = "\\Flash disk2\\clean.me";
constexpr const char* kCacheFile = "\\cache.bin";

constexpr std::array<std::string_view, 4> kFontExtensions = {".ttf", ".ttc", ".fon", ".fnt"};

bool IsFolder(const platform::FindEntry& entry) {
  return (entry.attributes & platform::kAttributeDirectory) != 0;
}

bool IsDotEntry(std::string_view name) { return name == "." || name == ".."; }

// A name longer than its extension alone whose last four characters name a font file.
bool IsFontFile(std::string_view name) {
  if (text::Utf16Length(name) <= 4) return false;
  const std::string_view tail = name.substr(name.size() - 4);
  for (const std::string_view extension : kFontExtensions) {
    if (text::EqualsNoCase(tail, extension)) return true;
  }
  return false;
}

// The snapshot's name compared over the 11 characters of "tavimon.exe" only, so a longer name
// that begins with it ("tavimon.exe.old") counts as the shell too.
bool IsShellName(std::string_view exeFile) {
  const std::u16string name = text::ToUtf16(exeFile);
  const std::u16string shell = text::ToUtf16(kShellExe);
  if (name.size() < shell.size()) return false;
  for (std::size_t i = 0; i < shell.size(); ++i) {
    if (text::FoldCase(name[i]) != text::FoldCase(shell[i])) return false;
  }
  return true;
}

void DebugLastError(std::string_view format) {
  platform::Kern().DebugOutput(text::Sprintf(format, platform::GetLastError()));
}

}  // namespace

bool CUpdateDialog::CheckTavimonShutdown() {
  auto& kernel = platform::Kern();
  const platform::Handle stop = kernel.CreateEvent(kRerunnerStopEvent, false, false);
  if (stop != platform::kNullHandle) {
    kernel.SetEvent(stop);
    kernel.CloseHandle(stop);
  }
  g_pUtils->Wait(kPollMs);

  if (GetTavimonProcessID() != 0) {
    LogAt(1, "CheckTavimonShutdown shell running... shutting down\r\n");
    const platform::Handle window = platform::Ui().FindWindow(kShellWindowClass, "");
    if (window != platform::kNullHandle) platform::Ui().SendMessage(window, kWmDestroy, 0, 0);
  }
  for (int poll = 0; poll < kShutdownPolls && GetTavimonProcessID() != 0; ++poll) {
    LogAt(1, "CheckTavimonShutdown shell waiting for shutdown\r\n");
    g_pUtils->Wait(kPollMs);
  }
  if (GetTavimonProcessID() != 0) {
    LogAt(1, "CheckTavimonShutdown shell still running !! terminating!\r\n");
    const platform::Handle process = kernel.OpenProcess(kShellProcessAccess, GetTavimonProcessID());
    if (process == platform::kNullHandle) {
      LogAt(1, "CheckTavimonShutdown OpenProcess failed..\r\n");
    } else {
      kernel.TerminateProcess(process, 0);
      kernel.CloseHandle(process);
    }
  }
  LogAt(1, GetTavimonProcessID() == 0 ? "CheckTavimonShutdown shutdown complete\r\n"
                                      : "CheckTavimonShutdown shutdown failed!\r\n");

  // Whatever was logged, the shell counts as stopped once its files are free.
  RemoveFonts("\\flash disk", true);
  return RemoveFonts("\\flash disk2", true) && CheckFilesUnlocked("\\flash disk2", "*.exe", true) &&
         CheckFilesUnlocked("\\flash disk2", "*.dll", true) &&
         CheckFilesUnlocked("\\flash disk2", "*.ttf", true);
}

uint32_t CUpdateDialog::GetTavimonProcessID() {
  auto& kernel = platform::Kern();
  const platform::Handle snapshot = kernel.CreateProcessSnapshot();
  if (snapshot == platform::kInvalidHandle) {
    LogAt(1, "GetTavimonProcessID failed , unable to take process snapshot %u\r\n",
          platform::GetLastError());
    return 0;
  }
  uint32_t processId = 0;
  platform::ProcessEntry entry;
  // The first entry is the kernel's own process.
  if (kernel.ProcessAt(snapshot, 0, &entry)) {
    for (uint32_t index = 1; kernel.ProcessAt(snapshot, index, &entry); ++index) {
      if (IsShellName(entry.exeFile)) {
        processId = entry.processId;
        break;
      }
    }
  }
  // A snapshot holds a copy of the whole process list; it is closed on a match as well.
  if (!kernel.CloseSnapshot(snapshot)) {
    LogAt(1,
          "GetTavimonProcessID Call to UpdateSnapshot/CloseToolhelp32Snapshot() failed, code "
          "%d\r\n",
          platform::GetLastError());
  }
  return processId;
}

bool CUpdateDialog::RemoveFonts(std::string_view folder, bool recursive) {
  std::vector<platform::FindEntry> entries;
  if (!platform::Fs().FindAll(text::Sprintf("%s\\*.*", folder), &entries)) {
    DebugLastError("GetLastError %d\r\n");
    return true;
  }
  for (const platform::FindEntry& entry : entries) {
    const std::string path = text::Sprintf("%s\\%s", folder, entry.name);
    if (IsFolder(entry)) {
      if (recursive && !IsDotEntry(entry.name)) RemoveFonts(path, recursive);
    } else if (IsFontFile(entry.name)) {
      // A font that nobody loaded cannot be unloaded; that is no failure here.
      platform::Ui().RemoveFontResource(path);
    }
  }
  return true;
}

bool CUpdateDialog::CheckFilesUnlocked(std::string_view folder, std::string_view pattern,
                                       bool recursive) {
  auto& fs = platform::Fs();
  std::vector<platform::FindEntry> entries;
  if (!fs.FindAll(text::Sprintf("%s\\%s", folder, pattern), &entries)) {
    DebugLastError("GetLastError %d\r\n");
    entries.clear();
  }
  for (const platform::FindEntry& entry : entries) {
    if (IsFolder(entry)) continue;
    const platform::Handle file = fs.Open(
        text::Sprintf("%s\\%s", folder, entry.name), platform::kGenericWrite, platform::kShareNone,
        platform::Disposition::kOpenExisting, platform::kAttributeNormal);
    if (file == platform::kInvalidHandle) return false;
    fs.Close(file);
  }
  if (!recursive) return true;
  // Programs in every subfolder must be free, not only in folders whose names match the
  // pattern: a locked one found later would fail the update half done.
  std::vector<platform::FindEntry> folders;
  if (!fs.FindAll(text::Sprintf("%s\\*.*", folder), &folders)) return true;
  for (const platform::FindEntry& entry : folders) {
    if (!IsFolder(entry) || IsDotEntry(entry.name)) continue;
    if (!CheckFilesUnlocked(text::Sprintf("%s\\%s", folder, entry.name), pattern, recursive)) {
      return false;
    }
  }
  return true;
}

bool CUpdateDialog::DeleteMatching(std::string_view folder, std::string_view pattern) {
  auto& fs = platform::Fs();
  std::string base(folder);
  if (base.empty() || base.back() != '\\') base += '\\';
  std::vector<platform::FindEntry> entries;
  if (!fs.FindAll(base + std::string(pattern), &entries)) {
    DebugLastError("Deltree GetLastError %d\r\n");
    return true;
  }
  for (const platform::FindEntry& entry : entries) {
    const std::string path = base + entry.name;
    if (IsFolder(entry)) {
      if (IsDotEntry(entry.name)) continue;
      DeleteMatching(path, "*.*");
      fs.SetAttributes(path, entry.attributes & ~platform::kAttributeReadOnly);
      if (!fs.RemoveFolder(path)) {
        platform::Kern().DebugOutput(
            text::Sprintf("Deltree RemoveDirectory failed with %s%s\r\n", base, entry.name));
      }
      continue;
    }
    fs.SetAttributes(path, entry.attributes & ~platform::kAttributeReadOnly);
    if (!fs.Delete(path)) {
      platform::Kern().DebugOutput(
          text::Sprintf("Deltree Deltree failed with %s%s\r\n", base, entry.name));
    }
  }
  return true;
}

void CUpdateDialog::CleanUserData() {
  if (CUtils::FileExists(kCleanMePath)) DeleteMatching("\\Flash disk2", "clean.me");
  auto& fs = platform::Fs();
  fs.SetAttributes(kUserDataFolder, platform::kAttributeNormal);
  // Without a documents folder there is nothing to set aside.
  fs.Move(kUserDataFolder, kCleanMePath);
}

void CUpdateDialog::DeleteTempFiles() {
  auto& fs = platform::Fs();
  const std::string& settingsPath = m_run.m_state.m_strSettingsPath;
  if (!settingsPath.empty() && CUtils::FileExists(settingsPath)) fs.Delete(settingsPath);
  if (CUtils::FileExists(kCacheFile)) fs.Delete(kCacheFile);
}
