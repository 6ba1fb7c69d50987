#include "tools/signing.h"

#include <fcntl.h>
#include <nettle/eddsa.h>
#include <nettle/sha2.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <functional>
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

// The digests of every piece of the entries, hashed on every core the host has, and the sum of
// each piece's stored bytes, for the checksum.
struct HashedPieces {
  std::vector<std::vector<manifest::Digest>> digests;
  std::vector<std::vector<uint32_t>> storedSums;
};
sim::Result<HashedPieces> HashPieces(const PackageFile& package,
                                     std::span<const container::Entry* const> entries) {
  HashedPieces hashed;
  hashed.digests.resize(entries.size());
  hashed.storedSums.resize(entries.size());
  struct Piece {
    std::size_t entry;
    uint32_t index;
  };
  std::vector<Piece> pieces;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    hashed.digests[i].resize(manifest::PieceCount(entries[i]->fileLen));
    hashed.storedSums[i].resize(hashed.digests[i].size());
    for (uint32_t index = 0; index < hashed.digests[i].size(); ++index) {
      pieces.push_back({i, index});
    }
  }
  std::atomic<std::size_t> next = 0;
  std::atomic<bool> failed = false;
  std::mutex mutex;
  std::string error;
  const std::unique_ptr<const PackageFile::Mapping> mapping = package.Map();
  const auto read = [&](uint64_t offset, uint8_t* out, uint32_t length) {
    if (mapping != nullptr) return mapping->Copy(offset, out, length);
    std::size_t done = 0;
    return package.ReadStored(offset, out, length, &done) && done == length;
  };
  auto work = [&] {
    const host::IoBuffer buffer = host::MakeIoBuffer(manifest::kPieceSize);
    for (std::size_t taken = next++; taken < pieces.size() && !failed; taken = next++) {
      const auto [i, index] = pieces[taken];
      const container::Entry& entry = *entries[i];
      const uint32_t length = manifest::PieceLength(entry.fileLen, index);
      if (!read(static_cast<uint64_t>(entry.offset) +
                    static_cast<uint64_t>(index) * manifest::kPieceSize,
                buffer.get(), length)) {
        const std::lock_guard lock(mutex);
        error = text::Sprintf("%s: the member \"%s\" cannot be read", package.Path(), entry.name);
        failed = true;
        return;
      }
      // While the piece is in the cache: its stored sum, then its logical bytes' digest.
      const std::span<uint8_t> bytes(buffer.get(), length);
      hashed.storedSums[i][index] = container::SumBytes(bytes);
      container::Complement(bytes);
      hashed.digests[i][index] = manifest::PieceDigest(bytes.data(), length);
    }
  };
  std::vector<std::thread> helpers;
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  for (unsigned i = 1; i < cores && i < pieces.size(); ++i) helpers.emplace_back(work);
  work();
  for (std::thread& helper : helpers) helper.join();
  if (failed) return sim::Result<HashedPieces>::Failure(error);
  return hashed;
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
  auto hashed = HashPieces(package, entries);
  if (!hashed) return sim::Status::Failure(hashed.error());
  manifest::Manifest contents;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const container::Entry& entry = *entries[i];
    contents.items.push_back(
        {entry.name, entry.attrib, entry.fileLen, std::move(hashed->digests[i])});
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

