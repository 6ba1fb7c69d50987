#include "tools/pack_check.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string_view>

#include "flash/image_format.h"
#include "package/container_format.h"
#include "platform/files.h"
#include "settings/ini_file.h"
#include "settings/phase_members.h"
#include "settings/script_line.h"
#include "settings/settings.h"
#include "sim/config.h"
#include "sim/file_system.h"
#include "sim/gps_images.h"
#include "sim/image_cipher.h"
#include "sim/terminal.h"
#include "text/text.h"
#include "tools/commands.h"
#include "update/update_parts.h"
#include "utils/utils.h"

namespace tools {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kReadChunk = 256 << 10;
constexpr const char* kScriptStart = "###CommandStart###";
constexpr const char* kScriptEnd = "###CommandEnd###";

// A container file read through the container's own reader.
class FileSource final : public container::ByteSource {
 public:
  FileSource(std::ifstream& in, uint64_t length) : m_in(in), m_remaining(length) {}
  bool Read(uint8_t* buffer, std::size_t count, std::size_t* read) override {
    m_in.read(reinterpret_cast<char*>(buffer), static_cast<std::streamsize>(count));
    *read = static_cast<std::size_t>(m_in.gcount());
    m_remaining -= *read;
    return !m_in.bad();
  }
  uint64_t Remaining() const override { return m_remaining; }

 private:
  std::ifstream& m_in;
  uint64_t m_remaining;
};

// What the checks share: the package, its settings, and the report they add to.
class Check {
 public:
  Check(const fs::path& package, const CheckOptions& options, CheckReport& report)
      : m_path(package), m_options(options), m_report(report) {}

  void Error(const std::string& where, const std::string& message) {
    m_report.findings.push_back({Severity::kError, where, message});
  }
  void Warn(const std::string& where, const std::string& message) {
    m_report.findings.push_back({Severity::kWarning, where, message});
  }

  const CheckOptions& Options() const { return m_options; }
  CheckReport& Report() { return m_report; }
  const sim::TerminalConfig& Terminal() const { return m_terminal; }
  void SetTerminal(sim::TerminalConfig config) { m_terminal = std::move(config); }
  // The files of the terminal given with --terminal; null without one.
  sim::SimFileSystem* TerminalFiles() const { return m_files; }
  void SetTerminalFiles(sim::SimFileSystem* files) { m_files = files; }

  // Reads the header part and sums the package; false when nothing else can be checked.
  bool ReadContainer();
  const std::vector<container::Entry>& Entries() const { return m_headers.entries; }
  // The member the terminal finds by this name: the first whose name is equal without regard to
  // case.
  const container::Entry* FindMember(std::string_view name) const {
    for (const container::Entry& entry : m_headers.entries) {
      if (text::EqualsNoCase(entry.name, name)) return &entry;
    }
    return nullptr;
  }
  // A member's logical bytes; false when the file cannot be read there.
  bool ReadMember(const container::Entry& entry, std::string* bytes);

  bool HasSettings() const { return m_settingsBytes.has_value(); }
  const std::string& SettingsBytes() const { return *m_settingsBytes; }
  const CUpdateSettings& Settings() const { return m_settings; }
  bool LoadSettings();

