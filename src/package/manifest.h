// The signature of an update package: one member of its own, named kSignatureMember, whose
// bytes are a text manifest of every other member (name, attribute word, length, and the digest
// of each kPieceSize piece of its data), then the 64-byte Ed25519 signature of exactly those
// manifest bytes, then the signer's 32-byte public key. A terminal that trusts a key checks the
// signature before it uses the package and each member's bytes against the manifest before they go
// anywhere; a terminal without a key never asks for the member, so unsigned and signed packages
// work there as before. Keys travel as the PEM files that common key tools write. Everything here
// reads bytes and texts; hashing and verifying are the caller's.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace manifest {

// The member's name: '<' and '>' are refused in members' names by the package builder and by
// the terminal's file system, so no member that a script copies can be called so.
inline constexpr const char* kSignatureMember = "<signature>";
inline constexpr std::string_view kFormatLine = "vostrel-manifest 2\n";
// Members are hashed in pieces of this size (the last one shorter), so that a reader checks each
// piece as it arrives, before handing on any of its bytes, and several cores hash one member.
// One piece is also what the desktop serves in one read.
inline constexpr uint32_t kPieceSize = 65536;
inline constexpr std::size_t kDigestSize = 32;
inline constexpr std::size_t kSignatureSize = 64;
inline constexpr std::size_t kKeySize = 32;
inline constexpr std::size_t kTrailerSize = kSignatureSize + kKeySize;
// A signature member longer than this is refused before it is read into memory; a package of
// 65535 members with the longest names fits.
inline constexpr std::size_t kMaxMemberSize = 64u << 20;

using Digest = std::array<uint8_t, kDigestSize>;
using PublicKey = std::array<uint8_t, kKeySize>;
using PrivateKey = std::array<uint8_t, kKeySize>;  // the Ed25519 seed
using Signature = std::array<uint8_t, kSignatureSize>;

struct Item {
  std::string name;  // UTF-8, as in the container
  uint32_t attrib = 0;
  uint32_t length = 0;
  std::vector<Digest> pieces;  // PieceCount(length) of them

  bool operator==(const Item&) const = default;
};

struct Manifest {
  std::vector<Item> items;  // in container order

  // The item of exactly this name; null when there is none.
  const Item* Find(std::string_view name) const;
  // The first item whose name equals name without regard to ASCII case, as the terminal finds
  // members; null when there is none.
  const Item* FindFolded(std::string_view name) const;
};

// The number of pieces of a member of this length; an empty member has none.
constexpr uint32_t PieceCount(uint32_t length) {
  return length / kPieceSize + (length % kPieceSize != 0 ? 1 : 0);
}
// The length of piece `index` of a member of this length.
constexpr uint32_t PieceLength(uint32_t length, uint32_t index) {
  return std::min(kPieceSize, length - index * kPieceSize);
}
// The digest of a piece: its 32-byte BLAKE3 hash.
Digest PieceDigest(const uint8_t* data, std::size_t length);
// The digests of every piece of a member's bytes, one after another.
std::vector<Digest> PieceDigestsOf(std::span<const uint8_t> bytes);

// The text form: the format line, then for each member a line "<length> <attrib as 8 hex
// digits> <name>\n" followed by one line "<digest hex>\n" for each of its pieces. Lower-case
// hex, decimal length, nothing else.
std::string FormatManifest(const Manifest& manifest);
// The strict reverse of FormatManifest. False with a message naming the line when the text is
// anything FormatManifest would not write, a name holds a control character, is empty, is the
// signature member's, or appears twice.
bool ParseManifest(std::string_view text, Manifest* manifest, std::string* error);

// The signature member's three parts, as views into its bytes.
struct SignedParts {
  std::span<const uint8_t> manifestText;
  Signature signature{};
  PublicKey key{};
};
// Splits the member's bytes. False when they are too short to hold the trailer or longer than
// kMaxMemberSize.
bool SplitMember(std::span<const uint8_t> member, SignedParts* parts, std::string* error);
// The member's bytes for a manifest text, its signature and the key.
std::vector<uint8_t> JoinMember(std::string_view manifestText, const Signature& signature,
                                const PublicKey& key);

// Keys in PEM: the public key as an Ed25519 SubjectPublicKeyInfo ("PUBLIC KEY"), the private as
// an unencrypted Ed25519 PKCS#8 ("PRIVATE KEY"), each the one fixed DER form. False with a
// message when the text is not exactly one such block.
bool ParsePublicKeyPem(std::string_view pem, PublicKey* key, std::string* error);
bool ParsePrivateKeyPem(std::string_view pem, PrivateKey* key, std::string* error);
std::string PublicKeyPem(const PublicKey& key);
std::string PrivateKeyPem(const PrivateKey& key);

// Lower-case hexadecimal of the bytes.
std::string Hex(std::span<const uint8_t> bytes);
// How people name a key: the first 16 hex digits of the SHA-256 of its raw 32 bytes, which the
// caller hashes.
std::string Fingerprint(const Digest& keyHash);

// One container entry as the manifest compares it.
struct EntryView {
  std::string_view name;
  uint32_t attrib;
  uint32_t length;
};
// Why the container's entries (the signature member left out) are not those of the manifest,
// in the same order with the same names, attribute words and lengths; nothing when they are.
std::optional<std::string> CompareEntries(const Manifest& manifest,
                                          std::span<const EntryView> entries);

}  // namespace manifest
