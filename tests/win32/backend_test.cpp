// The Win32 backend under Wine: what the updater relies on from Windows itself (the file system's
// semantics, the registry, named events, process snapshots, CryptoAPI) and what the backend adds
// (terminal paths, registry.json, the RAM model).
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "text/text.h"
#include "win32/crypto.h"
#include "win32/files.h"
#include "win32/kernel.h"
#include "win32/registry.h"
#include "win32/win_api.h"

namespace {

namespace fs = std::filesystem;

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

class Win32BackendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    m_dir = fs::temp_directory_path() / "vostrel-win32-tests" / test->name();
    std::error_code error;
    fs::remove_all(m_dir, error);
    fs::create_directories(m_dir / "fs" / "Flash Disk2");
  }
  void TearDown() override {
    // Files made read-only by a test must be writable again to go.
    for (const auto& entry : fs::recursive_directory_iterator(m_dir)) {
      SetFileAttributesW(entry.path().wstring().c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    std::error_code error;
    fs::remove_all(m_dir, error);
  }

  platform::Handle Create(win32::Win32FileSystem& files, const std::string& path,
                          uint32_t share = platform::kShareNone) {
    return files.Open(path, platform::kGenericWrite, share, platform::Disposition::kCreateAlways,
                      platform::kAttributeNormal);
  }

  fs::path m_dir;
};

TEST_F(Win32BackendTest, FilesFailWithTheTerminalsErrorCodes) {
  win32::Win32FileSystem files((m_dir / "fs").wstring());
  platform::Handle file = Create(files, "\\Flash Disk2\\a.txt");
  ASSERT_NE(file, platform::kInvalidHandle);
  uint32_t written = 0;
  ASSERT_TRUE(files.Write(file, "abc", 3, &written));

  // Open without sharing: a second open and a deletion meet a sharing violation.
  EXPECT_EQ(files.Open("\\flash disk2\\A.TXT", platform::kGenericRead, platform::kShareRead,
                       platform::Disposition::kOpenExisting, 0),
            platform::kInvalidHandle);
  EXPECT_EQ(platform::GetLastError(), platform::kErrorSharingViolation);
  EXPECT_FALSE(files.Delete("\\Flash Disk2\\a.txt"));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorSharingViolation);
  ASSERT_TRUE(files.Close(file));

  // Read-only is enforced: not for writing, not to be deleted.
  ASSERT_TRUE(files.SetAttributes("\\Flash Disk2\\a.txt", platform::kAttributeReadOnly));
  EXPECT_NE(files.GetAttributes("\\Flash Disk2\\a.txt") & platform::kAttributeReadOnly, 0U);
  EXPECT_EQ(files.Open("\\Flash Disk2\\a.txt", platform::kGenericWrite, platform::kShareNone,
                       platform::Disposition::kOpenExisting, 0),
            platform::kInvalidHandle);
  EXPECT_EQ(platform::GetLastError(), platform::kErrorAccessDenied);
  EXPECT_FALSE(files.Delete("\\Flash Disk2\\a.txt"));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorAccessDenied);
  ASSERT_TRUE(files.SetAttributes("\\Flash Disk2\\a.txt", platform::kAttributeNormal));

  // Names that exist, folders that are missing or not empty.
  ASSERT_NE(file = Create(files, "\\Flash Disk2\\b.txt"), platform::kInvalidHandle);
  files.Close(file);
  EXPECT_FALSE(files.Move("\\Flash Disk2\\a.txt", "\\Flash Disk2\\B.TXT"));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorAlreadyExists);
  EXPECT_FALSE(files.CreateFolder("\\Flash Disk2"));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorAlreadyExists);
  EXPECT_FALSE(files.CreateFolder("\\Missing\\Folder"));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorPathNotFound);
  EXPECT_FALSE(files.RemoveFolder("\\Flash Disk2"));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorDirNotEmpty);
  EXPECT_EQ(files.GetAttributes("\\Flash Disk2\\none.txt"), platform::kInvalidValue);
  EXPECT_EQ(platform::GetLastError(), platform::kErrorFileNotFound);
  EXPECT_EQ(files.GetAttributes("\\None\\none.txt"), platform::kInvalidValue);
  EXPECT_EQ(platform::GetLastError(), platform::kErrorPathNotFound);
}

