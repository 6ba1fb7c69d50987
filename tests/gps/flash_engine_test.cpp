// The flash-engine session against the emulated chip: the frames on the wire at their rates,
// the clock words, the baud switch, the engine upload, and how a broken reply ends a command.
#include "gps/flash_engine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gps/chip_images.h"
#include "gps/flash_engine_ops.h"
#include "gps/gps_support.h"
#include "sim/gps_chip.h"

namespace {

using gps_testing::BigEndian32;
using gps_testing::Frames;
using gps_testing::FramesWithCode;
using gps_testing::Writes;
using Bytes = std::vector<uint8_t>;
using gps_testing::kFromChip;
using gps_testing::kFromTerminal;

class FlashEngineTest : public gps_testing::GpsTest {
 protected:
  void SetUp() override {
    GpsTest::SetUp();
    HandOverChip();
  }
  uint32_t Start() {
    return FlashEngineStartSession(Context().m_engine, "COM6:", kFlashEngineSessionBaud);
  }
  sim::GpsConfig& Chip() { return Term().MutableConfig().Get<sim::GpsConfig>(); }
  std::vector<uint8_t> TerminalCodes() {
    std::vector<uint8_t> codes;
    for (const Bytes& frame : Frames(Tap(), kFromTerminal)) codes.push_back(frame[0]);
    return codes;
  }
};

TEST_F(FlashEngineTest, ASessionPutsItsFramesOnTheWireAtTheirRates) {
  const uint64_t opened = Term().Now();
  ASSERT_EQ(Start(), kFlashEngineOk);
  const std::vector<sim::WireChunk>& tap = Tap();

  // The first stage goes up 500 ms after the port opened, in one frame at 38400 baud.
  const sim::WireChunk& first = tap.at(0);
  EXPECT_EQ(first.from, kFromTerminal);
  EXPECT_EQ(first.baud, 38400U);
  EXPECT_EQ(first.start, (opened + 500) * sim::kNanosPerMs);
  ASSERT_EQ(first.bytes.size(), 1184U + 11 + 3);
  EXPECT_EQ(Bytes(first.bytes.begin(), first.bytes.begin() + 9),
            (Bytes{0x04, 0xAB, '$', 'S', 0x00, 0x00, 0x00, 0x04, 0xA0}));
  EXPECT_TRUE(std::equal(kFirstStageLoader, kFirstStageLoader + kFirstStageLoaderSize,
                         first.bytes.begin() + 9));
  EXPECT_EQ(Bytes(first.bytes.end() - 5, first.bytes.end() - 1), (Bytes{0, 0, 0, 0}));
  uint8_t sum = 0;
  for (const uint8_t byte : first.bytes) sum = static_cast<uint8_t>(sum + byte);
  EXPECT_EQ(sum, 0);
  // The chip acknowledges once the frame's last byte is in (10 bit times a byte), then echoes
  // the loader's checksum.
  const sim::WireChunk& ack = tap.at(1);
  EXPECT_EQ(ack.from, kFromChip);
  EXPECT_EQ(ack.bytes, Bytes{0x06});
  EXPECT_EQ(ack.start, sim::ByteArrival(first.start, 38400, first.bytes.size() - 1));
  const uint8_t loaderSum = gps::Checksum8(kFirstStageLoader, kFirstStageLoaderSize);
  EXPECT_EQ(Frames(tap, kFromChip).at(0), (Bytes{0x25, loaderSum}));

  EXPECT_EQ(TerminalCodes(), (Bytes{'$',  0x2A, 0x2C, 0x2E, 0x30, 0x28, 0x00, 0x02, 0x02, 0x02,
                                    0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x04}));
  // Clock words 0x3000 and 0x000A with RF type 0: 16.369 MHz.
  EXPECT_EQ(FramesWithCode(tap, kFromTerminal, 0x28).at(0),
            (Bytes{0x28, 0x05, 0x00, 0x07, 0x00, 0x00, 0x00, 0x0b, 0xa3, 0x27, 0xdd, 0x00}));
  EXPECT_EQ(FramesWithCode(tap, kFromTerminal, 0x00).at(0),
            (Bytes{0x00, 0x00, 0x04, 0xB0, 0x00, 0x00, 0xA0}));

  // The engine: 11 blocks of 1280 bytes and one of 668 at 307200 baud, then 0x04.
  const std::vector<Bytes> blocks = FramesWithCode(tap, kFromTerminal, 0x02);
  ASSERT_EQ(blocks.size(), 12U);
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(BigEndian32(blocks[i], 1), i * 1280);
    EXPECT_EQ(blocks[i].size(), 5 + (i < 11 ? 1280U : 668U));
    EXPECT_TRUE(std::equal(blocks[i].begin() + 5, blocks[i].end(), kFlashEngine + i * 1280));
  }
  const std::vector<Bytes> writes = Writes(tap, kFromTerminal);
  EXPECT_EQ(writes.at(writes.size() - 2), (Bytes{0x00, 0x05, 0x04, 0x00, 0x00, 0x00, 0x00, 0xF7}));
  uint64_t switched = 0;
  for (const sim::WireChunk& chunk : tap) {
    const bool block =
        chunk.from == kFromTerminal && chunk.bytes.size() > 3 && chunk.bytes[2] == 0x02;
    if (chunk.from == kFromTerminal && chunk.baud == 307200 && switched == 0)
      switched = chunk.start;
    if (block) {
      EXPECT_EQ(chunk.baud, 307200U);
    }
  }
  // The terminal acknowledged the switch at 38400 and waited 500 ms at the new rate (to the
  // millisecond of its clock).
  const auto reply = std::find_if(tap.begin(), tap.end(), [](const sim::WireChunk& c) {
    return c.from == kFromChip && c.bytes.size() == 4 && c.bytes[2] == 0x01;
  });
  ASSERT_NE(reply, tap.end());
  EXPECT_EQ((reply + 1)->bytes, Bytes{0x06});
  EXPECT_EQ((reply + 1)->baud, 38400U);
  EXPECT_GE(switched + sim::kNanosPerMs,
            sim::ByteArrival((reply + 1)->start, 38400, 0) + 500 * sim::kNanosPerMs);
}

