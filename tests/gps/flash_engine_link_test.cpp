// The edges of the flash-engine link: the longest reply the frame buffer takes, and a session
// start that fails at each of its stages, which leaves the port closed with its settings as
// they were and no session behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <vector>

#include "fuzz/gps_memory_line.h"
#include "gps/flash_engine.h"
#include "gps/frame.h"
#include "gps/gps_support.h"
#include "sim/gps_chip.h"

namespace {

// A frame as the chip sends it: length, payload, checksum.
std::vector<uint8_t> ChipFrame(uint32_t payloadLength) {
  std::vector<uint8_t> frame = {static_cast<uint8_t>(payloadLength >> 8),
                                static_cast<uint8_t>(payloadLength)};
  for (uint32_t i = 0; i < payloadLength; ++i) frame.push_back(static_cast<uint8_t>(i * 7 + 1));
  frame.push_back(gps::Checksum8(frame.data(), static_cast<uint32_t>(frame.size())));
  return frame;
}

TEST(FrameLimitTest, AReplyTheBufferHoldsIsTakenAndOneBytePastIsRefusedUnread) {
  constexpr uint32_t kLongest = gps::kFrameBufferSize - gps::kFrameOverhead;  // 1285
  const struct {
    uint32_t payload;
    bool taken;
  } cases[] = {{0, true}, {1, true}, {kLongest, true}, {kLongest + 1, false}, {0xFFFF, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.payload);
    const std::vector<uint8_t> bytes = ChipFrame(c.payload);
    MemoryLine line(bytes.data(), bytes.size());
    gps::FrameBuffer frame;
    EXPECT_EQ(frame.Receive(line), c.taken);
    EXPECT_EQ(line.Written(), std::vector<uint8_t>{c.taken ? gps::kAck : gps::kNak});
    EXPECT_EQ(line.Consumed(), c.taken ? bytes.size() : 2U);
    if (c.taken) {
      ASSERT_EQ(frame.PayloadLength(), c.payload);
      EXPECT_TRUE(std::equal(bytes.begin() + 2, bytes.end() - 1, frame.Bytes()));
    }
  }
}

class SessionStartTest : public gps_testing::GpsTest {};

TEST_F(SessionStartTest, AFailedStartLeavesThePortAsItWasAndNoSession) {
  const auto refuse = [](uint32_t command) {
    return [command](sim::TerminalConfig& config) {
      config.Get<sim::GpsConfig>().fault = sim::GpsFault::kNak;
      config.Get<sim::GpsConfig>().faultCommand = command;
    };
  };
  const struct {
    const char* name;
    std::function<void(sim::TerminalConfig&)> fault;
    uint32_t status;
  } cases[] = {
      {"silent chip",
       [](sim::TerminalConfig& c) { c.Get<sim::GpsConfig>().fault = sim::GpsFault::kSilent; },
       kFlashEngineInitialLoad},
      {"first stage refused", refuse('$'), kFlashEngineInitialLoad},
      {"chip class not answered", refuse(0x2A), kFlashEngineCommunication},
      {"clock words the table lacks",
       [](sim::TerminalConfig& c) { c.Get<sim::GpsConfig>().clockWord2 = 5; },
       kFlashEngineClockNotSupported},
      {"baud switch refused", refuse(0x00), kFlashEngineLineSetup},
      {"engine block refused at the session rate", refuse(0x02), kFlashEngineInitialLoad},
      {"engine start refused", refuse(0x04), kFlashEngineInitialLoad},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Fresh(c.fault);
    HandOverChip();
    const platform::SerialConfig before = Term().Find<sim::GpsChip>()->Line().Config();
    EXPECT_EQ(FlashEngineStartSession(Context().m_engine, "COM6:", kFlashEngineSessionBaud),
              c.status);
    EXPECT_EQ(Term().Serial().OpenCount(), 0U);
    EXPECT_EQ(Term().Find<sim::GpsChip>()->Line().Config(), before);
    EXPECT_EQ(FlashEngineEndSession(Context().m_engine), kFlashEngineSessionNotStarted);
  }
}

TEST_F(SessionStartTest, APortHeldByAnotherProgramIsALineSetupError) {
  HandOverChip();
  platform::SerialConfig inForce;
  ASSERT_NE(Term().Serial().OpenSerial("COM6:", {}, &inForce), platform::kInvalidHandle);
  EXPECT_EQ(FlashEngineStartSession(Context().m_engine, "COM6:", kFlashEngineSessionBaud),
            kFlashEngineLineSetup);
  EXPECT_EQ(Term().Serial().OpenCount(), 1U);
  EXPECT_EQ(FlashEngineEndSession(Context().m_engine), kFlashEngineSessionNotStarted);
}

}  // namespace
