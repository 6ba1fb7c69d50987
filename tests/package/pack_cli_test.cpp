// vostrel pack as users run it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "package/container_bytes.h"
#include "support/command_test.h"
#include "support/terminal_fixture.h"
#include "text/text.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

namespace fs = std::filesystem;
using namespace container_bytes;
using testing_support::CommandResult;
using testing_support::ReadHostFile;
using testing_support::TempDir;
using testing_support::WriteHostFile;

class PackCliTest : public testing_support::CommandTest {
 protected:
  // A settings file and a folder tree with a read-only, an empty and a non-ASCII member.
  void MakeTree() {
    WriteHostFile(Path("Vostrel.ini"), "[Update]\r\nOS=1\r\n");
    WriteHostFile(Path("tree/Apps/Nav.exe"), std::string(3000, 'N'));
    WriteHostFile(Path("tree/Apps/Data/map.bin"), "map");
    WriteHostFile(Path("tree/readme.txt"), "read me");
    fs::permissions(Path("tree/readme.txt"),
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    WriteHostFile(Path("tree/empty.dat"), "");
    WriteHostFile(Path("tree/Ünïcode/файл.txt"), "юникод");
  }

  // No package and no temporary package left in the folder.
  void ExpectNoPackage(const std::string& name) {
    EXPECT_FALSE(fs::exists(Path(name)));
    for (const auto& entry : fs::directory_iterator(m_dir.Path())) {
      EXPECT_THAT(entry.path().filename().string(), Not(HasSubstr(".partial-")));
    }
  }
};

TEST_F(PackCliTest, BuildListVerifyAndExtractAFolderTree) {
  MakeTree();
  const CommandResult build =
      Vostrel("pack build " + Q("p.bin") + " --ini " + Q("Vostrel.ini") + " --dir " + Q("tree"));
  ASSERT_EQ(build.exitCode, 0) << build.err;
  EXPECT_EQ(build.err, "");

  const CommandResult list = Vostrel("pack list " + Q("p.bin") + " --json");
  ASSERT_EQ(list.exitCode, 0) << list.err;
  const auto json = nlohmann::json::parse(list.out);
  const std::vector<std::pair<std::string, uint32_t>> expected = {
      {"Vostrel.ini", 0x80}, {"Apps\\Data\\map.bin", 0x80}, {"Apps\\Nav.exe", 0x80},
      {"empty.dat", 0x80},   {"readme.txt", 0x1},           {"Ünïcode\\файл.txt", 0x80}};
  ASSERT_EQ(json["members"].size(), expected.size());
  uint64_t offset = json["members"][0]["offset"];
  EXPECT_EQ(json["size_field"], offset);  // the header part's length
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const auto& member = json["members"][i];
    EXPECT_EQ(member["name"], expected[i].first);
    EXPECT_EQ(member["attrib"], expected[i].second);
    EXPECT_EQ(member["offset"], offset);
    offset += member["length"].get<uint64_t>();
  }
  EXPECT_EQ(json["length"], offset + 4);
  EXPECT_EQ(json["checksum"]["holds"], true);
  EXPECT_EQ(json["error"], nullptr);

  const CommandResult text = Vostrel("pack list " + Q("p.bin"));
  EXPECT_EQ(text.exitCode, 0);
  EXPECT_NE(text.out.find("0x00000001          7"), std::string::npos) << text.out;
  EXPECT_THAT(text.out, HasSubstr("holds"));

  const CommandResult verify = Vostrel("pack verify " + Q("p.bin"));
  EXPECT_EQ(verify.exitCode, 0) << verify.err;
  EXPECT_NE(verify.out.find("sound: 6 members"), std::string::npos) << verify.out;

  ASSERT_EQ(Vostrel("pack extract " + Q("p.bin") + " -C " + Q("all")).exitCode, 0);
  EXPECT_EQ(ReadHostFile(Path("all/Vostrel.ini")), ReadHostFile(Path("Vostrel.ini")));
  EXPECT_EQ(ReadHostFile(Path("all/Apps/Nav.exe")), std::string(3000, 'N'));
  EXPECT_EQ(ReadHostFile(Path("all/Apps/Data/map.bin")), "map");
  EXPECT_EQ(ReadHostFile(Path("all/Ünïcode/файл.txt")), "юникод");
  EXPECT_TRUE(fs::exists(Path("all/empty.dat")));
  EXPECT_EQ(fs::file_size(Path("all/empty.dat")), 0u);

