// The terminal's end of the desktop channel, against a scripted desktop in virtual time.
#include "package/file_semaphore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "desktop/desktop_support.h"
#include "package/container_bytes.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "support/terminal_fixture.h"

namespace {

using container_bytes::Le32;
using desktop_testing::LoggedError;
using desktop_testing::Reply;
using desktop_testing::ScriptedDesktop;

using desktop_testing::kLog;

class ChannelTest : public testing_support::TerminalTest {
 protected:
  void SetUp() override {
    TerminalTest::SetUp();
    StartUpdaterObjects(3);
  }
  std::vector<LoggedError> Errors() { return desktop_testing::LoggedErrors(ReadFile(kLog)); }
  std::vector<std::string> Entries() { return desktop_testing::LogEntries(ReadFile(kLog)); }
  bool Logged(const std::string& entry) {
    const auto entries = Entries();
    return std::find(entries.begin(), entries.end(), entry) != entries.end();
  }
  void ExpectLastError(int32_t number, const std::string& message, const std::string& function) {
    EXPECT_EQ(g_pUtils->LastError().m_nLastError, number);
    EXPECT_EQ(g_pUtils->LastError().m_strLastError, message);
    EXPECT_EQ(g_pUtils->LastError().m_strLastErrorFunction, function);
  }
  static CFileCommand Request(uint32_t code, std::string name = {}, uint32_t value = 0) {
    CFileCommand command;
    command.m_bRequest = 1;
    command.m_nCommand = code;
    command.m_strName = std::move(name);
    command.m_nRequestValue = value;
    return command;
  }

  CFileSemaphore m_channel;
};

std::string Utf16(const std::u16string& text) {
  std::string bytes;
  for (const char16_t unit : text) bytes += container_bytes::Le16(static_cast<uint16_t>(unit));
  return bytes;
}

TEST_F(ChannelTest, RequestFilesHoldTheCodeTheNameWithItsTerminatorAndANonZeroValue) {
  const struct {
    const char* what;
    CFileCommand command;
    std::string data;
  } cases[] = {
      {"FileSize of Vostrel.ini", Request(kCommandFileSize, "Vostrel.ini"),
       Le32(6) + Utf16(u"Vostrel.ini") + std::string(2, '\0')},
      {"FileSize of a name beyond ASCII", Request(kCommandFileSize, "Apps\\Kar\u00E9\U0001F600"),
       Le32(6) + Utf16(u"Apps\\Kar\u00E9\U0001F600") + std::string(2, '\0')},
      {"ReadCache at 0: the code alone", Request(kCommandReadCache, "", 0), Le32(4)},
      {"ReadCache at 262144", Request(kCommandReadCache, "", 262144),
       std::string("\x04\x00\x00\x00\x00\x00\x04\x00", 8)},
      {"Finished", Request(kCommandFinished), Le32(1)},
      {"SizeGPS", Request(kCommandSizeGPS), Le32(9)},
  };
  std::vector<Reply> replies(std::size(cases), Reply{Reply::Kind::kAnswer, Le32(0)});
  ScriptedDesktop desktop(Term(), replies);
  for (const auto& c : cases) {
    CFileCommand command = c.command;
    EXPECT_EQ(m_channel.HHTProcessCommand(command), 1) << c.what;
    EXPECT_EQ(command.m_bRequest, 0) << c.what;
  }
  ASSERT_EQ(desktop.Seen().size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].what);
    EXPECT_EQ(desktop.Seen()[i].data, cases[i].data);
    EXPECT_EQ(desktop.Seen()[i].flag, cases[i].data.substr(0, 4));
  }
  EXPECT_TRUE(Errors().empty());
}

