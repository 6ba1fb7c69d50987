// The terminal's end of the desktop channel: request and response files in the root folder,
// with flag files as semaphores, and the markers by which the desktop cancels a wait.
//
//   "\fromhht.txt"  request data (terminal): code (u32) | name (UTF-16LE + NUL, when not
//                   empty) | value (u32, when not 0)
//   "\fromhht.ok"   request flag (terminal, after the data is closed): the code (u32)
//   "\tohht.txt"    response data (desktop), read by the request's code: Ok (u32) for
//                   Finished; value (u32) for ReadCache, FileSize, SizeOS, SizeApp; nothing
//                   for SizeGPS
//   "\tohht.ok"     response flag (desktop, after the data): only its existence counts
//   "\abort.me"     cancels every wait until it is deleted
//   "\looking.no"   cancels the current wait once; the waiting terminal deletes it
//
// Numbers are little-endian. Every exchange also feeds the read cache of the virtual files:
// the desktop copies container bytes into "\cache.bin" on request.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/types.h"

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

// The name the log shows for a command code: "Unknown", "Finished", ... "SizeApp", and "???"
// for every code without a name (SizeGPS included).
const char* CommandName(uint32_t code);

// The channel's files, as terminal paths.
inline constexpr const char* kRequestDataPath = "\\fromhht.txt";
inline constexpr const char* kRequestFlagPath = "\\fromhht.ok";
inline constexpr const char* kResponseDataPath = "\\tohht.txt";
inline constexpr const char* kResponseFlagPath = "\\tohht.ok";
inline constexpr const char* kCacheFilePath = "\\cache.bin";
inline constexpr const char* kAbortMarker = "abort.me";
inline constexpr const char* kLookingMarker = "looking.no";

// One exchange with the desktop. Created with everything 0 or empty, filled by a command
// operation, answered by HHTProcessCommand.
struct CFileCommand {
  int32_t m_bRequest = 0;  // 1 while the request is still to be written
  uint32_t m_nCommand = kCommandUnknown;
  std::string m_strName;  // empty unless the command carries one
  uint32_t m_nRequestValue = 0;
  int32_t m_bOk = 0;
  uint32_t m_nResponseValue = 0;
};

class CFileSemaphore {
 public:
  CFileSemaphore() = default;
  // Closes the cache file when it is open.
  virtual ~CFileSemaphore();
  CFileSemaphore(const CFileSemaphore&) = delete;
  CFileSemaphore& operator=(const CFileSemaphore&) = delete;

  // One exchange: writes the request, clears the request flag, waits for the response and reads
  // it into the record. 1 when the response was read; 0 after reporting a failure (the request
  // files may be left behind for the next request to delete).
  int HHTProcessCommand(CFileCommand& command);

  // Writes the request data file, then the flag file, deleting leftovers of either first
  // (reported as errors 1037 and 1038). 1 when both were created; a failed write is reported
  // and does not stop the request. 0 when a file cannot be created.
  int CreateDataFile(std::string_view dataPath, std::string_view flagPath,
                     const CFileCommand& command);
  // One write; 1 when all count bytes were written, else 0 after reporting it.
  int WriteDataFile(platform::Handle file, const void* bytes, uint32_t count, uint32_t* written);
  // Waits for the flag file, then imports the data file. 1 on success; 0 when the wait was
  // cancelled or the import failed.
  int WaitAndImportDataFile(std::string_view dataPath, std::string_view flagPath,
                            CFileCommand& command);
  // Reads the response fields of the record's code and deletes the data file. A field the file
  // is too short to hold is 0. 0 only when the file cannot be opened.
  int ImportDataFile(std::string_view dataPath, CFileCommand& command);
  // One read; 1 unless the read fails (a short read is a success).
  int ReadDataFile(platform::Handle file, void* buffer, uint32_t count, uint32_t* read);
  // Polls for the flag file every 100 ms, pumping the dialog's messages, for as long as it
  // takes. 1 when the flag was found and deleted (a failed deletion is retried at once); 0 when
  // "\looking.no" (which it deletes) or "\abort.me" (which it leaves) ended the wait.
  int WaitForFlagFile(std::string_view flagPath);

  // Deletes "\abort.me" and "\looking.no" where they exist.
  void DeleteAbortFiles();
  // 1 when "\abort.me" exists.
  int IsAbortRequested();

  // Ask the desktop for a member's length, or for the total of an update phase. The answer, or
  // 0 after reporting a failure (error 1018).
  uint32_t ActiveSyncFileSize(std::string_view name);
  uint32_t ActiveSyncSizeOS();
  uint32_t ActiveSyncSizeGPS();
  uint32_t ActiveSyncSizeApp();
  // Asks the desktop to copy the container from offset into "\cache.bin". 1 with the cache's
  // start and length set to the offset and the desktop's count; 0 after reporting a failure
  // (error 1010), leaving them as they were.
  int ReloadCache(uint32_t offset);

  // Reads up to count bytes of a member (at memberOffset, memberLength bytes long) from the
  // container offset on, cut at the member's end, through the cache; reloads the cache from the
  // offset when the read does not lie inside it. 1 on success with *read bytes (0 at the
  // member's end); 0 after reporting a failure, with *read 0.
  int ActiveSyncFileReadCache(uint32_t offset, uint32_t memberOffset, uint32_t memberLength,
                              uint8_t* buffer, uint32_t count, uint32_t* read);

  // The file name that the cache messages print; nothing sets it, so it prints empty.
  std::string m_strFileName;
  // The read cache: the container offset of the first byte in "\cache.bin", the bytes it holds,
  // and its handle (null while closed).
  uint32_t m_nCacheStart = 0;
  uint32_t m_nCacheLength = 0;
  platform::Handle m_hCacheFile = platform::kNullHandle;

 private:
  // Closes the cache file so that the desktop may rewrite it.
  void CloseCacheFile();
  // Sends a command without a name or value and returns its response value, or 0 after
  // reporting message (error 1018) under operation.
  uint32_t AskValue(uint32_t code, const char* message, const char* operation);
};
