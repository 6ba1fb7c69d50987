// Whole runs that write the boot loader and the kernel: both run modes, what the partitions
// hold afterwards, the versions the terminal reports after its restart, and each fault of the
// flash disk with its message, its screen and a flash left untouched outside the partition.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "flash/flash_support.h"
#include "flash/image_format.h"
#include "sim/desktop_peer.h"
#include "sim/flash_config.h"
#include "sim/flash_media.h"
#include "sim/image_cipher.h"
#include "sim/runner.h"
#include "support/package_builder.h"
#include "support/terminal_fixture.h"

namespace {

using flash_testing::BinHeader;
using flash_testing::EndRecord;
using flash_testing::Record;
using testing_support::BuildPackage;
using testing_support::TerminalTest;

enum class Mode { kTerminal, kDesktop };

constexpr uint32_t kStart = 0x80200000;

// A kernel of three records with a gap between the second and the third, 0xFF there.
std::string KernelImage(const std::string& version, uint32_t length) {
  const std::string head = flash_testing::VersionedImage(version, 70000, 11);
  const std::string middle = flash_testing::Pattern(30000, 12);
  const std::string tail = flash_testing::Pattern(length - 150000, 13);
  return BinHeader(kStart, length) + Record(kStart + 100000, middle) + Record(kStart, head) +
         Record(kStart + 150000, tail) + EndRecord();
}

// What the partition holds after that kernel: the records, 0xFF in the gap up to the image's
// length, zero after it up to the whole block.
std::string KernelPartition(const std::string& version, uint32_t length) {
  std::string image(length, '\xFF');
  image.replace(0, 70000, flash_testing::VersionedImage(version, 70000, 11));
  image.replace(100000, 30000, flash_testing::Pattern(30000, 12));
  image.replace(150000, length - 150000, flash_testing::Pattern(length - 150000, 13));
  return flash_testing::Rounded(image, '\0');
}

class FlashRunTest : public TerminalTest, public ::testing::WithParamInterface<Mode> {
 protected:
  sim::TerminalConfig Config() const override { return flash_testing::SmallTerminal(); }

