#include "tools/signing.h"

#include <fcntl.h>
#include <nettle/eddsa.h>
#include <nettle/sha2.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>
#include <span>
#include <thread>

#include "text/text.h"

namespace tools {

namespace {

// A member's logical bytes, read from the package it was stored in.
class PackageMemberContent final : public container::ContentSource {
 public:
  PackageMemberContent(const PackageFile& package, const container::Entry& entry)
      : m_package(package), m_entry(entry) {}
  bool Read(std::span<uint8_t> buffer, std::size_t* read) override {
    const std::size_t count =
        std::min<uint64_t>(buffer.size(), static_cast<uint64_t>(m_entry.fileLen) - m_done);
    if (!m_package.ReadStored(static_cast<uint64_t>(m_entry.offset) + m_done, buffer.data(), count,
                              read) ||
        *read != count) {
      return false;
    }
    container::Complement(buffer.first(*read));
    m_done += *read;
    return true;
  }

 private:
  const PackageFile& m_package;
  const container::Entry& m_entry;
  uint64_t m_done = 0;
};

// The digests of every piece of the entries, hashed on every core the host has.
using PieceDigests = std::vector<std::vector<manifest::Digest>>;
sim::Result<PieceDigests> HashPieces(const PackageFile& package,
                                     std::span<const container::Entry* const> entries) {
  PieceDigests digests(entries.size());
  struct Piece {
    std::size_t entry;
    uint32_t index;
  };
  std::vector<Piece> pieces;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    digests[i].resize(manifest::PieceCount(entries[i]->fileLen));
    for (uint32_t index = 0; index < digests[i].size(); ++index) pieces.push_back({i, index});
  }
  std::atomic<std::size_t> next = 0;
  std::atomic<bool> failed = false;
  std::mutex mutex;
  std::string error;
  auto work = [&] {
    const host::IoBuffer buffer = host::MakeIoBuffer(manifest::kPieceSize);
    for (std::size_t taken = next++; taken < pieces.size() && !failed; taken = next++) {
      const container::Entry& entry = *entries[pieces[taken].entry];
      const uint32_t index = pieces[taken].index;
      const uint32_t length = manifest::PieceLength(entry.fileLen, index);
      std::size_t read = 0;
      if (!package.ReadStored(static_cast<uint64_t>(entry.offset) +
                                  static_cast<uint64_t>(index) * manifest::kPieceSize,
                              buffer.get(), length, &read) ||
          read != length) {
        const std::lock_guard lock(mutex);
        error = text::Sprintf("%s: the member \"%s\" cannot be read", package.Path(), entry.name);
        failed = true;
        return;
      }
      container::Complement({buffer.get(), length});
      digests[pieces[taken].entry][index] = manifest::PieceDigest(buffer.get(), length);
    }
  };
  std::vector<std::thread> helpers;
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  for (unsigned i = 1; i < cores && i < pieces.size(); ++i) helpers.emplace_back(work);
  work();
  for (std::thread& helper : helpers) helper.join();
  if (failed) return sim::Result<PieceDigests>::Failure(error);
  return digests;
}

// The package must be one the terminal takes before it is signed: a signature over a broken
// package would only hide that.
sim::Status CheckIntact(const PackageFile& package) {
  const container::HeaderTable& table = package.Headers();
  if (!table.ok()) {
    return sim::Status::Failure(package.Path() + ": " + container::DescribeHeaderError(table));
  }
  for (const container::Entry& entry : table.entries) {
    if (!container::DataInside(entry, table.headerLength, package.Length())) {
      return sim::Status::Failure(text::Sprintf(
          "%s: the data of \"%s\" do not lie inside the package", package.Path(), entry.name));
    }
  }
  container::ChecksumReader checksum(package.Length());
  if (sim::Status summed = package.Sum(&checksum); !summed) return summed;
  if (!checksum.Holds()) {
    return sim::Status::Failure(package.Path() + ": the checksum does not hold");
  }
  return {};
}

template <typename Key>
sim::Result<Key> ReadKeyFile(const std::string& path,
                             bool (*parse)(std::string_view, Key*, std::string*)) {
  auto text = host::ReadFile(path);
  if (!text) return sim::Result<Key>::Failure(text.error());
  Key key;
  std::string error;
  if (!parse(*text, &key, &error)) return sim::Result<Key>::Failure(path + ": " + error);
  return key;
}

}  // namespace

sim::Status GenerateKeyPair(manifest::PrivateKey* privateKey, manifest::PublicKey* publicKey) {
  if (::getrandom(privateKey->data(), privateKey->size(), 0) !=
      static_cast<ssize_t>(privateKey->size())) {
    return sim::Status::Failure("no random bytes: " + host::ErrnoText(errno));
  }
  *publicKey = PublicKeyOf(*privateKey);
  return {};
}

