// Package members read as files, locally and through the desktop's read cache, with the
// progress of the update phases and the process-wide interface.
#include "package/file_virtual.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/vostrel_app.h"
#include "desktop/desktop_support.h"
#include "package/container_bytes.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "sim/desktop_peer.h"
#include "support/terminal_fixture.h"
#include "ui/controls.h"
#include "ui/dialog.h"
#include "ui/message.h"
#include "utils/utils.h"

namespace {

using container_bytes::Le32;
using desktop_testing::LoggedError;
using desktop_testing::PackageMember;
using desktop_testing::RandomBytes;
using desktop_testing::Reply;
using desktop_testing::ScriptedDesktop;

using desktop_testing::kLog;
constexpr const char* kLocalPackage = "\\Storage Card\\install.bin";
constexpr const char* kDesktopPackage = "\\install.bin";
constexpr uint32_t kCacheSize = 4096;

const char kOsAndGpsSettings[] =
    "[SoftwareToUpdate]\r\nUpdate1=OS\r\nUpdate2=GPS\r\n"
    "[OS]\r\nOSSoftware1=OS|1.0.6|EBOOT2.NB0^0^BOOT\r\nOSSoftware2=OS|4.2.121|nk.bin^1^KRNL\r\n"
    "OSSoftware3=OS|4.2.122|broken-command\r\n"
    "[GPS]\r\nGpsSoftware1=GPS|3.2.5|GPS\\fw.bin^FIRMWARE\r\n";

// A progress bar that remembers every position it was sent.
class RecordingBar : public ui::ProgressCtrl {
 public:
  explicit RecordingBar(ui::Dialog& parent) : ui::ProgressCtrl(parent, 7, 0, 0, 5, 5, true) {}
  intptr_t OnMessage(const ui::Message& message) override {
    if (message.message == ui::kPbmSetPos) sent.push_back(static_cast<int>(message.wParam));
    return ui::ProgressCtrl::OnMessage(message);
  }
  std::vector<int> sent;
};

class BarDialog : public ui::Dialog {
 public:
  BarDialog() : ui::Dialog(1, "", 10, 10, false), bar(*this) {}
  RecordingBar bar;
};

class FileVirtualTest : public testing_support::TerminalTest {
 protected:
  void SetUp() override {
    TerminalTest::SetUp();
    StartUpdaterObjects(3);
    m_members = {
        {"Vostrel.ini", kOsAndGpsSettings},
        {"NK.BIN", RandomBytes(10000, 1)},
        {"EBOOT2.NB0", RandomBytes(kCacheSize + 1, 2)},
        {"GPS\\fw.bin", RandomBytes(kCacheSize, 3)},
        {"empty.txt", ""},
        {"one", "1"},
    };
    m_package = desktop_testing::BuildPackage(m_members);
    ASSERT_FALSE(m_package.empty());
    WriteFile(kLocalPackage, m_package);
    const std::filesystem::path host = Dir() / "install.bin";
    testing_support::WriteHostFile(host, m_package);
    m_hostPackage = host;
    State().m_strPackagePath = kLocalPackage;
    g_pSettings->LoadFromBytes(kOsAndGpsSettings);
  }

  std::vector<LoggedError> Errors() { return desktop_testing::LoggedErrors(ReadFile(kLog)); }
  std::vector<std::string> Entries() { return desktop_testing::LogEntries(ReadFile(kLog)); }
  void ClearLog() {
    LogAppError(0, "", "");
    WriteFile(kLog, "");
  }
  void ExpectLastError(int32_t number, const std::string& message, const std::string& function) {
    EXPECT_EQ(g_pUtils->LastError().m_nLastError, number);
    EXPECT_EQ(g_pUtils->LastError().m_strLastError, message);
    EXPECT_EQ(g_pUtils->LastError().m_strLastErrorFunction, function);
  }
  CVirtualFiles& Files() { return Context().m_files; }
  PhaseProgress& Progress() { return Context().m_files.Progress(); }
  uint32_t OffsetOf(const std::string& name) {
    CFileAccess access;
    access.SetContainerPath(kLocalPackage);
    access.LoadFileHeaders();
    return access.GetFileHeader(name)->Offset;
  }
  std::unique_ptr<sim::SimDesktop> StartDesktop(sim::DesktopConfig config = {}) {
    if (config.cacheSize == sim::DesktopConfig{}.cacheSize) config.cacheSize = kCacheSize;
    auto started = sim::SimDesktop::Start(Term().Files(), Term().Clock(), m_hostPackage, config);
    EXPECT_TRUE(started.ok()) << started.error();
    return started.ok() ? std::move(*started) : nullptr;
  }
  // Reads the open member to its end in reads of `chunk` bytes.
  static std::string ReadAll(CFileVirtual& file, uint32_t chunk) {
    std::string contents;
    std::vector<uint8_t> buffer(chunk);
    for (;;) {
      uint32_t read = 0;
      if (file.HHTFileRead(buffer.data(), chunk, &read) == 0) return "(read failed)";
      if (read == 0) return contents;
      contents.append(reinterpret_cast<const char*>(buffer.data()), read);
    }
  }

