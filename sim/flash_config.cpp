#include "sim/flash_config.h"

#include "sim/config_section.h"

namespace sim {

using nlohmann::json;

namespace {

// A 64 KiB block of the partition being written, counted from 1, or null.
void ReadBlock(ConfigReader& reader, const char* key, std::optional<uint32_t>& out) {
  const json* value = reader.Find(key);
  if (value == nullptr) return;
  if (value->is_null()) {
    out.reset();
  } else if (value->is_number_unsigned() && value->get<uint64_t>() >= 1 &&
             value->get<uint64_t>() <= 0xFFFFFFFFU) {
    out = value->get<uint32_t>();
  } else {
    reader.Fail(key, "expected a block number from 1, or null");
  }
}

}  // namespace

uint32_t FlashConfig::Units() const {
  uint32_t units = diskUnits;
  // Each partition has its anchor unit besides the units it can fill.
  for (const FlashPartitionConfig& partition : partitions) units += partition.units + 1;
  return units;
}

void ReadSection(ConfigReader& reader, FlashConfig& config) {
  reader.Read("present", config.present, "true or false");
  reader.ReadNumber("page_size", config.pageSize, 512, 8192);
  if ((config.pageSize & (config.pageSize - 1)) != 0) {
    reader.Fail("page_size", "expected 512, 1024, 2048, 4096 or 8192");
  }
  reader.ReadNumber("spare_size", config.spareSize, 0, 255);
  if (config.spareSize < config.pageSize / 512 * 3 + 12) {
    reader.Fail("spare_size", "expected at least 3 bytes per 512 of the page and 12 more (" +
                                  std::to_string(config.pageSize / 512 * 3 + 12) + ")");
  }
  reader.ReadNumber("pages_per_unit", config.pagesPerUnit, 1, 1024);
  if (const json* list = reader.Find("partitions")) {
    if (!list->is_array() || list->empty() || list->size() > 4) {
      reader.Fail("partitions", "expected a list of 1 to 4 partitions");
    }
    config.partitions.clear();
    for (const json& entry : *list) {
      if (!entry.is_object() || !entry.contains("signature") || !entry.contains("units") ||
          entry.size() != 2 || !entry["signature"].is_string() ||
          entry["signature"].get<std::string>().size() != 4 ||
          !entry["units"].is_number_unsigned() || entry["units"].get<uint64_t>() == 0 ||
          entry["units"].get<uint64_t>() > 4096) {
        reader.Fail("partitions",
                    "expected objects {\"signature\": 4 characters, \"units\": 1 to 4096}");
      }
      config.partitions.push_back(
          {entry["signature"].get<std::string>(), entry["units"].get<uint32_t>()});
    }
  }
  reader.ReadNumber("disk_units", config.diskUnits, 0, 4096);
  if (config.Units() > 4096) reader.Fail("disk_units", "the chip may have at most 4096 units");
  if (const json* folders = reader.Find("disk_folders")) {
    if (!folders->is_array()) reader.Fail("disk_folders", "expected a list of terminal paths");
    config.diskFolders.clear();
    for (const json& folder : *folders) {
      if (!folder.is_string() || folder.get<std::string>().empty() ||
          folder.get<std::string>().front() != '\\') {
        reader.Fail("disk_folders", "expected a list of terminal paths");
      }
      config.diskFolders.push_back(folder.get<std::string>());
    }
  }
  reader.Read("disk_driver_listed", config.diskDriverListed, "true or false");
  reader.ReadNumber("disk_driver_handle", config.diskDriverHandle, 0, 0xFFFFFFFFU);
  reader.Read("deactivate_fails", config.deactivateFails, "true or false");
  ReadBlock(reader, "fail_write_at_block", config.failWriteAtBlock);
  ReadBlock(reader, "flip_bits_at_block", config.flipBitsAtBlock);
  reader.ReadNumber("flipped_bits", config.flippedBits, 1, 2);
  ReadBlock(reader, "power_cut_after_block", config.powerCutAfterBlock);
  reader.Read("fail_erase", config.failErase, "true or false");
}

json SectionJson(const FlashConfig& config) {
  json partitions = json::array();
  for (const FlashPartitionConfig& partition : config.partitions) {
    partitions.push_back({{"signature", partition.signature}, {"units", partition.units}});
  }
  return {{"present", config.present},
          {"page_size", config.pageSize},
          {"spare_size", config.spareSize},
          {"pages_per_unit", config.pagesPerUnit},
          {"partitions", partitions},
          {"disk_units", config.diskUnits},
          {"disk_folders", config.diskFolders},
          {"disk_driver_listed", config.diskDriverListed},
          {"disk_driver_handle", config.diskDriverHandle},
          {"deactivate_fails", config.deactivateFails},
          {"fail_write_at_block", OptionalJson(config.failWriteAtBlock)},
          {"flip_bits_at_block", OptionalJson(config.flipBitsAtBlock)},
          {"flipped_bits", config.flippedBits},
          {"power_cut_after_block", OptionalJson(config.powerCutAfterBlock)},
          {"fail_erase", config.failErase}};
}

}  // namespace sim
