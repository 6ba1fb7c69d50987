// The fault matrix's signed packages: the demo's package signed with the matrix's key, and the
// ways of getting past a terminal that trusts it that each must fail.
#include <nlohmann/json.hpp>

#include "package/manifest.h"
#include "tools/fault_matrix.h"
#include "tools/host_files.h"
#include "tools/signing.h"

namespace tools::faults {

namespace fs = std::filesystem;

namespace {

manifest::PrivateKey Seed(uint8_t first) {
  manifest::PrivateKey seed;
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<uint8_t>(first + 3 * i);
  return seed;
}
const manifest::PrivateKey kMatrixKey = Seed(0x40);
const manifest::PrivateKey kOtherKey = Seed(0x90);

using Members = std::vector<container::Member>;

sim::Result<Members> ReadMembers(const fs::path& file) {
  auto package = PackageFile::Open(file.string());
  if (!package) return sim::Result<Members>::Failure(package.error());
  Members members;
  for (const container::Entry& entry : package->Headers().entries) {
    container::Member member;
    member.name = entry.name;
    member.attrib = entry.attrib;
    if (sim::Status read = package->ReadMember(entry, &member.contents); !read) {
      return sim::Result<Members>::Failure(read.error());
    }
    members.push_back(std::move(member));
  }
  return members;
}

// Writes the members with a checksum that holds: only the signature can tell.
sim::Status WriteMembers(const fs::path& file, const Members& members) {
  container::VectorSink sink;
  std::string error;
  if (!container::WriteContainer(members, {}, sink, &error)) {
    return sim::Status::Failure(file.string() + ": " + error);
  }
  return host::WriteFile(file, std::string(sink.Bytes().begin(), sink.Bytes().end()));
}

sim::Result<Members> SignedCopy(const fs::path& from, const fs::path& to,
                                const manifest::PrivateKey& key) {
  if (sim::Status copied = host::CopyFile(from, to); !copied) {
    return sim::Result<Members>::Failure(copied.error());
  }
  if (sim::Status signedFile = SignPackageFile(to.string(), key); !signedFile) {
    return sim::Result<Members>::Failure(signedFile.error());
  }
  return ReadMembers(to);
}

container::Member* Find(Members& members, std::string_view name) {
  for (container::Member& member : members) {
    if (member.name == name) return &member;
  }
  return nullptr;
}

}  // namespace

std::string MatrixTrustedKeys() {
  return nlohmann::json::array({manifest::PublicKeyPem(PublicKeyOf(kMatrixKey))}).dump();
}

sim::Status BuildSignedPackages(const fs::path& dir, std::map<PackageKind, fs::path>& packages) {
  const fs::path demo = packages.at(PackageKind::kDemo);
  auto signedDemo = SignedCopy(demo, dir / "signed-demo.bin", kMatrixKey);
  if (!signedDemo) return sim::Status::Failure(signedDemo.error());
  packages[PackageKind::kSigned] = dir / "signed-demo.bin";
  // The GPS firmware, written first; a package without one has its last member changed.
  container::Member* firmware = Find(*signedDemo, "GPS\\VGPS_330.BIN");
  if (firmware == nullptr) firmware = &signedDemo->back();
  if (firmware->contents.empty()) {
    return sim::Status::Failure(demo.string() + ": its member to change is empty");
  }
  Members changed = *signedDemo;
  std::string& bytes = Find(changed, firmware->name)->contents;
  bytes[bytes.size() / 2] = static_cast<char>(bytes[bytes.size() / 2] ^ 0x40);
  const fs::path changedFile = dir / "signed-member-changed.bin";
  if (sim::Status written = WriteMembers(changedFile, changed); !written) return written;
  packages[PackageKind::kSignedMemberChanged] = changedFile;

  const fs::path otherFile = dir / "signed-by-another-key.bin";
  if (auto other = SignedCopy(demo, otherFile, kOtherKey); !other) {
    return sim::Status::Failure(other.error());
  }
  packages[PackageKind::kSignedByAnotherKey] = otherFile;

  auto os =
      SignedCopy(packages.at(PackageKind::kOsImages), dir / "signed-os-images.bin", kMatrixKey);
  if (!os) return sim::Status::Failure(os.error());
  Members foreign = *signedDemo;
  Find(foreign, manifest::kSignatureMember)->contents =
      Find(*os, manifest::kSignatureMember)->contents;
  const fs::path foreignFile = dir / "signed-foreign-manifest.bin";
  if (sim::Status written = WriteMembers(foreignFile, foreign); !written) return written;
  packages[PackageKind::kSignedForeignManifest] = foreignFile;

  // An older release of the same length: the application one step back.
  Members older = *signedDemo;
  if (Find(older, "Vostrel.ini") == nullptr) {
    return sim::Status::Failure(demo.string() + ": no member \"Vostrel.ini\"");
  }
  std::string& settings = Find(older, "Vostrel.ini")->contents;
  const std::size_t version = settings.find("Application|2.1.0|");
  if (version != std::string::npos) {
    settings.replace(version, 17, "Application|2.0.9");
  } else if (!settings.empty()) {
    settings.back() = static_cast<char>(settings.back() ^ 0x20);
  }
  const fs::path olderFile = dir / "signed-older.bin";
  if (sim::Status written = WriteMembers(olderFile, older); !written) return written;
  if (sim::Status signedFile = SignPackageFile(olderFile.string(), kMatrixKey); !signedFile) {
    return signedFile;
  }
  auto olderSigned = ReadMembers(olderFile);
  if (!olderSigned) return sim::Status::Failure(olderSigned.error());
  Members swapped = *signedDemo;
  Find(swapped, "Vostrel.ini")->contents = Find(*olderSigned, "Vostrel.ini")->contents;
  const fs::path swappedFile = dir / "signed-older-settings.bin";
  if (sim::Status written = WriteMembers(swappedFile, swapped); !written) return written;
  packages[PackageKind::kSignedOlderSettings] = swappedFile;
  return {};
}

}  // namespace tools::faults