  std::vector<PackageMember> m_members;
  std::string m_package;
  std::filesystem::path m_hostPackage;
};

// ---- local mode ----

TEST_F(FileVirtualTest, LocalReadsEndWithTheRestThenZeroBytes) {
  const uint32_t offset = OffsetOf("EBOOT2.NB0");
  ClearLog();
  CFileVirtual file(0, kLocalPackage, &Progress());
  ASSERT_EQ(file.HHTFileOpen("eboot2.nb0"), 1);
  const std::string& expected = m_members[2].contents;
  std::vector<uint8_t> buffer(2048);
  uint32_t read = 0;
  std::string got;
  for (const uint32_t want : {2048U, 2048U, 1U, 0U, 0U}) {
    ASSERT_EQ(file.HHTFileRead(buffer.data(), 2048, &read), 1);
    EXPECT_EQ(read, want);
    got.append(reinterpret_cast<const char*>(buffer.data()), read);
  }
  EXPECT_TRUE(got == expected);
  EXPECT_EQ(file.HHTFileClose(), 1);
  const std::vector<std::string> entries = Entries();
  const std::string opened =
      "CFileVirtual::HHTFileOpen: Opened file for reading [\\Storage "
      "Card\\install.bin(eboot2.nb0)] "
      "Offset[" +
      std::to_string(offset) + "]";
  EXPECT_NE(std::find(entries.begin(), entries.end(), opened), entries.end());
  EXPECT_EQ(entries.back(),
            "CFileVirtual::HHTFileClose: Closed file [\\Storage Card\\install.bin]");
  EXPECT_TRUE(Errors().empty());
}

TEST_F(FileVirtualTest, LocalModeHoldsTheContainerWithoutSharingFromOpenToClose) {
  CFileVirtual file(0, kLocalPackage, &Progress());
  auto& fs = platform::Fs();
  const auto openShared = [&] {
    return fs.Open(kLocalPackage, platform::kGenericRead, platform::kShareRead,
                   platform::Disposition::kOpenExisting, platform::kAttributeNormal);
  };
  ASSERT_EQ(file.HHTFileOpen("NK.BIN"), 1);
  EXPECT_EQ(openShared(), platform::kInvalidHandle);
  EXPECT_EQ(platform::GetLastError(), platform::kErrorSharingViolation);

  // Opening the next member without closing the first does not lock itself out.
  ASSERT_EQ(file.HHTFileOpen("one"), 1);
  EXPECT_EQ(ReadAll(file, 100), "1");
  file.HHTFileClose();
  const platform::Handle handle = openShared();
  ASSERT_NE(handle, platform::kInvalidHandle);
  fs.Close(handle);
  EXPECT_TRUE(Errors().empty());
}

TEST_F(FileVirtualTest, LocalOpenFailuresLeaveNothingOpen) {
  CFileVirtual file(0, kLocalPackage, &Progress());
  EXPECT_EQ(file.HHTFileOpen("missing.bin"), 0);
  ExpectLastError(1031, "Cannot find header for [missing.bin]", "CFileVirtual::HHTFileOpen:");
  EXPECT_FALSE(Term().Files().IsOpen(kLocalPackage));
  uint8_t buffer[8];
  uint32_t read = 7;
  EXPECT_EQ(file.HHTFileRead(buffer, 8, &read), 0);
  EXPECT_EQ(read, 0U);
  ExpectLastError(1034, "File not open [\\Storage Card\\install.bin][8]",
                  "CFileVirtual::HHTFileRead:");

  ClearLog();
  CFileVirtual nowhere(0, "\\Storage Card\\none.bin");
  EXPECT_EQ(nowhere.HHTFileOpen("NK.BIN"), 0);
  const std::vector<LoggedError> expected = {
      {1001, "CFileAccess::LoadFileHeaders:", "Failed to open [\\Storage Card\\none.bin] = (2)"},
      {1035, "CFileVirtual::SetupFileAccess:", "Cannot load header [\\Storage Card\\none.bin]"},
      {1032, "CFileVirtual::HHTFileOpen:", "Cannot open [\\Storage Card\\none.bin]"}};
  EXPECT_EQ(Errors(), expected);
}

TEST_F(FileVirtualTest, LocalSizesComeFromTheHeadersLoadedOnce) {
  CFileVirtual file(0, kLocalPackage, &Progress());
  EXPECT_EQ(file.HHTFileSize("nk.bin"), 10000U);
  // The headers stay loaded: the container may even go away.
  ASSERT_TRUE(Term().Files().Delete(kLocalPackage));
  EXPECT_EQ(file.HHTFileSize("GPS\\FW.BIN"), kCacheSize);
  EXPECT_EQ(file.HHTFileSize("not-there"), 0U);
  EXPECT_EQ(g_pUtils->LastError().m_nLastError, 0) << "a missing member is no error locally";
  EXPECT_EQ(file.SetupFileAccess(), 1);
  const std::vector<std::string> entries = Entries();
  EXPECT_EQ(std::count(entries.begin(), entries.end(),
                       "CFileAccess::LoadFileHeaders: Starting to load header"),
            1);
  EXPECT_EQ(std::count(entries.begin(), entries.end(),
                       "CFileVirtual::SetupFileAccess: Already have '6' headers from "
                       "[\\Storage Card\\install.bin]"),
            3);
  EXPECT_EQ(entries.front(),
            "CFileVirtual::SetupFileAccess: BIN file [\\Storage Card\\install.bin]");
}

// ---- progress ----

class ProgressTest : public FileVirtualTest {
 protected:
  void SetUp() override {
    FileVirtualTest::SetUp();
    g_pUtils->SetProgressCtrl(&m_dialog.bar);
  }
  void TearDown() override {
    g_pUtils->SetProgressCtrl(nullptr);
    FileVirtualTest::TearDown();
  }
  // Reads the given counts from NK.BIN after setting the phase's total.
  std::vector<int> ReadWithTotal(uint32_t total, const std::vector<uint32_t>& counts) {
    CFileVirtual file(0, kLocalPackage, &Progress());
    EXPECT_EQ(file.HHTFileOpen("NK.BIN"), 1);
    Progress().m_nProgressDone = 0;
    Progress().m_nProgressTotal = total;
    m_dialog.bar.sent.clear();
    std::vector<uint8_t> buffer(10000);
    for (const uint32_t count : counts) {
      uint32_t read = 0;
      EXPECT_EQ(file.HHTFileRead(buffer.data(), count, &read), 1);
    }
    return m_dialog.bar.sent;
  }

