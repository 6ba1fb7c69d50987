// The desktop link between two real processes: `vostrel desktop serve` as a child process and
// a terminal on the host clock reading through the channel. The terminal's own 100 ms polls
// are the only waits, and a handful of exchanges keeps them short.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "desktop/desktop_support.h"
#include "package/file_semaphore.h"
#include "package/file_virtual.h"
#include "settings/settings.h"
#include "support/terminal_fixture.h"

namespace {

using desktop_testing::PackageMember;
using desktop_testing::RandomBytes;

std::string ReadMember(CFileVirtual& file, const std::string& name, uint32_t chunk) {
  if (file.HHTFileOpen(name) == 0) return "(open failed)";
  std::string contents;
  std::vector<uint8_t> buffer(chunk);
  for (;;) {
    uint32_t read = 0;
    if (file.HHTFileRead(buffer.data(), chunk, &read) == 0) return "(read failed)";
    if (read == 0) break;
    contents.append(reinterpret_cast<const char*>(buffer.data()), read);
  }
  file.HHTFileClose();
  return contents;
}

TEST(DesktopRealtimeTest, MembersReadFromAServingProcessEqualTheLocalReads) {
  testing_support::TempDir dir;
  const std::vector<PackageMember> members = {
      {"Vostrel.ini", "[SoftwareToUpdate]\r\nUpdate1=OS\r\n"},
      {"NK.BIN", RandomBytes(100 << 10, 11)},
      {"Apps\\Nav.exe", RandomBytes(150 << 10, 12)},
      {"EBOOT2.NB0", RandomBytes((64 << 10) + 1, 13)},
  };
  const std::string package = desktop_testing::BuildPackage(members);
  ASSERT_FALSE(package.empty());
  const std::filesystem::path packagePath = dir.Path() / "install.bin";
  testing_support::WriteHostFile(packagePath, package);

  desktop_testing::RealtimeTerminal terminal(dir.Path() / "terminal");
  ASSERT_EQ(terminal.Error(), "");
  testing_support::WriteHostFile(terminal.Term().Files().HostPath("\\Storage Card\\install.bin"),
                                 package);
  desktop_testing::ServeChild serve(VOSTREL_BINARY,
                                    {"desktop", "serve", "--package", packagePath.string(),
                                     "--root", terminal.Root().string(), "--cache-size", "64K"},
                                    terminal.Root(), dir.Path() / "serve.txt");
  ASSERT_TRUE(serve.Started());

  CFileVirtual local(0, "\\Storage Card\\install.bin");
  CFileVirtual remote(1, "\\install.bin");
  // The first answer also tells that the desktop has prepared the root folder.
  EXPECT_EQ(remote.HHTFileSize("NK.BIN"), 100U << 10);
  for (const PackageMember& member : members) {
    SCOPED_TRACE(member.name);
    const std::string viaDesktop = ReadMember(remote, member.name, 16 << 10);
    EXPECT_TRUE(ReadMember(local, member.name, 16 << 10) == member.contents);
    EXPECT_TRUE(viaDesktop == member.contents) << viaDesktop.substr(0, 40);
  }
  CFileSemaphore channel;
  CFileCommand finished;
  finished.m_bRequest = 1;
  finished.m_nCommand = kCommandFinished;
  EXPECT_EQ(channel.HHTProcessCommand(finished), 1);
  EXPECT_EQ(finished.m_bOk, 1);
  EXPECT_EQ(serve.Finish(), 0) << serve.Output();
  const std::string output = serve.Output();
  EXPECT_NE(output.find("#1 FileSize \"NK.BIN\" -> 102400"), std::string::npos) << output;
  EXPECT_NE(output.find("Finished -> Ok 1"), std::string::npos) << output;
  EXPECT_EQ(g_pUtils->LastError().m_nLastError, 0) << g_pUtils->LastError().m_strLastError;
}

}  // namespace