TEST_F(Win32BackendTest, PathsStayInsideTheTerminalAndVolumesCanBeUnmounted) {
  win32::Win32FileSystem files((m_dir / "fs").wstring());
  for (const char* path : {"\\Flash Disk2\\..\\..\\outside.txt", "C:\\outside.txt", "relative.txt",
                           "\\Flash Disk2/x.txt"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(Create(files, path), platform::kInvalidHandle);
    EXPECT_EQ(platform::GetLastError(), platform::kErrorInvalidName);
  }
  files.SetUnmounted({"\\Flash Disk2"});
  EXPECT_EQ(Create(files, "\\flash disk2\\x.txt"), platform::kInvalidHandle);
  EXPECT_EQ(platform::GetLastError(), platform::kErrorPathNotFound);
  files.SetUnmounted({});
  const platform::Handle file = Create(files, "\\flash disk2\\x.txt");
  EXPECT_NE(file, platform::kInvalidHandle);
  files.Close(file);
}

TEST_F(Win32BackendTest, FindMatchesAsTheTerminalDoes) {
  win32::Win32FileSystem files((m_dir / "fs").wstring());
  for (const char* name : {"setup", "Setup.exe", "readme.txt"}) {
    files.Close(Create(files, std::string("\\Flash Disk2\\") + name));
  }
  std::vector<platform::FindEntry> entries;
  const auto names = [&entries] {
    std::vector<std::string> found;
    for (const auto& entry : entries) found.push_back(entry.name);
    std::sort(found.begin(), found.end(), [](const std::string& a, const std::string& b) {
      return text::ToUpper(a) < text::ToUpper(b);
    });
    return found;
  };
  ASSERT_TRUE(files.FindAll("\\Flash Disk2\\*.*", &entries));
  EXPECT_EQ(names(), (std::vector<std::string>{"readme.txt", "setup", "Setup.exe"}));
  ASSERT_TRUE(files.FindAll("\\Flash Disk2\\SETUP.*", &entries));
  EXPECT_EQ(names(), (std::vector<std::string>{"setup", "Setup.exe"}));
  ASSERT_TRUE(files.FindAll("\\Flash Disk2\\??????.txt", &entries));
  EXPECT_EQ(names(), (std::vector<std::string>{"readme.txt"}));
  EXPECT_FALSE(files.FindAll("\\Flash Disk2\\*.bin", &entries));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorFileNotFound);
  EXPECT_FALSE(files.FindAll("\\Missing\\*.*", &entries));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorPathNotFound);
}

TEST_F(Win32BackendTest, TextStreamsWriteLineEndsAsCrLf) {
  win32::Win32FileSystem files((m_dir / "fs").wstring());
  platform::Handle stream = files.OpenText("\\Flash Disk2\\log.txt", platform::TextMode::kCreate);
  ASSERT_NE(stream, platform::kNullHandle);
  files.WriteText(stream, "one\ntwo\n");
  files.CloseText(stream);
  stream = files.OpenText("\\Flash Disk2\\log.txt", platform::TextMode::kAppend);
  files.WriteText(stream, "thr\xC3\xA9\xC3\xA9\n");
  files.CloseText(stream);
  EXPECT_EQ(ReadFile(m_dir / "fs" / "Flash Disk2" / "log.txt"),
            "one\r\ntwo\r\nthr\xC3\xA9\xC3\xA9\r\n");
}

