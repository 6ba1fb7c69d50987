#include "tools/image_tools.h"

#include <cstdio>
#include <memory>

#include "flash/image_format.h"
#include "settings/settings.h"
#include "sim/config.h"
#include "sim/hal_config.h"
#include "sim/image_cipher.h"
#include "text/text.h"
#include "tools/commands.h"
#include "tools/host_files.h"

namespace tools {

namespace {

uint32_t Le32(const std::string& bytes, std::size_t at) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i) {
    value |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + i])) << (8 * i);
  }
  return value;
}

bool IsBinStream(const std::string& bytes) {
  return bytes.size() >= image_format::kBinSignatureSize + 8 &&
         bytes.compare(0, image_format::kBinSignatureSize, image_format::kBinSignature) == 0;
}

// True when the bytes are a chunk stream whose first chunk decrypts, with this key material,
// to the start of a .BIN stream.
bool IsEncryptedBin(const std::string& bytes, const std::string& keyMaterial) {
  if (bytes.size() < 4) return false;
  const uint32_t length = Le32(bytes, 0);
  if (length == 0 || length % 8 != 0 || length > bytes.size() - 4) return false;
  std::string plain;
  std::string why;
  return image_format::DecryptImage(std::string_view(bytes).substr(0, 4 + length), keyMaterial,
                                    &plain, &why) &&
         plain.compare(0, image_format::kBinSignatureSize, image_format::kBinSignature) == 0;
}

struct MkbinArgs {
  std::string raw;
  std::string out;
  std::string start = "0x80000000";
  uint32_t recordSize = 65536;
};

int RunMkbin(const MkbinArgs& args) {
  auto read = host::ReadFile(args.raw);
  if (!read) {
    std::fprintf(stderr, "vostrel pack: %s\n", read.error().c_str());
    return 1;
  }
  const std::string& raw = *read;
  char* end = nullptr;
  const unsigned long long start = std::strtoull(args.start.c_str(), &end, 0);
  if (args.start.empty() || *end != '\0' || start > 0xFFFFFFFFULL) {
    std::fprintf(stderr, "vostrel pack: --start: expected an address such as 0x80000000\n");
    return kExitUsage;
  }
  if (args.recordSize == 0 || args.recordSize % 4 != 0) {
    std::fprintf(stderr, "vostrel pack: --record-size: expected a multiple of 4 above 0\n");
    return kExitUsage;
  }
  if (raw.size() > 0xFFFFFFFFULL - start) {
    std::fprintf(stderr, "vostrel pack: %s: the image does not fit the 32-bit address space\n",
                 args.raw.c_str());
    return 1;
  }
  if (!image_format::IsFlashImage(static_cast<uint32_t>(start))) {
    std::fprintf(stderr,
                 "vostrel pack: warning: start 0x%08llX makes a RAM image, which the terminal "
                 "refuses to write\n",
                 start);
  }
  const std::string bin = image_format::MakeBin(raw, static_cast<uint32_t>(start), args.recordSize);
  if (sim::Status written = host::WriteFile(args.out, bin); !written) {
    std::fprintf(stderr, "vostrel pack: %s\n", written.error().c_str());
    return 1;
  }
  std::printf("Wrote %s: %zu bytes of image from 0x%08llX in %zu record%s, %zu bytes\n",
              args.out.c_str(), raw.size(), start,
              (raw.size() + args.recordSize - 1) / args.recordSize,
              (raw.size() + args.recordSize - 1) / args.recordSize == 1 ? "" : "s", bin.size());
  return 0;
}

}  // namespace

std::vector<std::string> EncryptedImageNames(const std::string& settingsBytes) {
  CUpdateSettings settings;
  settings.LoadFromBytes(settingsBytes);
  std::vector<std::string> names;
  for (const SoftwareDefinition& definition : settings.m_definitions) {
    if (definition.type != kSoftwareOS) continue;
    std::string file;
    std::string kind;
    int partition = 0;
    if (!CUpdateSettings::ParseOSCommand(definition.command, &file, &partition, &kind)) continue;
    if (!file.empty() && file.back() != '0') names.push_back(file);
  }
  return names;
}

std::optional<std::string> KeyMaterialFromHex(const std::string& hex) {
  if (hex.empty()) return std::string(image_format::kPassPhrase);
  return sim::KeyMaterialBytes(hex);
}

std::string EncryptImageMember(const std::string& name, const std::string& plain,
                               const std::string& keyMaterial) {
  if (IsEncryptedBin(plain, keyMaterial)) {
    std::fprintf(stderr,
                 "vostrel pack: warning: \"%s\" is encrypted already; it is stored as it is\n",
                 name.c_str());
    return plain;
  }
  if (!IsBinStream(plain)) {
    std::fprintf(stderr,
                 "vostrel pack: warning: \"%s\" is not a .BIN stream (it does not begin with "
                 "\"B000FF\"); the terminal will fail to load it\n",
                 name.c_str());
  } else if (!image_format::IsFlashImage(Le32(plain, image_format::kBinSignatureSize))) {
    std::fprintf(stderr,
                 "vostrel pack: warning: \"%s\" is a RAM image (start 0x%08X); the terminal "
                 "refuses to write it\n",
                 name.c_str(), Le32(plain, image_format::kBinSignatureSize));
  }
  return image_format::EncryptImage(plain, keyMaterial);
}

void AddMkbinCommand(CLI::App* pack, int* exitCode) {
  auto* mkbin = pack->add_subcommand(
      "mkbin",
      "Wrap a raw image into a .BIN record image: the header (\"B000FF\", start, length), "
      "records of at most --record-size bytes each with the sum of their bytes as checksum, "
      "and the terminating record.");
  auto args = std::make_shared<MkbinArgs>();
  mkbin->add_option("RAW", args->raw, "The raw image")->required()->check(CLI::ExistingFile);
  mkbin->add_option("OUT", args->out, "The .BIN image to write")->required();
  mkbin->add_option("--start", args->start,
                    "The address the image is loaded at (default 0x80000000)");
  mkbin->add_option("--record-size", args->recordSize,
                    "The largest record, in bytes (default 65536)");
  mkbin->callback([exitCode, args] { *exitCode = RunMkbin(*args); });
}

}  // namespace tools
