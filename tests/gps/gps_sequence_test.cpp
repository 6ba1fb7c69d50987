// Whole GPS updates for what the single-item runs leave open: a shell that will not stop, later
// GPS entries that program the chip again with the files named before, and the failures of the
// boot-loader path with their texts. The receiver always goes back to its driver.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gps/gps_prog.h"
#include "gps/gps_support.h"
#include "platform/platform.h"
#include "sim/gps_chip.h"
#include "sim/gps_driver.h"
#include "sim/shell.h"

namespace {

using gps_testing::FirmwareSRecords;
using gps_testing::GpsItem;
using testing_support::PackageMember;

constexpr std::size_t kFirmwareSize = 8 * 1024;

enum class Setup { kNone, kShellStuck, kNoDriver, kPortHeld };

struct GpsRun {
  const char* name;
  std::vector<GpsItem> items;
  std::vector<PackageMember> (*members)();
  Setup setup;
  int screen;
  std::vector<std::string> texts;  // in the debug output, in this order
  const char* versionAfter;        // in the chip's flash
  int clockDetections;             // -1: the boot-loader path
};

std::vector<PackageMember> SerialMembers() {
  return {{"GPSBOOT.LDR", gps_testing::BootLoader()},
          {"A.SRE", FirmwareSRecords("3.3.0", kFirmwareSize)},
          {"B.SRE", FirmwareSRecords("3.3.1", kFirmwareSize)}};
}
std::vector<PackageMember> EngineMembers() {
  return {{"A.BIN", gps_testing::Firmware("3.3.0", kFirmwareSize)},
          {"B.BIN", gps_testing::Firmware("3.3.1", kFirmwareSize)}};
}

class GpsSequenceTest : public gps_testing::GpsTest, public ::testing::WithParamInterface<GpsRun> {
 protected:
  sim::TerminalConfig Config() const override {
    sim::TerminalConfig config;
    config.Get<sim::ShellConfig>().onDestroy = GetParam().setup == Setup::kShellStuck
                                                   ? sim::ShellDestroy::kIgnore
                                                   : config.Get<sim::ShellConfig>().onDestroy;
    config.Get<sim::ShellConfig>().canBeTerminated = GetParam().setup != Setup::kShellStuck;
    config.Get<sim::GpsDriverConfig>().present = GetParam().setup != Setup::kNoDriver;
    return config;
  }
};

TEST_P(GpsSequenceTest, EndsAsExpected) {
  const GpsRun& c = GetParam();
  WriteFile("\\Flash Disk2\\Shell.dll", "the shell's library");
  WriteFile("\\Flash Disk2\\rerunner.exe", "");
  Reopen();
  if (c.setup == Setup::kPortHeld) {  // by another program
    HandOverChip();
    platform::SerialConfig inForce;
    ASSERT_NE(Term().Serial().OpenSerial("COM6:", {}, &inForce), platform::kInvalidHandle);
  }
  std::vector<PackageMember> members = c.members();
  members.insert(members.begin(), {"Vostrel.ini", gps_testing::GpsSettings(c.items)});
  WriteFile("\\Storage Card\\install.bin", testing_support::BuildPackage(members));
  Term().Find<sim::GpsChip>()->Line().StartTap();

  const sim::RunOutcome outcome = Run("PLAY PLAY", "", 2);
  EXPECT_EQ(outcome.screens, (std::vector<int>{1, 3, 10, c.screen}));
  EXPECT_EQ(Term().Find<sim::GpsChip>()->FirmwareVersion(), c.versionAfter);
  // Only a verified programming lets the driver load on demand again.
  const bool verified = c.screen == 8;
  EXPECT_EQ(LoadAlwaysSet(), !verified && c.screen != 11);
  EXPECT_EQ(Term().Find<sim::GpsDriver>()->Completions(), verified ? 2 : 0);
  EXPECT_EQ(Term().Find<sim::GpsDriver>()->Mode(), 1);
  // A shell that will not stop is down for good: the terminal restarts instead of the rerunner.
  EXPECT_EQ(outcome.rebooted, c.screen == 11);
  if (c.clockDetections >= 0) {
    using gps_testing::FramesWithCode;
    EXPECT_EQ(FramesWithCode(Tap(), gps_testing::kFromTerminal, 0x2A).size(), 2U);
    EXPECT_EQ(FramesWithCode(Tap(), gps_testing::kFromTerminal, 0x2E).size(),
              static_cast<std::size_t>(c.clockDetections));
  }
  const std::string debug = DebugText();
  std::size_t at = 0;
  for (const std::string& text : c.texts) {
    at = debug.find(text, at);
    ASSERT_NE(at, std::string::npos) << "no \"" << text << "\" in order in\n" << debug;
  }
}

const std::vector<GpsItem> kSerialItem = {{"2", "GPSBOOT.LDR^BOOT"}, {"3.3.0", "A.SRE^FIRMWARE"}};

INSTANTIATE_TEST_SUITE_P(
    Runs, GpsSequenceTest,
    ::testing::Values(
        GpsRun{"ShellThatCannotBeStopped",
               kSerialItem,
               SerialMembers,
               Setup::kShellStuck,
               11,
               {"LOG:[2] Updating GPS Version [3.3.0], Command[A.SRE^FIRMWARE] - Failed to "
                "shutdown shell\r\n"},
               "3.2.4",
               -1},
        // The boot loader stays named, so a firmware entry alone programs again; an entry whose
        // command is not valid is passed over and keeps its number.
        GpsRun{"BootLoaderKeptForALaterFirmware",
               {{"2", "GPSBOOT.LDR^BOOT"},
                {"3.3.0", "A.SRE^FIRMWARE"},
                {"3.3.1", "B.SRE"},
                {"3.3.1", "B.SRE^FIRMWARE"}},
               SerialMembers,
               Setup::kNone,
               8,
               {"GPSProg: Programming successful\r\n",
                "LOG:[4] Updating GPS Version [3.3.1], Command[B.SRE^FIRMWARE]\r\n",
                "GPSProg: Programming successful\r\n"},
               "3.3.1",
               -1},
        // The second session keeps the clock that the first one detected.
        GpsRun{"TwoFlashEngineSessions",
               {{"3.3.0", "A.BIN^FIRMWARE"}, {"3.3.1", "B.BIN^FIRMWARE"}},
               EngineMembers,
               Setup::kNone,
               8,
               {"GPSProg: GPSProgramGpsFast: Programming successful\r\n",
                "LOG:[2] Updating GPS Version [3.3.1], Command[B.BIN^FIRMWARE]\r\n",
                "GPSProg: GPSProgramGpsFast: Programming successful\r\n"},
               "3.3.1",
               1},
        GpsRun{"NoGpsDriver",
               kSerialItem,
               SerialMembers,
               Setup::kNoDriver,
               9,
               {"GPSProg: Unable to access GPS device\r\n", " - Failed to program GPS\r\n"},
               "3.2.4",
               -1},
        GpsRun{"PortHeldByAnotherProgram",
               kSerialItem,
               SerialMembers,
               Setup::kPortHeld,
               9,
               {"GPSProg: Unable to open COM port\r\n", " - Failed to program GPS\r\n"},
               "3.2.4",
               -1},
        GpsRun{"FirmwareOfAnotherVersion",
               {{"2", "GPSBOOT.LDR^BOOT"}, {"3.3.5", "A.SRE^FIRMWARE"}},
               SerialMembers,
               Setup::kNone,
               9,
               {"GPSProg: Verification failed\r\n", " - Failed to program GPS\r\n"},
               "3.3.0",
               -1}),
    [](const ::testing::TestParamInfo<GpsRun>& param) { return param.param.name; });

// The simulated line takes every byte; a port that takes none stands between it and the driver,
// which therefore programs outside a whole run here.
class PortRefusingWrites final : public platform::SerialPorts {
 public:
  explicit PortRefusingWrites(platform::SerialPorts& line) : m_line(line) {}
  platform::Handle OpenSerial(std::string_view port, const platform::SerialOpenRequest& request,
                              platform::SerialConfig* inForce) override {
    return m_line.OpenSerial(port, request, inForce);
  }
  bool ApplySerialSettings(platform::Handle port,
                           const platform::SerialSettings& settings) override {
    return m_line.ApplySerialSettings(port, settings);
  }
  bool ReadSerial(platform::Handle port, void* buffer, uint32_t count, uint32_t* read) override {
    return m_line.ReadSerial(port, buffer, count, read);
  }
  bool WriteSerial(platform::Handle, const void*, uint32_t, uint32_t* written) override {
    *written = 0;
    platform::SetLastError(platform::kErrorWriteFault);
    return false;
  }
  bool PurgeSerial(platform::Handle port) override { return m_line.PurgeSerial(port); }
  bool CloseSerial(platform::Handle port, const platform::SerialConfig* restore) override {
    return m_line.CloseSerial(port, restore);
  }

