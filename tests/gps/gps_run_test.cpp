// Whole runs that update the GPS firmware: both run modes on both paths, the faults a chip or
// its driver can show, and a power cut in the middle of the programming.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "gps/gps_support.h"
#include "sim/gps_chip.h"
#include "sim/gps_driver.h"

namespace {

using gps_testing::GpsSettings;
using testing_support::BuildPackage;
using testing_support::PackageMember;

enum class Mode { kTerminal, kDesktop };
enum class Path { kEngine, kSerial };

constexpr std::size_t kImageSize = 48 * 1024;

std::vector<PackageMember> Members(Path path) {
  if (path == Path::kEngine) {
    return {{"Vostrel.ini", GpsSettings({{"3.3.0", "GPS\\VGPS_330.BIN^FIRMWARE"}})},
            {"GPS\\VGPS_330.BIN", gps_testing::Firmware("3.3.0", kImageSize)}};
  }
  return {{"Vostrel.ini",
           GpsSettings({{"2", "GPS\\GPSBOOT.LDR^BOOT"}, {"3.3.0", "GPS\\VGPS_330.SRE^FIRMWARE"}})},
          {"GPS\\GPSBOOT.LDR", gps_testing::BootLoader()},
          {"GPS\\VGPS_330.SRE", gps_testing::FirmwareSRecords("3.3.0", kImageSize)}};
}

class GpsRunBase : public gps_testing::GpsTest {
 protected:
  void SetUp() override {
    GpsTest::SetUp();
    WriteFile("\\Flash Disk2\\rerunner.exe", "");
  }
  sim::RunOutcome Update(Mode mode, Path path, std::string_view keys = "PLAY PLAY") {
    const std::string package = BuildPackage(Members(path));
    if (mode == Mode::kDesktop) return RunDesktop(keys, package, {}, 2);
    WriteFile("\\Storage Card\\install.bin", package);
    return Run(keys, "", 2);
  }
  bool FlashHoldsTheImage() {
    const std::string image = gps_testing::Firmware("3.3.0", kImageSize);
    const std::vector<uint8_t> flash = Term().Find<sim::GpsChip>()->FlashContents();
    return std::equal(image.begin(), image.end(), flash.begin(),
                      [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; });
  }
};

struct RunCase {
  Mode mode;
  Path path;
};

class GpsRunTest : public GpsRunBase, public ::testing::WithParamInterface<RunCase> {};

TEST_P(GpsRunTest, ProgramsTheChipAndASecondRunFindsNothingToDo) {
  const RunCase c = GetParam();
  const sim::RunOutcome outcome = Update(c.mode, c.path);
  EXPECT_EQ(outcome.screens, (std::vector<int>{1, 3, 10, 8}));
  EXPECT_TRUE(FlashHoldsTheImage());
  EXPECT_FALSE(LoadAlwaysSet());
  EXPECT_EQ(outcome.parts[3].installedBefore, "3.2.4");
  EXPECT_EQ(outcome.parts[3].installedAfter, "3.3.0");
  EXPECT_EQ(Term().Find<sim::GpsDriver>()->Completions(), 1);
  EXPECT_EQ(Term().Find<sim::GpsDriver>()->Mode(), 1);
  // A GPS-only update leaves through the rerunner; the terminal is not restarted.
  EXPECT_FALSE(outcome.rebooted);
  EXPECT_TRUE(outcome.rerunnerStarted);
  EXPECT_EQ(Term().Serial().OpenCount(), 0U);
  const nlohmann::json& programming = outcome.gpsProgramming;
  EXPECT_EQ(programming["terminal_bytes"].contains("307200"), c.path == Path::kEngine);
  EXPECT_GT(programming["taken_back_ms"], programming["handed_over_ms"]);

  // The chip keeps its flash: the terminal started again reports the new version.
  Reopen();
  EXPECT_EQ(Term().Versions().gps, "3.3.0");
  const sim::RunOutcome again = Update(c.mode, c.path);
  EXPECT_EQ(again.screens, (std::vector<int>{1, 3, 5}));
}

INSTANTIATE_TEST_SUITE_P(ModesAndPaths, GpsRunTest,
                         ::testing::Values(RunCase{Mode::kTerminal, Path::kEngine},
                                           RunCase{Mode::kTerminal, Path::kSerial},
                                           RunCase{Mode::kDesktop, Path::kEngine},
                                           RunCase{Mode::kDesktop, Path::kSerial}),
                         [](const ::testing::TestParamInfo<RunCase>& param) {
                           return std::string(param.param.mode == Mode::kTerminal ? "Terminal"
                                                                                  : "Desktop") +
                                  (param.param.path == Path::kEngine ? "FlashEngine"
                                                                     : "BootLoader");
                         });

using GpsFaultRunTest = GpsRunBase;

TEST_F(GpsFaultRunTest, AFailedProgrammingEndsOnTheFailedScreenWithLoadAlwaysSet) {
  struct Case {
    const char* name;
    Path path;
    std::function<void(sim::TerminalConfig&)> fault;
    std::vector<std::string> texts;  // in the debug output, after "GPSProg: "
  };
  const auto chip = [](sim::GpsFault fault, uint32_t command, uint32_t status = 0) {
    return [=](sim::TerminalConfig& config) {
      config.Get<sim::GpsConfig>().fault = fault;
      config.Get<sim::GpsConfig>().faultCommand = command;
      config.Get<sim::GpsConfig>().faultStatus = status;
    };
  };
  const Case cases[] = {
      {"silent chip, engine",
       Path::kEngine,
       [](sim::TerminalConfig& config) {
         config.Get<sim::GpsConfig>().fault = sim::GpsFault::kSilent;
       },
       {"GPSProgramGpsFast: Failed to start flash engine session"}},
      {"silent chip, boot loader",
       Path::kSerial,
       [](sim::TerminalConfig& config) {
         config.Get<sim::GpsConfig>().fault = sim::GpsFault::kSilent;
       },
       {"Device is not responding", "Unable to send data file"}},
      {"NAK",
       Path::kEngine,
       chip(sim::GpsFault::kNak, 0x06),
       {"GPSProgramGpsFast: Failed to open access to flash engine"}},
      {"wrong reply checksum",
       Path::kEngine,
       chip(sim::GpsFault::kBadChecksum, 0x1E),
       {"GPSProgramGpsFast: Failed to get target CRC"}},
      {"reply one byte too long",
       Path::kEngine,
       chip(sim::GpsFault::kLongReply, 0x18),
       {"GPSProgramGpsFast: Failed GPS blank check"}},
      {"bad SA reply",
       Path::kSerial,
       [](sim::TerminalConfig& config) { config.Get<sim::GpsConfig>().bootAck = "SA\n"; },
       {"Bad reply from device", "Unable to send data file"}},
      {"erase error",
       Path::kEngine,
       chip(sim::GpsFault::kStatus, 0x0C, 3),
       {"Erase sector error", "GPSProgramGpsFast: CRC check failed"}},
      {"write error",
       Path::kEngine,
       chip(sim::GpsFault::kStatus, 0x08, 4),
       {"Flash write error", "GPSProgramGpsFast: CRC check failed"}},
      {"not blank",
       Path::kEngine,
       chip(sim::GpsFault::kStatus, 0x08, 12),
       {"Area is not blank", "GPSProgramGpsFast: CRC check failed"}},
      {"chip flavour the engine does not support",
       Path::kEngine,
       chip(sim::GpsFault::kStatus, 0x06, 16),
       {"GPSProgramGpsFast: Failed to open access to flash engine"}},
      {"clock words the table marks unsupported",
       Path::kEngine,
       [](sim::TerminalConfig& config) { config.Get<sim::GpsConfig>().clockWord2 = 5; },
       {"GPSProgramGpsFast: Failed to start flash engine session"}},
      {"driver refuses mode 2, boot loader",
       Path::kSerial,
       [](sim::TerminalConfig& config) { config.Get<sim::GpsDriverConfig>().refusesMode2 = true; },
       {"Unable to talk to GPS device"}},
      {"driver refuses mode 2, engine",
       Path::kEngine,
       [](sim::TerminalConfig& config) { config.Get<sim::GpsDriverConfig>().refusesMode2 = true; },
       {"Initialising", "UPDATE FAILED"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fresh(c.fault);
    const std::size_t before = DebugText().size();
    const sim::RunOutcome outcome = Update(Mode::kTerminal, c.path, "PLAY");
    EXPECT_EQ(outcome.screens, (std::vector<int>{1, 3, 10, 9}));
    EXPECT_EQ(outcome.exitCode, 1);
    // The GPS phase logs its failure; it reports no error of its own.
    EXPECT_EQ(outcome.lastError, 0);
    const std::string debug = DebugText().substr(before);
    for (const std::string& text : c.texts) {
      EXPECT_NE(debug.find("GPSProg: " + text + "\r\n"), std::string::npos) << text;
    }
    EXPECT_NE(debug.find(" - Failed to program GPS\r\n"), std::string::npos);
    EXPECT_TRUE(LoadAlwaysSet());
    EXPECT_EQ(Term().Find<sim::GpsDriver>()->Mode(), 1);
    EXPECT_EQ(Term().Serial().OpenCount(), 0U);
    // Nothing waits for ever: the slowest gives up on the boot loader after 22 seconds.
    EXPECT_LT(outcome.virtualMilliseconds, 60000U);
  }
}

TEST_F(GpsFaultRunTest, AnOldDriverMakesTheUpdateSucceedWithoutProgramming) {
  Term().MutableConfig().Get<sim::GpsDriverConfig>().version = "1.5";
  const sim::RunOutcome outcome = Update(Mode::kTerminal, Path::kSerial);
  EXPECT_EQ(outcome.screens, (std::vector<int>{1, 3, 10, 8}));
  EXPECT_NE(DebugText().find("GPSProg: OS Upgrade required.\r\n"), std::string::npos);
  EXPECT_EQ(outcome.parts[3].installedAfter, "3.2.4");
  EXPECT_TRUE(Tap().empty());
  // Nothing was verified, so the driver still loads always.
  EXPECT_TRUE(LoadAlwaysSet());
}

TEST_F(GpsFaultRunTest, APowerCutWhileProgrammingLeavesLoadAlwaysAndARunAfterwardsFinishes) {
  for (const Path path : {Path::kEngine, Path::kSerial}) {
    SCOPED_TRACE(path == Path::kEngine ? "engine" : "boot loader");
    Fresh([](sim::TerminalConfig& config) {
      config.Get<sim::GpsConfig>().powerCutAfterBytes = 20000;
    });
    const sim::RunOutcome cut = Update(Mode::kTerminal, path);
    EXPECT_EQ(cut.end, sim::RunEnd::kPowerCut);
    EXPECT_EQ(cut.screens.back(), 10);
    EXPECT_TRUE(LoadAlwaysSet());
    // The first 20000 bytes were written before the power went; the new version record was not.
    const std::vector<uint8_t> flash = Term().Find<sim::GpsChip>()->FlashContents();
    const std::string image = gps_testing::Firmware("3.3.0", kImageSize);
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + 20000, flash.begin(),
                           [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; }));
    EXPECT_EQ(flash.at(20000), 0xFF);
    EXPECT_NE(cut.parts[3].installedAfter, "3.3.0");

    Term().MutableConfig().Get<sim::GpsConfig>().powerCutAfterBytes.reset();
    const sim::RunOutcome again = Update(Mode::kTerminal, path);
    EXPECT_EQ(again.screens, (std::vector<int>{1, 3, 10, 8}));
    EXPECT_TRUE(FlashHoldsTheImage());
    EXPECT_FALSE(LoadAlwaysSet());
  }
}

}  // namespace
