// The flash-engine programming sequence against the emulated chip: blank check, erase, writes in
// 1024-byte commands grouped in 4096-byte chunks, the CRC check, and the order in which a failing
// engine status ends it; the open reply's descriptor as the parser takes it.
#include "gps/flash_engine_ops.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gps/flash_engine.h"
#include "gps/gps_support.h"
#include "sim/gps_chip.h"
#include "tools/gps_images/gps_images.h"

namespace {

using gps_testing::BigEndian32;
using gps_testing::Count;
using gps_testing::Frames;
using gps_testing::FramesWithCode;
using Bytes = std::vector<uint8_t>;
using gps_testing::kFromTerminal;

class FlashProgramTest : public gps_testing::GpsTest {
 protected:
  void SetUp() override {
    GpsTest::SetUp();
    HandOverChip();
  }
  sim::GpsConfig& Chip() { return Term().MutableConfig().Get<sim::GpsConfig>(); }
  bool Program(const std::string& image) {
    m_image.assign(image.begin(), image.end());
    return FlashEngineProgramSequence(Context().m_gps, Context().m_engine, Context().m_program,
                                      "COM6:", m_image.data(),
                                      static_cast<uint32_t>(m_image.size()));
  }
  // An erased flash instead of the factory firmware.
  void EraseFlash() {
    testing_support::WriteHostFile(
        Term().Dir() / "gps" / "flash.bin",
        std::string(Term().Find<sim::GpsChip>()->FlashPart().capacity, '\xFF'));
  }
  std::vector<uint8_t> CodesSent() {
    std::vector<uint8_t> codes;
    for (const Bytes& frame : Frames(Tap(), kFromTerminal)) codes.push_back(frame[0]);
    return codes;
  }
  bool FlashHoldsImage() {
    const std::vector<uint8_t> flash = Term().Find<sim::GpsChip>()->FlashContents();
    return std::equal(m_image.begin(), m_image.end(), flash.begin());
  }

