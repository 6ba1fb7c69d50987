#include <gtest/gtest.h>

#include <string>

#include "log/log.h"
#include "support/terminal_fixture.h"
#include "utils/utils.h"

namespace {

using testing_support::TerminalTest;

struct Comparison {
  const char* current;
  const char* offered;
  bool newer;
};

TEST(VersionCompareTest, ComparesUpToFiveWidenedComponentsInAlternatingPasses) {
  const Comparison cases[] = {
      {"1.0.08", "1.0.10", true},
      {"2.5", "2.10", true},    // numbers, not text
      {"1.2", "1.2.3", false},  // the offered third component is not read
      {"1.2.3", "1.2", false},
      {"", "1.0", true},  // installed version unknown
      {"", "", true},
      {"1.0", "", false},      // nothing offered is never newer
      {"1.0", " 1.1 ", true},  // blanks around are removed
      {"\t1.1\r\n", "1.1", false},
      {"1.2.3", "1.2.3", false},  // equal
      // A component above 999999 widens its field, so the texts compare out of step: 999999
      // counts as newer than 1234567, and 1234567 as newer than 2000000.
      {"1.1234567.0", "1.999999.9", true},
      {"1.2000000", "1.1234567", false},
      {"1.1234567", "1.2000000", true},
      {"1.-1", "1.0", true},  // a minus sorts below any digit
      {"1.0", "1.-1", false},
      // The current version gives at most one component more than the offered one.
      {"1.0.0.9", "1.0", false},
      {"1.0", "1.0.0.9", false},
      {"1.0.1", "1.0.0.9", false},
      {"1.0.0.1", "1.0.0.2", true},
      // Five slots only: the sixth component is never read.
      {"1.1.1.1.1.1", "1.1.1.1.1.9", false},
      {"1.1.1.1.1", "1.1.1.1.2.0", true},
      // What the conversion reads: sign, leading blanks, no digits, dots in a row.
      {"1.+2", "1.3", true},
      {"1. 2", "1.2", false},
      {"1.x", "1.0", false},
      {"1..5", "1.0.4", false},
      {"abc", "0.0.1", false},
      {"99999999999", "2147483647", false},  // held at the 32-bit limit
  };
  for (const Comparison& c : cases) {
    SCOPED_TRACE(std::string("[") + c.current + "] -> [" + c.offered + "]");
    EXPECT_EQ(CUtils::IsVersionNewer(c.current, c.offered), c.newer);
  }
}

class VersionCompareLogTest : public TerminalTest {};

TEST_F(VersionCompareLogTest, LogsTheWidenedTexts) {
  StartUpdaterObjects(2);
  EXPECT_TRUE(CUtils::IsVersionNewer("1.0.08", "1.0.10"));
  const std::string log = ReadFile("\\Flash disk2\\Vostrel.log");
  EXPECT_NE(log.find("CUtils::IsVersionNewer:InCur:[1.0.08] InNew:[1.0.10]\r\n"
                     "17:01:11  CUtils::IsVersionNewer:Cur:[000001000000000008000000000000]\r\n"
                     "17:01:11  CUtils::IsVersionNewer:New:[000001000000000010000000000000]\r\n"
                     "17:01:11  CUtils::IsVersionNewer:Result:[1]\r\n"),
            std::string::npos)
      << log;
  EXPECT_TRUE(CUtils::IsVersionNewer("", "1"));
  EXPECT_EQ(ReadFile("\\Flash disk2\\Vostrel.log")
                .find("InCur:[] InNew:[1]\r\n17:01:11  "
                      "CUtils::IsVersionNewer:Cur"),
            std::string::npos);
}

}  // namespace