 private:
  fs::path m_path;
  const CheckOptions& m_options;
  CheckReport& m_report;
  std::ifstream m_in;
  uint64_t m_length = 0;
  container::HeaderTable m_headers;
  std::optional<std::string> m_settingsBytes;
  CUpdateSettings m_settings;
  sim::TerminalConfig m_terminal;
  sim::SimFileSystem* m_files = nullptr;
};

bool Check::ReadContainer() {
  std::error_code error;
  m_length = fs::file_size(m_path, error);
  m_in.open(m_path, std::ios::binary);
  if (error || !m_in) {
    Error("package", "cannot be read");
    return false;
  }
  FileSource source(m_in, m_length);
  m_headers = container::ReadHeaders(source);
  if (!m_headers.ok()) {
    Error("container", container::DescribeHeaderError(m_headers) +
                           "; the terminal cannot load the package's headers");
    return false;
  }
  m_in.clear();
  m_in.seekg(0);
  container::ChecksumReader checksum(m_length);
  std::vector<uint8_t> chunk(kReadChunk);
  while (m_in) {
    m_in.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
    checksum.AddStored({chunk.data(), static_cast<std::size_t>(m_in.gcount())});
  }
  if (!checksum.Holds()) {
    Error("container", text::Sprintf("checksum stored 0x%08X, computed 0x%08X; the terminal "
                                     "refuses the package (CHECKSUM FAILED)",
                                     checksum.Stored(), checksum.Computed()));
  }
  std::set<std::string> seen;
  for (const container::Entry& entry : m_headers.entries) {
    const std::string where = "member '" + entry.name + "'";
    if (!container::DataInside(entry, m_headers.headerLength, m_length)) {
      Error(where, text::Sprintf("its %u bytes at offset %u do not lie between the header part "
                                 "and the checksum",
                                 entry.fileLen, entry.offset));
    }
    if (text::Utf16Length(entry.name) > kMaxNameUnits) {
      Error(where, "the name is longer than the terminal's 255 characters");
    }
    if (!seen.insert(text::ToUpper(entry.name)).second) {
      Warn(where,
           "an earlier member has the same name without regard to case; the terminal "
           "always finds the earlier one, so this one is never read");
    }
  }
  return true;
}

bool Check::ReadMember(const container::Entry& entry, std::string* bytes) {
  bytes->assign(entry.fileLen, '\0');
  m_in.clear();
  m_in.seekg(entry.offset);
  m_in.read(bytes->data(), entry.fileLen);
  if (static_cast<uint32_t>(m_in.gcount()) != entry.fileLen) return false;
  container::Complement({reinterpret_cast<uint8_t*>(bytes->data()), bytes->size()});
  return true;
}

bool Check::LoadSettings() {
  const container::Entry* entry = FindMember(kSettingsName);
  if (entry == nullptr) {
    Error(std::string("member '") + kSettingsName + "'",
          "missing; the terminal cannot extract the settings (error 1017)");
    return false;
  }
  std::string bytes;
  if (!ReadMember(*entry, &bytes)) {
    Error(std::string("member '") + kSettingsName + "'", "cannot be read");
    return false;
  }
  m_settingsBytes = std::move(bytes);
  m_settings.LoadFromBytes(*m_settingsBytes);
  return true;
}

// --- the settings file, line by line ------------------------------------------------------

// The sections and keys the updater reads; a numbered key is a prefix followed by digits.
struct KnownSection {
  const char* name;
  std::vector<const char*> keys;
  const char* numberedPrefix;  // or null
};
const KnownSection kKnownSections[] = {
    {"SoftwareToUpdate", {"Update1", "Update2", "Update3"}, nullptr},
    {"OS", {}, "OSSoftware"},
    {"Application", {}, "AppSoftware"},
    {"GPS", {}, "GpsSoftware"},
    {"LanguageConfiguration", {"VerCol1", "VerCol2", "VerCol3", "VerCol4", "Yes", "No"}, nullptr},
};

const KnownSection* FindKnownSection(std::string_view name) {
  for (const KnownSection& section : kKnownSections) {
    if (text::EqualsNoCase(section.name, name)) return &section;
  }
  return nullptr;
}

bool IsDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool KnownKey(const KnownSection& section, std::string_view key) {
  for (const char* known : section.keys) {
    if (text::EqualsNoCase(known, key)) return true;
  }
  if (section.numberedPrefix == nullptr) return false;
  const std::string_view prefix = section.numberedPrefix;
  return key.size() > prefix.size() && text::EqualsNoCase(key.substr(0, prefix.size()), prefix) &&
         IsDigits(key.substr(prefix.size()));
}

bool IsAsciiLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

// The section that holds the script, as the first Application definition names it.
std::optional<std::string> ScriptSection(const CUpdateSettings& settings) {
  const SoftwareDefinition* app = settings.FindApplicationDefinition();
  if (app == nullptr) return std::nullopt;
  return app->command;
}

void CheckSettingsLines(Check& check) {
  const std::string& bytes = check.SettingsBytes();
  const std::optional<std::string> scriptSection = ScriptSection(check.Settings());
  // The same lines read twice: as the terminal's buffers hold them, and whole.
  CIniLineReader cut(bytes, kIniFirstLineUnits, kIniLineUnits);
  CIniLineReader whole(bytes, SIZE_MAX / 4, SIZE_MAX / 4);
  IniLine line;
  IniLine full;
  std::u16string section;
  bool inSection = false;
  bool inScript = false;
  std::map<std::string, int> seenKeys;  // "SECTION\nKEY" -> line
  for (int number = 1; cut.Next(&line) && whole.Next(&full); ++number) {
    const std::string where = text::Sprintf("%s line %d", kSettingsName, number);
    if (line.text.size() != full.text.size()) {
      check.Error(
          where, text::Sprintf("longer than the %d characters the terminal reads; it is "
                               "cut there",
                               static_cast<int>(number == 1 ? kIniFirstLineUnits : kIniLineUnits)));
    }
    std::u16string_view rest = full.text;
    const std::size_t start = rest.find_first_not_of(u' ');
    if (start == std::u16string_view::npos) continue;
    rest.remove_prefix(start);
    if (rest.front() == u'[') {
      const std::size_t close = rest.find(u']', 1);
      if (close == std::u16string_view::npos) {
        if (!inScript) check.Warn(where, "a \"[\" line without \"]\" is ignored");
        continue;
      }
      section = rest.substr(1, close - 1);
      inSection = true;
      const std::string name = text::FromUtf16(section);
      inScript = scriptSection && *scriptSection == name;
      if (section.size() > kIniSectionUnits) {
        check.Error(where, "the section name is longer than the terminal's 255 characters");
      }
      if (!inScript && FindKnownSection(name) == nullptr) {
        check.Warn(where, "section [" + name + "] is not read by the updater");
      }
      continue;
    }
    // Script lines are the interpreter's; they are checked as a script.
    if (inScript) continue;
    if (!IsAsciiLetter(rest.front())) continue;
    const std::size_t equals = rest.find(u'=');
    const std::string text = text::FromUtf16(rest);
    if (equals == std::u16string_view::npos) {
      check.Warn(where, "\"" + text + "\" has no \"=\" and is ignored");
      continue;
    }
    const std::string key = text::FromUtf16(rest.substr(0, equals));
    const std::string sectionName = text::FromUtf16(section);
    if (!inSection) {
      check.Warn(where, "key '" + key + "' is in no section; the updater never reads it");
      continue;
    }
    const KnownSection* known = FindKnownSection(sectionName);
    if (known == nullptr) continue;
    if (!key.empty() && key.back() == ' ') {
      check.Warn(where, "key '" + key +
                            "' ends in a blank, so it is not the key the updater "
                            "reads (blanks before \"=\" belong to the key)");
      continue;
    }
    if (!KnownKey(*known, key)) {
      check.Warn(where, "key '" + key + "' of [" + sectionName + "] is not read by the updater");
      continue;
    }
    const auto [it, added] =
        seenKeys.emplace(text::ToUpper(sectionName) + "\n" + text::ToUpper(key), number);
    if (!added) {
      check.Warn(where, text::Sprintf("key '%s' repeats line %d; the terminal reads only the "
                                      "first",
                                      key, it->second));
    }
    if (full.text.size() - start - equals - 1 > kIniValueUnits) {
      check.Error(where, "the value of '" + key +
                             "' is longer than the 511 characters the "
                             "terminal reads; it is cut there");
    }
  }
}

// --- definitions ------------------------------------------------------------------------

struct DefinitionList {
  const char* section;
  const char* prefix;
  SoftwareType type;
};
constexpr DefinitionList kLists[] = {{"OS", "OSSoftware", kSoftwareOS},
                                     {"Application", "AppSoftware", kSoftwareApplication},
                                     {"GPS", "GpsSoftware", kSoftwareGPS}};

bool IsBinaryFirmwareName(std::string_view file) {
  return file.find(".bin") != std::string_view::npos || file.find(".BIN") != std::string_view::npos;
}

void CheckDefinitions(Check& check) {
  const std::string& bytes = check.SettingsBytes();
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
        check.Error(where,
                    "the terminal holds 10 definitions; this one and every later one are "
                    "ignored");
        continue;
      }
      ++total;
      SoftwareDefinition definition;
      CUpdateSettings::ParseSoftwareDefinition(value, &definition);
      if (definition.type == kSoftwareNone) {
        check.Error(where, "\"" + value + "\" names no type (its first letter must be O, A or G)");
      } else if (definition.type != list.type) {
        check.Warn(where,
                   std::string("is of type ") + CUpdateSettings::SoftwareTypeName(definition.type) +
                       " (its first letter) although it is listed under [" + list.section + "]");
      }
      if (std::count(value.begin(), value.end(), '|') < 2) {
        check.Error(where, "\"" + value +
                               "\" is not type|version|command; its version and "
                               "command are empty");
        continue;
      }
      std::string file;
      std::string kind;
      int partition = 0;
      if (definition.type == kSoftwareOS) {
        if (!CUpdateSettings::ParseOSCommand(definition.command, &file, &partition, &kind)) {
          check.Error(where, "command \"" + definition.command +
                                 "\" is not file^partition digit^kind; it is never written");
        } else if (!text::EqualsNoCase(kind, "BOOT") && !text::EqualsNoCase(kind, "KRNL")) {
          check.Warn(where, "kind \"" + kind + "\" is neither BOOT nor KRNL; it is never written");
        }
      } else if (definition.type == kSoftwareGPS) {
        if (!CUpdateSettings::ParseGPSCommand(definition.command, &file, &kind)) {
          check.Error(where, "command \"" + definition.command +
                                 "\" is not file^kind; it is never programmed");
        } else if (!text::EqualsNoCase(kind, "BOOT") && !text::EqualsNoCase(kind, "FIRMWARE")) {
          check.Warn(where,
                     "kind \"" + kind + "\" is neither BOOT nor FIRMWARE; it is never programmed");
        } else if (text::EqualsNoCase(kind, "FIRMWARE") && !IsBinaryFirmwareName(file) &&
                   text::ToUpper(file).find(".BIN") != std::string::npos) {
          check.Warn(where, "\"" + file +
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
        check.Warn("[" + std::string(list.section) + "] " + key,
                   text::Sprintf("never read: the list ends at the missing or empty %s%d",
                                 list.prefix, number));
        break;
      }
    }
  }

