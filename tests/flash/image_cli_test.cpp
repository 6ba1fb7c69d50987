// The pack commands for operating-system images as users run them: mkbin, the encryption of
// .BIN members with its warnings, list's mark and extract --decrypt, a package so built installed
// on a terminal with that key material; and sim flash read.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "flash/flash_support.h"
#include "flash/image_format.h"
#include "sim/image_cipher.h"
#include "support/command_test.h"
#include "support/terminal_fixture.h"

namespace {

using testing_support::CommandResult;
using testing_support::ReadHostFile;
using testing_support::WriteHostFile;

class ImageCliTest : public testing_support::CommandTest {};

TEST_F(ImageCliTest, MkbinWrapsARawImageIntoRecords) {
  const std::string raw = flash_testing::Pattern(150000, 2);
  WriteHostFile(Path("nk.raw"), raw);
  const CommandResult made = Vostrel("pack mkbin " + Q("nk.raw") + " " + Q("nk.bin") +
                                     " --start 0x80100000 --record-size 65536");
  ASSERT_EQ(made.exitCode, 0) << made.err;
  EXPECT_TRUE(ReadHostFile(Path("nk.bin")) == image_format::MakeBin(raw, 0x80100000, 65536));
  const std::string bin = ReadHostFile(Path("nk.bin"));
  EXPECT_EQ(bin.substr(0, 15), flash_testing::BinHeader(0x80100000, 150000));
  EXPECT_EQ(bin.substr(bin.size() - 12), flash_testing::EndRecord());

  EXPECT_EQ(Vostrel("pack mkbin " + Q("nk.raw") + " " + Q("x.bin") + " --start nowhere").exitCode,
            64);
  const CommandResult ram =
      Vostrel("pack mkbin " + Q("nk.raw") + " " + Q("ram.bin") + " --start 0x40000000");
  EXPECT_EQ(ram.exitCode, 0);
  EXPECT_NE(ram.err.find("makes a RAM image"), std::string::npos);
}

TEST_F(ImageCliTest, BuildEncryptsTheKernelListMarksItAndExtractDecryptsIt) {
  const std::string kernel =
      image_format::MakeBin(flash_testing::Pattern(90000, 4), 0x80000000, 4096);
  const std::string boot = flash_testing::Pattern(70000, 5);
  WriteHostFile(Path("p/NK.BIN"), kernel);
  WriteHostFile(Path("p/EBOOT2.NB0"), boot);
  WriteHostFile(Path("p/Vostrel.ini"),
                flash_testing::OsSettings("1.0.6", "EBOOT2.NB0", "4.2.121", "NK.BIN"));
  const CommandResult build =
      Vostrel("pack build " + Q("k.pkg") + " --dir " + Q("p") + " --key-material 0a0b0c0d");
  ASSERT_EQ(build.exitCode, 0) << build.err;
  EXPECT_EQ(build.err, "");

  const CommandResult list = Vostrel("pack list " + Q("k.pkg"));
  EXPECT_NE(list.out.find("NK.BIN  (encrypted .BIN image)"), std::string::npos) << list.out;
  EXPECT_EQ(list.out.find("EBOOT2.NB0  (encrypted"), std::string::npos);

  // Extracted as stored, the kernel is the chunk stream; decrypted, it is the image again.
  ASSERT_EQ(Vostrel("pack extract " + Q("k.pkg") + " -C " + Q("stored")).exitCode, 0);
  std::string plain;
  std::string why;
  ASSERT_TRUE(image_format::DecryptImage(ReadHostFile(Path("stored/NK.BIN")),
                                         std::string("\x0a\x0b\x0c\x0d", 4), &plain, &why))
      << why;
  EXPECT_TRUE(plain == kernel);
  const CommandResult extract = Vostrel("pack extract " + Q("k.pkg") + " --decrypt -C " +
                                        Q("plain") + " --key-material 0A0B0C0D");
  ASSERT_EQ(extract.exitCode, 0) << extract.err;
  EXPECT_TRUE(ReadHostFile(Path("plain/NK.BIN")) == kernel);
  EXPECT_TRUE(ReadHostFile(Path("plain/EBOOT2.NB0")) == boot);
  // The wrong key material says so, and names the member.
  const CommandResult wrong =
      Vostrel("pack extract " + Q("k.pkg") + " NK.BIN --decrypt -C " + Q("wrong"));
  EXPECT_EQ(wrong.exitCode, 1);
  EXPECT_NE(wrong.err.find("\"NK.BIN\" cannot be decrypted"), std::string::npos) << wrong.err;

  // A terminal whose hardware layer answers that key material installs the package.
  ASSERT_EQ(Vostrel("sim init " + Q("t")).exitCode, 0);
  nlohmann::json config = nlohmann::json::parse(ReadHostFile(Path("t/terminal.json")));
  config["hal"]["key_material"] = "0a0b0c0d";
  WriteHostFile(Path("t/terminal.json"), config.dump(2));
  const CommandResult ran =
      Vostrel("sim run " + Q("t") + " --package " + Q("k.pkg") + " --keys 'PLAY PLAY'");
  ASSERT_EQ(ran.exitCode, 0) << ran.out << ran.err;
  ASSERT_EQ(Vostrel("sim flash read " + Q("t") + " KRNL -o " + Q("krnl.out")).exitCode, 0);
  EXPECT_TRUE(ReadHostFile(Path("krnl.out")).substr(0, 90000) == flash_testing::Pattern(90000, 4));
  ASSERT_EQ(Vostrel("sim flash read " + Q("t") + " BOOT -o " + Q("boot.out")).exitCode, 0);
  EXPECT_TRUE(ReadHostFile(Path("boot.out")).substr(0, 70000) == boot);
}

TEST_F(ImageCliTest, BuildWarnsAboutImagesTheTerminalCannotUse) {
  WriteHostFile(Path("p/Vostrel.ini"),
                flash_testing::OsSettings("1.0.6", "EBOOT2.NB0", "4.2.121", "NK.BIN"));
  WriteHostFile(Path("p/EBOOT2.NB0"), "raw boot loader");
  WriteHostFile(Path("p/NK.BIN"), image_format::MakeBin("ram code", 0x40000000, 64));
  CommandResult build = Vostrel("pack build " + Q("ram.pkg") + " --dir " + Q("p"));
  EXPECT_EQ(build.exitCode, 0);
  EXPECT_NE(build.err.find("no --key-material: the images are encrypted with the fixed pass "
                           "phrase"),
            std::string::npos);
  EXPECT_NE(build.err.find("\"NK.BIN\" is a RAM image (start 0x40000000)"), std::string::npos);

  // An image encrypted already is stored as it is, not encrypted twice.
  const std::string encrypted =
      image_format::EncryptImage(image_format::MakeBin("code", 0x80000000, 64), "Mesa cap");
  WriteHostFile(Path("p/NK.BIN"), encrypted);
  build = Vostrel("pack build " + Q("twice.pkg") + " --dir " + Q("p"));
  EXPECT_NE(build.err.find("\"NK.BIN\" is encrypted already"), std::string::npos) << build.err;
  ASSERT_EQ(Vostrel("pack extract " + Q("twice.pkg") + " NK.BIN -C " + Q("t")).exitCode, 0);
  EXPECT_TRUE(ReadHostFile(Path("t/NK.BIN")) == encrypted);

  EXPECT_EQ(
      Vostrel("pack build " + Q("bad.pkg") + " --dir " + Q("p") + " --key-material 0g").exitCode,
      64);
}

TEST_F(ImageCliTest, SimFlashReadWritesWhatThePartitionHolds) {
  ASSERT_EQ(Vostrel("sim init " + Q("t")).exitCode, 0);
  const CommandResult read = Vostrel("sim flash read " + Q("t") + " BOOT -o " + Q("boot.out"));
  ASSERT_EQ(read.exitCode, 0) << read.err;
  // The factory image: its mark in the first page, erased bytes after it.
  const std::string boot = ReadHostFile(Path("boot.out"));
  EXPECT_EQ(boot.substr(0, 21), "VOSTREL-FACTORY-IMAGE");
  EXPECT_EQ(boot.size(), 2048U);
  EXPECT_EQ(Vostrel("sim flash read " + Q("t") + " NONE -o " + Q("x")).exitCode, 1);
  const CommandResult show = Vostrel("sim show " + Q("t"));
  EXPECT_NE(show.out.find("partition 1 \"KRNL\": 528 units (69206016 bytes)"), std::string::npos)
      << show.out;
}

}  // namespace
