// Boot loader and kernel images: what the partition writer and the .BIN loader would make of
// them on the terminal.
#pragma once

#include <string>

#include "tools/pack_check/checked_package.h"
#include "tools/pack_check/findings.h"

namespace tools::pack_check {

// The key material the terminal derives the image key from: --key-material, else the given
// terminal's own, else the pass phrase that a terminal without any uses.
struct KeyMaterial {
  std::string bytes;
  const char* source;
};
KeyMaterial ImageKeyMaterial(const CheckedPackage& package);

// One image, named by an OS definition as file^partition^kind. A .BIN image (a name not ending in
// "0") must decrypt, parse to its terminating record, start in flash, keep its records inside the
// image and fit, with the loader's buffer, the terminal's program memory; a raw image must not be
// empty. Either must fit its partition, which must exist and carry the kind as its signature. A
// file the package lacks is left to the members' check.
void CheckOsImage(const CheckedPackage& package, const std::string& file, int partition,
                  const std::string& kind, const KeyMaterial& keyMaterial, Findings& findings);

}  // namespace tools::pack_check
