#include "package/signature.h"

#include <string>
#include <vector>

#include "log/log.h"
#include "package/container_format.h"
#include "package/file_virtual.h"
#include "platform/platform.h"
#include "text/text.h"
#include "utils/utils.h"

namespace {

// The signature member is read in pieces that any desktop's cache holds.
constexpr uint32_t kSignatureReadSize = 65536;

// The trusted keys that parse; a key that does not is logged and left out, so that a terminal
// whose keys all fail takes nothing rather than everything.
std::vector<manifest::PublicKey> ReadTrustedKeys(const std::vector<std::string>& pems) {
  std::vector<manifest::PublicKey> keys;
  for (const std::string& pem : pems) {
    manifest::PublicKey key;
    std::string error;
    if (manifest::ParsePublicKeyPem(pem, &key, &error)) {
      keys.push_back(key);
    } else {
      LogAt(1, "CheckPackageSignature: Trusted key ignored [%s]", error);
    }
  }
  return keys;
}

// The signature member's bytes; false after reporting.
bool ReadSignatureMember(CFileVirtual& package, const CFileHeader& header, const char* operation,
                         std::vector<uint8_t>* bytes) {
  if (header.FileLen > manifest::kMaxMemberSize) {
    ReportError(1051, operation, "Bad package signature [%s]", "the signature member is too long");
    return false;
  }
  if (!package.HHTFileOpen(manifest::kSignatureMember)) return false;
  bytes->resize(header.FileLen);
  uint32_t done = 0;
  bool ok = true;
  while (ok && done < header.FileLen) {
    uint32_t read = 0;
    ok = package.HHTFileRead(bytes->data() + done,
                             std::min<uint32_t>(kSignatureReadSize, header.FileLen - done),
                             &read) != 0 &&
         read > 0;
    done += read;
  }
  package.HHTFileClose();
  if (!ok) {
    ReportError(1051, operation, "Bad package signature [%s]",
                "the signature member cannot be read");
  }
  return ok;
}

}  // namespace

manifest::Digest Sha256Of(const uint8_t* data, std::size_t length) {
  const std::unique_ptr<platform::Sha256> hash = platform::Crypt().NewSha256();
  if (hash == nullptr) return {};
  hash->Update(data, length);
  return hash->Finish();
}

int CheckPackageSignature(CFileVirtual& package, const char* operation,
                          std::shared_ptr<const manifest::Manifest>* signedManifest) {
  signedManifest->reset();
  const std::vector<std::string> pems = platform::Crypt().TrustedKeys();
  if (pems.empty()) return 1;
  const std::vector<manifest::PublicKey> keys = ReadTrustedKeys(pems);
  if (keys.empty()) {
    ReportError(1051, operation, "Bad package signature [%s]", "no trusted key can be read");
    return 0;
  }
  if (package.SetupFileAccess() == 0) return 0;
  const CFileHeader* header = package.Access().GetFileHeader(manifest::kSignatureMember);
  if (header == nullptr) {
    ReportError(1050, operation, "Package is not signed [%s]", package.ContainerPath());
    return 0;
  }
  std::vector<uint8_t> bytes;
  if (!ReadSignatureMember(package, *header, operation, &bytes)) return 0;

  manifest::SignedParts parts;
  std::string error;
  if (!manifest::SplitMember(bytes, &parts, &error)) {
    ReportError(1051, operation, "Bad package signature [%s]", error);
    return 0;
  }
  const uint8_t* text = parts.manifestText.data();
  const std::size_t length = parts.manifestText.size();
  bool verified = false;
  for (const manifest::PublicKey& key : keys) {
    // Only the trusted key named in the member is tried: the others would fail anyway.
    if (key != parts.key) continue;
    verified = platform::Crypt().VerifyEd25519(key.data(), text, length, parts.signature.data());
  }
  if (!verified) {
    ReportError(1051, operation, "Bad package signature [%s]",
                "not signed by a trusted key, or the manifest was changed");
    return 0;
  }
  auto parsed = std::make_shared<manifest::Manifest>();
  if (!manifest::ParseManifest(std::string_view(reinterpret_cast<const char*>(text), length),
                               parsed.get(), &error)) {
    ReportError(1051, operation, "Bad package signature [%s]", error);
    return 0;
  }
  std::vector<manifest::EntryView> entries;
  for (const auto& entry : package.Access().Headers()) {
    entries.push_back({entry->Name, entry->Attrib, entry->FileLen});
  }
  if (const auto mismatch = manifest::CompareEntries(*parsed, entries)) {
    ReportError(1052, operation, "Package differs from its manifest [%s]", *mismatch);
    return 0;
  }
  LogAt(2, "%s: Signed by key [%s]", operation,
        manifest::Fingerprint(Sha256Of(parts.key.data(), parts.key.size())));
  *signedManifest = std::move(parsed);
  return 1;
}

int CheckFileAgainstManifest(const manifest::Manifest& signedManifest, std::string_view member,
                             std::string_view path, const char* operation) {
  const manifest::Item* item = signedManifest.FindFolded(member);
  auto& fs = platform::Fs();
  const platform::Handle file =
      fs.Open(path, platform::kGenericRead, platform::kShareNone,
              platform::Disposition::kOpenExisting, platform::kAttributeNormal);
  const container::TransferBuffer piece = container::NewTransferBuffer(manifest::kPieceSize);
  bool ok = item != nullptr && file != platform::kInvalidHandle && piece != nullptr;
  // One read past the last piece finds the file's end.
  for (uint32_t index = 0; ok && index <= item->pieces.size(); ++index) {
    const uint32_t expected =
        index < item->pieces.size() ? manifest::PieceLength(item->length, index) : 0;
    uint32_t length = 0;
    uint32_t read = 0;
    do {
      ok = fs.Read(file, piece.get() + length, manifest::kPieceSize - length, &read);
      length += ok ? read : 0;
    } while (ok && read > 0 && length < manifest::kPieceSize);
    ok = ok && length == expected &&
         (expected == 0 || manifest::PieceDigest(piece.get(), length) == item->pieces[index]);
  }
  if (file != platform::kInvalidHandle) fs.Close(file);
  if (!ok) ReportError(1053, operation, "Member differs from its manifest [%s]", member);
  return ok ? 1 : 0;
}
