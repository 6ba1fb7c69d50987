#include "tools/package_file.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <utility>

#include "text/text.h"

namespace tools {

namespace {

// The header part, read front to back from the descriptor's position.
class DescriptorSource final : public container::ByteSource {
 public:
  DescriptorSource(int fd, uint64_t length) : m_fd(fd), m_length(length) {}
  bool Read(uint8_t* buffer, std::size_t count, std::size_t* read) override {
    if (!host::ReadFully(m_fd, buffer, count, read)) return false;
    m_position += *read;
    return true;
  }
  uint64_t Remaining() const override { return m_length > m_position ? m_length - m_position : 0; }

 private:
  int m_fd;
  uint64_t m_length;
  uint64_t m_position = 0;
};

// Summed through a mapping of the file, the bytes never leave the page cache: faster than cat
// copies them out. A window at a time keeps the mapping small.
constexpr uint64_t kSumWindow = 32 << 20;

// A file that shrinks while it is mapped raises SIGBUS where its bytes went; the read of those
// bytes is abandoned then, and the file reported as changed. Each thread guards its own reads; a
// bus error elsewhere ends the process as it would without the handler.
thread_local sigjmp_buf* t_busJump = nullptr;

void OnBusError(int signal) {
  if (t_busJump != nullptr) siglongjmp(*t_busJump, 1);
  std::signal(signal, SIG_DFL);
}

// Runs read(); false when it met a bus error.
template <typename Read>
bool GuardedRead(Read&& read) {
  static std::once_flag installed;
  std::call_once(installed, [] {
    struct sigaction action {};
    action.sa_handler = OnBusError;
    // Not blocked in the handler, so that the jump out of it needs no signal mask restored.
    action.sa_flags = SA_NODEFER;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, nullptr);
  });
  sigjmp_buf jump;
  t_busJump = &jump;
  volatile bool done = false;
  if (sigsetjmp(jump, 0) == 0) {
    read();
    done = true;
  }
  t_busJump = nullptr;
  return done;
}

// Adds the window's bytes to the checksum; false when they vanished while they were read.
bool SumMapped(const uint8_t* bytes, std::size_t count, container::ChecksumReader* checksum) {
  return GuardedRead([&] { checksum->AddStored({bytes, count}); });
}

}  // namespace

PackageFile::PackageFile(std::string path, host::OpenFile file)
    : m_path(std::move(path)), m_fd(std::move(file.fd)), m_length(file.length) {}

sim::Result<PackageFile> PackageFile::Open(const std::string& path) {
  using R = sim::Result<PackageFile>;
  auto file = host::OpenForReading(path);
  if (!file) return R::Failure(file.error());
  PackageFile package(path, std::move(*file));
  DescriptorSource source(package.m_fd.Get(), package.m_length);
  package.m_headers = container::ReadHeaders(source);
  return package;
}

const container::Entry* PackageFile::Find(std::string_view name) const {
  for (const container::Entry& entry : m_headers.entries) {
    if (text::EqualsNoCase(entry.name, name)) return &entry;
  }
  return nullptr;
}

bool PackageFile::ReadStored(uint64_t offset, uint8_t* buffer, std::size_t count,
                             std::size_t* read) const {
  return host::PreadFully(m_fd.Get(), buffer, count, offset, read);
}

sim::Status PackageFile::ReadMember(const container::Entry& entry, std::string* bytes) const {
  bytes->assign(entry.fileLen, '\0');
  std::size_t read = 0;
  auto* data = reinterpret_cast<uint8_t*>(bytes->data());
  if (!ReadStored(entry.offset, data, bytes->size(), &read)) {
    return sim::Status::Failure(m_path + ": " + host::ErrnoText(errno));
  }
  if (read < bytes->size()) {
    return sim::Status::Failure(m_path + ": the data of \"" + entry.name +
                                "\" run past the end of the file");
  }
  container::Complement({data, read});
  return {};
}

PackageFile::Mapping::~Mapping() { ::munmap(const_cast<uint8_t*>(m_bytes), m_length); }

bool PackageFile::Mapping::Copy(uint64_t offset, uint8_t* out, std::size_t count) const {
  if (offset > m_length || count > m_length - offset) return false;
  return GuardedRead([&] { std::memcpy(out, m_bytes + offset, count); });
}

std::unique_ptr<const PackageFile::Mapping> PackageFile::Map() const {
  if (m_length == 0 || m_length > SIZE_MAX) return nullptr;
  void* bytes =
      ::mmap(nullptr, static_cast<std::size_t>(m_length), PROT_READ, MAP_PRIVATE, m_fd.Get(), 0);
  if (bytes == MAP_FAILED) return nullptr;
  return std::unique_ptr<const Mapping>(
      new Mapping(static_cast<const uint8_t*>(bytes), static_cast<std::size_t>(m_length)));
}

sim::Status PackageFile::Sum(container::ChecksumReader* checksum,
                             const std::function<void(uint64_t)>& progress) const {
  for (uint64_t offset = 0; offset < m_length; offset += kSumWindow) {
    const std::size_t count = static_cast<std::size_t>(std::min(kSumWindow, m_length - offset));
    void* window = ::mmap(nullptr, count, PROT_READ, MAP_PRIVATE | MAP_POPULATE, m_fd.Get(),
                          static_cast<off_t>(offset));
    if (window == MAP_FAILED) {
      // A file that cannot be mapped (on a file system without mappings) is read instead.
      return offset == 0 ? SumRead(checksum, progress)
                         : sim::Status::Failure(m_path + ": " + host::ErrnoText(errno));
    }
    const bool summed = SumMapped(static_cast<const uint8_t*>(window), count, checksum);
    ::munmap(window, count);
    if (!summed) return sim::Status::Failure(m_path + ": the file changed while it was read");
    if (progress) progress(offset + count);
  }
  return {};
}

sim::Status PackageFile::SumRead(container::ChecksumReader* checksum,
                                 const std::function<void(uint64_t)>& progress) const {
  const host::IoBuffer buffer = host::MakeIoBuffer();
  ::posix_fadvise(m_fd.Get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  uint64_t offset = 0;
  for (;;) {
    std::size_t read = 0;
    if (!ReadStored(offset, buffer.get(), host::kIoChunk, &read)) {
      return sim::Status::Failure(m_path + ": " + host::ErrnoText(errno));
    }
    if (read == 0) break;
    checksum->AddStored({buffer.get(), read});
    offset += read;
    if (progress) progress(offset);
  }
  return {};
}

std::string PrintableName(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      static constexpr char kHex[] = "0123456789ABCDEF";
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace tools