  const CUpdateSettings& settings = check.Settings();
  const struct {
    int32_t CUpdateSettings::*selected;
    SoftwareType type;
    const char* name;
  } kinds[] = {{&CUpdateSettings::m_bOSSelected, kSoftwareOS, "OS"},
               {&CUpdateSettings::m_bAppSelected, kSoftwareApplication, "Application"},
               {&CUpdateSettings::m_bGPSSelected, kSoftwareGPS, "GPS"}};
  bool anySelected = false;
  for (const auto& kind : kinds) {
    const bool defined =
        std::any_of(settings.m_definitions, settings.m_definitions + settings.m_nDefinitions,
                    [&](const SoftwareDefinition& d) { return d.type == kind.type; });
    const bool selected = settings.*kind.selected != 0;
    anySelected = anySelected || selected;
    if (defined && !selected) {
      check.Warn("[SoftwareToUpdate]", std::string("no Update key names ") + kind.name +
                                           ", so its definitions are never offered");
    }
  }
  if (!anySelected) {
    check.Warn("[SoftwareToUpdate]",
               "Update1 to Update3 name no kind; the package updates "
               "nothing");
  }
  if (settings.m_bOSSelected != 0 && OfferedDefinition(settings, UpdatePart::kBoot) == nullptr &&
      OfferedDefinition(settings, UpdatePart::kKernel) == nullptr) {
    check.Warn("[OS]",
               "OS is selected but no definition names BOOT or KRNL, so no image is "
               "offered");
  }
  if (settings.m_bGPSSelected != 0 && OfferedDefinition(settings, UpdatePart::kGPS) == nullptr) {
    check.Warn("[GPS]",
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
      check.Error("[GPS]",
                  "the firmware is an S-record file and no definition names a BOOT file "
                  "to upload first; nothing is programmed and the update fails");
    }
  }

