#include "script/script.h"

#include <new>
#include <vector>

#include "log/log.h"
#include "package/container_format.h"
#include "package/file_virtual.h"
#include "platform/platform.h"
#include "text/text.h"
#include "utils/utils.h"

namespace {

// A directory and the last component of a path (no backslash: no directory).
std::pair<std::string, std::string> SplitPath(const std::string& path) {
  const std::size_t slash = path.rfind('\\');
  if (slash == std::string::npos) return {std::string(), path};
  return {path.substr(0, slash), path.substr(slash + 1)};
}

void ReportCopyError(int32_t number, const std::string& message) {
  const std::string text = FormatErrorText(message);
  LogAppError(number, text, "CScript::ControlCopyFile:");
  LogAt(1, "%s", text);
}

}  // namespace

CScript::CScript(CVirtualFiles& files) : m_files(files) {}
CScript::~CScript() = default;

bool CScript::ExtractParams(std::string_view line, int* command, std::string* parameter1,
                            std::string* parameter2) {
  return ExtractScriptParams(line, ScriptTokens::kExpanded, command, parameter1, parameter2);
}

bool CScript::SplitParams(std::string_view line, int* command, std::string* parameter1,
                          std::string* parameter2) {
  return ExtractScriptParams(line, ScriptTokens::kAsWritten, command, parameter1, parameter2);
}

int CScript::ProcessOneLine(std::string_view line) {
  const std::string copy(TrimScriptBlanks(line));
  if (copy.empty() || !IsScriptLetter(copy.front())) return 0;

  ScriptFields fields;
  if (!SplitScriptLine(copy, &fields, ScriptTokens::kExpanded)) {
    // A field cut to its buffer could name another file; such a line is not run at all.
    LogAt(1, "CScript::ProcessOneLine: Line or field too long [%s]", copy);
    fields = SplitScriptFields(copy);
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
  const int command = LookUpScriptCommand(fields.command);
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
  if (!m_pFile) m_pFile = m_files.NewFile();
  const container::TransferBuffer buffer = container::NewTransferBuffer(kCopyBufferSize);
  if (!buffer) {
    ReportCopyError(1008, text::Sprintf("Failed to malloc [%s]", std::to_string(kCopyBufferSize)));
    return 0;
  }
  // A signed member is checked whole when it is opened; opened first, a member that does not
  // match leaves the destination as it was.
  const bool memberFirst = m_files.Manifest() != nullptr;
  if (memberFirst && !m_pFile->HHTFileOpen(member)) return 0;
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
    if (memberFirst) m_pFile->HHTFileClose();
    ReportCopyError(1001, text::Sprintf("Cannot open for writing [%s]", destination));
    return 0;
  }
  if (!memberFirst && !m_pFile->HHTFileOpen(member)) {
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
  // The desktop may serve other bytes than it served for the check; they are found at the last
  // read, and what was copied of them goes.
  if (!ok && memberFirst) fs.Delete(destination);
  return ok ? 1 : 0;
}
