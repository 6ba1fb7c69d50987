#include "sim/file_system.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <system_error>
#include <utility>

#include "platform/types.h"
#include "text/text.h"

namespace sim {

namespace fs = std::filesystem;
using platform::Disposition;
using platform::Handle;
using platform::kInvalidHandle;
using platform::kInvalidValue;
using platform::kNullHandle;

// What the host says of a path; a member of the file system's resolved paths.
struct HostInfo {
  bool exists = false;
  bool folder = false;
  bool readOnly = false;
  bool link = false;  // a symbolic link, which the terminal never follows
  uint64_t size = 0;
};

namespace {

// Codes the terminal reports that the updater only passes on, so the shared list lacks them.
constexpr uint32_t kErrorTooManyOpenFiles = 4;
constexpr uint32_t kErrorDiskFull = 112;
constexpr uint32_t kErrorNegativeSeek = 131;
constexpr uint32_t kErrorFilenameTooLong = 206;
constexpr uint32_t kErrorDirectory = 267;

constexpr mode_t kWriteBits = S_IWUSR | S_IWGRP | S_IWOTH;
constexpr mode_t kCreateMode = 0666;  // the host's umask trims it, as for any new file

bool Fail(uint32_t error) {
  platform::SetLastError(error);
  return false;
}

uint32_t ErrnoToWindows(int error) {
  switch (error) {
    case ENOENT:
      return platform::kErrorFileNotFound;
    case ENOTDIR:
      return platform::kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
      return platform::kErrorAccessDenied;
    case EBADF:
      return platform::kErrorInvalidHandle;
    case ENOMEM:
      return platform::kErrorNotEnoughMemory;
    case EEXIST:
      return platform::kErrorAlreadyExists;
    case ENOTEMPTY:
      return platform::kErrorDirNotEmpty;
    case ENOSPC:
    case EDQUOT:
      return kErrorDiskFull;
    case EMFILE:
    case ENFILE:
      return kErrorTooManyOpenFiles;
    case ENAMETOOLONG:
      return kErrorFilenameTooLong;
    case EINVAL:
      return platform::kErrorInvalidParameter;
    default:
      return platform::kErrorGenFailure;
  }
}

bool FailErrno(int error) { return Fail(ErrnoToWindows(error)); }

constexpr uint32_t kReadWrite = platform::kGenericRead | platform::kGenericWrite;

// Windows' sharing rule in both directions: each side must share what the other side uses.
bool Conflicts(uint32_t heldAccess, uint32_t heldShare, uint32_t access, uint32_t share) {
  // A handle without read or write access (attributes only) takes no part in sharing.
  if ((heldAccess & kReadWrite) == 0 || (access & kReadWrite) == 0) return false;
  const auto needs = [](uint32_t used, uint32_t shared) {
    return ((used & platform::kGenericRead) != 0 && (shared & platform::kShareRead) == 0) ||
           ((used & platform::kGenericWrite) != 0 && (shared & platform::kShareWrite) == 0);
  };
  return needs(access, heldShare) || needs(heldAccess, share);
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

std::vector<std::string_view> SplitPath(std::string_view path) {
  std::vector<std::string_view> parts;
  std::size_t pos = 0;
  while (pos < path.size()) {
    std::size_t end = pos;
    while (end < path.size() && !IsSeparator(path[end])) ++end;
    // Doubled separators leave empty components, which the terminal skips.
    if (end > pos) parts.push_back(path.substr(pos, end - pos));
    pos = end + 1;
  }
  return parts;
}

// The terminal's file system has no "." or ".." entries, so they are names it cannot hold.
bool IsValidName(std::string_view name, bool allowWildcards) {
  if (name.empty() || name == "." || name == "..") return false;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20) return false;
    switch (c) {
      case '"':
      case '<':
      case '>':
      case ':':
        return false;
      case '*':
      case '?':
        if (!allowWildcards) return false;
        break;
      default:
        break;
    }
  }
  return true;
}

bool HasWildcards(std::string_view name) {
  return name.find_first_of("*?") != std::string_view::npos;
}

// The device form that the terminal reserves whether or not the driver is loaded: "COM9:".
bool HasDeviceForm(std::string_view name) {
  if (name.size() != 5 || name[4] != ':') return false;
  const auto isLetter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  return isLetter(name[0]) && isLetter(name[1]) && isLetter(name[2]) && name[3] >= '0' &&
         name[3] <= '9';
}

std::u16string Folded(std::string_view utf8) {
  std::u16string units = text::ToUtf16(utf8);
  for (char16_t& unit : units) unit = text::FoldCase(unit);
  return units;
}

bool GlobMatch(std::u16string_view pattern, std::u16string_view name) {
  std::size_t p = 0;
  std::size_t n = 0;
  std::size_t starP = std::u16string_view::npos;
  std::size_t starN = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == u'?' || pattern[p] == name[n])) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == u'*') {
      starP = p++;
      starN = n;
    } else if (starP != std::u16string_view::npos) {
      // Let the last star take one more character and retry from there.
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == u'*') ++p;
  return p == pattern.size();
}

