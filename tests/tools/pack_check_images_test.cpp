// vostrel pack check on the images a package carries: boot loader and kernel images that must
// decrypt, parse to their end and fit their partitions, and GPS firmware that must be sound
// S-records or a binary image that fits the chip's flash. Each fault in a package of its own.
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
using ::testing::Not;
using testing_support::BuildPackage;
using testing_support::CommandResult;
using testing_support::PackageMember;
using testing_support::ReadHostFile;
using testing_support::WriteHostFile;

constexpr uint32_t kKernelStart = 0x80200000;

std::string Filler(std::size_t size, char seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed + i * 7 + (i >> 9));
  return bytes;
}

std::string Le32(uint32_t value) {
  std::string out;
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
  return out;
}

std::string Encrypted(const std::string& plain, const std::string& material = "Mesa cap") {
  return image_format::EncryptImage(plain, material);
}

std::string KernelBin(std::size_t size = 100000, uint32_t start = kKernelStart) {
  return image_format::MakeBin(Filler(size, 'k'), start, 65536);
}

std::string OsSettings(const std::string& definitions) {
  return "[SoftwareToUpdate]\r\nUpdate1=OS\r\n[OS]\r\n" + definitions;
}

std::string GpsSettings(const std::string& definitions) {
  return "[SoftwareToUpdate]\r\nUpdate1=GPS\r\n[GPS]\r\n" + definitions;
}

const std::string kKernel = OsSettings("OSSoftware1=OS|4.2|NK.BIN^1^KRNL\r\n");
const std::string kBoot = OsSettings("OSSoftware1=OS|1.1|EBOOT2.NB0^0^BOOT\r\n");
const std::string kSRecordFirmware = GpsSettings(
    "GpsSoftware1=GPS|3.3|GPSBOOT.LDR^BOOT\r\nGpsSoftware2=GPS|3.3|FW.SRE^FIRMWARE\r\n");

class PackCheckImagesTest : public testing_support::CommandTest {
 protected:
  std::string Write(const std::string& name, const std::string& settings,
                    std::vector<PackageMember> members) {
    members.insert(members.begin(), {"Vostrel.ini", settings});
    WriteHostFile(Path(name), BuildPackage(members));
    return Q(name);
  }
};

