#include "script/utils.h"

#include <vector>

#include "log/log.h"
#include "log/text.h"
#include "platform/platform.h"
#include "ui/controls.h"
#include "ui/message.h"
#include "ui/message_queue.h"
#include "update/settings.h"

CUtils* g_pUtils = nullptr;
std::string g_szErrorText;

const std::string& FormatErrorText(const std::string& message) {
  g_szErrorText = text::TruncateToUnits(message, kMessageBufferUnits);
  return g_szErrorText;
}

void LogAppError(int32_t number, std::string_view message, std::string_view operation) {
  static constexpr const char* kRule = "LogAppError: ERROR #################################";
  LogAt(1, kRule);
  LogAt(1, "LogAppError: Error Number [%ld] in Function [%s]", number, operation);
  LogAt(1, "LogAppError: Error [%s]", message);
  LogAt(1, kRule);
  if (g_pSettings != nullptr) {
    g_pSettings->m_nLastError = number;
    g_pSettings->m_strLastError = std::string(message);
    g_pSettings->m_strLastErrorFunction = std::string(operation);
  }
}

bool CUtils::Deltree(std::string_view directory, std::string_view pattern) {
  const std::string base = std::string(directory) + "\\";
  const std::string search = base + std::string(pattern.empty() ? "*.*" : pattern);
  auto& fs = platform::Fs();
  std::vector<platform::FindEntry> entries;
  const bool found = fs.FindAll(search, &entries);
  LogAt(2, "CUtils::Deltree: Deltree Processing %s", directory);
  if (found) {
    for (const auto& entry : entries) {
      if ((entry.attributes & platform::kAttributeDirectory) != 0) {
        if (entry.name != "." && entry.name != "..") Deltree(base + entry.name, "*.*");
        continue;
      }
      const std::string path = base + entry.name;
      fs.SetAttributes(path, entry.attributes & ~platform::kAttributeReadOnly);
      if (!fs.Delete(path)) {
        LogAppError(1023, FormatErrorText(text::Sprintf("DeleteFile failed with %s%s", base,
                                                        entry.name)),
                    "CUtils::Deltree:");
      }
    }
  }
  const uint32_t attributes = fs.GetAttributes(directory);
  if (attributes != platform::kInvalidValue) {
    fs.SetAttributes(directory, attributes & ~platform::kAttributeReadOnly);
  }
  if (!fs.RemoveFolder(directory)) {
    LogAppError(1024, FormatErrorText(text::Sprintf("RemoveDirectory failed on %s", directory)),
                "CUtils::Deltree:");
  }
  return true;
}

bool CUtils::FileExists(std::string_view path) {
  std::vector<platform::FindEntry> entries;
  return platform::Fs().FindAll(path, &entries);
}

std::string CUtils::PathJoin(std::string_view directory, std::string_view name) {
  if (!directory.empty() && directory.back() == '\\') return text::Sprintf("%s%s", directory, name);
  return text::Sprintf("%s\\%s", directory, name);
}

std::string CUtils::PathJoinLeaf(std::string_view directory, std::string_view name) {
  if (!name.empty() && name.front() == '\\') return std::string(name);
  return PathJoin(directory, name);
}

bool CUtils::IsEqual(std::string_view a, std::string_view b) { return a == b; }

bool CUtils::IsGreater(std::string_view a, std::string_view b) {
  const std::u16string ua = text::ToUtf16(a);
  const std::u16string ub = text::ToUtf16(b);
  // Compared with their terminators, as the terminal's strings are: a shorter text is smaller.
  const std::size_t n = std::max(ua.size(), ub.size());
  for (std::size_t i = 0; i < n; ++i) {
    const char16_t x = i < ua.size() ? ua[i] : u'\0';
    const char16_t y = i < ub.size() ? ub[i] : u'\0';
    if (x != y) return x > y;
  }
  return false;
}

std::string CUtils::GetAppDirectory() {
  std::string path = platform::Kern().GetModuleFileName();
  const std::size_t slash = path.rfind('\\');
  path.resize(slash == std::string::npos ? 0 : slash + 1);
  return path;
}

void CUtils::Wait(uint32_t milliseconds) {
  const uint32_t span = milliseconds & 0xFFFF;
  auto& kernel = platform::Kern();
  const uint32_t start = kernel.GetTickCount();
  for (;;) {
    ui::PumpWaitingMessages();
    const uint32_t elapsed = kernel.GetTickCount() - start;
    if (elapsed >= span) return;
    ui::WaitMessage(span - elapsed);
  }
}

void CUtils::SetProgress(int position) {
  if (m_progress == nullptr) return;
  ui::DispatchMessage({m_progress, ui::kPbmSetPos, static_cast<uintptr_t>(position), 0});
}

std::string ResolveFilePath(std::string_view name) {
  if (CUtils::FileExists(name)) return std::string(name);
  return CUtils::PathJoin(CUtils::GetAppDirectory(), name);
}
