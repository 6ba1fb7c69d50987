#include "script/script.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "log/log.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "support/package_builder.h"
#include "support/terminal_fixture.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

using testing_support::BuildPackage;
using testing_support::TerminalTest;

struct SplitCase {
  const char* line;
  bool command;
  int index;
  const char* parameter1;
  const char* parameter2;
};

class ScriptTest : public TerminalTest {
 protected:
  void SetUp() override {
    TerminalTest::SetUp();
    StartUpdaterObjects(3);
    State().m_strPackagePath = "\\Storage Card\\install.bin";
  }
  void PlacePackage(const std::vector<testing_support::PackageMember>& members) {
    WriteFile("\\Storage Card\\install.bin", BuildPackage(members));
  }
  void ExpectLastError(int32_t number, const std::string& text, const std::string& operation) {
    EXPECT_EQ(g_pUtils->LastError().m_nLastError, number);
    EXPECT_EQ(g_pUtils->LastError().m_strLastError, text);
    EXPECT_EQ(g_pUtils->LastError().m_strLastErrorFunction, operation);
  }
  std::string Log() { return ReadFile("\\Flash disk2\\Vostrel.log"); }
};

TEST_F(ScriptTest, LinesSplitIntoACommandAndTwoParameters) {
  const SplitCase cases[] = {
      {"copy|App.exe|\\Windows\\App.exe", true, kScriptCopy, "App.exe", "\\Windows\\App.exe"},
      {"COPY |a|b", true, kScriptUnknown, "a", "b"},
      {"REN||a||b", true, kScriptRen, "a", "b"},
      {"COPY|a|b|c", true, kScriptCopy, "a", "b|c"},
      {"COPY|a|||b|c|", true, kScriptCopy, "a", "b|c|"},
      {"MKDIR|  \\Temp  ", true, kScriptMkDir, "\\Temp", ""},
      {"RmDir|\\Temp\\Old  |  ignored ", true, kScriptRmDir, "\\Temp\\Old", "ignored"},
      {"DEL", true, kScriptDel, "", ""},
      {"DEL|\tx", true, kScriptDel, "\tx", ""},
      {"DELETE|x", true, kScriptUnknown, "x", ""},
      // The first character as passed must be a letter.
      {" DEL|x", false, 0, "", ""},
      {";COPY|a|b", false, 0, "", ""},
      {"#comment", false, 0, "", ""},
      {"", false, 0, "", ""},
      {"1COPY|a|b", false, 0, "", ""},
  };
  for (const SplitCase& c : cases) {
    SCOPED_TRACE(c.line);
    int index = 99;
    std::string p1 = "stale";
    std::string p2 = "stale";
    ASSERT_EQ(CScript::ExtractParams(c.line, &index, &p1, &p2), c.command);
    if (!c.command) continue;
    EXPECT_EQ(index, c.index);
    EXPECT_EQ(p1, c.parameter1);
    EXPECT_EQ(p2, c.parameter2);
  }
}

TEST_F(ScriptTest, DateTokensTakeTheTerminalsLocalTime) {
  // The terminal's clock starts at 2005-08-22 17:01:11.
  const struct {
    const char* parameter;
    const char* expanded;
  } cases[] = {
      {"\\Backup\\<ccyymmdd>.log", "\\Backup\\20050822.log"},
      {"<dd>", "22"},
      {"<xyz>", "xyz"},
      {"<abcDD>", "ABC22"},
      {"<hh><nn><ss>", "170111"},
      {"<mmmm>", "08MM"},
      {"a<b", "a<b"},
      {"<dd>x<yy", "22x<yy"},
      {"<>", ""},
      {"<Annual>", "A01UAL"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.parameter);
    int index = 0;
    std::string p1;
    std::string p2;
    ASSERT_TRUE(CScript::ExtractParams(std::string("COPY|m|") + c.parameter, &index, &p1, &p2));
    EXPECT_EQ(p2, c.expanded);
  }
}

TEST_F(ScriptTest, FieldsPastTheirLimitsAreRefusedNotCut) {
  WriteFile("\\Temp\\keep.txt", "k");
  CScript script(Context().m_files);
  // Cut at 255 characters, this line would delete \Temp's files.
  const std::string line = "DEL|\\Temp\\*.*" + std::string(250, ' ') + "x";
  EXPECT_EQ(script.ProcessOneLine(line), -1);
  EXPECT_TRUE(Exists("\\Temp\\keep.txt"));
  EXPECT_EQ(g_pUtils->LastError().m_nLastError, 1021);
}

