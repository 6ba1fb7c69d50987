// The portable Ed25519 verification against Nettle's and openssl's signatures, and its SHA-512
// against known digests.
#include "common/ed25519.h"

#include <gtest/gtest.h>
#include <nettle/eddsa.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes FromHex(const std::string& hex) {
  Bytes bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::string ToHex(const std::array<uint8_t, 64>& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const uint8_t b : bytes) hex += {kDigits[b >> 4], kDigits[b & 15]};
  return hex;
}

struct Signed {
  Bytes key = Bytes(32), message, signature = Bytes(64);
  bool Verifies() const {
    return ed25519::Verify(key.data(), message.data(), message.size(), signature.data());
  }
};

Signed SignWithNettle(std::mt19937& random, std::size_t length) {
  uint8_t secret[32];
  for (auto& b : secret) b = static_cast<uint8_t>(random());
  Signed s;
  for (std::size_t i = 0; i < length; ++i) s.message.push_back(static_cast<uint8_t>(random()));
  ed25519_sha512_public_key(s.key.data(), secret);
  ed25519_sha512_sign(s.key.data(), secret, s.message.size(), s.message.data(), s.signature.data());
  return s;
}

// p + 1 and p - 1 as little-endian encodings: 1 written without reduction, and -1.
Bytes PPlusOne() {
  Bytes b(32, 0xff);
  b[0] = 0xee;
  b[31] = 0x7f;
  return b;
}

TEST(Sha512, KnownDigests) {
  const auto digest = [](const std::string& text, std::size_t piece) {
    ed25519::Sha512 hash;
    for (std::size_t at = 0; at < text.size(); at += piece) {
      hash.Update(reinterpret_cast<const uint8_t*>(text.data()) + at,
                  std::min(piece, text.size() - at));
    }
    return ToHex(hash.Finish());
  };
  EXPECT_EQ(digest("", 1),
            "cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce47d0d13c5d85f2b0ff8318"
            "d2877eec2f63b931bd47417a81a538327af927da3e");
  EXPECT_EQ(digest("abc", 3),
            "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a2192992a274fc1a836ba3c"
            "23a3feebbd454d4423643ce80e2a9ac94fa54ca49f");
  // 112 bytes: the padding's length no longer fits the block and takes one of its own.
  EXPECT_EQ(digest("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmno"
                   "pqklmnopqrlmnopqrsmnopqrstnopqrstu",
                   5),
            "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018501d289e4900f7e4331b99"
            "dec4b5433ac7d329eeb6dd26545e96e55b874be909");
  // Fed in pieces that straddle the blocks, and in whole blocks past a partial one.
  const std::string million(1000000, 'a');
  const std::string expected =
      "e718483d0ce769644e2e42c7bc15b4638e1f98b13b2044285632a803afa973ebde0ff244877ea60a4cb0432ce5"
      "77c31beb009c5c2c49aa2e4eadb217ad8cc09b";
  EXPECT_EQ(digest(million, 1000), expected);
  EXPECT_EQ(digest(million, 4099), expected);
}

TEST(Ed25519, NettleSignaturesVerify) {
  std::mt19937 random(2207);
  for (const std::size_t length : {0, 1, 31, 32, 63, 64, 111, 112, 127, 128, 129, 1000, 4096}) {
    for (int seed = 0; seed < 4; ++seed) {
      EXPECT_TRUE(SignWithNettle(random, length).Verifies()) << length << " bytes";
    }
  }
}

// Made with openssl 3:
//   openssl genpkey -algorithm ed25519 -out key.pem
//   openssl pkey -in key.pem -pubout -outform DER | tail -c 32 | xxd -p -c 32
//   openssl pkeyutl -sign -rawin -inkey key.pem -in MESSAGE | xxd -p -c 64
TEST(Ed25519, OpensslSignaturesVerify) {
  const Bytes key = FromHex("7f35b6235e9ff139bbe0ad2b0a132e86961717eef1902786dae54ee493cdc01d");
  const std::pair<std::string, std::string> known[] = {
      {"V",
       "6fa4dd6579d3c92da9b19b4f90202c7c4bcafff7eeffecd31218c9f135f1877a5a0d7feacf36f076a50ef10e527"
       "7"
       "3f54b73e85231ed7e1022910efcebf845006"},
      {"VostrelHHT signed package",
       "e21d26f4ccbcb00ad8e7d9bef692fcbb44336af9509fb9a44d5b066e1bcfb099bfb7764c5689152b378257e8cc9"
       "d"
       "49fa5da65f772e470a15aee04e7802d8ab07"},
      {std::string(200, 'v'),
       "30a2068d9ed3ae7af8868c686f3240f4f74d9176c5706d62400ebe4db2b72657a2ce6325f1445cefae7934f8c15"
       "5"
       "5f6770b3bef851e96d83744d7af6db7ff101"},
  };
  for (const auto& [message, hex] : known) {
    Signed s{key, Bytes(message.begin(), message.end()), FromHex(hex)};
    EXPECT_TRUE(s.Verifies()) << message;
    s.message.back() ^= 1;
    EXPECT_FALSE(s.Verifies()) << message;
  }
}

TEST(Ed25519, EverySingleBitFlipFails) {
  std::mt19937 random(22);
  const Signed original = SignWithNettle(random, 12);
  ASSERT_TRUE(original.Verifies());
  for (Bytes Signed::*part : {&Signed::key, &Signed::message, &Signed::signature}) {
    for (std::size_t bit = 0; bit < (original.*part).size() * 8; ++bit) {
      Signed flipped = original;
      (flipped.*part)[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
      EXPECT_FALSE(flipped.Verifies()) << "bit " << bit;
    }
  }
}

TEST(Ed25519, NonCanonicalAndInvalidEncodingsFail) {
  std::mt19937 random(8032);
  // S + L names the same scalar as S, but only S itself is a valid signature.
  Signed s = SignWithNettle(random, 40);
  const Bytes order = FromHex("edd3f55c1a631258d69cf7a2def9de14" + std::string(30, '0') + "10");
  unsigned carry = 0;
  for (std::size_t i = 0; i < 32; ++i) {
    const unsigned sum = s.signature[32 + i] + order[i] + carry;
    s.signature[32 + i] = static_cast<uint8_t>(sum);
    carry = sum >> 8;
  }
  EXPECT_FALSE(s.Verifies());

  // The neutral point as key with R the neutral point and S = 0: [0]B - [k]A is R for every
  // message, so the canonical encoding verifies; the same point spelt otherwise must not.
  Signed neutral{Bytes(32), {1, 2, 3}, Bytes(64)};
  neutral.key[0] = 1;
  neutral.signature[0] = 1;
  ASSERT_TRUE(neutral.Verifies());
  Signed unreduced = neutral;
  unreduced.key = PPlusOne();  // y = p + 1
  EXPECT_FALSE(unreduced.Verifies());
  Signed negativeZero = neutral;
  negativeZero.key[31] |= 0x80;  // x = 0 with the sign bit set
  EXPECT_FALSE(negativeZero.Verifies());
  Signed unreducedR = neutral;
  std::copy_n(PPlusOne().begin(), 32, unreducedR.signature.begin());
  EXPECT_FALSE(unreducedR.Verifies());

  // Keys that are no point: y = 2 has no x on the curve, and all ones is no y below p.
  Signed off = SignWithNettle(random, 40);
  off.key.assign(32, 0);
  off.key[0] = 2;
  EXPECT_FALSE(off.Verifies());
  off.key.assign(32, 0xff);
  EXPECT_FALSE(off.Verifies());
}

}  // namespace
