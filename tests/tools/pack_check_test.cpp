// vostrel pack check as a release engineer runs it: each kind of fault in a package of its own,
// named where it lies, with the exit code that says whether the update would fail (1) or work
// with warnings (2); and, for a given terminal, the decision it predicts and the copies into
// folders that terminal lacks, compared with what the terminal then does.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "flash/image_format.h"
#include "sim/image_cipher.h"
#include "support/command_test.h"
#include "support/package_builder.h"
#include "tools/gps_images/gps_images.h"

namespace {

using ::testing::HasSubstr;
using testing_support::ApplicationSettings;
using testing_support::BuildPackage;
using testing_support::CommandResult;
using testing_support::PackageMember;
using testing_support::WriteHostFile;

const std::string kScript =
    "MKDIR|\\Flash Disk2\\Apps\r\nCOPY|App.exe|\\Flash Disk2\\Apps\\App.exe\r\n";

class PackCheckTest : public testing_support::CommandTest {
 protected:
  std::string Write(const std::string& name, const std::vector<PackageMember>& members) {
    WriteHostFile(Path(name), BuildPackage(members));
    return Q(name);
  }
  std::string WriteSettings(const std::string& name, const std::string& settings,
                            std::vector<PackageMember> more = {{"App.exe", "app"}}) {
    more.insert(more.begin(), {"Vostrel.ini", settings});
    return Write(name, more);
  }
};

TEST_F(PackCheckTest, ASoundPackageExitsZero) {
  const CommandResult ran =
      Vostrel("pack check " + WriteSettings("ok.bin", ApplicationSettings("1.1", kScript)));
  EXPECT_EQ(ran.exitCode, 0) << ran.out << ran.err;
  EXPECT_THAT(ran.out, HasSubstr("0 errors, 0 warnings: the package is sound"));
}

// One package per kind of finding: the exit code, and the text that names the fault.
TEST_F(PackCheckTest, EachFaultIsNamedWhereItLies) {
  const std::string app = "[SoftwareToUpdate]\r\nUpdate1=Application\r\n[Application]\r\n";
  const std::string script =
      "[AppScript]\r\n###CommandStart###\r\n" + kScript + "###CommandEnd###\r\n";
  std::string eleven = "[SoftwareToUpdate]\r\nUpdate1=OS\r\n[OS]\r\n";
  for (int i = 1; i <= 11; ++i) {
    eleven += "OSSoftware" + std::to_string(i) + "=OS|1|App.exe^1^KRNL\r\n";
  }
  const struct {
    const char* name;
    std::string settings;
    int exitCode;
    const char* finding;
  } cases[] = {
      {"an eleventh definition", eleven, 1,
       "error: [OS] OSSoftware11: the terminal holds 10 definitions"},
      {"a key in no section", "Update1=Application\r\n" + ApplicationSettings("1", kScript), 2,
       "warning: Vostrel.ini line 1: key 'Update1' is in no section"},
      {"a blank before =", app + "AppSoftware1 =A|1|AppScript\r\n" + script, 2,
       "key 'AppSoftware1 ' ends in a blank"},
      {"a gap in the numbering",
       app + "AppSoftware1=A|1|AppScript\r\nAppSoftware3=A|2|AppScript\r\n" + script, 2,
       "warning: [Application] AppSoftware3: never read: the list ends at the missing or empty "
       "AppSoftware2"},
      {"a definition without its fields", app + "AppSoftware1=Application\r\n" + script, 1,
       "is not type|version|command"},
      {"a type letter that is no type", app + "AppSoftware1=X|1|AppScript\r\n" + script, 1,
       "names no type"},
      {"an OS command that does not parse",
       "[SoftwareToUpdate]\r\nUpdate1=OS\r\n[OS]\r\nOSSoftware1=OS|1|App.exe^x^KRNL\r\n", 1,
       "command \"App.exe^x^KRNL\" is not file^partition digit^kind"},
      {"an unknown OS kind",
       "[SoftwareToUpdate]\r\nUpdate1=OS\r\n[OS]\r\nOSSoftware1=OS|1|App.exe^1^KERNEL\r\n", 2,
       "kind \"KERNEL\" is neither BOOT nor KRNL"},
      {"a member that a definition names is missing",
       "[SoftwareToUpdate]\r\nUpdate1=OS\r\n[OS]\r\nOSSoftware1=OS|1|NK.BIN^1^KRNL\r\n", 1,
       "error: member 'NK.BIN': named by an OS definition but missing from the package"},
      {"an S-record firmware without a boot file",
       "[SoftwareToUpdate]\r\nUpdate1=GPS\r\n[GPS]\r\nGpsSoftware1=GPS|3.3.0|App.exe^FIRMWARE\r\n",
       1, "no definition names a BOOT file"},
      {"a definition never selected",
       ApplicationSettings("1", kScript) + "[GPS]\r\nGpsSoftware1=G|1|App.exe^FIRMWARE\r\n", 2,
       "no Update key names GPS"},
      {"a script section that is not there", app + "AppSoftware1=A|1|Script\r\n" + script, 1,
       "no line begins with \"[Script]\""},
      {"a script line over its limit",
       ApplicationSettings("1", "COPY|App.exe|\\" + std::string(300, 'x') + "\r\n"), 1,
       "the terminal refuses it"},
      {"a command that is not one", ApplicationSettings("1", "MOVE|a|b\r\n"), 1,
       "script line 1 \"MOVE|a|b\": not a command"},
      {"a COPY whose member is missing", ApplicationSettings("1", "COPY|Gone.dll|\\x\r\n"), 1,
       "copies the member 'Gone.dll', which the package lacks"},
      {"a DEL that reaches the updater's folder",
       ApplicationSettings("1", "DEL|\\Storage Card\\*.*\r\n"), 2,
       "would delete in or with the updater's own folder \\Storage Card"},
      {"an RMDIR of a parent of the updater's folder",
       ApplicationSettings("1", "RMDIR|\\Storage*\r\n"), 2, "the updater's own folder"},
  };
  int number = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const CommandResult ran =
        Vostrel("pack check " + WriteSettings("p" + std::to_string(++number) + ".bin", c.settings));
    EXPECT_EQ(ran.exitCode, c.exitCode) << ran.out << ran.err;
    EXPECT_THAT(ran.out, HasSubstr(c.finding));
  }
}

