#include "package/container_format.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <memory>
#include <new>

#include "text/text.h"

namespace container {

namespace {

// Whole blocks of a fixed size let the compiler vectorise the loops at -O2.
constexpr std::size_t kBlock = 64;
// 16-bit lanes take 257 blocks of bytes before they can overflow; flush after 256.
constexpr std::size_t kBlocksPerFlush = 256;

// The byte loops run at memory speed only when vectorised; on x86-64 an AVX2 copy of them is
// chosen at load time where the processor has it. The loader chooses through an indirect
// function, which only ELF objects have (not PE, the Win32 build's).
#if defined(__x86_64__) && defined(__GNUC__) && defined(__ELF__) && !defined(__SANITIZE_ADDRESS__)
#define VOSTREL_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define VOSTREL_VECTOR_CLONES
#endif

constexpr std::align_val_t kPageAlignment{4096};
constexpr uint64_t kMaxContainerLength = 0xFFFFFFFFULL;
constexpr std::size_t kChunkSize = 1 << 20;

}  // namespace

void PageAlignedDelete::operator()(uint8_t* bytes) const {
  ::operator delete[](bytes, kPageAlignment);
}

TransferBuffer NewTransferBuffer(std::size_t size) {
  return TransferBuffer(
      static_cast<uint8_t*>(::operator new[](size, kPageAlignment, std::nothrow)));
}

VOSTREL_VECTOR_CLONES void Complement(std::span<uint8_t> bytes) {
  uint8_t* p = bytes.data();
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  for (; i + kBlock <= n; i += kBlock) {
    for (std::size_t j = 0; j < kBlock; ++j) p[i + j] = static_cast<uint8_t>(~p[i + j]);
  }
  for (; i < n; ++i) p[i] = static_cast<uint8_t>(~p[i]);
}

#if defined(__SSE2__)
// The sum of absolute differences against zero adds 8 bytes into a 64-bit lane per step, the
// fastest byte sum the processor has; every x86-64 processor has it.
uint32_t SumBytes(std::span<const uint8_t> bytes) {
  const uint8_t* p = bytes.data();
  const std::size_t n = bytes.size();
  const __m128i zero = _mm_setzero_si128();
  __m128i acc0 = zero;
  __m128i acc1 = zero;
  std::size_t i = 0;
  for (; i + 64 <= n; i += 64) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 32));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 48));
    acc0 = _mm_add_epi64(acc0, _mm_add_epi64(_mm_sad_epu8(a, zero), _mm_sad_epu8(b, zero)));
    acc1 = _mm_add_epi64(acc1, _mm_add_epi64(_mm_sad_epu8(c, zero), _mm_sad_epu8(d, zero)));
  }
  for (; i + 16 <= n; i += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    acc0 = _mm_add_epi64(acc0, _mm_sad_epu8(a, zero));
  }
  const __m128i acc = _mm_add_epi64(acc0, acc1);
  uint64_t lanes[2];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes), acc);
  uint64_t sum = lanes[0] + lanes[1];
  for (; i < n; ++i) sum += p[i];
  return static_cast<uint32_t>(sum);
}
#else
VOSTREL_VECTOR_CLONES uint32_t SumBytes(std::span<const uint8_t> bytes) {
  const uint8_t* p = bytes.data();
  const std::size_t n = bytes.size();
  uint32_t sum = 0;
  std::size_t i = 0;
  while (n - i >= kBlock) {
    uint16_t lanes[kBlock] = {};
    const std::size_t blocks = std::min((n - i) / kBlock, kBlocksPerFlush);
    for (std::size_t b = 0; b < blocks; ++b, i += kBlock) {
      for (std::size_t j = 0; j < kBlock; ++j) {
        lanes[j] = static_cast<uint16_t>(lanes[j] + p[i + j]);
      }
    }
    for (std::size_t j = 0; j < kBlock; ++j) sum += lanes[j];
  }
  for (; i < n; ++i) sum += p[i];
  return sum;
}
#endif

