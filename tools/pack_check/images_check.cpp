#include "tools/pack_check/images_check.h"

#include <set>
#include <string>

#include "text/text.h"
#include "tools/pack_check/gps_firmware_check.h"
#include "tools/pack_check/os_image_check.h"

namespace tools::pack_check {

void CheckImages(const CheckedPackage& package, Findings& findings) {
  const CUpdateSettings& settings = package.Settings();
  const KeyMaterial keyMaterial = ImageKeyMaterial(package);
  std::set<std::string> seen;
  for (int i = 0; i < settings.m_nDefinitions; ++i) {
    const SoftwareDefinition& definition = settings.m_definitions[i];
    std::string file;
    std::string kind;
    int partition = 0;
    if (definition.type == kSoftwareOS && settings.m_bOSSelected != 0 &&
        CUpdateSettings::ParseOSCommand(definition.command, &file, &partition, &kind) &&
        (text::EqualsNoCase(kind, "BOOT") || text::EqualsNoCase(kind, "KRNL"))) {
      if (seen.insert("OS\n" + text::ToUpper(file)).second) {
        CheckOsImage(package, file, partition, kind, keyMaterial, findings);
      }
    } else if (definition.type == kSoftwareGPS && settings.m_bGPSSelected != 0 &&
               CUpdateSettings::ParseGPSCommand(definition.command, &file, &kind) &&
               (text::EqualsNoCase(kind, "BOOT") || text::EqualsNoCase(kind, "FIRMWARE"))) {
      if (seen.insert("GPS\n" + text::ToUpper(file)).second) {
        CheckGpsFile(package, file, kind, findings);
      }
    }
  }
}

}  // namespace tools::pack_check
