// GPS boot and firmware files: what the GPS programmer and the chip would make of them.
#pragma once

#include <string>
#include <string_view>

#include "tools/pack_check/checked_package.h"
#include "tools/pack_check/findings.h"

namespace tools::pack_check {

// True when the programmer takes the firmware file for a binary image: its name holds ".bin" or
// ".BIN" (in that case); any other is an S-record file.
bool IsBinaryFirmwareName(std::string_view file);

// One file, named by a GPS definition as file^kind. Neither a boot nor a firmware file may be
// empty; a binary firmware must fit the chip's flash; an S-record firmware must consist of
// records with right checksums, hold data, write nothing past the flash and should end with a
// termination record. A file the package lacks is left to the members' check.
void CheckGpsFile(const CheckedPackage& package, const std::string& file, const std::string& kind,
                  Findings& findings);

}  // namespace tools::pack_check