  BarDialog m_dialog;
};

TEST_F(ProgressTest, ThePercentageIsSentWhenItChanges) {
  const struct {
    const char* what;
    uint32_t total;
    std::vector<uint32_t> counts;
    std::vector<int> sent;
  } cases[] = {
      {"thirds of 1000", 1000, {333, 333, 334}, {33, 66, 100}},
      {"no change, no message", 1000, {1, 1, 1, 7, 1}, {0, 1}},
      {"single precision: 97 of 97 is 99", 97, {97}, {99}},
      {"more than the total", 100, {150}, {150}},
      {"a total of 0 never moves the bar", 0, {500, 500}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Progress().m_nLastPercent = -1;
    EXPECT_EQ(ReadWithTotal(c.total, c.counts), c.sent);
  }
  EXPECT_EQ(Progress().m_nProgressDone, 1000U) << "bytes are counted without a total too";
}

TEST_F(ProgressTest, AReadOfNothingLeavesTheProgressAlone) {
  CFileVirtual file(0, kLocalPackage, &Progress());
  ASSERT_EQ(file.HHTFileOpen("empty.txt"), 1);
  Progress().m_nProgressDone = 5;
  Progress().m_nProgressTotal = 10;
  Progress().m_nLastPercent = 20;
  uint8_t buffer[4];
  uint32_t read = 9;
  EXPECT_EQ(file.HHTFileRead(buffer, 4, &read), 1);
  EXPECT_EQ(read, 0U);
  EXPECT_EQ(Progress().m_nProgressDone, 5U);
  EXPECT_EQ(Progress().m_nLastPercent, 20);
  EXPECT_TRUE(m_dialog.bar.sent.empty());
}

TEST_F(ProgressTest, TheLastPercentageSurvivesIntoTheNextPhase) {
  EXPECT_EQ(Progress().m_nLastPercent, -1) << "at program start";
  EXPECT_EQ(ReadWithTotal(1000, {330}), std::vector<int>{33});
  // The sequence sets the bar between items; that does not count as sent.
  InterfaceSetProgress(0);
  EXPECT_EQ(m_dialog.bar.GetPos(), 0);
  EXPECT_EQ(Progress().m_nLastPercent, 33);
  // The next phase's first percentage equals the last one sent, so it is not sent again.
  EXPECT_EQ(ReadWithTotal(3000, {1000, 1000}), std::vector<int>{66});
}

TEST_F(ProgressTest, LocalPhaseTotalsCountTheMembersThatTheDefinitionsName) {
  CFileVirtual file(0, kLocalPackage, &Progress());
  Progress().m_nProgressDone = 77;
  file.StartProgressOS();
  EXPECT_EQ(Progress().m_nProgressDone, 0U);
  EXPECT_EQ(Progress().m_nProgressTotal, 10000U + kCacheSize + 1);
  file.StartProgressGPS();
  EXPECT_EQ(Progress().m_nProgressTotal, kCacheSize);
  const std::vector<std::string> entries = Entries();
  EXPECT_NE(std::find(entries.begin(), entries.end(),
                      "CFileVirtual::CalcProgressSizeOS: Total size of OS Update is [14097]"),
            entries.end());
  EXPECT_NE(std::find(entries.begin(), entries.end(),
                      "CFileVirtual::CalcProgressSizeGPS: Total size of GPS Update is [4096]"),
            entries.end());
  EXPECT_TRUE(Errors().empty()) << "the definition that does not split is passed over";
}

TEST_F(ProgressTest, AMissingMemberIsReportedAndCountsNothing) {
  g_pSettings->LoadFromBytes(
      "[OS]\r\nOSSoftware1=OS|1|GONE.NB0^0^BOOT\r\n[GPS]\r\nGpsSoftware1=GPS|1|gone.bin^BOOT\r\n");
  CFileVirtual file(0, kLocalPackage, &Progress());
  EXPECT_EQ(file.CalcProgressSizeOS(), 10000U + kCacheSize + 1);
  ExpectLastError(1036, "Cannot find os header [GONE.NB0]", "CFileVirtual::CalcProgressSizeOS:");
  EXPECT_EQ(file.CalcProgressSizeGPS(), kCacheSize);
  ExpectLastError(1036, "Cannot find GPS header [gone.bin]", "CFileVirtual::CalcProgressSizeGPS:");
}

// ---- the interface ----

TEST_F(FileVirtualTest, EntryPointsReportAnInterfaceThatIsNotStarted) {
  const struct {
    const char* operation;
    std::function<uint32_t()> call;
  } cases[] = {
      {"InterfaceOpenFile:",
       [this] { return static_cast<uint32_t>(InterfaceOpenFile(Files(), "NK.BIN")); }},
      {"InterfaceFileRead:",
       [this] {
         uint8_t buffer[4];
         uint32_t read = 3;
         const int result = InterfaceFileRead(Files(), buffer, 4, &read);
         return static_cast<uint32_t>(result) + read;
       }},
      {"InterfaceFileClose:",
       [this] { return static_cast<uint32_t>(InterfaceFileClose(Files())); }},
      {"InterfaceFileSize:", [this] { return InterfaceFileSize(Files(), "NK.BIN"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.operation);
    EXPECT_EQ(c.call(), 0U);
    ExpectLastError(1028, "Interface not started", c.operation);
  }

  InterfaceStart(Files());
  ASSERT_NE(Files().Instance(), nullptr);
  EXPECT_EQ(InterfaceFileSize(Files(), "NK.BIN"), 10000U);
  ASSERT_EQ(InterfaceOpenFile(Files(), "one"), 1);
  uint8_t byte = 0;
  uint32_t read = 0;
  EXPECT_EQ(InterfaceFileRead(Files(), &byte, 1, &read), 1);
  EXPECT_EQ(byte, '1');
  // A restart begins afresh: the member is closed, the container free.
  InterfaceStart(Files());
  EXPECT_FALSE(Term().Files().IsOpen(kLocalPackage));
  EXPECT_EQ(InterfaceFileRead(Files(), &byte, 1, &read), 0);
  InterfaceStop(Files());
  EXPECT_EQ(Files().Instance(), nullptr);
  EXPECT_EQ(InterfaceFileClose(Files()), 0);
}

// ---- desktop mode ----

TEST_F(FileVirtualTest, DesktopOpenAsksNothingAndSizesAskTheDesktop) {
  auto desktop = StartDesktop();
  CFileVirtual file(1, kDesktopPackage, &Progress());
  ASSERT_EQ(file.HHTFileOpen("NK.BIN"), 1);
  EXPECT_EQ(desktop->Peer().Exchanges(), 0U);
  EXPECT_EQ(file.Position(), OffsetOf("NK.BIN"));
  EXPECT_EQ(file.HHTFileOpen("gone"), 0);
  ExpectLastError(1031, "Cannot find cache header for [gone]", "CFileVirtual::HHTFileOpen:");
  EXPECT_EQ(file.HHTFileSize("eboot2.nb0"), kCacheSize + 1);
  EXPECT_EQ(file.HHTFileSize("gone"), 0U);
  EXPECT_EQ(desktop->Peer().Exchanges(), 2U);
  // A desktop read without an open member has nothing to read from.
  uint8_t buffer[4];
  uint32_t read = 0;
  EXPECT_EQ(file.HHTFileRead(buffer, 4, &read), 0);
  ExpectLastError(1034, "File not open [\\install.bin][4]", "CFileVirtual::HHTFileRead:");
}

TEST_F(FileVirtualTest, DesktopReadsInsideTheCacheSendNothingAndOthersReloadFromTheirOffset) {
  auto desktop = StartDesktop();
  CFileVirtual file(1, kDesktopPackage, &Progress());
  ASSERT_EQ(file.HHTFileOpen("NK.BIN"), 1);
  const uint32_t start = OffsetOf("NK.BIN");
  const std::string& contents = m_members[1].contents;
  const struct {
    uint32_t count;
    uint32_t exchanges;   // after the read
    uint32_t cacheStart;  // relative to the member
  } reads[] = {
      {4095, 1, 0},     // the first read fills the cache
      {1, 1, 0},        // ends exactly at the cache's end
      {1, 2, 4096},     // one byte past it: reloads from its own offset
      {4094, 2, 4096},  // inside
      {2, 3, 8191},     // starts inside, ends one byte past
  };
  uint32_t position = 0;
  for (const auto& r : reads) {
    SCOPED_TRACE(position);
    std::vector<uint8_t> buffer(r.count);
    uint32_t read = 0;
    ASSERT_EQ(file.HHTFileRead(buffer.data(), r.count, &read), 1);
    ASSERT_EQ(read, r.count);
    EXPECT_EQ(std::string(buffer.begin(), buffer.end()), contents.substr(position, r.count));
    position += read;
    EXPECT_EQ(desktop->Peer().Exchanges(), r.exchanges);
    EXPECT_EQ(file.Semaphore().m_nCacheStart, start + r.cacheStart);
    EXPECT_EQ(file.Semaphore().m_nCacheLength, kCacheSize);
  }
  // The last read was cut to the member's end.
  std::vector<uint8_t> buffer(5000);
  uint32_t read = 0;
  ASSERT_EQ(file.HHTFileRead(buffer.data(), 5000, &read), 1);
  EXPECT_EQ(read, 10000U - position);
  EXPECT_EQ(file.HHTFileRead(buffer.data(), 5000, &read), 1);
  EXPECT_EQ(read, 0U);
  EXPECT_EQ(desktop->Peer().Exchanges(), 3U);
  EXPECT_TRUE(Errors().empty());
}

TEST_F(FileVirtualTest, ADesktopThatFillsTooLittleFailsTheRead) {
  const struct {
    const char* what;
    sim::DesktopConfig config;
    uint32_t count;
    std::string message;
  } cases[] = {
      {"a fill one byte short",
       {.fillShortBy = 1},
       kCacheSize,
       "Not enough in cache  [Need=4096, InCache=4095]"},
      {"a fixed fill", {.fillSize = 100}, 101, "Not enough in cache  [Need=101, InCache=100]"},
      {"a read larger than the cache",
       {},
       kCacheSize + 1,
       "Not enough in cache  [Need=4097, InCache=4096]"},
      {"a response of 0 bytes",
       {.emptyResponseAt = 1},
       1,
       "Not enough in cache  [Need=1, InCache=0]"},
  };
  const uint32_t offset = OffsetOf("NK.BIN");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ClearLog();
    auto desktop = StartDesktop(c.config);
    CFileVirtual file(1, kDesktopPackage, &Progress());
    ASSERT_EQ(file.HHTFileOpen("NK.BIN"), 1);
    std::vector<uint8_t> buffer(c.count);
    uint32_t read = 9;
    EXPECT_EQ(file.HHTFileRead(buffer.data(), c.count, &read), 0);
    EXPECT_EQ(read, 0U);
    EXPECT_EQ(file.Position(), offset);
    const std::vector<LoggedError> expected = {
        {1039, "CFileSemaphore::ActiveSyncFileReadCache", c.message},
        {1033, "CFileVirtual::HHTFileRead:",
         "Failed to ActiveSync read [] Off=[" + std::to_string(offset) + "] Num=[" +
             std::to_string(c.count) + "]"}};
    EXPECT_EQ(Errors(), expected);
  }
}

TEST_F(FileVirtualTest, AFailedReloadKeepsTheOldCacheAndIsTriedAgain) {
  auto desktop = StartDesktop();
  CFileVirtual file(1, kDesktopPackage, &Progress());
  ASSERT_EQ(file.HHTFileOpen("NK.BIN"), 1);
  const uint32_t offset = OffsetOf("NK.BIN");
  std::vector<uint8_t> buffer(kCacheSize);
  uint32_t read = 0;
  ASSERT_EQ(file.HHTFileRead(buffer.data(), kCacheSize, &read), 1);

  ClearLog();
  WriteFile("\\abort.me", "");
  EXPECT_EQ(file.HHTFileRead(buffer.data(), 10, &read), 0);
  const std::string at = std::to_string(offset + kCacheSize);
  const std::vector<LoggedError> expected = {
      {1001, "CFileSemaphore::WaitAndImportDataFile", "Failed to get [\\tohht.ok]"},
      {1010, "CFileSemaphore::HHTProcessCommand",
       "FAILED TO IMPORT TOHHT [Cmd=ReadCache,File=,NumBytes=" + at + "]"},
      {1010, "CFileSemaphore::ReloadCache", "FAILED TO READ FILE CACHE [] [" + at + "]"},
      {1018, "CFileSemaphore::ActiveSyncFileReadCache", "FAILED TO LOAD CACHE [" + at + "]"},
      {1039, "CFileSemaphore::ActiveSyncFileReadCache",
       "Not enough in cache  [Need=10, InCache=4096]"},
      {1033,
       "CFileVirtual::HHTFileRead:", "Failed to ActiveSync read [] Off=[" + at + "] Num=[10]"},
  };
  EXPECT_EQ(Errors(), expected);
  EXPECT_EQ(file.Semaphore().m_nCacheStart, offset);
  EXPECT_EQ(file.Semaphore().m_hCacheFile, platform::kNullHandle);

  file.Semaphore().DeleteAbortFiles();
  ASSERT_EQ(file.HHTFileRead(buffer.data(), 10, &read), 1);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 10),
            m_members[1].contents.substr(kCacheSize, 10));
}

TEST_F(FileVirtualTest, ACacheFileThatCannotBeOpenedIsTriedAgainAfterTheNextReload) {
  const uint32_t one = OffsetOf("one");
  const uint32_t nk = OffsetOf("NK.BIN");
  ScriptedDesktop desktop(Term(), {{Reply::Kind::kAnswer, Le32(8), {}, true},
                                   {Reply::Kind::kAnswer, Le32(2), m_package.substr(nk, 2)}});
  WriteFile(kDesktopPackage, m_package);
  CFileVirtual file(1, kDesktopPackage, &Progress());
  ASSERT_EQ(file.HHTFileOpen("one"), 1);
  uint8_t bytes[2] = {};
  uint32_t read = 0;
  EXPECT_EQ(file.HHTFileRead(bytes, 1, &read), 0);
  ExpectLastError(1033, "Failed to ActiveSync read [] Off=[" + std::to_string(one) + "] Num=[1]",
                  "CFileVirtual::HHTFileRead:");
  const std::vector<LoggedError> errors = Errors();
  ASSERT_GE(errors.size(), 2U);
  EXPECT_EQ(errors[errors.size() - 2], (LoggedError{1010, "CFileSemaphore::ActiveSyncFileReadCache",
                                                    "Cache: Failed to read 1 from offset 0]"}));

  // The cache file becomes readable, but a read inside the cache does not open it again.
  ASSERT_TRUE(Term().Files().RemoveFolder("\\cache.bin"));
  WriteFile("\\cache.bin", m_package.substr(one, 8));
  EXPECT_EQ(file.HHTFileRead(bytes, 1, &read), 0);
  EXPECT_EQ(desktop.Seen().size(), 1U);

  // A read outside the cache reloads, and the file is opened afresh.
  ASSERT_EQ(file.HHTFileOpen("NK.BIN"), 1);
  ASSERT_EQ(file.HHTFileRead(bytes, 2, &read), 1);
  EXPECT_EQ(read, 2U);
  EXPECT_EQ(std::string(bytes, bytes + 2), m_members[1].contents.substr(0, 2));
  EXPECT_EQ(desktop.Seen().size(), 2U);
}

TEST_F(FileVirtualTest, DesktopPhaseTotalsEqualTheLocalOnes) {
  auto desktop = StartDesktop();
  CFileVirtual local(0, kLocalPackage, &Progress());
  CFileVirtual remote(1, kDesktopPackage, &Progress());
  local.StartProgressOS();
  const uint32_t localOS = Progress().m_nProgressTotal;
  remote.StartProgressOS();
  EXPECT_EQ(Progress().m_nProgressTotal, localOS);
  EXPECT_EQ(localOS, 10000U + kCacheSize + 1);
  // The desktop sends no field for GPS, so its phase shows no progress from the desktop.
  remote.StartProgressGPS();
  EXPECT_EQ(Progress().m_nProgressTotal, 0U);
  EXPECT_EQ(desktop->Peer().Exchanges(), 2U);
  EXPECT_TRUE(Errors().empty());
}

TEST_F(FileVirtualTest, EveryMemberReadsTheSameThroughTheDesktopAsLocally) {
  auto desktop = StartDesktop();
  for (const uint32_t chunk : {1000U, kCacheSize, 1U << 20}) {
    SCOPED_TRACE(chunk);
    CFileVirtual local(0, kLocalPackage, &Progress());
    CFileVirtual remote(1, kDesktopPackage, &Progress());
    for (const PackageMember& member : m_members) {
      SCOPED_TRACE(member.name);
      ASSERT_EQ(local.HHTFileOpen(member.name), 1);
      ASSERT_EQ(remote.HHTFileOpen(member.name), 1);
      const std::string viaDesktop = ReadAll(remote, std::min(chunk, kCacheSize));
      EXPECT_TRUE(ReadAll(local, chunk) == member.contents);
      EXPECT_TRUE(viaDesktop == member.contents);
      local.HHTFileClose();
      remote.HHTFileClose();
    }
  }
  EXPECT_TRUE(Errors().empty());
}

}  // namespace
