// The update package container, byte for byte: the one definition that the terminal's reader
// and the host tools share.
//
// Every stored byte is the bitwise NOT of its logical byte. Logically a container is
//   first char 0x1A | size (u32) | num (u16)              the 7-byte mini header
//   num entries: Len (u32, itself included) | name (UTF-16LE, one NUL unit) | Attrib (u32) |
//                FileLen (u32) | Offset (u32) | skipped bytes up to Len
//   the data area: each member's FileLen bytes at its absolute Offset
//   checksum (u32): the wrapping sum of the logical values of every byte before it
// Numbers are little-endian and unaligned. The reader always takes at least one entry, even
// when num is 0. Parsers here read bytes (spans or a ByteSource), never paths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace container {

inline constexpr uint8_t kFirstChar = 0x1A;
inline constexpr uint32_t kMiniHeaderSize = 7;
inline constexpr uint32_t kChecksumSize = 4;
// Len, the name's NUL unit, Attrib, FileLen, Offset: the shortest entry that can be read.
inline constexpr uint32_t kMinEntryLength = 4 + 2 + 12;
// The terminal streams extraction and the checksum through a buffer of this size.
inline constexpr uint32_t kTransferBufferSize = 262144;
// Attribute words that the host tools write.
inline constexpr uint32_t kAttribReadOnly = 0x1;
inline constexpr uint32_t kAttribNormal = 0x80;

struct MiniHeader {
  uint8_t firstChar = 0;
  uint32_t size = 0;
  uint16_t num = 0;
};

// One member entry, as stored (the name converted to UTF-8).
struct Entry {
  uint32_t len = 0;
  std::string name;
  uint32_t attrib = 0;
  uint32_t fileLen = 0;
  uint32_t offset = 0;
};

inline uint32_t LoadLe32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}
inline uint16_t LoadLe16(const uint8_t* bytes) {
  return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}
inline void StoreLe32(uint8_t* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
}

// Turns stored bytes into logical ones and back, in place.
void Complement(std::span<uint8_t> bytes);

// A transfer buffer that starts on a 4 KiB page: a host copies between its file cache and such a
// buffer directly, where one that starts a few bytes into a page may cost it an extra copy.
struct PageAlignedDelete {
  void operator()(uint8_t* bytes) const;
};
using TransferBuffer = std::unique_ptr<uint8_t[], PageAlignedDelete>;
// Null when the memory cannot be had.
TransferBuffer NewTransferBuffer(std::size_t size = kTransferBufferSize);

// The wrapping 32-bit sum of the byte values.
uint32_t SumBytes(std::span<const uint8_t> bytes);

// Decodes one entry from its logical bytes: exactly the entry, so the span's size is its Len.
// Returns nothing, having read no byte outside the span, when the span is shorter than
// kMinEntryLength, its Len field differs from its size, or the name has no NUL unit with room
// for the three numbers after it.
std::optional<Entry> DecodeEntry(std::span<const uint8_t> entry);

// The length of the entry that stores a name (UTF-8), without skipped bytes.
uint64_t EntryLength(std::string_view name);

// The logical bytes of an entry: Len is written as given, and the bytes between Offset and Len
// are zero. Len must be at least EntryLength(name).
std::vector<uint8_t> EncodeEntry(const Entry& entry);

// The checksum of a container read front to back in chunks of any size: sums the logical
// values of the bytes before the last four of a container of the given length and assembles
// those four into the stored checksum. A container of fewer than four bytes has every byte
// summed and a stored checksum of 0, as the terminal counts them.
class ChecksumReader {
 public:
  explicit ChecksumReader(uint64_t containerLength);

  // The next chunk, as stored or after complementing.
  void AddStored(std::span<const uint8_t> bytes);
  void AddLogical(std::span<const uint8_t> bytes);
  // The next `count` stored bytes, summed elsewhere (SumBytes); all of them must lie before the
  // stored checksum.
  void AddStoredSum(uint64_t count, uint64_t storedSum);
  // The bytes before the stored checksum.
  uint64_t DataLength() const { return m_dataLength; }

  uint32_t Computed() const { return m_sum; }
  uint32_t Stored() const { return m_stored; }
  bool Holds() const { return m_sum == m_stored; }
  // Bytes taken so far.
  uint64_t Position() const { return m_position; }

