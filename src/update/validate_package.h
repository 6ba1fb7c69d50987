// Finds the package, checks it and loads its settings.
#pragma once

#include <string_view>

class CValidatePackage {
 public:
  // True when the package may be used and its settings are loaded.
  bool IsValidBinFile(std::string_view packageName);
};
