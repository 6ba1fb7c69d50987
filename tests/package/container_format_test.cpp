#include "package/container_format.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "package/container_bytes.h"
#include "text/text.h"

namespace {

using namespace container_bytes;

std::string Write(const std::vector<container::Member>& members,
                  container::WriteOptions options = {}) {
  container::VectorSink sink;
  std::string error;
  EXPECT_TRUE(container::WriteContainer(members, options, sink, &error)) << error;
  return {sink.Bytes().begin(), sink.Bytes().end()};
}

container::Member Mem(std::string name, std::string contents, uint32_t attrib = 0x80) {
  container::Member member;
  member.name = std::move(name);
  member.contents = std::move(contents);
  member.attrib = attrib;
  return member;
}

container::Member Streamed(std::string name, container::ContentSource* source, uint64_t length) {
  container::Member member;
  member.name = std::move(name);
  member.source = source;
  member.length = length;
  return member;
}

container::WriteOptions SizeField(uint32_t value) {
  container::WriteOptions options;
  options.sizeField = value;
  return options;
}

container::HeaderTable Headers(const std::string& stored) {
  const std::vector<uint8_t> bytes = ToBytes(stored);
  container::MemorySource source(bytes);
  return container::ReadHeaders(source);
}

// Delivers a fixed number of bytes whatever length the member claims.
class CountingContent final : public container::ContentSource {
 public:
  explicit CountingContent(std::size_t count) : m_left(count) {}
  bool Read(std::span<uint8_t> buffer, std::size_t* read) override {
    *read = std::min(buffer.size(), m_left);
    std::fill_n(buffer.data(), *read, uint8_t{'c'});
    m_left -= *read;
    return true;
  }

