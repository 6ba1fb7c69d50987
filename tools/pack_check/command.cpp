// The command line of "vostrel pack check".
#include <CLI/CLI.hpp>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "tools/commands.h"
#include "tools/pack_check/pack_check.h"

namespace tools {

namespace {

using pack_check::CheckOptions;
using pack_check::CheckReport;

struct CheckArgs {
  std::string package;
  std::string terminal;
  std::string keyMaterial;
  bool json = false;
};

std::optional<std::vector<uint8_t>> ParseHex(const std::string& hex) {
  std::vector<uint8_t> bytes;
  if (hex.empty() || hex.size() % 2 != 0) return std::nullopt;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    unsigned value = 0;
    if (std::sscanf(hex.c_str() + i, "%2x", &value) != 1 ||
        !std::isxdigit(static_cast<unsigned char>(hex[i])) ||
        !std::isxdigit(static_cast<unsigned char>(hex[i + 1]))) {
      return std::nullopt;
    }
    bytes.push_back(static_cast<uint8_t>(value));
  }
  return bytes;
}

}  // namespace

void AddPackCheckCommand(CLI::App& pack, int* exitCode) {
  auto* command = pack.add_subcommand(
      "check",
      "Find everything that would make the package fail on a terminal, before it ships: the "
      "container and its checksum; the settings (every definition parses, kinds are known, "
      "nothing is silently ignored); the members that definitions and script lines name; "
      "script lines the terminal would refuse or that would do something surprising. With "
      "--terminal, also the decision the terminal would take, part by part, without running "
      "anything. Exits 0 when sound, 1 when the update would fail, 2 when it would work with "
      "warnings; every finding names the member, line or key at fault.");
  auto args = std::make_shared<CheckArgs>();
  command->add_option("PKG", args->package, "The package")->required()->check(CLI::ExistingFile);
  command
      ->add_option("--terminal", args->terminal,
                   "A simulated terminal (vostrel sim init) whose installed versions and "
                   "hardware the check takes")
      ->check(CLI::ExistingDirectory);
  command->add_option("--key-material", args->keyMaterial,
                      "The terminal's hardware key material in hexadecimal (default: the fixed "
                      "pass phrase)");
  command->add_flag("--json", args->json, "Print the findings and the decision as JSON");
  command->callback([exitCode, args] {
    CheckOptions options;
    if (!args->terminal.empty()) options.terminal = args->terminal;
    if (!args->keyMaterial.empty()) {
      options.keyMaterial = ParseHex(args->keyMaterial);
      if (!options.keyMaterial) {
        std::fprintf(stderr,
                     "vostrel pack check: --key-material: expected an even number of "
                     "hexadecimal digits, got \"%s\"\n",
                     args->keyMaterial.c_str());
        *exitCode = kExitUsage;
        return;
      }
    }
    const CheckReport report = CheckPackage(args->package, options);
    *exitCode = report.ExitCode();
    if (args->json) {
      nlohmann::json json = report.ToJson();
      if (!args->terminal.empty()) {
        CheckTerminalSignature(args->package, args->terminal, exitCode, &json["signature"]);
        json["exit_code"] = *exitCode;
      }
      std::printf("%s\n", json.dump(2).c_str());
    } else {
      report.Print(stdout, args->terminal);
      if (!args->terminal.empty()) CheckTerminalSignature(args->package, args->terminal, exitCode);
    }
  });
}

}  // namespace tools