// Sorted without regard to case; names that differ only in case fall back to byte order so
// the order never depends on the host's listing.
bool NameLess(std::string_view a, std::string_view b) {
  const int order = text::CompareNoCase(a, b);
  return order != 0 ? order < 0 : a < b;
}

HostInfo Inspect(const fs::path& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return {};
  HostInfo info;
  info.exists = true;
  // A link in fs/ may lead anywhere on the host; the terminal holds no such thing, so it is
  // neither a folder to walk into nor a file to open.
  info.link = S_ISLNK(st.st_mode);
  info.folder = S_ISDIR(st.st_mode);
  info.readOnly = (st.st_mode & S_IWUSR) == 0;
  info.size = static_cast<uint64_t>(st.st_size);
  return info;
}

uint32_t AttributesOf(const HostInfo& info) {
  uint32_t attributes = info.folder ? platform::kAttributeDirectory : platform::kAttributeArchive;
  if (info.readOnly) attributes |= platform::kAttributeReadOnly;
  return attributes;
}

uint32_t Clip32(uint64_t value) {
  return value > 0xFFFFFFFFULL ? 0xFFFFFFFFU : static_cast<uint32_t>(value);
}

// The stored name of an entry in a host folder that matches `name` without regard to case.
std::optional<std::string> FindStoredName(const fs::path& folder, std::string_view name) {
  struct stat st {};
  const std::string given(name);
  if (::lstat((folder / given).c_str(), &st) == 0) return given;
  std::optional<std::string> best;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    std::string stored = it->path().filename().string();
    if (!text::EqualsNoCase(stored, name)) continue;
    if (!best || stored < *best) best = std::move(stored);
  }
  return best;
}

// True when `path` is `folder` or lies somewhere beneath it.
// The terminal path of a host path below the root, with the case as stored.
std::string TerminalPathOf(const fs::path& root, const fs::path& host) {
  std::string path;
  for (const fs::path& part : host.lexically_relative(root)) {
    if (part == ".") continue;
    path += "\\" + part.string();
  }
  return path.empty() ? std::string("\\") : path;
}

bool IsWithin(const fs::path& path, const fs::path& folder) {
  auto p = path.begin();
  for (auto f = folder.begin(); f != folder.end(); ++f, ++p) {
    if (p == path.end() || *p != *f) return false;
  }
  return true;
}

// A package placed on the terminal may be a hard link to the host file it came from. Before the
// terminal changes such a file, the file gets data of its own (a copy renamed over it), so that
// nothing outside the terminal's folder changes.
bool OwnData(const fs::path& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink < 2) return true;
  // No terminal's file name holds a ":", so the copy meets none of the terminal's files.
  const fs::path copy = path.string() + ":own";
  std::error_code error;
  fs::copy_file(path, copy, fs::copy_options::overwrite_existing, error);
  if (!error) fs::rename(copy, path, error);
  if (!error) return true;
  std::error_code ignored;
  fs::remove(copy, ignored);
  return FailErrno(error.value());
}

bool SetReadOnly(const fs::path& path, bool readOnly) {
  if (!OwnData(path)) return false;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return FailErrno(errno);
  // Setting the attribute takes every write bit away; clearing it gives back the owner's only,
  // which is all the terminal's single user needs.
  const mode_t mode = readOnly ? (st.st_mode & ~kWriteBits) : (st.st_mode | S_IWUSR);
  if (::chmod(path.c_str(), mode & 07777) != 0) return FailErrno(errno);
  return true;
}

// The host kernel copies between its page cache and a buffer several times faster when the
// buffer starts on a page. The updater's buffers start wherever its allocator put them, so large
// transfers go through a page-aligned buffer and a copy in memory, which costs far less.
constexpr std::size_t kPage = 4096;
constexpr std::size_t kStagingSize = 256 << 10;
constexpr std::size_t kStageFrom = 64 << 10;

bool NeedsStaging(const void* buffer, std::size_t count) {
  return count >= kStageFrom && reinterpret_cast<std::uintptr_t>(buffer) % kPage != 0;
}

