// The areas of the vostrel command. Each adds its subcommands to the application; a command
// stores its exit code in *exitCode.
#pragma once

#include <CLI/CLI.hpp>
#include <cstddef>
#include <functional>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "sim/result.h"

namespace container {
class ChecksumReader;
}

namespace tools {

class PackageFile;

// Exit code of a bad command line or a terminal folder that cannot be used.
inline constexpr int kExitUsage = 64;

// The package's settings member, and the longest member name the terminal takes (UTF-16 units).
inline constexpr const char* kSettingsName = "Vostrel.ini";
inline constexpr std::size_t kMaxNameUnits = 255;

// Builds a package as "vostrel pack build OUT --ini INI --dir DIR [--key-material HEX]" does
// (either of INI and DIR may be empty) and returns its exit code; messages go to stdout and
// stderr.
int PackBuild(const std::string& out, const std::string& ini, const std::string& dir,
              const std::string& keyMaterial = "");

void AddSimCommands(CLI::App& app, int* exitCode);
void AddDemoCommand(CLI::App& app, int* exitCode);
void AddPackCommands(CLI::App& app, int* exitCode);
// "pack check", under the pack command.
void AddPackCheckCommand(CLI::App& pack, int* exitCode);
// "pack keygen" and "pack sign", and the signature steps of "pack build", "list" and "verify".
void AddPackSigning(CLI::App& pack, int* exitCode);
// The signature step after "pack build", "list" or "verify" (given as the subcommand) did its
// own work and set *exitCode.
void AfterPackCommand(const CLI::App& command, int* exitCode);
// "pack verify"'s sum of the package: a signed package is summed in the reads that check its
// signature and members' hashes (the step after verify reports what they found); any other with
// `plainSum`.
sim::Status SumForVerify(const PackageFile& package, container::ChecksumReader* checksum,
                         const std::function<sim::Status()>& plainSum);
// "pack check --terminal": whether the terminal takes the package's signature, printed, or as
// JSON into *json when given; a refusal sets *exitCode to 1.
void CheckTerminalSignature(const std::string& package, const std::string& terminalDir,
                            int* exitCode, nlohmann::json* json = nullptr);
// The package's signature as "pack list --json" shows it: "signed", "key" (the signer's
// fingerprint) and "problem" (members not hashed).
nlohmann::json ListedSignatureJson(const PackageFile& package);
// "--trust PUBLIC.pem" (repeatable) of "sim init" and "sim demo-init": the terminal made trusts
// these keys. The files are read (ReadKeyFiles, the messages naming the file) before the terminal
// is made, and written into its terminal.json after (TrustKeys).
void AddTrustOption(CLI::App& init, std::vector<std::string>* keyFiles);
sim::Result<std::vector<std::string>> ReadKeyFiles(const std::vector<std::string>& keyFiles);
sim::Status TrustKeys(const std::string& terminalDir, const std::vector<std::string>& pems);
// "desktop serve --require-signature PUBLIC.pem": the package is refused before anything is
// served unless that key signed it.
void AddServeSignatureCheck(CLI::App& serve, int* exitCode);
void AddDesktopCommands(CLI::App& app, int* exitCode);
// "sim faults", under the sim command: the fault matrix.
void AddSimFaultsCommand(CLI::App& sim, int* exitCode);
// "sim gps serve" (the chip on a pseudo-terminal), "sim demo-init" and "sim demo-check", for
// terminals that a program outside the simulator updates.
void AddOutsideRunCommands(CLI::App& sim, CLI::App& gps, int* exitCode);
// "sim power-cuts", under the sim command.
void AddPowerCutsCommand(CLI::App& sim, int* exitCode);

}  // namespace tools
