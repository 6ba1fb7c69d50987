#include "package/file_access.h"

#include <new>

#include "log/log.h"
#include "package/container_format.h"
#include "platform/platform.h"
#include "text/text.h"
#include "utils/utils.h"

namespace {

constexpr const char* kLoadFileHeaders = "CFileAccess::LoadFileHeaders:";
constexpr const char* kExtractFile = "CFileAccess::ExtractFile:";
constexpr const char* kExtractFileFromBin = "CFileAccess::ExtractFileFromBin:";
constexpr const char* kIsCheckSumValid = "CFileAccess::IsCheckSumValid:";
constexpr const char* kReadFromFile = "CFileAccess::ReadFromFile:";
constexpr const char* kReadFromFileOffset = "CFileAccess::ReadFromFileOffset:";

platform::Handle OpenForReading(const std::string& path) {
  return platform::Fs().Open(path, platform::kGenericRead, platform::kShareNone,
                             platform::Disposition::kOpenExisting, platform::kAttributeNormal);
}

// The seek distance is a signed 32-bit number; positions past 2 GiB take a second step.
bool SeekTo(platform::Handle file, uint32_t position) {
  auto& fs = platform::Fs();
  constexpr uint32_t kStep = 0x7FFFFFFF;
  const uint32_t first = position < kStep ? position : kStep;
  if (fs.Seek(file, static_cast<int32_t>(first), platform::SeekOrigin::kBegin) != first) {
    return false;
  }
  if (first == position) return true;
  return fs.Seek(file, static_cast<int32_t>(position - first), platform::SeekOrigin::kCurrent) ==
         position;
}

// The part of a member name after its last backslash.
std::string_view LeafName(std::string_view name) {
  const std::size_t slash = name.rfind('\\');
  return slash == std::string_view::npos ? name : name.substr(slash + 1);
}

}  // namespace

void CFileHeader::OutputHeaderToLog() const {
  LogAt(3,
        "CFileHeader::OutputHeaderToLog: Len[%ld], Name=[%s], Attrib=[%ld], FileLen[%ld], "
        "Offset=[%ld]",
        text::AsLong(Len), Name, text::AsLong(Attrib), text::AsLong(FileLen), text::AsLong(Offset));
}

int CFileAccess::LoadFileHeaders() {
  LogAt(2, "CFileAccess::LoadFileHeaders: Starting to load header");
  m_headers.clear();
  m_miniHeaderSize = 0;
  m_containerLength = 0;
  auto& fs = platform::Fs();
  const platform::Handle file = OpenForReading(m_containerPath);
  if (file == platform::kInvalidHandle) {
    ReportError(1001, kLoadFileHeaders, "Failed to open [%s] = (%ld)", m_containerPath,
                text::AsLong(platform::GetLastError()));
    return 0;
  }

  bool ok = false;
  uint16_t num = 0;
  m_containerLength = fs.GetSize(file);
  LogAt(3, "CFileAccess::LoadFileHeaders: Bin file size=[%ld]", text::AsLong(m_containerLength));
  if (m_containerLength == platform::kInvalidValue) {
    ReportError(1002, kLoadFileHeaders, "Failed to get file length [%s]", m_containerPath);
  } else {
    uint8_t field[4] = {};
    uint32_t read = 0;
    ReadFromFile(file, field, 1, &read);
    if (read < 1 || field[0] != container::kFirstChar) {
      ReportError(1012, kLoadFileHeaders, "Failed on first char [%d]", static_cast<int>(field[0]));
    } else {
      field[0] = 0;
      read = 0;
      ReadFromFile(file, field, 4, &read);
      m_miniHeaderSize = container::LoadLe32(field);
      if (read < 4) {
        ReportError(1013, kLoadFileHeaders, "Failed on header length [%d]", text::AsLong(read));
      } else {
        field[0] = field[1] = 0;
        read = 0;
        ReadFromFile(file, field, 2, &read);
        num = container::LoadLe16(field);
        if (read < 2) {
          ReportError(1014, kLoadFileHeaders, "Failed to read number [%ld]", text::AsLong(read));
        } else {
          ok = true;
        }
      }
    }
  }
  LogAt(3, "CFileAccess::LoadFileHeaders: Loaded mini header - size=[%ld], num=[%d]",
        text::AsLong(m_miniHeaderSize), static_cast<int>(num));
  if (ok) ok = LoadEntries(file, num);
  fs.Close(file);
  return ok ? 1 : 0;
}

