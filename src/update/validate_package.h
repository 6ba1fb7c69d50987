// Finds the update package, checks it, and loads its settings. In terminal mode the package
// lies beside the program: its checksum is verified (unless "nochecksum.chk" lies beside it)
// and the settings file is extracted into the root folder. In desktop mode the package header
// part and the settings file lie in the root folder, where the desktop put them.
#pragma once

#include <string_view>

#include "package/file_access.h"

class CValidatePackage : public CFileAccess {
 public:
  // True when the package may be used and its settings are loaded. Each failure is reported
  // with LogAppError and leaves the run's last error.
  bool IsValidBinFile(std::string_view packageName);
  // Loads the package's header table, extracts the settings file into the root folder and
  // loads it. True on success.
  bool LoadAppSettings(std::string_view settingsName);
};