std::optional<Entry> DecodeEntry(std::span<const uint8_t> entry) {
  if (entry.size() < kMinEntryLength) return std::nullopt;
  const uint32_t len = LoadLe32(entry.data());
  if (len != entry.size()) return std::nullopt;
  // The name's units may use only what leaves room for the three numbers.
  const std::size_t nameRoom = (entry.size() - 4 - 12) / 2;
  const uint8_t* units = entry.data() + 4;
  std::size_t count = 0;
  while (count < nameRoom && (units[2 * count] | units[2 * count + 1]) != 0) ++count;
  if (count == nameRoom) return std::nullopt;
  const uint8_t* numbers = units + 2 * (count + 1);
  Entry decoded;
  decoded.len = len;
  decoded.name = text::FromUtf16Bytes(units, 2 * count);
  decoded.attrib = LoadLe32(numbers);
  decoded.fileLen = LoadLe32(numbers + 4);
  decoded.offset = LoadLe32(numbers + 8);
  return decoded;
}

uint64_t EntryLength(std::string_view name) {
  return 4 + 2 * (static_cast<uint64_t>(text::Utf16Length(name)) + 1) + 12;
}

std::vector<uint8_t> EncodeEntry(const Entry& entry) {
  const std::u16string units = text::ToUtf16(entry.name);
  std::vector<uint8_t> bytes(std::max<uint64_t>(entry.len, EntryLength(entry.name)), 0);
  StoreLe32(bytes.data(), entry.len);
  uint8_t* p = bytes.data() + 4;
  for (const char16_t unit : units) {
    *p++ = static_cast<uint8_t>(unit);
    *p++ = static_cast<uint8_t>(unit >> 8);
  }
  p += 2;
  StoreLe32(p, entry.attrib);
  StoreLe32(p + 4, entry.fileLen);
  StoreLe32(p + 8, entry.offset);
  return bytes;
}

ChecksumReader::ChecksumReader(uint64_t containerLength)
    : m_dataLength(containerLength >= kChecksumSize ? containerLength - kChecksumSize
                                                    : containerLength) {}

void ChecksumReader::AddStoredChecksumByte(uint8_t logical) {
  const uint64_t index = m_position - m_dataLength;
  if (index < kChecksumSize) m_stored |= static_cast<uint32_t>(logical) << (8 * index);
  ++m_position;
}

void ChecksumReader::AddStored(std::span<const uint8_t> bytes) {
  const uint64_t data =
      std::min<uint64_t>(bytes.size(), m_dataLength - std::min(m_position, m_dataLength));
  // The logical bytes are 255 minus the stored ones.
  m_sum += static_cast<uint32_t>(data * 255) - SumBytes(bytes.first(data));
  m_position += data;
  for (std::size_t i = data; i < bytes.size(); ++i) {
    AddStoredChecksumByte(static_cast<uint8_t>(~bytes[i]));
  }
}

void ChecksumReader::AddStoredSum(uint64_t count, uint64_t storedSum) {
  m_sum += static_cast<uint32_t>(count * 255 - storedSum);
  m_position += count;
}

void ChecksumReader::AddLogical(std::span<const uint8_t> bytes) {
  const uint64_t data =
      std::min<uint64_t>(bytes.size(), m_dataLength - std::min(m_position, m_dataLength));
  m_sum += SumBytes(bytes.first(data));
  m_position += data;
  for (std::size_t i = data; i < bytes.size(); ++i) AddStoredChecksumByte(bytes[i]);
}

bool MemorySource::Read(uint8_t* buffer, std::size_t count, std::size_t* read) {
  const std::size_t n = std::min(count, m_bytes.size() - m_position);
  std::copy_n(m_bytes.data() + m_position, n, buffer);
  m_position += n;
  *read = n;
  return true;
}

namespace {

// Reads count bytes and complements them; false on a source error. *read says how many came.
bool ReadLogical(ByteSource& source, uint8_t* buffer, std::size_t count, std::size_t* read) {
  if (!source.Read(buffer, count, read)) return false;
  Complement({buffer, *read});
  return true;
}

}  // namespace

