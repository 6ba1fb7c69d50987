// The package that "vostrel pack check" reads, with what its checkers share: the container and
// its members, the settings as the terminal loads them, and the terminal the package is meant for.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/settings.h"
#include "sim/config.h"
#include "sim/file_system.h"
#include "tools/package_file.h"

namespace tools::pack_check {

struct CheckOptions {
  // A simulated terminal whose installed versions and hardware the check takes; none: a
  // terminal as "vostrel sim init" makes it, and no decision.
  std::optional<std::filesystem::path> terminal;
  // The hardware key material the terminal would derive the image key from; none: the key
  // material of the terminal given, else the fixed pass phrase.
  std::optional<std::vector<uint8_t>> keyMaterial;
};

class CheckedPackage {
 public:
  // `terminalFiles` is the file system of the terminal given with --terminal, or null.
  CheckedPackage(PackageFile file, const CheckOptions& options, sim::TerminalConfig terminal,
                 sim::SimFileSystem* terminalFiles);

  const PackageFile& File() const { return m_file; }
  const CheckOptions& Options() const { return m_options; }
  // The terminal's hardware: the given terminal's, or that of a default one.
  const sim::TerminalConfig& Terminal() const { return m_terminal; }
  bool HasTerminal() const { return m_options.terminal.has_value(); }
  sim::SimFileSystem* TerminalFiles() const { return m_terminalFiles; }

  // The member the terminal finds by this name (the first equal without regard to case), or null.
  const container::Entry* FindMember(std::string_view name) const { return m_file.Find(name); }
  // A member's logical bytes; false when the file cannot be read there.
  bool ReadMember(const container::Entry& entry, std::string* bytes) const;

  // The settings member, as read by SetSettings.
  void SetSettings(std::string bytes);
  const std::string& SettingsBytes() const { return m_settingsBytes; }
  const CUpdateSettings& Settings() const { return m_settings; }
  // The section that holds the script, as the first Application definition names it.
  std::optional<std::string> ScriptSection() const;

 private:
  PackageFile m_file;
  const CheckOptions& m_options;
  sim::TerminalConfig m_terminal;
  sim::SimFileSystem* m_terminalFiles;
  std::string m_settingsBytes;
  CUpdateSettings m_settings;
};

// How findings about one member name it: member 'NK.BIN'.
inline std::string MemberWhere(std::string_view name) {
  return "member '" + std::string(name) + "'";
}

}  // namespace tools::pack_check
