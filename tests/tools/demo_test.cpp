// vostrel demo as "make demo" runs it: both terminals end on screen 8 with all four parts at the
// package's versions, and the checks it prints hold; then the checks themselves, which must see
// any difference between what a terminal holds and what the package puts there.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "sim/terminal.h"
#include "support/command_test.h"
#include "tools/demo_check.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using testing_support::CommandResult;
using testing_support::ReadHostFile;
using testing_support::WriteHostFile;

namespace fs = std::filesystem;

int Count(const std::string& text, const std::string& what) {
  int count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

class DemoTest : public testing_support::CommandTest {};

TEST_F(DemoTest, UpdatesAllFourPartsInBothModesAndChecksWhatTheyHold) {
  const CommandResult demo = Vostrel("demo " + Q("d"));
  ASSERT_EQ(demo.exitCode, 0) << demo.out << demo.err;
  EXPECT_THAT(demo.out, HasSubstr("2. Terminal mode"));
  EXPECT_THAT(demo.out, HasSubstr("3. Desktop mode"));
  EXPECT_EQ(Count(demo.out, "6 ScreenUpdatingOS -> 8 ScreenSuccess"), 2) << demo.out;
  EXPECT_EQ(Count(demo.out, "3 ScreenWelcome -> 5 ScreenNothingToUpdate"), 2) << demo.out;
  for (const char* row : {"boot loader    1.0.2      1.0.6      1.0.6",
                          "kernel         1.0.5      4.2.121    4.2.121",
                          "application    1.0.0      2.1.0      2.1.0",
                          "GPS firmware   3.2.4      3.3.0      3.3.0"}) {
    EXPECT_EQ(Count(demo.out, row), 2) << row;
  }
  EXPECT_EQ(Count(demo.out, "ok   partition KRNL"), 2);
  EXPECT_EQ(Count(demo.out, "ok   partition BOOT"), 2);
  EXPECT_EQ(Count(demo.out, "ok   GPS flash"), 2);
  EXPECT_THAT(demo.out, Not(HasSubstr("FAIL")));

  // The package that a release engineer would ship is sound.
  const CommandResult checked = Vostrel("pack check " + Q("d/install.bin"));
  EXPECT_EQ(checked.exitCode, 0) << checked.out;

  // The checks on the terminal the demo left: each sees a change of one byte.
  auto terminal = sim::Terminal::Open(Path("d/terminal"));
  ASSERT_TRUE(terminal) << terminal.error();
  const fs::path payload = Path("d/package/payload");
  tools::DemoPackage package{Path("d/install.bin"), Path("d/package"),
                             payload / "GPS" / "VGPS_330.BIN", payload / "EBOOT2.NB0",
                             payload / "NK.BIN"};
  for (const tools::DemoCheck& check : tools::CheckDemoUpdate(**terminal, package)) {
    EXPECT_TRUE(check.holds) << check.what << ": " << check.detail;
  }
  const auto flipped = [&](const fs::path& file, std::size_t at) {
    std::string bytes = ReadHostFile(file);
    bytes[at] = static_cast<char>(bytes[at] ^ 0x40);
    const fs::path copy = Path("changed") / file.filename();
    WriteHostFile(copy, bytes);
    return copy;
  };
  const auto failing = [&](const tools::DemoPackage& changed) {
    std::string failed;
    for (const tools::DemoCheck& check : tools::CheckDemoUpdate(**terminal, changed)) {
      if (!check.holds) failed += check.what + ": " + check.detail + "\n";
    }
    return failed;
  };
  tools::DemoPackage kernel = package;
  kernel.kernelImage = flipped(package.kernelImage, 15 + 12 + 100);  // the first record's data
  EXPECT_EQ(failing(kernel),
            "partition KRNL: differs from NK.BIN's 24 records placed from 0x80200000 at byte "
            "100\n");
  tools::DemoPackage boot = package;
  boot.bootImage = flipped(package.bootImage, 70000);
  EXPECT_EQ(failing(boot), "partition BOOT: differs from EBOOT2.NB0 at byte 70000\n");
  tools::DemoPackage gps = package;
  gps.gpsFirmware = flipped(package.gpsFirmware, 5);
  EXPECT_EQ(failing(gps), "GPS flash: differs from VGPS_330.BIN at byte 5\n");

  const fs::path routing = (*terminal)->Files().HostPath("\\Flash Disk2\\Navigator\\Routing.dll");
  WriteHostFile(routing, ReadHostFile(routing) + "!");
  EXPECT_THAT(failing(package), HasSubstr("\\Flash Disk2\\Navigator\\Routing.dll: 70 bytes "
                                          "differ from Navigator\\Routing.dll"));
  fs::remove(routing);
  EXPECT_THAT(failing(package), HasSubstr("\\Flash Disk2\\Navigator\\Routing.dll: missing"));
}

}  // namespace
