// The lines of an application command script as the settings file holds them:
// COMMAND|PARAMETER1|PARAMETER2, with "<...>" date tokens in the parameters. The interpreter
// runs them; the progress totals, the desktop and the package tools read them the same way.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

enum ScriptCommand : int {
  kScriptUnknown = -1,
  kScriptDel = 0,
  kScriptRen = 1,
  kScriptMkDir = 2,
  kScriptRmDir = 3,
  kScriptCopy = 4,
};

// The terminal's buffers: longer lines and fields are refused rather than cut.
inline constexpr std::size_t kScriptMaxLineUnits = 1023;
inline constexpr std::size_t kScriptMaxCommandUnits = 51;
inline constexpr std::size_t kScriptMaxParameterUnits = 255;

// How the parameters are read: with their date tokens expanded from the terminal's clock, as
// the terminal reads them, or as written, away from a terminal.
enum class ScriptTokens { kExpanded, kAsWritten };

struct ScriptFields {
  std::string command;
  std::string parameter1;
  std::string parameter2;
};

// A command line begins with a letter.
bool IsScriptLetter(char c);
// The text without blanks (spaces only) at either end.
std::string_view TrimScriptBlanks(std::string_view s);
// Splits at the first two separators; a run of bars is one separator, and everything after the
// second separator, bars included, is the second parameter. The command keeps the blanks before
// its separator; the parameters lose theirs.
ScriptFields SplitScriptFields(std::string_view line);
// The command's index, kScriptUnknown for a word that is no command (compared without regard to
// case).
int LookUpScriptCommand(std::string_view command);
// Splits a trimmed command line and, unless kAsWritten, expands its tokens; false when the line
// or a field is over its limit, before or after the expansion.
bool SplitScriptLine(std::string_view trimmed, ScriptFields* fields, ScriptTokens tokens);
// Splits a line without running it: the command's index and the two parameters. False when the
// line is not a command line (its first character, as passed, is not a letter) or exceeds a
// limit.
bool ExtractScriptParams(std::string_view line, ScriptTokens tokens, int* command,
                         std::string* parameter1, std::string* parameter2);
