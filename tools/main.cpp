// vostrel: the updater's host tools. vostrel <area> <verb> [options]
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "tools/commands.h"

namespace {

// CLI11 reports a misspelt command only as a missing one; name it instead.
bool CheckCommandWords(CLI::App& app, int argc, char** argv) {
  CLI::App* current = &app;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word.empty() || word[0] == '-') return true;
    const auto subcommands = current->get_subcommands([](CLI::App*) { return true; });
    if (subcommands.empty()) return true;
    CLI::App* next = nullptr;
    for (CLI::App* sub : subcommands) {
      if (sub->check_name(word)) next = sub;
    }
    if (next == nullptr) {
      std::string names;
      for (const CLI::App* sub : subcommands)
        names += (names.empty() ? "" : ", ") + sub->get_name();
      std::fprintf(stderr, "vostrel: unknown command \"%s\" (expected one of: %s)\n", word.c_str(),
                   names.c_str());
      return false;
    }
    current = next;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "vostrel: build and inspect update packages, serve them as the desktop, and run the "
      "terminal's updater on simulated terminals."};
  app.require_subcommand(1);
  app.set_help_all_flag("--help-all", "Show the help of every command");
  int exitCode = 0;
  tools::AddSimCommands(app, &exitCode);
  tools::AddDemoCommand(app, &exitCode);
  tools::AddPackCommands(app, &exitCode);
  tools::AddDesktopCommands(app, &exitCode);
  if (!CheckCommandWords(app, argc, argv)) return tools::kExitUsage;
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& help) {
    return app.exit(help);
  } catch (const CLI::CallForAllHelp& help) {
    return app.exit(help);
  } catch (const CLI::ParseError& error) {
    app.exit(error);
    return tools::kExitUsage;
  }
  return exitCode;
}
