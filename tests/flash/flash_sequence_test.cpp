// Whole operating-system updates on the terminal's flash, for what the kernel-only runs leave
// open: leaving after an image was attempted restarts the terminal even when the rerunner could
// start the shell, two images in one run take the driver core over once whatever their kind,
// and the disk driver's entry is found past one whose handle is 0.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "flash/flash_support.h"
#include "flash/image_format.h"
#include "sim/flash_media.h"
#include "sim/runner.h"
#include "support/package_builder.h"
#include "support/terminal_fixture.h"

namespace {

using flash_testing::BinHeader;
using flash_testing::EndRecord;
using flash_testing::Record;
using testing_support::BuildPackage;

// A .BIN image of one record carrying the version.
std::string BinImage(const std::string& version, uint32_t length, uint32_t seed) {
  return BinHeader(0x80200000, length) +
         Record(0x80200000, flash_testing::VersionedImage(version, length, seed)) + EndRecord();
}

struct Job {
  std::string file;
  std::string version;
  int partition;
  std::string signature;
  std::string contents;  // as the package holds it
};

// Settings whose OSSoftware numbers follow the jobs' order.
std::string Settings(const std::vector<Job>& jobs) {
  std::string ini = "[SoftwareToUpdate]\r\nUpdate1=OS\r\n[OS]\r\n";
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    ini += "OSSoftware" + std::to_string(i + 1) + "=OS|" + jobs[i].version + "|" + jobs[i].file +
           "^" + std::to_string(jobs[i].partition) + "^" + jobs[i].signature + "\r\n";
  }
  return ini;
}

Job Kernel(uint32_t seed = 31) {
  return {"NK.BIN", "4.2.121", 1, "KRNL",
          image_format::EncryptImage(BinImage("4.2.121", 90000, seed), "Mesa cap")};
}
Job BinBoot() {
  return {"EBOOT.BIN", "1.0.6", 0, "BOOT",
          image_format::EncryptImage(BinImage("1.0.6", 70000, 32), "Mesa cap")};
}
Job RawBoot() {
  return {"EBOOT2.NB0", "1.0.6", 0, "BOOT", flash_testing::VersionedImage("1.0.6", 70000, 33)};
}

class FlashSequenceTest : public testing_support::TerminalTest {
 protected:
  sim::TerminalConfig Config() const override { return flash_testing::SmallTerminal(); }

  sim::RunOutcome Update(const std::vector<Job>& jobs) {
    std::vector<testing_support::PackageMember> members = {{"Vostrel.ini", Settings(jobs)}};
    for (const Job& job : jobs) members.push_back({job.file, job.contents});
    WriteFile("\\Storage Card\\install.bin", BuildPackage(members));
    return Run("PLAY PLAY", "", 3);
  }
  std::string Partition(const std::string& signature) {
    auto data = Term().Flash().ReadPartition(signature, true);
    EXPECT_TRUE(data.ok()) << data.error();
    return data.ok() ? *data : std::string();
  }
};

// The disk driver is gone once an image was attempted, so the updater restarts the terminal,
// never the shell through the rerunner, whichever screen the run ended on.
struct LeaveCase {
  const char* name;
  void (*change)(sim::TerminalConfig&);
  int screen;
  const char* logged;  // in the debug output, after the item's text
};

class LeaveAfterImageTest : public FlashSequenceTest,
                            public ::testing::WithParamInterface<LeaveCase> {
 protected:
  sim::TerminalConfig Config() const override {
    sim::TerminalConfig config = flash_testing::SmallTerminal();
    GetParam().change(config);
    return config;
  }
};