  const int apps = static_cast<int>(
      std::count_if(settings.m_definitions, settings.m_definitions + settings.m_nDefinitions,
                    [](const SoftwareDefinition& d) { return d.type == kSoftwareApplication; }));
  if (apps > 1) {
    check.Warn("[Application]", text::Sprintf("%d Application definitions run the script of the "
                                              "first one %d times",
                                              apps, apps));
  }
}

// --- the script ----------------------------------------------------------------------------

// The folder part of a terminal path, without its trailing backslash.
std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// The folder that holds the program on the terminal.
std::string ProgramFolder(const sim::TerminalConfig& config) {
  return FolderOf(config.programPath);
}

// True when a DEL or RMDIR of folder\pattern would reach the program's folder or what it holds.
bool ReachesFolder(const std::string& folder, const std::string& pattern,
                   const std::string& programFolder) {
  const std::string target = programFolder + "\\";
  const std::string base = folder + "\\";
  if (text::EqualsNoCase(folder, programFolder)) return true;
  if (base.size() > target.size() || !text::EqualsNoCase(target.substr(0, base.size()), base)) {
    return false;
  }
  const std::string rest = target.substr(base.size());
  const std::string next = rest.substr(0, rest.find('\\'));
  return sim::MatchesPattern(pattern, next);
}

// The folders a script can copy into: those of the given terminal and those its earlier MKDIR
// lines make. Without a terminal every folder counts as there.
class ScriptFolders {
 public:
  explicit ScriptFolders(sim::SimFileSystem* files) : m_files(files) {}

  void Made(const std::string& folder) { m_made.push_back(folder); }
  bool Exists(const std::string& folder) const {
    if (m_files == nullptr || folder.empty() || folder.find('<') != std::string::npos) return true;
    for (const std::string& made : m_made) {
      if (text::EqualsNoCase(made, folder)) return true;
    }
    const uint32_t attributes = m_files->GetAttributes(folder);
    return attributes != platform::kInvalidValue &&
           (attributes & platform::kAttributeDirectory) != 0;
  }

 private:
  sim::SimFileSystem* m_files;
  std::vector<std::string> m_made;
};

void CheckScript(Check& check) {
  const CUpdateSettings& settings = check.Settings();
  const std::optional<std::string> section = ScriptSection(settings);
  if (!section) return;
  const std::string header = "[" + *section + "]";
  const std::string& bytes = check.SettingsBytes();
  bool headerFound = false;
  bool started = false;
  bool ended = false;
  CIniLineReader reader(bytes, kScriptLineUnits, kScriptLineUnits);
  IniLine line;
  while (reader.Next(&line)) {
    const std::string text = text::FromUtf16(line.text);
    if (!headerFound) {
      headerFound = text.rfind(header, 0) == 0;
    } else if (!started) {
      started = text.rfind(kScriptStart, 0) == 0;
    } else if (text.rfind(kScriptEnd, 0) == 0) {
      ended = true;
      break;
    }
  }
  const std::string where = "script " + header;
  if (!headerFound) {
    check.Error(where, "no line begins with \"" + header +
                           "\" (the script's header is matched with its case); the script is "
                           "empty and the application is not installed");
    return;
  }
  if (!started) {
    check.Error(where, std::string("no \"") + kScriptStart +
                           "\" line follows the header; the "
                           "script is empty");
    return;
  }
  if (!ended) {
    check.Warn(where, std::string("no \"") + kScriptEnd +
                          "\" line: the script runs to the end "
                          "of the file");
  }

  const std::string programFolder = ProgramFolder(check.Terminal());
  ScriptFolders folders(check.TerminalFiles());
  int number = 0;
  for (const std::string& scriptLine : settings.m_commandScript) {
    ++number;
    const std::string at = text::Sprintf("script line %d \"%s\"", number, scriptLine);
    const std::string_view trimmed = TrimScriptBlanks(scriptLine);
    if (trimmed.empty() || !IsScriptLetter(trimmed.front())) continue;
    int command = kScriptUnknown;
    std::string parameter1;
    std::string parameter2;
    if (!ExtractScriptParams(trimmed, ScriptTokens::kAsWritten, &command, &parameter1,
                             &parameter2)) {
      check.Error(at, text::Sprintf("over the terminal's limits (a line of %d, a command of %d, a "
                                    "parameter of %d characters); the terminal refuses it",
                                    static_cast<int>(kScriptMaxLineUnits),
                                    static_cast<int>(kScriptMaxCommandUnits),
                                    static_cast<int>(kScriptMaxParameterUnits)));
      continue;
    }
    switch (command) {
      case kScriptUnknown:
        check.Error(at, "not a command (DEL, REN, MKDIR, RMDIR or COPY); it fails with 1020");
        break;
      case kScriptCopy:
        if (parameter1.empty() || parameter2.empty()) {
          check.Error(at, "COPY needs a member and a destination");
        } else if (parameter1.find('<') == std::string::npos &&
                   check.FindMember(parameter1) == nullptr) {
          check.Error(at, "copies the member '" + parameter1 + "', which the package lacks");
        } else if (!folders.Exists(FolderOf(parameter2))) {
          check.Error(at, "copies into the folder " + FolderOf(parameter2) +
                              ", which the terminal lacks and no earlier MKDIR line makes; "
                              "a copy makes no folders, so it fails");
        }
        break;
      case kScriptMkDir:
        if (!parameter1.empty()) folders.Made(parameter1);
        break;
      case kScriptRen:
        if (parameter1.empty() || parameter2.empty()) check.Error(at, "REN needs two names");
        break;
      case kScriptDel:
      case kScriptRmDir: {
        if (parameter1.empty()) {
          check.Error(at, "names nothing to delete");
          break;
        }
        const std::size_t slash = parameter1.rfind('\\');
        const std::string folder = slash == std::string::npos ? "" : parameter1.substr(0, slash);
        const std::string pattern = parameter1.substr(slash == std::string::npos ? 0 : slash + 1);
        if (!programFolder.empty() && ReachesFolder(folder, pattern, programFolder)) {
          check.Warn(at, "would delete in or with the updater's own folder " + programFolder +
                             " (the program and, in terminal mode, the package lie there)");
        }
        break;
      }
      default:
        break;
    }
  }
}

