// The simulated GPS hardware: the serial line's timing, time-outs and rates, the NOR flash, the
// stand-in chip programs and the firmware convention, the GPS driver's modes, the gps section of
// terminal.json, and the commands that show and read the chip.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "gps/chip_images.h"
#include "gps/gps_support.h"
#include "sim/config.h"
#include "sim/gps_chip.h"
#include "sim/gps_driver.h"
#include "sim/nor_flash.h"
#include "sim/serial_line.h"
#include "support/command_test.h"
#include "tools/gps_images/gps_images.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A device that answers each write with what the test scripted for it.
class ScriptedDevice final : public sim::SerialDevice {
 public:
  std::function<void(sim::SerialLine&, sim::Nanos end)> answer;
  sim::SerialLine* line = nullptr;
  bool PortOpening() override { return true; }
  void Receive(std::span<const uint8_t> bytes, sim::Nanos start, uint32_t baud) override {
    received.insert(received.end(), bytes.begin(), bytes.end());
    if (answer) answer(*line, sim::ByteArrival(start, baud, bytes.size() - 1));
  }
  Bytes received;
};

class SerialLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_clock.AttachMainThread(sim::kUpdaterProcess);
    m_device.line = &m_line;
    m_ports.RegisterPort("COM6:", &m_line);
  }
  void TearDown() override {
    m_ports.CloseAll();
    m_clock.EndProcess(sim::kUpdaterProcess);
  }
  platform::Handle Open(uint32_t baud, platform::SerialTimeouts timeouts) {
    platform::SerialOpenRequest request;
    request.derive = [=](const platform::SerialConfig& inForce) {
      platform::SerialConfig config = inForce;
      config.settings.baudRate = baud;
      config.timeouts = timeouts;
      return config;
    };
    platform::SerialConfig inForce;
    return m_ports.OpenSerial("com6:", request, &inForce);
  }
  uint32_t Write(platform::Handle port, const Bytes& bytes) {
    uint32_t written = 0;
    EXPECT_TRUE(
        m_ports.WriteSerial(port, bytes.data(), static_cast<uint32_t>(bytes.size()), &written));
    return written;
  }
  Bytes Read(platform::Handle port, uint32_t count) {
    Bytes buffer(count);
    uint32_t read = 0;
    EXPECT_TRUE(m_ports.ReadSerial(port, buffer.data(), count, &read));
    buffer.resize(read);
    return buffer;
  }

  sim::Scheduler m_clock{sim::ClockMode::kVirtual};
  ScriptedDevice m_device;
  sim::SerialLine m_line{m_clock, m_device};
  sim::SimSerialPorts m_ports;
};

TEST_F(SerialLineTest, AByteTakesTenBitTimesAndShortWritesAddUpExactly) {
  const platform::Handle port = Open(38400, {});
  ASSERT_NE(port, platform::kInvalidHandle);
  EXPECT_EQ(Write(port, Bytes(384, 0x55)), 384U);
  EXPECT_EQ(m_clock.Now(), 100U);
  // A thousand single bytes take 260.4 ms, not a millisecond each.
  for (int i = 0; i < 1000; ++i) Write(port, {0x55});
  EXPECT_EQ(m_clock.Now(), 360U);
  ASSERT_TRUE(m_ports.ApplySerialSettings(port, {307200, platform::kDcbBinary, 8, 0, 0}));
  Write(port, Bytes(3072, 0));
  EXPECT_EQ(m_clock.Now(), 460U);
  // Another program cannot open the port meanwhile.
  EXPECT_EQ(Open(38400, {}), platform::kInvalidHandle);
  EXPECT_EQ(platform::GetLastError(), platform::kErrorAccessDenied);
}