bool WriteAll(int fd, const char* data, std::size_t count, std::optional<uint64_t> offset,
              std::size_t* written) {
  *written = 0;
  while (*written < count) {
    const ssize_t n = offset ? ::pwrite(fd, data + *written, count - *written,
                                        static_cast<off_t>(*offset + *written))
                             : ::write(fd, data + *written, count - *written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return FailErrno(errno);
    }
    *written += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

bool MatchesPattern(std::string_view pattern, std::string_view name) {
  const std::u16string p = Folded(pattern);
  const std::u16string n = Folded(name);
  if (GlobMatch(p, n)) return true;
  const std::u16string_view view(p);
  return view.size() >= 2 && view.substr(view.size() - 2) == u".*" &&
         GlobMatch(view.substr(0, view.size() - 2), n);
}

enum class HandleKind { kFile, kText, kDevice };

struct SimFileSystem::OpenFile {
  HandleKind kind = HandleKind::kFile;
  ProcessId owner = kUpdaterProcess;
  fs::path host;
  uint32_t access = 0;
  uint32_t share = 0;
  int fd = -1;
  uint64_t position = 0;
  Device* device = nullptr;

  bool OnDisk() const { return kind != HandleKind::kDevice; }
};

struct SimFileSystem::Resolved {
  fs::path host;          // stored case where the path exists, the given case beyond that
  fs::path folder;        // the host folder that holds (or would hold) the last component
  std::string givenName;  // the last component as the caller wrote it
  bool isRoot = false;
  bool folderExists = false;  // every component before the last is an existing folder
  bool namesFolder = false;   // the path ends with a separator
  HostInfo info;              // the entry itself

  uint32_t MissingError() const {
    return folderExists ? platform::kErrorFileNotFound : platform::kErrorPathNotFound;
  }
};

SimFileSystem::SimFileSystem(fs::path root) : m_root(std::move(root)) {}

// Devices are not owned and may already be gone, so only the host descriptors are released.
SimFileSystem::~SimFileSystem() {
  for (auto& [handle, file] : m_open) {
    if (file->fd >= 0) ::close(file->fd);
  }
}

void SimFileSystem::SetUnmounted(const std::vector<std::string>& folders) {
  std::lock_guard lock(m_mutex);
  m_unmounted.clear();
  for (const std::string& folder : folders) {
    const std::vector<std::string_view> parts = SplitPath(folder);
    if (!parts.empty()) m_unmounted.push_back(text::ToUpper(parts.front()));
  }
}

bool SimFileSystem::Resolve(std::string_view terminalPath, Resolved* resolved,
                            bool honourUnmounted) const {
  *resolved = Resolved{};
  resolved->host = m_root;
  resolved->folder = m_root;
  if (terminalPath.empty()) return Fail(platform::kErrorPathNotFound);
  resolved->namesFolder = IsSeparator(terminalPath.back());
  const std::vector<std::string_view> parts = SplitPath(terminalPath);
  if (parts.empty()) {
    resolved->isRoot = true;
    resolved->folderExists = true;
    resolved->info = Inspect(m_root);
    // The root is the one place a link may stand: whoever made the terminal put it there.
    std::error_code ignored;
    resolved->info.folder = resolved->info.folder || fs::is_directory(m_root, ignored);
    resolved->info.link = false;
    return true;
  }

  // The walk goes on past a bad or missing component so that HostPath can still answer.
  bool valid = true;
  bool reachable = true;
  bool linked = false;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const std::string_view part = parts[i];
    const bool last = i + 1 == parts.size();
    valid = valid && IsValidName(part, false);
    std::optional<std::string> stored;
    if (reachable && valid) stored = FindStoredName(resolved->host, part);
    const bool unmounted =
        honourUnmounted && i == 0 && !m_unmounted.empty() &&
        std::find(m_unmounted.begin(), m_unmounted.end(), text::ToUpper(part)) != m_unmounted.end();
    if (unmounted) {
      // The volume is gone: nothing below it can be reached, and it cannot be made again.
      if (!last) reachable = false;
      resolved->host /= stored ? *stored : std::string(part);
      if (last) {
        resolved->folder = m_root;
        resolved->folderExists = true;
        resolved->givenName = std::string(part);
      }
      continue;
    }
    if (last) {
      resolved->folder = resolved->host;
      resolved->folderExists = reachable;
      resolved->givenName = std::string(part);
    }
    resolved->host /= stored ? *stored : std::string(part);
    if (!last) {
      const HostInfo info = reachable && stored ? Inspect(resolved->host) : HostInfo{};
      linked = linked || info.link;
      reachable = reachable && info.folder;
    } else if (stored) {
      resolved->info = Inspect(resolved->host);
      linked = linked || resolved->info.link;
    }
  }
  if (!valid) return Fail(platform::kErrorInvalidName);
  if (linked) return Fail(platform::kErrorAccessDenied);
  // "name\" asks for a folder; naming a file that way is a malformed path.
  if (resolved->namesFolder && resolved->info.exists && !resolved->info.folder) {
    return Fail(platform::kErrorInvalidName);
  }
  return true;
}

SimFileSystem::OpenFile* SimFileSystem::Find(Handle handle) const {
  const auto it = m_open.find(handle);
  return it == m_open.end() ? nullptr : it->second.get();
}

std::filesystem::path SimFileSystem::HostPath(std::string_view terminalPath) const {
  std::lock_guard lock(m_mutex);
  Resolved resolved;
  const uint32_t saved = platform::GetLastError();
  Resolve(terminalPath, &resolved, false);
  platform::SetLastError(saved);
  return resolved.host;
}

bool SimFileSystem::FindAll(std::string_view pattern, std::vector<platform::FindEntry>* entries) {
  std::lock_guard lock(m_mutex);
  entries->clear();
  std::size_t cut = pattern.size();
  while (cut > 0 && !IsSeparator(pattern[cut - 1])) --cut;
  const std::string_view leaf = pattern.substr(cut);
  // The folder is resolved without its separator so that a file in its place reads as a
  // missing folder rather than a malformed name.
  std::size_t folderEnd = cut;
  while (folderEnd > 0 && IsSeparator(pattern[folderEnd - 1])) --folderEnd;
  const std::string_view folderPath =
      folderEnd == 0 ? std::string_view("\\") : pattern.substr(0, folderEnd);

  Resolved folder;
  if (!Resolve(folderPath, &folder)) return false;
  if (!folder.info.folder) return Fail(platform::kErrorPathNotFound);
  // A pattern that ends with a separator names no entry, as on the terminal.
  if (leaf.empty()) return Fail(platform::kErrorFileNotFound);
  if (!IsValidName(leaf, true)) return Fail(platform::kErrorInvalidName);

  std::vector<platform::FindEntry> found;
  if (!HasWildcards(leaf)) {
    // A plain name finds the entry the path resolves to, even when the host holds it in two cases.
    const std::optional<std::string> stored = FindStoredName(folder.host, leaf);
    if (stored) {
      const HostInfo info = Inspect(folder.host / *stored);
      if (info.exists && !info.link)
        found.push_back({*stored, AttributesOf(info), Clip32(info.size)});
    }
  } else {
    std::error_code ec;
    for (fs::directory_iterator it(folder.host, ec), end; !ec && it != end; it.increment(ec)) {
      std::string name = it->path().filename().string();
      if (!MatchesPattern(leaf, name)) continue;
      const HostInfo info = Inspect(it->path());
      if (!info.exists || info.link) continue;  // a link is nothing the terminal could hold
      found.push_back({std::move(name), AttributesOf(info), Clip32(info.size)});
    }
    if (ec) return FailErrno(ec.value());
  }
  if (found.empty()) return Fail(platform::kErrorFileNotFound);
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return NameLess(a.name, b.name); });
  *entries = std::move(found);
  return true;
}

