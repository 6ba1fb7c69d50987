// Signing update packages on the host: keys in PEM files, the signature member that the terminal
// checks, and the checks that pack list, verify and check make of it. The member's format is in
// src/package/manifest.h.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "package/manifest.h"
#include "sim/result.h"
#include "tools/package_file.h"

namespace tools {

// A fresh key pair from the system's random source.
sim::Status GenerateKeyPair(manifest::PrivateKey* privateKey, manifest::PublicKey* publicKey);
manifest::PublicKey PublicKeyOf(const manifest::PrivateKey& privateKey);

// Keys from PEM files; the messages name the file.
sim::Result<manifest::PrivateKey> ReadPrivateKeyFile(const std::string& path);
sim::Result<manifest::PublicKey> ReadPublicKeyFile(const std::string& path);

// The key's fingerprint: the first 16 hex digits of the SHA-256 of its 32 bytes.
std::string KeyFingerprint(const manifest::PublicKey& key);

// Rewrites the package at `path` with a signature member first, made with the key; a signature
// it held is replaced. The package must verify (header part, data, checksum) first. Written
// under a temporary name beside it and renamed over it, so a failure leaves it as it was.
sim::Status SignPackageFile(const std::string& path, const manifest::PrivateKey& privateKey);
// The manifest text that a signature of the package covers (a signature it holds left out), for
// a signature made elsewhere, and the rewrite with such a signature, which must verify with the
// public key first.
sim::Result<std::string> PackageManifest(const std::string& path);
sim::Status AttachSignature(const std::string& path, const std::string& signatureFile,
                            const manifest::PublicKey& publicKey);

// What a package's signature member says.
struct SignatureReport {
  bool present = false;
  manifest::PublicKey key{};  // the signer's, as the member names it
  // Why the signature, the manifest or (when hashed) a member's bytes do not hold; nothing when
  // they do.
  std::optional<std::string> problem;

  bool Valid() const { return present && !problem; }
};
// Reads the signature member, checks the signature with the key it names and the entries against
// the manifest, and with `hashMembers` every member's bytes against their hash.
enum class MemberHashes { kSkip, kCheck };
SignatureReport InspectSignature(const PackageFile& package, MemberHashes hashes);

// "pack verify"'s reading of a package: sums its checksum and inspects its signature with every
// member's hash. A signed package whose members' data lie in order before the checksum is read
// once, on every core, each piece's stored bytes summed where they are hashed; any other is
// summed with `plainSum` (and, signed, inspected after). *summed says whether the sum was read.
SignatureReport SumAndInspect(const PackageFile& package, container::ChecksumReader* checksum,
                              const std::function<sim::Status()>& plainSum, sim::Status* summed);

// One line for people: "unsigned", "signed by key <fingerprint>", or "signed by key <fp>, but
// <problem>".
std::string DescribeSignature(const SignatureReport& report);

// Whether a terminal with these trusted keys (PEM texts) takes the package's signature: nothing
// when it does (or trusts no key), else why not.
std::optional<std::string> TerminalRefusal(const SignatureReport& report,
                                           const std::vector<std::string>& trustedKeys);

}  // namespace tools
