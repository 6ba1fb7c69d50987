// The vostrel command as a careless user or an attacker runs it: nothing outside the terminal
// or the target folder changes, no file the user gave is destroyed, no failure exits 0.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "support/command_test.h"
#include "support/package_builder.h"
#include "support/terminal_fixture.h"

namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using testing_support::BuildPackage;
using testing_support::CommandResult;
using testing_support::ReadHostFile;
using testing_support::WriteHostFile;

using SandboxCli = testing_support::CommandTest;

std::string AppPackage(const std::string& script) {
  return BuildPackage({{"Vostrel.ini", testing_support::ApplicationSettings("9.0", script)},
                       {"App.exe", std::string(5000, 'a')}});
}

// Sets the logical 32-bit number at `at` of a stored package and makes its checksum hold again,
// as a hand-made package would.
std::string WithNumber(std::string stored, std::size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) stored[at + i] = static_cast<char>(~(value >> (8 * i)));
  uint32_t sum = 0;
  for (std::size_t i = 0; i + 4 < stored.size(); ++i) {
    sum += static_cast<uint8_t>(~static_cast<uint8_t>(stored[i]));
  }
  for (int i = 0; i < 4; ++i) {
    stored[stored.size() - 4 + i] = static_cast<char>(~(sum >> (8 * i)));
  }
  return stored;
}

// Where the logical FileLen of the named member lies in a stored package.
std::size_t FileLenAt(const std::string& stored, const std::string& name) {
  std::string utf16;
  for (const char c : name) utf16 += std::string{static_cast<char>(~c), static_cast<char>(~0)};
  const std::size_t found = stored.find(utf16);
  return found + utf16.size() + 2 + 4;  // past the name's NUL and the attribute
}

// --- writes outside the terminal -------------------------------------------------------------

TEST_F(SandboxCli, AProgramPathWithDotDotDoesNotPlaceThePackageOutside) {
  ASSERT_EQ(Vostrel("sim init " + Path("T")).exitCode, 0);
  WriteHostFile(Path("T/terminal.json"), R"({"program": "\\..\\..\\out\\VostrelHHT.exe"})");
  WriteHostFile(Path("p.bin"), BuildPackage({{"Vostrel.ini", "[x]\r\n"}}));
  const CommandResult run =
      Vostrel("sim run " + Path("T") + " --package " + Q("p.bin") + " --keys STOP");
  EXPECT_EQ(run.exitCode, 64);
  EXPECT_THAT(run.err, HasSubstr("\"program\""));
  EXPECT_FALSE(fs::exists(Path("out")));
}

TEST_F(SandboxCli, ExtractNeverFollowsLinksInTheTargetFolder) {
  WriteHostFile(Path("p.bin"),
                BuildPackage({{"Vostrel.ini", "[x]\r\n"}, {"sub\\a.txt", "A"}, {"b.txt", "B"}}));
  fs::create_directories(Path("host"));
  WriteHostFile(Path("host/a.txt"), "host a");
  WriteHostFile(Path("host/b.txt"), "host b");
  fs::create_directories(Path("X"));
  fs::create_directory_symlink(Path("host"), Path("X/sub"));
  CommandResult run = Vostrel("pack extract " + Q("p.bin") + " sub\\\\a.txt -C " + Q("X"));
  EXPECT_EQ(run.exitCode, 1) << run.out;
  EXPECT_THAT(run.err, HasSubstr("symbolic link"));
  fs::create_directories(Path("Y"));
  fs::create_symlink(Path("host/b.txt"), Path("Y/b.txt"));
  run = Vostrel("pack extract " + Q("p.bin") + " b.txt -C " + Q("Y"));
  EXPECT_EQ(run.exitCode, 1) << run.out;
  EXPECT_EQ(ReadHostFile(Path("host/a.txt")), "host a");
  EXPECT_EQ(ReadHostFile(Path("host/b.txt")), "host b");
}

// --- data lost ---------------------------------------------------------------------------------

