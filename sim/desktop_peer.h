// The desktop computer's side of the file-semaphore channel: it keeps the update package,
// prepares the terminal's root folder ("install.bin" holding only the container's header part,
// and "Vostrel.ini" taken out of the package), and answers the terminal's requests: member
// lengths, phase totals, and cache fills that copy a stretch of the stored container into
// "cache.bin". One implementation serves both ways: a folder of the host in real time (the
// vostrel desktop serve command), or a simulated terminal's file system in its virtual time
// (vostrel sim run --activesync --package), where it runs as a thread of its own process.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "package/container_format.h"
#include "platform/types.h"
#include "sim/desktop_config.h"
#include "sim/result.h"

namespace sim {

class Scheduler;
class SimFileSystem;

// Whether a file just written stays so that the terminal cannot delete it (until Release).
enum class Keep { kClosed, kHeld };

// The terminal's root folder as the desktop reaches it. Names are file names in that folder.
class PeerFolder {
 public:
  virtual ~PeerFolder() = default;
  virtual bool Exists(std::string_view name) = 0;
  // The whole file; false when it is missing or cannot be read now.
  virtual bool Read(std::string_view name, std::vector<uint8_t>* bytes) = 0;
  // Creates or replaces the file with the bytes, complete and closed (or held).
  virtual Status Write(std::string_view name, std::span<const uint8_t> bytes,
                       Keep keep = Keep::kClosed) = 0;
  // Deletes the file; a missing file is no failure.
  virtual Status Delete(std::string_view name) = 0;
  // Lets the terminal delete the file written with Keep::kHeld.
  virtual void Release() = 0;
  // Where the file lies on the host, so that the desktop never writes over the package it serves.
  virtual std::filesystem::path HostPathOf(std::string_view name) const = 0;
};

// A folder of the host. A held file has its write permission taken away, which the simulated
// terminal's file system treats as read-only: it cannot be deleted until it is given back.
class HostFolder final : public PeerFolder {
 public:
  explicit HostFolder(std::filesystem::path root) : m_root(std::move(root)) {}
  ~HostFolder() override { Release(); }
  bool Exists(std::string_view name) override;
  bool Read(std::string_view name, std::vector<uint8_t>* bytes) override;
  Status Write(std::string_view name, std::span<const uint8_t> bytes,
               Keep keep = Keep::kClosed) override;
  Status Delete(std::string_view name) override;
  void Release() override;
  std::filesystem::path HostPathOf(std::string_view name) const override { return Resolve(name); }

 private:
  // The entry's path: an existing one whose name matches without regard to case, else the name.
  std::filesystem::path Resolve(std::string_view name) const;

  std::filesystem::path m_root;
  std::optional<std::filesystem::path> m_held;
};

// The root folder of a simulated terminal, reached as the desktop process: the sharing rules
// hold, so the desktop cannot touch a file that the terminal holds open. A held file stays
// open without sharing.
class SimFolder final : public PeerFolder {
 public:
  explicit SimFolder(SimFileSystem& files) : m_files(files) {}
  ~SimFolder() override { Release(); }
  bool Exists(std::string_view name) override;
  bool Read(std::string_view name, std::vector<uint8_t>* bytes) override;
  Status Write(std::string_view name, std::span<const uint8_t> bytes,
               Keep keep = Keep::kClosed) override;
  Status Delete(std::string_view name) override;
  void Release() override;
  std::filesystem::path HostPathOf(std::string_view name) const override;

 private:
  SimFileSystem& m_files;
  platform::Handle m_held = platform::kNullHandle;
};

// The desktop's clock: milliseconds since some start, and a sleep.
class PeerClock {
 public:
  virtual ~PeerClock() = default;
  virtual uint64_t Now() = 0;
  virtual void Sleep(uint64_t milliseconds) = 0;
};

// The host's clock, counted from the object's creation.
class HostClock final : public PeerClock {
 public:
  HostClock();
  uint64_t Now() override;
  void Sleep(uint64_t milliseconds) override;

 private:
  int64_t m_start;
};

// A simulated terminal's clock; the sleep blocks the calling scheduler thread.
class SchedulerClock final : public PeerClock {
 public:
  explicit SchedulerClock(Scheduler& scheduler) : m_scheduler(scheduler) {}
  uint64_t Now() override;
  void Sleep(uint64_t milliseconds) override;

 private:
  Scheduler& m_scheduler;
};

class DesktopPeer {
 public:
  // How often the desktop looks for a request.
  static constexpr uint32_t kPollMilliseconds = 10;

  enum class End {
    kFinished,     // the terminal sent "Finished"
    kStopped,      // it stopped answering as its faults asked
    kInterrupted,  // the interrupt flag was set
    kFailed,       // a file could not be read or written (see Error)
  };

  // Opens the package and reads its header part and settings. Fails with a message when the
  // file cannot be read, is not a package, is too large for 32-bit offsets, or its checksum
  // fails (unless the configuration allows that, for a test of the terminal).
  static Result<std::unique_ptr<DesktopPeer>> Open(const std::filesystem::path& package,
                                                   const DesktopConfig& config);
  ~DesktopPeer();
  DesktopPeer(const DesktopPeer&) = delete;
  DesktopPeer& operator=(const DesktopPeer&) = delete;

