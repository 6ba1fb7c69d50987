#include <fcntl.h>
#include <linux/falloc.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "sim/chip_file.h"

namespace sim {

namespace {

class PosixChipFile final : public ChipFile {
 public:
  explicit PosixChipFile(int fd) : m_fd(fd) {}
  ~PosixChipFile() override { ::close(m_fd); }
  PosixChipFile(const PosixChipFile&) = delete;
  PosixChipFile& operator=(const PosixChipFile&) = delete;

  bool Read(uint64_t offset, uint8_t* out, std::size_t count) override {
    std::size_t done = 0;
    while (done < count) {
      const ssize_t got =
          ::pread(m_fd, out + done, count - done, static_cast<off_t>(offset + done));
      if (got <= 0) {
        // Past the end of a short file the bytes are 0.
        std::memset(out + done, 0, count - done);
        return got == 0;
      }
      done += static_cast<std::size_t>(got);
    }
    return true;
  }

  bool Write(uint64_t offset, const uint8_t* in, std::size_t count) override {
    std::size_t done = 0;
    while (done < count) {
      const ssize_t put =
          ::pwrite(m_fd, in + done, count - done, static_cast<off_t>(offset + done));
      if (put <= 0) return false;
      done += static_cast<std::size_t>(put);
    }
    return true;
  }

  void Clear(uint64_t offset, uint64_t count) override {
    if (::fallocate(m_fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                    static_cast<off_t>(count)) != 0) {
      const std::vector<uint8_t> zeros(count, 0);
      Write(offset, zeros.data(), zeros.size());
    }
  }

 private:
  int m_fd;
};

}  // namespace

std::unique_ptr<ChipFile> OpenChipFile(const std::filesystem::path& file) {
  const int fd = ::open(file.c_str(), O_RDWR);
  if (fd < 0) return nullptr;
  return std::make_unique<PosixChipFile>(fd);
}

std::unique_ptr<ChipFile> CreateChipFile(const std::filesystem::path& file, uint64_t size) {
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0666);
  if (fd < 0) return nullptr;
  if (::ftruncate(fd, static_cast<off_t>(size)) != 0) {
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<PosixChipFile>(fd);
}

}  // namespace sim
