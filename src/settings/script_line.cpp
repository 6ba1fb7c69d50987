#include "settings/script_line.h"

#include <algorithm>

#include "platform/platform.h"
#include "text/text.h"

namespace {

// The date fields of a token, in the order they are looked for.
struct DateField {
  const char* name;
  int (*value)(const platform::LocalTime&);
};

constexpr DateField kDateFields[] = {
    {"CC", [](const platform::LocalTime& t) { return t.year / 100; }},
    {"YY", [](const platform::LocalTime& t) { return t.year % 100; }},
    {"MM", [](const platform::LocalTime& t) { return t.month; }},
    {"DD", [](const platform::LocalTime& t) { return t.day; }},
    {"HH", [](const platform::LocalTime& t) { return t.hour; }},
    {"NN", [](const platform::LocalTime& t) { return t.minute; }},
    {"SS", [](const platform::LocalTime& t) { return t.second; }},
};

std::string ExpandToken(std::string_view token) {
  std::string upper = text::ToUpper(token);
  bool found = false;
  for (const DateField& field : kDateFields) {
    const std::size_t at = upper.find(field.name);
    if (at == std::string::npos) continue;
    // Each field is read from the clock when it is replaced.
    upper.replace(at, 2, text::Sprintf("%02d", field.value(platform::Kern().GetLocalTime())));
    found = true;
  }
  return found ? upper : std::string(token);
}

// Replaces every "<...>" token of a parameter; a "<" without a later ">" ends the tokens.
std::string ExpandTokens(std::string_view parameter) {
  std::string out;
  std::size_t position = 0;
  while (position < parameter.size()) {
    const std::size_t open = parameter.find('<', position);
    if (open == std::string_view::npos) break;
    const std::size_t close = parameter.find('>', open + 1);
    if (close == std::string_view::npos) break;
    out += parameter.substr(position, open - position);
    out += ExpandToken(parameter.substr(open + 1, close - open - 1));
    position = close + 1;
  }
  out += parameter.substr(position);
  return out;
}

constexpr struct {
  const char* keyword;
  ScriptCommand command;
} kCommands[] = {
    {"DEL", kScriptDel},     {"REN", kScriptRen},   {"MKDIR", kScriptMkDir},
    {"RMDIR", kScriptRmDir}, {"COPY", kScriptCopy},
};

bool WithinLimits(const ScriptFields& fields) {
  return text::Utf16Length(fields.command) <= kScriptMaxCommandUnits &&
         text::Utf16Length(fields.parameter1) <= kScriptMaxParameterUnits &&
         text::Utf16Length(fields.parameter2) <= kScriptMaxParameterUnits;
}

}  // namespace

bool IsScriptLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

std::string_view TrimScriptBlanks(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

ScriptFields SplitScriptFields(std::string_view line) {
  ScriptFields fields;
  std::string* targets[] = {&fields.command, &fields.parameter1};
  std::size_t position = 0;
  for (std::string* target : targets) {
    const std::size_t bar = line.find('|', position);
    if (bar == std::string_view::npos) {
      *target = std::string(line.substr(position));
      position = line.size();
      break;
    }
    *target = std::string(line.substr(position, bar - position));
    position = line.find_first_not_of('|', bar);
    if (position == std::string_view::npos) position = line.size();
  }
  fields.parameter2 = std::string(line.substr(std::min(position, line.size())));
  // The command keeps the blanks before its separator; the parameters lose theirs.
  fields.parameter1 = std::string(TrimScriptBlanks(fields.parameter1));
  fields.parameter2 = std::string(TrimScriptBlanks(fields.parameter2));
  return fields;
}

int LookUpScriptCommand(std::string_view command) {
  for (const auto& entry : kCommands) {
    if (text::EqualsNoCase(command, entry.keyword)) return entry.command;
  }
  return kScriptUnknown;
}

bool SplitScriptLine(std::string_view trimmed, ScriptFields* fields, ScriptTokens tokens) {
  if (text::Utf16Length(trimmed) > kScriptMaxLineUnits) return false;
  *fields = SplitScriptFields(trimmed);
  if (!WithinLimits(*fields)) return false;
  if (tokens == ScriptTokens::kAsWritten) return true;
  fields->parameter1 = ExpandTokens(fields->parameter1);
  fields->parameter2 = ExpandTokens(fields->parameter2);
  return WithinLimits(*fields);
}

bool ExtractScriptParams(std::string_view line, ScriptTokens tokens, int* command,
                         std::string* parameter1, std::string* parameter2) {
  if (line.empty() || !IsScriptLetter(line.front())) return false;
  ScriptFields fields;
  if (!SplitScriptLine(TrimScriptBlanks(line), &fields, tokens)) return false;
  *command = LookUpScriptCommand(fields.command);
  *parameter1 = fields.parameter1;
  *parameter2 = fields.parameter2;
  return true;
}