// --- members that the settings name -----------------------------------------------------

void CheckNamedMembers(Check& check) {
  for (const UpdatePhase phase : {UpdatePhase::kGPS, UpdatePhase::kOS}) {
    for (const PhaseItem& item : PhaseItems(check.Settings(), phase, ScriptTokens::kAsWritten)) {
      if (check.FindMember(item.text) == nullptr) {
        check.Error("member '" + item.text + "'", std::string("named by an ") +
                                                      (phase == UpdatePhase::kOS ? "OS" : "GPS") +
                                                      " definition but missing from the package");
      }
    }
  }
}

// --- images and firmware -----------------------------------------------------------------

constexpr uint64_t kFlashBlock = 64 * 1024;

uint64_t RoundToFlashBlocks(uint64_t length) {
  return (length + kFlashBlock - 1) / kFlashBlock * kFlashBlock;
}

// The key material the terminal derives the image key from: --key-material, else the given
// terminal's own, else the pass phrase that a terminal without any uses.
struct KeyMaterial {
  std::string bytes;
  const char* source;
};
KeyMaterial ImageKeyMaterial(const Check& check) {
  if (check.Options().keyMaterial) {
    return {{check.Options().keyMaterial->begin(), check.Options().keyMaterial->end()},
            "the key material given"};
  }
  if (const std::optional<std::string>& hex = check.Terminal().hal.keyMaterial) {
    if (std::optional<std::string> material = sim::KeyMaterialBytes(*hex)) {
      return {*material, "the terminal's key material"};
    }
  }
  return {image_format::kPassPhrase, "the pass phrase of a terminal without key material"};
}

// The records of a decrypted .BIN stream: each must land inside the buffer the terminal
// assembles the image in. Returns the image's length, or none.
std::optional<uint64_t> CheckBinImage(Check& check, const std::string& where,
                                      const std::string& plain) {
  image_format::BinLayout layout;
  std::string why;
  if (!image_format::ReadBinLayout(plain, &layout, &why)) {
    check.Error(where, "not a whole .BIN image: " + why + "; the terminal fails to load it");
    return std::nullopt;
  }
  if (!image_format::IsFlashImage(layout.start)) {
    check.Error(where, text::Sprintf("a RAM image (start 0x%08X); the terminal refuses to write "
                                     "it",
                                     layout.start));
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
      check.Error(where, text::Sprintf("the record at byte %u (%u bytes to 0x%08X) lies outside "
                                       "the image of %u bytes from 0x%08X; the terminal stops "
                                       "with a corrupted record",
                                       static_cast<uint32_t>(header), record.length, record.address,
                                       layout.length, layout.start));
      inside = false;
    } else if (*offset + record.length > layout.length) {
      check.Warn(where, text::Sprintf("the record at byte %u (%u bytes to 0x%08X) reaches past "
                                      "the image's length of %u bytes; what lies past it is not "
                                      "written whole",
                                      static_cast<uint32_t>(header), record.length, record.address,
                                      layout.length));
    }
    uint32_t sum = 0;
    for (uint32_t i = 0; i < record.length; ++i) {
      sum += static_cast<uint8_t>(plain[record.dataAt + i]);
    }
    if (sum != record.checksum && badSums++ == 0) {
      check.Warn(where, text::Sprintf("the record at byte %u carries checksum 0x%08X but its "
                                      "bytes sum to 0x%08X; the terminal does not verify it and "
                                      "writes the bytes as they are",
                                      static_cast<uint32_t>(header), record.checksum, sum));
    }
  }
  if (badSums > 1) {
    check.Warn(where, text::Sprintf("%d records in all carry a checksum their bytes do not "
                                    "match",
                                    badSums));
  }
  if (layout.end < plain.size()) {
    check.Warn(where, text::Sprintf("%u bytes follow the terminating record and are never read",
                                    static_cast<uint32_t>(plain.size() - layout.end)));
  }
  if (!inside) return std::nullopt;
  return layout.length;
}

