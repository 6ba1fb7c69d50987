#include "update/validate_package.h"

// PLACEHOLDER: package validation is not built yet; every package counts as invalid.
bool CValidatePackage::IsValidBinFile(std::string_view /*packageName*/) { return false; }