TEST_F(ScriptTest, CommentsAndEmptyLinesAreSkipped) {
  CScript script(Context().m_files);
  for (const char* line : {"", "   ", "; a comment", "   # a comment", "  42|x"}) {
    SCOPED_TRACE(line);
    EXPECT_EQ(script.ProcessOneLine(line), 0);
  }
  EXPECT_EQ(g_pUtils->LastError().m_nLastError, 0);
}

TEST_F(ScriptTest, AnUnknownCommandIsReportedTwice) {
  CScript script(Context().m_files);
  EXPECT_EQ(script.ProcessOneLine("COPY |a|b"), -1);
  const std::string log = Log();
  const std::size_t unknown =
      log.find("LogAppError: Error Number [1020] in Function [CScript::ProcessOneLine]");
  ASSERT_NE(unknown, std::string::npos) << log;
  EXPECT_THAT(log, HasSubstr("LogAppError: Error [CmdUnknown [COPY ][a][b]]"));
  EXPECT_GT(log.find("LogAppError: Error Number [1021] in Function [CScript::ProcessOneLine]"),
            unknown);
  ExpectLastError(1021, "Error [-1] [COPY |a|b] [COPY ][a][b],", "CScript::ProcessOneLine");
}

TEST_F(ScriptTest, FolderCommands) {
  CScript script(Context().m_files);
  EXPECT_EQ(script.ProcessOneLine("MKDIR|\\Flash Disk2\\Apps"), 0);
  EXPECT_TRUE(Exists("\\Flash Disk2\\Apps"));
  // A folder that exists already is what the line asks for.
  EXPECT_EQ(script.ProcessOneLine("mkdir|\\flash disk2\\apps"), 0);
  EXPECT_NE(Log().find("###ERROR CtrlLclMkDir:: Create dir [\\flash disk2\\apps] failed"),
            std::string::npos);
  EXPECT_EQ(g_pUtils->LastError().m_nLastError, 0);
  // A folder whose parent is missing fails with the platform's error.
  EXPECT_EQ(script.ProcessOneLine("MKDIR|\\Nowhere\\Apps"), 3);
  ExpectLastError(1021, "Error [3] [MKDIR|\\Nowhere\\Apps] [MKDIR][\\Nowhere\\Apps][],",
                  "CScript::ProcessOneLine");

  WriteFile("\\Flash Disk2\\Apps\\Old\\a.txt", "a");
  EXPECT_EQ(script.ProcessOneLine("RMDIR|\\Flash Disk2\\Apps\\Old"), 0);
  EXPECT_FALSE(Exists("\\Flash Disk2\\Apps\\Old"));
  EXPECT_NE(Log().find("CtrlLclRmDir:: Remove dir [\\Flash Disk2\\Apps\\Old] succeeded"),
            std::string::npos);
}

TEST_F(ScriptTest, DeleteAlwaysSucceeds) {
  WriteFile("\\Apps\\a.tmp", "a");
  WriteFile("\\Apps\\b.tmp", "b");
  WriteFile("\\Apps\\keep.exe", "k");
  MakeReadOnly("\\Apps\\b.tmp");
  CScript script(Context().m_files);
  EXPECT_EQ(script.ProcessOneLine("DEL|\\Apps\\*.tmp"), 0);
  EXPECT_FALSE(Exists("\\Apps\\a.tmp"));
  EXPECT_FALSE(Exists("\\Apps\\b.tmp"));
  EXPECT_TRUE(Exists("\\Apps\\keep.exe"));
  // The folder is not empty: Deltree reports it, the line still succeeds.
  EXPECT_EQ(g_pUtils->LastError().m_nLastError, 1024);
  EXPECT_EQ(script.ProcessOneLine("DEL|\\Apps\\*.nothing"), 0);
  EXPECT_EQ(script.ProcessOneLine("DEL|\\Apps\\keep.exe"), 0);
  // The folder empty by then goes too.
  EXPECT_FALSE(Exists("\\Apps"));
}

