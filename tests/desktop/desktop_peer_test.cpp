// The desktop's side of the channel serving a simulated terminal in virtual time: what it
// prepares, what it answers, the faults it can show, and a whole desktop-mode run.
#include "sim/desktop_peer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "desktop/desktop_support.h"
#include "package/container_format.h"
#include "package/file_access.h"
#include "package/file_semaphore.h"
#include "package/file_virtual.h"
#include "settings/settings.h"
#include "sim/config.h"
#include "sim/runner.h"
#include "support/terminal_fixture.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

using desktop_testing::LoggedError;
using desktop_testing::PackageMember;
using desktop_testing::RandomBytes;
using testing_support::ReadHostFile;
using testing_support::WriteHostFile;

using desktop_testing::kLog;
const char kOsSettings[] =
    "[SoftwareToUpdate]\r\nUpdate1=OS\r\n"
    "[OS]\r\nOSSoftware1=OS|9.0|EBOOT2.NB0^0^BOOT\r\nOSSoftware2=OS|9.0|NK.BIN^1^KRNL\r\n"
    "OSSoftware3=OS|9.0|MISSING.BIN^1^KRNL\r\n";

class DesktopPeerTest : public testing_support::TerminalTest {
 protected:
  void SetUp() override {
    TerminalTest::SetUp();
    StartUpdaterObjects(3);
    m_members = {{"Vostrel.ini", kOsSettings},
                 {"NK.BIN", RandomBytes(3000, 7)},
                 {"EBOOT2.NB0", RandomBytes(500, 8)}};
    UsePackage(m_members);
  }
  void UsePackage(const std::vector<PackageMember>& members) {
    m_package = desktop_testing::BuildPackage(members);
    ASSERT_FALSE(m_package.empty());
    m_packagePath = Dir() / "package.bin";
    WriteHostFile(m_packagePath, m_package);
  }
  std::unique_ptr<sim::SimDesktop> Start(sim::DesktopConfig config = {}) {
    if (config.cacheSize == sim::DesktopConfig{}.cacheSize) config.cacheSize = 1024;
    auto started = sim::SimDesktop::Start(Term().Files(), Term().Clock(), m_packagePath, config);
    EXPECT_TRUE(started.ok()) << started.error();
    return started.ok() ? std::move(*started) : nullptr;
  }
  std::vector<LoggedError> Errors() { return desktop_testing::LoggedErrors(ReadFile(kLog)); }
  // The desktop's log without the times.
  static std::vector<std::string> Lines(const sim::SimDesktop& desktop) {
    std::vector<std::string> lines;
    for (const std::string& line : desktop.Log()) lines.push_back(line.substr(line.find("] ") + 2));
    return lines;
  }
  static CFileCommand Request(uint32_t code, std::string name = {}) {
    CFileCommand command;
    command.m_bRequest = 1;
    command.m_nCommand = code;
    command.m_strName = std::move(name);
    return command;
  }

  std::vector<PackageMember> m_members;
  std::string m_package;
  std::filesystem::path m_packagePath;
  CFileSemaphore m_channel;
};

