// Files and folders of the terminal. Paths are terminal paths ("\" is the root, no drive
// letters, components compared without regard to case). Device names such as "GPS1:" open
// stream devices through Open.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace platform {

inline constexpr uint32_t kGenericRead = 0x80000000;
inline constexpr uint32_t kGenericWrite = 0x40000000;

inline constexpr uint32_t kShareNone = 0;
inline constexpr uint32_t kShareRead = 0x1;
inline constexpr uint32_t kShareWrite = 0x2;

enum class Disposition : uint32_t {
  kCreateNew = 1,
  kCreateAlways = 2,
  kOpenExisting = 3,
  kOpenAlways = 4,
  kTruncateExisting = 5,
};

inline constexpr uint32_t kAttributeReadOnly = 0x1;
inline constexpr uint32_t kAttributeHidden = 0x2;
inline constexpr uint32_t kAttributeSystem = 0x4;
inline constexpr uint32_t kAttributeDirectory = 0x10;
inline constexpr uint32_t kAttributeArchive = 0x20;
inline constexpr uint32_t kAttributeNormal = 0x80;
inline constexpr uint32_t kFlagWriteThrough = 0x80000000;

// The failure value of GetAttributes and GetSize.
inline constexpr uint32_t kInvalidValue = 0xFFFFFFFF;

enum class SeekOrigin : uint32_t { kBegin = 0, kCurrent = 1, kEnd = 2 };

// How a text stream is opened: "wt" creates or truncates, "at" appends (creating the file).
enum class TextMode { kCreate, kAppend };

struct FindEntry {
  std::string name;  // the entry's name as stored, without its folder
  uint32_t attributes = 0;
  uint32_t size = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Lists the entries that the pattern matches ("*" and "?" in its last component; "*.*"
  // matches every name). On success the list holds at least one entry. Fails with 2 when
  // nothing matches and 3 when the folder does not exist.
  virtual bool FindAll(std::string_view pattern, std::vector<FindEntry>* entries) = 0;

  // The attribute word of a file or folder, or kInvalidValue (error 2 or 3).
  virtual uint32_t GetAttributes(std::string_view path) = 0;
  virtual bool SetAttributes(std::string_view path, uint32_t attributes) = 0;

  // Opens a file or device. Returns kInvalidHandle on failure: 2/3 missing, 5 read-only file
  // opened for writing or a folder, 32 sharing violation, 80 exists (kCreateNew).
  virtual Handle Open(std::string_view path, uint32_t access, uint32_t share,
                      Disposition disposition, uint32_t flagsAndAttributes) = 0;
  // Reads at the file position; a short read at the end is a success.
  virtual bool Read(Handle file, void* buffer, uint32_t count, uint32_t* read) = 0;
  virtual bool Write(Handle file, const void* buffer, uint32_t count, uint32_t* written) = 0;
  // Moves the file position; returns the new position or kInvalidValue.
  virtual uint32_t Seek(Handle file, int32_t distance, SeekOrigin origin) = 0;
  // The file's length or kInvalidValue.
  virtual uint32_t GetSize(Handle file) = 0;
  virtual bool Close(Handle file) = 0;

  // Deletes a file: 5 when read-only, 32 while open.
  virtual bool Delete(std::string_view path) = 0;
  // Renames a file or folder: 183 when the new name exists.
  virtual bool Move(std::string_view from, std::string_view to) = 0;
  // Creates a folder: 183 when it exists, 3 when its parent does not.
  virtual bool CreateFolder(std::string_view path) = 0;
  // Removes an empty folder: 145 when not empty, 5 when read-only.
  virtual bool RemoveFolder(std::string_view path) = 0;

  // Text streams, as the runtime library's wide text files: UTF-8 on disk, every "\n" written
  // as CR LF. OpenText returns kNullHandle when the file cannot be opened.
  virtual Handle OpenText(std::string_view path, TextMode mode) = 0;
  virtual bool WriteText(Handle stream, std::string_view text) = 0;
  virtual bool CloseText(Handle stream) = 0;
};

}  // namespace platform
