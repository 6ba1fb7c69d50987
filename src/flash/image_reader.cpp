#include "flash/image_reader.h"

#include <algorithm>
#include <cstring>

#include "flash/image_format.h"
#include "flash/image_key.h"
#include "log/log.h"
#include "package/file_virtual.h"
#include "platform/platform.h"

namespace {

// Ciphertext is read in pieces of at most 256 KB.
constexpr uint32_t kReadPiece = 0x40000;

// Reads exactly count bytes; false on a failed read or one that delivers nothing.
bool ReadFully(const MemberRead& read, uint8_t* buffer, uint32_t count) {
  uint32_t done = 0;
  while (done < count) {
    uint32_t got = 0;
    const uint32_t piece = std::min(kReadPiece, count - done);
    if (read(buffer + done, piece, &got) == 0 || got == 0) return false;
    done += std::min(got, piece);
  }
  return true;
}

bool LoadChunk(ChunkReader& reader, const MemberRead& read) {
  uint8_t lengthBytes[4] = {};
  if (!ReadFully(read, lengthBytes, sizeof lengthBytes)) return false;
  const uint32_t length = lengthBytes[0] | lengthBytes[1] << 8 | lengthBytes[2] << 16 |
                          static_cast<uint32_t>(lengthBytes[3]) << 24;
  const uint64_t size = length + image_format::kChunkSlack;
  if (size > SIZE_MAX) return false;
  auto* buffer = static_cast<uint8_t*>(
      platform::Kern().LocalAlloc(platform::kLmemFixed, static_cast<std::size_t>(size)));
  if (buffer == nullptr) return false;
  uint32_t decoded = 0;
  if (!ReadFully(read, buffer, length) || reader.key == nullptr ||
      DecryptImageChunk(*reader.key, &buffer, length, &decoded) != 1) {
    platform::Kern().LocalFree(buffer);
    return false;
  }
  reader.chunk = buffer;
  reader.available = decoded;
  reader.offset = 0;
  return true;
}

}  // namespace

void ResetChunkReader(ChunkReader& reader) {
  if (reader.chunk != nullptr && platform::IsInstalled()) platform::Kern().LocalFree(reader.chunk);
  reader.chunk = nullptr;
  reader.available = 0;
  reader.offset = 0;
}

bool FetchImageBytesFrom(ChunkReader& reader, const MemberRead& read, uint32_t count,
                         uint8_t* destination) {
  // The terminal's addresses are 32 bits wide.
  if (GetDebugLevel() >= 3) {
    DebugAt(3, text::Sprintf("Fetching %d bytes, to %d\r\n", static_cast<int32_t>(count),
                             static_cast<int32_t>(reinterpret_cast<uintptr_t>(destination))));
  }
  if (count == 0 || destination == nullptr) return false;
  while (count != 0) {
    if (reader.available == 0) {
      ResetChunkReader(reader);
      if (!LoadChunk(reader, read)) return false;
      // A chunk of no plain bytes delivers nothing; the next one is read.
      continue;
    }
    const uint32_t take = std::min(count, reader.available);
    std::memcpy(destination, reader.chunk + reader.offset, take);
    destination += take;
    reader.offset += take;
    reader.available -= take;
    count -= take;
    if (reader.available == 0) ResetChunkReader(reader);
  }
  return true;
}

bool FetchImageBytes(ChunkReader& reader, CVirtualFiles& files, uint32_t count,
                     uint8_t* destination) {
  const MemberRead read = [&files](uint8_t* buffer, uint32_t size, uint32_t* done) {
    return InterfaceFileRead(files, buffer, size, done);
  };
  return FetchImageBytesFrom(reader, read, count, destination);
}
