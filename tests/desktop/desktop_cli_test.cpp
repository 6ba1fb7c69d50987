// vostrel desktop and the desktop side of vostrel sim run, as users run them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "desktop/desktop_support.h"
#include "support/command_test.h"
#include "support/terminal_fixture.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

using testing_support::CommandResult;
using testing_support::ReadHostFile;
using testing_support::TempDir;
using testing_support::WriteHostFile;

class DesktopCliTest : public testing_support::CommandTest {
 protected:
  void SetUp() override {
    WriteHostFile(Path("pkg.bin"),
                  desktop_testing::BuildPackage(
                      {{"Vostrel.ini", "[SoftwareToUpdate]\r\n"}, {"NK.BIN", "kernel"}}));
    std::filesystem::create_directories(Path("root"));
  }
};

TEST_F(DesktopCliTest, HelpExplainsTheCommandsAndTheirFaults) {
  const CommandResult help = Vostrel("desktop serve --help");
  EXPECT_EQ(help.exitCode, 0);
  for (const char* option : {"--package", "--root", "--cache-size", "--stop-after",
                             "--abort-after-ms", "--fill-short-by", "--fill-size",
                             "--empty-response-at", "--hold-flag-ms", "--looking-no-at"}) {
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
  }
  EXPECT_EQ(Vostrel("desktop abort --help").exitCode, 0);
}

TEST_F(DesktopCliTest, BadCommandLinesExit64WithAMessage) {
  const std::string package = " --package " + Path("pkg.bin");
  const std::string root = " --root " + Path("root");
  const struct {
    std::string arguments;
    std::string message;
  } cases[] = {
      {"desktop serve" + root, "--package"},
      {"desktop serve" + package, "--root"},
      {"desktop serve" + package + " --root " + Path("nowhere"), "nowhere"},
      {"desktop serve" + package + root + " --cache-size 0", "--cache-size"},
      {"desktop serve" + package + root + " --cache-size lots", "lots"},
      {"desktop serve" + package + root + " --cache-size 5G", "--cache-size"},
      {"desktop serve" + package + root + " --stop-after -1", "stop-after"},
      {"desktop abort", "--root"},
      {"desktop wait", "wait"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    const CommandResult ran = Vostrel(c.arguments);
    EXPECT_EQ(ran.exitCode, 64);
    EXPECT_NE(ran.err.find(c.message), std::string::npos) << ran.err;
  }
}

TEST_F(DesktopCliTest, ServePreparesTheRootAndStopsAsItsFaultsSay) {
  const CommandResult ran =
      Vostrel("desktop serve --package " + Path("pkg.bin") + " --root " + Path("root") +
              " --cache-size 1M --stop-after 0 --abort-after-ms 0");
  EXPECT_EQ(ran.exitCode, 0) << ran.err;
  EXPECT_NE(ran.out.find("cache fills of 1048576 bytes"), std::string::npos) << ran.out;
  EXPECT_THAT(ran.out, HasSubstr("answers no more after 0 exchanges (fault)"));
  EXPECT_EQ(ReadHostFile(Path("root/Vostrel.ini")), "[SoftwareToUpdate]\r\n");
  EXPECT_TRUE(std::filesystem::exists(Path("root/install.bin")));
  EXPECT_FALSE(std::filesystem::exists(Path("root/abort.me")));
}

TEST_F(DesktopCliTest, APackageThatCannotBeServedExitsOne) {
  WriteHostFile(Path("noise.bin"), "this is no package");
  const CommandResult ran =
      Vostrel("desktop serve --package " + Path("noise.bin") + " --root " + Path("root"));
  EXPECT_EQ(ran.exitCode, 1);
  EXPECT_NE(ran.err.find("not an update package"), std::string::npos) << ran.err;
}

TEST_F(DesktopCliTest, AbortLeavesTheMarker) {
  const CommandResult ran = Vostrel("desktop abort --root " + Path("root"));
  EXPECT_EQ(ran.exitCode, 0) << ran.err;
  EXPECT_TRUE(std::filesystem::exists(Path("root/abort.me")));
}

TEST_F(DesktopCliTest, SimRunServesTheTerminalInDesktopMode) {
  ASSERT_EQ(Vostrel("sim init " + Path("T")).exitCode, 0);
  const CommandResult run = Vostrel("sim run " + Path("T") + " --activesync --package " +
                                    Path("pkg.bin") + " --keys STOP --report " + Path("r.json"));
  EXPECT_NE(run.exitCode, 64) << run.err;
  EXPECT_NE(run.out.find("#1 Finished -> Ok 1"), std::string::npos) << run.out;
  // The desktop put the header part and the settings in the root; leaving, the updater deleted
  // the settings file it had used.
  EXPECT_TRUE(std::filesystem::exists(Path("T/fs/install.bin")));
  EXPECT_FALSE(std::filesystem::exists(Path("T/fs/Vostrel.ini")));
  const auto report = nlohmann::json::parse(ReadHostFile(Path("r.json")));
  EXPECT_FALSE(report["desktop"]["log"].empty());

  // Without a desktop nothing would answer the terminal in virtual time.
  const CommandResult alone = Vostrel("sim run " + Path("T") + " --activesync --keys STOP");
  EXPECT_EQ(alone.exitCode, 64);
  EXPECT_NE(alone.err.find("needs --package"), std::string::npos) << alone.err;

  // A desktop that stops answering and never gives up would hold the run for ever.
  WriteHostFile(Path("T/terminal.json"), R"({"desktop": {"stop_after": 1, "abort_after_ms": 0}})");
  const CommandResult refused =
      Vostrel("sim run " + Path("T") + " --activesync --package " + Path("pkg.bin"));
  EXPECT_EQ(refused.exitCode, 64);
  EXPECT_NE(refused.err.find("desktop.abort_after_ms"), std::string::npos) << refused.err;
}

}  // namespace
