#include "settings/settings.h"

#include <algorithm>
#include <string>

#include "log/log.h"
#include "settings/ini_file.h"
#include "text/text.h"

CUpdateSettings* g_pSettings = nullptr;

namespace {

constexpr const char* kSectionUpdate = "SoftwareToUpdate";
constexpr const char* kSectionLanguage = "LanguageConfiguration";
constexpr const char* kScriptStart = "###CommandStart###";
constexpr const char* kScriptEnd = "###CommandEnd###";

constexpr const char* kTypeNames[] = {"None", "OS", "Application", "GPS"};

struct TypeLetter {
  char letter;
  SoftwareType type;
};
constexpr TypeLetter kTypeLetters[] = {
    {'O', kSoftwareOS}, {'A', kSoftwareApplication}, {'G', kSoftwareGPS}};

struct DefinitionList {
  const char* section;
  const char* keyPrefix;
};
// The table holds the OS definitions first, then the Application ones, then the GPS ones.
constexpr DefinitionList kDefinitionLists[] = {
    {"OS", "OSSoftware"}, {"Application", "AppSoftware"}, {"GPS", "GpsSoftware"}};

struct LanguageText {
  const char* key;
  const char* defaultValue;
  std::string CUpdateSettings::*field;
};
constexpr LanguageText kLanguageTexts[] = {
    {"VerCol1", "Software", &CUpdateSettings::m_strVerCol1},
    {"VerCol2", "Current", &CUpdateSettings::m_strVerCol2},
    {"VerCol3", "New", &CUpdateSettings::m_strVerCol3},
    {"VerCol4", "Update", &CUpdateSettings::m_strVerCol4},
    {"Yes", "Yes", &CUpdateSettings::m_strYes},
    {"No", "No", &CUpdateSettings::m_strNo},
};

}  // namespace

void CUpdateSettings::Load(std::string_view settingsPath) {
  const std::string path(settingsPath);
  LoadWith(
      [&path](std::string_view section, std::string_view key, std::string_view defaultValue,
              std::string* out) { return ReadIniValue(path, section, key, defaultValue, out); },
      [this, &path](std::string_view sectionName) { LoadCommandScript(path, sectionName); });
}

void CUpdateSettings::LoadFromBytes(std::string_view fileBytes) {
  LoadWith(
      [fileBytes](std::string_view section, std::string_view key, std::string_view defaultValue,
                  std::string* out) {
        return ReadIniValueFromBytes(fileBytes, section, key, defaultValue, out);
      },
      [this, fileBytes](std::string_view sectionName) {
        LoadCommandScriptFromBytes(fileBytes, sectionName);
      });
}

void CUpdateSettings::LoadWith(const ValueReader& readValue, const ScriptReader& readScript) {
  // A file that vanished between two reads gives the default, never what a buffer held before.
  const auto read = [&readValue](std::string_view section, std::string_view key,
                                 std::string_view defaultValue) {
    std::string value;
    if (readValue(section, key, defaultValue, &value) != kIniFound) value = defaultValue;
    return value;
  };

  m_nUpdate1 = ParseSoftwareType(read(kSectionUpdate, "Update1", ""));
  m_nUpdate2 = ParseSoftwareType(read(kSectionUpdate, "Update2", ""));
  m_nUpdate3 = ParseSoftwareType(read(kSectionUpdate, "Update3", ""));
  const auto selects = [this](SoftwareType type) {
    return (m_nUpdate1 == type || m_nUpdate2 == type || m_nUpdate3 == type) ? 1 : 0;
  };
  m_bOSSelected = selects(kSoftwareOS);
  m_bAppSelected = selects(kSoftwareApplication);
  m_bGPSSelected = selects(kSoftwareGPS);

  for (const DefinitionList& list : kDefinitionLists) {
    if (!LoadDefinitions(readValue, list.section, list.keyPrefix)) break;
  }

  for (const LanguageText& entry : kLanguageTexts) {
    this->*entry.field = read(kSectionLanguage, entry.key, entry.defaultValue);
  }

  if (const SoftwareDefinition* application = FindApplicationDefinition()) {
    readScript(application->command);
  }
}

bool CUpdateSettings::LoadDefinitions(const ValueReader& readValue, std::string_view section,
                                      std::string_view keyPrefix) {
  for (int number = 1;; ++number) {
    std::string value;
    if (readValue(section, text::Sprintf("%s%d", keyPrefix, number), "", &value) != kIniFound ||
        value.empty()) {
      return true;
    }
    if (m_nDefinitions < 0 || m_nDefinitions >= kMaxDefinitions) {
      // Every further key would be read only to be refused; a file with thousands of them must
      // not cost thousands of reads.
      LogAt(1, "CUpdateSettings::Load: No room for software definition [%s]", value);
      return false;
    }
    ParseSoftwareDefinition(value, &m_definitions[m_nDefinitions]);
    ++m_nDefinitions;
  }
}

void CUpdateSettings::LoadCommandScript(std::string_view path, std::string_view sectionName) {
  std::string bytes;
  if (!ReadFileBytes(path, &bytes)) return;
  LoadCommandScriptFromBytes(bytes, sectionName);
}

void CUpdateSettings::LoadCommandScriptFromBytes(std::string_view fileBytes,
                                                 std::string_view sectionName) {
  const std::u16string header = text::ToUtf16(text::Sprintf("[%s]", sectionName));
  const std::u16string start = text::ToUtf16(kScriptStart);
  const std::u16string end = text::ToUtf16(kScriptEnd);
  bool headerSeen = false;
  bool inScript = false;
  CIniLineReader reader(fileBytes, kScriptLineUnits, kScriptLineUnits);
  IniLine line;
  while (reader.Next(&line)) {
    if (line.readUnits <= 3 || line.text.starts_with(u';')) continue;
    if (headerSeen && inScript) {
      if (line.text.starts_with(end)) return;
      m_commandScript.push_back(text::FromUtf16(line.text));
      continue;
    }
    if (line.text.starts_with(header)) headerSeen = true;
    if (!headerSeen) continue;
    if (line.text.starts_with(start)) inScript = true;
  }
}