 private:
  platform::SerialPorts& m_line;
};

using GpsSendFailureTest = gps_testing::GpsTest;

TEST_F(GpsSendFailureTest, ABootLoaderThePortWillNotTakeClosesThePortAndGivesTheReceiverBack) {
  UsePackage({{"boot.ldr", gps_testing::BootLoader()},
              {"fw.sre", FirmwareSRecords("3.3.0", kFirmwareSize)}});
  PortRefusingWrites port(Term().Serial());
  platform::Backend backend = Term().Backend();
  backend.serial = &port;
  platform::Install(backend);
  GPSProgSetBootFile(Context().m_gps, "boot.ldr", "2");
  GPSProgSetFirmwareFile(Context().m_gps, "fw.sre", "3.3.0");
  EXPECT_EQ(GPSProg(Context().m_gps, Context().m_engine, Context().m_program), 0);
  Term().Install();
  EXPECT_NE(DebugText().find("GPSProg: Unable to send boot file\r\n"), std::string::npos);
  EXPECT_EQ(Term().Serial().OpenCount(), 0U);
  EXPECT_EQ(Term().Find<sim::GpsDriver>()->Mode(), 1);
  EXPECT_TRUE(LoadAlwaysSet());
  EXPECT_EQ(Term().Find<sim::GpsChip>()->FirmwareVersion(), "3.2.4");
}

}  // namespace
