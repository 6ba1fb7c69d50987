#include "utils/utils.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "log/log.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "support/terminal_fixture.h"
#include "ui/controls.h"
#include "ui/dialog.h"
#include "ui/message_queue.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

using testing_support::TerminalTest;

class UtilsTest : public TerminalTest {
 protected:
  void SetUp() override {
    TerminalTest::SetUp();
    StartUpdaterObjects(3);
  }
  std::string Log() { return ReadFile("\\Flash disk2\\Vostrel.log"); }
};

TEST_F(UtilsTest, DeltreeWithoutPatternRemovesEverythingAndTheFolder) {
  WriteFile("\\Temp\\a.txt", "a");
  WriteFile("\\Temp\\sub\\deep\\b.tmp", "b");
  WriteFile("\\Temp\\sub\\c.txt", "c");
  MakeReadOnly("\\Temp\\sub\\c.txt");
  EXPECT_TRUE(g_pUtils->Deltree("\\Temp", ""));
  EXPECT_FALSE(Exists("\\Temp"));
  EXPECT_EQ(g_pUtils->LastError().m_nLastError, 0);
  EXPECT_THAT(Log(), HasSubstr("CUtils::Deltree: Deltree Processing \\Temp\\sub\\deep"));
}

TEST_F(UtilsTest, DeltreeWithPatternLeavesOthersAndReportsTheFolderItCannotRemove) {
  WriteFile("\\Temp\\a.tmp", "a");
  WriteFile("\\Temp\\keep.txt", "k");
  WriteFile("\\Temp\\old.tmp\\inside.txt", "folder matching the pattern");
  EXPECT_TRUE(g_pUtils->Deltree("\\Temp", "*.tmp"));
  EXPECT_FALSE(Exists("\\Temp\\a.tmp"));
  EXPECT_FALSE(Exists("\\Temp\\old.tmp"));
  EXPECT_TRUE(Exists("\\Temp\\keep.txt"));
  EXPECT_EQ(g_pUtils->LastError().m_nLastError, 1024);
  EXPECT_EQ(g_pUtils->LastError().m_strLastError, "RemoveDirectory failed on \\Temp");
  EXPECT_EQ(g_pUtils->LastError().m_strLastErrorFunction, "CUtils::Deltree:");
  EXPECT_NE(
      Log().find("LogAppError: ERROR #################################\r\n"
                 "17:01:11  LogAppError: Error Number [1024] in Function [CUtils::Deltree:]\r\n"
                 "17:01:11  LogAppError: Error [RemoveDirectory failed on \\Temp]\r\n"
                 "17:01:11  LogAppError: ERROR #################################\r\n"),
      std::string::npos);
}

TEST_F(UtilsTest, DeltreeReportsAFileItCannotDeleteAndGoesOn) {
  WriteFile("\\Temp\\held.txt", "h");
  WriteFile("\\Temp\\free.txt", "f");
  const platform::Handle held =
      Term().Files().OpenFor(77, "\\Temp\\held.txt", platform::kGenericRead, platform::kShareNone,
                             platform::Disposition::kOpenExisting, 0);
  ASSERT_NE(held, platform::kInvalidHandle);
  EXPECT_TRUE(g_pUtils->Deltree("\\Temp", "*.txt"));
  EXPECT_FALSE(Exists("\\Temp\\free.txt"));
  EXPECT_TRUE(Exists("\\Temp\\held.txt"));
  EXPECT_THAT(Log(), HasSubstr("[DeleteFile failed with \\Temp\\held.txt]"));
  // The folder is reported last, since it is not empty.
  EXPECT_EQ(g_pUtils->LastError().m_nLastError, 1024);
  Term().Files().CloseAllOf(77);
}

TEST_F(UtilsTest, DeltreeOfAMissingFolderReportsIt) {
  EXPECT_TRUE(g_pUtils->Deltree("\\Nothing", "*.*"));
  EXPECT_EQ(g_pUtils->LastError().m_nLastError, 1024);
  EXPECT_EQ(g_pUtils->LastError().m_strLastError, "RemoveDirectory failed on \\Nothing");
}

