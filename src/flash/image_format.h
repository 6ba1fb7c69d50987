// The formats of operating-system images in update packages, shared by the updater and the host
// tools: the .BIN record stream, and the encrypted chunk stream in which .BIN members travel.
//
// .BIN stream (integers 32-bit little-endian): "B000FF\n", image start address, image length,
// then records (address, length, checksum, data); the record with address 0 and checksum 0
// ends it.
//
// Encrypted chunk stream: chunks of (32-bit length L, L bytes of ciphertext). Each ciphertext
// is DES in ECB mode with PKCS#5 padding over base64 text; the decoded bytes of all chunks, in
// order, are the plain member. The updater decrypts through the platform's provider; the host
// tools encrypt and decrypt whole streams with sim/image_cipher.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace image_format {

inline constexpr char kBinSignature[] = "B000FF\n";
inline constexpr std::size_t kBinSignatureSize = 7;

// The start address of an image that goes to flash; any other marks a RAM image.
inline bool IsFlashImage(uint32_t start) { return (start | 0xA0000000U) <= 0xA4000000U; }

// The pass phrase whose characters are the key material when the hardware layer gives none.
inline constexpr char kPassPhrase[] = "Mesa cap";
inline constexpr std::size_t kMaxKeyMaterial = 100;

// The plain bytes in one chunk as the host tools write it: a multiple of 3, so that a chunk's
// base64 text needs no padding, and as large as lets the padded text (262,144 bytes) be read in
// one piece of the terminal's 256 KB reads.
inline constexpr std::size_t kChunkPlainBytes = 196602;
// Room beyond a chunk's ciphertext that the loader's chunk buffer is given.
inline constexpr uint64_t kChunkSlack = 1024;
// The object store that the loader shrinks to before it assembles an image in program memory.
inline constexpr uint32_t kLoaderStoreBytes = 0x300000;

// Standard base64 (RFC 4648) with '=' padding.
std::string Base64Encode(std::string_view bytes);

// The RAM buffer an image of this length is assembled in: whole 64 KiB blocks, and always one
// byte at least past the image.
inline uint64_t ImageBufferSize(uint32_t imageLength) {
  return (static_cast<uint64_t>(imageLength >> 16) + 1) << 16;
}

// Where a record's data lands in that buffer: its offset, or none when any of it would fall
// outside (before the image's start or past the buffer's end).
inline std::optional<uint64_t> RecordOffset(uint32_t imageStart, uint64_t bufferSize,
                                            uint32_t address, uint32_t length) {
  const uint64_t offset = static_cast<uint64_t>(address) - imageStart;
  if (address < imageStart || offset + length > bufferSize) return std::nullopt;
  return offset;
}

// One record of a .BIN stream, as the loader reads it.
struct BinRecord {
  uint32_t address = 0;
  uint32_t length = 0;
  uint32_t checksum = 0;
  std::size_t dataAt = 0;  // offset of its data in the stream
};

// A .BIN stream walked to its terminating record, the way the loader walks it.
struct BinLayout {
  uint32_t start = 0;
  uint32_t length = 0;
  std::vector<BinRecord> records;
  std::size_t end = 0;  // offset just past the terminating record
};

// Reads the header and every record up to the terminating one. False with a reason when the
// signature is wrong, the stream ends inside a header or record, or a record is empty; the
// records read so far stay in *layout.
bool ReadBinLayout(std::string_view plain, BinLayout* layout, std::string* why);

// The buffer the loader assembles from a flash image: 0xFF up to the image's length, 0 after
// it, each record's data at its place. The writer puts its first bytes, the image's length
// rounded up to whole 64 KiB blocks, into the partition. Records that fall outside are left out.
std::string AssembleBinImage(std::string_view plain, const BinLayout& layout);

// Wraps a raw image into .BIN records of at most recordSize bytes each, loaded from `start`.
std::string MakeBin(std::string_view raw, uint32_t start, uint32_t recordSize);

}  // namespace image_format

// Decodes base64: leading blanks and tabs are skipped; the text is the run of alphabet
// characters that follows, up to the first other byte or textLength. output must hold
// 3 * ceil(n / 4) + 1 bytes for a run of n; a zero byte is stored after the decoded bytes. A
// lone character left over after the groups of four (a run of 4k + 1) carries too few bits
// for a byte and is dropped.
void Base64Decode(const uint8_t* text, std::size_t textLength, uint8_t* output,
                  uint32_t* outLength);
