#include "text/text.h"

#include <gtest/gtest.h>

namespace {

TEST(TextTest, SprintfTakesWideAndNarrowStringsAlike) {
  EXPECT_EQ(text::Sprintf("[%s][%S]", std::string("wide"), "narrow"), "[wide][narrow]");
  EXPECT_EQ(text::Sprintf("%06d|%ld|%%S", 42, 7L), "000042|7|%S");
  EXPECT_EQ(text::Sprintf("(%ld)%s (%s)", 0, std::string(), std::string()), "(0) ()");
  // A signed 32-bit conversion of an unsigned value, as the terminal prints it.
  EXPECT_EQ(text::Sprintf("%d", uint32_t{0xFFFFFFFF}), "-1");
}

TEST(TextTest, TruncationCountsUtf16UnitsAndNeverSplitsACharacter) {
  EXPECT_EQ(text::TruncateToUnits("abcdef", 4), "abc");
  EXPECT_EQ(text::TruncateToUnits("abc", 4), "abc");
  EXPECT_EQ(text::TruncateToUnits("abc", 0), "");
  // "é" is one unit; the emoji is two (a surrogate pair) and does not fit in the last unit.
  EXPECT_EQ(text::TruncateToUnits("\xC3\xA9\xC3\xA9", 3), "\xC3\xA9\xC3\xA9");
  EXPECT_EQ(text::TruncateToUnits("a\xF0\x9F\x98\x80", 3), "a");
  EXPECT_EQ(text::TruncateToUnits("a\xF0\x9F\x98\x80", 4), "a\xF0\x9F\x98\x80");
}

TEST(TextTest, Utf16RoundTripsAndReplacesBrokenInput) {
  const std::string mixed = "Apps\\N\xC3\xA4v-\xD0\x96\xF0\x9F\x98\x80.exe";
  EXPECT_EQ(text::FromUtf16(text::ToUtf16(mixed)), mixed);
  EXPECT_EQ(text::ToUtf16(mixed).size(), text::Utf16Length(mixed));
  EXPECT_EQ(text::ToUtf16("\xFF" "a"), std::u16string(u"\uFFFDa"));
  EXPECT_EQ(text::ToUtf16("\xE2\x82"), std::u16string(u"\uFFFD\uFFFD"));  // cut short
  EXPECT_EQ(text::FromUtf16(std::u16string(1, char16_t{0xD800})), "\xEF\xBF\xBD");
  EXPECT_FALSE(text::IsUtf8("caf\xE9"));
  EXPECT_TRUE(text::IsUtf8("caf\xC3\xA9"));
}

TEST(TextTest, CodePageTextBecomesUtf8) {
  EXPECT_EQ(text::FromCodePage("caf\xE9 \x80"), "caf\xC3\xA9 \xE2\x82\xAC");
}

TEST(TextTest, CaseFoldingCoversTheTerminalsLetters) {
  EXPECT_TRUE(text::EqualsNoCase("\\Flash Disk2", "\\flash disk2"));
  EXPECT_TRUE(text::EqualsNoCase("\xC3\x84pfel", "\xC3\xA4PFEL"));             // Ä / ä
  EXPECT_TRUE(text::EqualsNoCase("\xD0\x96\xD0\x98", "\xD0\xB6\xD0\xB8"));     // Cyrillic
  EXPECT_TRUE(text::EqualsNoCase("\xC5\x81\xC3\xB3" "d\xC5\xBA", "\xC5\x82\xC3\x93" "D\xC5\xB9"));
  EXPECT_FALSE(text::EqualsNoCase("ab", "abc"));
  EXPECT_LT(text::CompareNoCase("abc", "ABD"), 0);
  EXPECT_EQ(text::ToUpper("abc\xC3\xA9"), "ABC\xC3\x89");
}

}  // namespace
