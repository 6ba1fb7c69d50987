// The power-cut commands as users run them: "vostrel sim power-cuts --quick" over the demo's
// update, and "vostrel sim run --power-cut-after-step" with the terminal that a torn image leaves.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <set>
#include <string>

#include "flash/flash_support.h"
#include "sim/flash_config.h"
#include "sim/terminal.h"
#include "support/command_test.h"
#include "support/package_builder.h"
#include "support/terminal_fixture.h"

namespace {

using ::testing::HasSubstr;
using testing_support::CommandResult;
using testing_support::ReadHostFile;

using PowerCutsCliTest = testing_support::CommandTest;

TEST_F(PowerCutsCliTest, QuickMatrixOfTheDemoCutsEachPhaseAndEveryScriptCutRecovers) {
  const CommandResult run = Vostrel("sim power-cuts --quick --mode terminal --out " + Q("cuts.md") +
                                    " --json " + Q("cuts.json"));
  ASSERT_EQ(run.exitCode, 0) << run.err;
  const auto json = nlohmann::json::parse(ReadHostFile(Path("cuts.json")));
  ASSERT_EQ(json.size(), 1u);
  EXPECT_EQ(json[0]["mode"], "terminal");
  std::set<std::string> phases;
  for (const auto& row : json[0]["rows"]) {
    SCOPED_TRACE(row["what"].get<std::string>());
    phases.insert(row["phase"].get<std::string>());
    EXPECT_EQ(row["first_run_end"], "power cut");
    if (row["phase"] == "application") {
      EXPECT_EQ(row["start_up"], "starts");
      EXPECT_EQ(row["completes"], true);
    }
  }
  EXPECT_TRUE(phases.count("GPS") == 1 && phases.count("application") == 1);
  const std::string md = ReadHostFile(Path("cuts.md"));
  EXPECT_THAT(md, HasSubstr("| terminal | application |"));
  EXPECT_THAT(md, HasSubstr("chunk 1 of script line"));
}

// A boot partition with room for one boot loader only: it is written over the one in use.
TEST_F(PowerCutsCliTest, ARunCutInTheBootLoaderLeavesATerminalThatDoesNotStart) {
  sim::TerminalConfig config = flash_testing::SmallTerminal();
  config.Get<sim::FlashConfig>().partitions[0].units = 16;
  ASSERT_TRUE(sim::Terminal::Init(Path("T"), config).ok());
  testing_support::WriteHostFile(
      Path("os.bin"), testing_support::BuildPackage(
                          {{"Vostrel.ini",
                            "[SoftwareToUpdate]\r\nUpdate1=OS\r\n[OS]\r\n"
                            "OSSoftware1=OS|1.0.6|EBOOT2.NB0^0^BOOT\r\n"},
                           {"EBOOT2.NB0", flash_testing::VersionedImage("1.0.6", 2 * 65536, 3)}}));

  const CommandResult check = Vostrel("pack check --terminal " + Q("T") + " " + Q("os.bin"));
  EXPECT_EQ(check.exitCode, 2) << check.out;
  EXPECT_THAT(check.out, HasSubstr("partition 0 \"BOOT\" of the terminal holds 131072 bytes, not "
                                   "room for two images of this size (131072 bytes more needed)"));

  // The first block: after the 15 free units taken (an erase and a header each), the factory
  // image retired and its unit taken, and 128 pages of 512 bytes.
  const CommandResult cut =
      Vostrel("sim run " + Q("T") + " --package " + Q("os.bin") +
              " --keys 'PLAY PLAY' --power-cut-after-step 161 --report " + Q("r.json"));
  EXPECT_THAT(cut.out, HasSubstr("After the power cut the terminal does not start"));
  const auto report = nlohmann::json::parse(ReadHostFile(Path("r.json")));
  EXPECT_EQ(report["end"], "power cut");
  EXPECT_EQ(report["start_up_after"], "does not start");
  ASSERT_EQ(report["write_steps"].size(), 161u);
  EXPECT_EQ(report["write_steps"][30]["what"], "retire mark of BOOT");
  EXPECT_EQ(report["write_steps"][160]["what"], "flash block 1 of BOOT");
  EXPECT_EQ(report["write_steps"][160]["part"], "boot loader");

  const CommandResult again =
      Vostrel("sim run " + Q("T") + " --package " + Q("os.bin") + " --keys 'PLAY PLAY'");
  EXPECT_EQ(again.exitCode, 5);
  EXPECT_THAT(again.err, HasSubstr("does not start: the boot loader image in \"BOOT\" is torn"));
  const CommandResult show = Vostrel("sim show " + Q("T"));
  EXPECT_EQ(show.exitCode, 0);
  EXPECT_THAT(show.out, HasSubstr("start-up: does not start"));
  EXPECT_THAT(show.out, HasSubstr("boot loader:  (none reported)"));
}

}  // namespace