  // Places "install.bin" (the header part) and "Vostrel.ini" in the root folder, and removes a
  // response or cache file left from before. Refuses, changing nothing, when either is the
  // package itself.
  Status Prepare(PeerFolder& folder, PeerClock& clock);
  // Answers requests until the terminal sends "Finished", the faults end the serving, a file
  // fails, or *interrupt becomes true (checked between polls and during long pauses).
  End Serve(PeerFolder& folder, PeerClock& clock, const std::atomic<bool>* interrupt = nullptr);

  // One line per exchange and event, in order; each also goes to the sink when one is set.
  const std::vector<std::string>& Log() const { return m_log; }
  void SetLogSink(std::function<void(const std::string&)> sink) { m_sink = std::move(sink); }
  // Requests seen so far.
  uint32_t Exchanges() const { return m_exchanges; }
  // Why the serving failed.
  const std::string& Error() const { return m_error; }

  // The answers to "SizeOS" and "SizeApp", from the package's own settings.
  uint32_t SizeOS() const { return m_sizeOS; }
  uint32_t SizeApp() const { return m_sizeApp; }

 private:
  struct Request {
    uint32_t code = 0;
    std::string name;
    uint32_t value = 0;
  };
  struct Answer {
    std::vector<uint8_t> bytes;
    std::string text;
    bool ok = true;
  };
  enum class Step { kIdle, kAnswered, kFinished, kFailed };

  DesktopPeer(int fd, uint64_t length, const DesktopConfig& config);
  Step Poll(PeerFolder& folder, PeerClock& clock, const std::atomic<bool>* interrupt);
  static Request ParseRequest(std::span<const uint8_t> bytes);
  Answer AnswerFinished(const Request& request, PeerFolder& folder);
  Answer AnswerReadCache(const Request& request, PeerFolder& folder);
  // The DesktopConfig::changeServedAgain fault on a fill of the package from `start`.
  void ChangeServedAgain(uint64_t start, std::vector<uint8_t>* bytes);
  Answer AnswerFileSize(const Request& request, PeerFolder& folder);
  Answer AnswerSizeOS(const Request& request, PeerFolder& folder);
  Answer AnswerSizeApp(const Request& request, PeerFolder& folder);
  Answer AnswerSizeGPS(const Request& request, PeerFolder& folder);
  // Pauses in steps of the poll interval; false when interrupted.
  bool Pause(PeerClock& clock, uint64_t milliseconds, const std::atomic<bool>* interrupt);
  void Note(PeerClock& clock, const std::string& line);
  Step Fail(PeerClock& clock, const std::string& error);

  int m_fd;
  uint64_t m_length;
  DesktopConfig m_config;
  std::vector<uint8_t> m_headerPart;  // stored bytes
  std::vector<container::Entry> m_entries;
  // Where the fills that held the member of DesktopConfig::changeServedAgain started.
  std::set<uint64_t> m_servedStarts;
  std::optional<std::string> m_settings;  // Vostrel.ini's bytes, when the package holds it
  uint32_t m_sizeOS = 0;
  uint32_t m_sizeApp = 0;
  uint32_t m_exchanges = 0;
  std::vector<std::string> m_log;
  std::function<void(const std::string&)> m_sink;
  std::string m_error;
};

// A desktop serving a simulated terminal in the terminal's own time: a thread of the process
// kDesktopProcess, polling every few milliseconds. A deletion that the desktop's hold refuses
// costs the terminal a millisecond, so that a terminal retrying at once lets the desktop run.
class SimDesktop {
 public:
  // Opens the package and prepares the root folder; the desktop answers nothing until Begin.
  // The desktop reaches the terminal's files over the link and runs on its clock.
  static Result<std::unique_ptr<SimDesktop>> Open(SimFileSystem& files, Scheduler& clock,
                                                  const std::filesystem::path& package,
                                                  const DesktopConfig& config);
  // Open, then Begin.
  static Result<std::unique_ptr<SimDesktop>> Start(SimFileSystem& files, Scheduler& clock,
                                                   const std::filesystem::path& package,
                                                   const DesktopConfig& config);
  // Starts the desktop's thread, which first runs when the thread that runs the simulation
  // blocks. Call it from that thread, once it is attached to the scheduler. Later calls do
  // nothing.
  void Begin();
  bool Begun() const { return m_running || m_end.has_value(); }
  // Stop.
  ~SimDesktop();
  SimDesktop(const SimDesktop&) = delete;
  SimDesktop& operator=(const SimDesktop&) = delete;

  // Ends the desktop's process (its thread unwinds at its next sleep) and closes what it held.
  // Call it from the thread that runs the simulation. Later calls do nothing.
  void Stop();

  DesktopPeer& Peer() { return *m_peer; }
  const std::vector<std::string>& Log() const { return m_peer->Log(); }
  // How the serving ended; nothing while it goes on (or when it was stopped).
  std::optional<DesktopPeer::End> Ended() const { return m_end; }

 private:
  SimDesktop(SimFileSystem& files, Scheduler& clock, std::unique_ptr<DesktopPeer> peer);

  SimFileSystem& m_files;
  Scheduler& m_scheduler;
  std::unique_ptr<DesktopPeer> m_peer;
  SimFolder m_folder;
  SchedulerClock m_clock;
  std::optional<DesktopPeer::End> m_end;
  bool m_running = false;
};

}  // namespace sim