  std::string Package(const std::string& bootFile, const std::string& boot,
                      const std::string& kernel, const std::string& material = "Mesa cap") {
    return BuildPackage(
        {{"Vostrel.ini", flash_testing::OsSettings("1.0.6", bootFile, "4.2.121", "NK.BIN")},
         {bootFile, boot},
         {"NK.BIN", image_format::EncryptImage(kernel, material)}});
  }
  std::string KernelOnly(const std::string& kernel, const std::string& material = "Mesa cap") {
    return BuildPackage({{"Vostrel.ini",
                          "[SoftwareToUpdate]\r\nUpdate1=OS\r\n[OS]\r\n"
                          "OSSoftware1=OS|4.2.121|NK.BIN^1^KRNL\r\n"},
                         {"NK.BIN", image_format::EncryptImage(kernel, material)}});
  }
  sim::RunOutcome Update(const std::string& package, int debugLevel = 2) {
    if (GetParam() == Mode::kDesktop) return RunDesktop("PLAY PLAY", package, {}, debugLevel);
    WriteFile("\\Storage Card\\install.bin", package);
    return Run("PLAY PLAY", "", debugLevel);
  }
  std::string Partition(const std::string& signature) {
    auto data = Term().Find<sim::FlashMedia>()->ReadPartition(signature, true);
    EXPECT_TRUE(data.ok()) << data.error();
    return data.ok() ? *data : std::string();
  }
  std::string Written(const std::string& signature) {
    auto data = Term().Find<sim::FlashMedia>()->ReadPartition(signature, false);
    EXPECT_TRUE(data.ok()) << data.error();
    return data.ok() ? *data : std::string();
  }
  bool Traced(const std::string& line) { return DebugText().find(line) != std::string::npos; }
};

TEST_P(FlashRunTest, WritesBootLoaderAndKernelAndTheTerminalReportsThem) {
  const std::string boot = flash_testing::VersionedImage("1.0.6", 65537, 5);
  const std::string kernel = KernelImage("4.2.121", 200000);
  const sim::RunOutcome outcome = Update(Package("EBOOT2.NB0", boot, kernel), 3);
  EXPECT_EQ(outcome.screens, (std::vector<int>{1, 3, 6, 8}));
  EXPECT_TRUE(outcome.rebooted);
  EXPECT_EQ(outcome.parts[0].installedBefore, "1.0.2");
  EXPECT_EQ(outcome.parts[0].installedAfter, "1.0.6");
  EXPECT_EQ(outcome.parts[1].installedBefore, "1.0.5");
  EXPECT_EQ(outcome.parts[1].installedAfter, "4.2.121");

  // The raw image in two blocks after a write init of 131,072: the tail of the last block keeps
  // what the block before left in the buffer.
  std::string bootPartition = boot.substr(0, 65537) + boot.substr(1, 65535);
  EXPECT_TRUE(Written("BOOT") == bootPartition);
  EXPECT_TRUE(Written("KRNL") == KernelPartition("4.2.121", 200000));
  EXPECT_TRUE(Traced("CopyBIN: FileSize=65537, Remaining=131072\r\n"));
  // In the order of their OSSoftware numbers; the second job takes the core over no more.
  const std::string debug = DebugText();
  const std::size_t first = debug.find("Programming [EBOOT2.NB0] into [0:BOOT] Raw[1]");
  const std::size_t second = debug.find("Programming [NK.BIN] into [1:KRNL] Raw[0]");
  ASSERT_NE(first, std::string::npos);
  EXPECT_GT(second, first);
  EXPECT_NE(debug.find("OEMWriteFlash: Bypassing flinit()\r\n", second), std::string::npos);
  EXPECT_EQ(debug.find("OEMWriteFlash: Before flInit()"), std::string::npos);

  const sim::RunOutcome again = Update(Package("EBOOT2.NB0", boot, kernel));
  EXPECT_EQ(again.screens, (std::vector<int>{1, 3, 5}));
}

TEST_P(FlashRunTest, AWrongKeyFailsTheLoadAndLeavesTheFlashAlone) {
  const std::string krnl = Partition("KRNL");
  const std::string disk = Term().Find<sim::FlashMedia>()->ReadDiskArea();
  const sim::RunOutcome outcome =
      Update(KernelOnly(KernelImage("4.2.121", 160000), "other material"));
  EXPECT_EQ(outcome.screens.back(), 9);
  EXPECT_TRUE(Traced("LoadBIN: ERROR: This is not a .BIN file 0 0 0 0 0 0 0\r\n"));
  EXPECT_TRUE(Traced("RunFlashPart: UPDATE FAILED\r\n"));
  EXPECT_TRUE(Partition("KRNL") == krnl);
  EXPECT_TRUE(Term().Find<sim::FlashMedia>()->ReadDiskArea() == disk);
}

INSTANTIATE_TEST_SUITE_P(BothModes, FlashRunTest,
                         ::testing::Values(Mode::kTerminal, Mode::kDesktop),
                         [](const ::testing::TestParamInfo<Mode>& param) {
                           return param.param == Mode::kTerminal ? "Terminal" : "Desktop";
                         });

// A desktop that stops answering while the boot loader is copied: the raw read of the third
// block fails, is tried four times, and the copy fails with the read's error; the block buffer,
// which still holds the second block, is never written in the third one's place.
class RawReadFailureTest : public TerminalTest {
 protected:
  sim::TerminalConfig Config() const override {
    sim::TerminalConfig config = flash_testing::SmallTerminal();
    config.Get<sim::FlashConfig>().partitions[0].units = 32;  // 256 KiB
    return config;
  }
  static sim::DesktopConfig Desktop() {
    sim::DesktopConfig desktop;
    desktop.cacheSize = 65536;
    desktop.fillSize = 65536;
    desktop.stopAfter = 4;  // the package's size, the settings, two blocks
    return desktop;
  }
};

TEST_F(RawReadFailureTest, IsTriedFourTimesAndFailsTheCopy) {
  const std::string boot = flash_testing::VersionedImage("1.0.6", 3 * 65536, 21);
  const std::string package = BuildPackage(
      {{"Vostrel.ini",
        "[SoftwareToUpdate]\r\nUpdate1=OS\r\n[OS]\r\nOSSoftware1=OS|1.0.6|EBOOT2.NB0^0^BOOT\r\n"},
       {"EBOOT2.NB0", boot}});
  const sim::RunOutcome outcome = RunDesktop("PLAY PLAY", package, Desktop(), 2);
  EXPECT_EQ(outcome.screens.back(), 9);
  const std::string debug = DebugText();
  std::size_t tries = 0;
  for (std::size_t at = debug.find("CopyBIN: Read failed. Last Error=3\r\n");
       at != std::string::npos; at = debug.find("CopyBIN: Read failed. Last Error=3\r\n", at + 1)) {
    ++tries;
  }
  EXPECT_EQ(tries, 4U) << debug;
  EXPECT_NE(debug.find("\nCopyBIN: WriteBlock failed, code 256\r\n"), std::string::npos) << debug;
  // The copy was written beside the factory image, which stays in use.
  auto inUse = Term().Find<sim::FlashMedia>()->ReadPartition("BOOT", false);
  ASSERT_TRUE(inUse.ok()) << inUse.error();
  EXPECT_EQ(inUse->find(sim::kFactoryMark), 0U);
  EXPECT_EQ(Term().Versions().boot, "1.0.2");
}

// A boot partition of 9 units of 8 KiB: 73,728 bytes.
class FlashCapacityTest : public TerminalTest {
 protected:
  bool Traced(const std::string& line) { return DebugText().find(line) != std::string::npos; }
  sim::TerminalConfig Config() const override {
    sim::TerminalConfig config = flash_testing::SmallTerminal();
    config.Get<sim::FlashConfig>().partitions[0].units = 9;
    return config;
  }
};

TEST_F(FlashCapacityTest, RawImagesAreMeasuredInWholeBlocks) {
  // 65,537 bytes are two blocks, 131,072 bytes, which 73,728 cannot hold: refused before the
  // partition is touched, so the boot loader stays whole.
  auto before = Term().Find<sim::FlashMedia>()->ReadPartition("BOOT", true);
  ASSERT_TRUE(before.ok()) << before.error();
  const std::string raw = flash_testing::Pattern(65537, 8);
  WriteFile("\\Storage Card\\install.bin",
            BuildPackage({{"Vostrel.ini",
                           "[SoftwareToUpdate]\r\nUpdate1=OS\r\n[OS]\r\n"
                           "OSSoftware1=OS|1.0.6|EBOOT2.NB0^0^BOOT\r\n"},
                          {"EBOOT2.NB0", raw}}));
  EXPECT_EQ(Run("PLAY PLAY", "", 2).screens.back(), 9);
  EXPECT_TRUE(Traced(
      "CopyBIN: File [EBOOT2.NB0] size [65537] too big for Flash block [0] size [73728]\r\n"));
  EXPECT_FALSE(Traced("CopyBIN: WriteInit Status="));
  auto after = Term().Find<sim::FlashMedia>()->ReadPartition("BOOT", true);
  ASSERT_TRUE(after.ok()) << after.error();
  EXPECT_TRUE(*after == *before);
}

TEST_F(FlashCapacityTest, BinImagesAreMeasuredRounded) {
  // The same length as a .BIN image needs 131,072 and is refused before anything is written.
  const std::string bin = BinHeader(0x80000000, 65537) +
                          Record(0x80000000, flash_testing::Pattern(65537, 9)) + EndRecord();
  WriteFile("\\Storage Card\\install.bin",
            BuildPackage({{"Vostrel.ini",
                           "[SoftwareToUpdate]\r\nUpdate1=OS\r\n[OS]\r\n"
                           "OSSoftware1=OS|1.0.7|EBOOT.BIN^0^BOOT\r\n"},
                          {"EBOOT.BIN", image_format::EncryptImage(bin, "Mesa cap")}}));
  EXPECT_EQ(Run("PLAY PLAY", "", 2).screens.back(), 9);
  EXPECT_TRUE(Traced(
      "OEMWriteFlash: File length [131072] is larger than Flash partition size [73728]\r\n"));
}

// Empty images: each would have its partition erased and nothing written in its place, and the
// terminal would no longer start. Each is refused before the flash is touched.
class EmptyImageTest : public TerminalTest {
 protected:
  sim::TerminalConfig Config() const override { return flash_testing::SmallTerminal(); }
};

TEST_F(EmptyImageTest, IsRefusedAndBothPartitionsStayAsTheyWere) {
  const struct {
    const char* definition;
    const char* file;
    std::string member;
    const char* message;
  } cases[] = {
      {"OSSoftware1=OS|4.2.121|NK.BIN^1^KRNL", "NK.BIN",
       image_format::EncryptImage(BinHeader(kStart, 0) + EndRecord(), "Mesa cap"),
       "LoadBIN: ERROR: 'NK.BIN' is an empty image (length 0), nothing written\r\n"},
      {"OSSoftware1=OS|4.2.121|NK.BIN^1^KRNL", "NK.BIN",
       image_format::EncryptImage(BinHeader(kStart, 65536) + EndRecord(), "Mesa cap"),
       "LoadBIN: ERROR: 'NK.BIN' holds no data record, nothing written\r\n"},
      {"OSSoftware1=OS|1.0.6|EBOOT2.NB0^0^BOOT", "EBOOT2.NB0", "",
       "CopyBIN: ERROR: 'EBOOT2.NB0' is empty, nothing written\r\n"},
  };
  const auto read = [this](const std::string& signature) {
    auto data = Term().Find<sim::FlashMedia>()->ReadPartition(signature, true);
    EXPECT_TRUE(data.ok()) << data.error();
    return data.ok() ? *data : std::string();
  };
  const std::string boot = read("BOOT");
  const std::string krnl = read("KRNL");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    WriteFile(
        "\\Storage Card\\install.bin",
        BuildPackage({{"Vostrel.ini", std::string("[SoftwareToUpdate]\r\nUpdate1=OS\r\n[OS]\r\n") +
                                          c.definition + "\r\n"},
                      {c.file, c.member}}));
    EXPECT_EQ(Run("PLAY PLAY", "", 1).screens.back(), 9);
    EXPECT_NE(DebugText().find(c.message), std::string::npos) << DebugText();
    EXPECT_TRUE(read("BOOT") == boot);
    EXPECT_TRUE(read("KRNL") == krnl);
    EXPECT_EQ(Term().Boot(), sim::BootState::kStarts);
  }
}

