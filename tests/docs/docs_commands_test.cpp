// Every command that README.md and the pages of docs/ show runs as written, and every link
// between them leads somewhere. The convention,
// which docs/README.md states for writers:
//
// - A fenced block tagged `sh` is run, line by line in order (a trailing backslash joins the
//   next line), each line through /bin/sh, in one scratch folder per page. The folder looks like
//   the repository's root after the build: `examples/` and `build/examples/` are there, and
//   `vostrel` on the PATH is the built program. Blank lines and comment lines are skipped.
// - A line must exit 0, unless it ends in the comment `# exit N`.
// - Each line runs in a shell of its own, so a line may not change folder or leave a process
//   in the background.
// - A block that cannot run here is tagged `sh norun` and begins with the line
//   `# not run by the docs test: REASON`, REASON one of kNotRunReasons. Other shell tags
//   (bash, console, ...) are refused, so that no command slips past both rules.
// - The pages that the matrices write (kGeneratedPages) are theirs and are not read.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/terminal_fixture.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ReadHostFile;
using testing_support::TempDir;
using testing_support::WriteHostFile;

// Why a block may be left to the reader; every other documented command runs here.
const std::map<std::string, std::string> kNotRunReasons = {
    {"builds", "make, cmake and ctest: this test runs inside that build"},
    {"opens a window", "needs a display and runs on the host clock"},
    {"runs in real time", "waits on the host clock, which tests never do"},
    {"a benchmark", "measures wall time; performance is measured by benchmarks, never by tests"},
    {"takes minutes", "the whole matrices and fuzz campaigns; their quick variants run in ctest"},
};

// Written by `vostrel sim faults` and `vostrel sim power-cuts`; they show how to remake them.
const std::vector<std::string> kGeneratedPages = {"docs/faults.md", "docs/power-cuts.md"};

struct Command {
  int line = 0;
  std::string text;  // as the page writes it, continuation lines included
  int expectedExit = 0;
};

struct Page {
  std::vector<Command> commands;
  std::vector<std::string> faults;  // breaches of the convention, "page:line: why"
};

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.rfind(prefix, 0) == 0;
}

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

Page ReadPage(const std::string& name, const std::string& text) {
  static const std::regex kFence(R"(^\s*(```+|~~~+)\s*([^\s`]*)\s*(.*)$)");
  static const std::regex kExit(R"(#\s*exit\s+(\d+)[^#]*$)");
  static const std::regex kBackground(R"((^|[^&])&\s*(#.*)?$)");
  static const std::regex kReasonLine(R"(^# not run by the docs test: (.+)$)");
  Page page;
  const auto fault = [&](int line, const std::string& why) {
    page.faults.push_back(name + ":" + std::to_string(line) + ": " + why);
  };

  std::istringstream in(text);
  std::string raw;
  int number = 0;
  std::string fence;  // the open fence's marker, empty outside a block
  enum class Kind { kOther, kRun, kNotRun } kind = Kind::kOther;
  bool firstLine = false;
  Command pending;  // a command continued by a trailing backslash
  while (std::getline(in, raw)) {
    ++number;
    std::smatch match;
    if (fence.empty()) {
      if (!std::regex_match(raw, match, kFence)) continue;
      fence = match[1].str();
      const std::string tag = match[2].str();
      const std::string flags = Trim(match[3].str());
      kind = Kind::kOther;
      if (tag == "sh" && flags.empty()) {
        kind = Kind::kRun;
      } else if (tag == "sh" && flags == "norun") {
        kind = Kind::kNotRun;
      } else if (tag == "sh" || tag == "bash" || tag == "shell" || tag == "console" ||
                 tag == "zsh" || tag == "sh-session") {
        fault(number, "a shell block is tagged `sh` (run) or `sh norun`, not `" + tag +
                          (flags.empty() ? "" : " " + flags) + "`");
      }
      firstLine = true;
      continue;
    }
    if (StartsWith(Trim(raw), fence) &&
        Trim(raw).find_first_not_of(fence[0]) == std::string::npos) {
      if (!pending.text.empty()) fault(pending.line, "the last line ends in a backslash");
      pending = {};
      fence.clear();
      continue;
    }
    const std::string line = Trim(raw);
    if (kind == Kind::kNotRun && firstLine) {
      firstLine = false;
      if (!std::regex_match(line, match, kReasonLine)) {
        fault(number, "a `sh norun` block begins with \"# not run by the docs test: REASON\"");
      } else if (!kNotRunReasons.contains(match[1].str())) {
        fault(number, "\"" + match[1].str() + "\" is not one of the reasons this test accepts");
      }
    }
    if (kind != Kind::kRun) continue;
    if (pending.text.empty()) {
      if (line.empty() || line[0] == '#') continue;
      pending.line = number;
    }
    pending.text += raw + "\n";
    if (!line.empty() && line.back() == '\\') continue;

    if (std::regex_search(line, match, kExit)) pending.expectedExit = std::stoi(match[1].str());
    const std::string start = Trim(pending.text);
    if (StartsWith(start, "cd ")) {
      fault(pending.line, "each line runs in a shell of its own: no cd");
    } else if (std::regex_search(line, kBackground)) {
      fault(pending.line, "each line runs in a shell of its own: nothing in the background");
    } else {
      page.commands.push_back(pending);
    }
    pending = {};
  }
  if (!fence.empty()) fault(number, "a fenced block is not closed");
  return page;
}

