// vostrel pack keygen and sign, and what signing adds to pack build, list and verify: those keep
// their own work and this adds a step after it.
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "sim/config.h"
#include "sim/security_config.h"
#include "tools/commands.h"
#include "tools/host_files.h"
#include "tools/signing.h"

namespace tools {

namespace {

constexpr int kExitBadSignature = 1;

int SignError(const std::string& message, int code = kExitBadSignature) {
  std::fprintf(stderr, "vostrel pack: %s\n", message.c_str());
  return code;
}

int RunKeygen(const std::string& privatePath, const std::string& publicPath) {
  manifest::PrivateKey privateKey;
  manifest::PublicKey publicKey;
  if (sim::Status made = GenerateKeyPair(&privateKey, &publicKey); !made) {
    return SignError(made.error());
  }
  // The private key is readable by its owner alone, from its first byte on.
  host::Fd fd(::open(privatePath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (fd.Get() < 0) return SignError(privatePath + ": " + host::ErrnoText(errno), kExitUsage);
  const std::string pem = manifest::PrivateKeyPem(privateKey);
  if (!host::WriteFully(fd.Get(), reinterpret_cast<const uint8_t*>(pem.data()), pem.size())) {
    return SignError(privatePath + ": " + host::ErrnoText(errno));
  }
  if (sim::Status written = host::WriteFile(publicPath, manifest::PublicKeyPem(publicKey));
      !written) {
    return SignError(written.error());
  }
  std::printf("key %s: private %s, public %s\n", KeyFingerprint(publicKey).c_str(),
              privatePath.c_str(), publicPath.c_str());
  return 0;
}

int RunSign(const std::string& package, const std::string& keyPath) {
  auto key = ReadPrivateKeyFile(keyPath);
  if (!key) return SignError(key.error(), kExitUsage);
  if (sim::Status signedPackage = SignPackageFile(package, *key); !signedPackage) {
    return SignError(signedPackage.error());
  }
  std::printf("%s: signed by key %s\n", package.c_str(), KeyFingerprint(PublicKeyOf(*key)).c_str());
  return 0;
}

struct SignArgs {
  std::string package;
  std::string key;
  std::string signature;
  std::string publicKey;
};

int RunSignCommand(const SignArgs& args) {
  if (args.key.empty() == args.signature.empty() ||
      args.signature.empty() != args.publicKey.empty()) {
    return SignError("give either --key, or --signature with --public", kExitUsage);
  }
  if (!args.key.empty()) return RunSign(args.package, args.key);
  auto key = ReadPublicKeyFile(args.publicKey);
  if (!key) return SignError(key.error(), kExitUsage);
  if (sim::Status attached = AttachSignature(args.package, args.signature, *key); !attached) {
    return SignError(attached.error());
  }
  std::printf("%s: signed by key %s\n", args.package.c_str(), KeyFingerprint(*key).c_str());
  return 0;
}

int RunManifest(const std::string& package, const std::string& out) {
  auto text = PackageManifest(package);
  if (!text) return SignError(text.error());
  if (out.empty()) {
    std::fwrite(text->data(), 1, text->size(), stdout);
    return 0;
  }
  if (sim::Status written = host::WriteFile(out, *text); !written) {
    return SignError(written.error());
  }
  return 0;
}

// After "pack verify": the signature, every member's hash, and with --key the signer. `made`
// is the inspection made while the checksum was summed, when there was one.
int VerifySignature(const std::string& path, const std::string& keyPath,
                    const std::optional<SignatureReport>& made) {
  std::optional<manifest::PublicKey> wanted;
  if (!keyPath.empty()) {
    auto key = ReadPublicKeyFile(keyPath);
    if (!key) return SignError(key.error(), kExitUsage);
    wanted = *key;
  }
  SignatureReport report;
  if (made) {
    report = *made;
  } else {
    auto package = PackageFile::Open(path);
    if (!package) return SignError(package.error());
    report = InspectSignature(*package, MemberHashes::kCheck);
  }
  std::printf("%s: %s\n", path.c_str(), DescribeSignature(report).c_str());
  if (report.present && report.problem) return kExitBadSignature;
  if (wanted && !report.present) return SignError(path + ": not signed");
  if (wanted && report.key != *wanted) {
    return SignError(path + ": not signed by key " + KeyFingerprint(*wanted));
  }
  return 0;
}

// The options that signing adds to pack build and verify; one command runs per process.
struct AddedOptions {
  std::string buildKey;
  std::string verifyKey;
  // The signature and member hashes of the package that "pack verify" checks, inspected as it
  // summed the checksum.
  std::optional<SignatureReport> verifyReport;
};
AddedOptions& SigningOptions() {
  static AddedOptions options;
  return options;
}

}  // namespace

void AddPackSigning(CLI::App& pack, int* exitCode) {
  auto* keygen = pack.add_subcommand(
      "keygen",
      "Make an Ed25519 key pair: PRIVATE.pem (PKCS#8, readable by its owner only) and "
      "PUBLIC.pem, the forms that common key tools read and write.");
  auto keyPaths = std::make_shared<std::pair<std::string, std::string>>();
  keygen->add_option("PRIVATE", keyPaths->first, "The private key to write (must not exist)")
      ->required();
  keygen->add_option("PUBLIC", keyPaths->second, "The public key to write")->required();
  keygen->callback(
      [exitCode, keyPaths] { *exitCode = RunKeygen(keyPaths->first, keyPaths->second); });

  auto* sign = pack.add_subcommand(
      "sign",
      "Sign a package: a manifest of every member's name, attribute word, length and the "
      "BLAKE3 digests of its 64 KiB pieces, with its Ed25519 signature and the public key, becomes "
      "the package's first member "
      "\"<signature>\" (replacing one it had). With --signature, the signature was made "
      "elsewhere over the bytes that \"pack manifest\" writes. The package is rewritten under a "
      "temporary name and renamed.");
  auto signArgs = std::make_shared<SignArgs>();
  sign->add_option("PKG", signArgs->package, "The package")->required()->check(CLI::ExistingFile);
  sign->add_option("--key", signArgs->key, "The private key (PEM)")->check(CLI::ExistingFile);
  sign->add_option("--signature", signArgs->signature,
                   "A 64-byte Ed25519 signature of the package's manifest")
      ->check(CLI::ExistingFile);
  sign->add_option("--public", signArgs->publicKey, "The public key (PEM) of --signature")
      ->check(CLI::ExistingFile);
  sign->callback([exitCode, signArgs] { *exitCode = RunSignCommand(*signArgs); });

  auto* manifestCommand = pack.add_subcommand(
      "manifest",
      "Write the manifest that a signature of the package covers, for signing it elsewhere "
      "(openssl pkeyutl -sign -rawin); \"pack sign --signature\" then attaches the signature.");
  auto manifestArgs = std::make_shared<std::pair<std::string, std::string>>();
  manifestCommand->add_option("PKG", manifestArgs->first, "The package")
      ->required()
      ->check(CLI::ExistingFile);
  manifestCommand->add_option("-o", manifestArgs->second, "The file to write (default: stdout)");
  manifestCommand->callback([exitCode, manifestArgs] {
    *exitCode = RunManifest(manifestArgs->first, manifestArgs->second);
  });

  pack.get_subcommand("build")
      ->add_option("--sign", SigningOptions().buildKey,
                   "Sign the package with this private key (PEM)")
      ->check(CLI::ExistingFile);
  pack.get_subcommand("verify")
      ->add_option("--key", SigningOptions().verifyKey,
                   "Require a signature by this public key (PEM); any signature is checked, "
                   "with every member's hash, also without it")
      ->check(CLI::ExistingFile);
}

void AfterPackCommand(const CLI::App& command, int* exitCode) {
  if (*exitCode != 0) return;
  const std::string name = command.get_name();
  const std::string package =
      command.get_option(name == "build" ? "OUT" : "PKG")->as<std::string>();
  if (name == "build" && !SigningOptions().buildKey.empty()) {
    *exitCode = RunSign(package, SigningOptions().buildKey);
  } else if (name == "list" && command.count("--json") == 0) {
    auto opened = PackageFile::Open(package);
    if (!opened) return;
    std::printf("signature: %s\n",
                DescribeSignature(InspectSignature(*opened, MemberHashes::kSkip)).c_str());
  } else if (name == "verify") {
    *exitCode = VerifySignature(package, SigningOptions().verifyKey, SigningOptions().verifyReport);
  }
}

sim::Status SumForVerify(const PackageFile& package, container::ChecksumReader* checksum,
                         const std::function<sim::Status()>& plainSum) {
  sim::Status summed;
  SignatureReport report = SumAndInspect(package, checksum, plainSum, &summed);
  if (report.present) SigningOptions().verifyReport = std::move(report);
  return summed;
}

void AddTrustOption(CLI::App& init, std::vector<std::string>* keyFiles) {
  init.add_option("--trust", *keyFiles,
                  "A public key (PEM) that the terminal trusts: it then installs only packages "
                  "signed by one of its keys (terminal.json: security.trusted_keys). Repeatable")
      ->check(CLI::ExistingFile);
}

sim::Result<std::vector<std::string>> ReadKeyFiles(const std::vector<std::string>& keyFiles) {
  std::vector<std::string> pems;
  for (const std::string& keyFile : keyFiles) {
    auto key = ReadPublicKeyFile(keyFile);
    if (!key) return sim::Result<std::vector<std::string>>::Failure(key.error());
    pems.push_back(manifest::PublicKeyPem(*key));
  }
  return pems;
}

sim::Status TrustKeys(const std::string& terminalDir, const std::vector<std::string>& pems) {
  if (pems.empty()) return {};
  const std::filesystem::path file = std::filesystem::path(terminalDir) / "terminal.json";
  auto config = sim::LoadConfig(file);
  if (!config) return sim::Status::Failure(config.error());
  std::vector<std::string>& trusted = config->Get<sim::SecurityConfig>().trustedKeys;
  trusted.insert(trusted.end(), pems.begin(), pems.end());
  for (const std::string& pem : pems) {
    manifest::PublicKey key;
    std::string error;
    if (manifest::ParsePublicKeyPem(pem, &key, &error)) {
      std::printf("  trusts key %s\n", KeyFingerprint(key).c_str());
    }
  }
  return sim::SaveConfig(file, *config);
}

namespace {

nlohmann::json SignatureJson(const SignatureReport& report) {
  return {{"signed", report.present},
          {"key", report.present ? nlohmann::json(KeyFingerprint(report.key)) : nullptr},
          {"problem", report.problem ? nlohmann::json(*report.problem) : nullptr}};
}

}  // namespace

void CheckTerminalSignature(const std::string& package, const std::string& terminalDir,
                            int* exitCode, nlohmann::json* json) {
  auto config = sim::LoadConfig(std::filesystem::path(terminalDir) / "terminal.json");
  auto opened = PackageFile::Open(package);
  if (!config || !opened) return;  // the check above has said why
  const std::vector<std::string>& trusted = config->Get<sim::SecurityConfig>().trustedKeys;
  const SignatureReport report = InspectSignature(*opened, MemberHashes::kCheck);
  const auto refusal = TerminalRefusal(report, trusted);
  if (refusal) *exitCode = kExitBadSignature;
  if (json != nullptr) {
    *json = SignatureJson(report);
    (*json)["terminal_trusts_keys"] = !trusted.empty();
    (*json)["terminal_accepts"] = !refusal;
    (*json)["terminal_refusal"] = refusal ? nlohmann::json(*refusal) : nlohmann::json(nullptr);
  } else if (trusted.empty()) {
    std::printf("signature: %s; the terminal trusts no key and does not check it\n",
                DescribeSignature(report).c_str());
  } else if (refusal) {
    std::printf("signature: the terminal refuses the package: %s\n", refusal->c_str());
  } else {
    std::printf("signature: the terminal accepts it (key %s)\n",
                KeyFingerprint(report.key).c_str());
  }
}

nlohmann::json ListedSignatureJson(const PackageFile& package) {
  return SignatureJson(InspectSignature(package, MemberHashes::kSkip));
}

void AddServeSignatureCheck(CLI::App& serve, int* exitCode) {
  auto key = std::make_shared<std::string>();
  serve
      .add_option("--require-signature", *key,
                  "Serve the package only when this public key (PEM) signed it and every "
                  "member matches the signed manifest")
      ->check(CLI::ExistingFile);
  serve.parse_complete_callback([&serve, exitCode, key] {
    if (key->empty()) return;
    const std::string package = serve.get_option("--package")->as<std::string>();
    auto wanted = ReadPublicKeyFile(*key);
    std::optional<std::string> refusal;
    if (!wanted) {
      refusal = wanted.error();
    } else if (auto opened = PackageFile::Open(package); !opened) {
      refusal = opened.error();
    } else {
      const SignatureReport report = InspectSignature(*opened, MemberHashes::kCheck);
      refusal = TerminalRefusal(report, {manifest::PublicKeyPem(*wanted)});
    }
    if (!refusal) return;
    std::fprintf(stderr, "vostrel desktop: refusing to serve %s: %s\n", package.c_str(),
                 refusal->c_str());
    *exitCode = kExitBadSignature;
    serve.callback([] {});
  });
}

}  // namespace tools