// The loader shrinks the object store to 3 MB and assembles the image in program memory, beside
// the chunk it is decrypting (while a chunk is decoded, its ciphertext and its plain bytes both):
// the terminal's RAM must hold them, besides what its own programs take.
void CheckLoaderMemory(Check& check, const std::string& where, uint64_t imageLength,
                       uint64_t largestChunk) {
  const sim::MemoryConfig& memory = check.Terminal().memory;
  const std::string terminal = check.Options().terminal ? "the terminal" : "a default terminal";
  if (memory.setAnswer == sim::DivisionAnswer::kMustReboot ||
      memory.setAnswer == sim::DivisionAnswer::kFailed) {
    check.Error(where, terminal + " answers \"" + sim::DivisionAnswerName(memory.setAnswer) +
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
    check.Error(where, text::Sprintf("the loader's buffer of %llu bytes does not fit the %llu "
                                     "bytes of program memory %s has for it",
                                     static_cast<unsigned long long>(buffer),
                                     static_cast<unsigned long long>(room), terminal));
  } else if (buffer + chunks > room) {
    check.Warn(where, text::Sprintf("the loader's buffer of %llu bytes leaves %llu of the %llu "
                                    "bytes of program memory %s has for it, less than the %llu "
                                    "that decrypting a chunk needs beside it",
                                    static_cast<unsigned long long>(buffer),
                                    static_cast<unsigned long long>(room - buffer),
                                    static_cast<unsigned long long>(room), terminal,
                                    static_cast<unsigned long long>(chunks)));
  }
}

// One boot loader or kernel image: it must decrypt, parse and fit the partition it names.
void CheckOsImage(Check& check, const std::string& file, int partition, const std::string& kind,
                  const KeyMaterial& keyMaterial) {
  const container::Entry* entry = check.FindMember(file);
  if (entry == nullptr) return;  // reported with the members the definitions name
  const std::string where = "member '" + entry->name + "'";
  const sim::FlashConfig& flash = check.Terminal().flash;
  const std::string geometry = check.Options().terminal ? "the terminal" : "a default terminal";
  if (static_cast<std::size_t>(partition) >= flash.partitions.size()) {
    check.Error(where, text::Sprintf("%s has no binary partition %d for it", geometry, partition));
    return;
  }
  const sim::FlashPartitionConfig& target = flash.partitions[partition];
  if (!text::EqualsNoCase(target.signature, kind)) {
    check.Error(where, text::Sprintf("partition %d of %s is \"%s\", not \"%s\"; the flash "
                                     "driver finds no such partition and nothing is written",
                                     partition, geometry, target.signature, text::ToUpper(kind)));
    return;
  }
  std::string bytes;
  if (!check.ReadMember(*entry, &bytes)) {
    check.Error(where, "cannot be read");
    return;
  }
  const uint64_t capacity = static_cast<uint64_t>(target.units) * flash.UnitSize();
  uint64_t written = bytes.size();
  const bool raw = !entry->name.empty() && entry->name.back() == '0';
  if (raw) {
    if (bytes.empty()) {
      check.Error(where, "a raw image of 0 bytes; nothing would be written");
      return;
    }
    if (bytes.compare(0, image_format::kBinSignatureSize, image_format::kBinSignature) == 0) {
      check.Warn(where,
                 "its name ends in \"0\", so it is copied as a raw image, but it is a "
                 ".BIN stream: the partition would hold the records, not the image");
    }
  } else {
    std::string plain;
    std::string why;
    uint32_t largestChunk = 0;
    if (!image_format::DecryptImage(bytes, keyMaterial.bytes, &plain, &why, &largestChunk)) {
      check.Error(where, "does not decrypt: " + why + " (" + keyMaterial.source + ")");
      return;
    }
    const std::optional<uint64_t> length = CheckBinImage(check, where, plain);
    if (!length) return;
    CheckLoaderMemory(check, where, *length, largestChunk);
    written = RoundToFlashBlocks(*length);
  }
  // Both writers write whole 64 KiB blocks, so a raw image needs its last block whole too.
  if (RoundToFlashBlocks(written) > capacity) {
    check.Error(where,
                text::Sprintf("%s of %llu bytes does not fit partition %d \"%s\" of %s, "
                              "which holds %llu bytes",
                              raw ? "the raw image" : "the image",
                              static_cast<unsigned long long>(written), partition, target.signature,
                              geometry, static_cast<unsigned long long>(capacity)));
  }
}

// The capacity of the GPS chip's flash: the part that the engine's own table names.
std::optional<uint32_t> GpsFlashCapacity(const sim::GpsConfig& gps) {
  const std::vector<uint8_t> engine = sim::MakeFlashEngine();
  const std::optional<sim::NorPart> part = sim::FindPart(sim::ReadPartTable(engine), gps.flashPart);
  if (!part) return std::nullopt;
  return part->capacity;
}

// An S-record firmware file, line by line as the boot loader on the chip takes it.
void CheckSRecords(Check& check, const std::string& where, const std::string& contents,
                   uint32_t capacity) {
  int number = 0;
  int bad = 0;
  int past = 0;
  bool terminated = false;
  uint64_t data = 0;
  std::size_t at = 0;
  while (at < contents.size()) {
    std::size_t end = contents.find('\n', at);
    if (end == std::string::npos) end = contents.size();
    std::string_view line(contents.data() + at, end - at);
    at = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::optional<sim::SRecord> record = sim::ParseSRecord(line);
    if (!record) {
      if (bad++ == 0) {
        check.Error(where, text::Sprintf("line %d is not an S-record with a right checksum; the "
                                         "chip's boot loader cannot program it",
                                         number));
      }
      continue;
    }
    if (record->type >= '1' && record->type <= '3') {
      data += record->data.size();
      if (static_cast<uint64_t>(record->address) + record->data.size() > capacity && past++ == 0) {
        check.Error(where, text::Sprintf("line %d writes %u bytes to 0x%X, past the chip's flash "
                                         "of %u bytes",
                                         number, static_cast<uint32_t>(record->data.size()),
                                         record->address, capacity));
      }
    }
    terminated = terminated || (record->type >= '7' && record->type <= '9');
  }
  if (bad > 1) check.Error(where, text::Sprintf("%d lines in all are not S-records", bad));
  if (past > 1) check.Error(where, text::Sprintf("%d lines in all write past the flash", past));
  if (data == 0) check.Error(where, "holds no data records; the chip would be left erased");
  if (!terminated && number > 0) {
    check.Warn(where, "no termination record (S7, S8 or S9) ends the file");
  }
}

void CheckGpsFile(Check& check, const std::string& file, const std::string& kind) {
  const container::Entry* entry = check.FindMember(file);
  if (entry == nullptr) return;  // reported with the members the definitions name
  const std::string where = "member '" + entry->name + "'";
  std::string bytes;
  if (!check.ReadMember(*entry, &bytes)) {
    check.Error(where, "cannot be read");
    return;
  }
  if (bytes.empty()) {
    check.Error(where, "a GPS " + text::ToUpper(kind) + " file of 0 bytes");
    return;
  }
  if (!text::EqualsNoCase(kind, "FIRMWARE")) return;
  const std::string geometry = check.Options().terminal ? "the terminal's" : "a default terminal's";
  const std::optional<uint32_t> capacity = GpsFlashCapacity(check.Terminal().gps);
  if (!capacity) {
    check.Error(where, "the GPS flash part \"" + check.Terminal().gps.flashPart + "\" of " +
                           geometry + " chip is not one the flash engine knows");
    return;
  }
  if (IsBinaryFirmwareName(file)) {
    if (bytes.size() > *capacity) {
      check.Error(where, text::Sprintf("the binary firmware of %u bytes does not fit %s GPS "
                                       "flash of %u bytes",
                                       static_cast<uint32_t>(bytes.size()), geometry, *capacity));
    }
  } else {
    CheckSRecords(check, where, bytes, *capacity);
  }
}

// The images of the kinds that the package selects; the others are never offered.
void CheckImages(Check& check) {
  const CUpdateSettings& settings = check.Settings();
  const KeyMaterial keyMaterial = ImageKeyMaterial(check);
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
        CheckOsImage(check, file, partition, kind, keyMaterial);
      }
    } else if (definition.type == kSoftwareGPS && settings.m_bGPSSelected != 0 &&
               CUpdateSettings::ParseGPSCommand(definition.command, &file, &kind) &&
               (text::EqualsNoCase(kind, "BOOT") || text::EqualsNoCase(kind, "FIRMWARE"))) {
      if (seen.insert("GPS\n" + text::ToUpper(file)).second) CheckGpsFile(check, file, kind);
    }
  }
}

