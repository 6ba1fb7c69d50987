// Image decryption: a key derived once, chunk decryption with its failures, the base64 rules,
// and the reader that joins chunks into one stream. The cipher's known answers are in
// image_cipher_test.cpp.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "flash/flash_support.h"
#include "flash/image_format.h"
#include "flash/image_key.h"
#include "flash/image_reader.h"
#include "log/log.h"
#include "platform/platform.h"
#include "sim/image_cipher.h"
#include "support/terminal_fixture.h"

namespace {

using testing_support::TerminalTest;

std::string Decode(const std::string& text) {
  std::string out(text.size() / 4 * 3 + 4, '\x55');
  uint32_t length = 0;
  Base64Decode(reinterpret_cast<const uint8_t*>(text.data()), text.size(),
               reinterpret_cast<uint8_t*>(out.data()), &length);
  EXPECT_EQ(out[length], '\0') << "a zero byte follows the output";
  return out.substr(0, length);
}

TEST(Base64DecodeTest, FollowsTheTerminalsRules) {
  const struct {
    const char* text;
    std::string decoded;
  } cases[] = {
      {"TWFu", "Man"},
      {" \t TWFu", "Man"},          // leading blanks and tabs are skipped
      {"TWE=", "Ma"},               // n mod 4 == 3: one byte less
      {"TQ==", "M"},                // n mod 4 == 2: two bytes less
      {"TWFuTWFu=TWFu", "ManMan"},  // decoding stops at the first "="
      {"TWFu\r\nTWFu", "Man"},      // and at a line break
      {"TWFuT", "Man"},             // a lone last character carries no whole byte
      {"", ""},
      {"=TWFu", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Decode(c.text), c.decoded);
  }
}

TEST(Base64DecodeTest, StopsAtTheEndOfTheTextWithoutATerminator) {
  const std::string text = "TWFuTWFu";
  EXPECT_EQ(Decode(text.substr(0, 6)), "Man\x4D");
}

class ImageKeyTest : public TerminalTest {
 protected:
  // A chunk stream of the plain bytes, encrypted with the key material.
  static std::string Encrypted(const std::string& plain, const std::string& material,
                               std::size_t chunk = image_format::kChunkPlainBytes) {
    return image_format::EncryptImage(plain, material, chunk);
  }
  // Decrypts the first chunk of a stream in a heap buffer as the reader does.
  int DecryptFirst(const std::string& stream, std::string* plain) {
    uint32_t length = 0;
    std::memcpy(&length, stream.data(), 4);
    auto* buffer = static_cast<uint8_t*>(platform::Kern().LocalAlloc(platform::kLptr, length + 8));
    std::memcpy(buffer, stream.data() + 4, length);
    uint32_t decoded = 0;
    const int result = DecryptImageChunk(m_key, &buffer, length, &decoded);
    if (result == 1) plain->assign(reinterpret_cast<const char*>(buffer), decoded);
    platform::Kern().LocalFree(buffer);
    return result;
  }

