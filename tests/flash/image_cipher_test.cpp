// Known answers for the image cipher, computed outside the project, so that the package tool
// and the terminal cannot drift apart from the cipher together: the key is the first 8 bytes of
// the SHA-1 of the key material, each chunk is DES in ECB mode with PKCS#5 padding over the
// base64 text of the plain bytes. The vectors were made with OpenSSL 3.0 and coreutils:
//
//   printf 'Mesa cap' | openssl dgst -sha1
//     SHA1(stdin)= 44e1b8f638b833bb8a25d88b394fc27487e47621
//   printf '\x00\xff\x10' | openssl dgst -sha1
//     SHA1(stdin)= a14c2fba17201c1ead45b6c4af4409fbfc16ba8a
//   key=44e1b8f638b833bb   (then key=a14c2fba17201c1e)
//   printf '%s' "$PLAIN_HEX" | xxd -r -p | base64 -w0 |
//     openssl enc -des-ecb -K $key -provider legacy -provider default | xxd -p -c0
//
// with PLAIN_HEX the plain image below. Its base64 text ends in "==", which the package tool
// never writes but the terminal must read; its runs of zeros show as repeated cipher blocks.
#include "sim/image_cipher.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "flash/flash_support.h"
#include "flash/image_format.h"
#include "sim/runner.h"
#include "support/package_builder.h"
#include "support/terminal_fixture.h"

namespace {

std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

// A kernel of one 40-byte record at 0x80200000 that carries version 4.2.122.
const std::string kPlainHex =
    "4230303046460a00002080280000000000208028000000750a0000303132333435363738396162636465665"
    "64f535452454c2d56455253494f4e3a342e322e31323200000000000000000000000000";

struct KnownAnswer {
  const char* name;
  std::optional<std::string> halKeyMaterial;  // hexadecimal; none: the pass phrase
  std::string material;
  std::string cipherHex;
};

class ImageCipherTest : public testing_support::TerminalTest,
                        public ::testing::WithParamInterface<KnownAnswer> {
 protected:
  sim::TerminalConfig Config() const override {
    sim::TerminalConfig config = flash_testing::SmallTerminal();
    config.Get<sim::HalConfig>().keyMaterial = GetParam().halKeyMaterial;
    return config;
  }
};

TEST_P(ImageCipherTest, ThePackageToolAndTheTerminalGiveTheKnownAnswer) {
  const KnownAnswer& answer = GetParam();
  const std::string plain = FromHex(kPlainHex);
  const std::string cipher = FromHex(answer.cipherHex);
  const std::string member = flash_testing::Le32(static_cast<uint32_t>(cipher.size())) + cipher;
  EXPECT_TRUE(image_format::EncryptImage(plain, answer.material) == member)
      << "the package tool encrypts otherwise";

  WriteFile("\\Storage Card\\install.bin",
            testing_support::BuildPackage({{"Vostrel.ini",
                                            "[SoftwareToUpdate]\r\nUpdate1=OS\r\n[OS]\r\n"
                                            "OSSoftware1=OS|4.2.122|NK.BIN^1^KRNL\r\n"},
                                           {"NK.BIN", member}}));
  const sim::RunOutcome outcome = Run("PLAY PLAY", "", 2);
  EXPECT_EQ(outcome.screens.back(), 8) << "the terminal decrypts otherwise";
  EXPECT_EQ(outcome.parts[1].installedAfter, "4.2.122");
}

INSTANTIATE_TEST_SUITE_P(
    Vectors, ImageCipherTest,
    ::testing::Values(
        KnownAnswer{"PassPhrase", std::nullopt, "Mesa cap",
                    "461cf0b3faab47454615faf827c611f6c25af3865a6813cea5e7fd100327d29dc752ebe44619"
                    "620b29c4c036f7ab533ab8b6a9332564baa919dbfe47aa08ece29b09aa4591c346d48f8b8fd5"
                    "0b7290043189c667f2003fef2f38b032f02b7c7c2f38b032f02b7c7c8d8b2699f46c52b8"},
        KnownAnswer{"HardwareKeyMaterial", "00ff10", std::string("\x00\xff\x10", 3),
                    "f9f726768d437f6527d9a39a48ccc1344a1238d3d3186aab8c826a61faf81fe9d61f615fb07c"
                    "b19760293cad59147294676f7e7935de412ebd10035b22757abd6d4729f93b09032e368416c8"
                    "f613ef8c8fdc864f0da3d70cae7081e62caf5f09ae7081e62caf5f09cf72cda057d2906f"}),
    [](const ::testing::TestParamInfo<KnownAnswer>& param) { return param.param.name; });

}  // namespace