TEST_F(SandboxCli, ServingNeverOverwritesThePackageOrTheFilesBesideIt) {
  const std::string package = AppPackage("");
  fs::create_directories(Path("R"));
  WriteHostFile(Path("R/install.bin"), package);
  CommandResult serve =
      Vostrel("desktop serve --package " + Q("R/install.bin") + " --root " + Q("R"));
  EXPECT_EQ(serve.exitCode, 1);
  EXPECT_EQ(ReadHostFile(Path("R/install.bin")), package);

  fs::create_directories(Path("S"));
  WriteHostFile(Path("S/p.bin"), package);
  WriteHostFile(Path("S/Vostrel.ini"), "the user's own settings");
  serve = Vostrel("desktop serve --package " + Q("S/p.bin") + " --root " + Q("S"));
  EXPECT_EQ(serve.exitCode, 1);
  EXPECT_THAT(serve.err, HasSubstr("root folder"));
  EXPECT_EQ(ReadHostFile(Path("S/Vostrel.ini")), "the user's own settings");
  EXPECT_FALSE(fs::exists(Path("S/install.bin")));
}

TEST_F(SandboxCli, ADesktopRunNeverOverwritesAPackageKeptInTheTerminal) {
  ASSERT_EQ(Vostrel("sim init " + Path("T")).exitCode, 0);
  const std::string package = AppPackage("");
  WriteHostFile(Path("T/fs/install.bin"), package);
  const CommandResult run = Vostrel("sim run " + Path("T") + " --activesync --package " +
                                    Q("T/fs/install.bin") + " --keys PLAY");
  EXPECT_EQ(run.exitCode, 64);
  EXPECT_THAT(run.err, HasSubstr("is the package being served"));
  EXPECT_EQ(ReadHostFile(Path("T/fs/install.bin")), package);
}

TEST_F(SandboxCli, ExtractRefusesToOverwriteThePackageItIsReading) {
  const std::string package = BuildPackage({{"Vostrel.ini", "[x]\r\n"}, {"p.bin", "small"}});
  WriteHostFile(Path("p.bin"), package);
  const CommandResult run = Vostrel("pack extract " + Q("p.bin") + " -C " + Q(""));
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_THAT(run.err, HasSubstr("the package being read"));
  EXPECT_EQ(ReadHostFile(Path("p.bin")), package);
}

// --- failures reported as success ------------------------------------------------------------

TEST_F(SandboxCli, TheDesktopRefusesAPackageWhoseChecksumFails) {
  std::string package = AppPackage("COPY|App.exe|\\Storage Card\\App.exe\r\n");
  package[package.size() - 100] ^= 0x10;
  WriteHostFile(Path("bad.bin"), package);
  ASSERT_EQ(Vostrel("sim init " + Path("T")).exitCode, 0);
  const CommandResult run = Vostrel("sim run " + Path("T") + " --activesync --package " +
                                    Q("bad.bin") + " --keys 'PLAY PLAY'");
  EXPECT_EQ(run.exitCode, 64);
  EXPECT_THAT(run.err, HasSubstr("checksum fails"));
  EXPECT_FALSE(fs::exists(Path("T/fs/Storage Card/App.exe")));

  fs::create_directories(Path("R"));
  const CommandResult serve =
      Vostrel("desktop serve --package " + Q("bad.bin") + " --root " + Q("R"));
  EXPECT_EQ(serve.exitCode, 1);
  EXPECT_THAT(serve.err, HasSubstr("refusing to serve a damaged package"));
  EXPECT_FALSE(fs::exists(Path("R/install.bin")));
}

TEST_F(SandboxCli, AMemberWhoseDataRunPastTheEndFailsTheUpdate) {
  const std::string sound = AppPackage("COPY|App.exe|\\Storage Card\\App.exe\r\n");
  WriteHostFile(Path("p.bin"), WithNumber(sound, FileLenAt(sound, "App.exe"), 9000));
  ASSERT_EQ(Vostrel("sim init " + Path("T")).exitCode, 0);
  const CommandResult run = Vostrel("sim run " + Path("T") + " --package " + Q("p.bin") +
                                    " --keys 'PLAY PLAY' --report " + Q("r.json"));
  EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
  const auto report = nlohmann::json::parse(ReadHostFile(Path("r.json")));
  EXPECT_EQ(report["final_screen"], 9);
  EXPECT_THAT(report["last_error"]["text"].get<std::string>(), HasSubstr("COPY|App.exe"));
}

TEST_F(SandboxCli, VerifyRefusesAPackageTheTerminalCannotAddress) {
  // 4 GiB of zero bytes, stored, add nothing to a 32-bit sum: the checksum still holds.
  const std::string sound = AppPackage("");
  const std::string body = sound.substr(0, sound.size() - 4);
  WriteHostFile(Path("big.bin"), body);
  ASSERT_EQ(::truncate(Path("big.bin").c_str(), static_cast<off_t>(body.size() + (1ULL << 32))), 0);
  {
    std::ofstream out(Path("big.bin"), std::ios::binary | std::ios::app);
    out << sound.substr(sound.size() - 4);
  }
  const CommandResult run = Vostrel("pack verify " + Q("big.bin"));
  EXPECT_EQ(run.exitCode, 1) << run.out;
  EXPECT_THAT(run.err, HasSubstr("more than the terminal can address"));
}