TEST_F(SerialLineTest, ReadsEndAsTheTimeoutsSay) {
  // Each write makes the device answer 3 bytes at once and 2 more 20 ms later.
  m_device.answer = [](sim::SerialLine& line, sim::Nanos end) {
    const Bytes first = {1, 2, 3};
    const Bytes later = {4, 5};
    line.SendToTerminal(first, end, 38400);
    line.SendToTerminal(later, end + 20 * sim::kNanosPerMs, 38400);
  };
  const struct {
    const char* what;
    platform::SerialTimeouts timeouts;
    uint32_t count;
    Bytes expected;
    double elapsed;  // ms from the end of the write
  } cases[] = {
      {"all that was asked", {0, 4, 2000, 0, 0}, 5, {1, 2, 3, 4, 5}, 20.52},
      {"the total", {0, 4, 2000, 0, 0}, 10, {1, 2, 3, 4, 5}, 2040},
      {"the interval", {5, 0, 0, 0, 0}, 10, {1, 2, 3}, 0.78 + 5},
      {"the total before the interval", {5, 0, 3, 0, 0}, 10, {1, 2, 3}, 3},
      {"the total before the bytes", {0, 0, 10, 0, 0}, 5, {1, 2, 3}, 10},
      {"at once", {platform::kMaxTimeout, 0, 0, 0, 0}, 10, {}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const platform::Handle port = Open(38400, c.timeouts);
    Write(port, {0});
    const double start = static_cast<double>(m_line.Now()) / sim::kNanosPerMs;
    EXPECT_EQ(Read(port, c.count), c.expected);
    EXPECT_NEAR(static_cast<double>(m_line.Now()) / sim::kNanosPerMs - start, c.elapsed, 0.1);
    m_ports.CloseSerial(port, nullptr);
    m_clock.SleepFor(100);
  }
}

TEST_F(SerialLineTest, BytesReadAtAnotherRateArriveGarbled) {
  m_device.answer = [](sim::SerialLine& line, sim::Nanos end) {
    const Bytes reply = {0x06, 0x55};
    line.SendToTerminal(reply, end, 306918);  // a divisor of 160 from 49.107 MHz
  };
  const platform::Handle port = Open(307200, {0, 0, 100, 0, 0});
  Write(port, {0});
  EXPECT_EQ(Read(port, 2), (Bytes{0x06, 0x55}));
  ASSERT_TRUE(m_ports.ApplySerialSettings(port, {38400, platform::kDcbBinary, 8, 0, 0}));
  Write(port, {0});
  EXPECT_EQ(Read(port, 2), (Bytes{sim::Garble(0x06), sim::Garble(0x55)}));
  EXPECT_NE(sim::Garble(0x06), 0x06);
  EXPECT_TRUE(sim::RatesMatch(38400, 38364));
  EXPECT_FALSE(sim::RatesMatch(38400, 37400));
}

TEST(NorFlashTest, ProgrammingOnlyClearsBitsAndErasingSetsThemAgain) {
  const auto table = gps_images::ReadPartTable(gps_images::MakeFlashEngine());
  sim::NorFlash flash(*gps_images::FindPart(table, "am29lv800bb"));
  EXPECT_EQ(flash.Capacity(), 1U << 20);
  EXPECT_EQ(flash.SectorCount(), 19U);
  uint32_t address = 0;
  uint32_t size = 0;
  ASSERT_TRUE(flash.Sector(3, &address, &size));
  EXPECT_EQ(address, 32768U);
  EXPECT_EQ(size, 32768U);
  EXPECT_EQ(flash.SectorStartingAt(65536), 4);
  EXPECT_EQ(flash.SectorStartingAt(65537), -1);
  EXPECT_TRUE(flash.IsBlank(0, 1U << 20));
  EXPECT_TRUE(flash.Program(100, Bytes{0xF0, 0x0F}));
  EXPECT_TRUE(flash.Program(100, Bytes{0xA0, 0x0F}));  // clears one more bit
  EXPECT_FALSE(flash.Program(100, Bytes{0xFF}));       // cannot set them back
  EXPECT_EQ(flash.Bytes()[100], 0xA0);
  EXPECT_FALSE(flash.IsBlank(0, 16384));
  flash.Erase(0, 16384);
  EXPECT_TRUE(flash.IsBlank(0, 16384));
  EXPECT_FALSE(flash.Program((1U << 20) - 1, Bytes{0, 0}));
  const std::string check = "123456789";
  flash.Program(0, Bytes(check.begin(), check.end()));
  EXPECT_EQ(flash.Crc(0, 9, 0xFFFF), 0x4B37);
}

TEST(GpsStandInsTest, TheImagesHaveTheirLengthsAndTheEngineItsPartsTable) {
  EXPECT_EQ(gps_images::MakeFirstStageLoader(), Bytes(kFirstStageLoader, kFirstStageLoader + 1184));
  const Bytes engine = gps_images::MakeFlashEngine();
  EXPECT_EQ(engine, Bytes(kFlashEngine, kFlashEngine + 14748));
  EXPECT_EQ(gps_images::MakeBootLoader().size(), 1024U);
  const auto table = gps_images::ReadPartTable(engine);
  ASSERT_EQ(table.size(), 67U);  // rows that do not resolve are left out
  std::set<std::string> makers;
  for (const gps_images::NorPart& part : table) {
    SCOPED_TRACE(part.name);
    makers.insert(part.maker);
    EXPECT_TRUE(part.capacity == 512 * 1024 || part.capacity == 1U << 20 ||
                part.capacity == 2U << 20);
    EXPECT_EQ(part.regions.size(), part.attributes & 0xFF);
  }
  EXPECT_EQ(makers.size(), 12U);
  for (const char* part : {"AM29LV400BB", "28F800B3B", "SST39VF1601", "TC58FVT160AFT"}) {
    EXPECT_TRUE(gps_images::FindPart(table, part).has_value()) << part;
  }
  // The names follow the table, then the engine's version.
  const std::string text(engine.begin(), engine.end());
  const std::size_t names = gps_images::kPartTableOffset + 67 * 24;
  EXPECT_EQ(text.find(table.front().name), names);
  EXPECT_GT(text.find("VERSION = 2.0"), text.find("Fujitsu"));
}

TEST(GpsConfigTest, TheGpsKeysRoundTripAndBadValuesAreRefusedByName) {
  sim::TerminalConfig config;
  config.Get<sim::GpsConfig>().flashPart = "SST39VF1601";
  config.Get<sim::GpsConfig>().fault = sim::GpsFault::kLongReply;
  config.Get<sim::GpsConfig>().faultCommand = 0x14;
  config.Get<sim::GpsConfig>().powerCutAfterBytes = 4096;
  config.Get<sim::GpsDriverConfig>().refusesMode2 = true;
  auto parsed = sim::ParseConfig(sim::ConfigToJson(config));
  ASSERT_TRUE(parsed.ok()) << parsed.error();
  EXPECT_EQ(sim::ConfigToJson(*parsed), sim::ConfigToJson(config));
  const struct {
    const char* json;
    const char* key;
  } bad[] = {
      {R"({"gps": {"flash_part": "XX29"}})", "\"gps.flash_part\""},
      {R"({"gps": {"chip_class": 256}})", "\"gps.chip_class\""},
      {R"({"gps": {"clock_word1": 65536}})", "\"gps.clock_word1\""},
      {R"({"gps": {"fault": "sometimes"}})", "\"gps.fault\""},
      {R"({"gps": {"fault_command": 300}})", "\"gps.fault_command\""},
      {R"({"gps": {"power_cut_after_bytes": -1}})", "\"gps.power_cut_after_bytes\""},
      {R"({"gps": {"erase_ms": 1}})", "\"gps.erase_ms\""},
      {R"({"gps_driver": {"refuses_mode_2": 1}})", "\"gps_driver.refuses_mode_2\""},
  };
  for (const auto& c : bad) {
    SCOPED_TRACE(c.json);
    const auto result = sim::ParseConfig(nlohmann::json::parse(c.json));
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().find(c.key), 0U) << result.error();
  }
}

