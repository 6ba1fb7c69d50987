// The updater's log file and its debug levels.
//
// Every part of the updater logs through g_pLog with CLog::Write(enable, text), where enable is
// GetDebugLevel() >= N: 1 for errors, 2 for progress, 3 for details. Each entry also goes to the
// kernel debug output, prefixed "LOG:". The run's log holds the run's debug level and the shared
// buffer in which texts are formatted.
#pragma once

#include <string>
#include <string_view>

#include "platform/types.h"
#include "text/text.h"

class CLog {
 public:
  CLog() = default;
  CLog(const CLog&) = delete;
  CLog& operator=(const CLog&) = delete;
  // Leaves a batch file open, as the terminal's log does; callers close their batches.
  ~CLog() = default;

  // Sets the log up as "\" + name: rotates an existing file to "<path>.old" and starts the
  // file afresh with its header. Does nothing when enable is false.
  void Setup(bool enable, std::string_view name, bool dateOnEachLine);

  // Appends one entry (open, write, close). A null text writes an empty line. When the file
  // cannot be opened the entry is lost silently.
  void Write(bool enable, const char* text);
  void Write(bool enable, const std::string& text) { Write(enable, text.c_str()); }

  // Batch mode: keep the file open across many entries.
  void Open(bool enable);
  void WriteOpen(bool enable, const char* text);
  void WriteOpen(bool enable, const std::string& text) { WriteOpen(enable, text.c_str()); }
  void Close(bool enable);

  // Deletes the log file and its ".old" copy where they exist.
  void DeleteLogFiles();
  // Deletes "\" + name when it exists.
  static void DeleteFileIfExists(std::string_view name);
  // True when a find-first-file search on the path finds an entry.
  static bool FileExists(std::string_view path);

  const std::string& Path() const { return m_path; }

  // The debug level (1 errors, 2 progress, 3 details) that gates what reaches this log.
  int DebugLevel() const { return m_nDebugLevel; }
  void SetDebugLevel(int level) { m_nDebugLevel = level; }
  // The shared message buffer (1024 UTF-16 units with terminator): the last text formatted.
  const std::string& Text() const { return m_szLogText; }
  // Cuts a formatted text to the buffer's size, keeps it there and returns it.
  const std::string& KeepText(std::string text);

 private:
  void WriteHeader(platform::Handle stream);
  void WriteEntry(platform::Handle stream, const char* text);
  const std::string& GetDate();
  const std::string& GetTime();

  std::string m_path;
  std::string m_lastDate;
  bool m_dateOnEachLine = false;
  std::string m_date;
  std::string m_time;
  platform::Handle m_batchFile = platform::kNullHandle;
  int m_nDebugLevel = 1;
  std::string m_szLogText;
};

// The run's log; it lives in the run's context and is null outside a run.
extern CLog* g_pLog;

// The run's debug level; 1 outside a run.
int GetDebugLevel();
// Sets the run's level from the marker files: detailed (3), progress (2), error (1), the first
// that exists; leaves it unchanged when none does.
void ReadDebugLevel();

inline constexpr std::size_t kMessageBufferUnits = 1024;

// Formats a text cut to the message buffer's size, keeps it in the run's buffer and returns it.
template <typename... Args>
std::string FormatLogText(std::string_view format, const Args&... args) {
  std::string formatted =
      text::TruncateToUnits(text::Sprintf(format, args...), kMessageBufferUnits);
  if (g_pLog != nullptr) g_pLog->KeepText(formatted);
  return formatted;
}

// The calling convention of the whole program: format the text and write it to g_pLog when the
// debug level is at least `level`.
template <typename... Args>
void LogAt(int level, std::string_view format, const Args&... args) {
  if (g_pLog == nullptr || GetDebugLevel() < level) return;
  g_pLog->Write(true, FormatLogText(format, args...));
}

// Sends a formatted text to the kernel debug output when the debug level is at least `level`.
void DebugAt(int level, const std::string& text);
