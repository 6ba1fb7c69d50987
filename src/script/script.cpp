#include "script/script.h"

#include <new>
#include <vector>

#include "log/log.h"
#include "log/text.h"
#include "package/file_virtual.h"
#include "platform/platform.h"
#include "script/utils.h"
#include "update/settings.h"

namespace {

struct Fields {
  std::string command;
  std::string parameter1;
  std::string parameter2;
};

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

// Splits at the first two separators; a run of bars is one separator, and everything after the
// second separator, bars included, is the second parameter.
Fields Split(std::string_view line) {
  Fields fields;
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
  fields.parameter1 = std::string(TrimBlanks(fields.parameter1));
  fields.parameter2 = std::string(TrimBlanks(fields.parameter2));
  return fields;
}

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

int LookUp(std::string_view command) {
  for (const auto& entry : kCommands) {
    if (text::EqualsNoCase(command, entry.keyword)) return entry.command;
  }
  return kScriptUnknown;
}

bool WithinLimits(const Fields& fields) {
  return text::Utf16Length(fields.command) <= CScript::kMaxCommandUnits &&
         text::Utf16Length(fields.parameter1) <= CScript::kMaxParameterUnits &&
         text::Utf16Length(fields.parameter2) <= CScript::kMaxParameterUnits;
}

enum class Tokens { kExpand, kAsWritten };

// Splits a trimmed command line and expands its tokens; false when a field is too long.
bool SplitLine(std::string_view trimmed, Fields* fields, Tokens tokens = Tokens::kExpand) {
  if (text::Utf16Length(trimmed) > CScript::kMaxLineUnits) return false;
  *fields = Split(trimmed);
  if (!WithinLimits(*fields)) return false;
  if (tokens == Tokens::kAsWritten) return true;
  fields->parameter1 = ExpandTokens(fields->parameter1);
  fields->parameter2 = ExpandTokens(fields->parameter2);
  return WithinLimits(*fields);
}

bool ExtractFields(std::string_view line, Tokens tokens, int* command, std::string* parameter1,
                   std::string* parameter2) {
  if (line.empty() || !IsLetter(line.front())) return false;
  Fields fields;
  if (!SplitLine(TrimBlanks(line), &fields, tokens)) return false;
  *command = LookUp(fields.command);
  *parameter1 = fields.parameter1;
  *parameter2 = fields.parameter2;
  return true;
}

// A directory and the last component of a path (no backslash: no directory).
std::pair<std::string, std::string> SplitPath(const std::string& path) {
  const std::size_t slash = path.rfind('\\');
  if (slash == std::string::npos) return {std::string(), path};
  return {path.substr(0, slash), path.substr(slash + 1)};
}

void ReportCopyError(int32_t number, const std::string& message) {
  LogAppError(number, FormatErrorText(message), "CScript::ControlCopyFile:");
  LogAt(1, "%s", g_szErrorText);
}

}  // namespace

CScript::CScript() = default;
CScript::~CScript() = default;

bool CScript::ExtractParams(std::string_view line, int* command, std::string* parameter1,
                            std::string* parameter2) {
  return ExtractFields(line, Tokens::kExpand, command, parameter1, parameter2);
}

bool CScript::SplitParams(std::string_view line, int* command, std::string* parameter1,
                          std::string* parameter2) {
  return ExtractFields(line, Tokens::kAsWritten, command, parameter1, parameter2);
}

int CScript::ProcessOneLine(std::string_view line) {
  const std::string copy(TrimBlanks(line));
  if (copy.empty() || !IsLetter(copy.front())) return 0;

  Fields fields;
  if (!SplitLine(copy, &fields)) {
    // A field cut to its buffer could name another file; such a line is not run at all.
    LogAt(1, "CScript::ProcessOneLine: Line or field too long [%s]", copy);
    fields = Split(copy);
    LogAppError(
        1021,
        FormatErrorText(text::Sprintf("Error [%ld] [%s] [%s][%s][%s],", -1, copy, fields.command,
                                      fields.parameter1, fields.parameter2)),
        "CScript::ProcessOneLine");
    return -1;
  }
  LogAt(3, "CScript:Split [%s] into [%s][%s][%s]", copy, fields.command, fields.parameter1,
        fields.parameter2);

  // What each command logs before its handler runs, and the handler.
  static constexpr struct {
    ScriptCommand command;
    const char* announce;
    bool twoParameters;
    int (CScript::*handler)(const std::string&, const std::string&);
  } kHandlers[] = {
      {kScriptDel, "CScript:***CmdLclDel [%s]", false, &CScript::CtrlLclDel},
      {kScriptRen, "CScript:***CmdLclRen [%s][%s]", true, &CScript::CtrlLclRen},
      {kScriptMkDir, "CScript:***CmdLclMkDir [%s]", false, &CScript::CtrlLclMkDir},
      {kScriptRmDir, "CScript:***CmdLclRmDir [%s]", false, &CScript::CtrlLclRmDir},
      {kScriptCopy, "CScript:***CmdLclCopy [%s][%s]", true, &CScript::CtrlLclCopy},
  };
  const int command = LookUp(fields.command);
  int result = -1;
  bool known = false;
  for (const auto& entry : kHandlers) {
    if (entry.command != command) continue;
    known = true;
    if (entry.twoParameters) {
      LogAt(2, entry.announce, fields.parameter1, fields.parameter2);
    } else {
      LogAt(2, entry.announce, fields.parameter1);
    }
    result = (this->*entry.handler)(fields.parameter1, fields.parameter2);
  }
  if (!known) {
    LogAppError(1020,
                FormatErrorText(text::Sprintf("CmdUnknown [%s][%s][%s]", fields.command,
                                              fields.parameter1, fields.parameter2)),
                "CScript::ProcessOneLine");
  }
  if (result != 0) {
    LogAppError(
        1021,
        FormatErrorText(text::Sprintf("Error [%ld] [%s] [%s][%s][%s],", result, copy,
                                      fields.command, fields.parameter1, fields.parameter2)),
        "CScript::ProcessOneLine");
  }
  return result;
}