bool CFileAccess::LoadEntries(platform::Handle file, uint16_t num) {
  uint64_t position = container::kMiniHeaderSize;
  do {
    uint8_t field[4] = {};
    uint32_t read = 0;
    ReadFromFile(file, field, 4, &read);
    if (read < 4) {
      ReportError(1016, kLoadFileHeaders,
                  "CFileAccess::LoadFileHeaders: Failed to read header length [%ld]",
                  text::AsLong(read));
      return false;
    }
    const uint32_t len = container::LoadLe32(field);
    if (len < 4) {
      ReportError(1015, kLoadFileHeaders, "Load buffer failed [%ld]", text::AsLong(len));
      return false;
    }
    // A Len beyond the file's end would only come up short; it is not worth its memory.
    const uint64_t after = position + 4;
    const uint64_t remaining = m_containerLength > after ? m_containerLength - after : 0;
    if (len - 4 > remaining) {
      ReportError(1029, kLoadFileHeaders, "Failed to read header [%ld]", text::AsLong(len));
      return false;
    }
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[len]);
    if (!buffer) {
      ReportError(1008, kLoadFileHeaders, "Failed to malloc [%ld]", text::AsLong(len));
      return false;
    }
    std::copy_n(field, 4, buffer.get());
    read = 0;
    ReadFromFile(file, buffer.get() + 4, len - 4, &read);
    if (read < len - 4) {
      ReportError(1029, kLoadFileHeaders, "Failed to read header [%ld]", text::AsLong(len));
      return false;
    }
    LogAt(3, "CFileAccess::LoadFileHeaders: Read=[%ld]", text::AsLong(read));
    const std::optional<container::Entry> entry = container::DecodeEntry({buffer.get(), len});
    if (!entry) {
      ReportError(1015, kLoadFileHeaders, "Load buffer failed [%ld]", text::AsLong(len));
      return false;
    }
    auto header = std::make_unique<CFileHeader>();
    header->Len = entry->len;
    header->Name = entry->name;
    header->Attrib = entry->attrib;
    header->FileLen = entry->fileLen;
    header->Offset = entry->offset;
    header->OutputHeaderToLog();
    m_headers.push_back(std::move(header));
    position += len;
  } while (m_headers.size() < num);
  return true;
}

CFileHeader* CFileAccess::GetFileHeader(std::string_view name) {
  LogAt(2, "CFileAccess::GetFileHeader: Looking for [%s]", name);
  for (const auto& header : m_headers) {
    if (!text::EqualsNoCase(header->Name, name)) continue;
    LogAt(2, "CFileAccess::GetFileHeader: Found [%s]", header->Name);
    header->OutputHeaderToLog();
    return header.get();
  }
  return nullptr;
}

int CFileAccess::ExtractFile(std::string_view name, std::string_view directory,
                             std::string* targetPath) {
  LogAt(2, "CFileAccess::ExtractFile: Extracting [%s] into dir [%s]", name, directory);
  int result = 0;
  bool failed = false;
  for (const auto& header : m_headers) {
    header->OutputHeaderToLog();
    if (!text::EqualsNoCase(header->Name, name)) continue;
    if (ExtractFileFromBin(*header, directory, targetPath) != 0) {
      LogAt(2, "CFileAccess::ExtractFile: Extracted [%s] to [%s]", name, *targetPath);
      result = 1;
    } else {
      ReportError(1017, kExtractFile, "FAILED TO EXTRACT [%s] TO [%s]", name, directory);
      failed = true;
    }
    break;
  }
  LogAt(2, "CFileAccess::ExtractFile: Finished [%s] into dir [%s]=[%d]", name, directory,
        failed ? 0 : 1);
  return result;
}

int CFileAccess::ExtractFileFromBin(const CFileHeader& header, std::string_view directory,
                                    std::string* targetPath) {
  *targetPath = CUtils::PathJoin(directory, LeafName(header.Name));
  LogAt(2, "CFileAccess::ExtractFileFromBin: Extracting to [%s]", *targetPath);
  auto& fs = platform::Fs();
  const platform::Handle source = OpenForReading(m_containerPath);
  if (source == platform::kInvalidHandle) {
    ReportError(1001, kExtractFileFromBin, "Cannot open for reading [%s]", m_containerPath);
    return 0;
  }
  const platform::Handle target =
      fs.Open(*targetPath, platform::kGenericWrite, platform::kShareNone,
              platform::Disposition::kCreateAlways, platform::kAttributeNormal);
  if (target == platform::kInvalidHandle) {
    ReportError(1001, kExtractFileFromBin, "Cannot open for writing [%s]", *targetPath);
    fs.Close(source);
    return 0;
  }

  bool ok = true;
  container::TransferBuffer buffer = container::NewTransferBuffer();
  if (!buffer) {
    ReportError(1008, kExtractFileFromBin, "Failed to malloc [%ld]",
                text::AsLong(container::kTransferBufferSize));
    ok = false;
  }
  uint32_t position = header.Offset;
  while (ok) {
    uint32_t read = 0;
    if (ReadFromFileOffset(source, buffer.get(), position, header.Offset, header.FileLen,
                           container::kTransferBufferSize, &read, ReadClip::kToMember) == 0) {
      ReportError(1010, kExtractFileFromBin, "Failed to read from offset [%ld]",
                  text::AsLong(position));
      ok = false;
      break;
    }
    if (read == 0) {
      // The file ends before the member's data do: a partial copy is no copy.
      if (position - header.Offset < header.FileLen) {
        ReportError(1010, kExtractFileFromBin, "Failed to read from offset [%ld]",
                    text::AsLong(position));
        ok = false;
      }
      break;
    }
    uint32_t written = 0;
    if (!fs.Write(target, buffer.get(), read, &written)) {
      ReportError(1007, kExtractFileFromBin, "Failed to write [%ld]", text::AsLong(read));
      ok = false;
    } else if (written < read) {
      ReportError(1006, kExtractFileFromBin, "Expected to write [%ld], only written [%ld]",
                  text::AsLong(read), text::AsLong(written));
      ok = false;
    }
    // A member that would end past 4 GiB ends where the positions do.
    if (position > 0xFFFFFFFFU - read) break;
    position += read;
  }
  fs.Close(target);
  fs.Close(source);
  return ok ? 1 : 0;
}

