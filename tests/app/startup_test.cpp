// Whole runs of the updater on a simulated terminal: start-up, run modes, leaving.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "package/container_format.h"
#include "sim/desktop_peer.h"
#include "support/terminal_fixture.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

using testing_support::TempDir;
using testing_support::TerminalTest;

// A desktop-mode run waits at its end for the desktop to answer; this desktop serves a package
// that holds nothing but its settings.
std::unique_ptr<sim::SimDesktop> ServeDesktop(sim::Terminal& terminal,
                                              const std::filesystem::path& dir) {
  container::Member settings;
  settings.name = "Vostrel.ini";
  settings.contents = "[SoftwareToUpdate]\r\n";
  container::VectorSink sink;
  std::string error;
  EXPECT_TRUE(container::WriteContainer({&settings, 1}, {}, sink, &error)) << error;
  const std::filesystem::path package = dir / "desktop-package.bin";
  testing_support::WriteHostFile(package, std::string(sink.Bytes().begin(), sink.Bytes().end()));
  auto desktop = sim::SimDesktop::Open(terminal.Files(), terminal.Clock(), package, {});
  EXPECT_TRUE(desktop.ok()) << desktop.error();
  return desktop.ok() ? std::move(*desktop) : nullptr;
}

const std::string kHeader =
    "Teverlind Log File                     (Created : 2005/08/22   17:01:11)\r\n" +
    std::string(78, '-') + "\r\n\r\nTime      Remark\r\n";

// What a run without a package logs at level 1.
const std::string kMissingPackage =
    "17:01:11  LogAppError: ERROR #################################\r\n"
    "17:01:11  LogAppError: Error Number [1018] in Function [CFileAccess::IsCheckSumValid:]\r\n"
    "17:01:11  LogAppError: Error [Cannot find [\\Storage Card\\install.bin]]\r\n"
    "17:01:11  LogAppError: ERROR #################################\r\n"
    "17:01:11  LogAppError: ERROR #################################\r\n"
    "17:01:11  LogAppError: Error Number [1001] in Function [CFileAccess::IsCheckSumValid:]\r\n"
    "17:01:11  LogAppError: Error [Cannot open for reading [\\Storage Card\\install.bin]]\r\n"
    "17:01:11  LogAppError: ERROR #################################\r\n";

class StartupTest : public TerminalTest {
 protected:
  std::string Log() { return ReadFile("\\Flash disk2\\Vostrel.log"); }
};

TEST_F(StartupTest, InvalidPackageThenStopLeavesWithExitCodeTwo) {
  const sim::RunOutcome outcome = Run("STOP");
  EXPECT_EQ(outcome.screens, (std::vector<int>{1, 2}));
  EXPECT_EQ(outcome.exitCode, 2);
  EXPECT_EQ(outcome.end, sim::RunEnd::kLeft);
  EXPECT_FALSE(outcome.rebooted);
  EXPECT_FALSE(outcome.rerunnerStarted);
  // At the level the start-up leaves (1) only errors reach the log.
  EXPECT_EQ(Log(), kHeader + "17:01:11  Current date is 2005/08/22\r\n" + kMissingPackage);
  EXPECT_EQ(ReadFile("\\Flash disk2\\error.dbg"), kHeader);
  EXPECT_EQ(Term().Seen().launchSignals, 1);
}

TEST_F(StartupTest, MarkersLeftBeforeTheStartAreGoneAndTheLevelIsOne) {
  WriteFile("\\Flash disk2\\detailed.dbg", "old");
  WriteFile("\\Flash disk2\\progress.dbg", "old");
  WriteFile("\\Flash disk2\\error.dbg", "an old error log");
  Run("STOP");
  EXPECT_FALSE(Exists("\\Flash disk2\\detailed.dbg"));
  EXPECT_FALSE(Exists("\\Flash disk2\\progress.dbg"));
  EXPECT_EQ(ReadFile("\\Flash disk2\\error.dbg"), kHeader);
  EXPECT_FALSE(Exists("\\Flash disk2\\error.dbg.old"));
  EXPECT_THAT(Log(), Not(HasSubstr("Started VostrelHHT")));
}

TEST_F(StartupTest, AReadOnlyDetailedMarkerSurvivesAndSetsLevelThree) {
  Run("STOP", "", 3);
  EXPECT_TRUE(Exists("\\Flash disk2\\detailed.dbg"));
  EXPECT_EQ(Log(), kHeader +
                       "17:01:11  Current date is 2005/08/22\r\n"
                       "17:01:11  ################# Started VostrelHHT Version 1.0.08\r\n"
                       "17:01:11  Command line : ''\r\n" +
                       kMissingPackage + "17:01:11  Finished VostrelHHT.\r\n");
}

TEST_F(StartupTest, ASecondRunKeepsTheFirstLogAsOld) {
  Run("STOP", "", 2);
  const std::string first = Log();
  Run("STOP", "first", 2);
  EXPECT_EQ(ReadFile("\\Flash disk2\\Vostrel.log.old"), first);
  EXPECT_THAT(Log(), HasSubstr("Command line : 'first'"));
}

