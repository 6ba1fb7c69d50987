#include "utils/utils.h"

#include <cstdint>
#include <vector>

#include "log/log.h"
#include "platform/platform.h"
#include "text/text.h"
#include "ui/controls.h"
#include "ui/dialog.h"
#include "ui/message.h"
#include "ui/message_queue.h"

CUtils* g_pUtils = nullptr;

std::string FormatErrorText(const std::string& message) {
  std::string cut = text::TruncateToUnits(message, kMessageBufferUnits);
  if (g_pUtils != nullptr) g_pUtils->m_szErrorText = cut;
  return cut;
}

void LogAppError(int32_t number, std::string_view message, std::string_view operation) {
  static constexpr const char* kRule = "LogAppError: ERROR #################################";
  LogAt(1, kRule);
  LogAt(1, "LogAppError: Error Number [%ld] in Function [%s]", number, operation);
  LogAt(1, "LogAppError: Error [%s]", message);
  LogAt(1, kRule);
  if (g_pUtils != nullptr) {
    g_pUtils->m_lastError = {number, std::string(message), std::string(operation)};
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
        LogAppError(1023,
                    FormatErrorText(text::Sprintf("DeleteFile failed with %s%s", base, entry.name)),
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

namespace {

constexpr int kVersionSlots = 5;

bool IsWhiteSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::string_view TrimWhiteSpace(std::string_view s) {
  while (!s.empty() && IsWhiteSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsWhiteSpace(s.back())) s.remove_suffix(1);
  return s;
}

// The runtime library's string-to-integer conversion: leading blanks, an optional sign, then
// digits; 0 without digits. A value past the 32-bit range is held at its limit.
int32_t ToInteger(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && IsWhiteSpace(s[i])) ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
  int64_t value = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    value = value * 10 + (s[i] - '0');
    if (value > INT32_MAX) value = int64_t{INT32_MAX} + 1;  // keep it bounded
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

// Walks the dot-separated components of a version text.
class VersionReader {
 public:
  explicit VersionReader(std::string_view text) : m_text(text) {}
  bool HasMore() const { return m_more; }
  int32_t Next() {
    const int32_t value = ToInteger(m_text.substr(m_position));
    // The next component starts after the next dot from the character after this one.
    const std::size_t dot = m_text.find('.', m_position + 1);
    if (dot == std::string_view::npos) {
      m_more = false;
    } else {
      m_position = dot + 1;
    }
    return value;
  }

 private:
  std::string_view m_text;
  std::size_t m_position = 0;
  bool m_more = true;
};

}  // namespace

bool CUtils::IsVersionNewer(std::string_view current, std::string_view newVersion) {
  LogAt(2, "CUtils::IsVersionNewer:InCur:[%s] InNew:[%s]", current, newVersion);
  if (current.empty()) return true;
  if (newVersion.empty()) return false;
  VersionReader cur(TrimWhiteSpace(current));
  VersionReader next(TrimWhiteSpace(newVersion));
  int32_t curSlots[kVersionSlots] = {};
  int32_t newSlots[kVersionSlots] = {};
  // Alternating passes: the current version may give one component more than the new one.
  for (int slot = 0; slot < kVersionSlots && cur.HasMore(); ++slot) {
    curSlots[slot] = cur.Next();
    if (!next.HasMore()) break;
    newSlots[slot] = next.Next();
  }
  std::string curText;
  std::string newText;
  for (int slot = 0; slot < kVersionSlots; ++slot) {
    curText += text::Sprintf("%06d", curSlots[slot]);
    newText += text::Sprintf("%06d", newSlots[slot]);
  }
  const bool newer = IsGreater(newText, curText);
  LogAt(2, "CUtils::IsVersionNewer:Cur:[%s]", curText);
  LogAt(2, "CUtils::IsVersionNewer:New:[%s]", newText);
  LogAt(2, "CUtils::IsVersionNewer:Result:[%d]", newer ? 1 : 0);
  return newer;
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
