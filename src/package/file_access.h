// The terminal's reader of the update package container (the format is in
// container_format.h): the table of member headers, lookup by name, extraction into a folder,
// the checksum, and positioned reads that complement the stored bytes. Every operation opens
// the container itself and closes it before returning. Failures are reported through
// LogAppError where they are found.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

// One member entry, each field as stored.
class CFileHeader {
 public:
  // Logs the fields at level 3.
  void OutputHeaderToLog() const;

  uint32_t Len = 0;
  std::string Name;
  uint32_t Attrib = 0;
  uint32_t FileLen = 0;
  uint32_t Offset = 0;
};

// Whether a positioned read is cut at the member's end.
enum class ReadClip { kToMember, kUnclipped };

class CFileAccess {
 public:
  CFileAccess() = default;
  virtual ~CFileAccess() = default;
  CFileAccess(const CFileAccess&) = delete;
  CFileAccess& operator=(const CFileAccess&) = delete;

  // Empties the header list and loads it from the container path. 1 on success; 0 on failure,
  // leaving the headers loaded before it in the list.
  int LoadFileHeaders();

  // The first header, in file order, whose name equals name without regard to case; null when
  // none does.
  CFileHeader* GetFileHeader(std::string_view name);

  // Writes the data of the first member named name (without regard to case) into directory and
  // sets *targetPath to the file written. 1 when a member was found and written; 0 when none
  // matched or its extraction failed (which leaves the partly written file).
  int ExtractFile(std::string_view name, std::string_view directory, std::string* targetPath);

  // Writes one member's data into directory under the last component of its name, replacing
  // any file there, and sets *targetPath to that file's path before it starts. 1 on success;
  // 0 on failure, leaving what was written.
  int ExtractFileFromBin(const CFileHeader& header, std::string_view directory,
                         std::string* targetPath);

  // 1 when the container's stored checksum equals the sum of its other bytes, else 0.
  int IsCheckSumValid();

  // One read of count bytes at the file position, complemented in place. 1 on success (a
  // short read included), 0 when the read fails.
  static int ReadFromFile(platform::Handle file, uint8_t* buffer, uint32_t count, uint32_t* read);

  // Reads count bytes at position (from the file's start), complemented in place. Clipped,
  // the read ends at the member's end (memberOffset + memberLength) and reads nothing from
  // there on; a count of 0 reads nothing and succeeds. 1 on success, 0 on failure.
  static int ReadFromFileOffset(platform::Handle file, uint8_t* buffer, uint32_t position,
                                uint32_t memberOffset, uint32_t memberLength, uint32_t count,
                                uint32_t* read, ReadClip clip);

  void SetContainerPath(std::string_view path) { m_containerPath = path; }
  const std::string& ContainerPath() const { return m_containerPath; }
  // The headers in file order; the list owns them.
  const std::vector<std::unique_ptr<CFileHeader>>& Headers() const { return m_headers; }
  std::size_t HeaderCount() const { return m_headers.size(); }
  // The size field of the last container loaded.
  uint32_t MiniHeaderSize() const { return m_miniHeaderSize; }
  // The file length found by the last LoadFileHeaders.
  uint32_t ContainerLength() const { return m_containerLength; }

 private:
  // Reads the entries after the mini header until num are loaded (at least one).
  bool LoadEntries(platform::Handle file, uint16_t num);

  std::string m_containerPath;
  std::vector<std::unique_ptr<CFileHeader>> m_headers;
  uint32_t m_miniHeaderSize = 0;
  uint32_t m_containerLength = 0;
};