// --- the terminal's decision -----------------------------------------------------------

void Decide(Check& check, sim::Terminal& terminal) {
  const sim::InstalledVersions versions = terminal.Versions();
  const struct {
    UpdatePart part;
    const char* name;
    std::string sim::InstalledVersions::*installed;
  } parts[] = {{UpdatePart::kBoot, "boot", &sim::InstalledVersions::boot},
               {UpdatePart::kKernel, "kernel", &sim::InstalledVersions::kernel},
               {UpdatePart::kApplication, "application", &sim::InstalledVersions::application},
               {UpdatePart::kGPS, "gps", &sim::InstalledVersions::gps}};
  for (const auto& part : parts) {
    PartDecision decision;
    decision.part = part.name;
    decision.installed = versions.*part.installed;
    if (const SoftwareDefinition* definition = OfferedDefinition(check.Settings(), part.part)) {
      decision.offered = definition->version;
      decision.marked = CUtils::IsVersionNewer(decision.installed, definition->version);
    }
    check.Report().decision.push_back(decision);
  }
}

using CheckStep = void (*)(Check&);
// The checks of a package whose settings could be read, in the order their findings print.
constexpr CheckStep kSettingsChecks[] = {CheckSettingsLines, CheckDefinitions, CheckNamedMembers,
                                         CheckImages, CheckScript};

}  // namespace

int CheckReport::ExitCode() const {
  const auto has = [this](Severity severity) {
    return std::any_of(findings.begin(), findings.end(),
                       [severity](const Finding& f) { return f.severity == severity; });
  };
  if (has(Severity::kError)) return 1;
  return has(Severity::kWarning) ? 2 : 0;
}