TEST_F(FlashEngineTest, CommandsGoOutFramedAndEndingGivesThePortBack) {
  const platform::SerialConfig before = Term().Find<sim::GpsChip>()->Line().Config();
  ASSERT_EQ(Start(), kFlashEngineOk);
  uint32_t valueA = 0;
  gps::FlashDescriptor descriptor;
  ASSERT_EQ(FlashEngineOpenFlash(Context().m_engine, &valueA, &descriptor), kFlashEngineOk);
  EXPECT_STREQ(descriptor.partName, "AM29LV800BB");
  EXPECT_STREQ(descriptor.manufacturerName, "AMD");
  EXPECT_EQ(descriptor.capacity, 1U << 20);
  EXPECT_EQ(descriptor.regionCount, 4);
  EXPECT_EQ(FramesWithCode(Tap(), kFromTerminal, 0x1A).at(0),
            (Bytes{0x1A, 0, 0, 0, static_cast<uint8_t>(valueA * 32)}));
  ASSERT_EQ(FlashEngineCloseFlash(Context().m_engine), kFlashEngineOk);
  const std::vector<Bytes> writes = Writes(Tap(), kFromTerminal);
  EXPECT_EQ(writes.at(writes.size() - 2), (Bytes{0x00, 0x01, 0x0e, 0xf1}));
  EXPECT_EQ(Writes(Tap(), kFromChip).back(), (Bytes{0x00, 0x05, 0x0f, 0, 0, 0, 0, 0xec}));

  ASSERT_EQ(FlashEngineEndSession(Context().m_engine), kFlashEngineOk);
  EXPECT_EQ(Frames(Tap(), kFromTerminal).back(), Bytes{0x22});
  EXPECT_EQ(Term().Serial().OpenCount(), 0U);
  EXPECT_EQ(Term().Find<sim::GpsChip>()->Line().Config(), before);
  EXPECT_EQ(FlashEngineEndSession(Context().m_engine), kFlashEngineSessionNotStarted);
  EXPECT_STREQ(FlashEngineErrorText(kFlashEngineSessionNotStarted), "Session not started");
}

