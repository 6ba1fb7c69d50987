// vostrel: the updater's host tools. vostrel <area> <verb> [options]
#include <cstdio>

#include <CLI/CLI.hpp>

#include "tools/commands.h"

int main(int argc, char** argv) {
  CLI::App app{
      "vostrel: build and inspect update packages, serve them as the desktop, and run the "
      "terminal's updater on simulated terminals."};
  app.require_subcommand(1);
  app.set_help_all_flag("--help-all", "Show the help of every command");
  int exitCode = 0;
  tools::AddSimCommands(app, &exitCode);
  tools::AddDemoCommand(app, &exitCode);
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