TEST_F(PackCheckTest, TheContainerItselfIsChecked) {
  WriteHostFile(Path("junk.bin"), "not a package");
  CommandResult ran = Vostrel("pack check " + Q("junk.bin"));
  EXPECT_EQ(ran.exitCode, 1);
  EXPECT_THAT(ran.out, HasSubstr("error: container:"));

  std::string bytes = BuildPackage({{"Vostrel.ini", ApplicationSettings("1", kScript)},
                                    {"App.exe", "app"},
                                    {"app.EXE", "hidden"}});
  bytes[bytes.size() - 10] = static_cast<char>(bytes[bytes.size() - 10] ^ 0x01);
  WriteHostFile(Path("bad.bin"), bytes);
  ran = Vostrel("pack check " + Q("bad.bin"));
  EXPECT_EQ(ran.exitCode, 1);
  EXPECT_THAT(ran.out, HasSubstr("error: container: checksum stored"));
  EXPECT_THAT(ran.out, HasSubstr("warning: member 'app.EXE': an earlier member has the same name"));

  ran = Vostrel("pack check " + Write("nosettings.bin", {{"App.exe", "app"}}));
  EXPECT_EQ(ran.exitCode, 1);
  EXPECT_THAT(ran.out, HasSubstr("error: member 'Vostrel.ini': missing"));
}

TEST_F(PackCheckTest, JsonCarriesTheFindingsAndTheExitCode) {
  const CommandResult ran =
      Vostrel("pack check --json " +
              WriteSettings("p.bin", ApplicationSettings("1", "COPY|Gone.dll|\\x\r\n")));
  ASSERT_EQ(ran.exitCode, 1) << ran.err;
  const nlohmann::json json = nlohmann::json::parse(ran.out);
  EXPECT_EQ(json["exit_code"], 1);
  ASSERT_EQ(json["findings"].size(), 1U);
  EXPECT_EQ(json["findings"][0]["severity"], "error");
  EXPECT_EQ(json["findings"][0]["where"], "script line 1 \"COPY|Gone.dll|\\x\"");
}