TEST_F(ScriptTest, RenameReplacesTheTargetAndFailsForAMissingSource) {
  WriteFile("\\Apps\\new.exe", "new");
  WriteFile("\\Apps\\App.exe", "old");
  CScript script(Context().m_files);
  EXPECT_EQ(script.ProcessOneLine("REN|\\Apps\\new.exe|\\Apps\\App.exe"), 0);
  EXPECT_EQ(ReadFile("\\Apps\\App.exe"), "new");
  EXPECT_FALSE(Exists("\\Apps\\new.exe"));
  EXPECT_EQ(script.ProcessOneLine("REN|\\Apps\\gone.exe|\\Apps\\x.exe"), -1);
  EXPECT_NE(Log().find("###ERROR CtrlLclRen:: Rename [\\Apps\\gone.exe] to [\\Apps\\x.exe] failed"),
            std::string::npos);
  EXPECT_EQ(g_pUtils->LastError().m_nLastError, 1021);
}

TEST_F(ScriptTest, CopyWritesTheMembersBytes) {
  std::string big(3 * CScript::kCopyBufferSize + 17, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + (i >> 9));
  const std::string exact(CScript::kCopyBufferSize, 'e');
  PlacePackage({{"Vostrel.ini", "x"},
                {"Apps\\App.exe", "application"},
                {"big.dat", big},
                {"exact.dat", exact},
                {"empty.dat", ""}});
  WriteFile("\\Windows\\App.exe", "an older, longer application");
  MakeReadOnly("\\Windows\\App.exe");
  CScript script(Context().m_files);
  const struct {
    const char* line;
    const char* destination;
    std::string contents;
  } cases[] = {
      {"copy|Apps\\App.exe|\\Windows\\App.exe", "\\Windows\\App.exe", "application"},
      {"COPY|BIG.DAT|\\Windows\\big.dat", "\\Windows\\big.dat", big},
      {"COPY|exact.dat|\\Windows\\exact.dat", "\\Windows\\exact.dat", exact},
      {"COPY|empty.dat|\\Windows\\empty.dat", "\\Windows\\empty.dat", ""},
      {"COPY|Apps\\App.exe|b|c", "\\b|c", "application"},
      {"COPY|Apps\\App.exe|\\Windows\\<ccyymmdd>.bak", "\\Windows\\20050822.bak", "application"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(script.ProcessOneLine(c.line), 0);
    EXPECT_EQ(ReadFile(c.destination), c.contents);
  }
  EXPECT_EQ(g_pUtils->LastError().m_nLastError, 0);
  EXPECT_EQ(Term().Files().OpenHandleCount(), 0U);
}

TEST_F(ScriptTest, CopyOfAMissingMemberLeavesAnEmptyDestination) {
  PlacePackage({{"Vostrel.ini", "x"}});
  WriteFile("\\Windows\\App.exe", "what was there");
  CScript script(Context().m_files);
  EXPECT_EQ(script.ProcessOneLine("COPY|App.exe|\\Windows\\App.exe"), -1);
  EXPECT_TRUE(Exists("\\Windows\\App.exe"));
  EXPECT_EQ(ReadFile("\\Windows\\App.exe"), "");
  const std::string log = Log();
  EXPECT_THAT(log, HasSubstr("[Cannot find header for [App.exe]]"));
  EXPECT_NE(log.find("###ERROR CtrlLclCopy:: Copy [App.exe] to [\\Windows\\App.exe] failed"),
            std::string::npos);
  EXPECT_EQ(g_pUtils->LastError().m_nLastError, 1021);
}

TEST_F(ScriptTest, CopyToAPlaceThatCannotBeWrittenFails) {
  PlacePackage({{"Vostrel.ini", "x"}, {"a", "a"}});
  CScript script(Context().m_files);
  EXPECT_EQ(script.ProcessOneLine("COPY|a|\\Missing\\a"), -1);
  EXPECT_NE(Log().find("LogAppError: Error [Cannot open for writing [\\Missing\\a]]\r\n"
                       "17:01:11  LogAppError: ERROR #################################\r\n"
                       "17:01:11  Cannot open for writing [\\Missing\\a]\r\n"),
            std::string::npos);
}

}  // namespace