HeaderTable ReadHeaders(ByteSource& source) {
  HeaderTable table;
  uint64_t position = 0;
  const auto fail = [&](HeaderError error, uint32_t value) {
    table.error = error;
    table.errorOffset = position;
    table.errorValue = value;
    return table;
  };
  uint8_t field[4] = {};
  std::size_t read = 0;
  if (!ReadLogical(source, field, 1, &read)) return fail(HeaderError::kReadError, 0);
  table.mini.firstChar = field[0];
  if (read < 1) return fail(HeaderError::kEmpty, 0);
  if (field[0] != kFirstChar) return fail(HeaderError::kNotFirstChar, field[0]);
  position = 1;
  std::fill_n(field, 4, 0);
  if (!ReadLogical(source, field, 4, &read)) return fail(HeaderError::kReadError, 0);
  table.mini.size = LoadLe32(field);
  if (read < 4) return fail(HeaderError::kSizeField, static_cast<uint32_t>(read));
  position = 5;
  std::fill_n(field, 4, 0);
  if (!ReadLogical(source, field, 2, &read)) return fail(HeaderError::kReadError, 0);
  table.mini.num = LoadLe16(field);
  if (read < 2) return fail(HeaderError::kNumField, static_cast<uint32_t>(read));
  position = kMiniHeaderSize;

  std::vector<uint8_t> buffer;
  do {
    std::fill_n(field, 4, 0);
    if (!ReadLogical(source, field, 4, &read)) return fail(HeaderError::kReadError, 0);
    if (read < 4) return fail(HeaderError::kEntryLength, static_cast<uint32_t>(read));
    const uint32_t len = LoadLe32(field);
    if (len < 4) return fail(HeaderError::kEntryMalformed, len);
    if (len - 4 > source.Remaining()) return fail(HeaderError::kEntryTruncated, len);
    buffer.resize(len);
    std::copy_n(field, 4, buffer.data());
    if (!ReadLogical(source, buffer.data() + 4, len - 4, &read)) {
      return fail(HeaderError::kReadError, len);
    }
    if (read < len - 4) return fail(HeaderError::kEntryTruncated, len);
    std::optional<Entry> entry = DecodeEntry(buffer);
    if (!entry) return fail(HeaderError::kEntryMalformed, len);
    table.entries.push_back(std::move(*entry));
    position += len;
    table.headerLength = position;
  } while (table.entries.size() < table.mini.num);
  table.headerLength = position;
  return table;
}

std::string DescribeHeaderError(const HeaderTable& table) {
  const std::string entry = text::Sprintf("entry %zu at offset %llu", table.entries.size() + 1,
                                          static_cast<unsigned long long>(table.errorOffset));
  switch (table.error) {
    case HeaderError::kNone:
      return "the header part is sound";
    case HeaderError::kReadError:
      return text::Sprintf("read error at offset %llu",
                           static_cast<unsigned long long>(table.errorOffset));
    case HeaderError::kEmpty:
      return "the file is empty";
    case HeaderError::kNotFirstChar:
      return text::Sprintf("the first char is 0x%02X, not 0x1A (not a package)", table.errorValue);
    case HeaderError::kSizeField:
      return text::Sprintf("the file ends inside the mini header's size field (%u of 4 bytes)",
                           table.errorValue);
    case HeaderError::kNumField:
      return text::Sprintf("the file ends inside the mini header's entry count (%u of 2 bytes)",
                           table.errorValue);
    case HeaderError::kEntryLength:
      return text::Sprintf("%s: the file ends inside its length field (%u of 4 bytes)", entry,
                           table.errorValue);
    case HeaderError::kEntryTruncated:
      return text::Sprintf("%s: its length %u runs past the end of the file", entry,
                           table.errorValue);
    case HeaderError::kEntryMalformed:
      return text::Sprintf(
          "%s: its length %u cannot hold a NUL-terminated name and the three numbers", entry,
          table.errorValue);
  }
  return "unknown error";
}

bool DataInside(const Entry& entry, uint64_t headerLength, uint64_t containerLength) {
  if (containerLength < headerLength + kChecksumSize) return false;
  const uint64_t end = static_cast<uint64_t>(entry.offset) + entry.fileLen;
  return entry.offset >= headerLength && end <= containerLength - kChecksumSize;
}

bool VectorSink::Write(std::span<const uint8_t> bytes) {
  m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
  return true;
}

