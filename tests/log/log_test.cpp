#include "log/log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"
#include "support/terminal_fixture.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

using testing_support::TerminalTest;

const std::string kHeader =
    "Teverlind Log File                     (Created : 2005/08/22   17:01:11)\r\n" +
    std::string(78, '-') + "\r\n\r\nTime      Remark\r\n";

class LogTest : public TerminalTest {
 protected:
  static constexpr const char* kLog = "\\Flash disk2\\test.log";
  // A run whose own log is not set up: the tests set up logs of their own.
  CRunContext m_run;
};

TEST_F(LogTest, FreshLogHoldsHeaderThenDateLineBeforeFirstEntry) {
  CLog log;
  log.Setup(true, "Flash disk2\\test.log", false);
  EXPECT_EQ(ReadFile(kLog), kHeader);

  log.Write(true, "Command line : 'ACTIVESYNC'");
  log.Write(true, "second");
  EXPECT_EQ(ReadFile(kLog), kHeader +
                                "17:01:11  Current date is 2005/08/22\r\n"
                                "17:01:11  Command line : 'ACTIVESYNC'\r\n"
                                "17:01:11  second\r\n");
  EXPECT_EQ(log.Path(), kLog);
}

TEST_F(LogTest, NullTextWritesEmptyLineAndPercentIsKeptVerbatim) {
  CLog log;
  log.Setup(true, "Flash disk2\\test.log", false);
  log.Write(true, "100% done %s %d %n");
  log.Write(true, nullptr);
  log.Write(false, "not written");
  EXPECT_EQ(ReadFile(kLog), kHeader +
                                "17:01:11  Current date is 2005/08/22\r\n"
                                "17:01:11  100% done %s %d %n\r\n"
                                "\r\n");
  const std::string debug = DebugText();
  EXPECT_THAT(debug, HasSubstr("LOG:100% done %s %d %n\r\n"));
  EXPECT_THAT(debug, HasSubstr("LOG:\r\n"));
  EXPECT_THAT(debug, Not(HasSubstr("not written")));
}

TEST_F(LogTest, DateOnEachLinePrefixesEntriesAndWritesNoDateLine) {
  CLog log;
  log.Setup(true, "Flash disk2\\test.log", true);
  log.Write(true, "one");
  EXPECT_EQ(ReadFile(kLog), kHeader + "2005/08/22 17:01:11  one\r\n");
}

TEST_F(LogTest, TimeIsReadForEveryLine) {
  CLog log;
  log.Setup(true, "Flash disk2\\test.log", false);
  log.Write(true, "start");
  platform::Kern().Sleep(65 * 1000);
  log.Write(true, "a minute later");
  EXPECT_EQ(ReadFile(kLog), kHeader +
                                "17:01:11  Current date is 2005/08/22\r\n"
                                "17:01:11  start\r\n"
                                "17:02:16  a minute later\r\n");
}

class LogMidnightTest : public LogTest {
 protected:
  sim::TerminalConfig Config() const override {
    sim::TerminalConfig config;
    config.Get<sim::ClockConfig>().start = {2005, 12, 31, 23, 59, 59, 0};
    return config;
  }
};

TEST_F(LogMidnightTest, FirstEntryAfterMidnightGetsADateLine) {
  CLog log;
  log.Setup(true, "Flash disk2\\test.log", false);
  log.Write(true, "before");
  platform::Kern().Sleep(1500);
  log.Write(true, "after");
  const std::string text = ReadFile(kLog);
  EXPECT_NE(text.find("23:59:59  Current date is 2005/12/31\r\n23:59:59  before\r\n"
                      "00:00:00  Current date is 2006/01/01\r\n00:00:00  after\r\n"),
            std::string::npos)
      << text;
}

TEST_F(LogTest, SetupRotatesTheLogIntoOldReplacingAnOlderOne) {
  WriteFile("\\Flash disk2\\test.log", "previous run\r\n");
  WriteFile("\\Flash disk2\\test.log.old", "two runs ago\r\n");
  CLog log;
  log.Setup(true, "Flash disk2\\test.log", false);
  EXPECT_EQ(ReadFile("\\Flash disk2\\test.log.old"), "previous run\r\n");
  EXPECT_EQ(ReadFile(kLog), kHeader);
}

TEST_F(LogTest, SetupWithoutALogLeavesAnOldFileAlone) {
  WriteFile("\\Flash disk2\\test.log.old", "keep me\r\n");
  CLog log;
  log.Setup(true, "Flash disk2\\test.log", false);
  EXPECT_EQ(ReadFile("\\Flash disk2\\test.log.old"), "keep me\r\n");
  EXPECT_EQ(ReadFile(kLog), kHeader);
}