std::vector<std::string> ShownPages() {
  const fs::path root = VOSTREL_SOURCE_DIR;
  std::vector<std::string> pages = {"README.md"};
  for (const auto& entry : fs::directory_iterator(root / "docs")) {
    const std::string name = "docs/" + entry.path().filename().string();
    if (entry.path().extension() != ".md") continue;
    if (std::find(kGeneratedPages.begin(), kGeneratedPages.end(), name) != kGeneratedPages.end()) {
      continue;
    }
    pages.push_back(name);
  }
  std::sort(pages.begin() + 1, pages.end());
  return pages;
}

// A folder like the repository's root after the build, for the commands of one page.
void MakeScratch(const fs::path& scratch, const std::string& pageText) {
  fs::create_directories(scratch);
  fs::copy(fs::path(VOSTREL_SOURCE_DIR) / "examples", scratch / "examples",
           fs::copy_options::recursive);
  // The generated images are a few megabytes; only the pages that use them get them.
  if (pageText.find("build/examples/") != std::string::npos) {
    fs::create_directories(scratch / "build");
    fs::copy(fs::path(VOSTREL_BUILD_DIR) / "examples", scratch / "build" / "examples",
             fs::copy_options::recursive);
  }
}

class DocsCommandsTest : public ::testing::TestWithParam<std::string> {};

TEST_P(DocsCommandsTest, EveryShownCommandRunsAsWritten) {
  const std::string name = GetParam();
  const std::string text = ReadHostFile(fs::path(VOSTREL_SOURCE_DIR) / name);
  ASSERT_FALSE(text.empty()) << name;
  const Page page = ReadPage(name, text);
  for (const std::string& why : page.faults) ADD_FAILURE() << why;
  if (page.commands.empty()) return;

  TempDir dir;
  const fs::path scratch = dir.Path() / "root";
  const fs::path bin = dir.Path() / "bin";
  WriteHostFile(bin / "vostrel", "#!/bin/sh\nexec '" + std::string(VOSTREL_BINARY) + "' \"$@\"\n");
  fs::permissions(bin / "vostrel", fs::perms::owner_all);
  MakeScratch(scratch, text);

  const fs::path script = dir.Path() / "line.sh";
  const fs::path output = dir.Path() / "output.txt";
  for (const Command& command : page.commands) {
    WriteHostFile(script, command.text);
    const std::string shell = "cd '" + scratch.string() + "' && PATH='" + bin.string() +
                              "':\"$PATH\" /bin/sh '" + script.string() + "' >'" + output.string() +
                              "' 2>&1 </dev/null";
    const int status = std::system(shell.c_str());
    const int exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (exitCode != command.expectedExit) {
      std::string shown = ReadHostFile(output);
      if (shown.size() > 4000) shown = shown.substr(0, 4000) + "...\n";
      ADD_FAILURE() << name << ":" << command.line << ": exit " << exitCode << ", the page says "
                    << command.expectedExit << "\n$ " << command.text << shown;
      return;  // the page's later commands build on this one
    }
  }
}

// A heading's anchor as the pages link to it: lower case, blanks as hyphens, punctuation gone.
std::string Anchor(const std::string& heading) {
  std::string anchor;
  for (const char c : heading) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) || c == '-' || c == '_' || byte >= 0x80) {
      anchor += static_cast<char>(std::tolower(byte));
    } else if (c == ' ') {
      anchor += '-';
    }
  }
  return anchor;
}