TEST_F(ChannelTest, ResponsesAreReadByTheRequestsCode) {
  const struct {
    const char* what;
    uint32_t code;
    std::string response;
    int32_t ok;
    uint32_t value;
  } cases[] = {
      {"Finished takes Ok", kCommandFinished, Le32(1), 1, 0},
      {"Finished, Ok 0", kCommandFinished, Le32(0), 0, 0},
      {"ReadCache takes the value", kCommandReadCache, Le32(65536), 0, 65536},
      {"FileSize ignores the bytes after the value", kCommandFileSize, Le32(1234) + "tail", 0,
       1234},
      {"SizeOS", kCommandSizeOS, Le32(0xFFFFFFF0U), 0, 0xFFFFFFF0U},
      {"SizeApp", kCommandSizeApp, Le32(77), 0, 77},
      {"SizeGPS reads nothing", kCommandSizeGPS, Le32(5), 0, 0},
      {"a value too short to hold stays 0", kCommandFileSize, std::string("\x05\x00\x00", 3), 0, 0},
      {"an Ok too short to hold stays 0", kCommandFinished, std::string("\x01", 1), 0, 0},
      {"an empty response to Finished", kCommandFinished, "", 0, 0},
      {"an empty response to ReadCache", kCommandReadCache, "", 0, 0},
      {"an empty response to SizeOS", kCommandSizeOS, "", 0, 0},
  };
  std::vector<Reply> replies;
  for (const auto& c : cases) replies.push_back({Reply::Kind::kAnswer, c.response});
  ScriptedDesktop desktop(Term(), replies);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CFileCommand command = Request(c.code, c.code == kCommandFileSize ? "a.bin" : "");
    EXPECT_EQ(m_channel.HHTProcessCommand(command), 1);
    EXPECT_EQ(command.m_bOk, c.ok);
    EXPECT_EQ(command.m_nResponseValue, c.value);
    EXPECT_FALSE(Exists("\\tohht.txt"));
    EXPECT_FALSE(Exists("\\tohht.ok"));
  }
  EXPECT_TRUE(Errors().empty());
}

TEST_F(ChannelTest, EachExchangeLogsItsRequestAndResponse) {
  ScriptedDesktop desktop(Term(), {{Reply::Kind::kAnswer, Le32(4321)},
                                   {Reply::Kind::kAnswer, Le32(1)},
                                   {Reply::Kind::kAnswer, ""}});
  CFileCommand size = Request(kCommandFileSize, "NK.BIN");
  CFileCommand finished = Request(kCommandFinished);
  CFileCommand gps = Request(kCommandSizeGPS);
  ASSERT_EQ(m_channel.HHTProcessCommand(size), 1);
  ASSERT_EQ(m_channel.HHTProcessCommand(finished), 1);
  ASSERT_EQ(m_channel.HHTProcessCommand(gps), 1);
  const std::vector<std::string> expected = {
      "#####:: HHTProcessCommand: HHT Request [Cmd=FileSize,File=NK.BIN,NumBytes=0]",
      "\u00A3\u00A3\u00A3\u00A3\u00A3:: HHTProcessCommand: PC Response "
      "[Cmd=FileSize,Ok=0,NumBytes=4321]",
      "#####:: HHTProcessCommand: HHT Request [Cmd=Finished,File=,NumBytes=0]",
      "\u00A3\u00A3\u00A3\u00A3\u00A3:: HHTProcessCommand: PC Response "
      "[Cmd=Finished,Ok=1,NumBytes=0]",
      "#####:: HHTProcessCommand: HHT Request [Cmd=???,File=,NumBytes=0]",
      "\u00A3\u00A3\u00A3\u00A3\u00A3:: HHTProcessCommand: PC Response [Cmd=???,Ok=0,NumBytes=0]",
  };
  EXPECT_EQ(Entries(), expected);
}

