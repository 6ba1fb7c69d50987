// Whole GPS updates for what the single-item runs leave open: a shell that will not stop, later
// GPS entries that program the chip again, and the failures of the boot-loader path that end
// the item before the chip or its driver could be used.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "gps/gps_prog.h"
#include "gps/gps_support.h"
#include "platform/platform.h"
#include "sim/gps_chip.h"
#include "sim/gps_driver.h"

namespace {

using gps_testing::Count;
using gps_testing::FramesWithCode;
using gps_testing::GpsItem;
using gps_testing::kFromTerminal;
using testing_support::PackageMember;

constexpr std::size_t kSize = 8 * 1024;

class GpsSequenceTest : public gps_testing::GpsTest {
 protected:
  void SetUp() override {
    GpsTest::SetUp();
    WriteFile("\\Flash Disk2\\rerunner.exe", "");
  }
  sim::RunOutcome Update(const std::vector<GpsItem>& items, std::vector<PackageMember> members) {
    members.insert(members.begin(), {"Vostrel.ini", gps_testing::GpsSettings(items)});
    WriteFile("\\Storage Card\\install.bin", testing_support::BuildPackage(members));
    return Run("PLAY PLAY", "", 2);
  }
  // The boot-loader path's items and members, the firmware carrying `carried`.
  sim::RunOutcome UpdateSerial(const std::string& offered = "3.3.0",
                               const std::string& carried = "3.3.0") {
    return Update({{"2", "GPSBOOT.LDR^BOOT"}, {offered, "FW.SRE^FIRMWARE"}},
                  {{"GPSBOOT.LDR", gps_testing::BootLoader()},
                   {"FW.SRE", gps_testing::FirmwareSRecords(carried, kSize)}});
  }
  bool ChipUntouched() { return Term().Gps().FirmwareVersion() == "3.2.4"; }
};

TEST_F(GpsSequenceTest, AShellThatCannotBeStoppedSkipsTheItemAndTheTerminalRestarts) {
  Term().MutableConfig().shell.onDestroy = sim::ShellDestroy::kIgnore;
  Term().MutableConfig().shell.canBeTerminated = false;
  WriteFile("\\Flash Disk2\\Shell.dll", "the shell's library");
  Reopen();
  const sim::RunOutcome outcome = UpdateSerial();
  EXPECT_EQ(outcome.screens, (std::vector<int>{1, 3, 10, 11}));
  EXPECT_EQ(outcome.exitCode, 3);
  EXPECT_NE(DebugText().find("LOG:[2] Updating GPS Version [3.3.0], Command[FW.SRE^FIRMWARE] - "
                             "Failed to shutdown shell\r\n"),
            std::string::npos);
  EXPECT_TRUE(Tap().empty());
  EXPECT_TRUE(ChipUntouched());
  // The shell is down for good: the rerunner would bring back one that holds the files.
  EXPECT_TRUE(outcome.rebooted);
  EXPECT_FALSE(outcome.rerunnerStarted);
}

// Once the files of an item are named they stay named, so every later valid GPS entry programs
// the chip again; an entry whose command is not valid is passed over but keeps its number.
TEST_F(GpsSequenceTest, EveryLaterValidEntryProgramsTheChipAgain) {
  struct Case {
    const char* name;
    std::vector<GpsItem> items;
    std::vector<PackageMember> members;
    bool engine;
  };
  const Case cases[] = {
      {"boot loader: a second firmware with the first boot loader",
       {{"2", "GPSBOOT.LDR^BOOT"},
        {"3.3.0", "A.SRE^FIRMWARE"},
        {"3.3.1", "B.SRE"},
        {"3.3.1", "B.SRE^FIRMWARE"}},
       {{"GPSBOOT.LDR", gps_testing::BootLoader()},
        {"A.SRE", gps_testing::FirmwareSRecords("3.3.0", kSize)},
        {"B.SRE", gps_testing::FirmwareSRecords("3.3.1", kSize)}},
       false},
      {"flash engine: two images, the clock detected once",
       {{"3.3.0", "A.BIN^FIRMWARE"}, {"3.3.1", "B.BIN"}, {"3.3.1", "B.BIN^FIRMWARE"}},
       {{"A.BIN", gps_testing::Firmware("3.3.0", kSize)},
        {"B.BIN", gps_testing::Firmware("3.3.1", kSize)}},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fresh();
    const std::size_t before = DebugText().size();
    const sim::RunOutcome outcome = Update(c.items, c.members);
    EXPECT_EQ(outcome.screens, (std::vector<int>{1, 3, 10, 8}));
    EXPECT_EQ(outcome.parts[3].installedAfter, "3.3.1");
    const std::string debug = DebugText().substr(before);
    const char* programmed = c.engine ? "GPSProg: GPSProgramGpsFast: Programming successful\r\n"
                                      : "GPSProg: Programming successful\r\n";
    EXPECT_EQ(Count(debug, programmed), 2U) << debug;
    const std::string last = c.items.back().command;
    EXPECT_NE(debug.find("LOG:[" + std::to_string(c.items.size()) +
                         "] Updating GPS Version [3.3.1], Command[" + last + "]\r\n"),
              std::string::npos)
        << debug;
    EXPECT_EQ(Count(debug, "] Updating GPS Version ["), 2U) << debug;
    if (c.engine) {
      // The second session of the run kept the clock that the first one detected.
      EXPECT_EQ(FramesWithCode(Tap(), kFromTerminal, 0x2A).size(), 2U);
      EXPECT_EQ(FramesWithCode(Tap(), kFromTerminal, 0x2E).size(), 1U);
      EXPECT_EQ(FramesWithCode(Tap(), kFromTerminal, 0x28).size(), 2U);
    }
  }
}

// Failures of the boot-loader path before or after the chip is programmed: the item fails with
// its status text, the driver gets the receiver back and keeps loading always.
TEST_F(GpsSequenceTest, TheBootLoaderPathsFailuresEndTheItem) {
  struct Case {
    const char* name;
    std::function<void(sim::TerminalConfig&)> change;
    bool portHeld;
    const char* offered;
    const char* status;
    bool programmed;
  };
  const Case cases[] = {
      {"no GPS driver", [](sim::TerminalConfig& config) { config.gpsDriver.present = false; },
       false, "3.3.0", "Unable to access GPS device", false},
      {"the port held by another program", {}, true, "3.3.0", "Unable to open COM port", false},
      {"a firmware that is not the version offered",
       {},
       false,
       "3.3.1",
       "Verification failed",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fresh(c.change);
    if (c.portHeld) {
      HandOverChip();
      platform::SerialConfig inForce;
      ASSERT_NE(Term().Serial().OpenSerial("COM6:", {}, &inForce), platform::kInvalidHandle);
    }
    const std::size_t before = DebugText().size();
    const sim::RunOutcome outcome = UpdateSerial(c.offered, "3.3.0");
    EXPECT_EQ(outcome.screens, (std::vector<int>{1, 3, 10, 9}));
    const std::string debug = DebugText().substr(before);
    EXPECT_NE(debug.find(std::string("GPSProg: ") + c.status + "\r\n"), std::string::npos) << debug;
    EXPECT_NE(debug.find(" - Failed to program GPS\r\n"), std::string::npos);
    EXPECT_EQ(Term().Gps().FirmwareVersion(), c.programmed ? "3.3.0" : "3.2.4");
    EXPECT_TRUE(LoadAlwaysSet());
    EXPECT_EQ(Term().GpsDriverPart().Completions(), 0);
    EXPECT_EQ(Term().GpsDriverPart().Mode(), 1);
  }
}

// The simulated line takes every byte it is given; a port that takes none stands between it and
// the driver, which programs outside a whole run for that reason.
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

TEST_F(GpsSequenceTest, ABootLoaderThePortWillNotTakeClosesThePortAndGivesTheReceiverBack) {
  UsePackage({{"boot.ldr", gps_testing::BootLoader()},
              {"fw.sre", gps_testing::FirmwareSRecords("3.3.0", kSize)}});
  PortRefusingWrites port(Term().Serial());
  platform::Backend backend = Term().Backend();
  backend.serial = &port;
  platform::Install(backend);
  GPSProgSetBootFile("boot.ldr", "2");
  GPSProgSetFirmwareFile("fw.sre", "3.3.0");
  EXPECT_EQ(GPSProg(), 0);
  Term().Install();
  EXPECT_NE(DebugText().find("GPSProg: Unable to send boot file\r\n"), std::string::npos);
  EXPECT_EQ(Term().Serial().OpenCount(), 0U);
  EXPECT_EQ(Term().GpsDriverPart().Mode(), 1);
  EXPECT_TRUE(LoadAlwaysSet());
  EXPECT_TRUE(ChipUntouched());
}

}  // namespace