  ASSERT_EQ(Vostrel("pack extract " + Q("p.bin") + " 'apps\\NAV.exe' -C " + Q("one")).exitCode, 0);
  EXPECT_EQ(ReadHostFile(Path("one/Apps/Nav.exe")), std::string(3000, 'N'));
  EXPECT_FALSE(fs::exists(Path("one/Vostrel.ini")));

  const CommandResult missing =
      Vostrel("pack extract " + Q("p.bin") + " nothing.txt -C " + Q("none"));
  EXPECT_EQ(missing.exitCode, 1);
  EXPECT_THAT(missing.err, HasSubstr("no member named \"nothing.txt\""));
}

TEST_F(PackCliTest, VerifyAndListNameWhatIsWrong) {
  MakeTree();
  ASSERT_EQ(Vostrel("pack build " + Q("p.bin") + " --ini " + Q("Vostrel.ini")).exitCode, 0);
  const std::string good = ReadHostFile(Path("p.bin"));

  std::string flipped = good;
  flipped[flipped.size() - 6] ^= 0x10;
  WriteHostFile(Path("flipped.bin"), flipped);
  WriteHostFile(Path("short.bin"), good.substr(0, 20));
  // A member whose data would run into the checksum; its sum holds.
  WriteHostFile(Path("past.bin"),
                Seal(ReferenceLogical({{u"Vostrel.ini", 0, "abc"}}, 0).replace(39, 4, Le32(100))));
  const struct {
    const char* file;
    const char* reason;
  } cases[] = {
      {"flipped.bin", "the checksum fails: stored 0x"},
      {"short.bin", "entry 1 at offset 7: its length 40 runs past the end of the file"},
      {"past.bin", "the data of \"Vostrel.ini\" (offset 47, length 100) do not lie between"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const CommandResult verify = Vostrel("pack verify " + Q(c.file));
    EXPECT_EQ(verify.exitCode, 1);
    EXPECT_NE(verify.err.find(c.file), std::string::npos) << verify.err;
    EXPECT_NE(verify.err.find(c.reason), std::string::npos) << verify.err;
    EXPECT_EQ(Vostrel("pack list " + Q(c.file)).exitCode, 1);
  }
  const CommandResult list = Vostrel("pack list " + Q("flipped.bin"));
  EXPECT_NE(list.out.find("checksum fails: stored"), std::string::npos) << list.out;
}

TEST_F(PackCliTest, BuildRefusesNamesTheTerminalCannotUse) {
  WriteHostFile(Path("Vostrel.ini"), "[Update]");
  const std::string longName = std::string(200, 'l') + "/" + std::string(60, 'm');
  const struct {
    const char* what;
    std::vector<std::string> files;
    const char* message;
  } cases[] = {
      {"names differing in case", {"a.txt", "A.txt"}, "only in case"},
      {"a second settings file", {"vostrel.INI"}, "clash with the settings file given by --ini"},
      {"a name over 255 units", {longName}, "longer than 255 UTF-16 units"},
      {"a colon", {"a:b.txt"}, "cannot store in a name"},
      {"a backslash in a file name", {"a\\b.txt"}, "backslash"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(Path("d"));
    for (const std::string& file : c.files) WriteHostFile(Path("d/" + file), "x");
    const CommandResult build =
        Vostrel("pack build " + Q("p.bin") + " --ini " + Q("Vostrel.ini") + " --dir " + Q("d"));
    EXPECT_EQ(build.exitCode, 1);
    EXPECT_NE(build.err.find(c.message), std::string::npos) << build.err;
    EXPECT_NE(build.err.find(Path("d/")), std::string::npos) << build.err;  // names the file
    ExpectNoPackage("p.bin");
  }
}

TEST_F(PackCliTest, ExtractRefusesNamesThatWouldLeaveTheFolder) {
  for (const std::u16string name : {u"..\\evil.txt", u"\\abs.txt", u"a\\..\\..\\evil.txt",
                                    u"C:\\evil.txt", u"a/../../x", u"sub\\"}) {
    SCOPED_TRACE(text::FromUtf16(name));
    WriteHostFile(Path("bad.bin"), ReferenceContainer({{u"ok.txt", 0, "ok"}, {name, 0, "bad"}}, 0));
    const CommandResult extract = Vostrel("pack extract " + Q("bad.bin") + " -C " + Q("x/y"));
    EXPECT_EQ(extract.exitCode, 1);
    EXPECT_NE(extract.err.find("refusing the member"), std::string::npos) << extract.err;
    EXPECT_FALSE(fs::exists(Path("x")));  // nothing written, not even the good member
  }
}

TEST_F(PackCliTest, BadCommandLinesExit64AndEveryCommandExplainsItself) {
  const struct {
    std::string arguments;
    std::string message;
  } cases[] = {
      {"pack build " + Q("p.bin"), "nothing to pack"},
      {"pack build", "OUT"},
      {"pack build " + Q("p.bin") + " --ini " + Q("nope.ini"), "nope.ini"},
      {"pack list " + Q("missing.bin"), "missing.bin"},
      {"pack verify", "PKG"},
      {"pack extract " + Q("missing.bin"), "missing.bin"},
      {"pack frobnicate", "frobnicate"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments);
    const CommandResult result = Vostrel(c.arguments);
    EXPECT_EQ(result.exitCode, 64);
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
  }
  for (const char* command :
       {"pack --help", "pack build --help", "pack list --help", "pack extract --help"}) {
    SCOPED_TRACE(command);
    const CommandResult result = Vostrel(command);
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_THAT(result.out, HasSubstr("Usage"));
  }
  const CommandResult verifyHelp = Vostrel("pack verify --help");
  EXPECT_EQ(verifyHelp.exitCode, 0);
  EXPECT_THAT(verifyHelp.out, HasSubstr("cannot detect reordered bytes"));
}

TEST_F(PackCliTest, LongWorkShowsNoProgressBarWhenStderrIsNotATerminal) {
  WriteHostFile(Path("Vostrel.ini"), "[Update]");
  WriteHostFile(Path("big/image.nb0"), std::string(17 << 20, '\x5A'));
  const CommandResult build =
      Vostrel("pack build " + Q("p.bin") + " --ini " + Q("Vostrel.ini") + " --dir " + Q("big"));
  EXPECT_EQ(build.exitCode, 0);
  EXPECT_EQ(build.err, "");
  const CommandResult verify = Vostrel("pack verify " + Q("p.bin"));
  EXPECT_EQ(verify.exitCode, 0);
  EXPECT_EQ(verify.err, "");
  ASSERT_EQ(Vostrel("pack extract " + Q("p.bin") + " image.NB0 -C " + Q("out")).exitCode, 0);
  EXPECT_EQ(ReadHostFile(Path("out/image.nb0")), std::string(17 << 20, '\x5A'));
}

TEST_F(PackCliTest, AFolderWithoutSettingsBuildsWithAWarning) {
  WriteHostFile(Path("d/Vostrel.ini"), "[Update]");
  ASSERT_EQ(Vostrel("pack build " + Q("with.bin") + " --dir " + Q("d")).err, "");
  fs::remove(Path("d/Vostrel.ini"));
  WriteHostFile(Path("d/other.txt"), "o");
  const CommandResult build = Vostrel("pack build " + Q("without.bin") + " --dir " + Q("d"));
  EXPECT_EQ(build.exitCode, 0);
  EXPECT_NE(build.err.find("warning: the package has no member \"Vostrel.ini\""),
            std::string::npos);
}

}  // namespace

namespace {

TEST_F(PackCliTest, BuildWarnsAboutFilesTheSettingsNameButThePackageLacks) {
  WriteHostFile(Path("s/Vostrel.ini"),
                "[SoftwareToUpdate]\r\nUpdate1=OS\r\n"
                "[OS]\r\nOSSoftware1=OS|1.1|Images\\NK.BIN^1^KRNL\r\n"
                "OSSoftware2=OS|1.1|EBOOT2.NB0^0^BOOT\r\nOSSoftware3=OS|1.1|broken\r\n"
                "[GPS]\r\nGpsSoftware1=GPS|3.3|gps.bin^FIRMWARE\r\n");
  WriteHostFile(Path("p/Images/nk.bin"), "kernel");
  WriteHostFile(Path("p/gps.bin"), "firmware");
  const CommandResult build =
      Vostrel("pack build " + Q("out.bin") + " --ini " + Q("s/Vostrel.ini") + " --dir " + Q("p"));
  EXPECT_EQ(build.exitCode, 0);
  // Members are found as the terminal finds them: by the whole name, without regard to case. The
  // kernel is stored encrypted, and it is no .BIN stream.
  EXPECT_EQ(build.err,
            "vostrel pack: warning: the settings name \"EBOOT2.NB0\", which is not in the "
            "package\n"
            "vostrel pack: warning: no --key-material: the images are encrypted with the fixed "
            "pass phrase, which only terminals without key material use\n"
            "vostrel pack: warning: \"Images\\nk.bin\" is not a .BIN stream (it does not begin "
            "with \"B000FF\"); the terminal will fail to load it\n");
}

}  // namespace