uint32_t SimFileSystem::GetAttributes(std::string_view path) {
  std::lock_guard lock(m_mutex);
  Resolved resolved;
  if (!Resolve(path, &resolved)) return kInvalidValue;
  if (!resolved.info.exists) {
    Fail(resolved.MissingError());
    return kInvalidValue;
  }
  return AttributesOf(resolved.info);
}

bool SimFileSystem::SetAttributes(std::string_view path, uint32_t attributes) {
  std::lock_guard lock(m_mutex);
  Resolved resolved;
  if (!Resolve(path, &resolved)) return false;
  if (resolved.isRoot) return Fail(platform::kErrorAccessDenied);
  if (!resolved.info.exists) return Fail(resolved.MissingError());
  // Hidden, system and archive have no host counterpart; only read-only changes anything.
  return SetReadOnly(resolved.host, (attributes & platform::kAttributeReadOnly) != 0);
}

Handle SimFileSystem::Open(std::string_view path, uint32_t access, uint32_t share,
                           Disposition disposition, uint32_t flagsAndAttributes) {
  return OpenFor(kUpdaterProcess, path, access, share, disposition, flagsAndAttributes);
}

Handle SimFileSystem::OpenFor(ProcessId owner, std::string_view path, uint32_t access,
                              uint32_t share, Disposition disposition,
                              uint32_t flagsAndAttributes) {
  std::string_view name = path;
  if (!name.empty() && IsSeparator(name.front())) name.remove_prefix(1);
  if (!name.empty() && name.back() == ':' && name.find_first_of("\\/") == std::string_view::npos) {
    Device* device = nullptr;
    {
      std::lock_guard lock(m_mutex);
      const auto it = m_devices.find(text::ToUpper(name));
      if (it != m_devices.end()) device = it->second;
    }
    if (device != nullptr) {
      // The driver's open may wait on other threads, so it runs without the table locked.
      if (!device->Open(access, share)) return kInvalidHandle;
      std::lock_guard lock(m_mutex);
      auto file = std::make_unique<OpenFile>();
      file->kind = HandleKind::kDevice;
      file->owner = owner;
      file->access = access;
      file->share = share;
      file->device = device;
      const Handle handle = m_nextHandle++;
      m_open.emplace(handle, std::move(file));
      return handle;
    }
    if (HasDeviceForm(name)) {
      Fail(platform::kErrorFileNotFound);
      return kInvalidHandle;
    }
  }
  std::lock_guard lock(m_mutex);
  return OpenLocked(owner, path, access, share, disposition, flagsAndAttributes);
}

