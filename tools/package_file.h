// A package file on the host, opened for reading: its length and header table, its members'
// bytes, and the sum that its checksum must match. Shared by the pack commands and pack check.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "package/container_format.h"
#include "sim/result.h"
#include "tools/host_files.h"

namespace tools {

// A member name (or a text holding one) as it may be printed to a terminal: control characters
// are written as \xNN, so that a carriage return or an escape sequence in a name cannot make one
// member look like another.
std::string PrintableName(std::string_view name);

class PackageFile {
 public:
  // Opens the file and reads its header part. Fails with "PATH: reason" only when the file
  // cannot be read at all; a header part that does not parse is described by Headers().
  static sim::Result<PackageFile> Open(const std::string& path);

  const std::string& Path() const { return m_path; }
  uint64_t Length() const { return m_length; }
  const container::HeaderTable& Headers() const { return m_headers; }

  // The member the terminal finds by this name: the first whose name is equal without regard
  // to case; null when there is none.
  const container::Entry* Find(std::string_view name) const;

  // Reads stored (complemented) bytes from the file at offset, up to count, fewer only at the
  // file's end; false with errno set on a read error.
  bool ReadStored(uint64_t offset, uint8_t* buffer, std::size_t count, std::size_t* read) const;

  // The whole file mapped for reading, for threads that read many pieces of it at once: the
  // bytes are copied from the page cache where they lie, without the kernel's copy that
  // ReadStored costs. Null when the file cannot be mapped; ReadStored serves then.
  class Mapping {
   public:
    ~Mapping();
    Mapping(const Mapping&) = delete;
    Mapping& operator=(const Mapping&) = delete;
    // Copies stored bytes; false when they are not all in the file, or it shrank under the
    // mapping.
    bool Copy(uint64_t offset, uint8_t* out, std::size_t count) const;

   private:
    friend class PackageFile;
    Mapping(const uint8_t* bytes, std::size_t length) : m_bytes(bytes), m_length(length) {}
    const uint8_t* m_bytes;
    std::size_t m_length;
  };
  std::unique_ptr<const Mapping> Map() const;
  // A member's logical bytes; fails with "PATH: reason" on a read error, or when the member's
  // data run past the end of the file.
  sim::Status ReadMember(const container::Entry& entry, std::string* bytes) const;

  // Adds every byte of the file to the checksum, front to back; `progress`, when given, gets the
  // bytes summed so far after each chunk. Fails with "PATH: reason" on a read error.
  sim::Status Sum(container::ChecksumReader* checksum,
                  const std::function<void(uint64_t)>& progress = {}) const;

 private:
  PackageFile(std::string path, host::OpenFile file);
  // Sum for a file that cannot be mapped: read a chunk at a time.
  sim::Status SumRead(container::ChecksumReader* checksum,
                      const std::function<void(uint64_t)>& progress) const;

  std::string m_path;
  host::Fd m_fd;
  uint64_t m_length = 0;
  container::HeaderTable m_headers;
};

}  // namespace tools