manifest::PublicKey PublicKeyOf(const manifest::PrivateKey& privateKey) {
  manifest::PublicKey key;
  ed25519_sha512_public_key(key.data(), privateKey.data());
  return key;
}

sim::Result<manifest::PrivateKey> ReadPrivateKeyFile(const std::string& path) {
  return ReadKeyFile<manifest::PrivateKey>(path, manifest::ParsePrivateKeyPem);
}

sim::Result<manifest::PublicKey> ReadPublicKeyFile(const std::string& path) {
  return ReadKeyFile<manifest::PublicKey>(path, manifest::ParsePublicKeyPem);
}

std::string KeyFingerprint(const manifest::PublicKey& key) {
  manifest::Digest digest;
  sha256_ctx context;
  sha256_init(&context);
  sha256_update(&context, key.size(), key.data());
  sha256_digest(&context, digest.size(), digest.data());
  return manifest::Fingerprint(digest);
}

namespace {

// The package's manifest (a signature it holds left out) and its other members, read from it.
struct Unsigned {
  std::string manifestText;
  std::vector<std::unique_ptr<PackageMemberContent>> sources;
  std::vector<container::Member> members;
};

sim::Status ReadUnsigned(const PackageFile& package, Unsigned* out) {
  if (sim::Status intact = CheckIntact(package); !intact) return intact;
  std::vector<const container::Entry*> entries;
  for (const container::Entry& entry : package.Headers().entries) {
    if (entry.name != manifest::kSignatureMember) entries.push_back(&entry);
  }
  auto digests = HashPieces(package, entries);
  if (!digests) return sim::Status::Failure(digests.error());
  manifest::Manifest contents;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const container::Entry& entry = *entries[i];
    contents.items.push_back({entry.name, entry.attrib, entry.fileLen, std::move((*digests)[i])});
    out->sources.push_back(std::make_unique<PackageMemberContent>(package, entry));
    container::Member member;
    member.name = entry.name;
    member.attrib = entry.attrib;
    member.source = out->sources.back().get();
    member.length = entry.fileLen;
    out->members.push_back(std::move(member));
  }
  out->manifestText = manifest::FormatManifest(contents);
  manifest::Manifest reparsed;
  std::string error;
  // A name the manifest cannot carry (a control character, a repeated name) cannot be signed.
  if (!manifest::ParseManifest(out->manifestText, &reparsed, &error)) {
    return sim::Status::Failure(package.Path() + ": cannot be signed: " + error);
  }
  return {};
}

// Writes the package again with the signature member first, aside and renamed over it.
sim::Status WriteSigned(const std::string& path, Unsigned& contents,
                        const manifest::Signature& signature, const manifest::PublicKey& key) {
  container::Member first;
  first.name = manifest::kSignatureMember;
  first.attrib = container::kAttribNormal;
  const std::vector<uint8_t> bytes = manifest::JoinMember(contents.manifestText, signature, key);
  first.contents.assign(bytes.begin(), bytes.end());
  contents.members.insert(contents.members.begin(), std::move(first));

  const std::string temporary = path + ".signing-" + std::to_string(::getpid());
  host::Fd out(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  if (out.Get() < 0) return sim::Status::Failure(temporary + ": " + host::ErrnoText(errno));
  class Sink final : public container::ByteSink {
   public:
    explicit Sink(int fd) : m_fd(fd) {}
    bool Write(std::span<const uint8_t> chunk) override {
      return host::WriteFully(m_fd, chunk.data(), chunk.size());
    }

   private:
    int m_fd;
  } sink(out.Get());
  std::string error;
  bool ok = container::WriteContainer(contents.members, {}, sink, &error);
  if (ok && ::fsync(out.Get()) != 0) {
    error = temporary + ": " + host::ErrnoText(errno);
    ok = false;
  }
  out.Reset();
  if (ok && std::rename(temporary.c_str(), path.c_str()) != 0) {
    error = path + ": " + host::ErrnoText(errno);
    ok = false;
  }
  if (!ok) {
    ::unlink(temporary.c_str());
    return sim::Status::Failure("cannot sign " + path + ": " + error);
  }
  return {};
}

}  // namespace

sim::Result<std::string> PackageManifest(const std::string& path) {
  auto package = PackageFile::Open(path);
  if (!package) return sim::Result<std::string>::Failure(package.error());
  Unsigned contents;
  if (sim::Status read = ReadUnsigned(*package, &contents); !read) {
    return sim::Result<std::string>::Failure(read.error());
  }
  return contents.manifestText;
}