void CUpdateSettings::LogSettings() const {
  if (g_pLog == nullptr) return;
  const bool enable = GetDebugLevel() >= 3;
  g_pLog->Open(enable);
  g_pLog->WriteOpen(enable, FormatLogText("Ini parameters start"));
  g_pLog->WriteOpen(enable, FormatLogText("Update1=%s", SoftwareTypeName(m_nUpdate1)));
  g_pLog->WriteOpen(enable, FormatLogText("Update2=%s", SoftwareTypeName(m_nUpdate2)));
  g_pLog->WriteOpen(enable, FormatLogText("Update3=%s", SoftwareTypeName(m_nUpdate3)));
  for (int32_t i = 0; i < UsedDefinitions(); ++i) {
    const SoftwareDefinition& entry = m_definitions[i];
    g_pLog->WriteOpen(
        enable, FormatLogText("Software Definition [%d] is of type [%s], Version [%s], "
                              "Command[%s]",
                              i + 1, SoftwareTypeName(entry.type), entry.version, entry.command));
  }
  if (m_commandScript.empty()) {
    g_pLog->WriteOpen(enable, FormatLogText("There are no Application Command Scripts"));
  } else {
    int number = 1;
    for (const std::string& command : m_commandScript) {
      g_pLog->WriteOpen(enable, FormatLogText("Command [%d] = [%s]", number++, command));
    }
  }
  g_pLog->WriteOpen(enable, FormatLogText("Ini parameters end."));
  g_pLog->Close(enable);
}

const char* CUpdateSettings::SoftwareTypeName(int32_t type) {
  if (type < 0 || type >= static_cast<int32_t>(std::size(kTypeNames))) return kTypeNames[0];
  return kTypeNames[type];
}

SoftwareType CUpdateSettings::ParseSoftwareType(std::string_view text) {
  if (text.empty()) return kSoftwareNone;
  const char first = text.front();
  const char upper = (first >= 'a' && first <= 'z') ? static_cast<char>(first - 'a' + 'A') : first;
  for (const TypeLetter& entry : kTypeLetters) {
    if (entry.letter == upper) return entry.type;
  }
  return kSoftwareNone;
}

void CUpdateSettings::ParseSoftwareDefinition(std::string_view value, SoftwareDefinition* entry) {
  entry->type = ParseSoftwareType(value);
  entry->version.clear();
  entry->command.clear();
  const std::size_t first = value.find('|');
  if (first == std::string_view::npos) return;
  const std::size_t second = value.find('|', first + 1);
  if (second == std::string_view::npos) return;
  entry->version = value.substr(first + 1, second - first - 1);
  entry->command = value.substr(second + 1);
}

bool CUpdateSettings::ParseOSCommand(std::string_view command, std::string* file, int* partition,
                                     std::string* kind) {
  file->clear();
  kind->clear();
  *partition = -1;
  const std::size_t first = command.find('^');
  if (first == std::string_view::npos) return false;
  *file = command.substr(0, first);
  // A non-ASCII character's lead byte lies far above '9', so it is no partition either.
  if (first + 1 < command.size()) {
    *partition = static_cast<int>(static_cast<unsigned char>(command[first + 1])) - '0';
  }
  const std::size_t second = command.find('^', first + 1);
  if (second == std::string_view::npos) return false;
  *kind = command.substr(second + 1);
  return !file->empty() && !kind->empty() && *partition >= 0 && *partition <= 9;
}

bool CUpdateSettings::ParseGPSCommand(std::string_view command, std::string* file,
                                      std::string* kind) {
  file->clear();
  kind->clear();
  const std::size_t first = command.find('^');
  if (first == std::string_view::npos) return false;
  *file = command.substr(0, first);
  *kind = command.substr(first + 1);
  return !file->empty() && !kind->empty();
}

// An empty kind names no partition, so a definition without one is never found.
const SoftwareDefinition* CUpdateSettings::FindOSDefinition(std::string_view kind) const {
  for (int32_t i = 0; i < UsedDefinitions(); ++i) {
    const SoftwareDefinition& entry = m_definitions[i];
    if (entry.type != kSoftwareOS) continue;
    std::string file;
    std::string found;
    int partition = 0;
    ParseOSCommand(entry.command, &file, &partition, &found);
    if (!found.empty() && text::EqualsNoCase(found, kind)) return &entry;
  }
  return nullptr;
}

const SoftwareDefinition* CUpdateSettings::FindGPSDefinition(std::string_view kind) const {
  for (int32_t i = 0; i < UsedDefinitions(); ++i) {
    const SoftwareDefinition& entry = m_definitions[i];
    if (entry.type != kSoftwareGPS) continue;
    std::string file;
    std::string found;
    ParseGPSCommand(entry.command, &file, &found);
    if (!found.empty() && text::EqualsNoCase(found, kind)) return &entry;
  }
  return nullptr;
}

const SoftwareDefinition* CUpdateSettings::FindApplicationDefinition() const {
  for (int32_t i = 0; i < UsedDefinitions(); ++i) {
    if (m_definitions[i].type == kSoftwareApplication) return &m_definitions[i];
  }
  return nullptr;
}

int32_t CUpdateSettings::UsedDefinitions() const {
  return std::clamp<int32_t>(m_nDefinitions, 0, kMaxDefinitions);
}
