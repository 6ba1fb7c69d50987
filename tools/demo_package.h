// The demo's update package and the terminal it updates, shared by the demo and by the tools that
// run the same update under faults and power cuts.
#pragma once

#include <filesystem>
#include <string>

#include "sim/result.h"
#include "sim/terminal.h"

namespace tools {

struct DemoPackage {
  std::filesystem::path package;      // the built package, install.bin
  std::filesystem::path staging;      // the settings file and the payload folder it was built from
  std::filesystem::path gpsFirmware;  // the GPS firmware image as the package carries it
  std::filesystem::path bootImage;    // the raw boot loader image, as the package carries it
  std::filesystem::path kernelImage;  // the kernel's plain .BIN image, before the packer
                                      // encrypted it
};

// The hexadecimal key material the demo's images are encrypted with: the characters of the
// pass phrase that a terminal without key material of its own uses.
std::string DemoKeyMaterialHex();

// Builds the example package from the repository's examples folder into `dir` (which must
// exist): the payload is staged in dir/package, the package written to dir/install.bin. It
// updates all four parts: the GPS firmware, the application, the boot loader and the kernel.
sim::Result<DemoPackage> BuildDemoPackage(const std::filesystem::path& dir);

// Creates a fresh terminal in `dir` holding what the package updates, as it was before: the old
// application with the shell's rerunner and a user's documents.
sim::Status InitDemoTerminal(const std::filesystem::path& dir);

}  // namespace tools
