// Helpers of the desktop-link tests and the channel benchmark: packages made with the
// project's writer, the updater's log read back, a terminal in real time, and the
// `vostrel desktop serve` command run as a child process.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/terminal.h"
#include "support/package_builder.h"
#include "update/run_context.h"

namespace desktop_testing {

// The updater's log on the terminal.
inline constexpr const char* kLog = "\\Flash disk2\\Vostrel.log";

using testing_support::BuildPackage;
using testing_support::PackageMember;
// count pseudo-random bytes, the same for the same seed.
std::string RandomBytes(std::size_t count, uint32_t seed);

// The entries of the updater's log, without their times and the date lines.
std::vector<std::string> LogEntries(const std::string& logText);

struct LoggedError {
  int32_t number = 0;
  std::string function;
  std::string message;
  bool operator==(const LoggedError&) const = default;
};
// The errors that LogAppError wrote into the log, in order.
std::vector<LoggedError> LoggedErrors(const std::string& logText);
// Prints as "1039 CFileSemaphore::ActiveSyncFileReadCache: Not enough ..." in test failures.
void PrintTo(const LoggedError& error, std::ostream* out);

// What a scripted desktop does with one request.
struct Reply {
  enum class Kind {
    kAnswer,     // writes the response (and the cache) and its flag
    kLookingNo,  // leaves looking.no instead
    kNothing,    // takes the request and says nothing
  };
  Kind kind = Kind::kAnswer;
  std::string response = {};  // the bytes of tohht.txt
  // Written into cache.bin before the response; a folder named cache.bin instead when set.
  std::optional<std::string> cache = {};
  bool cacheAsFolder = false;
  // The response flag stays held open without sharing this long.
  uint64_t holdFlagMs = 0;
};

struct SeenRequest {
  std::string data;  // fromhht.txt
  std::string flag;  // fromhht.ok
  uint64_t time = 0;
};

// A desktop that answers the terminal's requests as scripted, in the terminal's virtual time,
// as a thread of the desktop's process, and keeps what the terminal wrote: a desktop
// independent of the one the tools ship, byte for byte under the test's control.
class ScriptedDesktop {
 public:
  ScriptedDesktop(sim::Terminal& terminal, std::vector<Reply> replies);
  // Ends the desktop's process.
  ~ScriptedDesktop();
  ScriptedDesktop(const ScriptedDesktop&) = delete;
  ScriptedDesktop& operator=(const ScriptedDesktop&) = delete;

  const std::vector<SeenRequest>& Seen() const { return m_seen; }
  // When the last held flag was let go.
  uint64_t ReleasedAt() const { return m_releasedAt; }

 private:
  void Serve();

  sim::Terminal& m_terminal;
  std::vector<Reply> m_replies;
  std::vector<SeenRequest> m_seen;
  uint64_t m_releasedAt = 0;
};

// A simulated terminal on the host clock, installed as the platform, with the calling thread
// as the updater's main thread and the updater's objects created (log at level 3).
class RealtimeTerminal {
 public:
  // Creates it in folder `dir` (which must not exist yet); check Error() afterwards.
  explicit RealtimeTerminal(const std::filesystem::path& dir);
  ~RealtimeTerminal();
  RealtimeTerminal(const RealtimeTerminal&) = delete;
  RealtimeTerminal& operator=(const RealtimeTerminal&) = delete;

  const std::string& Error() const { return m_error; }
  sim::Terminal& Term() { return *m_terminal; }
  // The run's context, its log set up at level 3.
  CRunContext& Context() { return *m_run; }
  // The host folder of the terminal's root.
  std::filesystem::path Root() const;

 private:
  std::unique_ptr<sim::Terminal> m_terminal;
  std::unique_ptr<CRunContext> m_run;
  std::string m_error;
};

// `vostrel desktop serve ...` as a child process, its output going to a file. Should the child
// end before Finish, a watcher leaves abort.me in the root folder, so that the terminal's waits
// end instead of lasting for ever.
class ServeChild {
 public:
  ServeChild(const std::string& binary, const std::vector<std::string>& arguments,
             std::filesystem::path root, std::filesystem::path output);
  // Kills the child when it still runs.
  ~ServeChild();
  ServeChild(const ServeChild&) = delete;
  ServeChild& operator=(const ServeChild&) = delete;

  bool Started() const { return m_pid > 0; }
  // Waits for the child to end: its exit code, or -1 when a signal ended it.
  int Finish();
  std::string Output() const;

 private:
  pid_t m_pid = -1;
  std::filesystem::path m_root;
  std::filesystem::path m_output;
  std::thread m_watcher;
  std::mutex m_mutex;
  bool m_exited = false;
  int m_status = 0;
};

}  // namespace desktop_testing
