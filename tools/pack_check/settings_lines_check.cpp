#include "tools/pack_check/settings_lines_check.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "text/text.h"
#include "settings/ini_file.h"
#include "tools/commands.h"

namespace tools::pack_check {

namespace {

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

}  // namespace

void CheckSettingsLines(const CheckedPackage& package, Findings& findings) {
  const std::string& bytes = package.SettingsBytes();
  const std::optional<std::string> scriptSection = package.ScriptSection();
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
      findings.Error(
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
        if (!inScript) findings.Warn(where, "a \"[\" line without \"]\" is ignored");
        continue;
      }
      section = rest.substr(1, close - 1);
      inSection = true;
      const std::string name = text::FromUtf16(section);
      inScript = scriptSection && *scriptSection == name;
      if (section.size() > kIniSectionUnits) {
        findings.Error(where, "the section name is longer than the terminal's 255 characters");
      }
      if (!inScript && FindKnownSection(name) == nullptr) {
        findings.Warn(where, "section [" + name + "] is not read by the updater");
      }
      continue;
    }
    // Script lines are the interpreter's; they are checked as a script.
    if (inScript) continue;
    if (!IsAsciiLetter(rest.front())) continue;
    const std::size_t equals = rest.find(u'=');
    const std::string text = text::FromUtf16(rest);
    if (equals == std::u16string_view::npos) {
      findings.Warn(where, "\"" + text + "\" has no \"=\" and is ignored");
      continue;
    }
    const std::string key = text::FromUtf16(rest.substr(0, equals));
    const std::string sectionName = text::FromUtf16(section);
    if (!inSection) {
      findings.Warn(where, "key '" + key + "' is in no section; the updater never reads it");
      continue;
    }
    const KnownSection* known = FindKnownSection(sectionName);
    if (known == nullptr) continue;
    if (!key.empty() && key.back() == ' ') {
      findings.Warn(where, "key '" + key +
                               "' ends in a blank, so it is not the key the updater "
                               "reads (blanks before \"=\" belong to the key)");
      continue;
    }
    if (!KnownKey(*known, key)) {
      findings.Warn(where, "key '" + key + "' of [" + sectionName + "] is not read by the updater");
      continue;
    }
    const auto [it, added] =
        seenKeys.emplace(text::ToUpper(sectionName) + "\n" + text::ToUpper(key), number);
    if (!added) {
      findings.Warn(where, text::Sprintf("key '%s' repeats line %d; the terminal reads only the "
                                         "first",
                                         key, it->second));
    }
    if (full.text.size() - start - equals - 1 > kIniValueUnits) {
      findings.Error(where, "the value of '" + key +
                                "' is longer than the 511 characters the "
                                "terminal reads; it is cut there");
    }
  }
}

}  // namespace tools::pack_check
