// Which package members an update phase reads, as the settings name them: the image files of
// the OS definitions, the files of the GPS definitions, the members that the application
// script copies. The terminal's progress totals, the desktop's answers to its size requests and
// the package builder's checks all count the same members.
#pragma once

#include <string>
#include <vector>

#include "settings/script_line.h"

class CUpdateSettings;

enum class UpdatePhase { kOS, kGPS, kApplication };

struct PhaseItem {
  // False for a script line that does not split into a command and its parameters.
  bool splits = true;
  // The member's name as written, or the script line that does not split.
  std::string text;
};

// The phase's items in the order of the settings (definitions in table order, script lines in
// file order). Definitions whose command is not valid, and script lines other than COPY, give
// nothing.
std::vector<PhaseItem> PhaseItems(const CUpdateSettings& settings, UpdatePhase phase,
                                  ScriptTokens tokens = ScriptTokens::kExpanded);
