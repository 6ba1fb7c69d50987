// The simulated resident shell, the rerunner, the restart after a reboot and the version the
// shell reports.
#include "sim/shell.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "app/main_dialog.h"
#include "platform/platform.h"
#include "sim/gui.h"
#include "sim/registry.h"
#include "sim/scheduler.h"
#include "support/terminal_fixture.h"
#include "ui/message_queue.h"

namespace {

using testing_support::ReadHostFile;
using testing_support::TempDir;
using testing_support::TerminalTest;

constexpr const char* kRerunner = "\\Flash Disk2\\rerunner.exe";

class ShellTest : public TerminalTest {
 protected:
  sim::ShellConfig& Shell() { return Term().MutableConfig().Get<sim::ShellConfig>(); }
  sim::ProcessId ShellId() {
    sim::SimProcess* shell = sim::FindShell(Term().Processes());
    return shell == nullptr ? 0 : shell->Id();
  }
  bool Locked(const char* path) {
    const platform::Handle file =
        platform::Fs().Open(path, platform::kGenericWrite, platform::kShareNone,
                            platform::Disposition::kOpenExisting, 0);
    if (file == platform::kInvalidHandle) return platform::GetLastError() == 32;
    platform::Fs().Close(file);
    return false;
  }
  void SendDestroy() {
    const platform::Handle window = platform::Ui().FindWindow(sim::kShellWindowClass, "");
    ASSERT_NE(window, platform::kNullHandle);
    platform::Ui().SendMessage(window, sim::kWmDestroy, 0, 0);
  }
  void Terminate(sim::ProcessId id) {
    const platform::Handle process = platform::Kern().OpenProcess(0x00100001, id);
    ASSERT_NE(process, platform::kNullHandle);
    EXPECT_TRUE(platform::Kern().TerminateProcess(process, 0));
    platform::Kern().CloseHandle(process);
  }
  void SignalRerunnerStop() {
    const platform::Handle event =
        platform::Kern().CreateEvent(sim::kRerunnerStopEvent, false, false);
    platform::Kern().SetEvent(event);
    platform::Kern().CloseHandle(event);
  }
  // The version in the registry as the terminal last flushed it.
  std::string FlushedVersion() {
    sim::SimRegistry stored(Term().Dir() / "registry.json");
    EXPECT_TRUE(stored.Load().ok());
    return stored.GetString(sim::kVersionKey, sim::kVersionValue).value_or("(none)");
  }
};

TEST_F(ShellTest, TheShellHoldsItsProgramsLibrariesAndFontsUntilItEnds) {
  WriteFile("\\Flash Disk2\\tavimon.exe", "shell");
  WriteFile("\\Flash Disk2\\Tavimon\\nav.DLL", "library");
  WriteFile("\\Flash Disk2\\Tavimon\\Fonts\\clock.ttf", "font");
  WriteFile("\\Flash Disk2\\big.fon", "font");
  WriteFile("\\Flash Disk2\\notes.txt", "text");
  WriteFile("\\Flash Disk2\\route.dat", "data");
  WriteFile("\\Flash Disk\\other.exe", "elsewhere");
  Shell().lockedFile = "\\Flash Disk2\\route.dat";
  Term().Restart();

  for (const char* held : {"\\Flash Disk2\\tavimon.exe", "\\Flash Disk2\\Tavimon\\nav.DLL",
                           "\\Flash Disk2\\Tavimon\\Fonts\\clock.ttf", "\\Flash Disk2\\big.fon",
                           "\\Flash Disk2\\route.dat"}) {
    SCOPED_TRACE(held);
    EXPECT_TRUE(Locked(held));
  }
  EXPECT_FALSE(Locked("\\Flash Disk2\\notes.txt"));
  EXPECT_FALSE(Locked("\\Flash Disk\\other.exe"));
  EXPECT_EQ(Term().Gui().LoadedFontCount(), 2U);
  // Unloading a font frees its file while the shell runs on.
  EXPECT_TRUE(platform::Ui().RemoveFontResource("\\flash disk2\\BIG.FON"));
  EXPECT_FALSE(Locked("\\Flash Disk2\\big.fon"));

  SendDestroy();
  EXPECT_EQ(ShellId(), 0U);
  EXPECT_EQ(platform::Ui().FindWindow(sim::kShellWindowClass, ""), platform::kNullHandle);
  EXPECT_EQ(Term().Files().OpenHandleCount(), 0U);
  EXPECT_EQ(Term().Gui().LoadedFontCount(), 0U);
}

TEST_F(ShellTest, ConfiguredNotToRunTheTerminalBootsWithoutIt) {
  EXPECT_NE(ShellId(), 0U);
  Shell().running = false;
  Term().Restart();
  EXPECT_EQ(ShellId(), 0U);
  EXPECT_EQ(platform::Ui().FindWindow(sim::kShellWindowClass, ""), platform::kNullHandle);
  EXPECT_EQ(Term().Seen().shellStarts, 1);
  EXPECT_EQ(Term().Seen().restarts, 1);
}

TEST_F(ShellTest, AShellThatTakesItsTimeEndsAtTheVirtualInstantConfigured) {
  Shell().endAfterSeconds = 5;
  SendDestroy();
  SendDestroy();  // a second message changes nothing
  Term().Clock().SleepFor(4999);
  EXPECT_NE(ShellId(), 0U);
  Term().Clock().SleepFor(1);
  EXPECT_EQ(ShellId(), 0U);
  EXPECT_EQ(Term().Now(), 5000U);
}

TEST_F(ShellTest, AShellThatIgnoresTheMessageEndsOnlyWhenTerminated) {
  WriteFile("\\Flash Disk2\\tavimon.exe", "shell");
  Shell().onDestroy = sim::ShellDestroy::kIgnore;
  Shell().canBeTerminated = false;
  Term().Restart();
  const sim::ProcessId id = ShellId();
  SendDestroy();
  Term().Clock().SleepFor(60000);
  EXPECT_EQ(ShellId(), id);

  const platform::Handle process = platform::Kern().OpenProcess(0x00100001, id);
  EXPECT_FALSE(platform::Kern().TerminateProcess(process, 0));
  EXPECT_EQ(platform::GetLastError(), 5U);
  platform::Kern().CloseHandle(process);
  EXPECT_TRUE(Locked("\\Flash Disk2\\tavimon.exe"));

  Shell().canBeTerminated = true;
  Terminate(id);
  EXPECT_EQ(ShellId(), 0U);
  EXPECT_FALSE(Locked("\\Flash Disk2\\tavimon.exe"));
}

TEST_F(ShellTest, AnOrphanedLockOutlivesATerminatedShellButNotARestart) {
  WriteFile("\\Flash Disk2\\shell.dll", "library");
  Shell().orphanedLock = "\\Flash Disk2\\shell.dll";
  Term().Restart();
  Terminate(ShellId());
  EXPECT_TRUE(Locked("\\Flash Disk2\\shell.dll"));
  Term().Restart();
  Shell().orphanedLock.reset();
  SendDestroy();
  EXPECT_FALSE(Locked("\\Flash Disk2\\shell.dll"));

  // A shell that ends by itself leaves nothing behind.
  Shell().orphanedLock = "\\Flash Disk2\\shell.dll";
  Term().Restart();
  SendDestroy();
  EXPECT_FALSE(Locked("\\Flash Disk2\\shell.dll"));
}

TEST_F(ShellTest, TheRerunnerRestartsTheShellUntilItIsStopped) {
  EXPECT_FALSE(platform::Kern().CreateProcess(kRerunner, ""));
  EXPECT_EQ(platform::GetLastError(), 2U);

  WriteFile(kRerunner, "rerunner");
  SendDestroy();
  ASSERT_EQ(ShellId(), 0U);
  // Started while no shell runs, the rerunner starts one.
  ASSERT_TRUE(platform::Kern().CreateProcess(kRerunner, ""));
  EXPECT_EQ(Term().Seen().rerunnerStarts, 1);
  const sim::ProcessId second = ShellId();
  EXPECT_NE(second, 0U);

  Terminate(second);
  const sim::ProcessId third = ShellId();
  EXPECT_NE(third, 0U);
  EXPECT_NE(third, second);
  SendDestroy();
  EXPECT_NE(ShellId(), 0U);
  EXPECT_EQ(Term().Seen().shellStarts, 4);

  SignalRerunnerStop();
  EXPECT_EQ(Term().Processes().FindByName("rerunner.exe"), nullptr);
  EXPECT_EQ(Term().Seen().rerunnerStopSignals, 1);
  SendDestroy();
  EXPECT_EQ(ShellId(), 0U);
  EXPECT_EQ(Term().Seen().shellStarts, 4);
}

TEST_F(ShellTest, TheShellReportsTheInstalledVersionFromTheVersionFile) {
  const struct {
    const char* name;
    const char* content;  // null: no version file
    const char* expected;
    bool flushed;
  } cases[] = {
      {"no version file", nullptr, "1.0.0", false},
      {"first line only", "2.1.0\r\nbuilt by the packager\r\n", "2.1.0", true},
      {"byte-order mark and blanks", "\xEF\xBB\xBF  3.0.1 \n", "3.0.1", true},
      {"an empty first line keeps the value", "\r\n9.9.9\r\n", "3.0.1", false},
      {"no line end", "4.0", "4.0", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.content != nullptr) WriteFile(sim::kVersionFile, c.content);
    const int flushes = Term().Registry().FlushCount();
    Term().Restart();
    EXPECT_EQ(Term().Versions().application, c.expected);
    EXPECT_EQ(Term().Registry().FlushCount() - flushes, c.flushed ? 1 : 0);
    // Reported means written through: the value survives the terminal's power.
    if (c.flushed) {
      EXPECT_EQ(FlushedVersion(), c.expected);
    }
  }
}

class LeavingDialog : public CVostrelHHTDlg {
 public:
  using CVostrelHHTDlg::CVostrelHHTDlg;
  using CVostrelHHTDlg::PreTranslateMessage;
};

class ShellLeaveTest : public ShellTest {
 protected:
  void SetUp() override {
    ShellTest::SetUp();
    StartUpdaterObjects(1);
  }
  // PLAY on the completed screen, as a run that updated the application leaves.
  void LeaveFromCompletedScreen() {
    LeavingDialog dialog(Context());
    dialog.SetScreen(kScreenSuccess);
    try {
      dialog.PreTranslateMessage({nullptr, ui::kWmKeyUp, ui::kVkReturn, 0});
    } catch (const sim::ProcessEnded&) {
      // The reboot ended the updater's process.
    }
  }
};

TEST_F(ShellLeaveTest, TheRerunnerStartedOnLeavingBringsTheShellBackWithTheNewVersion) {
  WriteFile(kRerunner, "rerunner");
  SendDestroy();  // stopped for the update
  WriteFile(sim::kVersionFile, "1.2.0\r\n");
  LeaveFromCompletedScreen();
  EXPECT_FALSE(Term().Seen().rebooted);
  EXPECT_EQ(Term().Seen().rerunnerStarts, 1);
  EXPECT_NE(ShellId(), 0U);
  EXPECT_EQ(Term().Versions().application, "1.2.0");
  EXPECT_EQ(FlushedVersion(), "1.2.0");
}

TEST_F(ShellLeaveTest, AfterARebootTheTerminalBootsAgainWithItsShell) {
  SendDestroy();
  WriteFile(sim::kVersionFile, "1.3.0");
  WriteFile("\\Flash Disk2\\tavimon.exe", "shell");
  const sim::ProcessId other = Term().Processes().Start(
      std::make_unique<sim::SimProcess>("notes.exe", "\\Windows\\notes.exe"));
  LeaveFromCompletedScreen();  // no rerunner: the updater reboots the terminal
  ASSERT_TRUE(Term().Seen().rebooted);
  EXPECT_EQ(ShellId(), 0U);

  Term().Restart();
  EXPECT_EQ(Term().Processes().Find(other), nullptr);
  EXPECT_NE(ShellId(), 0U);
  EXPECT_TRUE(Locked("\\Flash Disk2\\tavimon.exe"));
  EXPECT_EQ(Term().Versions().application, "1.3.0");
  EXPECT_EQ(Term().Seen().restarts, 1);
}

TEST(ShellConfigTest, ShellKeysReadBackAndBadValuesAreNamed) {
  auto config = sim::ParseConfig(nlohmann::json::parse(
      R"({"shell": {"running": false, "on_destroy": "ignore", "end_after_seconds": 7,
                    "can_be_terminated": false, "locked_file": "\\Flash Disk2\\route.dat",
                    "orphaned_lock": "\\Flash Disk2\\nav.dll", "application_version": "2.0"}})"));
  ASSERT_TRUE(config.ok()) << config.error();
  EXPECT_FALSE(config->Get<sim::ShellConfig>().running);
  EXPECT_EQ(config->Get<sim::ShellConfig>().onDestroy, sim::ShellDestroy::kIgnore);
  EXPECT_EQ(config->Get<sim::ShellConfig>().endAfterSeconds, 7U);
  EXPECT_FALSE(config->Get<sim::ShellConfig>().canBeTerminated);
  EXPECT_EQ(config->Get<sim::ShellConfig>().lockedFile, "\\Flash Disk2\\route.dat");
  EXPECT_EQ(config->Get<sim::ShellConfig>().orphanedLock, "\\Flash Disk2\\nav.dll");
  auto back = sim::ParseConfig(sim::ConfigToJson(*config));
  ASSERT_TRUE(back.ok()) << back.error();
  EXPECT_EQ(sim::ConfigToJson(*back), sim::ConfigToJson(*config));

