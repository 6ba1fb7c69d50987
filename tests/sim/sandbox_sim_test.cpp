// The simulated terminal as a sandbox: whatever its files, its terminal.json or a package say,
// nothing outside the terminal's folder changes, nothing it keeps is lost, and nothing waits
// for ever.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/types.h"
#include "sim/config.h"
#include "sim/desktop_peer.h"
#include "sim/file_system.h"
#include "sim/registry.h"
#include "sim/state_file.h"
#include "support/package_builder.h"
#include "support/terminal_fixture.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ReadHostFile;
using testing_support::TempDir;
using testing_support::WriteHostFile;

// --- writes outside the terminal -------------------------------------------------------------

// fs/ holds a link to a host folder and one to a host file, as a careless user or a hostile
// archive might leave them: the terminal neither lists, reads, writes nor deletes through them.
TEST(SandboxWritesOutside, SymbolicLinksInTheFileSystemAreNeverFollowed) {
  TempDir dir;
  const fs::path root = dir.Path() / "fs";
  const fs::path outside = dir.Path() / "host";
  fs::create_directories(root / "Apps");
  fs::create_directories(outside);
  WriteHostFile(outside / "precious.txt", "keep me");
  fs::create_directory_symlink(outside, root / "Apps" / "linked");
  fs::create_symlink(outside / "precious.txt", root / "Apps" / "file.txt");
  sim::SimFileSystem files(root);

  std::vector<platform::FindEntry> entries;
  EXPECT_FALSE(files.FindAll("\\Apps\\linked\\*.*", &entries));
  EXPECT_FALSE(files.FindAll("\\Apps\\*.*", &entries));  // the links are not listed
  EXPECT_EQ(platform::GetLastError(), platform::kErrorFileNotFound);
  EXPECT_FALSE(files.Delete("\\Apps\\linked\\precious.txt"));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorAccessDenied);
  EXPECT_EQ(files.Open("\\Apps\\linked\\new.txt", platform::kGenericWrite, 0,
                       platform::Disposition::kCreateAlways, 0),
            platform::kInvalidHandle);
  EXPECT_EQ(files.Open("\\Apps\\file.txt", platform::kGenericWrite, 0,
                       platform::Disposition::kCreateAlways, 0),
            platform::kInvalidHandle);
  EXPECT_EQ(files.OpenText("\\Apps\\file.txt", platform::TextMode::kAppend), platform::kNullHandle);
  EXPECT_FALSE(files.Move("\\Apps\\linked", "\\Apps\\moved"));
  EXPECT_FALSE(files.CreateFolder("\\Apps\\linked\\sub"));
  EXPECT_FALSE(files.SetAttributes("\\Apps\\file.txt", platform::kAttributeReadOnly));

  EXPECT_EQ(ReadHostFile(outside / "precious.txt"), "keep me");
  EXPECT_FALSE(fs::exists(outside / "new.txt"));
  EXPECT_FALSE(fs::exists(outside / "sub"));
}

TEST(SandboxWritesOutside, TerminalPathsInTheConfigurationStayInside) {
  for (const char* bad : {R"({"program": "\\..\\..\\host\\VostrelHHT.exe"})",
                          R"({"program": "\\Storage Card\\..\\..\\VostrelHHT.exe"})",
                          R"({"folders": ["\\Flash Disk2", "\\..\\escape"]})",
                          R"({"program": "\\.\\VostrelHHT.exe"})"}) {
    SCOPED_TRACE(bad);
    const auto config = sim::ParseConfig(nlohmann::json::parse(bad));
    ASSERT_FALSE(config);
    EXPECT_NE(config.error().find("leaves the terminal's file system"), std::string::npos)
        << config.error();
  }
}

// --- data lost -------------------------------------------------------------------------------

// The host refuses to let the process write more than a few kilobytes, as a full disk would.
class FullDisk {
 public:
  explicit FullDisk(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &m_saved);
    m_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = m_saved;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FullDisk() {
    ::setrlimit(RLIMIT_FSIZE, &m_saved);
    std::signal(SIGXFSZ, m_handler);
  }

 private:
  rlimit m_saved{};
  void (*m_handler)(int) = nullptr;
};

TEST(SandboxDataLost, StateFilesAreReplacedWholeOrNotAtAll) {
  TempDir dir;
  const fs::path file = dir.Path() / "registry.json";
  WriteHostFile(file, "{}\n");
  sim::SimRegistry registry(file);
  ASSERT_TRUE(registry.Load().ok());
  for (int i = 0; i < 200; ++i) {
    registry.SetString("Software\\Key" + std::to_string(i), "Value", std::string(100, 'v'));
  }
  {
    const FullDisk full(4096);
    EXPECT_NE(registry.Flush(), 0U);
  }
  EXPECT_EQ(ReadHostFile(file), "{}\n");
  EXPECT_NE(registry.SaveError().find(file.string() + ": cannot be written (File too large)"),
            std::string::npos)
      << registry.SaveError();
  EXPECT_FALSE(fs::exists(file.string() + ".new"));
  EXPECT_EQ(registry.Flush(), 0U);  // room again: the whole file is written
  EXPECT_GT(fs::file_size(file), 20000u);
}

// --- failures reported as success ------------------------------------------------------------

TEST(SandboxFailures, OnlyATestMayServeAPackageWhoseChecksumFails) {
  TempDir dir;
  std::string package = testing_support::BuildPackage({{"Vostrel.ini", "[x]\r\n"}});
  package[package.size() - 1] ^= 1;
  WriteHostFile(dir.Path() / "bad.bin", package);
  sim::DesktopConfig config;
  EXPECT_FALSE(sim::DesktopPeer::Open(dir.Path() / "bad.bin", config));
  config.allowBadChecksum = true;
  EXPECT_TRUE(sim::DesktopPeer::Open(dir.Path() / "bad.bin", config));
}

}  // namespace
