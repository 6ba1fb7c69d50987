// The vostrel command as users run it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "support/command_test.h"
#include "support/package_builder.h"
#include "support/terminal_fixture.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

using testing_support::CommandResult;
using testing_support::ReadHostFile;
using testing_support::TempDir;
using testing_support::WriteHostFile;

using CliTest = testing_support::CommandTest;

TEST_F(CliTest, InitThenStopOnTheInvalidPackageExitsTwo) {
  ASSERT_EQ(Vostrel("sim init " + Path("T")).exitCode, 0);
  const CommandResult run =
      Vostrel("sim run " + Path("T") + " --keys STOP --report " + Path("r.json"));
  EXPECT_EQ(run.exitCode, 2) << run.err;
  const auto report = nlohmann::json::parse(ReadHostFile(Path("r.json")));
  EXPECT_EQ(report["screens"], nlohmann::json::array({1, 2}));
  EXPECT_EQ(report["final_screen"], 2);
  EXPECT_EQ(report["exit_code"], 2);
  EXPECT_EQ(report["rebooted"], false);
  EXPECT_EQ(report["rerunner_started"], false);
  EXPECT_EQ(report["user_activity_signals"], 4);
}

TEST_F(CliTest, BadCommandLinesAndTerminalsExit64WithAMessage) {
  ASSERT_EQ(Vostrel("sim init " + Path("T")).exitCode, 0);
  const struct {
    std::string arguments;
    std::string message;
  } cases[] = {
      {"sim run " + Path("T") + " --bogus", "--bogus"},
      {"sim run " + Path("T") + " --keys PLAI", "PLAI"},
      {"sim run " + Path("T") + " --debug-level 4", "debug-level"},
      {"sim run " + Path("T") + " --activesync --cmdline x", "--activesync"},
      {"sim run " + Path("missing"), "not a terminal folder"},
      {"sim init " + Path("T"), "holds a terminal already"},
      {"sim frobnicate", "frobnicate"},
      {"", "subcommand"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    const CommandResult result = Vostrel(c.arguments);
    EXPECT_EQ(result.exitCode, 64);
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
  }
}

TEST_F(CliTest, ACorruptTerminalIsRefusedNamingTheKey) {
  ASSERT_EQ(Vostrel("sim init " + Path("T")).exitCode, 0);
  WriteHostFile(Path("T") + "/terminal.json", R"({"power": {"ac_line": "sometimes"}})");
  CommandResult result = Vostrel("sim run " + Path("T") + " --keys STOP");
  EXPECT_EQ(result.exitCode, 64);
  EXPECT_NE(result.err.find("power.ac_line"), std::string::npos) << result.err;

  WriteHostFile(Path("T") + "/terminal.json", R"({"power": {"ac_line": )");
  result = Vostrel("sim show " + Path("T"));
  EXPECT_EQ(result.exitCode, 64);
  EXPECT_NE(result.err.find("not valid JSON"), std::string::npos) << result.err;
}

TEST_F(CliTest, EveryCommandExplainsItself) {
  for (const char* command : {"--help", "sim --help", "sim init --help", "sim run --help",
                              "sim show --help", "demo --help"}) {
    SCOPED_TRACE(command);
    const CommandResult result = Vostrel(command);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_THAT(result.out, HasSubstr("Usage"));
  }
}

// The package is placed on the terminal without a copy of its bytes; whatever the terminal then
// does to its install.bin, the user's file keeps its bytes and its read-only mode.
TEST_F(CliTest, TheTerminalNeverWritesThroughToThePlacedPackage) {
  const std::string package = testing_support::BuildPackage(
      {{"Vostrel.ini", testing_support::ApplicationSettings(
                           "9.0", "COPY|App.exe|\\Storage Card\\install.bin\r\n")},
       {"App.exe", "application 9.0"}});
  WriteHostFile(Path("p.bin"), package);
  ASSERT_EQ(::chmod(Path("p.bin").c_str(), 0444), 0);
  ASSERT_EQ(Vostrel("sim init " + Path("T")).exitCode, 0);
  // The copy clears the read-only attribute of install.bin and truncates it, then fails: the
  // package it reads from is the file it has just opened without sharing.
  const CommandResult run =
      Vostrel("sim run " + Path("T") + " --package " + Q("p.bin") + " --keys 'PLAY PLAY'");
  EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
  EXPECT_EQ(ReadHostFile(Path("p.bin")), package);
  struct stat st {};
  ASSERT_EQ(::stat(Path("p.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0444U);
  EXPECT_EQ(ReadHostFile(Path("T/fs/Storage Card/install.bin")), "");
}

TEST_F(CliTest, ShowPrintsTheStateAndTheLogTail) {
  ASSERT_EQ(Vostrel("sim init " + Path("T")).exitCode, 0);
  ASSERT_EQ(Vostrel("sim run " + Path("T") + " --keys STOP --debug-level 2").exitCode, 2);
  const CommandResult show = Vostrel("sim show " + Path("T"));
  EXPECT_EQ(show.exitCode, 0);
  EXPECT_NE(show.out.find("charger:      connected"), std::string::npos) << show.out;
  EXPECT_NE(show.out.find("Finished VostrelHHT."), std::string::npos) << show.out;
}

}  // namespace
