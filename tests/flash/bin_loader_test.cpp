// The BIN loader on streams in memory: the header checks, flash and RAM images, the records
// and where they may land, the memory division and the image buffer.
#include "flash/bin_loader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "flash/flash_job.h"
#include "flash/flash_support.h"
#include "log/log.h"
#include "support/terminal_fixture.h"

namespace {

using flash_testing::BinHeader;
using flash_testing::EndRecord;
using flash_testing::Le32;
using flash_testing::Record;
using testing_support::TerminalTest;

class BinLoaderTest : public TerminalTest {
 protected:
  sim::TerminalConfig Config() const override { return flash_testing::SmallTerminal(); }
  void SetUp() override {
    TerminalTest::SetUp();
    StartUpdaterObjects(3);
  }

  // Loads the stream; the image handed to the writer lands in m_written.
  bool Load(const std::string& stream) {
    m_stream = stream;
    m_at = 0;
    m_writes = 0;
    m_closes = 0;
    const ImageIo io{[this](uint32_t count, uint8_t* destination) {
                       if (count == 0 || destination == nullptr) return false;
                       if (count > m_stream.size() - m_at) return false;
                       std::memcpy(destination, m_stream.data() + m_at, count);
                       m_at += count;
                       return true;
                     },
                     [this](uint32_t start, uint32_t length) {
                       ++m_writes;
                       EXPECT_EQ(start, 0U);
                       m_written.assign(
                           reinterpret_cast<const char*>(Context().m_flash.imageBuffer),
                           Context().m_flash.imageBufferSize);
                       m_writtenLength = length;
                       return m_writeSucceeds;
                     },
                     [this] { ++m_closes; }};
    return LoadBINStream(Context().m_flash, io);
  }
  bool Traced(const std::string& line) { return DebugText().find(line) != std::string::npos; }