nlohmann::json CheckReport::ToJson() const {
  nlohmann::json json;
  json["exit_code"] = ExitCode();
  json["findings"] = nlohmann::json::array();
  for (const Finding& finding : findings) {
    json["findings"].push_back(
        {{"severity", finding.severity == Severity::kError ? "error" : "warning"},
         {"where", finding.where},
         {"message", finding.message}});
  }
  if (!decision.empty()) {
    json["decision"] = nlohmann::json::array();
    for (const PartDecision& part : decision) {
      json["decision"].push_back(
          {{"part", part.part},
           {"installed", part.installed},
           {"offered", part.offered ? nlohmann::json(*part.offered) : nlohmann::json(nullptr)},
           {"marked", part.marked}});
    }
  }
  return json;
}

CheckReport CheckPackage(const fs::path& package, const CheckOptions& options) {
  CheckReport report;
  Check check(package, options, report);
  std::unique_ptr<sim::Terminal> terminal;
  if (options.terminal) {
    auto opened = sim::Terminal::Open(*options.terminal);
    if (!opened) {
      check.Error("terminal", opened.error());
      return report;
    }
    terminal = std::move(*opened);
    check.SetTerminal(terminal->Config());
    check.SetTerminalFiles(&terminal->Files());
  }
  if (!check.ReadContainer() || !check.LoadSettings()) return report;
  for (const CheckStep step : kSettingsChecks) step(check);
  if (terminal) Decide(check, *terminal);
  return report;
}

namespace {

struct CheckArgs {
  std::string package;
  std::string terminal;
  std::string keyMaterial;
  bool json = false;
};

std::optional<std::vector<uint8_t>> ParseHex(const std::string& hex) {
  std::vector<uint8_t> bytes;
  if (hex.empty() || hex.size() % 2 != 0) return std::nullopt;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    unsigned value = 0;
    if (std::sscanf(hex.c_str() + i, "%2x", &value) != 1 ||
        !std::isxdigit(static_cast<unsigned char>(hex[i])) ||
        !std::isxdigit(static_cast<unsigned char>(hex[i + 1]))) {
      return std::nullopt;
    }
    bytes.push_back(static_cast<uint8_t>(value));
  }
  return bytes;
}

void PrintReport(const CheckReport& report, const CheckArgs& args) {
  int errors = 0;
  int warnings = 0;
  for (const Finding& finding : report.findings) {
    const bool error = finding.severity == Severity::kError;
    (error ? errors : warnings) += 1;
    std::printf("%s: %s: %s\n", error ? "error" : "warning", finding.where.c_str(),
                finding.message.c_str());
  }
  if (!report.decision.empty()) {
    std::printf("The terminal %s would decide:\n", args.terminal.c_str());
    for (const PartDecision& part : report.decision) {
      std::printf("  %-12s installed %-10s offered %-10s %s\n", part.part.c_str(),
                  part.installed.empty() ? "(none)" : part.installed.c_str(),
                  part.offered ? part.offered->c_str() : "-",
                  part.marked ? "update" : (part.offered ? "no update" : "not offered"));
    }
  }
  const char* verdict = errors > 0     ? "the package would fail on a terminal"
                        : warnings > 0 ? "the package would work, with warnings"
                                       : "the package is sound";
  std::printf("%d error%s, %d warning%s: %s\n", errors, errors == 1 ? "" : "s", warnings,
              warnings == 1 ? "" : "s", verdict);
}

}  // namespace

void AddPackCheckCommand(CLI::App& pack, int* exitCode) {
  auto* command = pack.add_subcommand(
      "check",
      "Find everything that would make the package fail on a terminal, before it ships: the "
      "container and its checksum; the settings (every definition parses, kinds are known, "
      "nothing is silently ignored); the members that definitions and script lines name; "
      "script lines the terminal would refuse or that would do something surprising. With "
      "--terminal, also the decision the terminal would take, part by part, without running "
      "anything. Exits 0 when sound, 1 when the update would fail, 2 when it would work with "
      "warnings; every finding names the member, line or key at fault.");
  auto args = std::make_shared<CheckArgs>();
  command->add_option("PKG", args->package, "The package")->required()->check(CLI::ExistingFile);
  command
      ->add_option("--terminal", args->terminal,
                   "A simulated terminal (vostrel sim init) whose installed versions and "
                   "hardware the check takes")
      ->check(CLI::ExistingDirectory);
  command->add_option("--key-material", args->keyMaterial,
                      "The terminal's hardware key material in hexadecimal (default: the fixed "
                      "pass phrase)");
  command->add_flag("--json", args->json, "Print the findings and the decision as JSON");
  command->callback([exitCode, args] {
    CheckOptions options;
    if (!args->terminal.empty()) options.terminal = args->terminal;
    if (!args->keyMaterial.empty()) {
      options.keyMaterial = ParseHex(args->keyMaterial);
      if (!options.keyMaterial) {
        std::fprintf(stderr,
                     "vostrel pack check: --key-material: expected an even number of "
                     "hexadecimal digits, got \"%s\"\n",
                     args->keyMaterial.c_str());
        *exitCode = kExitUsage;
        return;
      }
    }
    const CheckReport report = CheckPackage(args->package, options);
    if (args->json) {
      std::printf("%s\n", report.ToJson().dump(2).c_str());
    } else {
      PrintReport(report, *args);
    }
    *exitCode = report.ExitCode();
  });
}

}  // namespace tools