  const struct {
    const char* json;
    const char* key;
  } bad[] = {
      {R"({"shell": {"on_destroy": "later"}})", "\"shell.on_destroy\""},
      {R"({"shell": {"end_after_seconds": -1}})", "\"shell.end_after_seconds\""},
      {R"({"shell": {"running": "yes"}})", "\"shell.running\""},
      {R"({"shell": {"locked_file": "route.dat"}})", "\"shell.locked_file\""},
      {R"({"shell": {"orphaned_lock": 3}})", "\"shell.orphaned_lock\""},
      {R"({"shell": {"obeys": true}})", "\"shell.obeys\""},
  };
  for (const auto& c : bad) {
    SCOPED_TRACE(c.json);
    auto parsed = sim::ParseConfig(nlohmann::json::parse(c.json));
    ASSERT_FALSE(parsed.ok());
    EXPECT_NE(parsed.error().find(c.key), std::string::npos) << parsed.error();
  }
}

TEST(ShellShowTest, SimShowPrintsTheVersionsAndTheShell) {
  TempDir dir;
  const std::string terminal = (dir.Path() / "T").string();
  const std::string out = (dir.Path() / "out.txt").string();
  const auto run = [&](const std::string& arguments) {
    const std::string command =
        std::string(VOSTREL_BINARY) + " " + arguments + " >'" + out + "' 2>&1 </dev/null";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  ASSERT_EQ(run("sim init '" + terminal + "'"), 0);
  ASSERT_EQ(run("sim show '" + terminal + "'"), 0) << ReadHostFile(out);
  std::string shown = ReadHostFile(out);
  EXPECT_NE(shown.find("  application:  1.0.0\n"), std::string::npos) << shown;
  EXPECT_NE(shown.find("  kernel:       1.0.5\n"), std::string::npos) << shown;
  EXPECT_NE(shown.find("  shell:        running\n"), std::string::npos) << shown;
  EXPECT_EQ(shown.find("Update\\Start"), std::string::npos) << shown;

  testing_support::WriteHostFile(
      dir.Path() / "T" / "fs" / "Flash Disk2" / "Tavimon" / "version.txt", "5.1\n");
  testing_support::WriteHostFile(dir.Path() / "T" / "terminal.json",
                                 R"({"shell": {"running": false}})");
  ASSERT_EQ(run("sim show '" + terminal + "'"), 0) << ReadHostFile(out);
  shown = ReadHostFile(out);
  EXPECT_NE(shown.find("  shell:        not running\n"), std::string::npos) << shown;
  EXPECT_NE(shown.find("  application:  1.0.0\n"), std::string::npos) << shown;
}

}  // namespace
