// The serial boot-loader path against the emulated chip: the boot loader's upload in 16-byte
// writes, the header record and the boot loader's acknowledgement, the S-record lines one per
// write with a progress report every 20 lines.
#include "gps/serial_boot.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "gps/gps_prog.h"
#include "gps/gps_support.h"
#include "platform/platform.h"
#include "sim/gps_chip.h"

namespace {

using gps_testing::Count;
using gps_testing::Writes;
using Bytes = std::vector<uint8_t>;
using gps_testing::kFromChip;
using gps_testing::kFromTerminal;

Bytes AsBytes(std::string_view text) { return {text.begin(), text.end()}; }

class SerialBootTest : public gps_testing::GpsTest {
 protected:
  void SetUp() override {
    GpsTest::SetUp();
    HandOverChip();
  }
  void TearDown() override {
    ClosePort();
    GpsTest::TearDown();
  }
  void ClosePort() {
    if (m_port != platform::kInvalidHandle) platform::Serial().CloseSerial(m_port, nullptr);
    m_port = platform::kInvalidHandle;
  }
  // Starts over with the chip handed over afresh.
  void Again() {
    ClosePort();
    HandOverChip();
  }
  sim::GpsConfig& Chip() { return Term().MutableConfig().Get<sim::GpsConfig>(); }
  gps::PortLine& Open() {
    m_port = SerialOpenPort("COM6:", 38400);
    EXPECT_NE(m_port, platform::kInvalidHandle);
    m_line.SetPort(m_port);
    return m_line;
  }
  void SetBootLoader(const std::string& bytes) {
    Context().m_gps.binaryBuffer.reset(new uint8_t[bytes.size()]);
    std::memcpy(Context().m_gps.binaryBuffer.get(), bytes.data(), bytes.size());
    Context().m_gps.binarySize = static_cast<uint32_t>(bytes.size());
  }
  void SetSRecords(const std::string& text) {
    Context().m_gps.srecBuffer.reset(new uint8_t[text.size() + 1]());
    std::memcpy(Context().m_gps.srecBuffer.get(), text.data(), text.size());
    Context().m_gps.srecSize = static_cast<uint32_t>(text.size());
  }
  // Uploads the stand-in boot loader and sends the text to it, after `noise` line feeds, which
  // the boot loader passes over.
  bool SendFirmware(const std::string& text, std::size_t noise = 0) {
    gps::PortLine& line = Open();
    SetBootLoader(gps_testing::BootLoader());
    EXPECT_TRUE(SendBootLoader(Context().m_gps, line));
    const std::string feeds(noise, '\n');
    if (noise > 0) line.Write(reinterpret_cast<const uint8_t*>(feeds.data()), feeds.size());
    SetSRecords(text);
    Term().Find<sim::GpsChip>()->Line().StartTap();
    return SendSRecordFile(Context().m_gps, line);
  }

 private:
  platform::Handle m_port = platform::kInvalidHandle;
  gps::PortLine m_line;
};

TEST_F(SerialBootTest, TheBootLoaderGoesOutAsHeaderSixteenByteWritesAndTrailer) {
  std::string loader(74565, '\0');
  for (std::size_t i = 0; i < loader.size(); ++i) loader[i] = static_cast<char>(i * 7);
  SetBootLoader(loader);
  ASSERT_TRUE(SendBootLoader(Context().m_gps, Open()));
  // The port: 38400 baud 8N1, binary mode alone among bits 0 to 14, reads of at most 10 ms.
  const platform::SerialConfig& config = Term().Find<sim::GpsChip>()->Line().Config();
  EXPECT_EQ(config.settings.baudRate, 38400U);
  EXPECT_EQ(config.settings.flags & 0x7FFF, platform::kDcbBinary);
  EXPECT_EQ(config.timeouts, (platform::SerialTimeouts{0, 0, 10, 0, 0}));

  const std::vector<Bytes> writes = Writes(Tap(), kFromTerminal);
  ASSERT_EQ(writes.size(), 1 + 4660 + 1 + 1U);
  EXPECT_EQ(writes.front(), (Bytes{0x53, 0x00, 0x00, 0x01, 0x23, 0x45}));
  EXPECT_EQ(writes.back(), (Bytes{0, 0, 0, 0}));
  Bytes body;
  for (std::size_t i = 1; i + 1 < writes.size(); ++i) {
    EXPECT_EQ(writes[i].size(), i < 4661 ? 16U : 5U);
    body.insert(body.end(), writes[i].begin(), writes[i].end());
  }
  EXPECT_EQ(body, AsBytes(loader));
  for (const sim::WireChunk& chunk : Tap()) EXPECT_EQ(chunk.baud, 38400U);
  const std::string debug = DebugText();
  EXPECT_EQ(Count(debug, "GPSProg: Sending boot loader... ("), 4660U);
  EXPECT_NE(debug.find("GPSProg: Sending boot loader... (99%)\r\nGPSProg: Progress [100%]\r"),
            std::string::npos);
}

TEST_F(SerialBootTest, ABootLoaderUnderSixteenBytesGoesOutInOneWriteWithOnlyTheLastProgress) {
  SetBootLoader("0123456789");
  ASSERT_TRUE(SendBootLoader(Context().m_gps, Open()));
  EXPECT_EQ(Writes(Tap(), kFromTerminal),
            (std::vector<Bytes>{{0x53, 0, 0, 0, 0, 10}, AsBytes("0123456789"), {0, 0, 0, 0}}));
  const std::string debug = DebugText();
  EXPECT_EQ(debug.find("Sending boot loader"), std::string::npos);
  EXPECT_EQ(Count(debug, "GPSProg: Progress ["), 1U);
  EXPECT_NE(debug.find("GPSProg: Progress [100%]\r"), std::string::npos);
}

TEST_F(SerialBootTest, LinesGoOutOneWriteEachWithProgressBeforeLines0_20And40) {
  // A header record, 42 data records, a count record and a termination record: 45 lines.
  const std::string text = gps_testing::FirmwareSRecords("3.3.0", 42 * 32);
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find('\n', at) + 1;
    lines.push_back(text.substr(at, end - at));
    at = end;
  }
  ASSERT_EQ(lines.size(), 45U);
  ASSERT_TRUE(SendFirmware(text));

