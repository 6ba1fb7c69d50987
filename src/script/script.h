// The command-script interpreter: application software is installed by lines of the form
// COMMAND|PARAMETER1|PARAMETER2, one file-system operation or package copy each.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "settings/script_line.h"

class CFileVirtual;
class CVirtualFiles;

class CScript {
 public:
  // The terminal's buffers: longer lines and fields are refused rather than cut.
  static constexpr std::size_t kMaxLineUnits = kScriptMaxLineUnits;
  static constexpr std::size_t kMaxCommandUnits = kScriptMaxCommandUnits;
  static constexpr std::size_t kMaxParameterUnits = kScriptMaxParameterUnits;
  // One transfer of a copy.
  static constexpr uint32_t kCopyBufferSize = 262144;

  // COPY reads the members through a virtual file of the run's package.
  explicit CScript(CVirtualFiles& files);
  ~CScript();
  CScript(const CScript&) = delete;
  CScript& operator=(const CScript&) = delete;

  // Runs one line. 0 when it succeeded or is not a command (a comment, an empty line);
  // otherwise -1 or the platform's error code, reported with LogAppError.
  int ProcessOneLine(std::string_view line);

  // Splits a line without running it: the command's index (kScriptUnknown for a word that is
  // no command) and the parameters with their date tokens expanded. False when the line is not
  // a command line: its first character, as passed, is not a letter, or it exceeds a limit.
  static bool ExtractParams(std::string_view line, int* command, std::string* parameter1,
                            std::string* parameter2);

  // The same split with the parameters as written, their tokens not expanded (for tools that
  // look at a script away from the terminal's clock).
  static bool SplitParams(std::string_view line, int* command, std::string* parameter1,
                          std::string* parameter2);

  // Copies a package member to a file on the terminal. 1 on success, 0 on failure (reported);
  // a failure after the destination was created leaves it partly written or empty.
  int ControlCopyFile(std::string_view member, std::string_view destination);

 private:
  // The handlers take both parameters, so that one table holds them all.
  int CtrlLclDel(const std::string& path, const std::string& unused);
  int CtrlLclRen(const std::string& from, const std::string& to);
  int CtrlLclMkDir(const std::string& path, const std::string& unused);
  int CtrlLclRmDir(const std::string& path, const std::string& unused);
  int CtrlLclCopy(const std::string& member, const std::string& destination);

  CVirtualFiles& m_files;
  std::unique_ptr<CFileVirtual> m_pFile;
};
