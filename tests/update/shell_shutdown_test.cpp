// Stopping the resident shell before an update item, and the housekeeping of a run.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/main_dialog.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "sim/gui.h"
#include "sim/kernel.h"
#include "sim/shell.h"
#include "support/terminal_fixture.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

using testing_support::TerminalTest;

constexpr const char* kLogPath = "\\Flash disk2\\Vostrel.log";
constexpr sim::ProcessId kOtherProgram = 0x700;

constexpr const char* kRunning = "CheckTavimonShutdown shell running... shutting down";
constexpr const char* kWaiting = "CheckTavimonShutdown shell waiting for shutdown";
constexpr const char* kTerminating = "CheckTavimonShutdown shell still running !! terminating!";
constexpr const char* kComplete = "CheckTavimonShutdown shutdown complete";
constexpr const char* kFailed = "CheckTavimonShutdown shutdown failed!";

// A program that owns a window of the shell's class without being the shell.
class WindowSpy : public sim::SimProcess {
 public:
  WindowSpy(sim::ProcessTable& processes, int* messages)
      : SimProcess("spy.exe", "\\Windows\\spy.exe"), m_processes(processes), m_messages(messages) {}
  void OnStart() override { m_processes.CreateWindow(Id(), sim::kShellWindowClass); }
  intptr_t OnWindowMessage(uint32_t /*message*/) override {
    ++*m_messages;
    return 0;
  }

 private:
  sim::ProcessTable& m_processes;
  int* m_messages;
};

class ShellShutdownTest : public TerminalTest {
 protected:
  void SetUp() override {
    TerminalTest::SetUp();
    StartUpdaterObjects(1);
    m_dialog = std::make_unique<CVostrelHHTDlg>(Context());
  }
  void TearDown() override {
    m_dialog.reset();
    TerminalTest::TearDown();
  }

  sim::ShellConfig& Shell() { return Term().MutableConfig().Get<sim::ShellConfig>(); }
  // Boots the terminal again, so that the shell starts with the files and settings now there.
  void Reboot() { Term().Restart(); }
  void StopShell() {
    if (sim::SimProcess* shell = sim::FindShell(Term().Processes()))
      Term().Processes().End(shell->Id());
  }
  void HoldForOtherProgram(const std::string& path) {
    ASSERT_NE(Term().Files().OpenFor(kOtherProgram, path, platform::kGenericRead,
                                     platform::kShareNone, platform::Disposition::kOpenExisting, 0),
              platform::kInvalidHandle);
  }

  // The log's entries, each "hh:mm:ss  text" without its line ends.
  std::vector<std::string> Entries() {
    std::vector<std::string> entries;
    std::istringstream in(ReadFile(kLogPath));
    std::string line;
    while (std::getline(in, line)) {
      while (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.size() < 10 || line[2] != ':' || line.find("Current date is") != std::string::npos) {
        continue;
      }
      entries.push_back(line);
    }
    return entries;
  }

  static std::string At(int second, const char* text) {
    return "17:01:" + std::to_string(second) + "  " + text;
  }

  std::unique_ptr<CVostrelHHTDlg> m_dialog;
};

TEST_F(ShellShutdownTest, WithoutAShellOnlyTheFilesDecide) {
  StopShell();
  int messages = 0;
  Term().Processes().Start(std::make_unique<WindowSpy>(Term().Processes(), &messages));
  WriteFile("\\Flash Disk2\\app.exe", "program");

  EXPECT_TRUE(m_dialog->CheckTavimonShutdown());
  EXPECT_EQ(Term().Now(), 1000U);
  EXPECT_EQ(Entries(), (std::vector<std::string>{At(12, kComplete)}));
  EXPECT_EQ(Term().Seen().rerunnerStopSignals, 1);

  HoldForOtherProgram("\\Flash Disk2\\app.exe");
  EXPECT_FALSE(m_dialog->CheckTavimonShutdown());
  EXPECT_EQ(Term().Now(), 2000U);
  EXPECT_EQ(Entries(), (std::vector<std::string>{At(12, kComplete), At(13, kComplete)}));
  // A window of the shell's class is no shell without the shell's process.
  EXPECT_EQ(messages, 0);
}

