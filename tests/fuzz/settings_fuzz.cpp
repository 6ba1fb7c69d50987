// Feeds arbitrary bytes to the settings reader as a settings file: the whole loading, the
// value reader on a few sections and keys, and the line reader.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "settings/ini_file.h"
#include "settings/settings.h"
#include "text/text.h"

namespace {

struct Lookup {
  const char* section;
  const char* key;
};
constexpr Lookup kLookups[] = {
    {"SoftwareToUpdate", "Update1"},
    {"OS", "OSSoftware1"},
    {"LanguageConfiguration", "No"},
    {"", "Key"},
    {"AppScript", "A"},
};

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);

  CUpdateSettings settings;
  settings.LoadFromBytes(bytes);
  Check(settings.m_nDefinitions >= 0 &&
        settings.m_nDefinitions <= CUpdateSettings::kMaxDefinitions);
  for (int i = 0; i < settings.m_nDefinitions; ++i) {
    const SoftwareDefinition& entry = settings.m_definitions[i];
    Check(text::IsUtf8(entry.version) && text::IsUtf8(entry.command));
    Check(text::Utf16Length(entry.command) < kIniValueUnits);
  }
  for (const std::string& line : settings.m_commandScript) {
    Check(text::IsUtf8(line) && text::Utf16Length(line) <= kScriptLineUnits);
  }

  for (const Lookup& lookup : kLookups) {
    std::string value = "stale";
    const int result = ReadIniValueFromBytes(bytes, lookup.section, lookup.key, "default", &value);
    Check(result == kIniFound || result == kIniKeyNotFound);
    Check(result == kIniFound || value == "default");
    Check(text::IsUtf8(value) && text::Utf16Length(value) <= kIniValueUnits);
  }

  CIniLineReader reader(bytes, kIniFirstLineUnits, kIniLineUnits);
  IniLine line;
  std::size_t lines = 0;
  while (reader.Next(&line)) {
    Check(line.text.size() <= kIniLineUnits && ++lines <= size);
  }
  return 0;
}
