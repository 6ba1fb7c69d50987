// Power cuts after each write step of an update that changes the application, the boot loader
// and the kernel: how the terminal powers up again from what its partitions hold, what it
// reports, and whether the same package run once more completes the update; the naming of the
// steps by the script's lines and the choice of cut points.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "flash/flash_support.h"
#include "flash/image_format.h"
#include "sim/flash_config.h"
#include "sim/flash_media.h"
#include "sim/image_cipher.h"
#include "sim/runner.h"
#include "sim/shell.h"
#include "sim/terminal.h"
#include "sim/write_steps.h"
#include "support/package_builder.h"
#include "support/terminal_fixture.h"
#include "tools/power_cut_matrix.h"

namespace {

using flash_testing::BinHeader;
using flash_testing::EndRecord;
using flash_testing::Record;
using testing_support::TempDir;
namespace power_cuts = tools::power_cuts;

constexpr uint32_t kStart = 0x80200000;
constexpr const char* kMap = "\\Flash Disk2\\Nav\\Maps\\Region.map";

// Navigator 2.0 over 1.0 (a map of three copy chunks, a rename, a pattern delete, a folder
// removed), then a boot loader of two blocks and a kernel of four.
std::string Settings() {
  return "[SoftwareToUpdate]\r\nUpdate1=OS\r\nUpdate2=Application\r\n"
         "[OS]\r\nOSSoftware1=OS|1.0.6|EBOOT2.NB0^0^BOOT\r\n"
         "OSSoftware2=OS|4.2.121|NK.BIN^1^KRNL\r\n"
         "[Application]\r\nAppSoftware1=Application|2.0|AppScript\r\n"
         "[AppScript]\r\n###CommandStart###\r\n"
         "MKDIR|\\Flash Disk2\\Nav\\Maps\r\n"
         "COPY|Nav.exe|\\Flash Disk2\\Nav\\Nav.new\r\n"
         "COPY|Region.map|\\Flash Disk2\\Nav\\Maps\\Region.map\r\n"
         "COPY|version.txt|\\Flash Disk2\\Nav\\Backup-<ccyymmdd>.txt\r\n"
         "REN|\\Flash Disk2\\Nav\\Nav.new|\\Flash Disk2\\Nav\\Nav.exe\r\n"
         "DEL|\\Flash Disk2\\Nav\\*.tmp\r\n"
         "RMDIR|\\Flash Disk2\\Nav\\Cache\r\n"
         "COPY|version.txt|\\Flash Disk2\\Tavimon\\version.txt\r\n"
         "###CommandEnd###\r\n";
}

std::string Package() {
  const std::string kernel =
      BinHeader(kStart, 4 * 65536) +
      Record(kStart, flash_testing::VersionedImage("4.2.121", 4 * 65536, 5)) + EndRecord();
  return testing_support::BuildPackage(
      {{"Vostrel.ini", Settings()},
       {"EBOOT2.NB0", flash_testing::VersionedImage("1.0.6", 2 * 65536, 3)},
       {"NK.BIN", image_format::EncryptImage(kernel, "Mesa cap")},
       {"Nav.exe", "Nav 2.0\n"},
       {"Region.map", flash_testing::Pattern(600 * 1024, 7)},
       {"version.txt", "2.0\n"}});
}

sim::Status InitTerminal(const std::filesystem::path& dir) {
  sim::TerminalConfig config = flash_testing::SmallTerminal();
  config.Get<sim::HalConfig>().bootVersion = "1.0.5";
  config.Get<sim::HalConfig>().kernelVersion = "4.2.118";
  config.Get<sim::ShellConfig>().applicationVersion = "1.0";
  if (sim::Status made = sim::Terminal::Init(dir, config); !made) return made;
  auto terminal = sim::Terminal::Open(dir);
  if (!terminal) return sim::Status::Failure(terminal.error());
  const auto put = [&](const char* path, const std::string& contents) {
    testing_support::WriteHostFile((*terminal)->Files().HostPath(path), contents);
  };
  put("\\Flash Disk2\\Nav\\Nav.exe", "Nav 1.0\n");
  put("\\Flash Disk2\\Nav\\a.tmp", "temporary\n");
  put("\\Flash Disk2\\Nav\\b.tmp", "temporary\n");
  put("\\Flash Disk2\\Nav\\Cache\\tiles.bin", "tiles\n");
  put("\\Flash Disk2\\Tavimon\\version.txt", "1.0\n");
  return {};
}

class PowerCutMatrixTest : public ::testing::TestWithParam<tools::matrix::Mode> {
 protected:
  void SetUp() override {
    testing_support::WriteHostFile(m_dir.Path() / "install.bin", Package());
    m_setup.package = m_dir.Path() / "install.bin";
    m_setup.settings = Settings();
    m_setup.initTerminal = InitTerminal;
    m_setup.mode = GetParam();
    m_setup.work = m_dir.Path();
  }

