// Files on the host as the vostrel command and the build's generators use them: whole files,
// listings, copies and scratch folders, each failing with a message that names the file; and the
// descriptor-level reads and writes that stream packages of any size. Needs only the standard
// library and POSIX, so that the generators can use it too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"

namespace tools::host {

// --- whole files --------------------------------------------------------------------------

// The file's bytes; fails with "FILE: reason" when it cannot be read.
common::Result<std::string> ReadFile(const std::filesystem::path& file);

// Writes the bytes to the file, replacing it, and makes its folder first. A failure may leave a
// partly written file.
common::Status WriteFile(const std::filesystem::path& file, std::string_view contents);

// As WriteFile, but leaves a file that already holds these bytes untouched, so that a build does
// not redo what depends on it.
common::Status WriteIfChanged(const std::filesystem::path& file, std::string_view contents);

// Succeeds when the file could be written now: its folder exists and takes files, and the file
// is missing or a writable file. Changes nothing.
common::Status CheckWritable(const std::filesystem::path& file);

// Copies one file, replacing the target, and makes the target's folder first.
common::Status CopyFile(const std::filesystem::path& from, const std::filesystem::path& to);

// Copies a folder with everything below it to `to`, which must not exist yet.
common::Status CopyTree(const std::filesystem::path& from, const std::filesystem::path& to);

// The regular files below the folder, at any depth, as paths relative to it, sorted.
common::Result<std::vector<std::filesystem::path>> ListFiles(const std::filesystem::path& folder);

// A new, empty folder under the host's temporary folder, removed with everything in it when the
// object goes, unless Keep() was called.
class ScratchFolder {
 public:
  // `prefix` starts the folder's name, for example "vostrel-screens".
  static common::Result<ScratchFolder> Make(std::string_view prefix);
  ~ScratchFolder();
  ScratchFolder(ScratchFolder&& other) noexcept;
  ScratchFolder& operator=(ScratchFolder&&) = delete;
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& Path() const { return m_path; }
  void Keep() { m_keep = true; }

 private:
  explicit ScratchFolder(std::filesystem::path path) : m_path(std::move(path)) {}
  std::filesystem::path m_path;
  bool m_keep = false;
};

// Sends the process's standard output to /dev/null while the object lives, for a step whose
// report would spoil output that another program reads (a Markdown table, a row list).
class SilencedStdout {
 public:
  SilencedStdout();
  ~SilencedStdout();
  SilencedStdout(const SilencedStdout&) = delete;
  SilencedStdout& operator=(const SilencedStdout&) = delete;

 private:
  int m_saved = -1;
};

// --- streaming ----------------------------------------------------------------------------

// The text of an errno value ("No such file or directory").
std::string ErrnoText(int error);

// An owned file descriptor, closed when the object goes.
class Fd {
 public:
  explicit Fd(int fd = -1) : m_fd(fd) {}
  ~Fd() { Reset(); }
  Fd(Fd&& other) noexcept : m_fd(other.Release()) {}
  Fd& operator=(Fd&& other) noexcept {
    Reset(other.Release());
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int Get() const { return m_fd; }
  bool IsOpen() const { return m_fd >= 0; }
  int Release() {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
  }
  void Reset(int fd = -1);

 private:
  int m_fd;
};

// Opens a regular file for reading, with its length; fails with "FILE: reason".
struct OpenFile {
  Fd fd;
  uint64_t length = 0;
};
common::Result<OpenFile> OpenForReading(const std::filesystem::path& file);

// Reads up to count bytes, from the descriptor's position or (Pread) from offset, retrying short
// reads until the end of the file; false with errno set on an error.
bool ReadFully(int fd, uint8_t* buffer, std::size_t count, std::size_t* read);
bool PreadFully(int fd, uint8_t* buffer, std::size_t count, uint64_t offset, std::size_t* read);
// Writes all bytes; false with errno set on an error.
bool WriteFully(int fd, const uint8_t* bytes, std::size_t count);

// Large enough to make system calls rare, small enough to stay in the processor's cache while
// the bytes are complemented or summed.
inline constexpr std::size_t kIoChunk = 256 << 10;

// A buffer that starts on a page: the kernel copies from its page cache several times faster into
// one than into a buffer that starts a few bytes into a page, as new[] gives.
struct PageAlignedDelete {
  void operator()(uint8_t* p) const { ::operator delete[](p, std::align_val_t{4096}); }
};
using IoBuffer = std::unique_ptr<uint8_t[], PageAlignedDelete>;
IoBuffer MakeIoBuffer(std::size_t size = kIoChunk);

}  // namespace tools::host
