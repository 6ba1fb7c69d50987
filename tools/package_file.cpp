#include "tools/package_file.h"

#include <fcntl.h>

#include <cerrno>
#include <utility>

#include "log/text.h"

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

sim::Status PackageFile::Sum(container::ChecksumReader* checksum,
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

}  // namespace tools