  std::string m_stream;
  std::size_t m_at = 0;
  int m_writes = 0;
  int m_closes = 0;
  bool m_writeSucceeds = true;
  std::string m_written;
  uint32_t m_writtenLength = 0;
};

TEST_F(BinLoaderTest, RefusesWhatIsNotABinStream) {
  EXPECT_FALSE(Load("B000FF" + Le32(0x80000000) + Le32(4)));
  EXPECT_TRUE(Traced("LoadBIN: ERROR: This is not a .BIN file 42 30 30 30 46 46 0\r\n"));
  EXPECT_FALSE(Load("B000"));
  EXPECT_TRUE(Traced("LoadBIN: ERROR: This is not a .BIN file 0 0 0 0 0 0 0\r\n"));
  EXPECT_FALSE(Load("B000FF\n" + Le32(0x80000000) + "\x01\x02"));
  EXPECT_TRUE(Traced("LoadBIN: Unable to read image start/length\r\n"));
  EXPECT_EQ(m_writes, 0);
}

TEST_F(BinLoaderTest, AssemblesRecordsInAnyOrderWithGapsAndWrongChecksums) {
  const uint32_t start = 0x80000000;
  const std::string stream = BinHeader(start, 0x30) + Record(start + 0x20, "tail-data") +
                             Record(start, "head", 0xDEADBEEF) + EndRecord(77);
  ASSERT_TRUE(Load(stream));
  EXPECT_EQ(m_writes, 1);
  EXPECT_EQ(m_closes, 1);
  EXPECT_EQ(m_writtenLength, 0x30U);
  ASSERT_EQ(m_written.size(), 65536U);
  std::string expected(0x30, '\xFF');
  expected.replace(0, 4, "head");
  expected.replace(0x20, 9, "tail-data");
  EXPECT_EQ(m_written.substr(0, 0x30), expected);
  // Past the image length the buffer stays zero.
  EXPECT_EQ(m_written.substr(0x30), std::string(65536 - 0x30, '\0'));
  EXPECT_TRUE(Traced("LoadBIN: 4 bytes to 0x80000000, checksum 0xDEADBEEF\r\n"));
  // The terminating record is known by address and checksum, whatever its length says.
  EXPECT_TRUE(Traced("LoadBIN: 77 bytes to 0x0, checksum 0x0\r\n"));
}

TEST_F(BinLoaderTest, FlashAndRamImagesByStartAddress) {
  const struct {
    uint32_t start;
    bool flash;
  } cases[] = {{0x80000000, true},  {0x84000000, true},  {0x00000000, true},
               {0x84000001, false}, {0x40000000, false}, {0xC0000000, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.start);
    // Only the terminating record: a RAM image fails without the "not supported" message, a
    // flash image as one without data that would leave its partition erased and empty.
    const std::string before = DebugText();
    EXPECT_FALSE(Load(BinHeader(c.start, 16) + EndRecord()));
    const std::string trace = DebugText().substr(before.size());
    EXPECT_EQ(trace.find("LoadBIN: ERROR NOT FLASH IMAGE\r\n") != std::string::npos, !c.flash);
    EXPECT_EQ(trace.find("holds no data record") != std::string::npos, c.flash);
    EXPECT_EQ(trace.find("not supported"), std::string::npos);
    EXPECT_EQ(Load(BinHeader(c.start, 16) + Record(c.start, "data", 1) + EndRecord()), c.flash);
  }
  // A RAM image's record has nowhere to go.
  EXPECT_FALSE(Load(BinHeader(0x40000000, 16) + Record(0x40000000, "data") + EndRecord()));
  EXPECT_TRUE(Traced("LoadBIN: Download of RAM .BIN files not supported\r\n"));
  EXPECT_TRUE(Traced("LoadBIN: Data record corrupted\r\n"));
}

TEST_F(BinLoaderTest, BadRecordsEndTheLoadWithoutWritingOutsideTheBuffer) {
  const uint32_t start = 0x80010000;
  const struct {
    const char* name;
    std::string records;
    const char* message;
  } cases[] = {
      {"length 0 with an address", Record(start, "", 5), "LoadBIN: Data record corrupted\r\n"},
      {"below the start", Record(start - 4, "abcd"), "LoadBIN: Data record corrupted\r\n"},
      {"past the buffer", Record(start + 65536 - 2, "abcd"), "LoadBIN: Data record corrupted\r\n"},
      {"far past the buffer", Record(0xFFFFFFF0, "abcd"), "LoadBIN: Data record corrupted\r\n"},
      {"data cut short", Le32(start) + Le32(100) + Le32(1) + "short",
       "LoadBIN: Data record corrupted\r\n"},
      {"no terminating record", Record(start, "abcd"), "LoadBIN: FAILED TO WRITE TO FLASH\r\n"},
      {"length cut short", Le32(start) + "\x01", "LoadBIN: FAILED TO WRITE TO FLASH\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string before = DebugText();
    EXPECT_FALSE(Load(BinHeader(start, 100) + c.records));
    EXPECT_NE(DebugText().find(c.message, before.size()), std::string::npos);
    EXPECT_EQ(m_writes, 0);
    // The failed load gave its buffer back.
    EXPECT_EQ(Context().m_flash.imageBuffer, nullptr);
  }
  // A record that ends exactly at the buffer's end is inside it.
  EXPECT_TRUE(Load(BinHeader(start, 100) + Record(start + 65536 - 4, "last") + EndRecord()));
  EXPECT_EQ(m_written.substr(65532), "last");
}

TEST_F(BinLoaderTest, BufferGetsTheLengthRoundedDownPlus64KiB) {
  const struct {
    uint32_t length;
    uint64_t buffer;
  } cases[] = {{1, 65536}, {65535, 65536}, {65536, 131072}, {131072, 196608}, {131073, 196608}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    ASSERT_TRUE(Load(BinHeader(0x80000000, c.length) + Record(0x80000000, "d", 1) + EndRecord()));
    EXPECT_EQ(m_written.size(), c.buffer);
    EXPECT_TRUE(Traced("LoadBIN: Going to allocate '" + std::to_string(c.buffer) + "' bytes\r\n"));
  }
}

TEST_F(BinLoaderTest, ProgressShowsEachWholePercentOnceAndTheEnd) {
  std::string records;
  for (uint32_t i = 0; i < 4; ++i) records += Record(0x80000000 + i * 25, std::string(25, 'x'));
  ASSERT_TRUE(Load(BinHeader(0x80000000, 100) + records + EndRecord()));
  const std::string trace = DebugText();
  for (const char* percent : {"[0%]", "[25%]", "[50%]", "[75%]", "[100%]"}) {
    EXPECT_NE(trace.find(std::string("OEMShowProgress: Progress ") + percent), std::string::npos)
        << percent;
  }
}

TEST_F(BinLoaderTest, MemoryDivisionResults) {
  const std::string image = BinHeader(0x80000000, 4) + Record(0x80000000, "data") + EndRecord();
  const struct {
    sim::DivisionAnswer answer;
    bool loads;
    const char* message;
  } cases[] = {
      {sim::DivisionAnswer::kChanged, true, "LoadBIN: Set memory division sucessfully\r\n"},
      {sim::DivisionAnswer::kRebootPending, true, "LoadBIN: NEW store=8192 ram=8192"},
      {sim::DivisionAnswer::kMustReboot, false,
       "LoadBIN: Memory division requires a reboot- FAILED\r\n"},
      {sim::DivisionAnswer::kFailed, false, "LoadBIN: Memory division change failed (31)\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(sim::DivisionAnswerName(c.answer));
    Term().MutableConfig().Get<sim::MemoryConfig>().setAnswer = c.answer;
    Term().Memory().PowerOn();
    const std::string before = DebugText();
    EXPECT_EQ(Load(image), c.loads);
    EXPECT_NE(DebugText().find(c.message, before.size()), std::string::npos);
  }
  EXPECT_TRUE(Traced("LoadBIN: OLD store=8192 ram=8192 pagesize=4096\r\n"));
  EXPECT_TRUE(Traced("LoadBIN: NEW store=768 ram=15616 pagesize=4096\r\n"));
}

TEST_F(BinLoaderTest, AnImageLargerThanProgramMemoryFailsItsAllocation) {
  // 61 MiB of RAM after the division, 4 MiB of it taken by the running programs.
  EXPECT_FALSE(Load(BinHeader(0x80000000, 60U << 20) + EndRecord()));
  EXPECT_TRUE(Traced("LoadBIN: Unable to allocate buffer for file\r\n"));
  EXPECT_TRUE(Load(BinHeader(0x80000000, 32U << 20) + Record(0x80000000, "d", 1) + EndRecord()));
  // A length whose rounding passes 32 bits is refused the same way.
  EXPECT_FALSE(Load(BinHeader(0x80000000, 0xFFFFFFFF) + EndRecord()));
}

TEST_F(BinLoaderTest, AFailedWriteIsReported) {
  m_writeSucceeds = false;
  EXPECT_FALSE(Load(BinHeader(0x80000000, 4) + Record(0x80000000, "data") + EndRecord()));
  EXPECT_TRUE(Traced("LoadBIN: ERROR OEMWriteFlash FAILED\r\n"));
}

}  // namespace
