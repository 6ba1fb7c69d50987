// Whole operating-system updates for what the kernel-only runs leave open. Leaving after an
// image was attempted restarts the terminal even with the rerunner there to start the shell,
// since the disk driver is gone; two images in one run take the driver core over once, whatever
// the second one's kind; a "DSK1:" entry whose handle is 0 is passed over for a later one.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "flash/flash_support.h"
#include "flash/image_format.h"
#include "sim/flash_config.h"
#include "sim/image_cipher.h"
#include "sim/runner.h"
#include "sim/shell.h"
#include "support/package_builder.h"
#include "support/terminal_fixture.h"

namespace {

using flash_testing::VersionedImage;

struct OsJob {
  std::string file;
  std::string version;
  std::string target;  // partition^signature
  std::string contents;
};

OsJob KernelJob() {
  const std::string bin = flash_testing::BinHeader(0x80200000, 90000) +
                          flash_testing::Record(0x80200000, VersionedImage("4.2.121", 90000, 31)) +
                          flash_testing::EndRecord();
  return {"NK.BIN", "4.2.121", "1^KRNL", image_format::EncryptImage(bin, "Mesa cap")};
}
OsJob BinBootJob() {
  const std::string bin = flash_testing::BinHeader(0x80000000, 70000) +
                          flash_testing::Record(0x80000000, VersionedImage("1.0.6", 70000, 32)) +
                          flash_testing::EndRecord();
  return {"EBOOT.BIN", "1.0.6", "0^BOOT", image_format::EncryptImage(bin, "Mesa cap")};
}
OsJob RawBootJob() { return {"EBOOT2.NB0", "1.0.6", "0^BOOT", VersionedImage("1.0.6", 70000, 33)}; }

enum class Setup { kNone, kStaleDiskEntry, kNoDiskEntry, kShellStuck };

struct OsRun {
  const char* name;
  std::vector<OsJob> (*jobs)();
  Setup setup;
  int screen;
  std::vector<std::string> texts;  // in the debug output, in this order
  const char* bootAfter;
  const char* kernelAfter;
};

class FlashSequenceTest : public testing_support::TerminalTest,
                          public ::testing::WithParamInterface<OsRun> {
 protected:
  sim::TerminalConfig Config() const override {
    sim::TerminalConfig config = flash_testing::SmallTerminal();
    config.Get<sim::FlashConfig>().diskDriverListed = GetParam().setup != Setup::kNoDiskEntry;
    if (GetParam().setup == Setup::kShellStuck) {
      config.Get<sim::ShellConfig>().onDestroy = sim::ShellDestroy::kIgnore;
      config.Get<sim::ShellConfig>().canBeTerminated = false;
    }
    return config;
  }
};

TEST_P(FlashSequenceTest, EndsAsExpectedAndRestartsTheTerminal) {
  const OsRun& c = GetParam();
  // The shell holds its library: one that will not end keeps it locked.
  WriteFile("\\Flash Disk2\\Shell.dll", "the shell's library");
  WriteFile("\\Flash Disk2\\rerunner.exe", "");
  Reopen();
  if (c.setup == Setup::kStaleDiskEntry) {  // met before the disk driver's own
    Term().Registry().SetString("Drivers\\Active\\00", "Name", "DSK1:");
    Term().Registry().SetDword("Drivers\\Active\\00", "Hnd", 0);
  }
  std::string ini = "[SoftwareToUpdate]\r\nUpdate1=OS\r\n[OS]\r\n";
  std::vector<testing_support::PackageMember> members;
  for (const OsJob& job : c.jobs()) {
    ini += "OSSoftware" + std::to_string(members.size() + 1) + "=OS|" + job.version + "|" +
           job.file + "^" + job.target + "\r\n";
    members.push_back({job.file, job.contents});
  }
  members.insert(members.begin(), {"Vostrel.ini", ini});
  WriteFile("\\Storage Card\\install.bin", testing_support::BuildPackage(members));

  const sim::RunOutcome outcome = Run("PLAY PLAY", "", 3);
  EXPECT_EQ(outcome.screens, (std::vector<int>{1, 3, 6, c.screen}));
  EXPECT_TRUE(outcome.rebooted);
  EXPECT_FALSE(outcome.rerunnerStarted);
  EXPECT_EQ(outcome.parts[0].installedAfter, c.bootAfter);
  EXPECT_EQ(outcome.parts[1].installedAfter, c.kernelAfter);
  const std::string debug = DebugText();
  std::size_t at = 0;
  for (const std::string& text : c.texts) {
    at = debug.find(text, at);
    ASSERT_NE(at, std::string::npos) << "no \"" << text << "\" in order in\n" << debug;
  }
}

const char* const kKernelItem = "LOG:[1] Updating OS Version [4.2.121], Command[NK.BIN^1^KRNL]";

INSTANTIATE_TEST_SUITE_P(
    Runs, FlashSequenceTest,
    ::testing::Values(OsRun{"KernelWrittenPastAStaleDiskEntry",
                            [] { return std::vector<OsJob>{KernelJob()}; },
                            Setup::kStaleDiskEntry,
                            8,
                            {"GetDiskDriverHandle: dwDiskDriverID = 0\r\n",
                             "GetDiskDriverHandle: dwDiskDriverID = 798528\r\n",
                             "RunFlashPart: Completed Successfully!!\r\n"},
                            "1.0.2",
                            "4.2.121"},
                      // The second job's search meets the stale entry first and must keep
                      // the handle the first job found.
                      OsRun{"TwoBinImagesPastAStaleDiskEntry",
                            [] {
                              return std::vector<OsJob>{BinBootJob(), KernelJob()};
                            },
                            Setup::kStaleDiskEntry,
                            8,
                            {"Programming [NK.BIN]", "GetDiskDriverHandle: dwDiskDriverID = 0\r\n",
                             "OEMWriteFlash: Bypassing flinit()\r\n"},
                            "1.0.6",
                            "4.2.121"},
                      // A RAM image's record goes through the fetch, which fails for want of a
                      // destination.
                      OsRun{"RamKernel",
                            [] {
                              OsJob job = KernelJob();
                              const std::string bin = flash_testing::BinHeader(0x40000000, 16) +
                                                      flash_testing::Record(0x40000000, "data") +
                                                      flash_testing::EndRecord();
                              job.contents = image_format::EncryptImage(bin, "Mesa cap");
                              return std::vector<OsJob>{job};
                            },
                            Setup::kNone,
                            9,
                            {"LoadBIN: Download of RAM .BIN files not supported\r\n",
                             "Fetching 4 bytes, to 0\r\n", "LoadBIN: Data record corrupted\r\n"},
                            "1.0.2",
                            "1.0.5"},
                      OsRun{"NoDiskDriverEntry",
                            [] { return std::vector<OsJob>{KernelJob()}; },
                            Setup::kNoDiskEntry,
                            9,
                            {std::string(kKernelItem) + " - Failed to setup flash part\r\n"},
                            "1.0.2",
                            "1.0.5"},
                      OsRun{"ShellThatCannotBeStopped",
                            [] { return std::vector<OsJob>{KernelJob()}; },
                            Setup::kShellStuck,
                            11,
                            {std::string(kKernelItem) + " - Failed to shutdown shell\r\n"},
                            "1.0.2",
                            "1.0.5"},
                      OsRun{"TwoBinImages",
                            [] {
                              return std::vector<OsJob>{BinBootJob(), KernelJob()};
                            },
                            Setup::kNone,
                            8,
                            {"Programming [EBOOT.BIN]", "OEMWriteFlash: Before flInit()",
                             "Programming [NK.BIN]", "OEMWriteFlash: Bypassing flinit()\r\n"},
                            "1.0.6",
                            "4.2.121"},
                      OsRun{"RawImageAfterABinImage",
                            [] {
                              return std::vector<OsJob>{KernelJob(), RawBootJob()};
                            },
                            Setup::kNone,
                            8,
                            {"Programming [NK.BIN]", "OEMWriteFlash: Before flInit()",
                             "Programming [EBOOT2.NB0]", "CopyBIN: Bypassing flInit()\r\n"},
                            "1.0.6",
                            "4.2.121"}),
    [](const ::testing::TestParamInfo<OsRun>& param) { return param.param.name; });

}  // namespace