TEST_F(ChannelTest, CommandOperationsSendTheirRequestAndReturnTheAnswer) {
  ScriptedDesktop desktop(Term(), {{Reply::Kind::kAnswer, Le32(10)},
                                   {Reply::Kind::kAnswer, Le32(20)},
                                   {Reply::Kind::kAnswer, Le32(30)},
                                   {Reply::Kind::kAnswer, ""},
                                   {Reply::Kind::kAnswer, Le32(4096)}});
  EXPECT_EQ(m_channel.ActiveSyncFileSize("EBOOT2.NB0"), 10U);
  EXPECT_EQ(m_channel.ActiveSyncSizeOS(), 20U);
  EXPECT_EQ(m_channel.ActiveSyncSizeApp(), 30U);
  EXPECT_EQ(m_channel.ActiveSyncSizeGPS(), 0U);
  EXPECT_EQ(m_channel.ReloadCache(8192), 1);
  EXPECT_EQ(m_channel.m_nCacheStart, 8192U);
  EXPECT_EQ(m_channel.m_nCacheLength, 4096U);
  ASSERT_EQ(desktop.Seen().size(), 5U);
  EXPECT_EQ(desktop.Seen()[0].data, Le32(6) + Utf16(u"EBOOT2.NB0") + std::string(2, '\0'));
  EXPECT_EQ(desktop.Seen()[1].data, Le32(7));
  EXPECT_EQ(desktop.Seen()[2].data, Le32(8));
  EXPECT_EQ(desktop.Seen()[3].data, Le32(9));
  EXPECT_EQ(desktop.Seen()[4].data, Le32(4) + Le32(8192));
  EXPECT_TRUE(Errors().empty());
}

TEST_F(ChannelTest, AFailedExchangeIsReportedAtEveryLevel) {
  const struct {
    const char* what;
    std::function<uint32_t(CFileSemaphore&)> operation;
    LoggedError importFailure;
    LoggedError own;
  } cases[] = {
      {"FileSize",
       [](CFileSemaphore& c) { return c.ActiveSyncFileSize("a.bin"); },
       {1010, "CFileSemaphore::HHTProcessCommand",
        "FAILED TO IMPORT TOHHT [Cmd=FileSize,File=a.bin,NumBytes=0]"},
       {1018, "CFileSemaphore::ActiveSyncFileSize", "FAILED TO GET FILE SIZE [a.bin]"}},
      {"SizeOS",
       [](CFileSemaphore& c) { return c.ActiveSyncSizeOS(); },
       {1010, "CFileSemaphore::HHTProcessCommand",
        "FAILED TO IMPORT TOHHT [Cmd=SizeOS,File=,NumBytes=0]"},
       {1018, "CFileSemaphore::ActiveSyncSizeOS", "FAILED TO GET SIZE OS"}},
      {"SizeGPS",
       [](CFileSemaphore& c) { return c.ActiveSyncSizeGPS(); },
       {1010, "CFileSemaphore::HHTProcessCommand",
        "FAILED TO IMPORT TOHHT [Cmd=???,File=,NumBytes=0]"},
       {1018, "CFileSemaphore::ActiveSyncSizeGPS", "FAILED TO GET SIZE GPS"}},
      {"SizeApp",
       [](CFileSemaphore& c) { return c.ActiveSyncSizeApp(); },
       {1010, "CFileSemaphore::HHTProcessCommand",
        "FAILED TO IMPORT TOHHT [Cmd=SizeApp,File=,NumBytes=0]"},
       {1018, "CFileSemaphore::ActiveSyncSizeApp", "FAILED TO GET SIZE APP"}},
      {"ReloadCache",
       [](CFileSemaphore& c) { return static_cast<uint32_t>(c.ReloadCache(262144)); },
       {1010, "CFileSemaphore::HHTProcessCommand",
        "FAILED TO IMPORT TOHHT [Cmd=ReadCache,File=,NumBytes=262144]"},
       {1010, "CFileSemaphore::ReloadCache", "FAILED TO READ FILE CACHE [] [262144]"}},
  };
  WriteFile("\\abort.me", "");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::size_t before = Errors().size();
    EXPECT_EQ(c.operation(m_channel), 0U);
    std::vector<LoggedError> errors = Errors();
    errors.erase(errors.begin(), errors.begin() + static_cast<std::ptrdiff_t>(before));
    // The request files of the earlier cancelled exchange are deleted first.
    if (before > 0) {
      ASSERT_GE(errors.size(), 2U);
      EXPECT_EQ(errors[0].number, 1037);
      EXPECT_EQ(errors[1].number, 1038);
      errors.erase(errors.begin(), errors.begin() + 2);
    }
    const std::vector<LoggedError> expected = {
        {1001, "CFileSemaphore::WaitAndImportDataFile", "Failed to get [\\tohht.ok]"},
        c.importFailure,
        c.own};
    EXPECT_EQ(errors, expected);
    ExpectLastError(c.own.number, c.own.message, c.own.function);
  }
  EXPECT_EQ(m_channel.m_nCacheStart, 0U);
  EXPECT_EQ(m_channel.m_nCacheLength, 0U);
}