TEST_F(Win32BackendTest, RegistryIsSharedWithRegistryJson) {
  {
    std::ofstream(m_dir / "registry.json")
        << R"({"Tavimon\\VersionInfo": {"Version": "1.0.0"}, "Drivers\\Active\\02": {"Hnd": 7}})";
  }
  {
    win32::Win32Registry registry(m_dir);
    std::string why;
    ASSERT_TRUE(registry.Open(&why)) << why;
    EXPECT_EQ(registry.GetString("Tavimon\\VersionInfo", "Version"), "1.0.0");
    platform::Handle key = 0;
    ASSERT_EQ(registry.OpenKey("\\Drivers\\Active", &key), 0U);
    std::string name;
    EXPECT_EQ(registry.EnumKey(key, 0, &name), 0U);
    EXPECT_EQ(name, "02");
    EXPECT_EQ(registry.EnumKey(key, 1, &name), 259U);
    registry.CloseKey(key);
    ASSERT_EQ(registry.OpenKey("Tavimon\\VersionInfo", &key), 0U);
    uint32_t type = 0;
    uint8_t data[4];
    uint32_t size = sizeof data;
    EXPECT_EQ(registry.QueryValue(key, "Version", &type, data, &size), 234U);
    EXPECT_EQ(size, 12U);  // "1.0.0" in UTF-16 with its terminator
    registry.CloseKey(key);
    registry.SetString("Update\\Start", "Name", "x");
    EXPECT_EQ(registry.Flush(), 0U);
  }
  const auto saved = nlohmann::json::parse(ReadFile(m_dir / "registry.json"));
  EXPECT_EQ(saved["Tavimon\\VersionInfo"]["Version"], "1.0.0");
  EXPECT_EQ(saved["Drivers\\Active\\02"]["Hnd"], 7);
  EXPECT_EQ(saved["Update\\Start"]["Name"], "x");

  // The simulator changed the file meanwhile: the next program of the terminal sees the change.
  { std::ofstream(m_dir / "registry.json") << R"({"Tavimon\\VersionInfo": {"Version": "2.0"}})"; }
  win32::Win32Registry registry(m_dir);
  std::string why;
  ASSERT_TRUE(registry.Open(&why)) << why;
  EXPECT_EQ(registry.GetString("Tavimon\\VersionInfo", "Version"), "2.0");
  EXPECT_EQ(registry.GetString("Update\\Start", "Name"), "");
}

class Win32KernelTest : public Win32BackendTest {
 protected:
  void SetUp() override {
    Win32BackendTest::SetUp();
    m_config.totalPages = 1024;
    m_config.storePages = 512;
    m_config.programUsed = 0;
  }
  sim::MemoryConfig m_config;
};

TEST_F(Win32KernelTest, ServesEventsSnapshotsProgramsAndTheHeap) {
  win32::Win32FileSystem files((m_dir / "fs").wstring());
  sim::SimMemory memory(m_config, win32::LocalHeap());
  sim::DebugLog debug(m_dir / "debug.log");
  ASSERT_TRUE(debug.Open());
  win32::Win32Kernel kernel(files, memory, debug, "\\Storage Card\\VostrelHHT.exe", {});

  // A named event is one object for every handle that names it.
  const platform::Handle first = kernel.CreateEvent("RERUNNER_STOP", false, false);
  const platform::Handle second = kernel.CreateEvent("RERUNNER_STOP", false, false);
  ASSERT_NE(first, platform::kNullHandle);
  ASSERT_TRUE(kernel.SetEvent(first));
  EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(second), 0), WAIT_OBJECT_0);
  kernel.CloseHandle(first);
  kernel.CloseHandle(second);

  // The snapshot begins with the kernel's own entry, which readers skip, then this program.
  const platform::Handle snapshot = kernel.CreateProcessSnapshot();
  ASSERT_NE(snapshot, platform::kInvalidHandle);
  platform::ProcessEntry entry;
  ASSERT_TRUE(kernel.ProcessAt(snapshot, 0, &entry));
  EXPECT_EQ(entry.processId, 0U);
  bool self = false;
  for (uint32_t i = 1; kernel.ProcessAt(snapshot, i, &entry); ++i) {
    self = self || entry.processId == GetCurrentProcessId();
  }
  EXPECT_EQ(platform::GetLastError(), platform::kErrorNoMoreFiles);
  EXPECT_TRUE(self);
  EXPECT_TRUE(kernel.CloseSnapshot(snapshot));

  EXPECT_FALSE(kernel.CreateProcess("\\Flash Disk2\\rerunner.exe", ""));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorFileNotFound);
  EXPECT_EQ(kernel.GetModuleFileName(), "\\Storage Card\\VostrelHHT.exe");

  // Program memory is what the division leaves: 512 pages of 4 KiB.
  void* block = kernel.LocalAlloc(platform::kLptr, 2U << 20);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(static_cast<uint8_t*>(block)[100], 0);
  EXPECT_EQ(kernel.LocalAlloc(platform::kLmemFixed, 1U << 20), nullptr);
  EXPECT_EQ(platform::GetLastError(), platform::kErrorNotEnoughMemory);
  EXPECT_EQ(kernel.LocalFree(block), nullptr);

  kernel.DebugOutput("line one\r\n");
  EXPECT_EQ(debug.Text(), "line one\r\n");
}

