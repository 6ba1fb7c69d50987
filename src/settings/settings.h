// The settings of one run, as the package's settings file gives them: what the package updates,
// its software definitions and command script, and the texts of the version display. What the
// run finds and decides beside them is its CRunState.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <string>
#include <string_view>

enum SoftwareType : int32_t {
  kSoftwareNone = 0,
  kSoftwareOS = 1,
  kSoftwareApplication = 2,
  kSoftwareGPS = 3,
};

struct SoftwareDefinition {
  SoftwareType type = kSoftwareNone;
  std::string version;
  std::string command;
};

class CUpdateSettings {
 public:
  static constexpr int kMaxDefinitions = 10;

  CUpdateSettings() = default;
  virtual ~CUpdateSettings() = default;
  CUpdateSettings(const CUpdateSettings&) = delete;
  CUpdateSettings& operator=(const CUpdateSettings&) = delete;

  // Fills the update kinds, the software definitions, the version display's texts and, when
  // there is an Application definition, the command script from the settings file. Missing
  // keys take their defaults; definitions are added after those already held.
  void Load(std::string_view settingsPath);
  // Load from the file's bytes in memory.
  void LoadFromBytes(std::string_view fileBytes);

  // Appends the lines between "###CommandStart###" and "###CommandEnd###" that follow the line
  // beginning "[" + sectionName + "]". Leaves the script as it was when the file cannot be
  // opened or holds no such block.
  void LoadCommandScript(std::string_view path, std::string_view sectionName);
  // LoadCommandScript from the file's bytes in memory.
  void LoadCommandScriptFromBytes(std::string_view fileBytes, std::string_view sectionName);

  // Logs the loaded settings at level 3 as one batch.
  void LogSettings() const;

  // "None", "OS", "Application" or "GPS"; "None" for a value outside the type.
  static const char* SoftwareTypeName(int32_t type);
  // The kind that the text's first character names (o, a or g in any case); None otherwise.
  static SoftwareType ParseSoftwareType(std::string_view text);
  // Fills entry from "type|version|command": the type from the first character, version and
  // command empty unless the value holds two "|".
  static void ParseSoftwareDefinition(std::string_view value, SoftwareDefinition* entry);
  // Splits "file^digit^kind". True when file and kind are not empty and the digit is 0 to 9.
  // The outputs hold what was found even when false: the file is empty without a "^", the kind
  // empty without a second "^", and the partition is the character after the first "^" minus
  // '0' (-1 when there is none, outside 0 to 9 when it is no digit).
  static bool ParseOSCommand(std::string_view command, std::string* file, int* partition,
                             std::string* kind);
  // Splits "file^kind". True when both are not empty; without a "^" both are empty.
  static bool ParseGPSCommand(std::string_view command, std::string* file, std::string* kind);

  // The first OS (GPS) definition whose command names the kind, compared without regard to
  // case, whether or not the rest of the command is valid; null when there is none. A command
  // that names an empty kind or none is never found.
  const SoftwareDefinition* FindOSDefinition(std::string_view kind) const;
  const SoftwareDefinition* FindGPSDefinition(std::string_view kind) const;
  // The first Application definition, whatever its command; null when there is none.
  const SoftwareDefinition* FindApplicationDefinition() const;

  SoftwareType m_nUpdate1 = kSoftwareNone;
  SoftwareType m_nUpdate2 = kSoftwareNone;
  SoftwareType m_nUpdate3 = kSoftwareNone;
  int32_t m_bOSSelected = 0;
  int32_t m_bAppSelected = 0;
  int32_t m_bGPSSelected = 0;
  int32_t m_nDefinitions = 0;
  SoftwareDefinition m_definitions[kMaxDefinitions];
  std::list<std::string> m_commandScript;
  std::string m_strVerCol1;
  std::string m_strVerCol2;
  std::string m_strVerCol3;
  std::string m_strVerCol4;
  std::string m_strYes;
  std::string m_strNo;

 private:
  using ValueReader = std::function<int(std::string_view section, std::string_view key,
                                        std::string_view defaultValue, std::string* out)>;
  using ScriptReader = std::function<void(std::string_view sectionName)>;

  // The loading order shared by Load and LoadFromBytes.
  void LoadWith(const ValueReader& readValue, const ScriptReader& readScript);
  // Reads the definitions keyPrefix1, keyPrefix2, ... of section until one is empty; false
  // when the table is full, which ends the reading of every list.
  bool LoadDefinitions(const ValueReader& readValue, std::string_view section,
                       std::string_view keyPrefix);
  int32_t UsedDefinitions() const;
};

// The run's settings; they live in the run's context and are null outside a run.
extern CUpdateSettings* g_pSettings;