namespace {

// The members of a package whose signature and entries hold, each with its manifest item.
struct SignedMembers {
  manifest::Manifest contents;
  std::vector<const container::Entry*> entries;
  std::vector<const manifest::Item*> items;
};

// Reads the signature member and checks the signature and the entries; the members to hash
// when they hold, nothing after recording in the report why not.
std::optional<SignedMembers> InspectUpToHashes(const PackageFile& package,
                                               SignatureReport* report) {
  const container::Entry* found = nullptr;
  for (const container::Entry& entry : package.Headers().entries) {
    if (entry.name == manifest::kSignatureMember) found = &entry;
  }
  if (found == nullptr) return std::nullopt;
  report->present = true;
  std::string bytes;
  if (sim::Status read = package.ReadMember(*found, &bytes); !read) {
    report->problem = read.error();
    return std::nullopt;
  }
  const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
  manifest::SignedParts parts;
  std::string error;
  if (!manifest::SplitMember(std::span(data, bytes.size()), &parts, &error)) {
    report->problem = error;
    return std::nullopt;
  }
  report->key = parts.key;
  if (ed25519_sha512_verify(parts.key.data(), parts.manifestText.size(), parts.manifestText.data(),
                            parts.signature.data()) != 1) {
    report->problem = "the signature does not match the manifest";
    return std::nullopt;
  }
  SignedMembers members;
  const std::string_view text(reinterpret_cast<const char*>(parts.manifestText.data()),
                              parts.manifestText.size());
  if (!manifest::ParseManifest(text, &members.contents, &error)) {
    report->problem = error;
    return std::nullopt;
  }
  std::vector<manifest::EntryView> views;
  for (const container::Entry& entry : package.Headers().entries) {
    views.push_back({entry.name, entry.attrib, entry.fileLen});
  }
  if (auto mismatch = manifest::CompareEntries(members.contents, views)) {
    report->problem = std::move(mismatch);
    return std::nullopt;
  }
  for (const container::Entry& entry : package.Headers().entries) {
    const manifest::Item* item = members.contents.Find(entry.name);
    if (item == nullptr) continue;  // the signature member
    members.entries.push_back(&entry);
    members.items.push_back(item);
  }
  return members;
}

// Compares the hashed pieces with the manifest; the first member that differs goes into the
// report.
void CompareDigests(const SignedMembers& members, const HashedPieces& hashed,
                    SignatureReport* report) {
  for (std::size_t i = 0; i < members.entries.size() && !report->problem; ++i) {
    if (hashed.digests[i] != members.items[i]->pieces) {
      report->problem =
          text::Sprintf("the member \"%s\" differs from its manifest", members.entries[i]->name);
    }
  }
}

// Whether the members' data lie one after another, in container order, before the checksum,
// so that summing the bytes between them and their pieces' sums sums every byte once.
bool LieInOrder(const SignedMembers& members, uint64_t dataLength) {
  uint64_t end = 0;
  for (const container::Entry* entry : members.entries) {
    if (entry->offset < end) return false;
    end = static_cast<uint64_t>(entry->offset) + entry->fileLen;
  }
  return end <= dataLength;
}

// Adds the stored bytes from..to of the package to the checksum.
sim::Status SumRange(const PackageFile& package, uint64_t from, uint64_t to,
                     container::ChecksumReader* checksum) {
  const host::IoBuffer buffer = host::MakeIoBuffer();
  while (from < to) {
    std::size_t read = 0;
    const std::size_t count =
        static_cast<std::size_t>(std::min<uint64_t>(host::kIoChunk, to - from));
    if (!package.ReadStored(from, buffer.get(), count, &read) || read != count) {
      return sim::Status::Failure(package.Path() + ": the file changed while it was read");
    }
    checksum->AddStored({buffer.get(), read});
    from += read;
  }
  return {};
}

}  // namespace

SignatureReport InspectSignature(const PackageFile& package, MemberHashes hashes) {
  SignatureReport report;
  const std::optional<SignedMembers> members = InspectUpToHashes(package, &report);
  if (!members || hashes == MemberHashes::kSkip) return report;
  auto hashed = HashPieces(package, members->entries);
  if (!hashed) {
    report.problem = hashed.error();
  } else {
    CompareDigests(*members, *hashed, &report);
  }
  return report;
}

SignatureReport SumAndInspect(const PackageFile& package, container::ChecksumReader* checksum,
                              const std::function<sim::Status()>& plainSum, sim::Status* summed) {
  SignatureReport report;
  const std::optional<SignedMembers> members = InspectUpToHashes(package, &report);
  if (!members || !LieInOrder(*members, checksum->DataLength())) {
    *summed = plainSum();
    if (members && *summed) report = InspectSignature(package, MemberHashes::kCheck);
    return report;
  }
  auto hashed = HashPieces(package, members->entries);
  if (!hashed) {
    *summed = sim::Status::Failure(hashed.error());
    return report;
  }
  CompareDigests(*members, *hashed, &report);
  uint64_t position = 0;
  for (std::size_t i = 0; i < members->entries.size(); ++i) {
    const container::Entry& entry = *members->entries[i];
    *summed = SumRange(package, position, entry.offset, checksum);
    if (!*summed) return report;
    for (uint32_t index = 0; index < hashed->storedSums[i].size(); ++index) {
      checksum->AddStoredSum(manifest::PieceLength(entry.fileLen, index),
                             hashed->storedSums[i][index]);
    }
    position = static_cast<uint64_t>(entry.offset) + entry.fileLen;
  }
  *summed = SumRange(package, position, package.Length(), checksum);
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