bool PlanLayout(std::span<const Member> members, Layout* layout, std::string* error) {
  *layout = Layout{};
  if (members.empty()) {
    *error = "a package needs at least one member";
    return false;
  }
  uint64_t headerLength = kMiniHeaderSize;
  for (const Member& member : members) {
    if (member.name.empty()) {
      *error = "a member name is empty";
      return false;
    }
    if (!text::IsUtf8(member.name)) {
      *error = "the member name \"" + member.name + "\" is not valid UTF-8";
      return false;
    }
    if (member.name.find('\0') != std::string::npos) {
      *error = "the member name \"" + member.name + "\" holds a NUL character";
      return false;
    }
    headerLength += EntryLength(member.name);
  }
  if (members.size() > 0xFFFF) {
    *error = text::Sprintf("%zu members; a package holds at most 65535", members.size());
    return false;
  }
  uint64_t offset = headerLength;
  for (const Member& member : members) {
    if (offset + member.DataLength() + kChecksumSize > kMaxContainerLength) {
      *error = "the package would pass 4 GiB at the member \"" + member.name + "\"";
      return false;
    }
    Entry entry;
    entry.len = static_cast<uint32_t>(EntryLength(member.name));
    entry.name = member.name;
    entry.attrib = member.attrib;
    entry.fileLen = static_cast<uint32_t>(member.DataLength());
    entry.offset = static_cast<uint32_t>(offset);
    layout->entries.push_back(std::move(entry));
    offset += member.DataLength();
  }
  layout->headerLength = static_cast<uint32_t>(headerLength);
  layout->containerLength = offset + kChecksumSize;
  return true;
}

namespace {

// Sums, complements and writes a chunk of logical bytes.
bool Emit(std::span<uint8_t> logical, ChecksumReader& checksum, ByteSink& sink) {
  checksum.AddLogical(logical);
  Complement(logical);
  return sink.Write(logical);
}

}  // namespace

bool WriteContainer(std::span<const Member> members, const WriteOptions& options, ByteSink& sink,
                    std::string* error) {
  Layout layout;
  if (!PlanLayout(members, &layout, error)) return false;
  ChecksumReader checksum(layout.containerLength);

  std::vector<uint8_t> header(kMiniHeaderSize);
  header[0] = kFirstChar;
  StoreLe32(&header[1], options.sizeField.value_or(layout.headerLength));
  header[5] = static_cast<uint8_t>(members.size());
  header[6] = static_cast<uint8_t>(members.size() >> 8);
  for (const Entry& entry : layout.entries) {
    const std::vector<uint8_t> bytes = EncodeEntry(entry);
    header.insert(header.end(), bytes.begin(), bytes.end());
  }
  if (!Emit(header, checksum, sink)) {
    *error = "writing the header part failed";
    return false;
  }

  const uint64_t total = layout.containerLength - layout.headerLength - kChecksumSize;
  uint64_t done = 0;
  std::unique_ptr<uint8_t[]> chunk;
  for (const Member& member : members) {
    if (member.source == nullptr) {
      std::vector<uint8_t> bytes(member.contents.begin(), member.contents.end());
      if (!Emit(bytes, checksum, sink)) {
        *error = "writing the data of \"" + member.name + "\" failed";
        return false;
      }
      done += bytes.size();
      if (options.progress) options.progress(done, total);
      continue;
    }
    if (!chunk) chunk.reset(new (std::nothrow) uint8_t[kChunkSize]);
    if (!chunk) {
      *error = "no memory for the transfer buffer";
      return false;
    }
    uint64_t left = member.length;
    for (;;) {
      // One byte more than expected shows a source that grew.
      const std::size_t want = static_cast<std::size_t>(std::min<uint64_t>(kChunkSize, left + 1));
      std::size_t got = 0;
      if (!member.source->Read({chunk.get(), want}, &got)) {
        *error = "reading the contents of \"" + member.name + "\" failed";
        return false;
      }
      if (got == 0) break;
      if (got > left) {
        *error = "the contents of \"" + member.name + "\" grew while the package was built";
        return false;
      }
      if (!Emit({chunk.get(), got}, checksum, sink)) {
        *error = "writing the data of \"" + member.name + "\" failed";
        return false;
      }
      left -= got;
      done += got;
      if (options.progress) options.progress(done, total);
    }
    if (left != 0) {
      *error = "the contents of \"" + member.name + "\" shrank while the package was built";
      return false;
    }
  }

  uint8_t sum[kChecksumSize];
  StoreLe32(sum, checksum.Computed());
  Complement(sum);
  if (!sink.Write(sum)) {
    *error = "writing the checksum failed";
    return false;
  }
  return true;
}

}  // namespace container