TEST_F(DesktopPeerTest, PreparesTheHeaderPartAndTheSettingsInTheRootFolder) {
  WriteFile("\\tohht.txt", "old");
  WriteFile("\\tohht.ok", "old");
  WriteFile("\\cache.bin", "old");
  auto desktop = Start();
  container::MemorySource source(
      {reinterpret_cast<const uint8_t*>(m_package.data()), m_package.size()});
  const container::HeaderTable table = container::ReadHeaders(source);
  ASSERT_TRUE(table.ok());
  EXPECT_EQ(ReadFile("\\install.bin"), m_package.substr(0, table.headerLength));
  EXPECT_EQ(ReadFile("\\Vostrel.ini"), kOsSettings);
  for (const char* stale : {"\\tohht.txt", "\\tohht.ok", "\\cache.bin"}) {
    EXPECT_FALSE(Exists(stale)) << stale;
  }
  // The terminal reads the same table from the header part as from the whole package.
  CFileAccess headers;
  headers.SetContainerPath("\\install.bin");
  ASSERT_EQ(headers.LoadFileHeaders(), 1);
  ASSERT_EQ(headers.HeaderCount(), table.entries.size());
  for (std::size_t i = 0; i < table.entries.size(); ++i) {
    EXPECT_EQ(headers.Headers()[i]->Name, table.entries[i].name);
    EXPECT_EQ(headers.Headers()[i]->Offset, table.entries[i].offset);
    EXPECT_EQ(headers.Headers()[i]->FileLen, table.entries[i].fileLen);
  }
  EXPECT_EQ(Lines(*desktop).front(),
            "prepared install.bin (the header part, " + std::to_string(table.headerLength) +
                " bytes of " + std::to_string(m_package.size()) + ", 3 members) and Vostrel.ini (" +
                std::to_string(sizeof kOsSettings - 1) + " bytes)");
}

TEST_F(DesktopPeerTest, APackageWithoutSettingsLeavesNoOldSettingsBehind) {
  WriteFile("\\Vostrel.ini", "from another package");
  UsePackage({{"NK.BIN", "kernel"}});
  auto desktop = Start();
  EXPECT_FALSE(Exists("\\Vostrel.ini"));
  EXPECT_THAT(Lines(*desktop).front(), HasSubstr("the package holds no Vostrel.ini"));
}

TEST_F(DesktopPeerTest, OpenRefusesWhatIsNoPackage) {
  const std::filesystem::path noise = Dir() / "noise.bin";
  WriteHostFile(noise, RandomBytes(100, 3));
  const struct {
    std::filesystem::path path;
    std::string message;
  } cases[] = {
      {Dir() / "absent.bin", "cannot be read"},
      {Dir(), "not a file"},
      {noise, "not an update package"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    auto peer = sim::DesktopPeer::Open(c.path, {});
    ASSERT_FALSE(peer.ok());
    EXPECT_NE(peer.error().find(c.message), std::string::npos) << peer.error();
  }
}

TEST_F(DesktopPeerTest, AnswersSizesAndPhaseTotalsAsTheTerminalComputesThem) {
  auto desktop = Start();
  EXPECT_EQ(m_channel.ActiveSyncFileSize("nk.bin"), 3000U);
  EXPECT_EQ(m_channel.ActiveSyncFileSize("Vostrel.ini"), sizeof kOsSettings - 1);
  EXPECT_EQ(m_channel.ActiveSyncFileSize("missing.bin"), 0U);
  // The local total over the same package (which reports the missing member).
  WriteFile("\\Storage Card\\install.bin", m_package);
  State().m_strPackagePath = "\\Storage Card\\install.bin";
  g_pSettings->LoadFromBytes(kOsSettings);
  const uint32_t local = CFileVirtual(0, State().m_strPackagePath).CalcProgressSizeOS();
  EXPECT_EQ(local, 3500U);
  EXPECT_EQ(m_channel.ActiveSyncSizeOS(), local);
  EXPECT_EQ(m_channel.ActiveSyncSizeGPS(), 0U);
  CFileCommand unknown = Request(kCommandClose);
  EXPECT_EQ(m_channel.HHTProcessCommand(unknown), 1);
  const std::vector<std::string> expected = {
      "#1 FileSize \"nk.bin\" -> 3000",
      "#2 FileSize \"Vostrel.ini\" -> " + std::to_string(sizeof kOsSettings - 1),
      "#3 FileSize \"missing.bin\" -> 0 (no such member)",
      "#4 SizeOS -> 3500",
      "#5 SizeGPS -> empty response",
      "#6 Close -> empty response to the unknown code 5",
  };
  const std::vector<std::string> lines = Lines(*desktop);
  EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), expected);
}