  ImageKey m_key;
};

TEST_F(ImageKeyTest, ASecondDerivationKeepsTheFirstKey) {
  const std::string first = "first material";
  EXPECT_EQ(DeriveImageKey(m_key, reinterpret_cast<const uint8_t*>(first.data()),
                           static_cast<uint32_t>(first.size())),
            0);
  EXPECT_EQ(DeriveImageKey(m_key, reinterpret_cast<const uint8_t*>("other"), 5), 0);
  std::string out;
  EXPECT_EQ(DecryptFirst(Encrypted("payload", first), &out), 1);
  EXPECT_EQ(out, "payload");
}

TEST_F(ImageKeyTest, ChunkFailures) {
  std::string out;
  EXPECT_EQ(DecryptFirst(Encrypted("no key yet", "Mesa cap"), &out), -3);
  InitImageKey(m_key);
  // A length that is not a multiple of the DES block.
  std::string stream = Encrypted("some text", "Mesa cap");
  stream.replace(0, 4, flash_testing::Le32(static_cast<uint32_t>(stream.size() - 5)));
  EXPECT_EQ(DecryptFirst(stream, &out), -6);
  // Bad padding: other key material.
  EXPECT_EQ(DecryptFirst(Encrypted("some text", "not it"), &out), -6);
}

class ChunkReaderTest : public ImageKeyTest {
 protected:
  void SetUp() override {
    ImageKeyTest::SetUp();
    InitImageKey(m_key);
    m_reader.key = &m_key;
  }
  void TearDown() override {
    ResetChunkReader(m_reader);
    ImageKeyTest::TearDown();
  }
  // Serves the stream from memory as the virtual files would, in reads of at most `piece`.
  MemberRead Serve(const std::string& stream, uint32_t piece = 0x40000) {
    m_stream = stream;
    m_at = 0;
    return [this, piece](uint8_t* buffer, uint32_t count, uint32_t* read) {
      *read = std::min<uint32_t>({count, piece, static_cast<uint32_t>(m_stream.size() - m_at)});
      std::memcpy(buffer, m_stream.data() + m_at, *read);
      m_at += *read;
      return 1;
    };
  }
  std::string Fetch(const MemberRead& read, uint32_t count, bool* ok) {
    std::string out(count, '\0');
    *ok = FetchImageBytesFrom(m_reader, read, count, reinterpret_cast<uint8_t*>(out.data()));
    return out;
  }

  ChunkReader m_reader;
  std::string m_stream;
  std::size_t m_at = 0;
};

TEST_F(ChunkReaderTest, ReadsCrossChunkBoundaries) {
  // Chunks of 6 plain bytes: after 2 bytes, 4 are left in the first chunk.
  const MemberRead read = Serve(Encrypted("ABCDEFGHIJKLMNOPQR", "Mesa cap", 6));
  bool ok = false;
  EXPECT_EQ(Fetch(read, 2, &ok), "AB");
  EXPECT_TRUE(ok);
  EXPECT_EQ(Fetch(read, 10, &ok), "CDEFGHIJKL");
  EXPECT_TRUE(ok);
  EXPECT_EQ(Fetch(read, 6, &ok), "MNOPQR");
  EXPECT_TRUE(ok);
  // The member has ended.
  Fetch(read, 1, &ok);
  EXPECT_FALSE(ok);
}

TEST_F(ChunkReaderTest, RefusesEmptyRequestsShortMembersAndBadChunks) {
  bool ok = true;
  const MemberRead read = Serve(Encrypted("0123456789", "Mesa cap"));
  EXPECT_FALSE(FetchImageBytesFrom(m_reader, read, 0, reinterpret_cast<uint8_t*>(&ok)));
  EXPECT_FALSE(FetchImageBytesFrom(m_reader, read, 4, nullptr));

  // Ciphertext cut short, read in pieces smaller than the chunk.
  std::string stream = Encrypted(std::string(3000, 'x'), "Mesa cap");
  const MemberRead cut = Serve(stream.substr(0, stream.size() - 8), 1000);
  Fetch(cut, 10, &ok);
  EXPECT_FALSE(ok);

  // A chunk length that is not a multiple of 8 fails the fetch (-6).
  stream = Encrypted("0123456789", "Mesa cap");
  stream = flash_testing::Le32(static_cast<uint32_t>(stream.size() - 4 - 1)) +
           stream.substr(4, stream.size() - 5);
  const MemberRead odd = Serve(stream);
  Fetch(odd, 4, &ok);
  EXPECT_FALSE(ok);

  // A chunk longer than program memory can hold fails its allocation, not the terminal.
  const MemberRead huge = Serve(flash_testing::Le32(0xFFFFFFF8U) + "rest");
  Fetch(huge, 4, &ok);
  EXPECT_FALSE(ok);
}

}  // namespace