TEST_F(LogTest, DisabledSetupCreatesNothingAndSaysNothing) {
  CLog log;
  log.Setup(false, "Flash disk2\\test.log", false);
  EXPECT_FALSE(Exists(kLog));
  EXPECT_EQ(DebugText(), "");
}

TEST_F(LogTest, SetupAnnouncesThePathOnTheDebugOutput) {
  CLog log;
  log.Setup(true, "Flash disk2\\test.log", false);
  EXPECT_EQ(DebugText(), "CLog::Setup: Log file is [\\Flash disk2\\test.log]\r\n");
}

TEST_F(LogTest, UnwritableLogLosesEntriesSilently) {
  CLog log;
  log.Setup(true, "Flash disk2\\test.log", false);
  MakeReadOnly(kLog);
  const std::string before = DebugText();
  log.Write(true, "lost");
  EXPECT_EQ(ReadFile(kLog), kHeader);
  EXPECT_EQ(DebugText(), before);
}

TEST_F(LogTest, BatchModeKeepsTheFileOpenBetweenOpenAndClose) {
  CLog log;
  log.Setup(true, "Flash disk2\\test.log", false);
  log.WriteOpen(true, "without a batch: dropped");
  log.Open(true);
  log.WriteOpen(true, "first");
  log.WriteOpen(false, "disabled: dropped");
  log.WriteOpen(true, "second");
  log.Close(true);
  log.WriteOpen(true, "after close: dropped");
  EXPECT_EQ(ReadFile(kLog), kHeader +
                                "17:01:11  Current date is 2005/08/22\r\n"
                                "17:01:11  first\r\n"
                                "17:01:11  second\r\n");
  EXPECT_EQ(Term().Files().OpenHandleCount(), 0U);
}

TEST_F(LogTest, DeleteLogFilesRemovesTheLogAndItsOldCopy) {
  WriteFile("\\Flash disk2\\test.log", "previous\r\n");
  CLog log;
  log.Setup(true, "Flash disk2\\test.log", false);
  ASSERT_TRUE(Exists("\\Flash disk2\\test.log.old"));
  log.DeleteLogFiles();
  EXPECT_FALSE(Exists(kLog));
  EXPECT_FALSE(Exists("\\Flash disk2\\test.log.old"));
  // An entry afterwards starts a file without a header.
  log.Write(true, "after");
  EXPECT_EQ(ReadFile(kLog), "17:01:11  Current date is 2005/08/22\r\n17:01:11  after\r\n");
}

TEST_F(LogTest, FormattedTextIsCutToTheSharedBuffer) {
  const std::string text = FormatLogText("%s", std::string(2000, 'x'));
  EXPECT_EQ(text.size(), kMessageBufferUnits - 1);
  EXPECT_EQ(g_pLog->Text(), text);
}

struct LevelCase {
  const char* name;
  std::vector<const char*> markers;
  int before;
  int expected;
};

TEST_F(LogTest, ReadDebugLevelTakesTheMostDetailedMarkerPresent) {
  const LevelCase cases[] = {
      {"none leaves the level", {}, 2, 2},
      {"error", {"error.dbg"}, 3, 1},
      {"progress", {"progress.dbg"}, 1, 2},
      {"detailed and error", {"detailed.dbg", "error.dbg"}, 1, 3},
      {"progress and error", {"error.dbg", "progress.dbg"}, 1, 2},
  };
  for (const LevelCase& c : cases) {
    SCOPED_TRACE(c.name);
    for (const char* marker : {"error.dbg", "progress.dbg", "detailed.dbg"}) {
      Term().Files().Delete(std::string("\\Flash disk2\\") + marker);
    }
    for (const char* marker : c.markers) WriteFile(std::string("\\Flash disk2\\") + marker, "");
    g_pLog->SetDebugLevel(c.before);
    ReadDebugLevel();
    EXPECT_EQ(GetDebugLevel(), c.expected);
  }
}

TEST_F(LogTest, AFolderNamedLikeAMarkerCounts) {
  ASSERT_TRUE(platform::Fs().CreateFolder("\\Flash disk2\\progress.dbg"));
  g_pLog->SetDebugLevel(1);
  ReadDebugLevel();
  EXPECT_EQ(GetDebugLevel(), 2);
}

TEST_F(LogTest, LogAtWritesOnlyFromItsLevel) {
  StartUpdaterObjects(2);
  LogAt(2, "progress %d", 7);
  LogAt(3, "detail");
  const std::string text = ReadFile("\\Flash disk2\\Vostrel.log");
  EXPECT_THAT(text, HasSubstr("17:01:11  progress 7\r\n"));
  EXPECT_THAT(text, Not(HasSubstr("detail")));
}

}  // namespace
