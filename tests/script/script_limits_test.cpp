// The limits of a script line's fields, each at its limit and one past it, counted in UTF-16
// units after the blanks around the line and the parameters are gone. A line over a limit is
// refused whole, never cut.
#include <gtest/gtest.h>

#include <string>

#include "settings/script_line.h"

namespace {

std::string Repeat(const std::string& unit, std::size_t count) {
  std::string out;
  for (std::size_t i = 0; i < count; ++i) out += unit;
  return out;
}

TEST(ScriptLimitsTest, EachFieldAtItsLimitIsTakenWholeAndOnePastIsRefused) {
  const std::string x255 = Repeat("x", 255);
  const std::string e255 = Repeat("\xC3\xA9", 255);  // "é", one unit in two bytes
  const struct {
    const char* name;
    std::string line;
    bool taken;
    std::string parameter2;
  } cases[] = {
      {"command of 51", Repeat("C", 51) + "|a|b", true, "b"},
      {"command of 52", Repeat("C", 52) + "|a|b", false, ""},
      {"first parameter of 255", "COPY|" + x255 + "|b", true, "b"},
      {"first parameter of 256", "COPY|" + x255 + "x|b", false, ""},
      {"second parameter of 255", "COPY|a|" + x255, true, x255},
      {"second parameter of 256", "COPY|a|" + x255 + "x", false, ""},
      {"second parameter of 255 between blanks", "COPY|a|   " + x255 + "   ", true, x255},
      {"second parameter of 255 two-byte characters", "COPY|a|" + e255, true, e255},
      {"second parameter of 254 and a surrogate pair",
       "COPY|a|" + Repeat("x", 254) + "\xF0\x9F\x98\x80", false, ""},
      {"line of 1023 and blanks after it", "DEL|x" + Repeat(" ", 1016) + "|y   ", true, "y"},
      {"line of 1024", "DEL|x" + Repeat(" ", 1017) + "|y", false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int command = 99;
    std::string parameter1;
    std::string parameter2 = "stale";
    ASSERT_EQ(
        ExtractScriptParams(c.line, ScriptTokens::kAsWritten, &command, &parameter1, &parameter2),
        c.taken);
    if (c.taken) {
      EXPECT_EQ(parameter2, c.parameter2);
    }
  }
}

}  // namespace