  TempDir m_dir;
  power_cuts::CutSetup m_setup;
};

TEST_P(PowerCutMatrixTest, EveryCutPointPowersUpAsThePartitionsSayAndTheScriptPhaseRecovers) {
  auto baseline = power_cuts::RunBaseline(m_setup);
  ASSERT_TRUE(baseline.ok()) << baseline.error();
  std::vector<std::string> labels;
  for (const power_cuts::LabelledStep& step : baseline->steps) labels.push_back(step.label);
  // Steps of the script by their lines; nothing of the run's own files (log, desktop channel).
  // MKDIR of the existing folder and the REN's delete of a missing target change nothing.
  const std::vector<std::string> expected = {
      "script line 1 MKDIR|\\Flash Disk2\\Nav\\Maps",
      "chunk 1 of script line 2 COPY|Nav.exe|\\Flash Disk2\\Nav\\Nav.new",
      "chunk 1 of script line 3 COPY|Region.map|\\Flash Disk2\\Nav\\Maps\\Region.map",
      "chunk 2 of script line 3 COPY|Region.map|\\Flash Disk2\\Nav\\Maps\\Region.map",
      "chunk 3 of script line 3 COPY|Region.map|\\Flash Disk2\\Nav\\Maps\\Region.map",
      "chunk 1 of script line 4 COPY|version.txt|\\Flash Disk2\\Nav\\Backup-<ccyymmdd>.txt",
      "script line 5 REN|\\Flash Disk2\\Nav\\Nav.new|\\Flash Disk2\\Nav\\Nav.exe (delete "
      "\\Flash Disk2\\Nav\\Nav.exe)",
      "script line 5 REN|\\Flash Disk2\\Nav\\Nav.new|\\Flash Disk2\\Nav\\Nav.exe (rename "
      "\\Flash Disk2\\Nav\\Nav.new to \\Flash Disk2\\Nav\\Nav.exe)",
      "script line 6 DEL|\\Flash Disk2\\Nav\\*.tmp (delete \\Flash Disk2\\Nav\\a.tmp)",
      "script line 6 DEL|\\Flash Disk2\\Nav\\*.tmp (delete \\Flash Disk2\\Nav\\b.tmp)",
      "script line 7 RMDIR|\\Flash Disk2\\Nav\\Cache (delete \\Flash Disk2\\Nav\\Cache\\tiles.bin)",
      "script line 7 RMDIR|\\Flash Disk2\\Nav\\Cache (remove folder \\Flash Disk2\\Nav\\Cache)",
      "chunk 1 of script line 8 COPY|version.txt|\\Flash Disk2\\Tavimon\\version.txt",
  };
  ASSERT_GT(labels.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(labels.begin(), labels.begin() + expected.size()), expected);
  // Each image: its 8 KiB units taken (an erase and a header each), its 512-byte pages, the last
  // of each 64 KiB block naming the block, and the complete mark.
  for (const char* partition : {"BOOT", "KRNL"}) {
    SCOPED_TRACE(partition);
    const auto count = [&](const std::string& prefix) {
      return std::count_if(labels.begin(), labels.end(), [&](const std::string& label) {
        return label.starts_with(prefix) && label.ends_with(std::string(" of ") + partition);
      });
    };
    const int blocks = std::string(partition) == "BOOT" ? 2 : 4;
    EXPECT_EQ(count("erase of unit"), blocks * 8);
    EXPECT_EQ(count("header of unit"), blocks * 8);
    EXPECT_EQ(count("flash page"), blocks * 127);
    EXPECT_EQ(count("flash block"), blocks);
    EXPECT_EQ(count("complete mark"), 1);
    EXPECT_EQ(count("retire mark"), 0);
  }

  // Both images have room beside the factory images: no cut leaves a terminal that does not
  // start, and the same package run again completes the update.
  for (const std::size_t index : power_cuts::ChooseSteps(*baseline, false, 24)) {
    auto row = power_cuts::CutAt(m_setup, *baseline, index);
    ASSERT_TRUE(row.ok()) << row.error();
    SCOPED_TRACE(row->step.label);
    EXPECT_EQ(row->firstEnd, sim::RunEnd::kPowerCut);
    EXPECT_EQ(row->boot, sim::BootState::kStarts);
    EXPECT_TRUE(row->recovered) << row->secondScreen << " " << row->secondError;
    EXPECT_EQ(row->afterSecond.application, "2.0");
    EXPECT_EQ(row->afterSecond.kernel, "4.2.121");
    const bool kernelDone = row->step.label == "complete mark of KRNL";
    EXPECT_EQ(row->reported.kernel, kernelDone ? "4.2.121" : "4.2.118");
    if (row->step.step.part == sim::StepPart::kBoot) {
      EXPECT_EQ(row->reported.boot, row->step.label == "complete mark of BOOT" ? "1.0.6" : "1.0.5");
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, PowerCutMatrixTest,
                         ::testing::Values(tools::matrix::Mode::kTerminal,
                                           tools::matrix::Mode::kDesktop),
                         [](const ::testing::TestParamInfo<tools::matrix::Mode>& param) {
                           return std::string(tools::matrix::ModeName(param.param));
                         });

std::string KernelOnly() {
  const std::string kernel =
      BinHeader(kStart, 4 * 65536) +
      Record(kStart, flash_testing::VersionedImage("4.2.121", 4 * 65536, 5)) + EndRecord();
  return testing_support::BuildPackage(
      {{"Vostrel.ini",
        "[SoftwareToUpdate]\r\nUpdate1=OS\r\n[OS]\r\nOSSoftware1=OS|4.2.121|NK.BIN^1^KRNL\r\n"},
       {"NK.BIN", image_format::EncryptImage(kernel, "Mesa cap")}});
}

class PowerCutUnitsTest : public testing_support::TerminalTest {
 protected:
  sim::TerminalConfig Config() const override { return flash_testing::SmallTerminal(); }
};

// A kernel partition with no room for two kernels: the kernel is written over the one in use.
class BootModelTest : public testing_support::TerminalTest {
 protected:
  sim::TerminalConfig Config() const override {
    sim::TerminalConfig config = flash_testing::SmallTerminal();
    config.Get<sim::FlashConfig>().partitions[1].units = 32;
    return config;
  }
};

TEST_F(BootModelTest, ATornImageKeepsTheUpdaterFromRunningUntilItIsWrittenWhole) {
  WriteFile("\\Storage Card\\install.bin", Package());
  for (const char* old :
       {"\\Flash Disk2\\Nav\\Nav.exe", "\\Flash Disk2\\Nav\\a.tmp", "\\Flash Disk2\\Nav\\b.tmp",
        "\\Flash Disk2\\Nav\\Cache\\tiles.bin", "\\Flash Disk2\\Tavimon\\version.txt"}) {
    WriteFile(old, "1.0\n");
  }
  sim::RunOptions options;
  // The first block of the kernel: after the script's 13 steps, the boot loader's 289 (16 units
  // taken, 256 pages, the complete mark), the kernel's 31 free units taken, the factory kernel
  // retired and its unit taken, and 128 pages.
  options.powerCutAfterStep = 13 + 289 + 62 + 3 + 128;
  const sim::RunOutcome cut = Run("PLAY PLAY", options, 0);
  ASSERT_EQ(cut.end, sim::RunEnd::kPowerCut);
  ASSERT_EQ(cut.writeSteps.size(), 13u + 289u + 62u + 3u + 128u);
  EXPECT_EQ(cut.writeSteps[13 + 289 + 62].what, "retire mark of KRNL");
  EXPECT_EQ(cut.writeSteps.back().what, "flash block 1 of KRNL");
  EXPECT_EQ(cut.bootAfter, sim::BootState::kBootLoaderOnly);
  EXPECT_NE(Term().DescribeParts().find("start-up: boot loader only"), std::string::npos);
  // The shell is a program of the terminal: it does not run without a kernel.
  EXPECT_EQ(sim::FindShell(Term().Processes()), nullptr);

  const sim::RunOutcome refused = Run("PLAY PLAY");
  EXPECT_EQ(refused.end, sim::RunEnd::kNotStarted);
  EXPECT_EQ(refused.exitCode, sim::kExitNotStarted);
  EXPECT_TRUE(refused.screens.empty());
  EXPECT_TRUE(refused.writeSteps.empty());

  // What the partitions hold decides at every power-up: reopened, the terminal is as torn.
  Reopen();
  EXPECT_EQ(Term().Boot(), sim::BootState::kBootLoaderOnly);
  EXPECT_EQ(Term().Versions().kernel, "");
  // No unit was lost on the way.
  EXPECT_EQ(Term().Find<sim::FlashMedia>()->Partitions()[1].units, 32u);
}

// Cuts after unit erases of a write init, one run after another on the same terminal: each
// leaves a unit without a header, and the next write init takes it over.
TEST_F(PowerCutUnitsTest, ACutAfterAnEraseLosesNoUnitAndTheNextRunCompletes) {
  WriteFile("\\Storage Card\\install.bin", KernelOnly());
  // A kernel-only run takes its units first: erase k is step 2k - 1.
  for (const uint64_t erase : {1, 2, 17, 32}) {
    SCOPED_TRACE(erase);
    sim::RunOptions options;
    options.powerCutAfterStep = 2 * erase - 1;
    const sim::RunOutcome cut = Run("PLAY PLAY", options, 0);
    ASSERT_EQ(cut.end, sim::RunEnd::kPowerCut);
    ASSERT_TRUE(cut.writeSteps.back().what.starts_with("erase of unit"));
    EXPECT_EQ(Term().Boot(), sim::BootState::kStarts);
    EXPECT_EQ(Term().Find<sim::FlashMedia>()->Partitions()[1].units, 64u);
    EXPECT_EQ(Term().Versions().kernel, "1.0.5");
  }
  const sim::RunOutcome done = Run("PLAY PLAY", "", 0);
  EXPECT_EQ(done.screens.back(), 8);
  EXPECT_EQ(Term().Find<sim::FlashMedia>()->Partitions()[1].units, 64u);
  EXPECT_EQ(Term().Versions().kernel, "4.2.121");
}

TEST(FileStepTest, TheRunsOwnFilesAreNoStepsOfTheScript) {
  using Change = sim::SimFileSystem::Change;
  const struct {
    Change change;
    const char* path;
    bool counted;
  } cases[] = {
      {Change::kWrite, "\\Flash Disk2\\Nav\\Nav.exe", true},
      {Change::kDelete, "\\Flash Disk2\\Nav\\a.tmp", true},
      {Change::kCreateFolder, "\\Flash Disk2\\Nav", true},
      {Change::kWrite, "\\fromhht.txt", false},
      {Change::kDelete, "\\FROMHHT.OK", false},
      {Change::kDelete, "\\tohht.txt", false},
      {Change::kWrite, "\\cache.bin", false},
      {Change::kDelete, "\\looking.no", false},
      {Change::kDelete, "\\Flash Disk2\\Vostrel.log", false},
      {Change::kDelete, "\\Flash disk2\\vostrel.log.old", false},
      {Change::kDelete, "\\Flash Disk2\\progress.dbg", false},
      // A file of the application's that happens to sit in the root folder is the script's.
      {Change::kWrite, "\\notes.txt", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    sim::SimFileSystem::ChangeNote note;
    note.change = c.change;
    note.path = c.path;
    EXPECT_EQ(sim::FileStepOf(note).has_value(), c.counted);
  }
}

TEST(ChooseStepsTest, LongStretchesAreSampledWithTheirEndsAndQuickTakesThreePerPhase) {
  power_cuts::CutBaseline baseline;
  const auto add = [&](const char* phase, const std::string& group, int count) {
    for (int i = 0; i < count; ++i) baseline.steps.push_back({{}, phase, group, group});
  };
  add("GPS", "GPS erases", 4);
  add("GPS", "GPS writes", 200);
  add("application", "script line 1", 1);
  add("operating system", "flash blocks of KRNL", 3);

  const std::vector<std::size_t> all = power_cuts::ChooseSteps(baseline, false, 200);
  EXPECT_EQ(all.size(), baseline.steps.size());

  const std::vector<std::size_t> sampled = power_cuts::ChooseSteps(baseline, false, 100);
  EXPECT_LT(sampled.size(), 60u);
  const auto has = [&](std::size_t index) {
    return std::find(sampled.begin(), sampled.end(), index) != sampled.end();
  };
  // Every erase, the first and last eight writes, and the short stretches whole.
  for (std::size_t i = 0; i < 12; ++i) EXPECT_TRUE(has(i)) << i;
  for (std::size_t i = 196; i < baseline.steps.size(); ++i) EXPECT_TRUE(has(i)) << i;
  EXPECT_FALSE(has(12));

  const std::vector<std::size_t> quick = power_cuts::ChooseSteps(baseline, true, 100);
  EXPECT_EQ(quick, (std::vector<std::size_t>{0, 102, 203, 204, 205, 206, 207}));
}

}  // namespace
