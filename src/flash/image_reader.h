// FetchImageBytes: the plain bytes of an encrypted image member as one continuous stream, read
// chunk by chunk through the virtual-file interface and decrypted.
#pragma once

#include <cstdint>
#include <functional>

struct ImageKey;
class CVirtualFiles;

// Reads up to count bytes of the open member; the shape of InterfaceFileRead.
using MemberRead = std::function<int(uint8_t* buffer, uint32_t count, uint32_t* read)>;

// The reader's state: the key that decrypts the chunks, and the decoded bytes of the current
// chunk not yet delivered.
struct ChunkReader {
  const ImageKey* key = nullptr;
  uint8_t* chunk = nullptr;  // from the program's heap, or null
  uint32_t available = 0;
  uint32_t offset = 0;
};

// Copies count bytes of the plain stream to destination, loading chunks as needed. False when
// count is 0, destination is null, or fewer than count bytes could be delivered (a short
// member, a chunk that does not decrypt, memory that cannot be had).
bool FetchImageBytesFrom(ChunkReader& reader, const MemberRead& read, uint32_t count,
                         uint8_t* destination);

// The same on the member open in the run's virtual-file interface.
bool FetchImageBytes(ChunkReader& reader, CVirtualFiles& files, uint32_t count,
                     uint8_t* destination);

// Frees the current chunk and empties the reader; the key stays.
void ResetChunkReader(ChunkReader& reader);