TEST_F(FlashEngineTest, ABrokenReplyEndsTheCommandWithoutAResend) {
  struct Case {
    sim::GpsFault fault;
    uint8_t answered;  // the terminal's answer to the reply, 0 when there was none
  };
  for (const Case c : {Case{sim::GpsFault::kBadChecksum, 0x15},
                       Case{sim::GpsFault::kLongReply, 0x06}, Case{sim::GpsFault::kNak, 0}}) {
    SCOPED_TRACE(sim::GpsFaultName(c.fault));
    // Each case is a run of its own, with a session that has detected no clock yet.
    Context().m_engine = FlashEngineSession();
    HandOverChip();
    Chip().fault = c.fault;
    Chip().faultCommand = 0x14;
    ASSERT_EQ(Start(), kFlashEngineOk);
    uint32_t valueA = 0;
    gps::FlashDescriptor descriptor;
    ASSERT_EQ(FlashEngineOpenFlash(Context().m_engine, &valueA, &descriptor), kFlashEngineOk);
    Term().Find<sim::GpsChip>()->Line().StartTap();
    uint32_t address = 1;
    uint32_t size = 1;
    EXPECT_EQ(FlashEngineGetSectorInfo(Context().m_engine, 0, &address, &size),
              kFlashEngineCommunication);
    // The command went out once; the reply's fields (sector 0 at 0) were not taken.
    EXPECT_EQ(FramesWithCode(Tap(), kFromTerminal, 0x14).size(), 1U);
    EXPECT_EQ(address, 1U);
    const std::vector<Bytes> writes = Writes(Tap(), kFromTerminal);
    EXPECT_EQ(writes.size(), c.answered == 0 ? 1U : 2U);
    if (c.answered != 0) {
      EXPECT_EQ(writes.back(), Bytes{c.answered});
    }
    FlashEngineEndSession(Context().m_engine);
  }
}

TEST_F(FlashEngineTest, StartingTwiceGives100AndUnknownCodesHaveOneText) {
  ASSERT_EQ(Start(), kFlashEngineOk);
  EXPECT_EQ(Start(), kFlashEngineSessionStarted);
  EXPECT_STREQ(FlashEngineErrorText(kFlashEngineSessionStarted), "Session already started");
  for (const uint32_t status : {14U, 15U, 22U, 99U, 106U}) {
    EXPECT_STREQ(FlashEngineErrorText(status), "Unknown error") << status;
  }
  EXPECT_STREQ(FlashEngineErrorText(12), "Area is not blank");
  EXPECT_STREQ(FlashEngineErrorText(105), "GRF3w clock frequency not supported in auto mode");
  char version[64];
  EXPECT_EQ(FlashEngineGetVersion(version), 0U);
  EXPECT_STREQ(version, "2.0");
}

TEST_F(FlashEngineTest, ChipClass0x23SkipsClockDetectionAndRoundsItsDivisorTo16) {
  Chip().chipClass = 0x23;
  ASSERT_EQ(Start(), kFlashEngineOk);
  EXPECT_EQ(TerminalCodes().at(2), 0x26);
  EXPECT_EQ(FramesWithCode(Tap(), kFromTerminal, 0x26).at(0), (Bytes{0x26, 0x00}));
  EXPECT_TRUE(FramesWithCode(Tap(), kFromTerminal, 0x2C).empty());
  EXPECT_TRUE(FramesWithCode(Tap(), kFromTerminal, 0x28).empty());
  // 307200 baud gives 160 in both classes; elsewhere the rounding differs.
  EXPECT_EQ(FramesWithCode(Tap(), kFromTerminal, 0x00).at(0),
            (Bytes{0x00, 0x00, 0x04, 0xB0, 0x00, 0x00, 0xA0}));
  EXPECT_EQ(FlashEngineUartDivisor(307200, 0x23), 160);
  EXPECT_EQ(FlashEngineUartDivisor(307200, 0x31), 160);
  EXPECT_EQ(FlashEngineUartDivisor(115200, 0x23), 432);
  EXPECT_EQ(FlashEngineUartDivisor(115200, 0x31), 428);
}

// The emulated chip takes its side of the clock table from the same functions, so what a run
// cannot show is how the clock words are read: which of their bits count, and what a
// combination the table lacks gives for each RF type.
TEST(FlashEngineClockWords, OnlyTheirSelectAndCodeBitsCount) {
  const struct {
    uint8_t rfType;
    uint16_t word1;
    uint16_t word2;
    uint32_t frequency;
    bool unsupported;
  } rows[] = {
      {0, 0xCFFF, 0xFFFF, 16369000, false},  // select 0: the code does not count
      {0, 0xFFFF, 0xFFEA, 16369000, false},  // select 3, code 10
      {1, 0xFFFF, 0xFFFE, 33600000, false},  // select 3, code 30: another RF type only
      {0, 0x3000, 5, 0, true},               // a code the table lacks: 105
      {1, 0x3000, 5, 0, false},              // for another RF type: no frequency at all
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::Message()
                 << "rf " << int{row.rfType} << " words " << row.word1 << " " << row.word2);
    bool unsupported = !row.unsupported;
    EXPECT_EQ(FlashEngineClockFrequency(row.rfType, row.word1, row.word2, &unsupported),
              row.frequency);
    EXPECT_EQ(unsupported, row.unsupported);
  }
}

}  // namespace