TEST(UtilsPathTest, JoinsAndComparisons) {
  EXPECT_EQ(CUtils::PathJoin("\\Windows\\", "a.txt"), "\\Windows\\a.txt");
  EXPECT_EQ(CUtils::PathJoin("\\Windows", "a.txt"), "\\Windows\\a.txt");
  EXPECT_EQ(CUtils::PathJoin("\\", "abort.me"), "\\abort.me");
  EXPECT_EQ(CUtils::PathJoin("", "a"), "\\a");
  EXPECT_EQ(CUtils::PathJoinLeaf("\\Windows", "\\Temp\\a.txt"), "\\Temp\\a.txt");
  EXPECT_EQ(CUtils::PathJoinLeaf("\\Windows", "Temp\\a.txt"), "\\Windows\\Temp\\a.txt");

  const struct {
    const char* a;
    const char* b;
    bool greater;
  } cases[] = {
      {"1.10", "1.9", false},
      {"1.9", "1.10", true},
      {"abc", "abc", false},
      {"abd", "abc", true},
      {"abc", "ab", true},
      {"ab", "abc", false},
      {"", "", false},
      {"a", "", true},
      {"-1", "0", false},
      // Compared as UTF-16 units: U+FF21 is above U+00E9 although its UTF-8 bytes start lower.
      {"\xEF\xBC\xA1", "\xC3\xA9", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " > " + c.b);
    EXPECT_EQ(CUtils::IsGreater(c.a, c.b), c.greater);
  }
}

TEST_F(UtilsTest, ProgramFolderAndResolvedPaths) {
  EXPECT_EQ(CUtils::GetAppDirectory(), "\\Storage Card\\");
  WriteFile("\\Vostrel.ini", "");
  EXPECT_EQ(ResolveFilePath("\\Vostrel.ini"), "\\Vostrel.ini");
  EXPECT_EQ(ResolveFilePath("missing.ini"), "\\Storage Card\\missing.ini");
  EXPECT_TRUE(CUtils::FileExists("\\Flash Disk2"));
  EXPECT_TRUE(CUtils::FileExists("\\storage card\\*.EXE"));
  EXPECT_FALSE(CUtils::FileExists("\\Storage Card\\*.bin"));
}

// A window that counts the messages dispatched to it.
class CountingWindow : public ui::Window {
 public:
  intptr_t OnMessage(const ui::Message& /*message*/) override {
    ++count;
    return 0;
  }
  int count = 0;
};

TEST_F(UtilsTest, WaitUsesOnlyTheLow16BitsAndDispatchesMessages) {
  CountingWindow window;
  ui::PostMessage({&window, 0x400, 0, 0});
  const uint32_t before = platform::Kern().GetTickCount();
  g_pUtils->Wait(70000);
  EXPECT_EQ(platform::Kern().GetTickCount() - before, 4464U);
  EXPECT_EQ(window.count, 1);

  g_pUtils->Wait(0);
  EXPECT_EQ(platform::Kern().GetTickCount() - before, 4464U);
}

TEST_F(UtilsTest, WaitRunsTimersThatFallDue) {
  CountingWindow window;
  ui::SetTimer(&window, 5, 300);
  g_pUtils->Wait(1000);
  EXPECT_EQ(window.count, 3);
  ui::KillTimer(&window, 5);
}

class ProgressDialog : public ui::Dialog {
 public:
  ProgressDialog() : ui::Dialog(1, "", 10, 10, false), bar(*this, 7, 0, 0, 5, 5, true) {}
  ui::ProgressCtrl bar;
};

TEST_F(UtilsTest, SetProgressMovesTheBarOnceAControlIsSet) {
  g_pUtils->SetProgress(40);  // no control: nothing happens
  ProgressDialog dialog;
  g_pUtils->SetProgressCtrl(&dialog.bar);
  g_pUtils->SetProgress(40);
  EXPECT_EQ(dialog.bar.GetPos(), 40);
  g_pUtils->SetProgressCtrl(nullptr);
}

TEST_F(UtilsTest, LogAppErrorKeepsTheLastErrorEvenWithoutALog) {
  g_pLog = nullptr;
  LogAppError(1017, "Cannot extract [a to b]", "CValidatePackage::LoadAppSettings");
  EXPECT_EQ(g_pUtils->LastError().m_nLastError, 1017);
  EXPECT_EQ(g_pUtils->LastError().m_strLastError, "Cannot extract [a to b]");
  EXPECT_EQ(g_pUtils->LastError().m_strLastErrorFunction, "CValidatePackage::LoadAppSettings");
}

}  // namespace