TEST_F(ChannelTest, AbortMeFailsEveryExchangeAtOnceUntilTheMarkersAreDeleted) {
  WriteFile("\\abort.me", "x");
  const uint64_t start = Term().Now();
  for (int i = 0; i < 3; ++i) {
    CFileCommand command = Request(kCommandSizeOS);
    EXPECT_EQ(m_channel.HHTProcessCommand(command), 0);
    EXPECT_TRUE(Exists("\\abort.me")) << "a wait never deletes abort.me";
  }
  EXPECT_EQ(Term().Now(), start) << "no exchange waited";
  EXPECT_EQ(m_channel.IsAbortRequested(), 1);

  WriteFile("\\looking.no", "");
  m_channel.DeleteAbortFiles();
  EXPECT_FALSE(Exists("\\abort.me"));
  EXPECT_FALSE(Exists("\\looking.no"));
  EXPECT_EQ(m_channel.IsAbortRequested(), 0);
  m_channel.DeleteAbortFiles();  // nothing left to delete

  ScriptedDesktop desktop(Term(), {{Reply::Kind::kAnswer, Le32(99)}});
  CFileCommand command = Request(kCommandSizeOS);
  EXPECT_EQ(m_channel.HHTProcessCommand(command), 1);
  EXPECT_EQ(command.m_nResponseValue, 99U);
}

TEST_F(ChannelTest, LookingNoEndsOneWaitAndIsDeleted) {
  ScriptedDesktop desktop(Term(), {{Reply::Kind::kLookingNo}, {Reply::Kind::kAnswer, Le32(5)}});
  CFileCommand first = Request(kCommandSizeOS);
  EXPECT_EQ(m_channel.HHTProcessCommand(first), 0);
  EXPECT_FALSE(Exists("\\looking.no"));
  EXPECT_EQ(Errors().front(), (LoggedError{1001, "CFileSemaphore::WaitAndImportDataFile",
                                           "Failed to get [\\tohht.ok]"}));

  // The next exchange waits for its answer as usual.
  const uint64_t start = Term().Now();
  CFileCommand second = Request(kCommandSizeOS);
  EXPECT_EQ(m_channel.HHTProcessCommand(second), 1);
  EXPECT_EQ(second.m_nResponseValue, 5U);
  EXPECT_EQ(Term().Now() - start, 100U) << "one poll of 100 ms";
}

TEST_F(ChannelTest, AFlagThatCannotYetBeDeletedIsRetriedAtOnce) {
  ScriptedDesktop desktop(Term(), {{Reply::Kind::kAnswer, Le32(8), {}, false, 250}});
  const uint64_t start = Term().Now();
  CFileCommand command = Request(kCommandSizeApp);
  EXPECT_EQ(m_channel.HHTProcessCommand(command), 1);
  EXPECT_EQ(command.m_nResponseValue, 8U);
  // The desktop answered within the first poll and let go of the flag 250 ms later; polling
  // would have found it free only at the third poll, 300 ms after the request.
  const uint64_t released = desktop.ReleasedAt();
  EXPECT_GT(released, start + 200);
  EXPECT_LE(Term().Now() - released, 1U);
  EXPECT_FALSE(Exists("\\tohht.ok"));
  EXPECT_TRUE(Errors().empty());
}

