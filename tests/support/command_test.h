// Tests that run the vostrel command as users do, in a temporary folder.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "support/terminal_fixture.h"

namespace testing_support {

struct CommandResult {
  int exitCode;
  std::string out;
  std::string err;
};

class CommandTest : public ::testing::Test {
 protected:
  // Runs "vostrel ARGUMENTS" (a shell command line) with no input.
  CommandResult Vostrel(const std::string& arguments);
  // A path in the test's folder, and the same quoted for the shell.
  std::string Path(const std::string& name) const { return (m_dir.Path() / name).string(); }
  std::string Q(const std::string& name) const { return "'" + Path(name) + "'"; }

  TempDir m_dir;
};

}  // namespace testing_support