// --- crash and hangs ------------------------------------------------------------------------

TEST_F(SandboxCli, AnOversizedGpsFlashFileIsRefusedBySize) {
  ASSERT_EQ(Vostrel("sim init " + Path("T")).exitCode, 0);
  fs::create_directories(Path("T/gps"));
  WriteHostFile(Path("T/gps/flash.bin"), "");
  ASSERT_EQ(::truncate(Path("T/gps/flash.bin").c_str(), 3LL << 30), 0);  // sparse
  const CommandResult show = Vostrel("sim show " + Path("T"));
  EXPECT_EQ(show.exitCode, 64);
  EXPECT_THAT(show.err, HasSubstr("flash.bin: 3221225472 bytes, more than the GPS flash part"));
}

TEST_F(SandboxCli, ATimedKeyFarAheadMovesTheClockThere) {
  ASSERT_EQ(Vostrel("sim init " + Path("T")).exitCode, 0);
  const CommandResult run =
      Vostrel("sim run " + Path("T") + " --keys PLAY@9223372036854 --report " + Q("r.json"));
  EXPECT_EQ(run.exitCode, 2) << run.out << run.err;
  const auto report = nlohmann::json::parse(ReadHostFile(Path("r.json")));
  EXPECT_GE(report["virtual_milliseconds"].get<uint64_t>(), 9223372036854u);
}

TEST_F(SandboxCli, ADesktopRunWithNobodyServingSaysWhatItWaitsForAndCtrlCCutsThePower) {
  ASSERT_EQ(Vostrel("sim init " + Path("T")).exitCode, 0);
  // The run waits in real time for as long as nobody serves it: read what it says, then end it
  // as a user would, with Ctrl-C.
  const std::string command = "sh -c 'echo $$; exec " VOSTREL_BINARY " sim run " + Path("T") +
                              " --realtime --activesync 2>&1'";
  FILE* run = ::popen(command.c_str(), "r");
  ASSERT_NE(run, nullptr);
  char line[1024] = {};
  ASSERT_NE(std::fgets(line, sizeof line, run), nullptr);
  const pid_t pid = static_cast<pid_t>(std::stol(line));
  ASSERT_NE(std::fgets(line, sizeof line, run), nullptr);
  EXPECT_THAT(line, HasSubstr("waits for a desktop in " + Path("T") + "/fs"));
  EXPECT_THAT(line, HasSubstr("Ctrl-C"));
  // Ctrl-C is a power cut: the run says so, and how the terminal starts, rather than just ending.
  ::kill(pid, SIGINT);
  std::string rest;
  while (std::fgets(line, sizeof line, run) != nullptr) rest += line;
  ::pclose(run);
  EXPECT_THAT(rest, HasSubstr("(power cut)"));
  EXPECT_THAT(rest, HasSubstr("Ctrl-C cut the power before the run's first write step."));
  EXPECT_THAT(rest, HasSubstr("After the power cut the terminal starts again."));
}

// --- no lock ----------------------------------------------------------------------------------