Handle SimFileSystem::OpenLocked(ProcessId owner, std::string_view path, uint32_t access,
                                 uint32_t share, Disposition disposition,
                                 uint32_t flagsAndAttributes) {
  Resolved resolved;
  if (!Resolve(path, &resolved)) return kInvalidHandle;
  const HostInfo& info = resolved.info;
  if (info.exists && info.folder) {
    Fail(platform::kErrorAccessDenied);
    return kInvalidHandle;
  }
  if (!resolved.folderExists) {
    Fail(platform::kErrorPathNotFound);
    return kInvalidHandle;
  }

  const bool truncates = info.exists && (disposition == Disposition::kCreateAlways ||
                                         disposition == Disposition::kTruncateExisting);
  const bool writes = (access & platform::kGenericWrite) != 0;
  switch (disposition) {
    case Disposition::kCreateNew:
      if (info.exists) {
        Fail(platform::kErrorFileExists);
        return kInvalidHandle;
      }
      break;
    case Disposition::kOpenExisting:
    case Disposition::kTruncateExisting:
      if (!info.exists) {
        Fail(platform::kErrorFileNotFound);
        return kInvalidHandle;
      }
      break;
    case Disposition::kCreateAlways:
    case Disposition::kOpenAlways:
      break;
    default:
      Fail(platform::kErrorInvalidParameter);
      return kInvalidHandle;
  }
  if (!info.exists && resolved.namesFolder) {
    Fail(platform::kErrorInvalidName);  // a file cannot be created under a folder's name
    return kInvalidHandle;
  }
  if (info.exists && info.readOnly && (writes || truncates)) {
    Fail(platform::kErrorAccessDenied);
    return kInvalidHandle;
  }
  if (info.exists) {
    for (const auto& [handle, held] : m_open) {
      if (held->OnDisk() && held->host == resolved.host &&
          Conflicts(held->access, held->share, access, share)) {
        Fail(platform::kErrorSharingViolation);
        return kInvalidHandle;
      }
    }
  }

  // Write mode on the host whenever the file changes, so that a read-only file (refused above
  // for those) never needs more than read permission.
  if (info.exists && (writes || truncates) && !OwnData(resolved.host)) return kInvalidHandle;
  int flags = (writes || truncates || !info.exists) ? O_RDWR : O_RDONLY;
  if (!info.exists) flags |= O_CREAT | O_EXCL;
  flags |= O_CLOEXEC | O_NOFOLLOW;
  const int fd = ::open(resolved.host.c_str(), flags, kCreateMode);
  if (fd < 0) {
    FailErrno(errno);
    return kInvalidHandle;
  }
  if (truncates && ::ftruncate(fd, 0) != 0) {
    FailErrno(errno);
    ::close(fd);
    return kInvalidHandle;
  }
  const bool created = !info.exists || disposition == Disposition::kCreateAlways;
  if (created && (flagsAndAttributes & platform::kAttributeReadOnly) != 0) {
    // The attribute marks the file for later opens; this handle keeps the access it asked for.
    struct stat st {};
    if (::fstat(fd, &st) != 0 || ::fchmod(fd, st.st_mode & ~kWriteBits & 07777) != 0) {
      FailErrno(errno);
      ::close(fd);
      return kInvalidHandle;
    }
  }

  auto file = std::make_unique<OpenFile>();
  file->owner = owner;
  file->host = resolved.host;
  file->access = access;
  file->share = share;
  file->fd = fd;
  const Handle handle = m_nextHandle++;
  m_open.emplace(handle, std::move(file));
  // Windows reports whether an "always" disposition found the file already there.
  const bool always =
      disposition == Disposition::kCreateAlways || disposition == Disposition::kOpenAlways;
  platform::SetLastError(always && info.exists ? platform::kErrorAlreadyExists
                                               : platform::kErrorSuccess);
  return handle;
}