using GpsCommandTest = testing_support::CommandTest;

TEST_F(GpsCommandTest, ShowDescribesTheChipAndReadWritesItsFlash) {
  ASSERT_EQ(Vostrel("sim init " + Q("T")).exitCode, 0);
  const testing_support::CommandResult show = Vostrel("sim show " + Q("T"));
  EXPECT_EQ(show.exitCode, 0) << show.err;
  EXPECT_NE(show.out.find("  GPS chip:     class 0x31, RF type 0, clock words 0x3000 0x000A\n"
                          "  GPS flash:    AM29LV800BB (AMD), 1048576 bytes in 19 sectors, "
                          "firmware 3.2.4 (factory)\n"),
            std::string::npos)
      << show.out;
  const testing_support::CommandResult read =
      Vostrel("sim gps read " + Q("T") + " -o " + Q("f.bin"));
  EXPECT_EQ(read.exitCode, 0) << read.err;
  const std::string flash = testing_support::ReadHostFile(Path("f.bin"));
  ASSERT_EQ(flash.size(), 1U << 20);
  EXPECT_EQ(flash.substr(0, 256 * 1024), gps_testing::Firmware("3.2.4", 256 * 1024));
  EXPECT_EQ(flash.substr(256 * 1024), std::string(768 * 1024, '\xFF'));
  EXPECT_EQ(Vostrel("sim gps read " + Q("T")).exitCode, 64);
}

}  // namespace
