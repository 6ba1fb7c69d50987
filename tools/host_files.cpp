#include "tools/host_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <utility>

namespace tools::host {

namespace fs = std::filesystem;

namespace {

std::string Failed(const fs::path& file, int error) {
  return file.string() + ": " + ErrnoText(error);
}

std::string Failed(const fs::path& file, const std::error_code& error) {
  return file.string() + ": " + error.message();
}

common::Status MakeParentFolder(const fs::path& file) {
  const fs::path parent = file.parent_path();
  if (parent.empty()) return {};
  std::error_code error;
  fs::create_directories(parent, error);
  if (error) return common::Status::Failure(Failed(parent, error));
  return {};
}

}  // namespace

common::Result<std::string> ReadFile(const fs::path& file) {
  using R = common::Result<std::string>;
  auto opened = OpenForReading(file);
  if (!opened) return R::Failure(opened.error());
  std::string bytes(opened->length, '\0');
  std::size_t read = 0;
  if (!ReadFully(opened->fd.Get(), reinterpret_cast<uint8_t*>(bytes.data()), bytes.size(), &read)) {
    return R::Failure(Failed(file, errno));
  }
  // The file may have changed length since it was opened; what was read is what it held.
  bytes.resize(read);
  return bytes;
}

common::Status WriteFile(const fs::path& file, std::string_view contents) {
  if (common::Status made = MakeParentFolder(file); !made) return made;
  Fd out(::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!out.IsOpen()) return common::Status::Failure(Failed(file, errno));
  if (!WriteFully(out.Get(), reinterpret_cast<const uint8_t*>(contents.data()), contents.size()) ||
      ::close(out.Release()) != 0) {
    return common::Status::Failure(Failed(file, errno));
  }
  return {};
}

common::Status WriteIfChanged(const fs::path& file, std::string_view contents) {
  std::error_code error;
  if (fs::file_size(file, error) == contents.size() && !error) {
    auto old = ReadFile(file);
    if (old && *old == contents) return {};
  }
  return WriteFile(file, contents);
}

SilencedStdout::SilencedStdout() {
  std::fflush(stdout);
  m_saved = ::dup(1);
  if (const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC); null >= 0) {
    ::dup2(null, 1);
    ::close(null);
  }
}

SilencedStdout::~SilencedStdout() {
  std::fflush(stdout);
  if (m_saved >= 0) {
    ::dup2(m_saved, 1);
    ::close(m_saved);
  }
}

common::Status CheckWritable(const fs::path& file) {
  struct stat st {};
  if (::stat(file.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return common::Status::Failure(Failed(file, EISDIR));
    if (::access(file.c_str(), W_OK) != 0) return common::Status::Failure(Failed(file, errno));
    return {};
  }
  // WriteFile makes missing folders: the nearest one that exists must take them.
  fs::path folder = fs::absolute(file).parent_path();
  while (::stat(folder.c_str(), &st) != 0 && errno == ENOENT && folder != folder.parent_path()) {
    folder = folder.parent_path();
  }
  if (::stat(folder.c_str(), &st) != 0) return common::Status::Failure(Failed(folder, errno));
  if (!S_ISDIR(st.st_mode)) return common::Status::Failure(Failed(folder, ENOTDIR));
  if (::access(folder.c_str(), W_OK) != 0) return common::Status::Failure(Failed(folder, errno));
  return {};
}

common::Status CopyFile(const fs::path& from, const fs::path& to) {
  if (common::Status made = MakeParentFolder(to); !made) return made;
  std::error_code error;
  fs::copy_file(from, to, fs::copy_options::overwrite_existing, error);
  if (error) return common::Status::Failure(Failed(from, error));
  return {};
}

common::Status CopyTree(const fs::path& from, const fs::path& to) {
  std::error_code error;
  fs::copy(from, to, fs::copy_options::recursive, error);
  if (error) return common::Status::Failure(Failed(to, error));
  return {};
}

common::Result<std::vector<fs::path>> ListFiles(const fs::path& folder) {
  using R = common::Result<std::vector<fs::path>>;
  std::vector<fs::path> files;
  std::error_code error;
  for (fs::recursive_directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    std::error_code kindError;
    if (it->is_regular_file(kindError)) files.push_back(it->path().lexically_relative(folder));
  }
  if (error) return R::Failure(Failed(folder, error));
  std::sort(files.begin(), files.end());
  return files;
}

common::Result<ScratchFolder> ScratchFolder::Make(std::string_view prefix) {
  using R = common::Result<ScratchFolder>;
  std::error_code error;
  const fs::path temporary = fs::temp_directory_path(error);
  if (error) return R::Failure("no temporary folder: " + error.message());
  std::string pattern = (temporary / (std::string(prefix) + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    return R::Failure("cannot make a temporary folder in " + temporary.string() + ": " +
                      ErrnoText(errno));
  }
  return ScratchFolder(pattern);
}

ScratchFolder::ScratchFolder(ScratchFolder&& other) noexcept
    : m_path(std::move(other.m_path)), m_keep(other.m_keep) {
  other.m_keep = true;
}

ScratchFolder::~ScratchFolder() {
  if (m_keep || m_path.empty()) return;
  std::error_code ignored;
  fs::remove_all(m_path, ignored);
}

std::string ErrnoText(int error) {
  return std::error_code(error, std::generic_category()).message();
}

void Fd::Reset(int fd) {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = fd;
}

common::Result<OpenFile> OpenForReading(const fs::path& file) {
  using R = common::Result<OpenFile>;
  OpenFile opened;
  opened.fd.Reset(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (!opened.fd.IsOpen() || ::fstat(opened.fd.Get(), &st) != 0) {
    return R::Failure(Failed(file, errno));
  }
  if (!S_ISREG(st.st_mode)) return R::Failure(file.string() + ": not a regular file");
  opened.length = static_cast<uint64_t>(st.st_size);
  return opened;
}

bool ReadFully(int fd, uint8_t* buffer, std::size_t count, std::size_t* read) {
  *read = 0;
  while (*read < count) {
    const ssize_t n = ::read(fd, buffer + *read, count - *read);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    *read += static_cast<std::size_t>(n);
  }
  return true;
}

bool PreadFully(int fd, uint8_t* buffer, std::size_t count, uint64_t offset, std::size_t* read) {
  *read = 0;
  while (*read < count) {
    const ssize_t n =
        ::pread(fd, buffer + *read, count - *read, static_cast<off_t>(offset + *read));
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    *read += static_cast<std::size_t>(n);
  }
  return true;
}

bool WriteFully(int fd, const uint8_t* bytes, std::size_t count) {
  while (count > 0) {
    const ssize_t n = ::write(fd, bytes, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += n;
    count -= static_cast<std::size_t>(n);
  }
  return true;
}

IoBuffer MakeIoBuffer(std::size_t size) {
  return IoBuffer(static_cast<uint8_t*>(::operator new[](size, std::align_val_t{4096})));
}

}  // namespace tools::host
