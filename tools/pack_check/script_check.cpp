#include "tools/pack_check/script_check.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "settings/ini_file.h"
#include "settings/script_line.h"
#include "sim/file_system.h"
#include "text/text.h"

namespace tools::pack_check {

namespace {

constexpr const char* kScriptStart = "###CommandStart###";
constexpr const char* kScriptEnd = "###CommandEnd###";

// The folder part of a terminal path, without its trailing backslash.
std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// True when a component of the path is "." or "..": the terminal's file system holds no such
// name, so the line fails there whatever else it says.
bool NamesDotFolder(std::string_view path) {
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find_first_of("\\/", start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(start, end - start);
    if (part == "." || part == "..") return true;
    start = end + 1;
  }
  return false;
}

// The folder that holds the program on the terminal.
std::string ProgramFolder(const sim::TerminalConfig& config) {
  return FolderOf(config.programPath);
}

// True when the path is where the terminal keeps the package: beside the program in terminal
// mode, in the root folder in desktop mode.
bool IsPackagePath(const std::string& path, const std::string& programFolder) {
  return text::EqualsNoCase(path, programFolder + "\\install.bin") ||
         text::EqualsNoCase(path, "\\install.bin");
}

// True when a DEL or RMDIR of folder\pattern would reach the program's folder or what it holds.
bool ReachesFolder(const std::string& folder, const std::string& pattern,
                   const std::string& programFolder) {
  const std::string target = programFolder + "\\";
  const std::string base = folder + "\\";
  if (text::EqualsNoCase(folder, programFolder)) return true;
  if (base.size() > target.size() || !text::EqualsNoCase(target.substr(0, base.size()), base)) {
    return false;
  }
  const std::string rest = target.substr(base.size());
  const std::string next = rest.substr(0, rest.find('\\'));
  return sim::MatchesPattern(pattern, next);
}

// The folders a script can copy into: those of the given terminal and those its earlier MKDIR
// lines make. Without a terminal every folder counts as there.
class ScriptFolders {
 public:
  explicit ScriptFolders(sim::SimFileSystem* files) : m_files(files) {}

  void Made(const std::string& folder) { m_made.push_back(folder); }
  bool Exists(const std::string& folder) const {
    if (m_files == nullptr || folder.empty() || folder.find('<') != std::string::npos) return true;
    for (const std::string& made : m_made) {
      if (text::EqualsNoCase(made, folder)) return true;
    }
    const uint32_t attributes = m_files->GetAttributes(folder);
    return attributes != platform::kInvalidValue &&
           (attributes & platform::kAttributeDirectory) != 0;
  }

 private:
  sim::SimFileSystem* m_files;
  std::vector<std::string> m_made;
};

}  // namespace

void CheckScript(const CheckedPackage& package, Findings& findings) {
  const CUpdateSettings& settings = package.Settings();
  const std::optional<std::string> section = package.ScriptSection();
  if (!section) return;
  const std::string header = "[" + *section + "]";
  const std::string& bytes = package.SettingsBytes();
  bool headerFound = false;
  bool started = false;
  bool ended = false;
  CIniLineReader reader(bytes, kScriptLineUnits, kScriptLineUnits);
  IniLine line;
  while (reader.Next(&line)) {
    const std::string text = text::FromUtf16(line.text);
    if (!headerFound) {
      headerFound = text.rfind(header, 0) == 0;
    } else if (!started) {
      started = text.rfind(kScriptStart, 0) == 0;
    } else if (text.rfind(kScriptEnd, 0) == 0) {
      ended = true;
      break;
    }
  }
  const std::string where = "script " + header;
  if (!headerFound) {
    findings.Error(where, "no line begins with \"" + header +
                              "\" (the script's header is matched with its case); the script is "
                              "empty and the application is not installed");
    return;
  }
  if (!started) {
    findings.Error(where, std::string("no \"") + kScriptStart +
                              "\" line follows the header; the "
                              "script is empty");
    return;
  }
  if (!ended) {
    findings.Warn(where, std::string("no \"") + kScriptEnd +
                             "\" line: the script runs to the end "
                             "of the file");
  }

  const std::string programFolder = ProgramFolder(package.Terminal());
  ScriptFolders folders(package.TerminalFiles());
  int number = 0;
  for (const std::string& scriptLine : settings.m_commandScript) {
    ++number;
    const std::string at = text::Sprintf("script line %d \"%s\"", number, scriptLine);
    const std::string_view trimmed = TrimScriptBlanks(scriptLine);
    if (trimmed.empty() || !IsScriptLetter(trimmed.front())) continue;
    int command = kScriptUnknown;
    std::string parameter1;
    std::string parameter2;
    if (!ExtractScriptParams(trimmed, ScriptTokens::kAsWritten, &command, &parameter1,
                             &parameter2)) {
      findings.Error(at,
                     text::Sprintf("over the terminal's limits (a line of %d, a command of %d, a "
                                   "parameter of %d characters); the terminal refuses it",
                                   static_cast<int>(kScriptMaxLineUnits),
                                   static_cast<int>(kScriptMaxCommandUnits),
                                   static_cast<int>(kScriptMaxParameterUnits)));
      continue;
    }
    if (command != kScriptUnknown &&
        (NamesDotFolder(parameter2) || (command != kScriptCopy && NamesDotFolder(parameter1)))) {
      findings.Error(
          at,
          "names \".\" or \"..\", which the terminal's file system does not hold "
          "(it has no parent folders): the terminal refuses the name and the line fails");
      continue;
    }
    switch (command) {
      case kScriptUnknown:
        findings.Error(at, "not a command (DEL, REN, MKDIR, RMDIR or COPY); it fails with 1020");
        break;
      case kScriptCopy:
        if (parameter1.empty() || parameter2.empty()) {
          findings.Error(at, "COPY needs a member and a destination");
        } else if (parameter1.find('<') == std::string::npos &&
                   package.FindMember(parameter1) == nullptr) {
          findings.Error(at, "copies the member '" + parameter1 + "', which the package lacks");
        } else if (IsPackagePath(parameter2, programFolder)) {
          findings.Error(at, "copies over the package itself (" + parameter2 +
                                 "), from which the copy reads: the copy fails and the package "
                                 "is lost");
        } else if (!folders.Exists(FolderOf(parameter2))) {
          findings.Error(at, "copies into the folder " + FolderOf(parameter2) +
                                 ", which the terminal lacks and no earlier MKDIR line makes; "
                                 "a copy makes no folders, so it fails");
        }
        break;
      case kScriptMkDir:
        if (!parameter1.empty()) folders.Made(parameter1);
        break;
      case kScriptRen:
        if (parameter1.empty() || parameter2.empty()) findings.Error(at, "REN needs two names");
        break;
      case kScriptDel:
      case kScriptRmDir: {
        if (parameter1.empty()) {
          findings.Error(at, "names nothing to delete");
          break;
        }
        const std::size_t slash = parameter1.rfind('\\');
        const std::string folder = slash == std::string::npos ? "" : parameter1.substr(0, slash);
        const std::string pattern = parameter1.substr(slash == std::string::npos ? 0 : slash + 1);
        if (!programFolder.empty() && ReachesFolder(folder, pattern, programFolder)) {
          findings.Warn(at, "would delete in or with the updater's own folder " + programFolder +
                                " (the program and, in terminal mode, the package lie there)");
        }
        break;
      }
      default:
        break;
    }
  }
}

}  // namespace tools::pack_check
