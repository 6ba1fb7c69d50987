#include "tools/pack_check/report.h"

#include <algorithm>

#include "tools/package_file.h"

namespace tools::pack_check {

int CheckReport::ExitCode() const {
  const auto has = [this](Severity severity) {
    return std::any_of(findings.All().begin(), findings.All().end(),
                       [severity](const Finding& f) { return f.severity == severity; });
  };
  if (has(Severity::kError)) return 1;
  return has(Severity::kWarning) ? 2 : 0;
}

nlohmann::json CheckReport::ToJson() const {
  nlohmann::json json;
  json["exit_code"] = ExitCode();
  json["findings"] = nlohmann::json::array();
  for (const Finding& finding : findings.All()) {
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

void CheckReport::Print(std::FILE* out, const std::string& terminal) const {
  int errors = 0;
  int warnings = 0;
  for (const Finding& finding : findings.All()) {
    const bool error = finding.severity == Severity::kError;
    (error ? errors : warnings) += 1;
    std::fprintf(out, "%s: %s: %s\n", error ? "error" : "warning",
                 PrintableName(finding.where).c_str(), PrintableName(finding.message).c_str());
  }
  if (!decision.empty()) {
    std::fprintf(out, "The terminal %s would decide:\n", terminal.c_str());
    for (const PartDecision& part : decision) {
      std::fprintf(out, "  %-12s installed %-10s offered %-10s %s\n", part.part.c_str(),
                   part.installed.empty() ? "(none)" : part.installed.c_str(),
                   part.offered ? part.offered->c_str() : "-",
                   part.marked ? "update" : (part.offered ? "no update" : "not offered"));
    }
  }
  const char* verdict = errors > 0     ? "the package would fail on a terminal"
                        : warnings > 0 ? "the package would work, with warnings"
                                       : "the package is sound";
  std::fprintf(out, "%d error%s, %d warning%s: %s\n", errors, errors == 1 ? "" : "s", warnings,
               warnings == 1 ? "" : "s", verdict);
}

}  // namespace tools::pack_check