 private:
  std::vector<uint8_t> m_image;
};

TEST_F(FlashProgramTest, A5000ByteImageGoesOutInFiveWritesWithTwoProgressReports) {
  const std::string image = gps_testing::Firmware("3.3.0", 5000);
  ASSERT_TRUE(Program(image));
  const std::vector<Bytes> writes = FramesWithCode(Tap(), kFromTerminal, 0x08);
  ASSERT_EQ(writes.size(), 5U);
  const uint32_t lengths[] = {1024, 1024, 1024, 1024, 904};
  for (std::size_t i = 0; i < writes.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(BigEndian32(writes[i], 1), i * 1024);
    EXPECT_EQ(BigEndian32(writes[i], 5), lengths[i]);
    EXPECT_EQ(Bytes(writes[i].begin() + 9, writes[i].end()),
              Bytes(image.begin() + i * 1024, image.begin() + i * 1024 + lengths[i]));
  }
  const std::string debug = DebugText();
  EXPECT_EQ(Count(debug, "GPSProg: Programming device..."), 2U);
  EXPECT_NE(debug.find("GPSProg: Progress [0%]\rGPSProg: Programming device... (0%)\r\n"
                       "GPSProg: Progress [81%]\rGPSProg: Programming device... (81%)\r\n"
                       "GPSProg: GPSProgramGpsFast: Programming successful\r\n"),
            std::string::npos);
  // The CRC is asked over the image with the seed 0xFFFF, then the flash closed, the session ended.
  EXPECT_EQ(FramesWithCode(Tap(), kFromTerminal, 0x1E).at(0),
            (Bytes{0x1E, 0, 0, 0, 0, 0, 0, 0x13, 0x88, 0xFF, 0xFF}));
  const std::vector<uint8_t> codes = CodesSent();
  EXPECT_EQ(std::vector<uint8_t>(codes.end() - 3, codes.end()), (Bytes{0x1E, 0x0E, 0x22}));
  EXPECT_TRUE(FlashHoldsImage());
}

TEST_F(FlashProgramTest, ANotBlankAreaIsErasedFromSector0UntilTheImageIsCovered) {
  // The factory firmware fills the first 256 KiB; sectors of 16, 8, 8 and 32 KiB cover 40000.
  ASSERT_TRUE(Program(gps_testing::Firmware("3.3.0", 40000)));
  std::vector<std::pair<uint32_t, uint32_t>> erased;
  for (const Bytes& frame : FramesWithCode(Tap(), kFromTerminal, 0x0C)) {
    erased.push_back({BigEndian32(frame, 1), BigEndian32(frame, 5)});
  }
  EXPECT_EQ(erased, (std::vector<std::pair<uint32_t, uint32_t>>{
                        {0, 16384}, {16384, 8192}, {24576, 8192}, {32768, 32768}}));
  EXPECT_NE(DebugText().find("GPSProg: Erasing device... (61%)\r\n"), std::string::npos);
  EXPECT_TRUE(FlashHoldsImage());
  // Past the image the factory firmware was left as it was.
  EXPECT_NE(Term().Find<sim::GpsChip>()->FlashContents().at(65536), 0xFF);
}

TEST_F(FlashProgramTest, ABlankAreaIsNotErased) {
  EraseFlash();
  ASSERT_TRUE(Program(gps_testing::Firmware("3.3.0", 40000)));
  EXPECT_TRUE(FramesWithCode(Tap(), kFromTerminal, 0x0C).empty());
  EXPECT_TRUE(FlashHoldsImage());
}

TEST_F(FlashProgramTest, AnImageLargerThanTheFlashStopsErasingAtItsEndAndFailsToWrite) {
  Chip().flashPart = "AM29LV400BB";  // 512 KiB in 11 sectors
  EXPECT_FALSE(Program(gps_testing::Firmware("3.3.0", 600 * 1024)));
  EXPECT_EQ(FramesWithCode(Tap(), kFromTerminal, 0x0C).size(), 11U);
  EXPECT_EQ(FramesWithCode(Tap(), kFromTerminal, 0x14).size(), 11U);
  const std::string debug = DebugText();
  EXPECT_EQ(debug.find("Erase sector error"), std::string::npos);
  // 128 chunks fit; the write at 512 KiB is refused.
  EXPECT_EQ(Count(debug, "GPSProg: Programming device..."), 128U);
  EXPECT_NE(debug.find("GPSProg: Invalid offset\r\n"), std::string::npos);
  EXPECT_NE(debug.find("GPSProg: GPSProgramGpsFast: Failed to get target CRC\r\n"),
            std::string::npos);
}

TEST_F(FlashProgramTest, AnEngineStatusEndsTheSequenceAndStillClosesInOrder) {
  struct Case {
    uint8_t command;
    uint32_t status;
    std::vector<std::string> texts;
    Bytes lastCodes;  // the last commands the terminal sent
  };
  const Case cases[] = {
      {0x18, 8, {"GPSProgramGpsFast: Failed GPS blank check"}, {0x18, 0x0E, 0x22}},
      {0x0C,
       3,
       {"Erase sector error", "GPSProgramGpsFast: CRC check failed"},
       {0x0C, 0x1E, 0x0E, 0x22}},
      {0x08,
       4,
       {"Flash write error", "GPSProgramGpsFast: CRC check failed"},
       {0x08, 0x1E, 0x0E, 0x22}},
      {0x08,
       12,
       {"Area is not blank", "GPSProgramGpsFast: CRC check failed"},
       {0x08, 0x1E, 0x0E, 0x22}},
      {0x14,
       13,
       {"Sector number is invalid", "GPSProgramGpsFast: CRC check failed"},
       {0x14, 0x1E, 0x0E, 0x22}},
      {0x06, 16, {"GPSProgramGpsFast: Failed to open access to flash engine"}, {0x06, 0x22}},
      {0x1E, 17, {"GPSProgramGpsFast: Failed to get target CRC"}, {0x1E, 0x0E, 0x22}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "command " << int{c.command} << " status " << c.status);
    Fresh([&](sim::TerminalConfig& config) {
      config.Get<sim::GpsConfig>().fault = sim::GpsFault::kStatus;
      config.Get<sim::GpsConfig>().faultCommand = c.command;
      config.Get<sim::GpsConfig>().faultStatus = c.status;
    });
    HandOverChip();
    const std::size_t before = DebugText().size();
    EXPECT_FALSE(Program(gps_testing::Firmware("3.3.0", 9000)));
    const std::string debug = DebugText().substr(before);
    for (const std::string& text : c.texts) {
      EXPECT_NE(debug.find("GPSProg: " + text + "\r\n"), std::string::npos) << text;
    }
    const std::vector<uint8_t> codes = CodesSent();
    EXPECT_EQ(std::vector<uint8_t>(codes.end() - static_cast<std::ptrdiff_t>(c.lastCodes.size()),
                                   codes.end()),
              c.lastCodes);
    // No command is repeated after the failing one.
    EXPECT_EQ(Count(std::string(codes.begin(), codes.end()), std::string(1, c.command)), 1U);
    EXPECT_EQ(Term().Serial().OpenCount(), 0U);
  }
}

TEST_F(FlashProgramTest, AnEmptyImageWritesNothingAndComparesTheSeed) {
  ASSERT_TRUE(Program(""));
  EXPECT_TRUE(FramesWithCode(Tap(), kFromTerminal, 0x08).empty());
  EXPECT_EQ(FramesWithCode(Tap(), kFromTerminal, 0x1E).at(0),
            (Bytes{0x1E, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF}));
  EXPECT_EQ(Context().m_program.hostCrc, 0xFFFF);
}

// The descriptor's fields after the reply's code, as the engine sends them.
Bytes OpenReplyFields(const std::string& part, int regions, bool trailer = true) {
  Bytes out;
  out.reserve(256);
  const auto append = [&out](std::initializer_list<uint8_t> bytes) {
    for (const uint8_t byte : bytes) out.push_back(byte);
  };
  append({0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 16});
  for (const char c : part) out.push_back(static_cast<uint8_t>(c));
  append({0, 'A', 'M', 'D', 0, 0x22, 0x03, 0x00, 0x01, 0x00, 0x10, 0x00, 0x00});
  out.push_back(static_cast<uint8_t>(regions));
  for (int i = 0; i < regions; ++i) append({0, 0, 0, 1, 0, 1, 0, 0});
  if (trailer) append({1, 0, 1});
  return out;
}

TEST(FlashEngineOpenReply, RefusesWhatItsBuffersCannotHold) {
  const struct {
    const char* what;
    Bytes fields;
    bool accepted;
  } cases[] = {
      {"4 regions", OpenReplyFields("AM29LV800BB", 4), true},
      {"6 regions", OpenReplyFields("AM29LV800BB", 6), true},
      {"7 regions", OpenReplyFields("AM29LV800BB", 7), false},
      {"a 63-character name", OpenReplyFields(std::string(63, 'N'), 1), true},
      {"a 64-character name", OpenReplyFields(std::string(64, 'N'), 1), false},
      {"no attributes", OpenReplyFields("AM29LV800BB", 1, false), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    gps::FrameBuffer frame;
    frame.Load(c.fields.data(), static_cast<uint32_t>(c.fields.size()));
    gps::OpenReply reply;
    EXPECT_EQ(gps::ParseOpenReply(frame, &reply), c.accepted);
    Bytes longer = c.fields;
    longer.push_back(0);
    frame.Load(longer.data(), static_cast<uint32_t>(longer.size()));
    EXPECT_FALSE(gps::ParseOpenReply(frame, &reply)) << "with one byte more";
  }
}

}  // namespace