TEST_F(DesktopPeerTest, CacheFillsCopyStoredBytesUpToTheCacheSizeOrTheEnd) {
  auto desktop = Start();
  const uint32_t length = static_cast<uint32_t>(m_package.size());
  const struct {
    uint32_t offset;
    uint32_t count;
  } cases[] = {{0, 1024}, {100, 1024}, {length - 10, 10}, {length, 0}, {length + 5, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.offset);
    ASSERT_EQ(m_channel.ReloadCache(c.offset), 1);
    EXPECT_EQ(m_channel.m_nCacheStart, c.offset);
    EXPECT_EQ(m_channel.m_nCacheLength, c.count);
    EXPECT_EQ(ReadFile("\\cache.bin"), m_package.substr(std::min(c.offset, length), c.count));
  }
  EXPECT_EQ(Lines(*desktop)[1], "#1 ReadCache 0 -> 1024 bytes in cache.bin");
}

TEST_F(DesktopPeerTest, FinishedIsAnsweredWithOkAndEndsTheServing) {
  auto desktop = Start();
  CFileCommand finished = Request(kCommandFinished);
  EXPECT_EQ(m_channel.HHTProcessCommand(finished), 1);
  EXPECT_EQ(finished.m_bOk, 1);
  EXPECT_EQ(desktop->Ended(), sim::DesktopPeer::End::kFinished);
}

TEST_F(DesktopPeerTest, FaultsShowAsTheTerminalWouldMeetThem) {
  {
    SCOPED_TRACE("looking.no at the second exchange");
    auto desktop = Start({.lookingNoAt = 2});
    EXPECT_EQ(m_channel.ActiveSyncFileSize("NK.BIN"), 3000U);
    EXPECT_EQ(m_channel.ActiveSyncFileSize("NK.BIN"), 0U);
    EXPECT_FALSE(Exists("\\looking.no"));
    EXPECT_EQ(m_channel.ActiveSyncFileSize("NK.BIN"), 3000U);
    EXPECT_EQ(Lines(*desktop)[2],
              "#2 FileSize \"NK.BIN\": left looking.no instead of an answer (fault)");
  }
  {
    SCOPED_TRACE("a response of 0 bytes");
    auto desktop = Start({.emptyResponseAt = 1});
    const std::size_t errors = Errors().size();
    EXPECT_EQ(m_channel.ActiveSyncFileSize("NK.BIN"), 0U);
    EXPECT_EQ(Errors().size(), errors) << "an empty answer is an answer";
  }
  {
    SCOPED_TRACE("a held flag");
    auto desktop = Start({.holdFlagMs = 400});
    const uint64_t start = Term().Now();
    EXPECT_EQ(m_channel.ActiveSyncFileSize("NK.BIN"), 3000U);
    // Answered within the first poll, let go 400 ms later, taken at once.
    EXPECT_GE(Term().Now() - start, 400U);
    EXPECT_LT(Term().Now() - start, 420U);
    EXPECT_EQ(Lines(*desktop).back(), "#1 held tohht.ok for 400 ms (fault)");
  }
  {
    SCOPED_TRACE("answers stop after one exchange");
    auto desktop = Start({.stopAfter = 1, .abortAfterMs = 2000});
    EXPECT_EQ(m_channel.ActiveSyncFileSize("NK.BIN"), 3000U);
    const uint64_t start = Term().Now();
    EXPECT_EQ(m_channel.ActiveSyncSizeOS(), 0U);
    EXPECT_GE(Term().Now() - start, 1900U) << "the terminal waited until abort.me came";
    EXPECT_TRUE(Exists("\\abort.me"));
    EXPECT_EQ(desktop->Ended(), sim::DesktopPeer::End::kStopped);
    const std::vector<std::string> lines = Lines(*desktop);
    EXPECT_EQ(lines[lines.size() - 2], "answers no more after 1 exchanges (fault)");
    EXPECT_EQ(lines.back(), "left abort.me");
    m_channel.DeleteAbortFiles();
  }
}

