// Operating-system images in packages, for the pack commands: which members the terminal reads
// as encrypted .BIN streams, their encryption with warnings, and "vostrel pack mkbin".
#pragma once

#include <CLI/CLI.hpp>
#include <optional>
#include <string>
#include <vector>

namespace tools {

// The members that the settings' OS definitions name and that the terminal loads as .BIN
// images (names not ending in "0"): stored encrypted.
std::vector<std::string> EncryptedImageNames(const std::string& settingsBytes);

// The key material of --key-material (hexadecimal), or the pass phrase when the text is empty;
// nothing when the text is not 1 to 100 bytes of hexadecimal digits.
std::optional<std::string> KeyMaterialFromHex(const std::string& hex);

// The member as the package stores it: the plain .BIN stream encrypted with the key material.
// Warns on stderr when it is not a .BIN stream, is a RAM image, or is encrypted already (then
// it is stored as it is).
std::string EncryptImageMember(const std::string& name, const std::string& plain,
                               const std::string& keyMaterial);

// "vostrel pack mkbin RAW OUT [--start ADDR] [--record-size N]".
void AddMkbinCommand(CLI::App* pack, int* exitCode);

}  // namespace tools
