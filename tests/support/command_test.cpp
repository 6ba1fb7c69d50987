#include "support/command_test.h"

#include <sys/wait.h>

#include <cstdlib>

namespace testing_support {

CommandResult CommandTest::Vostrel(const std::string& arguments) {
  const std::string out = Path("out.txt");
  const std::string err = Path("err.txt");
  const std::string command = std::string(VOSTREL_BINARY) + " " + arguments + " >'" + out +
                              "' 2>'" + err + "' </dev/null";
  const int status = std::system(command.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadHostFile(out), ReadHostFile(err)};
}

}  // namespace testing_support