TEST_F(DesktopPeerTest, ADesktopModeRunIsServedAndEndsWithFinished) {
  auto desktop = Start();
  auto keys = sim::ParseKeys("STOP");
  ASSERT_TRUE(keys.ok());
  sim::RunOptions options;
  options.commandLine = "ACTIVESYNC";
  options.keys = *keys;
  options.desktop = desktop.get();
  const sim::RunOutcome outcome = sim::RunUpdater(Term(), options);
  Term().Install();
  Term().Clock().AttachMainThread(sim::kUpdaterProcess);
  EXPECT_TRUE(outcome.desktopServed);
  ASSERT_FALSE(outcome.desktopLog.empty());
  EXPECT_THAT(outcome.desktopLog.back(), HasSubstr("Finished -> Ok 1"));
  EXPECT_EQ(desktop->Ended(), sim::DesktopPeer::End::kFinished);
  const nlohmann::json report = sim::ReportJson(Term(), outcome);
  EXPECT_EQ(report["desktop"]["log"].size(), outcome.desktopLog.size());
  EXPECT_EQ(Term().Files().OpenHandleCount(sim::kDesktopProcess), 0U);
}

TEST_F(DesktopPeerTest, TheDesktopSectionOfTerminalJsonIsReadAndChecked) {
  const nlohmann::json full = {{"desktop",
                                {{"cache_size", 65536U},
                                 {"stop_after", 3U},
                                 {"abort_after_ms", 0U},
                                 {"fill_short_by", 2U},
                                 {"fill_size", 100U},
                                 {"empty_response_at", 4U},
                                 {"hold_flag_ms", 50U},
                                 {"looking_no_at", 5U},
                                 {"allow_bad_checksum", true},
                                 {"change_served_again", "NK.BIN"}}}};
  auto parsed = sim::ParseConfig(full);
  ASSERT_TRUE(parsed.ok()) << parsed.error();
  const sim::DesktopConfig& desktop = parsed->Get<sim::DesktopConfig>();
  EXPECT_EQ(desktop.cacheSize, 65536U);
  EXPECT_EQ(desktop.stopAfter, 3U);
  EXPECT_EQ(desktop.abortAfterMs, 0U);
  EXPECT_EQ(desktop.fillShortBy, 2U);
  EXPECT_EQ(desktop.fillSize, 100U);
  EXPECT_EQ(desktop.emptyResponseAt, 4U);
  EXPECT_EQ(desktop.holdFlagMs, 50U);
  EXPECT_EQ(desktop.lookingNoAt, 5U);
  EXPECT_TRUE(desktop.allowBadChecksum);
  EXPECT_EQ(desktop.changeServedAgain, "NK.BIN");
  EXPECT_EQ(sim::ConfigToJson(*parsed)["desktop"], full["desktop"]);
  const sim::DesktopConfig defaults =
      sim::ParseConfig(nlohmann::json::object())->Get<sim::DesktopConfig>();
  EXPECT_EQ(defaults.cacheSize, 1U << 20);
  EXPECT_FALSE(defaults.stopAfter.has_value());

  const struct {
    nlohmann::json desktop;
    std::string message;
  } refused[] = {
      {{{"cache_size", 0U}}, "\"desktop.cache_size\": expected a number of bytes above 0"},
      {{{"cache_size", -1}}, "\"desktop.cache_size\": expected a number of bytes"},
      {{{"stop_after", "3"}}, "\"desktop.stop_after\": expected a number of exchanges"},
      {{{"hold_flag_ms", true}}, "\"desktop.hold_flag_ms\": expected a number of milliseconds"},
      {{{"fill", 1U}}, "\"desktop.fill\": unknown key"},
      {"fast", "\"desktop\": expected an object"},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.message);
    auto result = sim::ParseConfig({{"desktop", c.desktop}});
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().rfind(c.message, 0), 0U) << result.error();
  }
}

}  // namespace