int CFileAccess::IsCheckSumValid() {
  bool failed = false;
  if (!CUtils::FileExists(m_containerPath)) {
    ReportError(1018, kIsCheckSumValid, "Cannot find [%s]", m_containerPath);
    failed = true;
  }
  auto& fs = platform::Fs();
  const platform::Handle file = OpenForReading(m_containerPath);
  if (file == platform::kInvalidHandle) {
    ReportError(1001, kIsCheckSumValid, "Cannot open for reading [%s]", m_containerPath);
    return 0;
  }
  container::TransferBuffer buffer = container::NewTransferBuffer();
  if (!buffer) {
    ReportError(1008, kIsCheckSumValid, "Failed to malloc [%ld]",
                text::AsLong(container::kTransferBufferSize));
    failed = true;
  }
  const uint32_t length = fs.GetSize(file);
  LogAt(2, "CFileAccess::IsCheckSumValid: Length is [%ld], data size is [%ld]",
        text::AsLong(length), text::AsLong(length - container::kChecksumSize));
  container::ChecksumReader checksum(length);
  if (!failed) {
    for (;;) {
      uint32_t read = 0;
      if (ReadFromFile(file, buffer.get(), container::kTransferBufferSize, &read) == 0) {
        ReportError(1010, kIsCheckSumValid, "Failed to read file [%s]", m_containerPath);
        failed = true;
        break;
      }
      if (read == 0) break;
      checksum.AddLogical({buffer.get(), read});
    }
  }
  buffer.reset();
  fs.Close(file);
  const uint32_t stored = failed ? 0 : checksum.Stored();
  const uint32_t calculated = checksum.Computed();
  if (stored == calculated) {
    LogAt(2, "CFileAccess::IsCheckSumValid: Valid checksums File=[%ld] Calc=[%ld]",
          text::AsLong(stored), text::AsLong(calculated));
    return failed ? 0 : 1;
  }
  ReportError(1019, kIsCheckSumValid, "CHECKSUM FAILED");
  return 0;
}

int CFileAccess::ReadFromFile(platform::Handle file, uint8_t* buffer, uint32_t count,
                              uint32_t* read) {
  *read = 0;
  if (!platform::Fs().Read(file, buffer, count, read)) {
    ReportError(1010, kReadFromFile, "Failed to read [%ld]", text::AsLong(count));
    return 0;
  }
  container::Complement({buffer, *read});
  return 1;
}

int CFileAccess::ReadFromFileOffset(platform::Handle file, uint8_t* buffer, uint32_t position,
                                    uint32_t memberOffset, uint32_t memberLength, uint32_t count,
                                    uint32_t* read, ReadClip clip) {
  *read = 0;
  if (clip == ReadClip::kToMember) {
    // Counted in 64 bits, so that a position outside the member can only shorten the read.
    const uint64_t end = static_cast<uint64_t>(memberOffset) + memberLength;
    if (static_cast<uint64_t>(position) + count > end) {
      count = position < end ? static_cast<uint32_t>(end - position) : 0;
    }
  }
  if (count == 0) return 1;
  if (!SeekTo(file, position)) {
    ReportError(1011, kReadFromFileOffset, "Cannot set FilePointer [%ld]", text::AsLong(position));
    return 0;
  }
  if (ReadFromFile(file, buffer, count, read) == 0) {
    ReportError(1011, kReadFromFileOffset, "Cannot read from [%ld] for [%ld]",
                text::AsLong(position), text::AsLong(count));
    return 0;
  }
  return 1;
}
