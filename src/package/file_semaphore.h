// The terminal's end of the desktop channel: request and response files in the root folder,
// with flag files as semaphores, and the markers by which the desktop cancels a wait.
#pragma once

#include <cstdint>
#include <string>

enum CommandCode : uint32_t {
  kCommandUnknown = 0,
  kCommandFinished = 1,
  kCommandOpen = 2,
  kCommandRead = 3,
  kCommandReadCache = 4,
  kCommandClose = 5,
  kCommandFileSize = 6,
  kCommandSizeOS = 7,
  kCommandSizeApp = 8,
  kCommandSizeGPS = 9,
};

// One exchange with the desktop.
struct CFileCommand {
  int32_t m_bRequest = 0;
  uint32_t m_nCommand = kCommandUnknown;
  std::string m_strName;
  uint32_t m_nRequestValue = 0;
  int32_t m_bOk = 0;
  uint32_t m_nResponseValue = 0;
};

class CFileSemaphore {
 public:
  CFileSemaphore() = default;
  virtual ~CFileSemaphore() = default;
  CFileSemaphore(const CFileSemaphore&) = delete;
  CFileSemaphore& operator=(const CFileSemaphore&) = delete;

  // Performs one exchange: 1 when the response was read, else 0.
  int HHTProcessCommand(CFileCommand& command);
  // Deletes "\abort.me" and "\looking.no" where they exist.
  void DeleteAbortFiles();
  // 1 when "\abort.me" exists.
  int IsAbortRequested();
};
