#include "sim/flash_config.h"

#include <set>

namespace sim {

namespace {

using nlohmann::json;

struct KeyError {
  std::string message;
};

// Reads the keys of one section and refuses the unknown ones.
class Keys {
 public:
  Keys(const json& object, const char* section) : m_object(object), m_section(section) {
    if (!object.is_object()) throw KeyError{"\"" + m_section + "\": expected an object"};
  }

  [[noreturn]] void Fail(const char* key, const std::string& why) const {
    throw KeyError{"\"" + m_section + "." + key + "\": " + why};
  }

  const json* Find(const char* key) {
    m_known.insert(key);
    const auto it = m_object.find(key);
    return it == m_object.end() ? nullptr : &*it;
  }

  void Number(const char* key, uint32_t& out, uint32_t low, uint32_t high) {
    if (const json* value = Find(key)) {
      if (!value->is_number_unsigned() || value->get<uint64_t>() < low ||
          value->get<uint64_t>() > high) {
        Fail(key,
             "expected a whole number from " + std::to_string(low) + " to " + std::to_string(high));
      }
      out = value->get<uint32_t>();
    }
  }

  void OptionalNumber(const char* key, std::optional<uint32_t>& out) {
    if (const json* value = Find(key)) {
      if (value->is_null()) {
        out.reset();
      } else if (value->is_number_unsigned() && value->get<uint64_t>() >= 1 &&
                 value->get<uint64_t>() <= 0xFFFFFFFFU) {
        out = value->get<uint32_t>();
      } else {
        Fail(key, "expected a block number from 1, or null");
      }
    }
  }

  void Flag(const char* key, bool& out) {
    if (const json* value = Find(key)) {
      if (!value->is_boolean()) Fail(key, "expected true or false");
      out = value->get<bool>();
    }
  }

  void CheckUnknown() const {
    for (const auto& [key, value] : m_object.items()) {
      if (!m_known.contains(key)) Fail(key.c_str(), "unknown key");
    }
  }

 private:
  const json& m_object;
  std::string m_section;
  std::set<std::string> m_known;
};

constexpr DivisionAnswer kAnswers[] = {DivisionAnswer::kChanged, DivisionAnswer::kMustReboot,
                                       DivisionAnswer::kRebootPending, DivisionAnswer::kFailed};

}  // namespace

uint32_t FlashConfig::Units() const {
  uint32_t units = diskUnits;
  for (const FlashPartitionConfig& partition : partitions) units += partition.units;
  return units;
}

std::optional<std::string> ParseFlashSection(const json& object, FlashConfig& config) {
  try {
    Keys keys(object, "flash");
    keys.Flag("present", config.present);
    keys.Number("page_size", config.pageSize, 512, 8192);
    if ((config.pageSize & (config.pageSize - 1)) != 0) {
      keys.Fail("page_size", "expected 512, 1024, 2048, 4096 or 8192");
    }
    keys.Number("spare_size", config.spareSize, 0, 255);
    if (config.spareSize < config.pageSize / 512 * 3 + 12) {
      keys.Fail("spare_size", "expected at least 3 bytes per 512 of the page and 12 more (" +
                                  std::to_string(config.pageSize / 512 * 3 + 12) + ")");
    }
    keys.Number("pages_per_unit", config.pagesPerUnit, 1, 1024);
    if (const json* list = keys.Find("partitions")) {
      if (!list->is_array() || list->empty() || list->size() > 4) {
        keys.Fail("partitions", "expected a list of 1 to 4 partitions");
      }
      config.partitions.clear();
      for (const json& entry : *list) {
        if (!entry.is_object() || !entry.contains("signature") || !entry.contains("units") ||
            entry.size() != 2 || !entry["signature"].is_string() ||
            entry["signature"].get<std::string>().size() != 4 ||
            !entry["units"].is_number_unsigned() || entry["units"].get<uint64_t>() == 0 ||
            entry["units"].get<uint64_t>() > 4096) {
          keys.Fail("partitions",
                    "expected objects {\"signature\": 4 characters, \"units\": 1 to 4096}");
        }
        config.partitions.push_back(
            {entry["signature"].get<std::string>(), entry["units"].get<uint32_t>()});
      }
    }
    keys.Number("disk_units", config.diskUnits, 0, 4096);
    if (config.Units() > 4096) keys.Fail("disk_units", "the chip may have at most 4096 units");
    if (const json* folders = keys.Find("disk_folders")) {
      if (!folders->is_array()) keys.Fail("disk_folders", "expected a list of terminal paths");
      config.diskFolders.clear();
      for (const json& folder : *folders) {
        if (!folder.is_string() || folder.get<std::string>().empty() ||
            folder.get<std::string>().front() != '\\') {
          keys.Fail("disk_folders", "expected a list of terminal paths");
        }
        config.diskFolders.push_back(folder.get<std::string>());
      }
    }
    keys.Flag("disk_driver_listed", config.diskDriverListed);
    keys.Number("disk_driver_handle", config.diskDriverHandle, 0, 0xFFFFFFFFU);
    keys.Flag("deactivate_fails", config.deactivateFails);
    keys.OptionalNumber("fail_write_at_block", config.failWriteAtBlock);
    keys.OptionalNumber("flip_bits_at_block", config.flipBitsAtBlock);
    keys.Number("flipped_bits", config.flippedBits, 1, 2);
    keys.OptionalNumber("power_cut_after_block", config.powerCutAfterBlock);
    keys.CheckUnknown();
  } catch (const KeyError& error) {
    return error.message;
  }
  return std::nullopt;
}

std::optional<std::string> ParseMemorySection(const json& object, MemoryConfig& config) {
  try {
    Keys keys(object, "memory");
    keys.Number("page_size", config.pageSize, 512, 65536);
    keys.Number("total_pages", config.totalPages, 1, 0x100000);
    keys.Number("store_pages", config.storePages, 0, 0x100000);
    if (config.storePages >= config.totalPages) {
      keys.Fail("store_pages", "expected fewer pages than total_pages");
    }
    keys.Number("program_used", config.programUsed, 0, 0xFFFFFFFFU);
    if (const json* answer = keys.Find("set_answer")) {
      bool found = false;
      for (const DivisionAnswer candidate : kAnswers) {
        if (answer->is_string() && answer->get<std::string>() == DivisionAnswerName(candidate)) {
          config.setAnswer = candidate;
          found = true;
        }
      }
      if (!found) {
        keys.Fail("set_answer", "expected one of changed, must_reboot, reboot_pending, failed");
      }
    }
    keys.CheckUnknown();
  } catch (const KeyError& error) {
    return error.message;
  }
  return std::nullopt;
}

json FlashSectionToJson(const FlashConfig& config) {
  const auto optional = [](const std::optional<uint32_t>& value) -> json {
    return value ? json(*value) : json(nullptr);
  };
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
          {"fail_write_at_block", optional(config.failWriteAtBlock)},
          {"flip_bits_at_block", optional(config.flipBitsAtBlock)},
          {"flipped_bits", config.flippedBits},
          {"power_cut_after_block", optional(config.powerCutAfterBlock)}};
}

json MemorySectionToJson(const MemoryConfig& config) {
  return {{"page_size", config.pageSize},
          {"total_pages", config.totalPages},
          {"store_pages", config.storePages},
          {"program_used", config.programUsed},
          {"set_answer", DivisionAnswerName(config.setAnswer)}};
}

}  // namespace sim