// The decision predicted for a terminal is the one the terminal then takes, part by part, for a
// package that offers all four; the boot loader it offers is the one installed.
TEST_F(PackCheckTest, TheDecisionForATerminalIsWhatTheRunDoes) {
  ASSERT_EQ(Vostrel("sim init " + Q("t")).exitCode, 0);
  const auto image = [](const std::string& version, std::size_t size) {
    std::string bytes = "VOSTREL-VERSION:" + version + std::string(1, '\0');
    bytes.resize(size, '\x5A');
    return bytes;
  };
  const std::vector<uint8_t> firmware = gps_images::MakeFirmwareImage("3.3.0", 65536);
  const std::string settings =
      "[SoftwareToUpdate]\r\nUpdate1=Application\r\nUpdate2=OS\r\nUpdate3=GPS\r\n"
      "[OS]\r\nOSSoftware1=OS|1.0.2|EBOOT2.NB0^0^BOOT\r\nOSSoftware2=OS|1.0.9|NK.BIN^1^KRNL\r\n"
      "[Application]\r\nAppSoftware1=A|1.1|AppScript\r\n"
      "[GPS]\r\nGpsSoftware1=GPS|3.3.0|GPS\\FW.BIN^FIRMWARE\r\n"
      "[AppScript]\r\n###CommandStart###\r\n" +
      kScript +
      "MKDIR|\\Flash Disk2\\Tavimon\r\nCOPY|version.txt|\\Flash "
      "Disk2\\Tavimon\\version.txt\r\n###CommandEnd###\r\n";
  const std::string package = WriteSettings(
      "p.bin", settings,
      {{"App.exe", "app"},
       {"version.txt", "1.1\r\n"},
       {"EBOOT2.NB0", image("1.0.2", 65536)},
       {"NK.BIN",
        image_format::EncryptImage(image_format::MakeBin(image("1.0.9", 200000), 0x80200000, 65536),
                                   image_format::kPassPhrase)},
       {"GPS\\FW.BIN", std::string(firmware.begin(), firmware.end())}});
  const CommandResult checked = Vostrel("pack check --json --terminal " + Q("t") + " " + package);
  ASSERT_EQ(checked.exitCode, 0) << checked.out << checked.err;
  const nlohmann::json decision = nlohmann::json::parse(checked.out)["decision"];
  ASSERT_EQ(decision.size(), 4U);

  const CommandResult ran = Vostrel("sim run " + Q("t") + " --package " + package +
                                    " --keys 'PLAY PLAY' --report " + Q("report.json"));
  ASSERT_EQ(ran.exitCode, 0) << ran.out << ran.err
                             << testing_support::ReadHostFile(Path("report.json"));
  const nlohmann::json parts =
      nlohmann::json::parse(testing_support::ReadHostFile(Path("report.json")))["parts"];
  for (const nlohmann::json& part : decision) {
    SCOPED_TRACE(part.dump());
    const nlohmann::json& run = parts[part["part"].get<std::string>()];
    EXPECT_EQ(part["installed"], run["installed_before"]);
    EXPECT_EQ(part["offered"], run["offered_version"]);
    EXPECT_EQ(part["marked"], run["marked"]);
    EXPECT_EQ(run["installed_after"], part["marked"] ? part["offered"] : part["installed"]);
  }
  EXPECT_EQ(decision[0]["marked"], false);
  EXPECT_EQ(decision[1]["marked"], true);
  EXPECT_EQ(decision[2]["marked"], true);
  EXPECT_EQ(decision[3]["marked"], true);
}

// With a terminal, a copy into a folder that the terminal lacks and no earlier line makes is a
// fault that the run then shows; without one, the folders are not known and nothing is said.
TEST_F(PackCheckTest, ACopyIntoAFolderTheTerminalLacksFails) {
  ASSERT_EQ(Vostrel("sim init " + Q("t")).exitCode, 0);
  const std::string package = WriteSettings(
      "p.bin",
      ApplicationSettings("1.1", kScript + "COPY|App.exe|\\Flash Disk2\\Missing\\A.exe\r\n"));
  EXPECT_EQ(Vostrel("pack check " + package).exitCode, 0);
  const CommandResult checked = Vostrel("pack check --terminal " + Q("t") + " " + package);
  EXPECT_EQ(checked.exitCode, 1) << checked.out;
  EXPECT_THAT(checked.out,
              HasSubstr("script line 3 \"COPY|App.exe|\\Flash Disk2\\Missing\\A.exe\": "
                        "copies into the folder \\Flash Disk2\\Missing, which the "
                        "terminal lacks"));
  // The copy into \Flash Disk2\Apps, which line 1 makes, is sound.
  EXPECT_THAT(checked.out, HasSubstr("1 error, 0 warnings"));
  EXPECT_EQ(Vostrel("sim run " + Q("t") + " --package " + package + " --keys 'PLAY PLAY'").exitCode,
            1);
}

}  // namespace
