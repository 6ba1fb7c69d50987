#include "tools/pack_check/members_check.h"

#include <string>

#include "settings/phase_members.h"

namespace tools::pack_check {

void CheckNamedMembers(const CheckedPackage& package, Findings& findings) {
  for (const UpdatePhase phase : {UpdatePhase::kGPS, UpdatePhase::kOS}) {
    for (const PhaseItem& item : PhaseItems(package.Settings(), phase, ScriptTokens::kAsWritten)) {
      if (package.FindMember(item.text) == nullptr) {
        findings.Error(MemberWhere(item.text), std::string("named by an ") +
                                                   (phase == UpdatePhase::kOS ? "OS" : "GPS") +
                                                   " definition but missing from the package");
      }
    }
  }
}

}  // namespace tools::pack_check