TEST(Win32CryptoTest, DecryptsAsTheTerminalsProviderDoes) {
  win32::Win32Crypto crypto;
  platform::Handle key = platform::kNullHandle;
  const std::string material = "Mesa cap";
  ASSERT_EQ(crypto.DeriveDesKey(reinterpret_cast<const uint8_t*>(material.data()), 8, &key),
            platform::KeySetup::kReady);
  // "QUJD" with its padding, encrypted by the host tools' DES with this key material.
  uint8_t chunk[] = {0x8e, 0x64, 0xd7, 0x89, 0xed, 0xb4, 0x11, 0x27};
  uint32_t length = sizeof chunk;
  ASSERT_TRUE(crypto.DecryptFinal(key, chunk, &length));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(chunk), length), "QUJD");

  uint8_t wrong[] = {1, 2, 3, 4, 5, 6, 7, 8};
  length = sizeof wrong;
  EXPECT_FALSE(crypto.DecryptFinal(key, wrong, &length));
  uint8_t cut[7] = {};
  length = sizeof cut;
  EXPECT_FALSE(crypto.DecryptFinal(key, cut, &length));
  crypto.ReleaseKey(key);
}

// CryptoAPI's SHA-256 names a trusted key in the log; the Ed25519 check is the host side's own.
TEST(Win32CryptoTest, HashesAndChecksSignatures) {
  win32::Win32Crypto crypto;
  const std::unique_ptr<platform::Sha256> hash = crypto.NewSha256();
  ASSERT_NE(hash, nullptr);
  hash->Update(reinterpret_cast<const uint8_t*>("a"), 1);
  hash->Update(reinterpret_cast<const uint8_t*>("bc"), 2);
  const std::array<uint8_t, 32> abc = {0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea,
                                       0x41, 0x41, 0x40, 0xde, 0x5d, 0xae, 0x22, 0x23,
                                       0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17, 0x7a, 0x9c,
                                       0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};
  EXPECT_EQ(hash->Finish(), abc);

  // An openssl signature of "V" (tests/common/ed25519_test.cpp has the commands).
  const auto bytes = [](const std::string& hex) {
    std::vector<uint8_t> out;
    for (std::size_t i = 0; i < hex.size(); i += 2) {
      out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
  };
  const std::vector<uint8_t> key =
      bytes("7f35b6235e9ff139bbe0ad2b0a132e86961717eef1902786dae54ee493cdc01d");
  std::vector<uint8_t> signature = bytes(
      "6fa4dd6579d3c92da9b19b4f90202c7c4bcafff7eeffecd31218c9f135f1877a5a0d7feacf36f076a50ef10e5277"
      "3f54b73e85231ed7e1022910efcebf845006");
  const uint8_t message = 'V';
  EXPECT_TRUE(crypto.VerifyEd25519(key.data(), &message, 1, signature.data()));
  signature[40] ^= 4;
  EXPECT_FALSE(crypto.VerifyEd25519(key.data(), &message, 1, signature.data()));
}

}  // namespace