// DEL and RMDIR both delete what the last component matches below the rest of the path,
// folders with their contents, and the folder itself once it is empty; failures are reported
// by the delete alone.
namespace {
void DeleteMatchingTree(const std::string& path) {
  const auto [directory, pattern] = SplitPath(path);
  g_pUtils->Deltree(directory, pattern);
}
}  // namespace

int CScript::CtrlLclDel(const std::string& path, const std::string& /*unused*/) {
  DeleteMatchingTree(path);
  LogAt(2, "CtrlLclDel:: Delete [%s] succeeded", path);
  return 0;
}

int CScript::CtrlLclRmDir(const std::string& path, const std::string& /*unused*/) {
  DeleteMatchingTree(path);
  LogAt(2, "CtrlLclRmDir:: Remove dir [%s] succeeded", path);
  return 0;
}

int CScript::CtrlLclRen(const std::string& from, const std::string& to) {
  auto& fs = platform::Fs();
  fs.Delete(to);
  if (!fs.Move(from, to)) {
    LogAt(1, "###ERROR CtrlLclRen:: Rename [%s] to [%s] failed", from, to);
    return -1;
  }
  LogAt(2, "CtrlLclRen:: Rename [%s] to [%s] succeeded", from, to);
  return 0;
}

int CScript::CtrlLclMkDir(const std::string& path, const std::string& /*unused*/) {
  if (platform::Fs().CreateFolder(path)) {
    LogAt(2, "CtrlLclMkDir:: Create dir [%s] succeeded", path);
    return 0;
  }
  const uint32_t error = platform::GetLastError();
  LogAt(1, "###ERROR CtrlLclMkDir:: Create dir [%s] failed", path);
  // A folder that is there already is what the line wants.
  return error == platform::kErrorAlreadyExists ? 0 : static_cast<int>(error);
}

int CScript::CtrlLclCopy(const std::string& member, const std::string& destination) {
  if (!ControlCopyFile(member, destination)) {
    LogAt(1, "###ERROR CtrlLclCopy:: Copy [%s] to [%s] failed", member, destination);
    return -1;
  }
  LogAt(2, "CtrlLclCopy:: Copy [%s] to [%s] succeeded", member, destination);
  return 0;
}

int CScript::ControlCopyFile(std::string_view member, std::string_view destination) {
  if (!m_pFile) {
    m_pFile =
        std::make_unique<CFileVirtual>(g_pSettings->m_bActiveSync, g_pSettings->m_strPackagePath);
  }
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[kCopyBufferSize]);
  if (!buffer) {
    ReportCopyError(1008, text::Sprintf("Failed to malloc [%s]", std::to_string(kCopyBufferSize)));
    return 0;
  }
  auto& fs = platform::Fs();
  const uint32_t attributes = fs.GetAttributes(destination);
  if (attributes != platform::kInvalidValue) {
    fs.SetAttributes(destination, attributes & ~platform::kAttributeReadOnly);
  }
  const platform::Handle target =
      fs.Open(destination, platform::kGenericWrite, platform::kShareNone,
              platform::Disposition::kCreateAlways,
              platform::kAttributeNormal | platform::kFlagWriteThrough);
  if (target == platform::kInvalidHandle) {
    ReportCopyError(1001, text::Sprintf("Cannot open for writing [%s]", destination));
    return 0;
  }
  if (!m_pFile->HHTFileOpen(member)) {
    fs.Close(target);
    return 0;
  }
  bool ok = true;
  uint32_t read = 0;
  do {
    if (!m_pFile->HHTFileRead(buffer.get(), kCopyBufferSize, &read)) {
      ReportCopyError(1010, text::Sprintf("Failed to read from [%s]", member));
      ok = false;
      break;
    }
    if (read == 0) break;
    uint32_t written = 0;
    if (!fs.Write(target, buffer.get(), read, &written)) {
      ReportCopyError(1007, text::Sprintf("Failed to write [%ld]", read));
      ok = false;
      break;
    }
    if (written != read) {
      ReportCopyError(1006,
                      text::Sprintf("Expected to write [%ld], only written [%ld]", read, written));
      ok = false;
      break;
    }
  } while (read == kCopyBufferSize);
  m_pFile->HHTFileClose();
  fs.Close(target);
  return ok ? 1 : 0;
}
