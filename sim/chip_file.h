// The host file that keeps a flash chip's bytes (DIR/flash/chip.bin): read and written at
// offsets, with areas made zero bytes again as holes where the host's file system has them.
// Each backend brings its implementation: sim/chip_file_posix.cpp, win32/chip_file.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>

namespace sim {

class ChipFile {
 public:
  virtual ~ChipFile() = default;
  // Reads `count` bytes at `offset`; past the end of the file the bytes are 0. False when the
  // file cannot be read.
  virtual bool Read(uint64_t offset, uint8_t* out, std::size_t count) = 0;
  virtual bool Write(uint64_t offset, const uint8_t* in, std::size_t count) = 0;
  // Makes `count` bytes at `offset` zero bytes again.
  virtual void Clear(uint64_t offset, uint64_t count) = 0;
};

// Opens the file for reading and writing; null when it cannot be opened.
std::unique_ptr<ChipFile> OpenChipFile(const std::filesystem::path& file);
// Creates (or empties) the file as `size` zero bytes; null when it cannot be made.
std::unique_ptr<ChipFile> CreateChipFile(const std::filesystem::path& file, uint64_t size);

}  // namespace sim
