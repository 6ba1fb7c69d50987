// Utilities shared by the whole updater: the error reporter, existence tests, path joins,
// string comparison, the recursive delete, the message-pumping wait and the progress bar.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "text/text.h"

namespace ui {
class ProgressCtrl;
}

// Reports an error: four lines in the log at level 1, and the last-error record of the
// settings (which the failed screen shows).
void LogAppError(int32_t number, std::string_view message, std::string_view operation);

// The shared buffer (1024 UTF-16 units with terminator) in which error messages are formatted.
extern std::string g_szErrorText;

// Formats into g_szErrorText, cut to the buffer's size, and returns it.
const std::string& FormatErrorText(const std::string& message);

// Formats an error message into g_szErrorText and reports it with LogAppError.
template <typename... Args>
void ReportError(int32_t number, std::string_view operation, std::string_view format,
                 const Args&... args) {
  LogAppError(number, FormatErrorText(text::Sprintf(format, args...)), operation);
}

class CUtils {
 public:
  CUtils() = default;

  // Deletes the entries of directory that match pattern (every entry when empty), folders with
  // their contents, then removes directory itself. Failures are reported and skipped; always
  // true.
  bool Deltree(std::string_view directory, std::string_view pattern);
  // True when a find-first-file search on the path (wildcards allowed) finds an entry.
  static bool FileExists(std::string_view path);
  // Directory and name with one backslash between them.
  static std::string PathJoin(std::string_view directory, std::string_view name);
  // The name itself when it begins with a backslash, else PathJoin.
  static std::string PathJoinLeaf(std::string_view directory, std::string_view name);
  static bool IsEqual(std::string_view a, std::string_view b);
  // Compares UTF-16 code units: true when a is greater at the first difference.
  static bool IsGreater(std::string_view a, std::string_view b);
  // True when newVersion is newer than current. Up to five dot-separated numbers are read from
  // the two in alternating passes, each widened to six digits, and the texts compared.
  static bool IsVersionNewer(std::string_view current, std::string_view newVersion);
  // The program's folder with its trailing backslash.
  static std::string GetAppDirectory();
  // Waits (only the low 16 bits of the milliseconds count) while dispatching window messages.
  void Wait(uint32_t milliseconds);
  void SetProgressCtrl(ui::ProgressCtrl* control) { m_progress = control; }
  // Moves the main dialog's progress bar; nothing when no control is set.
  void SetProgress(int position);

 private:
  ui::ProgressCtrl* m_progress = nullptr;
};

extern CUtils* g_pUtils;

// The name itself when a file of that name exists, else the name in the program's folder.
std::string ResolveFilePath(std::string_view name);

// Deletes the utilities and clears the error buffer, as at program start.
void ResetUtilsState();
