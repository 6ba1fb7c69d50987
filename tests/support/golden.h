// Whole runs compared with reviewed transcripts kept in tests/golden/. Virtual time makes them
// exact. After a deliberate change, VOSTREL_UPDATE_GOLDEN=1 rewrites the transcripts, which are
// then reviewed like code. A test program that uses this defines VOSTREL_GOLDEN_DIR.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

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

// Compares the transcript with tests/golden/<name>.txt.
inline void ExpectGolden(const std::string& name, const std::string& actual) {
  const std::string file = std::string(VOSTREL_GOLDEN_DIR) + "/" + name + ".txt";
  if (std::getenv("VOSTREL_UPDATE_GOLDEN") != nullptr) WriteHostFile(file, actual);
  const std::string expected = ReadHostFile(file);
  ASSERT_FALSE(expected.empty()) << file << " is missing; run with VOSTREL_UPDATE_GOLDEN=1";
  EXPECT_EQ(actual, expected) << "differs from " << file;
}

}  // namespace testing_support