 private:
  void AddStoredChecksumByte(uint8_t logical);

  uint64_t m_dataLength;
  uint64_t m_position = 0;
  uint32_t m_sum = 0;
  uint32_t m_stored = 0;
};

// A sequential source of stored container bytes.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to count bytes; a short read is the end. False on a read error.
  virtual bool Read(uint8_t* buffer, std::size_t count, std::size_t* read) = 0;
  // The bytes left before the end.
  virtual uint64_t Remaining() const = 0;
};

class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::span<const uint8_t> bytes) : m_bytes(bytes) {}
  bool Read(uint8_t* buffer, std::size_t count, std::size_t* read) override;
  uint64_t Remaining() const override { return m_bytes.size() - m_position; }

 private:
  std::span<const uint8_t> m_bytes;
  std::size_t m_position = 0;
};

// Why a header part could not be read, in the order the reader meets them.
enum class HeaderError {
  kNone,
  kReadError,       // the source failed
  kEmpty,           // nothing to read
  kNotFirstChar,    // the first char is not 0x1A
  kSizeField,       // the file ends inside the size field
  kNumField,        // the file ends inside num
  kEntryLength,     // the file ends inside an entry's Len
  kEntryTruncated,  // Len runs past the end of the file
  kEntryMalformed,  // Len too small, or the name has no NUL unit inside the entry
};

struct HeaderTable {
  MiniHeader mini;
  std::vector<Entry> entries;  // those read before an error
  HeaderError error = HeaderError::kNone;
  uint64_t errorOffset = 0;   // where the field or entry that failed begins
  uint32_t errorValue = 0;    // the failing entry's Len, or the bytes read of a short field
  uint64_t headerLength = 0;  // bytes of the mini header and the entries read

  bool ok() const { return error == HeaderError::kNone; }
};

// Reads the mini header and the entries as the terminal does: entries until num are loaded,
// and at least one. An entry is never allocated beyond what the source still holds.
HeaderTable ReadHeaders(ByteSource& source);

// A sentence saying why the header part failed, for people ("entry 3 at offset 52: ...").
std::string DescribeHeaderError(const HeaderTable& table);

// True when the entry's data lie between the header part and the checksum of a container of
// the given length.
bool DataInside(const Entry& entry, uint64_t headerLength, uint64_t containerLength);

// Supplies a member's logical bytes front to back.
class ContentSource {
 public:
  virtual ~ContentSource() = default;
  // Fills up to buffer.size() bytes; 0 read is the end. False on a read error.
  virtual bool Read(std::span<uint8_t> buffer, std::size_t* read) = 0;
};

// Takes the container's stored bytes front to back.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual bool Write(std::span<const uint8_t> bytes) = 0;
};

class VectorSink final : public ByteSink {
 public:
  bool Write(std::span<const uint8_t> bytes) override;
  std::vector<uint8_t>& Bytes() { return m_bytes; }

 private:
  std::vector<uint8_t> m_bytes;
};

struct Member {
  std::string name;  // UTF-8; may hold a path with backslashes
  uint32_t attrib = kAttribNormal;
  // The contents: the bytes below, or, when source is set, length bytes read from it.
  std::string contents;
  ContentSource* source = nullptr;
  uint64_t length = 0;

  uint64_t DataLength() const { return source != nullptr ? length : contents.size(); }
};

struct WriteOptions {
  // The mini header's size field; by default the length of the header part.
  std::optional<uint32_t> sizeField;
  // Called after each chunk of member data with the bytes written so far and the total.
  std::function<void(uint64_t done, uint64_t total)> progress;
};

// The entries of the members, laid out in order with their data after the header part.
struct Layout {
  std::vector<Entry> entries;
  uint32_t headerLength = 0;
  uint64_t containerLength = 0;
};

// Lays the members out. False with a message naming the member when a name cannot be stored
// (empty, not UTF-8, holding a NUL) or the container would pass 4 GiB; at least one member is
// needed, since the reader always takes one entry.
bool PlanLayout(std::span<const Member> members, Layout* layout, std::string* error);

// Writes a container of the members to the sink. False with a message when the layout fails,
// a source fails or delivers other than its length, or the sink fails.
bool WriteContainer(std::span<const Member> members, const WriteOptions& options, ByteSink& sink,
                    std::string* error);

}  // namespace container
