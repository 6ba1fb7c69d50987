// Whole runs compared with reviewed transcripts kept in tests/golden/. Virtual time makes them
// exact. After a deliberate change, VOSTREL_UPDATE_GOLDEN=1 rewrites the transcripts that
// differ and prints the unified diff of each (with the host's diff), to be reviewed like code.
// A test program that uses this defines VOSTREL_GOLDEN_DIR.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "sim/runner.h"
#include "support/terminal_fixture.h"
#include "text/text.h"

namespace testing_support {

// The screens a run showed, each with its time, progress bar, error line and version dialog,
// and how the run ended.
inline std::string ScreenTrace(const sim::RunOutcome& outcome) {
  std::string text = "== screen trace\n";
  for (const sim::TraceEntry& entry : outcome.trace) {
    text += text::Sprintf("%6d ms  screen %d", static_cast<int>(entry.time), entry.screen);
    if (entry.progressVisible) text += text::Sprintf("  progress %d", entry.progress);
    if (entry.errorVisible) text += "  error line \"" + entry.errorText + "\"";
    if (entry.versionDialog) text += "  version dialog";
    text += "\n";
  }
  return text + text::Sprintf("== end: %s, exit code %d\n", sim::RunEndName(outcome.end),
                              outcome.exitCode);
}

// The texts of the log file's entries in order. Each entry is "hh:mm:ss  ", its text and a line
// end, written in text mode, which makes every "\n" a "\r\n". Date lines are no entries.
inline std::vector<std::string> LogEntryTexts(const std::string& log) {
  static const std::regex kTime("(^|\n)[0-9]{2}:[0-9]{2}:[0-9]{2}  ");
  std::vector<std::size_t> starts;  // of the texts
  for (auto it = std::sregex_iterator(log.begin(), log.end(), kTime); it != std::sregex_iterator();
       ++it) {
    starts.push_back(static_cast<std::size_t>(it->position() + it->length()));
  }
  std::vector<std::string> texts;
  for (std::size_t k = 0; k < starts.size(); ++k) {
    const std::size_t end = k + 1 < starts.size() ? starts[k + 1] - 10 : log.size();
    const std::string entry = log.substr(starts[k], end - starts[k]);
    if (entry.size() < 2 || entry.rfind("Current date is ", 0) == 0) continue;
    static const std::regex kWidened("\r\n");
    texts.push_back(std::regex_replace(entry.substr(0, entry.size() - 2), kWidened, "\n"));
  }
  return texts;
}

// The log file and the debug output of a run. The debug output repeats every entry written to
// the log as "LOG:" and its text; the entries that the file still holds (the last ones of the
// run: a log deleted on the way holds only what came after) are left out of it here, so that
// the transcript shows each once.
inline std::string LogAndDebugOutput(const std::string& logName, const std::string& log,
                                     std::string debug) {
  const std::vector<std::string> texts = LogEntryTexts(log);
  std::size_t before = debug.size();
  for (auto it = texts.rbegin(); it != texts.rend(); ++it) {
    const std::string written = "LOG:" + *it + "\r\n";
    const std::size_t at =
        before < written.size() ? std::string::npos : debug.rfind(written, before - written.size());
    if (at == std::string::npos) {
      ADD_FAILURE() << "the debug output lacks the log's entry \"" << *it << "\"";
      break;
    }
    debug.erase(at, written.size());
    before = at;
  }
  return "== " + logName + "\n" + log + "== debug output, without the log's entries\n" + debug;
}

// Compares the transcript with tests/golden/<name>.txt. With VOSTREL_UPDATE_GOLDEN set, a file
// that differs is rewritten, and the unified diff of the change is printed for the review.
inline void ExpectGolden(const std::string& name, const std::string& actual) {
  const std::string file = std::string(VOSTREL_GOLDEN_DIR) + "/" + name + ".txt";
  if (std::getenv("VOSTREL_UPDATE_GOLDEN") != nullptr && ReadHostFile(file) != actual) {
    const std::string rewritten = file + ".new";
    WriteHostFile(rewritten, actual);
    std::fflush(stdout);
    const std::string diff = "diff -uN '" + file + "' '" + rewritten + "'";
    if (std::system(diff.c_str()) == -1) ADD_FAILURE() << "cannot run " << diff;
    std::filesystem::rename(rewritten, file);
  }
  const std::string expected = ReadHostFile(file);
  ASSERT_FALSE(expected.empty()) << file << " is missing; run with VOSTREL_UPDATE_GOLDEN=1";
  EXPECT_EQ(actual, expected) << "differs from " << file;
}

}  // namespace testing_support