// Faults of the flash disk, each in a kernel-only run in terminal mode.
struct FaultCase {
  const char* name;
  void (*set)(sim::FlashConfig&);
  int screen;
  const char* message;
  // The new kernel is in use afterwards; else the factory image stays in use.
  bool written;
};

class FlashFaultTest : public TerminalTest, public ::testing::WithParamInterface<FaultCase> {
 protected:
  std::string Read(const std::string& signature) {
    auto data = Term().Find<sim::FlashMedia>()->ReadPartition(signature, true);
    EXPECT_TRUE(data.ok()) << data.error();
    return data.ok() ? *data : std::string();
  }
  sim::TerminalConfig Config() const override {
    sim::TerminalConfig config = flash_testing::SmallTerminal();
    GetParam().set(config.Get<sim::FlashConfig>());
    return config;
  }
};

TEST_P(FlashFaultTest, EndsOnItsMessageAndScreen) {
  const FaultCase& c = GetParam();
  const std::string boot = Read("BOOT");
  const std::string krnl = Read("KRNL");
  const std::string disk = Term().Find<sim::FlashMedia>()->ReadDiskArea();
  const std::string kernel = KernelImage("4.2.121", 4 * 65536);
  WriteFile("\\Storage Card\\install.bin",
            BuildPackage({{"Vostrel.ini",
                           "[SoftwareToUpdate]\r\nUpdate1=OS\r\n[OS]\r\n"
                           "OSSoftware1=OS|4.2.121|NK.BIN^1^KRNL\r\n"},
                          {"NK.BIN", image_format::EncryptImage(kernel, "Mesa cap")}}));
  const sim::RunOutcome outcome = Run("PLAY PLAY", "", 2);
  if (c.screen != 0) {
    EXPECT_EQ(outcome.screens.back(), c.screen);
  } else {
    EXPECT_EQ(outcome.end, sim::RunEnd::kPowerCut);
  }
  EXPECT_NE(DebugText().find(c.message), std::string::npos) << c.message;
  // Nothing outside the kernel's partition changed.
  EXPECT_TRUE(Read("BOOT") == boot);
  EXPECT_TRUE(Term().Find<sim::FlashMedia>()->ReadDiskArea() == disk);
  // A new image is written beside the one in use, which stays in use until the new one is
  // whole: no fault leaves the terminal without a kernel.
  EXPECT_TRUE(Read("KRNL") == (c.written ? KernelPartition("4.2.121", 4 * 65536) : krnl));
  EXPECT_EQ(Term().Versions().kernel, c.written ? "4.2.121" : "1.0.5");
  EXPECT_EQ(Term().Boot(), sim::BootState::kStarts);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FlashFaultTest,
    ::testing::Values(
        FaultCase{"NoChip", [](sim::FlashConfig& f) { f.present = false; }, 9,
                  "OEMWriteFlash: OEMWriteFlash: ERROR DoC not detected.\r\n", false},
        FaultCase{"NoDiskDriverEntry", [](sim::FlashConfig& f) { f.diskDriverListed = false; }, 9,
                  "Programming [NK.BIN] into [1:KRNL]\r\n", false},
        FaultCase{"HandleZero", [](sim::FlashConfig& f) { f.diskDriverHandle = 0; }, 9,
                  "GetDiskDriverHandle: dwDiskDriverID = 0\r\n", false},
        FaultCase{"DeactivateFails", [](sim::FlashConfig& f) { f.deactivateFails = true; }, 9,
                  "OEMWriteFlash: UnloadDiskDriver failed (31)\r\n", false},
        // The status of a failed write init is only shown; the first block then finds no
        // write to continue.
        FaultCase{"WriteInitFails", [](sim::FlashConfig& f) { f.failErase = true; }, 9,
                  "OEMWriteFlash: WriteInit Status=26\r\n", false},
        FaultCase{"BlockWriteFails", [](sim::FlashConfig& f) { f.failWriteAtBlock = 3; }, 9,
                  "OEMWriteFlash: Unable to do a WriteBlock 1A\r\n", false},
        FaultCase{"OneFlippedBitIsCorrected",
                  [](sim::FlashConfig& f) {
                    f.flipBitsAtBlock = 2;
                    f.flippedBits = 1;
                  },
                  8, "RunFlashPart: Completed Successfully!!\r\n", true},
        FaultCase{"TwoFlippedBitsFailTheBlock",
                  [](sim::FlashConfig& f) {
                    f.flipBitsAtBlock = 2;
                    f.flippedBits = 2;
                  },
                  9, "OEMWriteFlash: Unable to do a WriteBlock 19\r\n", false},
        FaultCase{"PowerCut", [](sim::FlashConfig& f) { f.powerCutAfterBlock = 2; }, 0,
                  "OEMWriteFlash: Programming: 25%\r", false}),
    [](const ::testing::TestParamInfo<FaultCase>& param) { return param.param.name; });

}  // namespace