TEST_F(ShellShutdownTest, AShellThatObeysEndsAtOnceAndFreesItsFiles) {
  WriteFile("\\Flash Disk2\\app.exe", "program");
  WriteFile("\\Flash Disk2\\lib.dll", "library");
  WriteFile("\\Flash Disk2\\Fonts\\clock.ttf", "font");
  WriteFile("\\Flash Disk2\\rerunner.exe", "rerunner");
  Reboot();
  ASSERT_TRUE(platform::Kern().CreateProcess("\\Flash Disk2\\rerunner.exe", ""));
  ASSERT_TRUE(Term().Files().IsOpen("\\Flash Disk2\\app.exe"));
  ASSERT_TRUE(Term().Files().IsOpen("\\Flash Disk2\\Fonts\\clock.ttf"));
  const int shellStarts = Term().Seen().shellStarts;

  EXPECT_TRUE(m_dialog->CheckTavimonShutdown());
  EXPECT_EQ(Term().Now(), 1000U);
  EXPECT_EQ(Entries(), (std::vector<std::string>{At(12, kRunning), At(12, kComplete)}));
  // The rerunner was stopped first, so nothing brought the shell back.
  EXPECT_EQ(sim::FindShell(Term().Processes()), nullptr);
  EXPECT_EQ(Term().Processes().FindByName("rerunner.exe"), nullptr);
  EXPECT_EQ(Term().Seen().shellStarts, shellStarts);
  EXPECT_FALSE(Term().Files().IsOpen("\\Flash Disk2\\app.exe"));
  EXPECT_FALSE(Term().Files().IsOpen("\\Flash Disk2\\Fonts\\clock.ttf"));
  // Each text carries its own line end, and the log adds one.
  const std::string log = ReadFile(kLogPath);
  EXPECT_TRUE(log.ends_with("\n17:01:12  CheckTavimonShutdown shutdown complete\r\r\n\r\n")) << log;
}

TEST_F(ShellShutdownTest, AShellThatTakesThreeSecondsIsWaitedForSecondBySecond) {
  Shell().endAfterSeconds = 3;
  EXPECT_TRUE(m_dialog->CheckTavimonShutdown());
  EXPECT_EQ(Entries(),
            (std::vector<std::string>{At(12, kRunning), At(12, kWaiting), At(13, kWaiting),
                                      At(14, kWaiting), At(15, kComplete)}));
  EXPECT_EQ(Term().Now(), 4000U);
}

TEST_F(ShellShutdownTest, AShellThatIgnoresTheMessageIsTerminatedAfterTenSeconds) {
  Shell().onDestroy = sim::ShellDestroy::kIgnore;
  WriteFile("\\Flash Disk2\\app.exe", "program");
  Reboot();
  EXPECT_TRUE(m_dialog->CheckTavimonShutdown());
  std::vector<std::string> expected = {At(12, kRunning)};
  for (int second = 12; second < 22; ++second) expected.push_back(At(second, kWaiting));
  expected.push_back(At(22, kTerminating));
  expected.push_back(At(22, kComplete));
  EXPECT_EQ(Entries(), expected);
  EXPECT_EQ(Term().Now(), 11000U);
  EXPECT_EQ(sim::FindShell(Term().Processes()), nullptr);
  EXPECT_EQ(Term().Kernel().OpenHandleCount(), 0U);
}

TEST_F(ShellShutdownTest, AShellThatCannotBeTerminatedKeepsItsFilesLocked) {
  Shell().onDestroy = sim::ShellDestroy::kIgnore;
  Shell().canBeTerminated = false;
  WriteFile("\\Flash Disk2\\app.exe", "program");
  Reboot();
  EXPECT_FALSE(m_dialog->CheckTavimonShutdown());
  const std::vector<std::string> entries = Entries();
  ASSERT_EQ(entries.size(), 13U);
  EXPECT_EQ(entries[11], At(22, kTerminating));
  EXPECT_EQ(entries[12], At(22, kFailed));
  EXPECT_NE(sim::FindShell(Term().Processes()), nullptr);
  EXPECT_EQ(Term().Kernel().OpenHandleCount(), 0U);
}