bool SimFileSystem::Read(Handle file, void* buffer, uint32_t count, uint32_t* read) {
  if (read != nullptr) *read = 0;
  std::unique_lock lock(m_mutex);
  OpenFile* open = Find(file);
  if (open == nullptr || open->kind == HandleKind::kText) {
    return Fail(platform::kErrorInvalidHandle);
  }
  if (open->kind == HandleKind::kDevice) {
    Device* device = open->device;
    lock.unlock();  // a device read may block until another thread feeds it
    return device->Read(buffer, count, read);
  }
  if ((open->access & platform::kGenericRead) == 0) return Fail(platform::kErrorAccessDenied);
  auto* bytes = static_cast<char*>(buffer);
  char* staging = NeedsStaging(buffer, count) ? Staging() : nullptr;
  uint32_t done = 0;
  while (done < count) {
    char* into = staging != nullptr ? staging : bytes + done;
    const std::size_t want =
        staging != nullptr ? std::min<std::size_t>(count - done, kStagingSize) : count - done;
    const ssize_t n = ::pread(open->fd, into, want, static_cast<off_t>(open->position + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return FailErrno(errno);
    }
    if (n == 0) break;  // end of file: a short read is still a success
    if (staging != nullptr) std::memcpy(bytes + done, staging, static_cast<std::size_t>(n));
    done += static_cast<uint32_t>(n);
  }
  open->position += done;
  if (read != nullptr) *read = done;
  return true;
}

bool SimFileSystem::Write(Handle file, const void* buffer, uint32_t count, uint32_t* written) {
  if (written != nullptr) *written = 0;
  std::unique_lock lock(m_mutex);
  OpenFile* open = Find(file);
  if (open == nullptr || open->kind == HandleKind::kText) {
    return Fail(platform::kErrorInvalidHandle);
  }
  if (open->kind == HandleKind::kDevice) {
    Device* device = open->device;
    lock.unlock();
    return device->Write(buffer, count, written);
  }
  if ((open->access & platform::kGenericWrite) == 0) return Fail(platform::kErrorAccessDenied);
  const auto* bytes = static_cast<const char*>(buffer);
  std::size_t done = 0;
  const uint64_t offset = open->position;
  bool ok = true;
  if (NeedsStaging(buffer, count)) {
    char* staging = Staging();
    while (ok && done < count) {
      const std::size_t part = std::min<std::size_t>(count - done, kStagingSize);
      std::memcpy(staging, bytes + done, part);
      std::size_t put = 0;
      ok = WriteAll(open->fd, staging, part, open->position + done, &put);
      done += put;
    }
  } else {
    ok = WriteAll(open->fd, bytes, count, open->position, &done);
  }
  open->position += done;
  if (written != nullptr) *written = static_cast<uint32_t>(done);
  if (done == 0) return ok;
  ChangeNote note{Change::kWrite, open->owner, TerminalPathOf(m_root, open->host), {},
                  offset,         done};
  lock.unlock();
  const uint32_t error = platform::GetLastError();
  Changed(std::move(note));
  platform::SetLastError(error);
  return ok;
}

void SimFileSystem::PageAlignedDelete::operator()(char* p) const {
  ::operator delete[](p, std::align_val_t{kPage});
}

char* SimFileSystem::Staging() {
  if (!m_staging) {
    m_staging.reset(static_cast<char*>(::operator new[](kStagingSize, std::align_val_t{kPage})));
  }
  return m_staging.get();
}

SimFileSystem::OpenFile* SimFileSystem::FindPlainFile(Handle file) const {
  OpenFile* open = Find(file);
  if (open == nullptr || open->kind == HandleKind::kText) {
    Fail(platform::kErrorInvalidHandle);
    return nullptr;
  }
  // A stream device has neither a position nor a length.
  if (open->kind == HandleKind::kDevice) {
    Fail(platform::kErrorNotSupported);
    return nullptr;
  }
  return open;
}

uint32_t SimFileSystem::Seek(Handle file, int32_t distance, platform::SeekOrigin origin) {
  std::lock_guard lock(m_mutex);
  OpenFile* open = FindPlainFile(file);
  if (open == nullptr) return kInvalidValue;
  int64_t base = 0;
  switch (origin) {
    case platform::SeekOrigin::kBegin:
      break;
    case platform::SeekOrigin::kCurrent:
      base = static_cast<int64_t>(open->position);
      break;
    case platform::SeekOrigin::kEnd: {
      struct stat st {};
      if (::fstat(open->fd, &st) != 0) {
        FailErrno(errno);
        return kInvalidValue;
      }
      base = st.st_size;
      break;
    }
    default:
      Fail(platform::kErrorInvalidParameter);
      return kInvalidValue;
  }
  const int64_t target = base + distance;
  if (target < 0) {
    Fail(kErrorNegativeSeek);
    return kInvalidValue;
  }
  open->position = static_cast<uint64_t>(target);
  return static_cast<uint32_t>(open->position);
}

uint32_t SimFileSystem::GetSize(Handle file) {
  std::lock_guard lock(m_mutex);
  OpenFile* open = FindPlainFile(file);
  if (open == nullptr) return kInvalidValue;
  struct stat st {};
  if (::fstat(open->fd, &st) != 0) {
    FailErrno(errno);
    return kInvalidValue;
  }
  return Clip32(static_cast<uint64_t>(st.st_size));
}

bool SimFileSystem::Close(Handle file) {
  Device* device = nullptr;
  {
    std::lock_guard lock(m_mutex);
    const auto it = m_open.find(file);
    if (it == m_open.end() || it->second->kind == HandleKind::kText) {
      return Fail(platform::kErrorInvalidHandle);
    }
    device = it->second->device;
    if (it->second->fd >= 0) ::close(it->second->fd);
    m_open.erase(it);
  }
  if (device != nullptr) device->Close();
  return true;
}

void SimFileSystem::SetChangeObserver(std::function<void(const ChangeNote&)> observer) {
  std::lock_guard lock(m_mutex);
  m_changeObserver = std::move(observer);
}

void SimFileSystem::Changed(ChangeNote note) {
  std::function<void(const ChangeNote&)> observer;
  {
    std::lock_guard lock(m_mutex);
    observer = m_changeObserver;
  }
  if (observer) observer(note);
}

bool SimFileSystem::Delete(std::string_view path) {
  ProcessId holder = 0;
  if (DeleteLocked(path, &holder)) {
    Changed({Change::kDelete, kUpdaterProcess, std::string(path), {}, 0, 0});
    return true;
  }
  std::function<void()> pause;
  {
    std::lock_guard lock(m_mutex);
    const auto it = m_refusalPauses.find(holder);
    if (it != m_refusalPauses.end()) pause = it->second;
  }
  if (pause) {
    const uint32_t error = platform::GetLastError();
    pause();
    platform::SetLastError(error);
  }
  return false;
}

void SimFileSystem::SetRefusalPause(ProcessId holder, std::function<void()> pause) {
  std::lock_guard lock(m_mutex);
  if (pause) {
    m_refusalPauses[holder] = std::move(pause);
  } else {
    m_refusalPauses.erase(holder);
  }
}

bool SimFileSystem::DeleteLocked(std::string_view path, ProcessId* holder) {
  std::lock_guard lock(m_mutex);
  Resolved resolved;
  if (!Resolve(path, &resolved)) return false;
  if (!resolved.info.exists) return Fail(resolved.MissingError());
  if (resolved.info.folder) return Fail(platform::kErrorAccessDenied);
  for (const auto& [handle, held] : m_open) {
    if (held->OnDisk() && held->host == resolved.host) {
      *holder = held->owner;
      return Fail(platform::kErrorSharingViolation);
    }
  }
  if (resolved.info.readOnly) return Fail(platform::kErrorAccessDenied);
  if (::unlink(resolved.host.c_str()) != 0) return FailErrno(errno);
  return true;
}

bool SimFileSystem::Move(std::string_view from, std::string_view to) {
  if (!MoveLocked(from, to)) return false;
  Changed({Change::kMove, kUpdaterProcess, std::string(from), std::string(to), 0, 0});
  return true;
}

bool SimFileSystem::MoveLocked(std::string_view from, std::string_view to) {
  std::lock_guard lock(m_mutex);
  Resolved source;
  Resolved target;
  if (!Resolve(from, &source) || !Resolve(to, &target)) return false;
  if (source.isRoot || target.isRoot) return Fail(platform::kErrorAccessDenied);
  if (!source.info.exists) return Fail(source.MissingError());
  for (const auto& [handle, held] : m_open) {
    if (held->OnDisk() && IsWithin(held->host, source.host)) {
      return Fail(platform::kErrorSharingViolation);
    }
  }
  if (!target.folderExists) return Fail(platform::kErrorPathNotFound);
  // The target resolving to the source itself is a change of case, which is allowed.
  const bool sameEntry = target.host == source.host;
  if (target.info.exists && !sameEntry) return Fail(platform::kErrorAlreadyExists);
  if (source.info.folder && IsWithin(target.folder, source.host)) {
    return Fail(platform::kErrorAccessDenied);  // a folder cannot move into itself
  }
  const fs::path destination = target.folder / target.givenName;
  if (::rename(source.host.c_str(), destination.c_str()) != 0) return FailErrno(errno);
  return true;
}

bool SimFileSystem::CreateFolder(std::string_view path) {
  if (!CreateFolderLocked(path)) return false;
  Changed({Change::kCreateFolder, kUpdaterProcess, std::string(path), {}, 0, 0});
  return true;
}

bool SimFileSystem::CreateFolderLocked(std::string_view path) {
  std::lock_guard lock(m_mutex);
  Resolved resolved;
  if (!Resolve(path, &resolved)) return false;
  if (resolved.info.exists) return Fail(platform::kErrorAlreadyExists);
  if (!resolved.folderExists) return Fail(platform::kErrorPathNotFound);
  if (::mkdir(resolved.host.c_str(), 0777) != 0) return FailErrno(errno);
  return true;
}

bool SimFileSystem::RemoveFolder(std::string_view path) {
  if (!RemoveFolderLocked(path)) return false;
  Changed({Change::kRemoveFolder, kUpdaterProcess, std::string(path), {}, 0, 0});
  return true;
}

bool SimFileSystem::RemoveFolderLocked(std::string_view path) {
  std::lock_guard lock(m_mutex);
  Resolved resolved;
  if (!Resolve(path, &resolved)) return false;
  if (resolved.isRoot) return Fail(platform::kErrorAccessDenied);
  if (!resolved.info.exists) return Fail(resolved.MissingError());
  if (!resolved.info.folder) return Fail(kErrorDirectory);
  if (resolved.info.readOnly) return Fail(platform::kErrorAccessDenied);
  std::error_code ec;
  if (!fs::is_empty(resolved.host, ec)) {
    return ec ? FailErrno(ec.value()) : Fail(platform::kErrorDirNotEmpty);
  }
  if (::rmdir(resolved.host.c_str()) != 0) return FailErrno(errno);
  return true;
}

Handle SimFileSystem::OpenText(std::string_view path, platform::TextMode mode) {
  std::lock_guard lock(m_mutex);
  Resolved resolved;
  if (!Resolve(path, &resolved)) return kNullHandle;
  const HostInfo& info = resolved.info;
  uint32_t error = platform::kErrorSuccess;
  if (info.exists && (info.folder || info.readOnly)) {
    error = platform::kErrorAccessDenied;
  } else if (!resolved.folderExists) {
    error = platform::kErrorPathNotFound;
  } else if (!info.exists && resolved.namesFolder) {
    error = platform::kErrorInvalidName;
  }
  // The runtime library opens text files for writing, sharing both read and write.
  constexpr uint32_t kAccess = platform::kGenericWrite;
  constexpr uint32_t kShare = platform::kShareRead | platform::kShareWrite;
  for (const auto& [handle, held] : m_open) {
    if (error == platform::kErrorSuccess && held->OnDisk() && held->host == resolved.host &&
        Conflicts(held->access, held->share, kAccess, kShare)) {
      error = platform::kErrorSharingViolation;
    }
  }
  if (error != platform::kErrorSuccess) {
    Fail(error);
    return kNullHandle;
  }
  if (info.exists && !OwnData(resolved.host)) return kNullHandle;
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW |
                    (mode == platform::TextMode::kAppend ? O_APPEND : O_TRUNC);
  const int fd = ::open(resolved.host.c_str(), flags, kCreateMode);
  if (fd < 0) {
    FailErrno(errno);
    return kNullHandle;
  }
  auto file = std::make_unique<OpenFile>();
  file->kind = HandleKind::kText;
  file->host = resolved.host;
  file->access = kAccess;
  file->share = kShare;
  file->fd = fd;
  const Handle handle = m_nextHandle++;
  m_open.emplace(handle, std::move(file));
  return handle;
}

bool SimFileSystem::WriteText(Handle stream, std::string_view text) {
  std::lock_guard lock(m_mutex);
  OpenFile* open = Find(stream);
  if (open == nullptr || open->kind != HandleKind::kText) {
    return Fail(platform::kErrorInvalidHandle);
  }
  // Text mode adds a CR before every LF without looking at what precedes it.
  std::string translated;
  translated.reserve(text.size() + text.size() / 16);
  for (const char c : text) {
    if (c == '\n') translated.push_back('\r');
    translated.push_back(c);
  }
  std::size_t done = 0;
  return WriteAll(open->fd, translated.data(), translated.size(), std::nullopt, &done);
}

bool SimFileSystem::CloseText(Handle stream) {
  std::lock_guard lock(m_mutex);
  const auto it = m_open.find(stream);
  if (it == m_open.end() || it->second->kind != HandleKind::kText) {
    return Fail(platform::kErrorInvalidHandle);
  }
  const int result = ::close(it->second->fd);
  const int error = errno;
  m_open.erase(it);
  // A failed close can mean lost buffered text, as fclose reports it.
  return result == 0 || FailErrno(error);
}

void SimFileSystem::CloseAllOf(ProcessId owner) {
  std::vector<Device*> devices;
  {
    std::lock_guard lock(m_mutex);
    for (auto it = m_open.begin(); it != m_open.end();) {
      if (it->second->owner != owner) {
        ++it;
        continue;
      }
      if (it->second->device != nullptr) devices.push_back(it->second->device);
      if (it->second->fd >= 0) ::close(it->second->fd);
      it = m_open.erase(it);
    }
  }
  for (Device* device : devices) device->Close();
}

std::size_t SimFileSystem::OpenHandleCount() const {
  std::lock_guard lock(m_mutex);
  return m_open.size();
}

std::size_t SimFileSystem::OpenHandleCount(ProcessId owner) const {
  std::lock_guard lock(m_mutex);
  return static_cast<std::size_t>(
      std::count_if(m_open.begin(), m_open.end(),
                    [owner](const auto& entry) { return entry.second->owner == owner; }));
}

bool SimFileSystem::IsOpen(std::string_view path) const {
  std::lock_guard lock(m_mutex);
  Resolved resolved;
  if (!Resolve(path, &resolved) || !resolved.info.exists) return false;
  return std::any_of(m_open.begin(), m_open.end(), [&resolved](const auto& entry) {
    return entry.second->OnDisk() && entry.second->host == resolved.host;
  });
}

void SimFileSystem::RegisterDevice(std::string_view name, Device* device) {
  std::lock_guard lock(m_mutex);
  if (!name.empty() && IsSeparator(name.front())) name.remove_prefix(1);
  const std::string key = text::ToUpper(name);
  if (device == nullptr) {
    m_devices.erase(key);
  } else {
    m_devices[key] = device;
  }
}

Device* SimFileSystem::DeviceOf(Handle handle) const {
  std::lock_guard lock(m_mutex);
  const OpenFile* open = Find(handle);
  return open == nullptr ? nullptr : open->device;
}

}  // namespace sim