TEST_F(ChannelTest, LeftoverRequestFilesAreDeletedBeforeTheNextRequest) {
  WriteFile("\\fromhht.txt", "stale request");
  WriteFile("\\fromhht.ok", "stale");
  ScriptedDesktop desktop(Term(), {{Reply::Kind::kAnswer, Le32(1)}});
  CFileCommand command = Request(kCommandFinished);
  EXPECT_EQ(m_channel.HHTProcessCommand(command), 1);
  const std::vector<LoggedError> expected = {
      {1037, "CFileSemaphore::CreateDataFile",
       "Data file already exists [\\fromhht.txt], Deleting it."},
      {1038, "CFileSemaphore::CreateDataFile",
       "Flag file already exists [\\fromhht.ok], Deleting it."}};
  EXPECT_EQ(Errors(), expected);
  ASSERT_EQ(desktop.Seen().size(), 1U);
  EXPECT_EQ(desktop.Seen()[0].data, Le32(1));
}

TEST_F(ChannelTest, ARequestFileThatCannotBeCreatedEndsTheExchangeWithoutWaiting) {
  const struct {
    const char* readOnly;
    std::vector<LoggedError> errors;
  } cases[] = {
      {"\\fromhht.txt",
       {{1037, "CFileSemaphore::CreateDataFile",
         "Data file already exists [\\fromhht.txt], Deleting it."},
        {1005, "CFileSemaphore::CreateDataFile", "Failed to create data [\\fromhht.txt]"},
        {1007, "CFileSemaphore::HHTProcessCommand",
         "FAILED TO CREATE FROMHHT [Cmd=ReadCache,File=,NumBytes=512]"}}},
      {"\\fromhht.ok",
       {{1038, "CFileSemaphore::CreateDataFile",
         "Flag file already exists [\\fromhht.ok], Deleting it."},
        {1005, "CFileSemaphore::CreateDataFile", "Failed to create flag [\\fromhht.ok]"},
        {1007, "CFileSemaphore::HHTProcessCommand",
         "FAILED TO CREATE FROMHHT [Cmd=ReadCache,File=,NumBytes=512]"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.readOnly);
    WriteFile(kLog, "");
    WriteFile(c.readOnly, "");
    MakeReadOnly(c.readOnly);
    const uint64_t start = Term().Now();
    CFileCommand command = Request(kCommandReadCache, "", 512);
    EXPECT_EQ(m_channel.HHTProcessCommand(command), 0);
    EXPECT_EQ(command.m_bRequest, 1) << "the request never went out";
    EXPECT_EQ(Term().Now(), start);
    EXPECT_EQ(Errors(), c.errors);
    ASSERT_TRUE(Term().Files().SetAttributes(c.readOnly, platform::kAttributeNormal));
    ASSERT_TRUE(Term().Files().Delete(c.readOnly));
    Term().Files().Delete("\\fromhht.txt");
  }
}

TEST_F(ChannelTest, AResponseFlagWithoutDataFailsTheImport) {
  WriteFile("\\tohht.ok", "");
  CFileCommand command = Request(kCommandSizeOS);
  EXPECT_EQ(m_channel.HHTProcessCommand(command), 0);
  const std::vector<LoggedError> expected = {
      {1001, "CFileSemaphore::ImportDataFile", "Failed to import data [\\tohht.txt]"},
      {1001, "CFileSemaphore::WaitAndImportDataFile", "Failed to import [\\tohht.ok]"},
      {1010, "CFileSemaphore::HHTProcessCommand",
       "FAILED TO IMPORT TOHHT [Cmd=SizeOS,File=,NumBytes=0]"}};
  EXPECT_EQ(Errors(), expected);
  EXPECT_FALSE(Exists("\\tohht.ok"));
}

TEST_F(ChannelTest, AResponseThatCannotBeDeletedIsReportedAndStillAnswers) {
  WriteFile("\\tohht.txt", Le32(31));
  MakeReadOnly("\\tohht.txt");
  WriteFile("\\tohht.ok", "");
  CFileCommand command = Request(kCommandFileSize, "x");
  EXPECT_EQ(m_channel.HHTProcessCommand(command), 1);
  EXPECT_EQ(command.m_nResponseValue, 31U);
  const std::vector<LoggedError> expected = {
      {1023, "CFileSemaphore::ImportDataFile", "FAILED TO DELETE '\\tohht.txt'"}};
  EXPECT_EQ(Errors(), expected);
}

}  // namespace
