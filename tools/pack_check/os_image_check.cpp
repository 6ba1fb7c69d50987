#include "tools/pack_check/os_image_check.h"

#include <cstdint>
#include <optional>
#include <string>

#include "flash/image_format.h"
#include "sim/config.h"
#include "sim/flash_config.h"
#include "sim/hal_config.h"
#include "sim/image_cipher.h"
#include "sim/memory.h"
#include "text/text.h"

namespace tools::pack_check {

namespace {

constexpr uint64_t kFlashBlock = 64 * 1024;

uint64_t RoundToFlashBlocks(uint64_t length) {
  return (length + kFlashBlock - 1) / kFlashBlock * kFlashBlock;
}

// The records of a decrypted .BIN stream: each must land inside the buffer the terminal
// assembles the image in. Returns the image's length, or none.
std::optional<uint64_t> CheckBinImage(Findings& findings, const std::string& where,
                                      const std::string& plain) {
  image_format::BinLayout layout;
  std::string why;
  if (!image_format::ReadBinLayout(plain, &layout, &why)) {
    findings.Error(where, "not a whole .BIN image: " + why + "; the terminal fails to load it");
    return std::nullopt;
  }
  if (!image_format::IsFlashImage(layout.start)) {
    findings.Error(where, text::Sprintf("a RAM image (start 0x%08X); the terminal refuses to write "
                                        "it",
                                        layout.start));
    return std::nullopt;
  }
  if (layout.length == 0) {
    findings.Error(where, "an image of length 0; the terminal refuses it and writes nothing");
    return std::nullopt;
  }
  if (layout.records.empty()) {
    findings.Error(where,
                   "an image without a data record; the terminal refuses it and writes "
                   "nothing");
    return std::nullopt;
  }
  const uint64_t buffer = image_format::ImageBufferSize(layout.length);
  bool inside = true;
  int badSums = 0;
  for (const image_format::BinRecord& record : layout.records) {
    const std::size_t header = record.dataAt - 12;
    const std::optional<uint64_t> offset =
        image_format::RecordOffset(layout.start, buffer, record.address, record.length);
    if (!offset) {
      findings.Error(where, text::Sprintf("the record at byte %u (%u bytes to 0x%08X) lies outside "
                                          "the image of %u bytes from 0x%08X; the terminal stops "
                                          "with a corrupted record",
                                          static_cast<uint32_t>(header), record.length,
                                          record.address, layout.length, layout.start));
      inside = false;
    } else if (*offset + record.length > layout.length) {
      findings.Warn(where, text::Sprintf("the record at byte %u (%u bytes to 0x%08X) reaches past "
                                         "the image's length of %u bytes; what lies past it is not "
                                         "written whole",
                                         static_cast<uint32_t>(header), record.length,
                                         record.address, layout.length));
    }
    uint32_t sum = 0;
    for (uint32_t i = 0; i < record.length; ++i) {
      sum += static_cast<uint8_t>(plain[record.dataAt + i]);
    }
    if (sum != record.checksum && badSums++ == 0) {
      findings.Warn(where, text::Sprintf("the record at byte %u carries checksum 0x%08X but its "
                                         "bytes sum to 0x%08X; the terminal does not verify it and "
                                         "writes the bytes as they are",
                                         static_cast<uint32_t>(header), record.checksum, sum));
    }
  }
  if (badSums > 1) {
    findings.Warn(where, text::Sprintf("%d records in all carry a checksum their bytes do not "
                                       "match",
                                       badSums));
  }
  if (layout.end < plain.size()) {
    findings.Warn(where, text::Sprintf("%u bytes follow the terminating record and are never read",
                                       static_cast<uint32_t>(plain.size() - layout.end)));
  }
  if (!inside) return std::nullopt;
  return layout.length;
}

// The loader shrinks the object store to 3 MB and assembles the image in program memory, beside
// the chunk it is decrypting (while a chunk is decoded, its ciphertext and its plain bytes both):
// the terminal's RAM must hold them, besides what its own programs take.
void CheckLoaderMemory(const CheckedPackage& package, Findings& findings, const std::string& where,
                       uint64_t imageLength, uint64_t largestChunk) {
  const sim::MemoryConfig& memory = package.Terminal().Get<sim::MemoryConfig>();
  const std::string terminal = package.HasTerminal() ? "the terminal" : "a default terminal";
  if (memory.setAnswer == sim::DivisionAnswer::kMustReboot ||
      memory.setAnswer == sim::DivisionAnswer::kFailed) {
    findings.Error(where,
                   terminal + " answers \"" + sim::DivisionAnswerName(memory.setAnswer) +
                       "\" when the loader shrinks its object store; the image is not loaded");
    return;
  }
  if (memory.pageSize == 0) return;
  const uint64_t storePages = memory.setAnswer == sim::DivisionAnswer::kChanged
                                  ? image_format::kLoaderStoreBytes / memory.pageSize
                                  : memory.storePages;
  const uint64_t ram =
      storePages < memory.totalPages ? (memory.totalPages - storePages) * memory.pageSize : 0;
  const uint64_t room = ram > memory.programUsed ? ram - memory.programUsed : 0;
  const uint64_t buffer = image_format::ImageBufferSize(static_cast<uint32_t>(imageLength));
  const uint64_t chunks = 2 * (largestChunk + image_format::kChunkSlack);
  if (buffer > room) {
    findings.Error(where, text::Sprintf("the loader's buffer of %llu bytes does not fit the %llu "
                                        "bytes of program memory %s has for it",
                                        static_cast<unsigned long long>(buffer),
                                        static_cast<unsigned long long>(room), terminal));
  } else if (buffer + chunks > room) {
    findings.Warn(where, text::Sprintf("the loader's buffer of %llu bytes leaves %llu of the %llu "
                                       "bytes of program memory %s has for it, less than the %llu "
                                       "that decrypting a chunk needs beside it",
                                       static_cast<unsigned long long>(buffer),
                                       static_cast<unsigned long long>(room - buffer),
                                       static_cast<unsigned long long>(room), terminal,
                                       static_cast<unsigned long long>(chunks)));
  }
}

}  // namespace

KeyMaterial ImageKeyMaterial(const CheckedPackage& package) {
  if (package.Options().keyMaterial) {
    return {{package.Options().keyMaterial->begin(), package.Options().keyMaterial->end()},
            "the key material given"};
  }
  if (const std::optional<std::string>& hex =
          package.Terminal().Get<sim::HalConfig>().keyMaterial) {
    if (std::optional<std::string> material = sim::KeyMaterialBytes(*hex)) {
      return {*material, "the terminal's key material"};
    }
  }
  return {image_format::kPassPhrase, "the pass phrase of a terminal without key material"};
}

void CheckOsImage(const CheckedPackage& package, const std::string& file, int partition,
                  const std::string& kind, const KeyMaterial& keyMaterial, Findings& findings) {
  const container::Entry* entry = package.FindMember(file);
  if (entry == nullptr) return;  // reported with the members the definitions name
  const std::string where = MemberWhere(entry->name);
  const sim::FlashConfig& flash = package.Terminal().Get<sim::FlashConfig>();
  const std::string geometry = package.HasTerminal() ? "the terminal" : "a default terminal";
  if (static_cast<std::size_t>(partition) >= flash.partitions.size()) {
    findings.Error(where,
                   text::Sprintf("%s has no binary partition %d for it", geometry, partition));
    return;
  }
  const sim::FlashPartitionConfig& target = flash.partitions[partition];
  if (!text::EqualsNoCase(target.signature, kind)) {
    findings.Error(where,
                   text::Sprintf("partition %d of %s is \"%s\", not \"%s\"; the flash "
                                 "driver finds no such partition and nothing is written",
                                 partition, geometry, target.signature, text::ToUpper(kind)));
    return;
  }
  std::string bytes;
  if (!package.ReadMember(*entry, &bytes)) {
    findings.Error(where, "cannot be read");
    return;
  }
  const uint64_t capacity = static_cast<uint64_t>(target.units) * flash.UnitSize();
  uint64_t written = bytes.size();
  const bool raw = !entry->name.empty() && entry->name.back() == '0';
  if (raw) {
    if (bytes.empty()) {
      findings.Error(where, "a raw image of 0 bytes; the terminal refuses it and writes nothing");
      return;
    }
    if (bytes.compare(0, image_format::kBinSignatureSize, image_format::kBinSignature) == 0) {
      findings.Warn(where,
                    "its name ends in \"0\", so it is copied as a raw image, but it is a "
                    ".BIN stream: the partition would hold the records, not the image");
    }
  } else {
    std::string plain;
    std::string why;
    uint32_t largestChunk = 0;
    if (!image_format::DecryptImage(bytes, keyMaterial.bytes, &plain, &why, &largestChunk)) {
      findings.Error(where, "does not decrypt: " + why + " (" + keyMaterial.source + ")");
      return;
    }
    const std::optional<uint64_t> length = CheckBinImage(findings, where, plain);
    if (!length) return;
    CheckLoaderMemory(package, findings, where, *length, largestChunk);
    written = RoundToFlashBlocks(*length);
  }
  // Both writers write whole 64 KiB blocks, so a raw image needs its last block whole too.
  const uint64_t unitBytes = flash.UnitSize();
  const uint64_t twoImages =
      2 * ((RoundToFlashBlocks(written) + unitBytes - 1) / unitBytes) * unitBytes;
  if (RoundToFlashBlocks(written) <= capacity && twoImages > capacity) {
    // The flash driver writes the new image beside the one in use only when both fit; else it
    // writes over the one in use, and a cut meanwhile leaves neither whole.
    findings.Warn(where, text::Sprintf("partition %d \"%s\" of %s holds %llu bytes, not room for "
                                       "two images of this size (%llu bytes more needed): the "
                                       "image is written over the one in use, and a power cut "
                                       "during that write leaves the terminal unable to start",
                                       partition, target.signature, geometry,
                                       static_cast<unsigned long long>(capacity),
                                       static_cast<unsigned long long>(twoImages - capacity)));
  }
  if (RoundToFlashBlocks(written) > capacity) {
    findings.Error(
        where, text::Sprintf("%s of %llu bytes does not fit partition %d \"%s\" of %s, "
                             "which holds %llu bytes",
                             raw ? "the raw image" : "the image",
                             static_cast<unsigned long long>(written), partition, target.signature,
                             geometry, static_cast<unsigned long long>(capacity)));
  }
}

}  // namespace tools::pack_check