TEST_F(PackCheckImagesTest, EachImageFaultIsNamedWhereItLies) {
  std::string wrongSum = KernelBin();
  wrongSum[7 + 8 + 8] ^= 0x01;  // the first record's checksum
  std::string outside = "B000FF\n" + Le32(kKernelStart) + Le32(65536) + Le32(kKernelStart) +
                        Le32(16) + Le32(0) + std::string(16, '\0');
  outside += Le32(kKernelStart + 0x20000) + Le32(16) + Le32(0) + std::string(16, '\0');
  outside += Le32(0) + Le32(0) + Le32(0);
  const std::vector<uint8_t> firmware = gps_images::MakeFirmwareImage("3.3", 4096);
  std::string srecords = gps_images::ToSRecords(firmware, "FW");
  const std::size_t third = srecords.find('\n', srecords.find('\n') + 1) + 1;
  srecords[third + 12] = srecords[third + 12] == 'A' ? 'B' : 'A';
  const std::vector<uint8_t> loader = gps_images::MakeBootLoader();
  const std::string bootLoader(loader.begin(), loader.end());
  const std::vector<uint8_t> big = gps_images::MakeFirmwareImage("3.3", 2 << 20);
  const struct {
    const char* name;
    std::string settings;
    std::vector<PackageMember> members;
    std::string arguments;
    int exitCode;
    const char* finding;
  } cases[] = {
      {"a kernel for other key material",
       kKernel,
       {{"NK.BIN", Encrypted(KernelBin(), "other")}},
       "",
       1,
       "error: member 'NK.BIN': does not decrypt: the chunk at byte 0 does not decrypt with this "
       "key material (the pass phrase of a terminal without key material)"},
      {"the same with that key material given",
       kKernel,
       {{"NK.BIN", Encrypted(KernelBin(), "other")}},
       "--key-material 6f74686572",
       0,
       "the package is sound"},
      {"a kernel stored plain", kKernel, {{"NK.BIN", KernelBin()}}, "", 1, "does not decrypt"},
      {"a kernel cut short",
       kKernel,
       {{"NK.BIN", Encrypted(KernelBin().substr(0, 90000))}},
       "",
       1,
       "error: member 'NK.BIN': not a whole .BIN image: the record at byte 65563 is cut short"},
      {"a kernel without the terminating record",
       kKernel,
       {{"NK.BIN", Encrypted(KernelBin().substr(0, KernelBin().size() - 12))}},
       "",
       1,
       "before the terminating record"},
      {"a RAM image",
       kKernel,
       {{"NK.BIN", Encrypted(KernelBin(1000, 0x40000000))}},
       "",
       1,
       "a RAM image (start 0x40000000)"},
      {"a record outside the image",
       kKernel,
       {{"NK.BIN", Encrypted(outside)}},
       "",
       1,
       "the record at byte 43 (16 bytes to 0x80220000) lies outside the image of 65536 bytes"},
      {"a record whose checksum does not match",
       kKernel,
       {{"NK.BIN", Encrypted(wrongSum)}},
       "",
       2,
       "warning: member 'NK.BIN': the record at byte 15 carries checksum"},
      {"bytes after the terminating record",
       kKernel,
       {{"NK.BIN", Encrypted(KernelBin() + "tail")}},
       "",
       2,
       "4 bytes follow the terminating record"},
      // Each would have its partition erased and nothing written in its place.
      {"a kernel of length 0",
       kKernel,
       {{"NK.BIN",
         Encrypted("B000FF\n" + Le32(kKernelStart) + Le32(0) + Le32(0) + Le32(0) + Le32(0))}},
       "",
       1,
       "error: member 'NK.BIN': an image of length 0"},
      {"a kernel without a data record",
       kKernel,
       {{"NK.BIN",
         Encrypted("B000FF\n" + Le32(kKernelStart) + Le32(65536) + Le32(0) + Le32(0) + Le32(0))}},
       "",
       1,
       "error: member 'NK.BIN': an image without a data record"},
      {"an empty raw boot loader",
       kBoot,
       {{"EBOOT2.NB0", ""}},
       "",
       1,
       "error: member 'EBOOT2.NB0': a raw image of 0 bytes"},
      {"a boot loader larger than its partition",
       kBoot,
       {{"EBOOT2.NB0", Filler(1100 * 1024, 'b')}},
       "",
       1,
       "error: member 'EBOOT2.NB0': the raw image of 1126400 bytes does not fit partition 0 "
       "\"BOOT\" of a default terminal, which holds 1048576 bytes"},
      {"a raw name on a .BIN stream",
       kBoot,
       {{"EBOOT2.NB0", KernelBin()}},
       "",
       2,
       "it is a .BIN stream"},
      {"an image for the other kind's partition",
       OsSettings("OSSoftware1=OS|1.1|EBOOT2.NB0^1^BOOT\r\n"),
       {{"EBOOT2.NB0", Filler(4096, 'b')}},
       "",
       1,
       "partition 1 of a default terminal is \"KRNL\", not \"BOOT\""},
      {"a partition the terminal lacks",
       OsSettings("OSSoftware1=OS|4.2|NK.BIN^3^KRNL\r\n"),
       {{"NK.BIN", Encrypted(KernelBin())}},
       "",
       1,
       "a default terminal has no binary partition 3"},
      {"binary GPS firmware larger than the chip's flash",
       GpsSettings("GpsSoftware1=GPS|3.3|FW.BIN^FIRMWARE\r\n"),
       {{"FW.BIN", std::string(big.begin(), big.end())}},
       "",
       1,
       "error: member 'FW.BIN': the binary firmware of 2097152 bytes does not fit a default "
       "terminal's GPS flash"},
      {"an S-record line with a wrong checksum",
       kSRecordFirmware,
       {{"GPSBOOT.LDR", bootLoader}, {"FW.SRE", srecords}},
       "",
       1,
       "error: member 'FW.SRE': line 3 is not an S-record with a right checksum"},
      {"S-records past the chip's flash",
       kSRecordFirmware,
       {{"GPSBOOT.LDR", bootLoader}, {"FW.SRE", gps_images::ToSRecords(big, "FW")}},
       "",
       1,
       "past the chip's flash of"},
      {"S-records without data",
       kSRecordFirmware,
       {{"GPSBOOT.LDR", bootLoader}, {"FW.SRE", "S00600004844521B\r\n"}},
       "",
       1,
       "holds no data records"},
      {"an empty GPS boot file",
       kSRecordFirmware,
       {{"GPSBOOT.LDR", ""}, {"FW.SRE", gps_images::ToSRecords(firmware, "FW")}},
       "",
       1,
       "error: member 'GPSBOOT.LDR': a GPS BOOT file of 0 bytes"},
  };
  int number = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string package =
        Write("p" + std::to_string(++number) + ".bin", c.settings, c.members);
    const CommandResult ran = Vostrel("pack check " + c.arguments + " " + package);
    EXPECT_EQ(ran.exitCode, c.exitCode) << ran.out << ran.err;
    EXPECT_THAT(ran.out, HasSubstr(c.finding));
  }
}

