#include "tools/pack_check/definitions_check.h"

#include <algorithm>
#include <cstddef>
#include <string>

#include "settings/ini_file.h"
#include "text/text.h"
#include "tools/pack_check/gps_firmware_check.h"
#include "update/update_parts.h"

namespace tools::pack_check {

namespace {

struct DefinitionList {
  const char* section;
  const char* prefix;
  SoftwareType type;
};
constexpr DefinitionList kLists[] = {{"OS", "OSSoftware", kSoftwareOS},
                                     {"Application", "AppSoftware", kSoftwareApplication},
                                     {"GPS", "GpsSoftware", kSoftwareGPS}};

}  // namespace

void CheckDefinitions(const CheckedPackage& package, Findings& findings) {
  const std::string& bytes = package.SettingsBytes();
  int total = 0;
  bool full = false;
  for (const DefinitionList& list : kLists) {
    int number = 1;
    for (;; ++number) {
      std::string value;
      const std::string key = list.prefix + std::to_string(number);
      if (ReadIniValueFromBytes(bytes, list.section, key, "", &value) != kIniFound ||
          value.empty()) {
        break;
      }
      const std::string where = "[" + std::string(list.section) + "] " + key;
      if (full || total == CUpdateSettings::kMaxDefinitions) {
        full = true;
        findings.Error(where,
                       "the terminal holds 10 definitions; this one and every later one are "
                       "ignored");
        continue;
      }
      ++total;
      SoftwareDefinition definition;
      CUpdateSettings::ParseSoftwareDefinition(value, &definition);
      if (definition.type == kSoftwareNone) {
        findings.Error(where,
                       "\"" + value + "\" names no type (its first letter must be O, A or G)");
      } else if (definition.type != list.type) {
        findings.Warn(
            where, std::string("is of type ") + CUpdateSettings::SoftwareTypeName(definition.type) +
                       " (its first letter) although it is listed under [" + list.section + "]");
      }
      if (std::count(value.begin(), value.end(), '|') < 2) {
        findings.Error(where, "\"" + value +
                                  "\" is not type|version|command; its version and "
                                  "command are empty");
        continue;
      }
      std::string file;
      std::string kind;
      int partition = 0;
      if (definition.type == kSoftwareOS) {
        if (!CUpdateSettings::ParseOSCommand(definition.command, &file, &partition, &kind)) {
          findings.Error(where, "command \"" + definition.command +
                                    "\" is not file^partition digit^kind; it is never written");
        } else if (!text::EqualsNoCase(kind, "BOOT") && !text::EqualsNoCase(kind, "KRNL")) {
          findings.Warn(where,
                        "kind \"" + kind + "\" is neither BOOT nor KRNL; it is never written");
        }
      } else if (definition.type == kSoftwareGPS) {
        if (!CUpdateSettings::ParseGPSCommand(definition.command, &file, &kind)) {
          findings.Error(where, "command \"" + definition.command +
                                    "\" is not file^kind; it is never programmed");
        } else if (!text::EqualsNoCase(kind, "BOOT") && !text::EqualsNoCase(kind, "FIRMWARE")) {
          findings.Warn(
              where, "kind \"" + kind + "\" is neither BOOT nor FIRMWARE; it is never programmed");
        } else if (text::EqualsNoCase(kind, "FIRMWARE") && !IsBinaryFirmwareName(file) &&
                   text::ToUpper(file).find(".BIN") != std::string::npos) {
          findings.Warn(where, "\"" + file +
                                   "\" is taken for an S-record file: only \".bin\" and "
                                   "\".BIN\" (in that case) select the binary image path");
        }
      }
    }
    // A gap ends the list: later numbers are never read.
    for (int later = number + 1; later <= number + 20; ++later) {
      std::string value;
      const std::string key = list.prefix + std::to_string(later);
      if (ReadIniValueFromBytes(bytes, list.section, key, "", &value) == kIniFound) {
        findings.Warn("[" + std::string(list.section) + "] " + key,
                      text::Sprintf("never read: the list ends at the missing or empty %s%d",
                                    list.prefix, number));
        break;
      }
    }
  }

  const CUpdateSettings& settings = package.Settings();
  // An Update key selects a type of definition; the parts of one type (the boot loader and the
  // kernel are both OS) share the key and are reported once, by the type's item name.
  bool anySelected = false;
  for (std::size_t i = 0; i < kUpdatePartCount; ++i) {
    const UpdatePartRow& kind = kUpdateParts[i];
    if (std::any_of(kUpdateParts, kUpdateParts + i,
                    [&](const UpdatePartRow& earlier) { return earlier.type == kind.type; })) {
      continue;
    }
    const bool defined =
        std::any_of(settings.m_definitions, settings.m_definitions + settings.m_nDefinitions,
                    [&](const SoftwareDefinition& d) { return d.type == kind.type; });
    const bool selected = settings.*kind.selected != 0;
    anySelected = anySelected || selected;
    if (defined && !selected) {
      findings.Warn("[SoftwareToUpdate]", std::string("no Update key names ") + kind.itemName +
                                              ", so its definitions are never offered");
    }
  }
  if (!anySelected) {
    findings.Warn("[SoftwareToUpdate]",
                  "Update1 to Update3 name no kind; the package updates "
                  "nothing");
  }
  if (settings.m_bOSSelected != 0 && OfferedDefinition(settings, UpdatePart::kBoot) == nullptr &&
      OfferedDefinition(settings, UpdatePart::kKernel) == nullptr) {
    findings.Warn("[OS]",
                  "OS is selected but no definition names BOOT or KRNL, so no image is "
                  "offered");
  }
  if (settings.m_bGPSSelected != 0 && OfferedDefinition(settings, UpdatePart::kGPS) == nullptr) {
    findings.Warn("[GPS]",
                  "GPS is selected but no definition names FIRMWARE, so the GPS firmware is "
                  "never offered");
  }

  // The GPS item is programmed once its files are named: a binary image alone, or an S-record
  // file with a boot file.
  if (settings.m_bGPSSelected != 0 && OfferedDefinition(settings, UpdatePart::kGPS) != nullptr) {
    bool boot = false;
    bool firmware = false;
    bool binary = false;
    for (int i = 0; i < settings.m_nDefinitions; ++i) {
      std::string file;
      std::string kind;
      if (settings.m_definitions[i].type != kSoftwareGPS ||
          !CUpdateSettings::ParseGPSCommand(settings.m_definitions[i].command, &file, &kind)) {
        continue;
      }
      if (text::EqualsNoCase(kind, "BOOT")) boot = true;
      if (text::EqualsNoCase(kind, "FIRMWARE")) {
        firmware = true;
        binary = binary || IsBinaryFirmwareName(file);
      }
    }
    if (firmware && !binary && !boot) {
      findings.Error("[GPS]",
                     "the firmware is an S-record file and no definition names a BOOT file "
                     "to upload first; nothing is programmed and the update fails");
    }
  }

  const int apps = static_cast<int>(
      std::count_if(settings.m_definitions, settings.m_definitions + settings.m_nDefinitions,
                    [](const SoftwareDefinition& d) { return d.type == kSoftwareApplication; }));
  if (apps > 1) {
    findings.Warn("[Application]", text::Sprintf("%d Application definitions run the script of the "
                                                 "first one %d times",
                                                 apps, apps));
  }
}

}  // namespace tools::pack_check