TEST_F(SandboxCli, ASecondRunOnATerminalInUseIsRefused) {
  ASSERT_EQ(Vostrel("sim init " + Path("T")).exitCode, 0);
  // The lock a first run would hold, taken as that run takes it.
  const int held = ::open(Path("T/terminal.lock").c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GE(held, 0);
  ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
  const CommandResult second = Vostrel("sim run " + Path("T") + " --keys STOP");
  EXPECT_EQ(second.exitCode, 64);
  EXPECT_THAT(second.err, HasSubstr(Path("T") + ": the terminal is in use"));
  ::close(held);
  EXPECT_EQ(Vostrel("sim run " + Path("T") + " --keys STOP").exitCode, 2);
}

// --- pack check misses --------------------------------------------------------------------------

TEST_F(SandboxCli, CheckFindsScriptLinesThatFailOnTheTerminal) {
  const struct {
    std::string line;
    std::string finding;
  } cases[] = {
      {"DEL|\\Storage Card\\..\\*.*", "names \".\" or \"..\""},
      {"REN|\\Temp\\a|\\Temp\\..\\b", "names \".\" or \"..\""},
      {"MKDIR|\\Temp\\..\\x", "names \".\" or \"..\""},
      {"RMDIR|\\..", "names \".\" or \"..\""},
      {"COPY|App.exe|\\Storage Card\\..\\App.exe", "names \".\" or \"..\""},
      {"COPY|App.exe|\\Storage Card\\install.bin", "copies over the package itself"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    WriteHostFile(Path("p.bin"), AppPackage(c.line + "\r\n"));
    const CommandResult check = Vostrel("pack check " + Q("p.bin"));
    EXPECT_EQ(check.exitCode, 1);
    EXPECT_THAT(check.out, HasSubstr(c.finding));
  }
}

TEST_F(SandboxCli, CheckWarnsOfGpsFirmwareLargerThanTheDesktopsCache) {
  WriteHostFile(Path("p.bin"), BuildPackage({{"Vostrel.ini",
                                              "[SoftwareToUpdate]\r\nUpdate1=GPS\r\n[GPS]\r\n"
                                              "GpsSoftware1=GPS|3.3.0|FW.S19^FIRMWARE\r\n"},
                                             {"FW.S19", std::string((1 << 20) + 1, 'S')}}));
  const CommandResult check = Vostrel("pack check " + Q("p.bin"));
  EXPECT_THAT(check.out, HasSubstr("exceed the desktop's cache fill of 1048576 bytes"));
}

TEST_F(SandboxCli, MemberNamesArePrintedEscaped) {
  WriteHostFile(Path("p.bin"),
                BuildPackage({{"Vostrel.ini", "[x]\r\n"}, {"evil\r\x1b[2Kgood.exe", "x"}}));
  for (const char* command : {"pack list ", "pack check "}) {
    SCOPED_TRACE(command);
    const CommandResult result = Vostrel(command + Q("p.bin"));
    EXPECT_THAT(result.out, HasSubstr("evil\\x0D\\x1B[2Kgood.exe"));
    EXPECT_EQ(result.out.find('\x1b'), std::string::npos);
  }
}

// --- messages and output --------------------------------------------------------------------

TEST_F(SandboxCli, AReportThatCannotBeWrittenIsFoundBeforeTheRun) {
  ASSERT_EQ(Vostrel("sim init " + Path("T")).exitCode, 0);
  WriteHostFile(Path("file"), "");
  WriteHostFile(Path("p.bin"), AppPackage("COPY|App.exe|\\Storage Card\\App.exe\r\n"));
  const CommandResult run = Vostrel("sim run " + Path("T") + " --package " + Q("p.bin") +
                                    " --keys 'PLAY PLAY' --report " + Q("file/r.json"));
  EXPECT_EQ(run.exitCode, 64);
  EXPECT_THAT(run.err, HasSubstr("--report"));
  EXPECT_FALSE(fs::exists(Path("T/fs/Storage Card/App.exe")));
}

TEST_F(SandboxCli, ShowPrintsEachLineOnce) {
  ASSERT_EQ(Vostrel("sim init " + Path("T")).exitCode, 0);
  const CommandResult show = Vostrel("sim show " + Path("T"));
  ASSERT_EQ(show.exitCode, 0);
  const std::size_t first = show.out.find("start-up:");
  ASSERT_NE(first, std::string::npos) << show.out;
  EXPECT_EQ(show.out.find("start-up:", first + 1), std::string::npos) << show.out;
}

TEST_F(SandboxCli, StepZeroIsRefusedWithAShortMessage) {
  ASSERT_EQ(Vostrel("sim init " + Path("T")).exitCode, 0);
  const CommandResult run = Vostrel("sim run " + Path("T") + " --power-cut-after-step 0");
  EXPECT_EQ(run.exitCode, 64);
  EXPECT_THAT(run.err, HasSubstr("counted from 1"));
  EXPECT_LT(run.err.size(), 200u) << run.err;
}

TEST_F(SandboxCli, ATruncatedFlashChipFileIsNotBlamedOnATornPartition) {
  ASSERT_EQ(Vostrel("sim init " + Path("T")).exitCode, 0);
  ASSERT_EQ(::truncate(Path("T/flash/chip.bin").c_str(), 4096), 0);
  const CommandResult run = Vostrel("sim run " + Path("T") + " --keys STOP");
  EXPECT_THAT(run.err, HasSubstr("chip.bin cannot be read as the flash chip"));
  EXPECT_THAT(run.err, Not(HasSubstr("is torn")));
}

}  // namespace
