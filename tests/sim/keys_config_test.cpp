#include <gtest/gtest.h>

#include <map>
#include <string>

#include "sim/clock_config.h"
#include "sim/config.h"
#include "sim/desktop_peer.h"
#include "sim/flash_config.h"
#include "sim/gps_chip.h"
#include "sim/gps_driver.h"
#include "sim/hal.h"
#include "sim/keys.h"
#include "sim/memory.h"
#include "sim/security_config.h"
#include "sim/shell.h"

namespace {

TEST(KeysTest, NamesNumbersCombinationsAndTimes) {
  auto keys = sim::ParseKeys("PLAY stop BACK  TAB+F3 115 STOP@30000 tab+f1@5");
  ASSERT_TRUE(keys.ok()) << keys.error();
  ASSERT_EQ(keys->size(), 7U);
  EXPECT_EQ((*keys)[0].key, 13U);
  EXPECT_EQ((*keys)[1].key, 17U);
  EXPECT_EQ((*keys)[2].key, 16U);
  EXPECT_EQ((*keys)[3].key, 114U);
  EXPECT_EQ((*keys)[3].held, std::vector<uint32_t>{9});
  EXPECT_EQ((*keys)[4].key, 115U);
  EXPECT_FALSE((*keys)[4].at.has_value());
  EXPECT_EQ((*keys)[5].at, 30000U);
  EXPECT_EQ((*keys)[6].held, std::vector<uint32_t>{9});
  EXPECT_EQ((*keys)[6].at, 5U);
  EXPECT_TRUE(sim::ParseKeys("")->empty());
}

TEST(KeysTest, RefusesWhatIsNotAKey) {
  for (const char* bad : {"PLAI", "0", "255", "STOP@", "STOP@soon", "+", "TAB+", "F5"}) {
    SCOPED_TRACE(bad);
    auto keys = sim::ParseKeys(bad);
    ASSERT_FALSE(keys.ok());
    EXPECT_NE(keys.error().find(bad), std::string::npos) << keys.error();
  }
}

TEST(ConfigTest, MissingKeysTakeTheirDefaults) {
  auto config = sim::ParseConfig(nlohmann::json::parse(R"({"power": {}})"));
  ASSERT_TRUE(config.ok()) << config.error();
  EXPECT_EQ(config->programPath, "\\Storage Card\\VostrelHHT.exe");
  EXPECT_EQ(config->Get<sim::PowerConfig>().acLine, sim::AcLine::kConnected);
  EXPECT_EQ(sim::FormatLocalTime(config->Get<sim::ClockConfig>().start), "2005-08-22 17:01:11");
  EXPECT_EQ(config->folders.size(), 3U);
}

// The leaf values of a configuration's JSON form by dotted key; a list is one value.
std::map<std::string, nlohmann::json> Leaves(const nlohmann::json& json,
                                             const std::string& prefix = "") {
  std::map<std::string, nlohmann::json> leaves;
  for (const auto& [key, value] : json.items()) {
    const std::string name = prefix.empty() ? key : prefix + "." + key;
    if (value.is_object()) {
      leaves.merge(Leaves(value, name));
    } else {
      leaves[name] = value;
    }
  }
  return leaves;
}

TEST(ConfigTest, WritesAndReadsBackEveryKey) {
  sim::TerminalConfig config;
  config.programPath = "\\Flash Disk2\\Update\\VostrelHHT.exe";
  config.folders = {"\\Data"};
  config.Get<sim::ClockConfig>().start = {2024, 2, 29, 23, 59, 30, 0};
  config.Get<sim::ClockConfig>().tickStart = 5000;
  config.Get<sim::PowerConfig>().acLine = sim::AcLine::kUnknown;
  config.Get<sim::HalConfig>() = {.rebootFails = true,
                                  .bootVersion = "9.9",
                                  .kernelVersion = std::nullopt,
                                  .keyMaterial = "00ff10"};
  config.Get<sim::FlashConfig>() = {.present = false,
                                    .pageSize = 512,
                                    .spareSize = 16,
                                    .pagesPerUnit = 32,
                                    .partitions = {{"BOOT", 2}, {"KRNL", 8}, {"EXTR", 1}},
                                    .diskUnits = 3,
                                    .diskFolders = {"\\Flash Disk"},
                                    .diskDriverListed = false,
                                    .diskDriverHandle = 7,
                                    .deactivateFails = true,
                                    .failWriteAtBlock = 2,
                                    .flipBitsAtBlock = 3,
                                    .flippedBits = 2,
                                    .powerCutAfterBlock = 4,
                                    .failErase = true};
  config.Get<sim::MemoryConfig>() = {.pageSize = 1024,
                                     .totalPages = 1000,
                                     .storePages = 500,
                                     .programUsed = 1,
                                     .setAnswer = sim::DivisionAnswer::kMustReboot};
  config.Get<sim::GpsDriverConfig>() = {
      .present = false, .version = "3.01", .answer = "x", .returnedCount = 7, .refusesMode2 = true};
  config.Get<sim::GpsConfig>() = {.firmwareVersion = "4.0.0",
                                  .chipClass = 0x23,
                                  .rfType = 1,
                                  .clockWord1 = 0x1000,
                                  .clockWord2 = 0x0007,
                                  .flashPart = "SST39VF1601",
                                  .sectorEraseMs = 25,
                                  .chipEraseMs = 50,
                                  .wordProgramUs = 20,
                                  .bootAck = "SB\r\n",
                                  .fault = sim::GpsFault::kStatus,
                                  .faultCommand = 0x0C,
                                  .faultStatus = 3,
                                  .powerCutAfterBytes = 4096};
  config.Get<sim::ShellConfig>() = {.applicationVersion = "2.0",
                                    .running = false,
                                    .onDestroy = sim::ShellDestroy::kIgnore,
                                    .endAfterSeconds = 12,
                                    .canBeTerminated = false,
                                    .lockedFile = "\\a",
                                    .orphanedLock = "\\b"};
  config.Get<sim::DesktopConfig>() = {.cacheSize = 4096,
                                      .stopAfter = 3,
                                      .abortAfterMs = 10,
                                      .fillShortBy = 1,
                                      .fillSize = 100,
                                      .emptyResponseAt = 2,
                                      .holdFlagMs = 5,
                                      .lookingNoAt = 4,
                                      .allowBadChecksum = true,
                                      .changeServedAgain = "NK.BIN"};
  config.Get<sim::SecurityConfig>() = {
      .trustedKeys = {"-----BEGIN PUBLIC KEY-----\n"
                      "MCowBQYDK2VwAyEAvdUOoHeUD3k3EdKsABgjdxdW7g/JklrYJoKe7+pi8to=\n"
                      "-----END PUBLIC KEY-----\n"}};
  // Every key differs from its default, so a key dropped on the way out, or not read back,
  // comes back as its default and the comparison fails.
  const auto defaults = Leaves(sim::ConfigToJson({}));
  const auto leaves = Leaves(sim::ConfigToJson(config));
  ASSERT_EQ(leaves.size(), defaults.size());
  for (const auto& [key, value] : leaves) {
    SCOPED_TRACE(key);
    ASSERT_TRUE(defaults.contains(key));
    EXPECT_NE(value, defaults.at(key)) << "set this key to a value other than its default";
  }
  auto back = sim::ParseConfig(sim::ConfigToJson(config));
  ASSERT_TRUE(back.ok()) << back.error();
  EXPECT_TRUE(*back == config) << sim::ConfigToJson(*back).dump(2);
}

TEST(ConfigTest, RefusesBadValuesNamingTheKey) {
  const struct {
    const char* json;
    const char* key;
  } cases[] = {
      {R"({"power": {"ac_line": "maybe"}})", "\"power.ac_line\""},
      {R"({"power": {"ac_line": 1}})", "\"power.ac_line\""},
      {R"({"power": []})", "\"power\""},
      {R"({"clock": {"start": "2005-02-30 10:00:00"}})", "\"clock.start\""},
      {R"({"clock": {"tick_start": -5}})", "\"clock.tick_start\""},
      {R"({"program": "VostrelHHT.exe"})", "\"program\""},
      {R"({"folders": "\\Flash Disk"})", "\"folders\""},
      {R"({"hal": {"reboot_fail": true}})", "\"hal.reboot_fail\""},
      {R"({"chargr": {}})", "\"chargr\""},
      {R"({"security": {"trusted_keys": ["not a key"]}})", "\"security.trusted_keys\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    auto config = sim::ParseConfig(nlohmann::json::parse(c.json));
    ASSERT_FALSE(config.ok());
    EXPECT_NE(config.error().find(c.key), std::string::npos) << config.error();
  }
}

TEST(ConfigTest, CalendarArithmeticCrossesDaysMonthsAndLeapYears) {
  const platform::LocalTime start{2004, 2, 28, 23, 59, 59, 0};
  EXPECT_EQ(sim::FormatLocalTime(sim::AddMilliseconds(start, 1000)), "2004-02-29 00:00:00");
  EXPECT_EQ(sim::FormatLocalTime(sim::AddMilliseconds(start, 86401000)), "2004-03-01 00:00:00");
  const platform::LocalTime newYear{2005, 12, 31, 23, 0, 0, 0};
  EXPECT_EQ(sim::FormatLocalTime(sim::AddMilliseconds(newYear, 3600000)), "2006-01-01 00:00:00");
}

}  // namespace
