// Utilities shared by the whole updater: the error reporter, existence tests, path joins,
// string comparison, the recursive delete, the message-pumping wait and the progress bar. The
// run's utilities keep what the error reporter last reported.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "text/text.h"

namespace ui {
class ProgressCtrl;
}

// The last error that a run reported: its number, message and operation. The failed screen
// shows it.
struct AppError {
  int32_t m_nLastError = 0;
  std::string m_strLastError;
  std::string m_strLastErrorFunction;
};

// Reports an error: four lines in the log at level 1, and the run's last error.
void LogAppError(int32_t number, std::string_view message, std::string_view operation);

// Cuts a message to the error buffer's size, keeps it in the run's buffer and returns it.
std::string FormatErrorText(const std::string& message);

// Formats an error message into the run's error buffer and reports it with LogAppError.
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

  // The shared buffer (1024 UTF-16 units with terminator) of the last error message formatted.
  const std::string& ErrorText() const { return m_szErrorText; }
  // What LogAppError reported last in the run.
  const AppError& LastError() const { return m_lastError; }

 private:
  friend void LogAppError(int32_t number, std::string_view message, std::string_view operation);
  friend std::string FormatErrorText(const std::string& message);

  ui::ProgressCtrl* m_progress = nullptr;
  std::string m_szErrorText;
  AppError m_lastError;
};

// The run's utilities; they live in the run's context and are null outside a run.
extern CUtils* g_pUtils;

// The name itself when a file of that name exists, else the name in the program's folder.
std::string ResolveFilePath(std::string_view name);
