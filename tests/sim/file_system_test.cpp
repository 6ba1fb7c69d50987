#include "sim/file_system.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "platform/types.h"

namespace {

namespace fs = std::filesystem;
using platform::Disposition;
using platform::kGenericRead;
using platform::kGenericWrite;
using platform::kInvalidHandle;
using platform::kShareRead;
using platform::kShareWrite;

constexpr sim::ProcessId kShell = 7;
constexpr uint32_t kReadWrite = kGenericRead | kGenericWrite;
constexpr uint32_t kShareAll = kShareRead | kShareWrite;

class SimFileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string temp = (fs::temp_directory_path() / "sim_fs_XXXXXX").string();
    ASSERT_NE(::mkdtemp(temp.data()), nullptr);
    m_root = temp;
    m_fs = std::make_unique<sim::SimFileSystem>(m_root);
  }

  void TearDown() override {
    m_fs.reset();
    // Give back the write bits that tests took away, so that an unprivileged run can clean up.
    for (const auto& entry : fs::recursive_directory_iterator(m_root)) {
      fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add);
    }
    fs::remove_all(m_root);
  }

  void Put(const std::string& relative, const std::string& content = "") {
    fs::create_directories((m_root / relative).parent_path());
    std::ofstream(m_root / relative, std::ios::binary) << content;
  }
  std::string Get(const std::string& relative) {
    std::ifstream in(m_root / relative, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  void Chmod(const std::string& relative, fs::perms perms, fs::perm_options options) {
    fs::permissions(m_root / relative, perms, options);
  }
  platform::Handle OpenRw(const std::string& path, Disposition disposition) {
    return m_fs->Open(path, kReadWrite, platform::kShareNone, disposition, 0);
  }
  std::vector<std::string> Names(const std::string& pattern) {
    std::vector<platform::FindEntry> entries;
    std::vector<std::string> names;
    if (m_fs->FindAll(pattern, &entries)) {
      for (const auto& entry : entries) names.push_back(entry.name);
    }
    return names;
  }

  fs::path m_root;
  std::unique_ptr<sim::SimFileSystem> m_fs;
};

#define EXPECT_ERROR(expr, failure, code)        \
  do {                                           \
    platform::SetLastError(0);                   \
    EXPECT_EQ((expr), (failure));                \
    EXPECT_EQ(platform::GetLastError(), (code)); \
  } while (false)

TEST_F(SimFileSystemTest, PathsIgnoreCaseAndKeepStoredCase) {
  Put("Flash Disk2/Data.bin", "1234");
  for (const char* path : {"\\Flash Disk2\\Data.bin", "\\flash disk2\\DATA.BIN",
                           "Flash disk2/data.bin", "\\\\FLASH DISK2\\\\data.Bin"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(m_fs->GetAttributes(path), platform::kAttributeArchive);
    EXPECT_EQ(m_fs->HostPath(path), m_root / "Flash Disk2" / "Data.bin");
  }
  EXPECT_EQ(m_fs->GetAttributes("\\flash disk2\\"), platform::kAttributeDirectory);
  EXPECT_EQ(m_fs->GetAttributes("\\"), platform::kAttributeDirectory);

  // Missing components keep the case they were given.
  const auto file = OpenRw("\\FLASH DISK2\\New.Txt", Disposition::kCreateNew);
  ASSERT_NE(file, kInvalidHandle);
  m_fs->Close(file);
  EXPECT_TRUE(fs::exists(m_root / "Flash Disk2" / "New.Txt"));

  // Folding goes beyond ASCII.
  ASSERT_TRUE(m_fs->CreateFolder("\\Übung Папка"));
  EXPECT_EQ(m_fs->GetAttributes("\\üBUNG ПАПКА"), platform::kAttributeDirectory);

  // Host names that differ only in case: the exact name first, else the first in byte order.
  Put("b.txt", "lower");
  Put("B.TXT", "upper");
  EXPECT_EQ(m_fs->HostPath("\\b.txt"), m_root / "b.txt");
  EXPECT_EQ(m_fs->HostPath("\\b.Txt"), m_root / "B.TXT");
}

TEST_F(SimFileSystemTest, RefusesNamesTheTerminalCannotHold) {
  Put("a.txt");
  for (const char* path : {"\\a*b.txt", "\\a?b", "\\a\"b", "\\a<b", "\\a>b", "\\a:b", "\\ta\tb",
                           "\\.\\a.txt", "\\x\\..\\a.txt", "\\C:\\a.txt"}) {
    SCOPED_TRACE(path);
    EXPECT_ERROR(OpenRw(path, Disposition::kCreateAlways), kInvalidHandle,
                 platform::kErrorInvalidName);
    EXPECT_ERROR(m_fs->CreateFolder(path), false, platform::kErrorInvalidName);
    EXPECT_ERROR(m_fs->Move("\\a.txt", path), false, platform::kErrorInvalidName);
  }
  EXPECT_ERROR(m_fs->GetAttributes("\\a.txt\\"), platform::kInvalidValue,
               platform::kErrorInvalidName);
  EXPECT_TRUE(m_fs->CreateFolder("\\pipe|name"));
}

TEST_F(SimFileSystemTest, FindAllMatchesPatternsSortedWithoutRegardToCase) {
  Put("dir/a.exe", "12345");
  Put("dir/a.exe1");
  Put("dir/B.EXE");
  Put("dir/readme");
  Put("dir/x.txt");
  fs::create_directory(m_root / "dir" / "Sub.exe");
  struct Case {
    const char* pattern;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {"\\dir\\*.*", {"a.exe", "a.exe1", "B.EXE", "readme", "Sub.exe", "x.txt"}},
      {"\\DIR\\*", {"a.exe", "a.exe1", "B.EXE", "readme", "Sub.exe", "x.txt"}},
      {"\\dir\\*.exe", {"a.exe", "B.EXE", "Sub.exe"}},
      {"\\dir\\?.EXE", {"a.exe", "B.EXE"}},
      {"\\dir\\a.exe?", {"a.exe1"}},
      {"\\dir\\*x*e", {"a.exe", "B.EXE", "Sub.exe"}},
      {"\\dir\\readme.*", {"readme"}},
      {"\\dir\\A.EXE", {"a.exe"}},
      {"\\dir\\sub.EXE", {"Sub.exe"}},
      {"\\dir\\?", {}},
      {"\\dir\\*.ex", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pattern);
    EXPECT_EQ(Names(c.pattern), c.names);
  }

  Chmod("dir/B.EXE", fs::perms::all, fs::perm_options::replace);
  Chmod("dir/B.EXE", fs::perms::owner_write, fs::perm_options::remove);
  std::vector<platform::FindEntry> entries;
  ASSERT_TRUE(m_fs->FindAll("dir\\*.exe", &entries));
  EXPECT_EQ(entries[0].attributes, platform::kAttributeArchive);
  EXPECT_EQ(entries[0].size, 5U);
  EXPECT_EQ(entries[1].attributes, platform::kAttributeArchive | platform::kAttributeReadOnly);
  EXPECT_EQ(entries[2].attributes, platform::kAttributeDirectory);

  EXPECT_ERROR(m_fs->FindAll("\\dir\\*.bin", &entries), false, platform::kErrorFileNotFound);
  EXPECT_TRUE(entries.empty());
  EXPECT_ERROR(m_fs->FindAll("\\dir\\", &entries), false, platform::kErrorFileNotFound);
  EXPECT_ERROR(m_fs->FindAll("\\none\\*.*", &entries), false, platform::kErrorPathNotFound);
  EXPECT_ERROR(m_fs->FindAll("\\dir\\x.txt\\*", &entries), false, platform::kErrorPathNotFound);
  EXPECT_ERROR(m_fs->FindAll("\\d*\\*.*", &entries), false, platform::kErrorInvalidName);
}

TEST_F(SimFileSystemTest, ReadOnlyIsEnforcedWhateverTheHostAllows) {
  Put("ro.bin", "data");
  ASSERT_TRUE(m_fs->SetAttributes("\\RO.BIN", platform::kAttributeReadOnly));
  EXPECT_EQ(fs::status(m_root / "ro.bin").permissions() & fs::perms::owner_write, fs::perms::none);
  EXPECT_EQ(m_fs->GetAttributes("\\ro.bin"),
            platform::kAttributeArchive | platform::kAttributeReadOnly);
  for (const Disposition disposition : {Disposition::kOpenExisting, Disposition::kOpenAlways}) {
    EXPECT_ERROR(m_fs->Open("\\ro.bin", kGenericWrite, kShareAll, disposition, 0), kInvalidHandle,
                 platform::kErrorAccessDenied);
  }
  for (const Disposition disposition :
       {Disposition::kCreateAlways, Disposition::kTruncateExisting}) {
    EXPECT_ERROR(m_fs->Open("\\ro.bin", kGenericRead, kShareAll, disposition, 0), kInvalidHandle,
                 platform::kErrorAccessDenied);
  }
  EXPECT_ERROR(m_fs->Delete("\\ro.bin"), false, platform::kErrorAccessDenied);
  EXPECT_ERROR(m_fs->OpenText("\\ro.bin", platform::TextMode::kAppend), platform::kNullHandle,
               platform::kErrorAccessDenied);
  EXPECT_EQ(Get("ro.bin"), "data");
  const auto reader =
      m_fs->Open("\\ro.bin", kGenericRead, kShareRead, Disposition::kOpenExisting, 0);
  EXPECT_TRUE(reader != kInvalidHandle && m_fs->Close(reader));

  // Renaming a read-only file is allowed; renaming onto one is not.
  Put("other.bin");
  EXPECT_ERROR(m_fs->Move("\\other.bin", "\\Ro.bin"), false, platform::kErrorAlreadyExists);
  ASSERT_TRUE(m_fs->Move("\\ro.bin", "\\kept.bin"));

  ASSERT_TRUE(m_fs->SetAttributes("\\kept.bin", platform::kAttributeNormal));
  EXPECT_EQ(m_fs->GetAttributes("\\kept.bin"), platform::kAttributeArchive);
  EXPECT_TRUE(m_fs->Delete("\\kept.bin"));

  // The host's own permission bit is the attribute.
  Chmod("other.bin", fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
        fs::perm_options::remove);
  EXPECT_ERROR(OpenRw("\\other.bin", Disposition::kOpenExisting), kInvalidHandle,
               platform::kErrorAccessDenied);

  // A new file marked read-only is still written through the handle that created it.
  const auto created = m_fs->Open("\\new.bin", kGenericWrite, platform::kShareNone,
                                  Disposition::kCreateNew, platform::kAttributeReadOnly);
  ASSERT_NE(created, kInvalidHandle);
  uint32_t written = 0;
  EXPECT_TRUE(m_fs->Write(created, "abc", 3, &written));
  m_fs->Close(created);
  EXPECT_EQ(Get("new.bin"), "abc");
  EXPECT_ERROR(OpenRw("\\new.bin", Disposition::kOpenExisting), kInvalidHandle,
               platform::kErrorAccessDenied);
}

TEST_F(SimFileSystemTest, ReadOnlyFolderCannotBeRemovedButTakesFiles) {
  ASSERT_TRUE(m_fs->CreateFolder("\\Locked"));
  ASSERT_TRUE(m_fs->SetAttributes("\\locked", platform::kAttributeReadOnly));
  EXPECT_EQ(m_fs->GetAttributes("\\locked"),
            platform::kAttributeDirectory | platform::kAttributeReadOnly);
  const auto file = OpenRw("\\locked\\inside.txt", Disposition::kCreateNew);
  EXPECT_NE(file, kInvalidHandle);
  m_fs->Close(file);
  ASSERT_TRUE(m_fs->Delete("\\locked\\inside.txt"));
  EXPECT_ERROR(m_fs->RemoveFolder("\\locked"), false, platform::kErrorAccessDenied);
}

TEST_F(SimFileSystemTest, SharingFollowsWindowsRulesAcrossProcesses) {
  Put("shared.bin", "x");
  struct Case {
    uint32_t heldAccess, heldShare, access, share;
    bool opens;
  };
  const Case cases[] = {
      {kGenericRead, kShareRead, kGenericRead, kShareRead, true},
      {kGenericRead, kShareRead, kGenericWrite, kShareAll, false},  // held does not share write
      {kGenericRead, kShareAll, kGenericWrite, kShareRead, true},
      {kGenericWrite, kShareAll, kGenericRead, kShareRead, false},  // new does not share write
      {kGenericRead, kShareAll, kGenericWrite, kShareAll, true},
      {kGenericWrite, kShareWrite, kGenericRead, kShareWrite, false},
      {kReadWrite, platform::kShareNone, kGenericRead, kShareAll, false},
      {kReadWrite, platform::kShareNone, 0, platform::kShareNone, true},  // query only
      {0, platform::kShareNone, kReadWrite, platform::kShareNone, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << std::hex << c.heldAccess << "/" << c.heldShare << " then "
                                      << c.access << "/" << c.share);
    const auto held = m_fs->OpenFor(kShell, "\\shared.bin", c.heldAccess, c.heldShare,
                                    Disposition::kOpenExisting, 0);
    ASSERT_NE(held, kInvalidHandle);
    platform::SetLastError(0);
    const auto opened =
        m_fs->Open("\\SHARED.bin", c.access, c.share, Disposition::kOpenExisting, 0);
    EXPECT_EQ(opened != kInvalidHandle, c.opens);
    if (opened == kInvalidHandle) {
      EXPECT_EQ(platform::GetLastError(), platform::kErrorSharingViolation);
    } else {
      m_fs->Close(opened);
    }
    m_fs->Close(held);
  }
}

TEST_F(SimFileSystemTest, OpenFilesCannotBeDeletedOrMoved) {
  Put("app/Shell.exe");
  const auto held = m_fs->OpenFor(kShell, "\\app\\shell.exe", kGenericRead, kShareRead,
                                  Disposition::kOpenExisting, 0);
  ASSERT_NE(held, kInvalidHandle);
  EXPECT_TRUE(m_fs->IsOpen("\\APP\\SHELL.EXE"));
  EXPECT_ERROR(m_fs->Delete("\\app\\shell.exe"), false, platform::kErrorSharingViolation);
  EXPECT_ERROR(m_fs->Move("\\app\\shell.exe", "\\app\\old.exe"), false,
               platform::kErrorSharingViolation);
  EXPECT_ERROR(m_fs->Move("\\app", "\\app2"), false, platform::kErrorSharingViolation);
  EXPECT_ERROR(m_fs->RemoveFolder("\\app"), false, platform::kErrorDirNotEmpty);
  EXPECT_ERROR(OpenRw("\\app\\shell.exe", Disposition::kCreateAlways), kInvalidHandle,
               platform::kErrorSharingViolation);

  const auto mine =
      m_fs->Open("\\app\\shell.exe", kGenericRead, kShareRead, Disposition::kOpenExisting, 0);
  ASSERT_NE(mine, kInvalidHandle);
  EXPECT_EQ(m_fs->OpenHandleCount(), 2U);
  EXPECT_EQ(m_fs->OpenHandleCount(kShell), 1U);
  m_fs->CloseAllOf(kShell);
  EXPECT_EQ(m_fs->OpenHandleCount(), 1U);
  EXPECT_ERROR(m_fs->Close(held), false, platform::kErrorInvalidHandle);
  EXPECT_TRUE(m_fs->Close(mine));
  EXPECT_FALSE(m_fs->IsOpen("\\app\\shell.exe"));
  EXPECT_TRUE(m_fs->Move("\\app", "\\app2"));
  EXPECT_TRUE(m_fs->Delete("\\app2\\shell.exe"));
}

TEST_F(SimFileSystemTest, HandlesReadWriteAndSeekOnTheirOwnPositions) {
  Put("f.bin", "0123456789");
  const auto a = m_fs->Open("\\f.bin", kReadWrite, kShareAll, Disposition::kOpenExisting, 0);
  const auto b = m_fs->Open("\\f.bin", kGenericRead, kShareAll, Disposition::kOpenExisting, 0);
  ASSERT_NE(a, kInvalidHandle);
  ASSERT_NE(b, kInvalidHandle);
  char buffer[16] = {};
  uint32_t count = 0;
  ASSERT_TRUE(m_fs->Read(a, buffer, 4, &count));
  EXPECT_EQ(std::string(buffer, count), "0123");
  ASSERT_TRUE(m_fs->Write(a, "ab", 2, &count));
  EXPECT_EQ(m_fs->Seek(a, 0, platform::SeekOrigin::kCurrent), 6U);
  ASSERT_TRUE(m_fs->Read(b, buffer, 16, &count));  // a short read at the end succeeds
  EXPECT_EQ(std::string(buffer, count), "0123ab6789");
  ASSERT_TRUE(m_fs->Read(b, buffer, 16, &count));
  EXPECT_EQ(count, 0U);

  EXPECT_EQ(m_fs->Seek(b, -3, platform::SeekOrigin::kEnd), 7U);
  EXPECT_EQ(m_fs->Seek(b, 2, platform::SeekOrigin::kBegin), 2U);
  EXPECT_ERROR(m_fs->Seek(b, -3, platform::SeekOrigin::kCurrent), platform::kInvalidValue, 131U);
  EXPECT_EQ(m_fs->Seek(a, 12, platform::SeekOrigin::kBegin), 12U);
  ASSERT_TRUE(m_fs->Write(a, "Z", 1, &count));
  EXPECT_EQ(m_fs->GetSize(b), 13U);

  EXPECT_ERROR(m_fs->Write(b, "x", 1, &count), false, platform::kErrorAccessDenied);
  const auto query = m_fs->Open("\\f.bin", 0, 0, Disposition::kOpenExisting, 0);
  EXPECT_ERROR(m_fs->Read(query, buffer, 1, &count), false, platform::kErrorAccessDenied);
  for (const auto handle : {a, b, query}) EXPECT_TRUE(m_fs->Close(handle));
  EXPECT_ERROR(m_fs->Read(a, buffer, 1, &count), false, platform::kErrorInvalidHandle);
  EXPECT_ERROR(m_fs->GetSize(a), platform::kInvalidValue, platform::kErrorInvalidHandle);
}

// The terminal's sizes and positions are unsigned 32-bit numbers; a host whose file offsets are
// signed 32-bit ones would stop at 2 GiB. The file is sparse.
TEST_F(SimFileSystemTest, SizesAndPositionsReachPastTwoGibibytes) {
  constexpr uint32_t kFar = 0xC0000000;
  {
    std::ofstream out(m_root / "big.bin", std::ios::binary);
    out.seekp(kFar);
    out << "far";
  }
  std::vector<platform::FindEntry> entries;
  ASSERT_TRUE(m_fs->FindAll("\\big.bin", &entries));
  EXPECT_EQ(entries.at(0).size, kFar + 3);
  const auto file = OpenRw("\\big.bin", Disposition::kOpenExisting);
  ASSERT_NE(file, kInvalidHandle);
  EXPECT_EQ(m_fs->GetSize(file), kFar + 3);
  EXPECT_EQ(m_fs->Seek(file, -3, platform::SeekOrigin::kEnd), kFar);
  char buffer[8] = {};
  uint32_t count = 0;
  ASSERT_TRUE(m_fs->Read(file, buffer, sizeof buffer, &count));
  EXPECT_EQ(std::string(buffer, count), "far");
  ASSERT_TRUE(m_fs->Write(file, "!", 1, &count));
  EXPECT_EQ(m_fs->GetSize(file), kFar + 4);
  EXPECT_TRUE(m_fs->Close(file));
}

TEST_F(SimFileSystemTest, FailuresReportTheTerminalsErrorCodes) {
  Put("dir/a.txt", "a");
  Put("dir/b.txt", "b");
  const auto opens = [this](const char* path, Disposition disposition) {
    const auto file = OpenRw(path, disposition);
    return file != kInvalidHandle && m_fs->Close(file);
  };
  struct Case {
    const char* what;
    std::function<bool()> call;
    uint32_t error;
  };
  const Case cases[] = {
      {"create new, exists", [&] { return opens("\\DIR\\A.TXT", Disposition::kCreateNew); }, 80},
      {"open missing", [&] { return opens("\\dir\\none", Disposition::kOpenExisting); }, 2},
      {"truncate missing", [&] { return opens("\\dir\\none", Disposition::kTruncateExisting); }, 2},
      {"create, no folder", [&] { return opens("\\none\\a", Disposition::kCreateAlways); }, 3},
      {"file as folder", [&] { return opens("\\dir\\a.txt\\x", Disposition::kOpenAlways); }, 3},
      {"open a folder", [&] { return opens("\\dir", Disposition::kOpenExisting); }, 5},
      {"file named as folder", [&] { return opens("\\new\\", Disposition::kCreateNew); }, 123},
      {"delete missing", [&] { return m_fs->Delete("\\dir\\none"); }, 2},
      {"delete, no folder", [&] { return m_fs->Delete("\\none\\a.txt"); }, 3},
      {"delete a folder", [&] { return m_fs->Delete("\\dir"); }, 5},
      {"move missing", [&] { return m_fs->Move("\\dir\\none", "\\x"); }, 2},
      {"move, no folder", [&] { return m_fs->Move("\\none\\a.txt", "\\x"); }, 3},
      {"move onto a name", [&] { return m_fs->Move("\\dir\\a.txt", "\\dir\\B.TXT"); }, 183},
      {"move onto a folder", [&] { return m_fs->Move("\\dir\\a.txt", "\\Dir"); }, 183},
      {"move to no folder", [&] { return m_fs->Move("\\dir\\a.txt", "\\none\\a.txt"); }, 3},
      {"move into itself", [&] { return m_fs->Move("\\dir", "\\dir\\sub"); }, 5},
      {"folder exists", [&] { return m_fs->CreateFolder("\\DIR\\"); }, 183},
      {"file exists", [&] { return m_fs->CreateFolder("\\dir\\a.txt"); }, 183},
      {"folder, no parent", [&] { return m_fs->CreateFolder("\\none\\sub"); }, 3},
      {"remove non-empty", [&] { return m_fs->RemoveFolder("\\dir"); }, 145},
      {"remove a file", [&] { return m_fs->RemoveFolder("\\dir\\a.txt"); }, 267},
      {"remove missing", [&] { return m_fs->RemoveFolder("\\gone"); }, 2},
      {"remove, no parent", [&] { return m_fs->RemoveFolder("\\gone\\sub"); }, 3},
      {"attributes missing", [&] { return m_fs->SetAttributes("\\dir\\none", 0); }, 2},
      {"attributes, no folder", [&] { return m_fs->SetAttributes("\\none\\a", 0); }, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_ERROR(c.call(), false, c.error);
  }
  EXPECT_EQ(Get("dir/a.txt"), "a");
  EXPECT_EQ(Get("dir/b.txt"), "b");
}

TEST_F(SimFileSystemTest, ReplacingAndRenaming) {
  Put("dir/a.txt", "a");
  Put("dir/b.txt", "b");
  // The "always" dispositions report whether the file was already there.
  auto file = OpenRw("\\dir\\b.txt", Disposition::kCreateAlways);
  EXPECT_EQ(platform::GetLastError(), platform::kErrorAlreadyExists);
  EXPECT_EQ(m_fs->GetSize(file), 0U);
  m_fs->Close(file);
  file = OpenRw("\\dir\\fresh.bin", Disposition::kOpenAlways);
  EXPECT_EQ(platform::GetLastError(), platform::kErrorSuccess);
  m_fs->Close(file);

  // A change of case renames the entry itself.
  ASSERT_TRUE(m_fs->Move("\\dir\\a.txt", "\\DIR\\A.Txt"));
  EXPECT_EQ(Names("\\dir\\*.txt"), (std::vector<std::string>{"A.Txt", "b.txt"}));
  ASSERT_TRUE(m_fs->Move("\\dir", "\\Moved"));
  EXPECT_EQ(Get("Moved/A.Txt"), "a");
  ASSERT_TRUE(m_fs->CreateFolder("\\moved\\Empty\\"));
  EXPECT_TRUE(m_fs->RemoveFolder("\\MOVED\\empty"));
}

TEST_F(SimFileSystemTest, TextStreamsWriteCrLfAndAppend) {
  auto stream = m_fs->OpenText("\\log.txt", platform::TextMode::kCreate);
  ASSERT_NE(stream, platform::kNullHandle);
  ASSERT_TRUE(m_fs->WriteText(stream, "one\ntwo\r\nÄ"));
  ASSERT_TRUE(m_fs->CloseText(stream));
  EXPECT_EQ(Get("log.txt"), "one\r\ntwo\r\r\n\xC3\x84");

  stream = m_fs->OpenText("\\LOG.TXT", platform::TextMode::kAppend);
  ASSERT_TRUE(m_fs->WriteText(stream, "\n"));
  // Text streams share both ways, so the file can be read while the log is open.
  const auto reader =
      m_fs->Open("\\log.txt", kGenericRead, kShareAll, Disposition::kOpenExisting, 0);
  EXPECT_NE(reader, kInvalidHandle);
  m_fs->Close(reader);
  ASSERT_TRUE(m_fs->CloseText(stream));
  EXPECT_EQ(Get("log.txt"), "one\r\ntwo\r\r\n\xC3\x84\r\n");

  stream = m_fs->OpenText("\\log.txt", platform::TextMode::kCreate);
  ASSERT_TRUE(m_fs->CloseText(stream));
  EXPECT_EQ(Get("log.txt"), "");
  stream = m_fs->OpenText("\\new.txt", platform::TextMode::kAppend);
  ASSERT_TRUE(m_fs->CloseText(stream));
  EXPECT_TRUE(fs::exists(m_root / "new.txt"));

  fs::create_directory(m_root / "dir");
  EXPECT_ERROR(m_fs->OpenText("\\dir", platform::TextMode::kAppend), platform::kNullHandle,
               platform::kErrorAccessDenied);
  EXPECT_ERROR(m_fs->OpenText("\\none\\x.txt", platform::TextMode::kCreate), platform::kNullHandle,
               platform::kErrorPathNotFound);
  const auto exclusive = OpenRw("\\log.txt", Disposition::kOpenExisting);
  EXPECT_ERROR(m_fs->OpenText("\\log.txt", platform::TextMode::kAppend), platform::kNullHandle,
               platform::kErrorSharingViolation);
  m_fs->Close(exclusive);
}

class RecordingDevice : public sim::Device {
 public:
  bool Open(uint32_t access, uint32_t) override {
    if (m_refuse) {
      platform::SetLastError(platform::kErrorAccessDenied);
      return false;
    }
    m_lastAccess = access;
    ++m_opens;
    return true;
  }
  void Close() override { ++m_closes; }
  bool Write(const void* buffer, uint32_t count, uint32_t* written) override {
    m_received.append(static_cast<const char*>(buffer), count);
    *written = count;
    return true;
  }

  bool m_refuse = false;
  uint32_t m_lastAccess = 0;
  int m_opens = 0;
  int m_closes = 0;
  std::string m_received;
};

TEST_F(SimFileSystemTest, DeviceNamesOpenRegisteredDevices) {
  RecordingDevice gps;
  m_fs->RegisterDevice("GPS1:", &gps);
  const auto handle = m_fs->Open("\\gps1:", kReadWrite, 0, Disposition::kOpenExisting, 0);
  ASSERT_NE(handle, kInvalidHandle);
  EXPECT_EQ(m_fs->DeviceOf(handle), &gps);
  EXPECT_EQ(gps.m_lastAccess, kReadWrite);
  uint32_t count = 0;
  ASSERT_TRUE(m_fs->Write(handle, "$PING", 5, &count));
  EXPECT_EQ(gps.m_received, "$PING");
  char buffer[4];
  // What the device does not offer fails as not supported.
  EXPECT_ERROR(m_fs->Read(handle, buffer, 4, &count), false, platform::kErrorNotSupported);
  EXPECT_TRUE(m_fs->Close(handle));
  EXPECT_EQ(gps.m_closes, 1);

  const auto owned = m_fs->OpenFor(kShell, "GPS1:", kGenericRead, 0, Disposition::kOpenExisting, 0);
  ASSERT_NE(owned, kInvalidHandle);
  m_fs->CloseAllOf(kShell);
  EXPECT_EQ(gps.m_closes, 2);

  gps.m_refuse = true;
  EXPECT_ERROR(m_fs->Open("GPS1:", kReadWrite, 0, Disposition::kOpenExisting, 0), kInvalidHandle,
               platform::kErrorAccessDenied);
  EXPECT_ERROR(m_fs->Open("COM9:", kReadWrite, 0, Disposition::kOpenExisting, 0), kInvalidHandle,
               platform::kErrorFileNotFound);
  EXPECT_EQ(m_fs->OpenHandleCount(), 0U);
}

}  // namespace
