// What every checker of "vostrel pack check" reports: findings, each with its severity, where it
// lies (the member, the settings line or key, or the script line at fault) and what is wrong.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace tools::pack_check {

enum class Severity {
  kError,    // the update would fail, or would do something other than what the package says
  kWarning,  // the update would work, but something is ignored or surprising
};

struct Finding {
  Severity severity = Severity::kError;
  std::string where;  // "container", "member 'NK.BIN'", "Vostrel.ini line 12", ...
  std::string message;
};

// The findings of one check, in the order they were found, which is the order they print in.
class Findings {
 public:
  void Error(std::string where, std::string message) {
    m_list.push_back({Severity::kError, std::move(where), std::move(message)});
  }
  void Warn(std::string where, std::string message) {
    m_list.push_back({Severity::kWarning, std::move(where), std::move(message)});
  }
  const std::vector<Finding>& All() const { return m_list; }

 private:
  std::vector<Finding> m_list;
};

}  // namespace tools::pack_check