TEST_F(StartupTest, OnlyTheWholeWordActivesyncSelectsDesktopMode) {
  const struct {
    const char* commandLine;
    bool desktop;
  } cases[] = {{"ACTIVESYNC", true},   {"activesync", true},   {"ActiveSync", true},
               {"ACTIVESYNC ", false}, {" ACTIVESYNC", false}, {"", false},
               {"ACTIVE", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string("'") + c.commandLine + "'");
    const auto desktop = c.desktop ? ServeDesktop(Term(), Dir()) : nullptr;
    if (desktop) desktop->Begin();
    Run("STOP", c.commandLine, 2);
    const std::string log = Log();
    EXPECT_THAT(log, HasSubstr(std::string("Command line : '") + c.commandLine + "'"));
    EXPECT_EQ(log.find("We are handheld using active sync") != std::string::npos, c.desktop) << log;
  }
}

TEST_F(StartupTest, TheVersionKeyOpensAndTheNextKeyClosesTheDialog) {
  const sim::RunOutcome outcome = Run("BACK PLAY STOP");
  bool dialogSeen = false;
  for (const sim::TraceEntry& entry : outcome.trace) dialogSeen = dialogSeen || entry.versionDialog;
  EXPECT_TRUE(dialogSeen);
  EXPECT_FALSE(outcome.trace.back().versionDialog);
  // PLAY went to the version dialog; STOP left.
  EXPECT_EQ(outcome.exitCode, 2);
  EXPECT_EQ(outcome.end, sim::RunEnd::kLeft);
}

TEST_F(StartupTest, WhenTheKeysRunOutTheTerminalStaysOnItsScreen) {
  const sim::RunOutcome outcome = Run("F1 TAB", "", 3);
  EXPECT_EQ(outcome.end, sim::RunEnd::kKeysRanOut);
  EXPECT_EQ(outcome.finalScreen, 2);
  EXPECT_EQ(outcome.exitCode, 2);
  EXPECT_THAT(Log(), Not(HasSubstr("Finished VostrelHHT.")));
  // Nothing of the cut-off run stays open on the terminal.
  EXPECT_EQ(Term().Files().OpenHandleCount(), 0U);
  EXPECT_EQ(Term().Clock().ThreadCount(sim::kUpdaterProcess), 1U);
}

TEST_F(StartupTest, APowerCutStopsTheRunWhereItIsAndTheTerminalStartsAgain) {
  // The power goes while the dialog waits for its first timer tick.
  Term().Clock().At(100, [this] { Term().CutPower(); });
  const int restartsBefore = Term().Seen().restarts;
  const sim::RunOutcome outcome = Run("PLAY STOP", "", 2);
  EXPECT_EQ(outcome.end, sim::RunEnd::kPowerCut);
  EXPECT_EQ(outcome.screens, std::vector<int>{1});
  EXPECT_EQ(outcome.exitCode, 4);
  EXPECT_EQ(Term().Seen().restarts, restartsBefore + 1);
  EXPECT_EQ(Log().find("Finished VostrelHHT."), std::string::npos) << Log();
}

TEST_F(StartupTest, TheKeepAliveThreadSignalsWhileTheRunWaits) {
  // STOP pressed 10 virtual seconds into the run, while the updater waits on screen 2.
  const sim::RunOutcome outcome = Run("STOP@10250");
  EXPECT_EQ(outcome.exitCode, 2);
  // Start-up, the first tick (twice) and the keep-alive thread at 250, 2250, ... 8250.
  EXPECT_EQ(outcome.userActivitySignals, 3 + 5);
  EXPECT_GE(outcome.virtualMilliseconds, 10750U);
}

TEST(StartupRepeatTest, TwoTerminalsGivenTheSameRunWriteTheSameBytes) {
  std::string logs[2];
  std::string debug[2];
  for (auto i = 0; i < 2; ++i) {
    TempDir dir;
    ASSERT_TRUE(sim::Terminal::Init(dir.Path() / "t").ok());
    auto terminal = sim::Terminal::Open(dir.Path() / "t");
    ASSERT_TRUE(terminal.ok());
    ASSERT_TRUE(sim::PlaceDebugMarker(**terminal, 3).ok());
    const auto desktop = ServeDesktop(**terminal, dir.Path());
    sim::RunOptions options;
    options.desktop = desktop.get();
    options.commandLine = "ACTIVESYNC";
    options.keys = *sim::ParseKeys("BACK STOP@4000 STOP");
    sim::RunUpdater(**terminal, options);
    logs[i] =
        testing_support::ReadHostFile((*terminal)->Files().HostPath("\\Flash disk2\\Vostrel.log"));
    debug[i] = (*terminal)->DebugText();
  }
  EXPECT_FALSE(logs[0].empty());
  EXPECT_EQ(logs[0], logs[1]);
  EXPECT_EQ(debug[0], debug[1]);
}

}  // namespace