TEST_F(ShellShutdownTest, AFileLeftLockedByTheTerminatedShellFailsTheCheck) {
  Shell().onDestroy = sim::ShellDestroy::kIgnore;
  Shell().orphanedLock = "\\Flash Disk2\\shell.dll";
  WriteFile("\\Flash Disk2\\shell.dll", "library");
  Reboot();
  // The log says the shell is gone; the locked library says otherwise.
  EXPECT_FALSE(m_dialog->CheckTavimonShutdown());
  EXPECT_EQ(Entries().back(), At(22, kComplete));
  EXPECT_EQ(sim::FindShell(Term().Processes()), nullptr);
  EXPECT_TRUE(Term().Files().IsOpen("\\Flash Disk2\\shell.dll"));
}

TEST_F(ShellShutdownTest, FilesAreCheckedThroughTheWholeFolderTree) {
  StopShell();
  const struct {
    const char* name;
    const char* readOnlyFile;
    const char* pattern;
    bool recursive;
    bool expected;
  } cases[] = {
      {"read-only program", "\\Flash Disk2\\tool.exe", "*.exe", true, false},
      {"read-only program in a plain folder", "\\Flash Disk2\\Apps\\tool.exe", "*.exe", true,
       false},
      {"the same, not recursive", "\\Flash Disk2\\Apps\\tool.exe", "*.exe", false, true},
      {"read-only library in a folder named like one", "\\Flash Disk2\\Extra.dll\\a.dll", "*.dll",
       true, false},
      {"the same, not recursive", "\\Flash Disk2\\More.dll\\a.dll", "*.dll", false, true},
      {"read-only text file", "\\Flash Disk2\\notes.txt", "*.exe", true, true},
      {"read-only font", "\\Flash Disk2\\Font.TTF", "*.ttf", true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(c.readOnlyFile, "x");
    MakeReadOnly(c.readOnlyFile);
    EXPECT_EQ(m_dialog->CheckFilesUnlocked("\\flash disk2", c.pattern, c.recursive), c.expected);
    Term().Files().SetAttributes(c.readOnlyFile, platform::kAttributeNormal);
    EXPECT_TRUE(Term().Files().Delete(c.readOnlyFile));
  }
  EXPECT_EQ(Term().Files().OpenHandleCount(), 0U);

  WriteFile("\\Flash Disk2\\tool.exe", "x");
  MakeReadOnly("\\Flash Disk2\\tool.exe");
  EXPECT_FALSE(m_dialog->CheckTavimonShutdown());

  // A folder that cannot be listed holds nothing locked.
  EXPECT_TRUE(m_dialog->CheckFilesUnlocked("\\no such folder", "*.exe", true));
  EXPECT_THAT(DebugText(), HasSubstr("GetLastError 3\r\n"));
}

TEST_F(ShellShutdownTest, FontsAreUnloadedThroughTheFolderTree) {
  for (const char* font : {"\\Flash Disk2\\.ttf", "\\Flash Disk2\\a.fon", "\\Flash Disk2\\b.Ttc",
                           "\\Flash Disk2\\c.FNT", "\\Flash Disk2\\Fonts\\Sub\\deep.TTF"}) {
    WriteFile(font, "font");
  }
  WriteFile("\\Flash Disk2\\readme.txt", "text");
  Reboot();
  ASSERT_EQ(Term().Gui().LoadedFontCount(), 5U);

  EXPECT_TRUE(m_dialog->RemoveFonts("\\flash disk2", false));
  const auto removed = [this] {
    const std::vector<std::string> list = Term().Gui().RemovedFonts();
    return std::set<std::string>(list.begin(), list.end());
  };
  EXPECT_EQ(removed(), (std::set<std::string>{"\\Flash Disk2\\a.fon", "\\Flash Disk2\\b.Ttc",
                                              "\\Flash Disk2\\c.FNT"}));
  EXPECT_TRUE(Term().Files().IsOpen("\\Flash Disk2\\Fonts\\Sub\\deep.TTF"));

  EXPECT_TRUE(m_dialog->RemoveFonts("\\flash disk2", true));
  EXPECT_EQ(removed().count("\\Flash Disk2\\Fonts\\Sub\\deep.TTF"), 1U);
  EXPECT_FALSE(Term().Files().IsOpen("\\Flash Disk2\\Fonts\\Sub\\deep.TTF"));
  // A name that is nothing but the extension is no font file.
  EXPECT_EQ(removed().count("\\Flash Disk2\\.ttf"), 0U);
  EXPECT_TRUE(Term().Files().IsOpen("\\Flash Disk2\\.ttf"));
  EXPECT_EQ(Term().Gui().LoadedFontCount(), 1U);

  EXPECT_TRUE(m_dialog->RemoveFonts("\\flash disk9", true));
  EXPECT_THAT(DebugText(), HasSubstr("GetLastError 3\r\n"));
  EXPECT_THAT(ReadFile(kLogPath), Not(HasSubstr("GetLastError")));
}

TEST_F(ShellShutdownTest, TheShellIsFoundByTheFirstElevenCharactersOfItsName) {
  StopShell();
  const struct {
    const char* name;
    bool found;
  } cases[] = {
      {"tavimon.exe", true},  {"TAVIMON.EXE", true}, {"Tavimon.exe.old", true},
      {"tavimon.exe2", true}, {"tavimon.ex", false}, {"xtavimon.exe", false},
      {"tavimon.com", false}, {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const sim::ProcessId id = Term().Processes().Start(
        std::make_unique<sim::SimProcess>(c.name, std::string("\\Windows\\") + c.name));
    const std::size_t handles = Term().Kernel().OpenHandleCount();
    EXPECT_EQ(m_dialog->GetTavimonProcessID(), c.found ? id : 0U);
    // The snapshot is closed whether or not the shell was in it.
    EXPECT_EQ(Term().Kernel().OpenHandleCount(), handles);
    Term().Processes().End(id);
  }
  EXPECT_EQ(Entries(), std::vector<std::string>{});
}

TEST_F(ShellShutdownTest, AFailedSnapshotIsLoggedAndFindsNoShell) {
  Term().Kernel().FailSnapshots(true);
  EXPECT_EQ(m_dialog->GetTavimonProcessID(), 0U);
  const char* failed = "GetTavimonProcessID failed , unable to take process snapshot 8";
  EXPECT_EQ(Entries(), (std::vector<std::string>{At(11, failed)}));

  // Blind to the running shell, the shutdown relies on its files, which it still holds.
  WriteFile("\\Flash Disk2\\app.exe", "program");
  Reboot();
  EXPECT_FALSE(m_dialog->CheckTavimonShutdown());
  EXPECT_EQ(Term().Now(), 1000U);
  EXPECT_EQ(Entries(),
            (std::vector<std::string>{At(11, failed), At(12, failed), At(12, failed),
                                      At(12, failed), At(12, failed), At(12, kComplete)}));
}

TEST_F(ShellShutdownTest, DeleteMatchingTakesMatchingFilesAndWholeFolders) {
  WriteFile("\\Flash Disk2\\error.dbg", "");
  MakeReadOnly("\\Flash Disk2\\error.dbg");
  WriteFile("\\Flash Disk2\\progress.DBG", "");
  WriteFile("\\Flash Disk2\\keep.txt", "keep");
  WriteFile("\\Flash Disk2\\dbg.txt", "keep");
  WriteFile("\\Flash Disk2\\old.dbg\\inner\\notes.txt", "gone");
  MakeReadOnly("\\Flash Disk2\\old.dbg\\inner\\notes.txt");
  WriteFile("\\Flash Disk2\\Sub\\nested.dbg", "not matched: only the folder itself is listed");

  EXPECT_TRUE(m_dialog->DeleteMatching("\\Flash Disk2\\", "*.dbg"));
  EXPECT_FALSE(Exists("\\Flash Disk2\\error.dbg"));
  EXPECT_FALSE(Exists("\\Flash Disk2\\progress.dbg"));
  EXPECT_FALSE(Exists("\\Flash Disk2\\old.dbg"));
  EXPECT_TRUE(Exists("\\Flash Disk2\\keep.txt"));
  EXPECT_TRUE(Exists("\\Flash Disk2\\dbg.txt"));
  EXPECT_TRUE(Exists("\\Flash Disk2\\Sub\\nested.dbg"));
  EXPECT_THAT(DebugText(), Not(HasSubstr("Deltree Deltree failed")));
  EXPECT_THAT(DebugText(), Not(HasSubstr("Deltree RemoveDirectory failed")));
}

TEST_F(ShellShutdownTest, DeleteMatchingFailuresGoToTheDebugOutputOnly) {
  WriteFile("\\Flash Disk2\\held.dbg", "");
  HoldForOtherProgram("\\Flash Disk2\\held.dbg");
  WriteFile("\\Flash Disk2\\busy.dbg\\open.txt", "");
  HoldForOtherProgram("\\Flash Disk2\\busy.dbg\\open.txt");

  EXPECT_TRUE(m_dialog->DeleteMatching("\\Flash Disk2", "*.dbg"));
  EXPECT_TRUE(m_dialog->DeleteMatching("\\Flash Disk2", "*.none"));
  EXPECT_TRUE(Exists("\\Flash Disk2\\held.dbg"));
  EXPECT_TRUE(Exists("\\Flash Disk2\\busy.dbg\\open.txt"));
  const std::string debug = DebugText();
  EXPECT_NE(debug.find("Deltree Deltree failed with \\Flash Disk2\\held.dbg\r\n"),
            std::string::npos);
  EXPECT_NE(debug.find("Deltree Deltree failed with \\Flash Disk2\\busy.dbg\\open.txt\r\n"),
            std::string::npos);
  EXPECT_NE(debug.find("Deltree RemoveDirectory failed with \\Flash Disk2\\busy.dbg\r\n"),
            std::string::npos);
  EXPECT_THAT(debug, HasSubstr("Deltree GetLastError 2\r\n"));
  EXPECT_EQ(Entries(), std::vector<std::string>{});
}

TEST_F(ShellShutdownTest, UserDataIsSetAsideAndTheOlderCopyDeleted) {
  const struct {
    const char* name;
    bool documents;
    const char* olderFile;  // a file of the older clean.me, or itself when it is a file
  } cases[] = {
      {"documents, nothing set aside yet", true, nullptr},
      {"documents and an older clean.me folder", true, "\\Flash disk2\\clean.me\\old\\a.txt"},
      {"documents and an older clean.me file", true, "\\Flash disk2\\clean.me"},
      {"no documents, an older clean.me folder", false, "\\Flash disk2\\clean.me\\b.txt"},
      {"nothing at all", false, nullptr},
  };
  const std::string documents = "\\Flash disk2\\Documents and Settings";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.olderFile != nullptr) {
      WriteFile(c.olderFile, "older");
      MakeReadOnly(c.olderFile);
    }
    if (c.documents) {
      WriteFile(documents + "\\Owner\\letter.txt", "dear");
      MakeReadOnly(documents);
    }

    m_dialog->CleanUserData();

    EXPECT_FALSE(Exists(documents));
    if (c.documents) {
      EXPECT_EQ(ReadFile("\\Flash disk2\\clean.me\\Owner\\letter.txt"), "dear");
      if (c.olderFile != nullptr && std::string(c.olderFile) != "\\Flash disk2\\clean.me") {
        EXPECT_FALSE(Exists(c.olderFile));
      }
    } else {
      EXPECT_FALSE(Exists("\\Flash disk2\\clean.me"));
    }
    // The next clean-up starts from nothing.
    m_dialog->DeleteMatching("\\Flash disk2", "clean.me");
    ASSERT_FALSE(Exists("\\Flash disk2\\clean.me"));
  }
}

TEST_F(ShellShutdownTest, TempFilesAreTheSettingsFileAndTheReadCache) {
  const struct {
    const char* name;
    const char* settingsPath;
    bool settingsFile;
    bool cache;
  } cases[] = {
      {"both", "\\Vostrel.ini", true, true},
      {"no settings path", "", false, true},
      {"settings path to a missing file", "\\Vostrel.ini", false, false},
      {"settings only", "\\Storage Card\\Vostrel.ini", true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    State().m_strSettingsPath = c.settingsPath;
    if (c.settingsFile) WriteFile(c.settingsPath, "[Update]");
    if (c.cache) WriteFile("\\cache.bin", "cached");
    WriteFile("\\Storage Card\\install.bin", "package");

    m_dialog->DeleteTempFiles();

    EXPECT_FALSE(Exists("\\cache.bin"));
    if (*c.settingsPath != '\0') {
      EXPECT_FALSE(Exists(c.settingsPath));
    }
    EXPECT_TRUE(Exists("\\Storage Card\\install.bin"));
  }
}

}  // namespace
