#include "tools/pack_check/checked_package.h"

#include <utility>

namespace tools::pack_check {

CheckedPackage::CheckedPackage(PackageFile file, const CheckOptions& options,
                               sim::TerminalConfig terminal, sim::SimFileSystem* terminalFiles)
    : m_file(std::move(file)),
      m_options(options),
      m_terminal(std::move(terminal)),
      m_terminalFiles(terminalFiles) {}

bool CheckedPackage::ReadMember(const container::Entry& entry, std::string* bytes) const {
  return m_file.ReadMember(entry, bytes).ok();
}

void CheckedPackage::SetSettings(std::string bytes) {
  m_settingsBytes = std::move(bytes);
  m_settings.LoadFromBytes(m_settingsBytes);
}

std::optional<std::string> CheckedPackage::ScriptSection() const {
  const SoftwareDefinition* app = m_settings.FindApplicationDefinition();
  if (app == nullptr) return std::nullopt;
  return app->command;
}

}  // namespace tools::pack_check
