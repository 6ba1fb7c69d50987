#include "sim/desktop_peer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>
#include <thread>

#include "package/file_semaphore.h"
#include "settings/phase_members.h"
#include "settings/settings.h"
#include "sim/file_system.h"
#include "sim/scheduler.h"
#include "text/text.h"

namespace sim {

namespace fs = std::filesystem;

namespace {

constexpr const char* kRequestData = "fromhht.txt";
constexpr const char* kRequestFlag = "fromhht.ok";
constexpr const char* kResponseData = "tohht.txt";
constexpr const char* kResponseFlag = "tohht.ok";
constexpr const char* kCacheFile = "cache.bin";
constexpr const char* kPackageFile = "install.bin";
constexpr const char* kSettingsFile = "Vostrel.ini";

std::string ErrnoText(int error) {
  return std::error_code(error, std::generic_category()).message();
}

bool EqualsAsciiNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

std::vector<uint8_t> Le32Bytes(uint32_t value) {
  std::vector<uint8_t> bytes(4);
  container::StoreLe32(bytes.data(), value);
  return bytes;
}

// Reads count bytes at offset, retrying short reads; false with errno on an error or an early
// end.
bool ReadAt(int fd, uint8_t* buffer, std::size_t count, uint64_t offset) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = ::pread(fd, buffer + done, count - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool WriteAll(int fd, const uint8_t* bytes, std::size_t count) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = ::write(fd, bytes + done, count - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// The package file front to back, for the header reader.
class FdSource final : public container::ByteSource {
 public:
  FdSource(int fd, uint64_t length) : m_fd(fd), m_length(length) {}
  bool Read(uint8_t* buffer, std::size_t count, std::size_t* read) override {
    const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(count, Remaining()));
    *read = 0;
    if (n > 0 && !ReadAt(m_fd, buffer, n, m_position)) return false;
    *read = n;
    m_position += n;
    return true;
  }
  uint64_t Remaining() const override { return m_length - m_position; }

 private:
  int m_fd;
  uint64_t m_length;
  uint64_t m_position = 0;
};

const container::Entry* FindEntry(const std::vector<container::Entry>& entries,
                                  std::string_view name) {
  for (const container::Entry& entry : entries) {
    if (text::EqualsNoCase(entry.name, name)) return &entry;
  }
  return nullptr;
}

// The total of a phase as the terminal computes it locally: the lengths of the members that
// the phase reads, a missing member counting 0.
uint32_t PhaseTotal(const CUpdateSettings& settings, const std::vector<container::Entry>& entries,
                    UpdatePhase phase) {
  uint32_t total = 0;
  // The desktop has no terminal clock: members are named as written.
  for (const PhaseItem& item : PhaseItems(settings, phase, ScriptTokens::kAsWritten)) {
    if (!item.splits) continue;
    if (const container::Entry* entry = FindEntry(entries, item.text)) total += entry->fileLen;
  }
  return total;
}

}  // namespace

// ---- HostFolder ----

fs::path HostFolder::Resolve(std::string_view name) const {
  fs::path exact = m_root / std::string(name);
  struct stat st {};
  if (::lstat(exact.c_str(), &st) == 0) return exact;
  DIR* dir = ::opendir(m_root.c_str());
  if (dir == nullptr) return exact;
  fs::path found = exact;
  while (const dirent* entry = ::readdir(dir)) {
    if (EqualsAsciiNoCase(entry->d_name, name)) {
      found = m_root / entry->d_name;
      break;
    }
  }
  ::closedir(dir);
  return found;
}

bool HostFolder::Exists(std::string_view name) {
  struct stat st {};
  return ::stat(Resolve(name).c_str(), &st) == 0;
}

bool HostFolder::Read(std::string_view name, std::vector<uint8_t>* bytes) {
  const int fd = ::open(Resolve(name).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bytes->clear();
  uint8_t chunk[4096];
  bool ok = true;
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    bytes->insert(bytes->end(), chunk, chunk + n);
  }
  ::close(fd);
  return ok;
}

Status HostFolder::Write(std::string_view name, std::span<const uint8_t> bytes, Keep keep) {
  const fs::path path = Resolve(name);
  if (keep == Keep::kHeld) {
    Release();
    // Created without write permission, so that the terminal cannot delete it for a moment.
    ::unlink(path.c_str());
  }
  const mode_t mode = keep == Keep::kHeld ? 0444 : 0644;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
  if (fd < 0)
    return Status::Failure(path.string() + ": cannot be written (" + ErrnoText(errno) + ")");
  const bool written = WriteAll(fd, bytes.data(), bytes.size());
  const int error = errno;
  ::close(fd);
  if (!written)
    return Status::Failure(path.string() + ": cannot be written (" + ErrnoText(error) + ")");
  if (keep == Keep::kHeld) m_held = path;
  return {};
}

Status HostFolder::Delete(std::string_view name) {
  const fs::path path = Resolve(name);
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    return Status::Failure(path.string() + ": cannot be deleted (" + ErrnoText(errno) + ")");
  }
  return {};
}

void HostFolder::Release() {
  if (!m_held) return;
  ::chmod(m_held->c_str(), 0644);
  m_held.reset();
}

// ---- SimFolder ----

namespace {
std::string RootPath(std::string_view name) { return "\\" + std::string(name); }
std::string SimError(const std::string& what) {
  return RootPath(what) + " (error " + std::to_string(platform::GetLastError()) + ")";
}
}  // namespace

bool SimFolder::Exists(std::string_view name) {
  return m_files.GetAttributes(RootPath(name)) != platform::kInvalidValue;
}

bool SimFolder::Read(std::string_view name, std::vector<uint8_t>* bytes) {
  const platform::Handle file =
      m_files.OpenFor(kDesktopProcess, RootPath(name), platform::kGenericRead, platform::kShareNone,
                      platform::Disposition::kOpenExisting, platform::kAttributeNormal);
  if (file == platform::kInvalidHandle) return false;
  const uint32_t size = m_files.GetSize(file);
  bytes->assign(size == platform::kInvalidValue ? 0 : size, 0);
  uint32_t read = 0;
  const bool ok = m_files.Read(file, bytes->data(), static_cast<uint32_t>(bytes->size()), &read);
  bytes->resize(read);
  m_files.Close(file);
  return ok;
}

Status SimFolder::Write(std::string_view name, std::span<const uint8_t> bytes, Keep keep) {
  if (keep == Keep::kHeld) Release();
  const platform::Handle file = m_files.OpenFor(
      kDesktopProcess, RootPath(name), platform::kGenericWrite, platform::kShareNone,
      platform::Disposition::kCreateAlways, platform::kAttributeNormal);
  if (file == platform::kInvalidHandle) {
    return Status::Failure(SimError(std::string(name)) + ": cannot be created");
  }
  uint32_t written = 0;
  if (!m_files.Write(file, bytes.data(), static_cast<uint32_t>(bytes.size()), &written) ||
      written != bytes.size()) {
    const Status failure = Status::Failure(SimError(std::string(name)) + ": cannot be written");
    m_files.Close(file);
    return failure;
  }
  if (keep == Keep::kHeld) {
    m_held = file;
  } else {
    m_files.Close(file);
  }
  return {};
}

Status SimFolder::Delete(std::string_view name) {
  if (m_files.Delete(RootPath(name))) return {};
  if (platform::GetLastError() == platform::kErrorFileNotFound) return {};
  return Status::Failure(SimError(std::string(name)) + ": cannot be deleted");
}

fs::path SimFolder::HostPathOf(std::string_view name) const {
  return m_files.HostPath(RootPath(name));
}

void SimFolder::Release() {
  if (m_held == platform::kNullHandle) return;
  m_files.Close(m_held);
  m_held = platform::kNullHandle;
}

// ---- Clocks ----

namespace {
int64_t HostMilliseconds() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

HostClock::HostClock() : m_start(HostMilliseconds()) {}
uint64_t HostClock::Now() { return static_cast<uint64_t>(HostMilliseconds() - m_start); }
void HostClock::Sleep(uint64_t milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

uint64_t SchedulerClock::Now() { return m_scheduler.Now(); }
void SchedulerClock::Sleep(uint64_t milliseconds) { m_scheduler.SleepFor(milliseconds); }

// ---- DesktopPeer ----

DesktopPeer::DesktopPeer(int fd, uint64_t length, const DesktopConfig& config)
    : m_fd(fd), m_length(length), m_config(config) {}

DesktopPeer::~DesktopPeer() { ::close(m_fd); }

Result<std::unique_ptr<DesktopPeer>> DesktopPeer::Open(const fs::path& package,
                                                       const DesktopConfig& config) {
  using R = Result<std::unique_ptr<DesktopPeer>>;
  const int fd = ::open(package.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return R::Failure(package.string() + ": cannot be read (" + ErrnoText(errno) + ")");
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return R::Failure(package.string() + ": not a file");
  }
  const uint64_t length = static_cast<uint64_t>(st.st_size);
  std::unique_ptr<DesktopPeer> peer(new DesktopPeer(fd, length, config));
  if (length > 0xFFFFFFFFULL) {
    return R::Failure(package.string() + ": larger than 4 GiB, which the terminal cannot address");
  }
  FdSource source(fd, length);
  container::HeaderTable table = container::ReadHeaders(source);
  if (!table.ok()) {
    return R::Failure(package.string() +
                      ": not an update package: " + container::DescribeHeaderError(table));
  }
  if (!config.allowBadChecksum) {
    // The terminal trusts the desktop in this mode and never sums the package itself.
    container::ChecksumReader checksum(length);
    std::vector<uint8_t> chunk(container::kTransferBufferSize);
    for (uint64_t offset = 0; offset < length; offset += chunk.size()) {
      const std::size_t count =
          static_cast<std::size_t>(std::min<uint64_t>(chunk.size(), length - offset));
      if (!ReadAt(fd, chunk.data(), count, offset)) {
        return R::Failure(package.string() + ": cannot be read (" + ErrnoText(errno) + ")");
      }
      checksum.AddStored({chunk.data(), count});
    }
    if (!checksum.Holds()) {
      return R::Failure(package.string() + ": the checksum fails (stored " +
                        text::Sprintf("0x%08X", checksum.Stored()) + ", computed " +
                        text::Sprintf("0x%08X", checksum.Computed()) +
                        "); refusing to serve a damaged package");
    }
  }
  peer->m_entries = std::move(table.entries);
  peer->m_headerPart.resize(table.headerLength);
  if (!ReadAt(fd, peer->m_headerPart.data(), peer->m_headerPart.size(), 0)) {
    return R::Failure(package.string() + ": cannot be read (" + ErrnoText(errno) + ")");
  }

  CUpdateSettings settings;
  if (const container::Entry* entry = FindEntry(peer->m_entries, kSettingsFile)) {
    if (!container::DataInside(*entry, table.headerLength, length)) {
      return R::Failure(package.string() + ": the data of " + entry->name +
                        " lie outside the package");
    }
    std::vector<uint8_t> bytes(entry->fileLen);
    if (!ReadAt(fd, bytes.data(), bytes.size(), entry->offset)) {
      return R::Failure(package.string() + ": cannot be read (" + ErrnoText(errno) + ")");
    }
    container::Complement(bytes);
    peer->m_settings = std::string(bytes.begin(), bytes.end());
    settings.LoadFromBytes(*peer->m_settings);
  }
  peer->m_sizeOS = PhaseTotal(settings, peer->m_entries, UpdatePhase::kOS);
  peer->m_sizeApp = PhaseTotal(settings, peer->m_entries, UpdatePhase::kApplication);
  return peer;
}

void DesktopPeer::Note(PeerClock& clock, const std::string& line) {
  m_log.push_back(
      text::Sprintf("[%6llu ms] %s", static_cast<unsigned long long>(clock.Now()), line));
  if (m_sink) m_sink(m_log.back());
}

DesktopPeer::Step DesktopPeer::Fail(PeerClock& clock, const std::string& error) {
  m_error = error;
  Note(clock, "failed: " + error);
  return Step::kFailed;
}

Status DesktopPeer::Prepare(PeerFolder& folder, PeerClock& clock) {
  struct stat served {};
  if (::fstat(m_fd, &served) == 0) {
    for (const char* name : {kPackageFile, kSettingsFile}) {
      struct stat st {};
      const fs::path path = folder.HostPathOf(name);
      if (::stat(path.c_str(), &st) == 0 && st.st_dev == served.st_dev &&
          st.st_ino == served.st_ino) {
        return Status::Failure(path.string() +
                               ": is the package being served, which preparing the root folder "
                               "would overwrite; serve a copy kept outside that folder");
      }
    }
  }
  for (const char* stale : {kResponseData, kResponseFlag, kCacheFile}) {
    if (Status deleted = folder.Delete(stale); !deleted) return deleted;
  }
  if (Status written = folder.Write(kPackageFile, m_headerPart); !written) return written;
  if (m_settings) {
    const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(m_settings->data()),
                                         m_settings->size());
    if (Status written = folder.Write(kSettingsFile, bytes); !written) return written;
    Note(clock, text::Sprintf("prepared install.bin (the header part, %zu bytes of %llu, %zu "
                              "members) and Vostrel.ini (%zu bytes)",
                              m_headerPart.size(), static_cast<unsigned long long>(m_length),
                              m_entries.size(), m_settings->size()));
  } else {
    if (Status deleted = folder.Delete(kSettingsFile); !deleted) return deleted;
    Note(clock, text::Sprintf("prepared install.bin (the header part, %zu bytes of %llu, %zu "
                              "members); the package holds no Vostrel.ini",
                              m_headerPart.size(), static_cast<unsigned long long>(m_length),
                              m_entries.size()));
  }
  return {};
}

DesktopPeer::Request DesktopPeer::ParseRequest(std::span<const uint8_t> bytes) {
  Request request;
  if (bytes.size() >= 4) request.code = container::LoadLe32(bytes.data());
  const std::span<const uint8_t> rest = bytes.size() > 4 ? bytes.subspan(4) : bytes.subspan(0, 0);
  if (request.code == kCommandFileSize) {
    std::size_t units = 0;
    while (2 * units + 1 < rest.size() && (rest[2 * units] != 0 || rest[2 * units + 1] != 0)) {
      ++units;
    }
    request.name = text::FromUtf16Bytes(rest.data(), 2 * units);
  } else if (request.code == kCommandReadCache && rest.size() >= 4) {
    request.value = container::LoadLe32(rest.data());
  }
  return request;
}

DesktopPeer::Answer DesktopPeer::AnswerFinished(const Request&, PeerFolder&) {
  return {Le32Bytes(1), "Ok 1; the update run is over", true};
}

DesktopPeer::Answer DesktopPeer::AnswerReadCache(const Request& request, PeerFolder& folder) {
  uint64_t fill = m_config.cacheSize;
  if (m_config.fillSize) fill = std::min<uint64_t>(fill, *m_config.fillSize);
  const uint64_t left = request.value < m_length ? m_length - request.value : 0;
  fill = std::min(fill, left);
  fill = fill > m_config.fillShortBy ? fill - m_config.fillShortBy : 0;
  std::vector<uint8_t> bytes(fill);
  if (!ReadAt(m_fd, bytes.data(), bytes.size(), request.value)) {
    return {{}, "the package cannot be read (" + ErrnoText(errno) + ")", false};
  }
  if (!m_config.changeServedAgain.empty()) ChangeServedAgain(request.value, &bytes);
  if (Status written = folder.Write(kCacheFile, bytes); !written) {
    return {{}, written.error(), false};
  }
  return {Le32Bytes(static_cast<uint32_t>(fill)),
          text::Sprintf("%llu bytes in cache.bin", static_cast<unsigned long long>(fill)), true};
}

void DesktopPeer::ChangeServedAgain(uint64_t start, std::vector<uint8_t>* bytes) {
  const container::Entry* entry = FindEntry(m_entries, m_config.changeServedAgain);
  if (entry == nullptr || entry->fileLen == 0) return;
  const uint64_t first = std::max<uint64_t>(start, entry->offset);
  const uint64_t end = std::min<uint64_t>(start + bytes->size(),
                                          static_cast<uint64_t>(entry->offset) + entry->fileLen);
  if (first >= end) return;
  if (m_servedStarts.insert(start).second) return;
  (*bytes)[first - start] ^= 0x01;
}

DesktopPeer::Answer DesktopPeer::AnswerFileSize(const Request& request, PeerFolder&) {
  const container::Entry* entry = FindEntry(m_entries, request.name);
  const uint32_t length = entry != nullptr ? entry->fileLen : 0;
  return {Le32Bytes(length),
          text::Sprintf("%u%s", length, entry != nullptr ? "" : " (no such member)"), true};
}

DesktopPeer::Answer DesktopPeer::AnswerSizeOS(const Request&, PeerFolder&) {
  return {Le32Bytes(m_sizeOS), std::to_string(m_sizeOS), true};
}

DesktopPeer::Answer DesktopPeer::AnswerSizeApp(const Request&, PeerFolder&) {
  return {Le32Bytes(m_sizeApp), std::to_string(m_sizeApp), true};
}

// The terminal reads no field of this answer.
DesktopPeer::Answer DesktopPeer::AnswerSizeGPS(const Request&, PeerFolder&) {
  return {{}, "empty response", true};
}

bool DesktopPeer::Pause(PeerClock& clock, uint64_t milliseconds,
                        const std::atomic<bool>* interrupt) {
  while (milliseconds > 0) {
    if (interrupt != nullptr && interrupt->load()) return false;
    const uint64_t step = std::min<uint64_t>(milliseconds, kPollMilliseconds);
    clock.Sleep(step);
    milliseconds -= step;
  }
  return interrupt == nullptr || !interrupt->load();
}

DesktopPeer::Step DesktopPeer::Poll(PeerFolder& folder, PeerClock& clock,
                                    const std::atomic<bool>* interrupt) {
  if (!folder.Exists(kRequestFlag)) return Step::kIdle;
  std::vector<uint8_t> data;
  const bool haveData = folder.Read(kRequestData, &data);
  if (Status deleted = folder.Delete(kRequestFlag); !deleted) return Fail(clock, deleted.error());
  if (!haveData) {
    Note(clock, "a request flag without request data; ignored");
    return Step::kIdle;
  }
  if (Status deleted = folder.Delete(kRequestData); !deleted) return Fail(clock, deleted.error());

  const uint32_t number = ++m_exchanges;
  const Request request = ParseRequest(data);
  std::string asked = CommandName(request.code);
  if (request.code == kCommandFileSize) asked = "FileSize \"" + request.name + "\"";
  if (request.code == kCommandReadCache) asked = "ReadCache " + std::to_string(request.value);
  if (request.code == kCommandSizeGPS) asked = "SizeGPS";
  const std::string prefix = text::Sprintf("#%u %s", number, asked);

  if (m_config.lookingNoAt == number) {
    if (Status written = folder.Write(kLookingMarker, {}); !written) {
      return Fail(clock, written.error());
    }
    Note(clock, prefix + ": left looking.no instead of an answer (fault)");
    return Step::kAnswered;
  }

  using Handler = Answer (DesktopPeer::*)(const Request&, PeerFolder&);
  static constexpr struct {
    uint32_t code;
    Handler handler;
  } kHandlers[] = {
      {kCommandFinished, &DesktopPeer::AnswerFinished},
      {kCommandReadCache, &DesktopPeer::AnswerReadCache},
      {kCommandFileSize, &DesktopPeer::AnswerFileSize},
      {kCommandSizeOS, &DesktopPeer::AnswerSizeOS},
      {kCommandSizeApp, &DesktopPeer::AnswerSizeApp},
      {kCommandSizeGPS, &DesktopPeer::AnswerSizeGPS},
  };
  Answer answer{{}, text::Sprintf("empty response to the unknown code %u", request.code), true};
  for (const auto& entry : kHandlers) {
    if (entry.code == request.code) answer = (this->*entry.handler)(request, folder);
  }
  if (!answer.ok) return Fail(clock, answer.text);
  if (m_config.emptyResponseAt == number) {
    answer.bytes.clear();
    answer.text += "; a response of 0 bytes instead (fault)";
  }

  if (Status written = folder.Write(kResponseData, answer.bytes); !written) {
    return Fail(clock, written.error());
  }
  const Keep keep = m_config.holdFlagMs > 0 ? Keep::kHeld : Keep::kClosed;
  if (Status written = folder.Write(kResponseFlag, Le32Bytes(request.code), keep); !written) {
    return Fail(clock, written.error());
  }
  Note(clock, prefix + " -> " + answer.text);
  if (keep == Keep::kHeld) {
    const bool paused = Pause(clock, m_config.holdFlagMs, interrupt);
    folder.Release();
    Note(clock, text::Sprintf("#%u held tohht.ok for %u ms (fault)", number, m_config.holdFlagMs));
    if (!paused) return Step::kIdle;
  }
  return request.code == kCommandFinished ? Step::kFinished : Step::kAnswered;
}

DesktopPeer::End DesktopPeer::Serve(PeerFolder& folder, PeerClock& clock,
                                    const std::atomic<bool>* interrupt) {
  for (;;) {
    if (m_config.stopAfter && m_exchanges >= *m_config.stopAfter) {
      Note(clock, text::Sprintf("answers no more after %u exchanges (fault)", m_exchanges));
      if (m_config.abortAfterMs == 0) return End::kStopped;
      if (!Pause(clock, m_config.abortAfterMs, interrupt)) return End::kInterrupted;
      if (Status written = folder.Write(kAbortMarker, {}); !written) {
        Fail(clock, written.error());
        return End::kFailed;
      }
      Note(clock, "left abort.me");
      return End::kStopped;
    }
    if (interrupt != nullptr && interrupt->load()) return End::kInterrupted;
    switch (Poll(folder, clock, interrupt)) {
      case Step::kFinished:
        return End::kFinished;
      case Step::kFailed:
        return End::kFailed;
      case Step::kAnswered:
        break;
      case Step::kIdle:
        clock.Sleep(kPollMilliseconds);
        break;
    }
  }
}

// ---- SimDesktop ----

SimDesktop::SimDesktop(SimFileSystem& files, Scheduler& clock, std::unique_ptr<DesktopPeer> peer)
    : m_files(files),
      m_scheduler(clock),
      m_peer(std::move(peer)),
      m_folder(files),
      m_clock(clock) {}

Result<std::unique_ptr<SimDesktop>> SimDesktop::Open(SimFileSystem& files, Scheduler& clock,
                                                     const fs::path& package,
                                                     const DesktopConfig& config) {
  using R = Result<std::unique_ptr<SimDesktop>>;
  auto peer = DesktopPeer::Open(package, config);
  if (!peer) return R::Failure(peer.error());
  std::unique_ptr<SimDesktop> desktop(new SimDesktop(files, clock, std::move(*peer)));
  if (Status prepared = desktop->m_peer->Prepare(desktop->m_folder, desktop->m_clock); !prepared) {
    return R::Failure("the terminal's root folder: " + prepared.error());
  }
  return desktop;
}

Result<std::unique_ptr<SimDesktop>> SimDesktop::Start(SimFileSystem& files, Scheduler& clock,
                                                      const fs::path& package,
                                                      const DesktopConfig& config) {
  auto desktop = Open(files, clock, package, config);
  if (desktop) (*desktop)->Begin();
  return desktop;
}

void SimDesktop::Begin() {
  if (Begun()) return;
  Scheduler& scheduler = m_scheduler;
  m_files.SetRefusalPause(kDesktopProcess, [&scheduler] { scheduler.SleepFor(1); });
  m_running = true;
  scheduler.Spawn(kDesktopProcess, [this] {
    const DesktopPeer::End end = m_peer->Serve(m_folder, m_clock);
    m_end = end;
    // A desktop that gave up on a broken file lets the terminal's wait end, as a user would.
    if (end == DesktopPeer::End::kFailed) (void)m_folder.Write(kAbortMarker, {});
  });
}

SimDesktop::~SimDesktop() { Stop(); }

void SimDesktop::Stop() {
  if (!m_running) return;
  m_running = false;
  m_scheduler.EndProcess(kDesktopProcess);
  m_folder.Release();
  m_files.CloseAllOf(kDesktopProcess);
  m_files.SetRefusalPause(kDesktopProcess, nullptr);
}

}  // namespace sim
