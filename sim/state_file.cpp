#include "sim/state_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace sim {

namespace {

Status Failed(const std::filesystem::path& file, int error) {
  return Status::Failure(file.string() + ": cannot be written (" + std::strerror(error) + ")");
}

}  // namespace

Status ReplaceFile(const std::filesystem::path& file, std::string_view bytes) {
  // No file of the terminal's own ends so; a leftover of a run that was killed is replaced.
  const std::filesystem::path aside = file.string() + ".new";
  const int fd = ::open(aside.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return Failed(file, errno);
  std::size_t done = 0;
  int error = 0;
  while (done < bytes.size() && error == 0) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = n < 0 ? errno : ENOSPC;
      break;
    }
    done += static_cast<std::size_t>(n);
  }
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(aside.c_str(), file.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(aside.c_str());
    return Failed(file, error);
  }
  // The rename itself reaches the disk with the folder.
  const int folder = ::open(file.parent_path().empty() ? "." : file.parent_path().c_str(),
                            O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    ::fsync(folder);
    ::close(folder);
  }
  return {};
}

}  // namespace sim
