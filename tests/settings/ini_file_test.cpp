#include "settings/ini_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/terminal_fixture.h"
#include "update/settings_bytes.h"

namespace {

using settings_testing::kEncodings;
using settings_testing::Repeat;
using settings_testing::Utf16File;
using testing_support::TerminalTest;

struct ValueCase {
  const char* name;
  std::string file;
  std::string section;
  std::string key;
  int result;
  std::string value;
};

class IniFileTest : public TerminalTest {
 protected:
  static constexpr const char* kPath = "\\Storage Card\\Vostrel.ini";

  static void ExpectValues(const std::vector<ValueCase>& cases) {
    for (const ValueCase& c : cases) {
      SCOPED_TRACE(c.name);
      std::string out = "stale";
      EXPECT_EQ(ReadIniValueFromBytes(c.file, c.section, c.key, "default", &out), c.result);
      EXPECT_EQ(out, c.result == kIniFound ? c.value : "default");
    }
  }
};

TEST_F(IniFileTest, ReadIniValueReportsEachOutcome) {
  std::string out = "untouched";
  EXPECT_EQ(ReadIniValue(kPath, "S", "Key", "default", &out), kIniNoFile);
  EXPECT_EQ(out, "untouched");

  WriteFile(kPath, "[S]\r\nKey=value\r\n");
  EXPECT_EQ(ReadIniValue(kPath, "S", "Key", "default", &out), kIniFound);
  EXPECT_EQ(out, "value");
  EXPECT_EQ(ReadIniValue(kPath, "S", "Other", "default", &out), kIniKeyNotFound);
  EXPECT_EQ(out, "default");
  EXPECT_EQ(Term().Files().OpenHandleCount(), 0U);

  // The desktop holds the file without sharing it.
  const platform::Handle held =
      Term().Files().OpenFor(2, kPath, platform::kGenericRead | platform::kGenericWrite,
                             platform::kShareNone, platform::Disposition::kOpenExisting, 0);
  ASSERT_NE(held, platform::kInvalidHandle);
  out = "untouched";
  EXPECT_EQ(ReadIniValue(kPath, "S", "Key", "default", &out), kIniCannotOpen);
  EXPECT_EQ(out, "untouched");
  Term().Files().CloseAllOf(2);

  ASSERT_TRUE(platform::Fs().CreateFolder("\\Storage Card\\Folder.ini"));
  EXPECT_EQ(ReadIniValue("\\Storage Card\\Folder.ini", "S", "Key", "default", &out),
            kIniCannotOpen);
  EXPECT_EQ(out, "untouched");
}

TEST_F(IniFileTest, ValueLinesAreReadAsTheTerminalReadsThem) {
  ExpectValues({
      {"section and key in any case", "[softwaretoupdate]\nUPDATE1=Os\n", "SoftwareToUpdate",
       "Update1", kIniFound, "Os"},
      {"a blank before = belongs to the key", "[L]\nVerCol1 =Programm\n", "L", "VerCol1",
       kIniKeyNotFound, ""},
      {"the key with its blank is found", "[L]\nVerCol1 =Programm\n", "L", "VerCol1 ", kIniFound,
       "Programm"},
      {"a value keeps leading blanks and later =", "[L]\nYes=  Ja = ok\n", "L", "Yes", kIniFound,
       "  Ja = ok"},
      {"spaces before the key are skipped", "[L]\n   Yes=Ja\n", "L", "Yes", kIniFound, "Ja"},
      {"a tab is no blank", "[L]\n\tYes=Ja\n", "L", "Yes", kIniKeyNotFound, ""},
      {"the first match wins, also in a repeated section", "[L]\nYes=1\n[M]\nYes=2\n[l]\nYes=3\n",
       "L", "Yes", kIniFound, "1"},
      {"lines before the first section have an empty section", "Yes=top\n[L]\nYes=1\n", "", "Yes",
       kIniFound, "top"},
      {"a [ line without ] leaves the section as it was", "[L]\n[broken\nYes=1\n", "L", "Yes",
       kIniFound, "1"},
      {"the section name ends at the first ]", "[L]x]\nYes=1\n", "L", "Yes", kIniFound, "1"},
      {"blanks inside the brackets belong to the name", "[ L ]\nYes=1\n", "L", "Yes",
       kIniKeyNotFound, ""},
      {"a header may follow blanks", "  [L]\nYes=1\n", "L", "Yes", kIniFound, "1"},
      {"comments, digits and = do not begin value lines",
       "[L]\n;Yes=1\n#Yes=2\n1Yes=3\n=Yes\n Yes\nYes=4\n", "L", "Yes", kIniFound, "4"},
      {"a key in another section is not found", "[M]\nYes=1\n", "L", "Yes", kIniKeyNotFound, ""},
      {"only one CR is removed", "[L]\r\nYes=a\r\r\n", "L", "Yes", kIniFound, "a\r"},
      {"a CR alone does not end a line", "[L]\rYes=1\n", "L", "Yes", kIniKeyNotFound, ""},
      {"the last line needs no line end", "[L]\nYes=end", "L", "Yes", kIniFound, "end"},
      {"an empty value is found", "[L]\nYes=\nYes=later\n", "L", "Yes", kIniFound, ""},
      {"non-ASCII letters begin keys and fold case", "[Sprache]\nölwert=1\n", "SPRACHE", "ÖLWERT",
       kIniFound, "1"},
      {"a NUL ends the line", std::string("[L]\nYes=ab\0cd\n", 14), "L", "Yes", kIniFound, "ab"},
      {"an empty file", "", "L", "Yes", kIniKeyNotFound, ""},
  });
}

TEST_F(IniFileTest, ReadsEachEncoding) {
  ExpectValues({
      {"Windows-1252", "[L]\nYes=\x80 caf\xE9\n", "L", "Yes", kIniFound, "€ café"},
      {"UTF-8", "[L]\nYes=€ café\n", "L", "Yes", kIniFound, "€ café"},
      {"UTF-8 with its mark and a header on the first line", "\xEF\xBB\xBF[L]\nYes=ja\n", "L",
       "Yes", kIniFound, "ja"},
      {"UTF-16LE with a header on the first line", Utf16File("[Sprache]\r\nJa=€ café 😀\r\n"),
       "sprache", "JA", kIniFound, "€ café 😀"},
      {"UTF-16LE ignores an odd last byte", Utf16File("[L]\r\nYes=x") + "A", "L", "Yes", kIniFound,
       "x"},
      {"UTF-16LE with nothing after the mark", "\xFF\xFE", "L", "Yes", kIniKeyNotFound, ""},
      {"UTF-16LE without the mark is not UTF-16", Utf16File("[L]\r\nYes=x\r\n").substr(2), "L",
       "Yes", kIniKeyNotFound, ""},
  });
}

// The same limits in every encoding, counted in UTF-16 units ("é" is one unit, "😀" two).
TEST_F(IniFileTest, CutsLinesSectionsAndValuesAtTheTerminalsBuffers) {
  const std::string e = "é";
  const struct {
    const char* name;
    std::string text;
    std::string section;
    std::string key;
    int result;
    std::string value;
  } cases[] = {
      {"first line of 511", "K" + Repeat(e, 509) + "=\n", "", "K" + Repeat(e, 509), kIniFound, ""},
      {"first line of 512", "K" + Repeat(e, 510) + "=\n", "", "K" + Repeat(e, 510), kIniKeyNotFound,
       ""},
      {"line of 1023", "[S]\nK" + Repeat(e, 1021) + "=\n", "S", "K" + Repeat(e, 1021), kIniFound,
       ""},
      {"line of 1024", "[S]\nK" + Repeat(e, 1022) + "=\n", "S", "K" + Repeat(e, 1022),
       kIniKeyNotFound, ""},
      {"section name of 255", "[S]\n[" + Repeat(e, 255) + "]\nK=v\n", Repeat(e, 255), "K",
       kIniFound, "v"},
      {"section name of 256 is not found whole", "[S]\n[" + Repeat(e, 256) + "]\nK=v\n",
       Repeat(e, 256), "K", kIniKeyNotFound, ""},
      {"section name of 256 is cut to 255", "[S]\n[" + Repeat(e, 256) + "]\nK=v\n", Repeat(e, 255),
       "K", kIniFound, "v"},
      {"value of 511", "[S]\nK=" + Repeat(e, 511) + "\n", "S", "K", kIniFound, Repeat(e, 511)},
      {"value of 512", "[S]\nK=" + Repeat(e, 512) + "\n", "S", "K", kIniFound, Repeat(e, 511)},
      {"value of 511 units ending in a pair", "[S]\nK=" + Repeat("x", 509) + "😀\n", "S", "K",
       kIniFound, Repeat("x", 509) + "😀"},
      {"a pair is not split at the cut", "[S]\nK=" + Repeat("x", 510) + "😀\n", "S", "K", kIniFound,
       Repeat("x", 510)},
      {"the rest of a long line is no line",
       "[S]\n" + Repeat("Z", 1023) + "K=phantom" + Repeat("Z", 5000 - 1032) + "\nN=next\n", "S",
       "K", kIniKeyNotFound, ""},
      {"the line after a long line is read",
       "[S]\n" + Repeat("Z", 1023) + "K=phantom" + Repeat("Z", 5000 - 1032) + "\nN=next\n", "S",
       "N", kIniFound, "next"},
  };
  for (const auto& encoding : kEncodings) {
    for (const auto& c : cases) {
      // Surrogate pairs have no Windows-1252 form.
      if (c.text.find("😀") != std::string::npos &&
          std::string_view(encoding.name) == "Windows-1252") {
        continue;
      }
      SCOPED_TRACE(std::string(encoding.name) + ": " + c.name);
      std::string out;
      EXPECT_EQ(ReadIniValueFromBytes(encoding.encode(c.text), c.section, c.key, "default", &out),
                c.result);
      EXPECT_EQ(out, c.result == kIniFound ? c.value : "default");
    }
  }
}

TEST_F(IniFileTest, LineReaderCountsTheLineEndUnlessTheLineWasCut) {
  const struct {
    const char* name;
    std::string bytes;
    std::vector<std::u16string> texts;
    std::vector<std::size_t> readUnits;
  } cases[] = {
      {"LF and CR LF", "ab\nab\r\nab", {u"ab", u"ab", u"ab"}, {3, 4, 2}},
      {"cut at the limit", "abcdef\nabcde\n", {u"abcd", u"abcd"}, {4, 4}},
      {"NUL ends the text", std::string("a\0bc\n", 5), {u"a"}, {1}},
      {"empty lines", "\n\r\n", {u"", u""}, {1, 2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CIniLineReader reader(c.bytes, 4, 4);
    IniLine line;
    std::vector<std::u16string> texts;
    std::vector<std::size_t> readUnits;
    while (reader.Next(&line)) {
      texts.push_back(line.text);
      readUnits.push_back(line.readUnits);
    }
    EXPECT_EQ(texts, c.texts);
    EXPECT_EQ(readUnits, c.readUnits);
  }
}

}  // namespace