TEST_P(LeaveAfterImageTest, RestartsTheTerminalThoughTheRerunnerIsThere) {
  const LeaveCase& c = GetParam();
  // The shell holds its library, so that one that will not end keeps it locked.
  WriteFile("\\Flash Disk2\\Shell.dll", "the shell's library");
  WriteFile("\\Flash Disk2\\rerunner.exe", "");
  Reopen();
  const std::string before = Partition("KRNL");

  const sim::RunOutcome outcome = Update({Kernel()});
  EXPECT_EQ(outcome.screens, (std::vector<int>{1, 3, 6, c.screen}));
  EXPECT_NE(
      DebugText().find(
          std::string("LOG:[1] Updating OS Version [4.2.121], Command[NK.BIN^1^KRNL]") + c.logged),
      std::string::npos);
  EXPECT_TRUE(outcome.rebooted);
  EXPECT_FALSE(outcome.rerunnerStarted);
  EXPECT_EQ(outcome.parts[1].installedAfter, c.screen == 8 ? "4.2.121" : "1.0.5");
  if (c.screen != 8) {
    EXPECT_TRUE(Partition("KRNL") == before);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ends, LeaveAfterImageTest,
    ::testing::Values(LeaveCase{"KernelWritten", [](sim::TerminalConfig&) {}, 8, "\r\n"},
                      LeaveCase{"NoDiskDriverEntry",
                                [](sim::TerminalConfig& config) {
                                  config.flash.diskDriverListed = false;
                                },
                                9, " - Failed to setup flash part\r\n"},
                      LeaveCase{"ShellThatCannotBeStopped",
                                [](sim::TerminalConfig& config) {
                                  config.shell.onDestroy = sim::ShellDestroy::kIgnore;
                                  config.shell.canBeTerminated = false;
                                },
                                11, " - Failed to shutdown shell\r\n"}),
    [](const ::testing::TestParamInfo<LeaveCase>& param) { return param.param.name; });

// Two images in one run: the first job takes the driver core over, the second finds it taken
// and says so in its own words, and both partitions hold their images afterwards.
struct TwoJobsCase {
  const char* name;
  std::vector<Job> (*jobs)();
  const char* bypass;  // what the second job traces
};

class TwoJobsTest : public FlashSequenceTest, public ::testing::WithParamInterface<TwoJobsCase> {};

TEST_P(TwoJobsTest, TheSecondJobBypassesTheTakeOver) {
  const std::vector<Job> jobs = GetParam().jobs();
  const sim::RunOutcome outcome = Update(jobs);
  EXPECT_EQ(outcome.screens, (std::vector<int>{1, 3, 6, 8}));
  EXPECT_EQ(outcome.parts[0].installedAfter, "1.0.6");
  EXPECT_EQ(outcome.parts[1].installedAfter, "4.2.121");
  const std::string debug = DebugText();
  const std::size_t second = debug.find("Programming [" + jobs[1].file + "]");
  ASSERT_NE(second, std::string::npos) << debug;
  EXPECT_NE(debug.find(GetParam().bypass, second), std::string::npos) << debug;
  // The core was started once, by the first job.
  EXPECT_EQ(debug.find("Before flInit()", second), std::string::npos) << debug;
  EXPECT_EQ(debug.find("UnloadDiskDriver failed"), std::string::npos) << debug;
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, TwoJobsTest,
    ::testing::Values(TwoJobsCase{"TwoBinImages",
                                  [] {
                                    return std::vector<Job>{BinBoot(), Kernel()};
                                  },
                                  "OEMWriteFlash: Bypassing flinit()\r\n"},
                      TwoJobsCase{"RawAfterBin",
                                  [] {
                                    return std::vector<Job>{Kernel(), RawBoot()};
                                  },
                                  "CopyBIN: Bypassing flInit()\r\n"}),
    [](const ::testing::TestParamInfo<TwoJobsCase>& param) { return param.param.name; });

// A "DSK1:" entry whose handle is 0 is passed over; the search goes on to the real one.
TEST_F(FlashSequenceTest, ADiskEntryWithHandle0IsPassedOverForALaterOne) {
  Term().Registry().SetString("Drivers\\Active\\00", "Name", "DSK1:");
  Term().Registry().SetDword("Drivers\\Active\\00", "Hnd", 0);
  const sim::RunOutcome outcome = Update({Kernel()});
  EXPECT_EQ(outcome.screens, (std::vector<int>{1, 3, 6, 8}));
  EXPECT_EQ(outcome.parts[1].installedAfter, "4.2.121");
  const std::string debug = DebugText();
  const std::size_t zero = debug.find("GetDiskDriverHandle: dwDiskDriverID = 0\r\n");
  ASSERT_NE(zero, std::string::npos) << debug;
  EXPECT_NE(debug.find("GetDiskDriverHandle: dwDiskDriverID = 798528\r\n", zero), std::string::npos)
      << debug;
}

}  // namespace
