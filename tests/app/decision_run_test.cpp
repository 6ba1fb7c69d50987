// Whole runs from a valid package to the welcome screen, the version dialog and the charger
// check.
#include <gtest/gtest.h>

#include <string>

#include "sim/runner.h"
#include "support/package_builder.h"
#include "support/terminal_fixture.h"

namespace {

using testing_support::BuildPackage;
using testing_support::TerminalTest;

class DecisionRunTest : public TerminalTest {
 protected:
  void Place(const std::string& settings) {
    WriteFile("\\Storage Card\\install.bin", BuildPackage({{"Vostrel.ini", settings}}));
  }
  static bool DialogSeen(const sim::RunOutcome& outcome) {
    for (const sim::TraceEntry& entry : outcome.trace) {
      if (entry.versionDialog) return true;
    }
    return false;
  }
  static constexpr int kApplication = 2;
  static constexpr int kGps = 3;
};

const std::string kSameApplication =
    "[SoftwareToUpdate]\r\nUpdate1=Application\r\n"
    "[Application]\r\nAppSoftware1=Application|1.0.0|AppScript\r\n";

TEST_F(DecisionRunTest, AValidPackageWelcomesAndPlayWithNothingMarkedFindsNothingToDo) {
  Place(kSameApplication);
  const sim::RunOutcome outcome = Run("PLAY PLAY");
  EXPECT_EQ(outcome.screens, (std::vector<int>{1, 3, 5}));
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_EQ(outcome.end, sim::RunEnd::kLeft);
  EXPECT_TRUE(outcome.parts[kApplication].offered);
  EXPECT_FALSE(outcome.parts[kApplication].marked);
  EXPECT_EQ(outcome.parts[kApplication].offeredVersion, "1.0.0");
  EXPECT_EQ(outcome.parts[kApplication].installedBefore, "1.0.0");
  EXPECT_FALSE(outcome.parts[kGps].offered);
}

TEST_F(DecisionRunTest, TabWithF3MarksAnOfferedApplicationInTheVersionDialog) {
  Place(kSameApplication);
  // BACK opens the dialog; TAB+F3 flips the mark and the TAB release does not close it;
  // STOP closes it; the next STOP leaves.
  const sim::RunOutcome outcome = Run("BACK TAB+F3 STOP STOP");
  EXPECT_TRUE(DialogSeen(outcome));
  EXPECT_EQ(outcome.finalScreen, 3);
  EXPECT_EQ(outcome.end, sim::RunEnd::kLeft);
  EXPECT_TRUE(outcome.parts[kApplication].marked);
}

TEST_F(DecisionRunTest, TabWithF4DoesNothingForAPartThatIsNotOffered) {
  Place(kSameApplication);
  const sim::RunOutcome outcome = Run("BACK TAB+F4 STOP PLAY");
  EXPECT_FALSE(outcome.parts[kGps].marked);
  // Nothing marked: PLAY finds nothing to update.
  EXPECT_EQ(outcome.finalScreen, 5);
}

TEST_F(DecisionRunTest, ThePlayKeyWaitsForTheCharger) {
  Place(
      "[SoftwareToUpdate]\r\nUpdate1=Application\r\n"
      "[Application]\r\nAppSoftware1=Application|2.0.0|AppScript\r\n");
  Term().MutableConfig().Get<sim::PowerConfig>().acLine = sim::AcLine::kDisconnected;
  const sim::RunOutcome outcome = Run("PLAY PLAY");
  EXPECT_EQ(outcome.screens, (std::vector<int>{1, 3, 4}));
  EXPECT_EQ(outcome.end, sim::RunEnd::kKeysRanOut);
  EXPECT_TRUE(outcome.parts[kApplication].marked);

  // An unknown line status counts as connected: PLAY goes on to the update.
  Term().MutableConfig().Get<sim::PowerConfig>().acLine = sim::AcLine::kUnknown;
  const sim::RunOutcome unknown = Run("PLAY");
  EXPECT_EQ(unknown.screens.at(2), 7);
}

}  // namespace