  std::vector<Bytes> writes = Writes(Tap(), kFromTerminal);
  ASSERT_EQ(writes.size(), 1 + 45U);
  EXPECT_EQ(writes[0], AsBytes("S00600004844521B\r\n"));
  for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(writes[i + 1], AsBytes(lines[i])) << i;
  EXPECT_EQ(Writes(Tap(), kFromChip), (std::vector<Bytes>{AsBytes("SA\r\n")}));
  std::size_t before20 = 0;
  std::size_t before40 = 0;
  for (std::size_t i = 0; i < 40; ++i) (i < 20 ? before20 : before40) += lines[i].size();
  before40 += before20;
  const std::string debug = DebugText();
  EXPECT_EQ(Count(debug, "GPSProg: Programming device..."), 3U);
  for (const std::size_t sent : {std::size_t{0}, before20, before40}) {
    const std::string percent = std::to_string(sent * 100 / text.size());
    EXPECT_NE(debug.find("GPSProg: Progress [" + percent + "%]\rGPSProg: Programming device... (" +
                         percent + "%)\r\n"),
              std::string::npos)
        << percent;
  }
  EXPECT_EQ(Term().Find<sim::GpsChip>()->FirmwareVersion(), "3.3.0");
  EXPECT_EQ(Term().Find<sim::GpsChip>()->BadLines(), 0U);
}

TEST_F(SerialBootTest, TheAcknowledgementMustBeginWithSAAndALineEnd) {
  const struct {
    const char* reply;
    bool accepted;
  } cases[] = {{"SA\r\n", true}, {"SA\r\nREADY\r\n", true}, {"SA\n", false}, {"SB\r\n", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reply);
    Again();
    Chip().bootAck = c.reply;
    const std::size_t before = DebugText().size();
    EXPECT_EQ(SendFirmware(gps_testing::FirmwareSRecords("3.3.0", 64)), c.accepted);
    EXPECT_EQ(DebugText().find("GPSProg: Bad reply from device\r\n", before) != std::string::npos,
              !c.accepted);
    // Nothing follows a refused acknowledgement.
    EXPECT_EQ(Writes(Tap(), kFromTerminal).size(), c.accepted ? 1 + 5U : 1U);
  }
}

TEST_F(SerialBootTest, AnAcknowledgementSplitBetweenTwoReadsStillCounts) {
  // The reads for the acknowledgement end 10 ms after the header record, then every 11 ms; the
  // reply's 4 bytes take about 1 ms. Shifting the reply by whole milliseconds (the erase time)
  // and by quarters (line feeds before the header record) makes some replies straddle the end
  // of a read, so that the first read holds only part of them.
  int splits = 0;
  for (std::size_t noise = 0; noise < 4; ++noise) {
    for (uint32_t erase = 1000; erase < 1011; ++erase) {
      SCOPED_TRACE(testing::Message() << noise << " line feeds, erase " << erase << " ms");
      Again();
      Chip().chipEraseMs = erase;
      EXPECT_TRUE(SendFirmware(gps_testing::FirmwareSRecords("3.3.0", 64), noise));
      const std::vector<sim::WireChunk>& tap = Tap();
      const sim::WireChunk& header = tap.at(0);
      const sim::WireChunk& reply = tap.at(1);
      ASSERT_EQ(reply.from, kFromChip);
      const sim::Nanos headerEnd = sim::ByteArrival(header.start, 38400, header.bytes.size() - 1);
      const sim::Nanos whole = headerEnd / sim::kNanosPerMs * sim::kNanosPerMs;
      const sim::Nanos first = sim::ByteArrival(reply.start, 38400, 0);
      const sim::Nanos last = sim::ByteArrival(reply.start, 38400, 3);
      for (sim::Nanos end = headerEnd + 10 * sim::kNanosPerMs, k = 1; end < last;
           end = whole + (11 * k++ + 10) * sim::kNanosPerMs) {
        if (end >= first) ++splits;
      }
    }
  }
  EXPECT_GT(splits, 0);
}

TEST_F(SerialBootTest, AnEmptyFileNeedsOnlyTheAcknowledgement) {
  EXPECT_TRUE(SendFirmware(""));
  EXPECT_EQ(Writes(Tap(), kFromTerminal), (std::vector<Bytes>{AsBytes("S00600004844521B\r\n")}));
  EXPECT_EQ(DebugText().find("Programming device"), std::string::npos);
}

TEST_F(SerialBootTest, ALastLineWithoutALineFeedIsSentAsItIs) {
  const std::string text = gps_testing::FirmwareSRecords("3.3.0", 64);
  const std::string cut = text.substr(0, text.size() - 2);
  EXPECT_TRUE(SendFirmware(cut));
  const std::vector<Bytes> writes = Writes(Tap(), kFromTerminal);
  EXPECT_EQ(writes.back(), AsBytes("S9030000FC"));
  std::size_t sent = 0;
  for (std::size_t i = 1; i < writes.size(); ++i) sent += writes[i].size();
  EXPECT_EQ(sent, cut.size());
}

}  // namespace