sim::Status SignPackageFile(const std::string& path, const manifest::PrivateKey& privateKey) {
  auto package = PackageFile::Open(path);
  if (!package) return sim::Status::Failure(package.error());
  Unsigned contents;
  if (sim::Status read = ReadUnsigned(*package, &contents); !read) return read;
  const manifest::PublicKey publicKey = PublicKeyOf(privateKey);
  manifest::Signature signature;
  const std::string& text = contents.manifestText;
  ed25519_sha512_sign(publicKey.data(), privateKey.data(), text.size(),
                      reinterpret_cast<const uint8_t*>(text.data()), signature.data());
  return WriteSigned(path, contents, signature, publicKey);
}

sim::Status AttachSignature(const std::string& path, const std::string& signatureFile,
                            const manifest::PublicKey& publicKey) {
  auto bytes = host::ReadFile(signatureFile);
  if (!bytes) return sim::Status::Failure(bytes.error());
  if (bytes->size() != manifest::kSignatureSize) {
    return sim::Status::Failure(signatureFile + ": an Ed25519 signature has 64 bytes, not " +
                                std::to_string(bytes->size()));
  }
  manifest::Signature signature;
  std::copy(bytes->begin(), bytes->end(), signature.begin());
  auto package = PackageFile::Open(path);
  if (!package) return sim::Status::Failure(package.error());
  Unsigned contents;
  if (sim::Status read = ReadUnsigned(*package, &contents); !read) return read;
  const std::string& text = contents.manifestText;
  if (ed25519_sha512_verify(publicKey.data(), text.size(),
                            reinterpret_cast<const uint8_t*>(text.data()), signature.data()) != 1) {
    return sim::Status::Failure(signatureFile + ": not the key's signature of " + path +
                                "'s manifest (\"vostrel pack manifest\")");
  }
  return WriteSigned(path, contents, signature, publicKey);
}

SignatureReport InspectSignature(const PackageFile& package, MemberHashes hashes) {
  SignatureReport report;
  const container::Entry* found = nullptr;
  for (const container::Entry& entry : package.Headers().entries) {
    if (entry.name == manifest::kSignatureMember) found = &entry;
  }
  if (found == nullptr) return report;
  report.present = true;
  std::string bytes;
  if (sim::Status read = package.ReadMember(*found, &bytes); !read) {
    report.problem = read.error();
    return report;
  }
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  manifest::SignedParts parts;
  std::string error;
  if (!manifest::SplitMember(std::span(data, bytes.size()), &parts, &error)) {
    report.problem = error;
    return report;
  }
  report.key = parts.key;
  if (ed25519_sha512_verify(parts.key.data(), parts.manifestText.size(), parts.manifestText.data(),
                            parts.signature.data()) != 1) {
    report.problem = "the signature does not match the manifest";
    return report;
  }
  manifest::Manifest contents;
  const std::string_view text(reinterpret_cast<const char*>(parts.manifestText.data()),
                              parts.manifestText.size());
  if (!manifest::ParseManifest(text, &contents, &error)) {
    report.problem = error;
    return report;
  }
  std::vector<manifest::EntryView> entries;
  for (const container::Entry& entry : package.Headers().entries) {
    entries.push_back({entry.name, entry.attrib, entry.fileLen});
  }
  if (auto mismatch = manifest::CompareEntries(contents, entries)) {
    report.problem = std::move(mismatch);
    return report;
  }
  if (hashes == MemberHashes::kSkip) return report;
  std::vector<const container::Entry*> members;
  std::vector<const manifest::Item*> items;
  for (const container::Entry& entry : package.Headers().entries) {
    const manifest::Item* item = contents.Find(entry.name);
    if (item == nullptr) continue;  // the signature member
    members.push_back(&entry);
    items.push_back(item);
  }
  auto digests = HashPieces(package, members);
  if (!digests) {
    report.problem = digests.error();
    return report;
  }
  for (std::size_t i = 0; i < members.size() && !report.problem; ++i) {
    if ((*digests)[i] != items[i]->pieces) {
      report.problem =
          text::Sprintf("the member \"%s\" differs from its manifest", members[i]->name);
    }
  }
  return report;
}

std::string DescribeSignature(const SignatureReport& report) {
  if (!report.present) return "unsigned";
  std::string line = "signed by key " + KeyFingerprint(report.key);
  if (report.problem) line += ", but " + *report.problem;
  return line;
}

std::optional<std::string> TerminalRefusal(const SignatureReport& report,
                                           const std::vector<std::string>& trustedKeys) {
  if (trustedKeys.empty()) return std::nullopt;
  if (!report.present) return "the package is not signed";
  if (report.problem) return *report.problem;
  for (const std::string& pem : trustedKeys) {
    manifest::PublicKey key;
    std::string error;
    if (manifest::ParsePublicKeyPem(pem, &key, &error) && key == report.key) return std::nullopt;
  }
  return "key " + KeyFingerprint(report.key) + " is not one the terminal trusts";
}

}  // namespace tools