// The geometry and the key material of a given terminal decide, not the defaults.
TEST_F(PackCheckImagesTest, AGivenTerminalsPartitionsAndKeyMaterialCount) {
  ASSERT_EQ(Vostrel("sim init " + Q("t")).exitCode, 0);
  nlohmann::json config = nlohmann::json::parse(ReadHostFile(Path("t/terminal.json")));
  config["flash"]["partitions"] = {{{"signature", "BOOT"}, {"units", 4}},
                                   {{"signature", "KRNL"}, {"units", 2}}};
  config["hal"]["key_material"] = "0a0b0c0d";
  WriteHostFile(Path("t/terminal.json"), config.dump(2));
  const std::string material("\x0a\x0b\x0c\x0d", 4);
  // 300,000 bytes are 5 blocks of 64 KiB; the partition holds 4.
  const std::string package =
      Write("p.bin", kKernel, {{"NK.BIN", Encrypted(KernelBin(300000), material)}});

  CommandResult ran = Vostrel("pack check --terminal " + Q("t") + " " + package);
  EXPECT_EQ(ran.exitCode, 1) << ran.out << ran.err;
  EXPECT_THAT(ran.out, HasSubstr("error: member 'NK.BIN': the image of 327680 bytes does not fit "
                                 "partition 1 \"KRNL\" of the terminal, which holds 262144 bytes"));
  EXPECT_THAT(ran.out, Not(HasSubstr("does not decrypt")));

  ran = Vostrel("pack check " + package);
  EXPECT_EQ(ran.exitCode, 1) << ran.out;
  EXPECT_THAT(ran.out, HasSubstr("does not decrypt"));
  EXPECT_THAT(ran.out, Not(HasSubstr("does not fit")));

  ran = Vostrel("pack check --key-material 0a0b0c0d " + package);
  EXPECT_EQ(ran.exitCode, 0) << ran.out;
}

// The loader assembles the image in the program memory left once the object store is 3 MB: a
// terminal with 8 MiB of RAM, 4 MiB of it taken, has 1 MiB for the buffer and the chunks.
TEST_F(PackCheckImagesTest, AGivenTerminalsMemoryMustHoldTheLoadersBuffer) {
  ASSERT_EQ(Vostrel("sim init " + Q("t")).exitCode, 0);
  nlohmann::json config = nlohmann::json::parse(ReadHostFile(Path("t/terminal.json")));
  config["memory"]["total_pages"] = 2048;
  config["memory"]["store_pages"] = 512;
  WriteHostFile(Path("t/terminal.json"), config.dump(2));
  const auto check = [&](std::size_t kernelSize) {
    const std::string package = Write("k" + std::to_string(kernelSize) + ".bin", kKernel,
                                      {{"NK.BIN", Encrypted(KernelBin(kernelSize), "Mesa cap")}});
    return std::pair{package, Vostrel("pack check --terminal " + Q("t") + " " + package)};
  };
  const auto [fits, clean] = check(300000);
  EXPECT_EQ(clean.exitCode, 0) << clean.out;
  const auto [tight, warned] = check(900000);
  EXPECT_EQ(warned.exitCode, 2) << warned.out;
  EXPECT_THAT(warned.out, HasSubstr("the loader's buffer of 917504 bytes leaves 131072 of the "
                                    "1048576 bytes of program memory the terminal has for it"));
  const auto [big, refused] = check(2000000);
  EXPECT_EQ(refused.exitCode, 1) << refused.out;
  EXPECT_THAT(refused.out, HasSubstr("error: member 'NK.BIN': the loader's buffer of 2031616 bytes "
                                     "does not fit the 1048576 bytes of program memory the "
                                     "terminal has for it"));
  // The terminal then fails as predicted.
  const CommandResult ran =
      Vostrel("sim run " + Q("t") + " --package " + big + " --keys 'PLAY PLAY' --debug-level 1");
  EXPECT_EQ(ran.exitCode, 1) << ran.out << ran.err;
  EXPECT_THAT(ReadHostFile(Path("t/debug.log")),
              HasSubstr("LoadBIN: Unable to allocate buffer for file"));

  config["memory"]["set_answer"] = "must_reboot";
  WriteHostFile(Path("t/terminal.json"), config.dump(2));
  const auto [small, noDivision] = check(300000);
  EXPECT_EQ(noDivision.exitCode, 1) << noDivision.out;
  EXPECT_THAT(noDivision.out, HasSubstr("the terminal answers \"must_reboot\" when the loader "
                                        "shrinks its object store"));
}

}  // namespace
