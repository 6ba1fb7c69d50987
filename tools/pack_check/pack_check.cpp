#include "tools/pack_check/pack_check.h"

#include <memory>
#include <string>
#include <utility>

#include "sim/terminal.h"
#include "tools/commands.h"
#include "tools/pack_check/container_check.h"
#include "tools/pack_check/definitions_check.h"
#include "tools/pack_check/images_check.h"
#include "tools/pack_check/members_check.h"
#include "tools/pack_check/script_check.h"
#include "tools/pack_check/settings_lines_check.h"

namespace tools::pack_check {

namespace {

using SettingsCheck = void (*)(const CheckedPackage&, Findings&);
// The checks of a package whose settings could be read, in the order their findings print.
constexpr SettingsCheck kSettingsChecks[] = {CheckSettingsLines, CheckDefinitions,
                                             CheckNamedMembers, CheckImages, CheckScript};

// Reads the settings member into the package; false, with the finding, when it cannot.
bool ReadSettings(CheckedPackage& package, Findings& findings) {
  const std::string where = MemberWhere(kSettingsName);
  const container::Entry* entry = package.FindMember(kSettingsName);
  if (entry == nullptr) {
    findings.Error(where, "missing; the terminal cannot extract the settings (error 1017)");
    return false;
  }
  std::string bytes;
  if (!package.ReadMember(*entry, &bytes)) {
    findings.Error(where, "cannot be read");
    return false;
  }
  package.SetSettings(std::move(bytes));
  return true;
}

}  // namespace

CheckReport CheckPackage(const std::filesystem::path& path, const CheckOptions& options) {
  CheckReport report;
  Findings& findings = report.findings;
  std::unique_ptr<sim::Terminal> terminal;
  if (options.terminal) {
    auto opened = sim::Terminal::Open(*options.terminal);
    if (!opened) {
      findings.Error("terminal", opened.error());
      return report;
    }
    terminal = std::move(*opened);
  }
  auto file = PackageFile::Open(path.string());
  if (!file) {
    findings.Error("package", "cannot be read");
    return report;
  }
  CheckedPackage package(std::move(*file), options,
                         terminal ? terminal->Config() : sim::TerminalConfig{},
                         terminal ? &terminal->Files() : nullptr);
  if (!CheckContainer(package.File(), findings) || !ReadSettings(package, findings)) {
    return report;
  }
  for (const SettingsCheck check : kSettingsChecks) check(package, findings);
  if (terminal) report.decision = PredictDecision(package.Settings(), *terminal);
  return report;
}

}  // namespace tools::pack_check
