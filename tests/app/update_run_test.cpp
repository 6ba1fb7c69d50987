// Whole update runs: the application phase end to end in both run modes, its failures, the
// resident shell that will not stop, and keys pressed while the update runs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/desktop_peer.h"
#include "sim/runner.h"
#include "sim/shell.h"
#include "support/package_builder.h"
#include "support/terminal_fixture.h"

namespace {

using testing_support::ApplicationSettings;
using testing_support::BigMember;
using testing_support::BuildPackage;
using testing_support::PackageMember;
using testing_support::TerminalTest;

enum class Mode { kTerminal, kDesktop };

const std::string kScript =
    "; install the application\r\n"
    "MKDIR|\\Flash Disk2\\Apps\r\n"
    "COPY|Apps\\App.exe|\\Flash Disk2\\Apps\\App.new\r\n"
    "COPY|Apps\\Big.dat|\\Flash Disk2\\Apps\\Big.dat\r\n"
    "REN|\\Flash Disk2\\Apps\\App.new|\\Flash Disk2\\Apps\\App.exe\r\n"
    "DEL|\\Flash Disk2\\Apps\\*.tmp\r\n"
    "MKDIR|\\Flash Disk2\\Tavimon\r\n"
    "COPY|version.txt|\\Flash Disk2\\Tavimon\\version.txt\r\n";

class UpdateRunTest : public TerminalTest, public ::testing::WithParamInterface<Mode> {
 protected:
  std::vector<PackageMember> Members(const std::string& script) {
    return {{"Vostrel.ini", ApplicationSettings("2.0.0", script)},
            {"Apps\\App.exe", "application 2.0.0"},
            {"Apps\\Big.dat", BigMember()},
            {"version.txt", "2.0.0\r\n"}};
  }
  sim::RunOutcome Update(std::string_view keys, const std::vector<PackageMember>& members,
                         int debugLevel = 2) {
    const std::string package = BuildPackage(members);
    if (GetParam() == Mode::kDesktop) return RunDesktop(keys, package, {}, debugLevel);
    WriteFile("\\Storage Card\\install.bin", package);
    return Run(keys, "", debugLevel);
  }
  std::string LastErrorLine(const sim::RunOutcome& outcome) {
    for (auto it = outcome.trace.rbegin(); it != outcome.trace.rend(); ++it) {
      if (it->errorVisible) return it->errorText;
    }
    return {};
  }
};

TEST_P(UpdateRunTest, InstallsTheApplicationAndASecondRunFindsNothingToDo) {
  WriteFile("\\Flash Disk2\\Apps\\App.exe", "application 1.0.0");
  WriteFile("\\Flash Disk2\\Apps\\old.tmp", "scratch");
  WriteFile("\\Flash Disk2\\Documents and Settings\\notes.txt", "the user's notes");
  WriteFile("\\Flash Disk2\\clean.me\\older.txt", "set aside by an earlier update");
  WriteFile("\\Flash Disk2\\rerunner.exe", "");
  Reopen();  // the shell starts and holds the application's files

  const sim::RunOutcome outcome = Update("PLAY PLAY", Members(kScript));
  EXPECT_EQ(outcome.screens, (std::vector<int>{1, 3, 7, 8}));
  EXPECT_EQ(ReadFile("\\Flash Disk2\\Apps\\App.exe"), "application 2.0.0");
  EXPECT_EQ(ReadFile("\\Flash Disk2\\Apps\\Big.dat"), BigMember());
  EXPECT_FALSE(Exists("\\Flash Disk2\\Apps\\App.new"));
  EXPECT_FALSE(Exists("\\Flash Disk2\\Apps\\old.tmp"));
  // The user's documents were set aside, and the older copy deleted first.
  EXPECT_FALSE(Exists("\\Flash Disk2\\Documents and Settings"));
  EXPECT_EQ(ReadFile("\\Flash Disk2\\clean.me\\notes.txt"), "the user's notes");
  EXPECT_FALSE(Exists("\\Flash Disk2\\clean.me\\older.txt"));
  // An application update restarts the terminal, after which the shell reports the version.
  EXPECT_TRUE(outcome.rebooted);
  EXPECT_EQ(outcome.parts[2].installedBefore, "1.0.0");
  EXPECT_EQ(outcome.parts[2].installedAfter, "2.0.0");
  EXPECT_TRUE(Term().Registry().KeyExists("Update\\Start"));
  // The log of a successful update is deleted; every entry went to the debug output too.
  const std::string debug = DebugText();
  EXPECT_NE(debug.find("LOG:[1] Updating Application Version [2.0.0], Command[AppScript]\r\n"),
            std::string::npos);
  // The phase total comes from the package locally, from the desktop in desktop mode.
  const bool totalledLocally =
      debug.find("LOG:CFileVirtual::CalcProgressSizeApp: Total size of App Update is ") !=
      std::string::npos;
  EXPECT_EQ(totalledLocally, GetParam() == Mode::kTerminal);
  EXPECT_NE(debug.find("LOG:CScript:***CmdLclCopy [Apps\\Big.dat][\\Flash Disk2\\Apps\\Big.dat]"),
            std::string::npos);

  const sim::RunOutcome again = Update("PLAY PLAY", Members(kScript));
  EXPECT_EQ(again.screens, (std::vector<int>{1, 3, 5}));
  EXPECT_EQ(again.exitCode, 0);
}

TEST_P(UpdateRunTest, AFailedLineIsReportedAndTheNextLinesStillRun) {
  const std::string script =
      "REN|\\Flash Disk2\\nothing.exe|\\Flash Disk2\\x.exe\r\n"
      "COPY|Apps\\Missing.exe|\\Flash Disk2\\Missing.exe\r\n"
      "COPY|Apps\\App.exe|\\Flash Disk2\\App.exe\r\n";
  const sim::RunOutcome outcome = Update("PLAY", Members(script));
  EXPECT_EQ(outcome.screens, (std::vector<int>{1, 3, 7, 9}));
  EXPECT_EQ(outcome.exitCode, 1);
  EXPECT_EQ(ReadFile("\\Flash Disk2\\App.exe"), "application 2.0.0");
  // The copy of a missing member leaves an empty destination.
  EXPECT_TRUE(Exists("\\Flash Disk2\\Missing.exe"));
  EXPECT_EQ(ReadFile("\\Flash Disk2\\Missing.exe"), "");
  const std::string log = ReadFile("\\Flash disk2\\Vostrel.log");
  EXPECT_NE(log.find("LogAppError: Error [Failed[REN|\\Flash Disk2\\nothing.exe|\\Flash "
                     "Disk2\\x.exe] = [-1]]"),
            std::string::npos);
  EXPECT_NE(log.find("[1] Updating Application Version [2.0.0], Command[AppScript] - Failed to "
                     "program Applications"),
            std::string::npos);
  EXPECT_EQ(LastErrorLine(outcome),
            "(1030)Failed[COPY|Apps\\Missing.exe|\\Flash Disk2\\Missing.exe] = [-1] "
            "(ProcessAppScript:)");
  EXPECT_EQ(outcome.lastError, 1030);
}

TEST_P(UpdateRunTest, StopOnTheFailedScreenRunsTheWholeUpdateAgain) {
  const std::string script = "COPY|Apps\\Missing.exe|\\Flash Disk2\\Missing.exe\r\n";
  const sim::RunOutcome outcome = Update("PLAY STOP PLAY", Members(script));
  EXPECT_EQ(outcome.screens, (std::vector<int>{1, 3, 7, 9, 7, 9}));
  const std::string log = ReadFile("\\Flash disk2\\Vostrel.log");
  const std::size_t first = log.find("CVostrelHHTDlg::ControlVostrel Set the registry key");
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_NE(log.find("CVostrelHHTDlg::ControlVostrel Set the registry key", first + 1),
            std::string::npos)
      << log;
  // PLAY on the failed screen leaves, through a reboot since an application item ran.
  EXPECT_TRUE(outcome.rebooted);
}

TEST_P(UpdateRunTest, KeysPressedWhileTheUpdateRunsChangeNothing) {
  // The update runs from 250 ms on; the shell's shutdown alone waits a second.
  const sim::RunOutcome outcome =
      Update("PLAY STOP@600 BACK@700 PLAY@800 TAB+F3@900 PLAY", Members(kScript));
  EXPECT_EQ(outcome.screens, (std::vector<int>{1, 3, 7, 8}));
  for (const sim::TraceEntry& entry : outcome.trace) EXPECT_FALSE(entry.versionDialog);
  EXPECT_TRUE(outcome.rebooted);
}

TEST_P(UpdateRunTest, AShellThatCannotBeStoppedEndsOnRestartRequired) {
  WriteFile("\\Flash Disk2\\Apps\\App.exe", "application 1.0.0");
  Term().MutableConfig().Get<sim::ShellConfig>().onDestroy = sim::ShellDestroy::kIgnore;
  Term().MutableConfig().Get<sim::ShellConfig>().canBeTerminated = false;
  Reopen();
  std::vector<PackageMember> members = Members(kScript);
  // Two application items: the walk goes on after the first is skipped.
  members[0].contents =
      "[SoftwareToUpdate]\r\nUpdate1=Application\r\n"
      "[Application]\r\nAppSoftware1=Application|2.0.0|AppScript\r\n"
      "AppSoftware2=Application|2.0.0|AppScript\r\n"
      "[AppScript]\r\n###CommandStart###\r\n" +
      kScript + "###CommandEnd###\r\n";
  const sim::RunOutcome outcome = Update("PLAY", members);
  EXPECT_EQ(outcome.screens, (std::vector<int>{1, 3, 7, 11}));
  EXPECT_EQ(outcome.exitCode, 3);
  EXPECT_EQ(ReadFile("\\Flash Disk2\\Apps\\App.exe"), "application 1.0.0");
  const std::string log = ReadFile("\\Flash disk2\\Vostrel.log");
  for (const char* item : {"[1] Updating Application", "[2] Updating Application"}) {
    EXPECT_NE(log.find(std::string(item) + " Version [2.0.0], Command[AppScript] - Failed to "
                                           "shutdown shell"),
              std::string::npos)
        << item;
  }
  EXPECT_TRUE(Term().Registry().KeyExists("Update\\Start"));
}

TEST_P(UpdateRunTest, AnAbortMarkerFailsEveryLine) {
  // The marker appears while the updater stops the shell, after the dialog deleted old ones.
  Term().Clock().At(1000, [this] { WriteFile("\\abort.me", ""); });
  const sim::RunOutcome outcome = Update("PLAY", Members(kScript));
  EXPECT_EQ(outcome.finalScreen, 9);
  EXPECT_FALSE(Exists("\\Flash Disk2\\Apps"));
  EXPECT_EQ(outcome.lastError, 1041);
  EXPECT_EQ(outcome.lastErrorText,
            "Failed[COPY|version.txt|\\Flash Disk2\\Tavimon\\version.txt] = "
            "Aborted");
  const std::string log = ReadFile("\\Flash disk2\\Vostrel.log");
  EXPECT_NE(log.find("LogAppError: Error [Failed[MKDIR|\\Flash Disk2\\Apps] = Aborted]"),
            std::string::npos);
  // The registry marker is there even though nothing else succeeded.
  EXPECT_TRUE(Term().Registry().KeyExists("Update\\Start"));
}

INSTANTIATE_TEST_SUITE_P(BothModes, UpdateRunTest,
                         ::testing::Values(Mode::kTerminal, Mode::kDesktop),
                         [](const ::testing::TestParamInfo<Mode>& param) {
                           return param.param == Mode::kTerminal ? "Terminal" : "Desktop";
                         });

}  // namespace

namespace {

class CopyReadsTest : public testing_support::TerminalTest {};

TEST_F(CopyReadsTest, AMemberOfExactlyOneBufferTakesTwoReads) {
  const std::string exact(262144, 'x');
  const std::string package =
      BuildPackage({{"Vostrel.ini", ApplicationSettings("2.0.0", "COPY|exact.dat|\\exact.dat\r\n")},
                    {"exact.dat", exact}});
  const sim::RunOutcome outcome = RunDesktop("PLAY", package, {}, 3);
  EXPECT_EQ(outcome.finalScreen, 8);
  EXPECT_EQ(ReadFile("\\exact.dat"), exact);
  // Every read of the member through the cache is logged: a full one, then one of 0 bytes.
  const std::string debug = DebugText();
  const std::string read = ",FileLen=262144] Reading [262144]";
  const std::size_t first = debug.find(read);
  ASSERT_NE(first, std::string::npos) << debug;
  const std::size_t second = debug.find(read, first + 1);
  ASSERT_NE(second, std::string::npos) << debug;
  EXPECT_EQ(debug.find(read, second + 1), std::string::npos) << debug;
  EXPECT_NE(debug.find("LOG:##Cache File Now Reading [0]", first), std::string::npos) << debug;
}

}  // namespace