 private:
  std::size_t m_left;
};

TEST(ContainerFormatTest, TheExampleIsWrittenAndReadByteForByte) {
  const std::string stored = Write({Mem("ab", "xyz", 0)}, SizeField(0));
  EXPECT_EQ(stored, ExampleStored());

  const container::HeaderTable table = Headers(ExampleStored());
  ASSERT_TRUE(table.ok()) << container::DescribeHeaderError(table);
  EXPECT_EQ(table.mini.size, 0u);
  EXPECT_EQ(table.mini.num, 1u);
  EXPECT_EQ(table.headerLength, 29u);
  ASSERT_EQ(table.entries.size(), 1u);
  EXPECT_EQ(table.entries[0].len, 22u);
  EXPECT_EQ(table.entries[0].name, "ab");
  EXPECT_EQ(table.entries[0].fileLen, 3u);
  EXPECT_EQ(table.entries[0].offset, 29u);

  container::ChecksumReader checksum(stored.size());
  checksum.AddStored(ToBytes(stored));
  EXPECT_EQ(checksum.Computed(), 639u);
  EXPECT_TRUE(checksum.Holds());
}

TEST(ContainerFormatTest, TheSizeFieldDefaultsToTheHeaderPartsLength) {
  const std::string stored = Write({Mem("Vostrel.ini", "[a]"), Mem("Apps\\Nav.exe", "")});
  const container::HeaderTable table = Headers(stored);
  ASSERT_TRUE(table.ok());
  EXPECT_EQ(table.mini.size, table.headerLength);
  EXPECT_EQ(table.entries[0].offset, table.headerLength);
}

TEST(ContainerFormatTest, TheWriterAgreesWithAPlainReferenceWriter) {
  std::mt19937 random(7);
  const std::u16string names[] = {u"a", u"Apps\\Nav.exe", u"Ünïcode\\данные.bin", u"日本\\😀.txt",
                                  u"x"};
  for (int round = 0; round < 20; ++round) {
    std::vector<Item> items;
    std::vector<container::Member> members;
    const int count = 1 + static_cast<int>(random() % 5);
    for (int i = 0; i < count; ++i) {
      Item item{names[i] + std::u16string(1, static_cast<char16_t>(u'0' + round % 10)),
                static_cast<uint32_t>(random()), std::string(random() % 700, '\0')};
      for (char& c : item.data) c = static_cast<char>(random());
      members.push_back(Mem(text::FromUtf16(item.name), item.data, item.attrib));
      items.push_back(std::move(item));
    }
    const uint32_t sizeField = static_cast<uint32_t>(random());
    SCOPED_TRACE(round);
    EXPECT_EQ(Write(members, SizeField(sizeField)), ReferenceContainer(items, sizeField));
  }
}

TEST(ContainerFormatTest, DecodeEntryStaysInsideTheEntry) {
  const std::string numbers = Le32(0x80) + Le32(5) + Le32(99);
  const struct {
    const char* what;
    std::string entry;
    bool accepted;
  } cases[] = {
      {"an empty name", Le32(18) + NameBytes(u"") + numbers, true},
      {"skipped bytes after Offset", Le32(24) + NameBytes(u"ab") + numbers + "ZZ", true},
      {"Len larger than the entry", Le32(23) + NameBytes(u"ab") + numbers, false},
      {"Len smaller than the entry", Le32(21) + NameBytes(u"ab") + numbers, false},
      {"one byte short of the minimum", std::string(Le32(17) + NameBytes(u"") + numbers, 0, 17),
       false},
      {"a name without a NUL unit", Le32(22) + std::string("a\0b\0c\0d\0e\0f\0g\0h\0i\0", 18),
       false},
      {"a NUL unit with no room for the numbers after it",
       Le32(22) + NameBytes(u"abcd") + std::string(8, '\0'), false},
      {"a NUL byte that is not a NUL unit", Le32(22) + std::string("a\0\0b", 4) + numbers + "ZZ",
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    // An exact-size heap copy, so that a read past the entry trips the address sanitizer.
    const std::vector<uint8_t> bytes = ToBytes(c.entry);
    const std::optional<container::Entry> entry = container::DecodeEntry(bytes);
    EXPECT_EQ(entry.has_value(), c.accepted);
    if (entry) {
      EXPECT_EQ(entry->attrib, 0x80u);
      EXPECT_EQ(entry->fileLen, 5u);
      EXPECT_EQ(entry->offset, 99u);
    }
  }
}

TEST(ContainerFormatTest, SumAndComplementMatchPlainLoopsAtEveryLengthAndAlignment) {
  std::mt19937 random(3);
  std::vector<uint8_t> bytes(70000);
  for (auto& b : bytes) b = static_cast<uint8_t>(random());
  // All 0xFF is the worst case for the sum's narrow lanes.
  std::vector<uint8_t> ones(64 * 1000 + 13, 0xFF);
  for (const auto* data : {&bytes, &ones}) {
    for (const std::size_t start : {0, 1, 7, 63}) {
      for (const std::size_t length : {0, 1, 63, 64, 65, 1000, 64 * 257, 64 * 999 + 5}) {
        if (start + length > data->size()) continue;
        const std::span<const uint8_t> span(data->data() + start, length);
        uint32_t plain = 0;
        for (const uint8_t b : span) plain += b;
        EXPECT_EQ(container::SumBytes(span), plain) << start << "+" << length;
        std::vector<uint8_t> copy(span.begin(), span.end());
        container::Complement(copy);
        for (std::size_t i = 0; i < length; ++i) ASSERT_EQ(copy[i], uint8_t(~span[i]));
      }
    }
  }
}

TEST(ContainerFormatTest, TheChecksumIgnoresHowTheBytesAreChunked) {
  std::mt19937 random(11);
  for (const std::size_t length : {0, 1, 2, 3, 4, 5, 36, 5000}) {
    std::vector<uint8_t> stored(length);
    for (auto& b : stored) b = static_cast<uint8_t>(random());
    std::vector<uint8_t> logical = stored;
    container::Complement(logical);
    uint32_t expectedSum = 0;
    uint32_t expectedStored = 0;
    for (std::size_t i = 0; i < length; ++i) {
      if (length < 4 || i < length - 4) {
        expectedSum += logical[i];
      } else {
        expectedStored |= static_cast<uint32_t>(logical[i]) << (8 * (i - (length - 4)));
      }
    }
    for (int chunking = 0; chunking < 5; ++chunking) {
      SCOPED_TRACE(testing::Message() << length << " bytes, chunking " << chunking);
      container::ChecksumReader fromStored(length);
      container::ChecksumReader fromLogical(length);
      std::size_t at = 0;
      while (at < length) {
        const std::size_t n = std::min<std::size_t>(length - at, 1 + random() % 9);
        fromStored.AddStored({stored.data() + at, n});
        fromLogical.AddLogical({logical.data() + at, n});
        at += n;
      }
      EXPECT_EQ(fromStored.Computed(), expectedSum);
      EXPECT_EQ(fromStored.Stored(), expectedStored);
      EXPECT_EQ(fromLogical.Computed(), expectedSum);
      EXPECT_EQ(fromLogical.Stored(), expectedStored);
    }
  }
}

TEST(ContainerFormatTest, ReadHeadersSaysWhereAndWhyItStops) {
  const std::string entry = Le32(22) + NameBytes(u"ab") + Le32(0) + Le32(3) + Le32(29);
  const std::string mini = "\x1A" + Le32(0) + Le16(1);
  const struct {
    const char* what;
    std::string logical;
    container::HeaderError error;
    uint64_t offset;
    uint32_t value;
    std::size_t entries;
  } cases[] = {
      {"nothing", "", container::HeaderError::kEmpty, 0, 0, 0},
      {"another first char", "\x1B" + Le32(0) + Le16(1), container::HeaderError::kNotFirstChar, 0,
       0x1B, 0},
      {"ends in the size field", "\x1A\x01\x02", container::HeaderError::kSizeField, 1, 2, 0},
      {"ends in num", "\x1A" + Le32(0) + "\x01", container::HeaderError::kNumField, 5, 1, 0},
      {"ends after the mini header", mini, container::HeaderError::kEntryLength, 7, 0, 0},
      {"Len 0", mini + Le32(0), container::HeaderError::kEntryMalformed, 7, 0, 0},
      {"Len 3", mini + Le32(3) + std::string(30, 'x'), container::HeaderError::kEntryMalformed, 7,
       3, 0},
      {"Len 4", mini + Le32(4) + std::string(30, 'x'), container::HeaderError::kEntryMalformed, 7,
       4, 0},
      {"a huge Len", mini + Le32(0xFFFFFFF0) + std::string(30, 'x'),
       container::HeaderError::kEntryTruncated, 7, 0xFFFFFFF0, 0},
      {"num beyond the entries present", "\x1A" + Le32(0) + Le16(2) + entry + "xyz\x7F",
       container::HeaderError::kEntryTruncated, 29, 0x7F7A7978, 1},
      {"num beyond, file ends inside the next Len", "\x1A" + Le32(0) + Le16(2) + entry + "xy",
       container::HeaderError::kEntryLength, 29, 2, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const container::HeaderTable table = Headers(Complemented(c.logical));
    EXPECT_EQ(table.error, c.error);
    EXPECT_EQ(table.errorOffset, c.offset);
    EXPECT_EQ(table.errorValue, c.value);
    EXPECT_EQ(table.entries.size(), c.entries);
    EXPECT_FALSE(container::DescribeHeaderError(table).empty());
  }
  // num 0 still takes one entry.
  const container::HeaderTable zero = Headers(Complemented("\x1A" + Le32(0) + Le16(0) + entry));
  EXPECT_TRUE(zero.ok());
  EXPECT_EQ(zero.entries.size(), 1u);
}

TEST(ContainerFormatTest, TheWriterRefusesWhatCannotBeStored) {
  CountingContent shortSource(10);
  CountingContent longSource(12);
  CountingContent huge(0);
  const struct {
    const char* what;
    std::vector<container::Member> members;
    const char* message;
  } cases[] = {
      {"no members", {}, "at least one member"},
      {"an empty name", {Mem("", "")}, "empty"},
      {"a NUL in a name", {Mem(std::string("a\0b", 3), "")}, "NUL"},
      {"a name that is not UTF-8", {Mem("a\xFF", "")}, "UTF-8"},
      {"a source shorter than its length", {Streamed("s", &shortSource, 11)}, "shrank"},
      {"a source longer than its length", {Streamed("l", &longSource, 11)}, "grew"},
      {"a package past 4 GiB", {Streamed("h", &huge, 0xFFFFFFF0)}, "4 GiB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    container::VectorSink sink;
    std::string error;
    EXPECT_FALSE(container::WriteContainer(c.members, {}, sink, &error));
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
  }
}

TEST(ContainerFormatTest, DataInsideNeedsTheDataBetweenHeaderPartAndChecksum) {
  container::Entry entry;
  entry.fileLen = 3;
  entry.offset = 29;
  EXPECT_TRUE(container::DataInside(entry, 29, 36));
  EXPECT_FALSE(container::DataInside(entry, 29, 35));  // would reach into the checksum
  EXPECT_FALSE(container::DataInside(entry, 30, 36));  // would start inside the header part
  entry.offset = 0xFFFFFFFF;                           // its end must not wrap round to 2
  EXPECT_FALSE(container::DataInside(entry, 29, 0xFFFFFFFF));
}

}  // namespace