// Calls `line` with each line of the page outside its fenced blocks.
template <typename Visit>
void ForEachProseLine(const std::string& text, Visit line) {
  std::istringstream in(text);
  std::string current;
  bool fenced = false;
  while (std::getline(in, current)) {
    if (StartsWith(current, "```")) {
      fenced = !fenced;
    } else if (!fenced) {
      line(current);
    }
  }
}

std::vector<std::string> Anchors(const std::string& text) {
  static const std::regex kHeading(R"(^#+\s+(.*\S)\s*$)");
  std::vector<std::string> anchors;
  ForEachProseLine(text, [&](const std::string& line) {
    std::smatch match;
    if (std::regex_match(line, match, kHeading)) anchors.push_back(Anchor(match[1].str()));
  });
  return anchors;
}

// A moved file or a renamed heading leaves links behind that no command run would notice.
TEST_P(DocsCommandsTest, EveryLinkLeadsToAFileAndItsHeading) {
  static const std::regex kLink(R"(\]\(([^)\s]+)\))");
  const fs::path root = VOSTREL_SOURCE_DIR;
  const std::string name = GetParam();
  const std::string text = ReadHostFile(root / name);
  ForEachProseLine(text, [&](const std::string& line) {
    for (auto it = std::sregex_iterator(line.begin(), line.end(), kLink);
         it != std::sregex_iterator(); ++it) {
      const std::string link = (*it)[1].str();
      if (link.find("://") != std::string::npos) continue;
      const std::size_t hash = link.find('#');
      const std::string file = link.substr(0, hash);
      const fs::path target = file.empty() ? root / name : (root / name).parent_path() / file;
      if (!fs::exists(target)) {
        ADD_FAILURE() << name << ": " << link << " leads to no file";
        continue;
      }
      if (hash == std::string::npos || target.extension() != ".md") continue;
      const std::vector<std::string> anchors = Anchors(ReadHostFile(target));
      if (std::find(anchors.begin(), anchors.end(), link.substr(hash + 1)) == anchors.end()) {
        ADD_FAILURE() << name << ": " << link << " leads to no heading";
      }
    }
  });
}

std::string PageTestName(const ::testing::TestParamInfo<std::string>& page) {
  std::string testName = page.param;
  for (char& c : testName) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return testName;
}

INSTANTIATE_TEST_SUITE_P(Pages, DocsCommandsTest, ::testing::ValuesIn(ShownPages()), PageTestName);

// The reading of the pages itself: a page that breaks the convention is refused, and the
// commands are what a reader would type.
TEST(DocsConventionTest, ReadsCommandsExitCodesAndRefusesWhatCannotRun) {
  const Page page = ReadPage("page.md",
                             "```sh\n"
                             "# a comment\n"
                             "vostrel sim init term\n"
                             "\n"
                             "vostrel pack verify bad.bin   # exit 1\n"
                             "vostrel pack build out.bin \\\n"
                             "    --ini Vostrel.ini\n"
                             "cd term\n"
                             "vostrel desktop serve --package x --root y &\n"
                             "```\n"
                             "```sh norun\n"
                             "# not run by the docs test: opens a window\n"
                             "vostrel sim run term --window\n"
                             "```\n"
                             "```sh norun\n"
                             "vostrel sim run term --window\n"
                             "```\n"
                             "```console\n"
                             "$ vostrel sim show term\n"
                             "```\n"
                             "```text\n"
                             "vostrel sim show term\n"
                             "```\n");
  ASSERT_EQ(page.commands.size(), 3u);
  EXPECT_EQ(page.commands[0].text, "vostrel sim init term\n");
  EXPECT_EQ(page.commands[0].expectedExit, 0);
  EXPECT_EQ(page.commands[1].expectedExit, 1);
  EXPECT_EQ(page.commands[1].line, 5);
  EXPECT_EQ(page.commands[2].text, "vostrel pack build out.bin \\\n    --ini Vostrel.ini\n");
  EXPECT_EQ(page.faults, (std::vector<std::string>{
                             "page.md:8: each line runs in a shell of its own: no cd",
                             "page.md:9: each line runs in a shell of its own: nothing in the "
                             "background",
                             "page.md:16: a `sh norun` block begins with \"# not run by the docs "
                             "test: REASON\"",
                             "page.md:18: a shell block is tagged `sh` (run) or `sh norun`, not "
                             "`console`",
                         }));
}

}  // namespace
