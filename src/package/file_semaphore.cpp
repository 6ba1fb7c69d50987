#include "package/file_semaphore.h"

#include <iterator>
#include <vector>

#include "log/log.h"
#include "package/container_format.h"
#include "package/file_access.h"
#include "platform/platform.h"
#include "text/text.h"
#include "utils/utils.h"

namespace {

constexpr const char* kHHTProcessCommand = "CFileSemaphore::HHTProcessCommand";
constexpr const char* kCreateDataFile = "CFileSemaphore::CreateDataFile";
constexpr const char* kWriteDataFile = "CFileSemaphore::WriteDataFile";
constexpr const char* kWaitAndImportDataFile = "CFileSemaphore::WaitAndImportDataFile";
constexpr const char* kImportDataFile = "CFileSemaphore::ImportDataFile";
constexpr const char* kReadDataFile = "CFileSemaphore::ReadDataFile";
constexpr const char* kActiveSyncFileSize = "CFileSemaphore::ActiveSyncFileSize";
constexpr const char* kActiveSyncSizeOS = "CFileSemaphore::ActiveSyncSizeOS";
constexpr const char* kActiveSyncSizeGPS = "CFileSemaphore::ActiveSyncSizeGPS";
constexpr const char* kActiveSyncSizeApp = "CFileSemaphore::ActiveSyncSizeApp";
constexpr const char* kReloadCache = "CFileSemaphore::ReloadCache";
constexpr const char* kActiveSyncFileReadCache = "CFileSemaphore::ActiveSyncFileReadCache";

constexpr uint32_t kPollMilliseconds = 100;

constexpr const char* kCommandNames[] = {"Unknown", "Finished", "Open",   "Read",   "ReadCache",
                                         "Close",   "FileSize", "SizeOS", "SizeApp"};

// Which field of the record a response holds, by the request's code; codes not listed read
// nothing (SizeGPS among them).
constexpr struct {
  uint32_t code;
  int32_t CFileCommand::*ok;
  uint32_t CFileCommand::*value;
} kResponseFields[] = {
    {kCommandFinished, &CFileCommand::m_bOk, nullptr},
    {kCommandReadCache, nullptr, &CFileCommand::m_nResponseValue},
    {kCommandFileSize, nullptr, &CFileCommand::m_nResponseValue},
    {kCommandSizeOS, nullptr, &CFileCommand::m_nResponseValue},
    {kCommandSizeApp, nullptr, &CFileCommand::m_nResponseValue},
};

platform::Handle CreateForWriting(std::string_view path) {
  return platform::Fs().Open(path, platform::kGenericWrite, platform::kShareNone,
                             platform::Disposition::kCreateAlways, platform::kAttributeNormal);
}

std::string MarkerPath(const char* marker) { return CUtils::PathJoin("\\", marker); }

}  // namespace

const char* CommandName(uint32_t code) {
  return code < std::size(kCommandNames) ? kCommandNames[code] : "???";
}

CFileSemaphore::~CFileSemaphore() { CloseCacheFile(); }

void CFileSemaphore::CloseCacheFile() {
  // A failed open leaves the invalid handle here, so the open is tried again only after the
  // next reload.
  if (m_hCacheFile != platform::kNullHandle && m_hCacheFile != platform::kInvalidHandle) {
    platform::Fs().Close(m_hCacheFile);
  }
  m_hCacheFile = platform::kNullHandle;
}

int CFileSemaphore::HHTProcessCommand(CFileCommand& command) {
  const char* name = CommandName(command.m_nCommand);
  if (CreateDataFile(kRequestDataPath, kRequestFlagPath, command) == 0) {
    ReportError(1007, kHHTProcessCommand, "FAILED TO CREATE FROMHHT [Cmd=%s,File=%s,NumBytes=%d]",
                name, command.m_strName, text::AsLong(command.m_nRequestValue));
    return 0;
  }
  LogAt(2, "#####:: HHTProcessCommand: HHT Request [Cmd=%s,File=%s,NumBytes=%d]", name,
        command.m_strName, text::AsLong(command.m_nRequestValue));
  command.m_bRequest = 0;
  if (WaitAndImportDataFile(kResponseDataPath, kResponseFlagPath, command) == 0) {
    ReportError(1010, kHHTProcessCommand, "FAILED TO IMPORT TOHHT [Cmd=%s,File=%s,NumBytes=%d]",
                name, command.m_strName, text::AsLong(command.m_nRequestValue));
    return 0;
  }
  LogAt(2,
        "\u00A3\u00A3\u00A3\u00A3\u00A3:: HHTProcessCommand: PC Response "
        "[Cmd=%s,Ok=%d,NumBytes=%d]",
        name, command.m_bOk, text::AsLong(command.m_nResponseValue));
  return 1;
}

int CFileSemaphore::CreateDataFile(std::string_view dataPath, std::string_view flagPath,
                                   const CFileCommand& command) {
  auto& fs = platform::Fs();
  if (CUtils::FileExists(dataPath)) {
    ReportError(1037, kCreateDataFile, "Data file already exists [%s], Deleting it.", dataPath);
    fs.Delete(dataPath);
  }
  if (CUtils::FileExists(flagPath)) {
    ReportError(1038, kCreateDataFile, "Flag file already exists [%s], Deleting it.", flagPath);
    fs.Delete(flagPath);
  }

  uint8_t code[4];
  container::StoreLe32(code, command.m_nCommand);
  uint32_t written = 0;

  const platform::Handle data = CreateForWriting(dataPath);
  if (data == platform::kInvalidHandle) {
    ReportError(1005, kCreateDataFile, "Failed to create data [%s]", dataPath);
    return 0;
  }
  WriteDataFile(data, code, sizeof code, &written);
  if (!command.m_strName.empty()) {
    std::vector<uint8_t> name;
    for (const char16_t unit : text::ToUtf16(command.m_strName) + u'\0') {
      name.push_back(static_cast<uint8_t>(unit));
      name.push_back(static_cast<uint8_t>(unit >> 8));
    }
    WriteDataFile(data, name.data(), static_cast<uint32_t>(name.size()), &written);
  }
  if (command.m_nRequestValue != 0) {
    uint8_t value[4];
    container::StoreLe32(value, command.m_nRequestValue);
    WriteDataFile(data, value, sizeof value, &written);
  }
  fs.Close(data);

  const platform::Handle flag = CreateForWriting(flagPath);
  if (flag == platform::kInvalidHandle) {
    ReportError(1005, kCreateDataFile, "Failed to create flag [%s]", flagPath);
    return 0;
  }
  WriteDataFile(flag, code, sizeof code, &written);
  fs.Close(flag);
  return 1;
}

int CFileSemaphore::WriteDataFile(platform::Handle file, const void* bytes, uint32_t count,
                                  uint32_t* written) {
  *written = 0;
  if (!platform::Fs().Write(file, bytes, count, written)) {
    ReportError(1007, kWriteDataFile, "Failed to write [%ld]", text::AsLong(count));
    return 0;
  }
  if (*written != count) {
    ReportError(1006, kWriteDataFile, "Expected to write [%ld], only written [%ld]",
                text::AsLong(count), text::AsLong(*written));
    return 0;
  }
  return 1;
}

int CFileSemaphore::WaitAndImportDataFile(std::string_view dataPath, std::string_view flagPath,
                                          CFileCommand& command) {
  if (WaitForFlagFile(flagPath) == 0) {
    ReportError(1001, kWaitAndImportDataFile, "Failed to get [%s]", flagPath);
    return 0;
  }
  if (ImportDataFile(dataPath, command) == 0) {
    ReportError(1001, kWaitAndImportDataFile, "Failed to import [%s]", flagPath);
    return 0;
  }
  return 1;
}

int CFileSemaphore::ImportDataFile(std::string_view dataPath, CFileCommand& command) {
  auto& fs = platform::Fs();
  const platform::Handle file =
      fs.Open(dataPath, platform::kGenericRead, platform::kShareNone,
              platform::Disposition::kOpenExisting, platform::kAttributeNormal);
  if (file == platform::kInvalidHandle) {
    ReportError(1001, kImportDataFile, "Failed to import data [%s]", dataPath);
    return 0;
  }
  for (const auto& fields : kResponseFields) {
    if (fields.code != command.m_nCommand) continue;
    uint8_t field[4] = {};
    uint32_t read = 0;
    ReadDataFile(file, field, sizeof field, &read);
    const uint32_t value = read == sizeof field ? container::LoadLe32(field) : 0;
    if (fields.ok != nullptr) command.*fields.ok = static_cast<int32_t>(value);
    if (fields.value != nullptr) command.*fields.value = value;
  }
  fs.Close(file);
  if (!fs.Delete(dataPath)) {
    ReportError(1023, kImportDataFile, "FAILED TO DELETE '%s'", dataPath);
  }
  return 1;
}

int CFileSemaphore::ReadDataFile(platform::Handle file, void* buffer, uint32_t count,
                                 uint32_t* read) {
  *read = 0;
  if (!platform::Fs().Read(file, buffer, count, read)) {
    ReportError(1010, kReadDataFile, "Failed to read data [%ld]", text::AsLong(count));
    return 0;
  }
  return 1;
}

int CFileSemaphore::WaitForFlagFile(std::string_view flagPath) {
  auto& fs = platform::Fs();
  const std::string looking = MarkerPath(kLookingMarker);
  const std::string abort = MarkerPath(kAbortMarker);
  for (;;) {
    if (CUtils::FileExists(flagPath)) {
      if (fs.Delete(flagPath)) return 1;
      // The desktop may still hold the flag file; try again at once.
      continue;
    }
    if (CUtils::FileExists(looking)) {
      fs.Delete(looking);
      return 0;
    }
    if (CUtils::FileExists(abort)) return 0;
    if (g_pUtils != nullptr) {
      g_pUtils->Wait(kPollMilliseconds);
    } else {
      platform::Kern().Sleep(kPollMilliseconds);
    }
  }
}

void CFileSemaphore::DeleteAbortFiles() {
  for (const char* marker : {kAbortMarker, kLookingMarker}) {
    const std::string path = MarkerPath(marker);
    if (CUtils::FileExists(path)) platform::Fs().Delete(path);
  }
}

int CFileSemaphore::IsAbortRequested() {
  return CUtils::FileExists(MarkerPath(kAbortMarker)) ? 1 : 0;
}

uint32_t CFileSemaphore::ActiveSyncFileSize(std::string_view name) {
  CFileCommand command;
  command.m_bRequest = 1;
  command.m_nCommand = kCommandFileSize;
  command.m_strName = std::string(name);
  if (HHTProcessCommand(command) == 0) {
    ReportError(1018, kActiveSyncFileSize, "FAILED TO GET FILE SIZE [%s]", name);
    return 0;
  }
  return command.m_nResponseValue;
}

uint32_t CFileSemaphore::AskValue(uint32_t code, const char* message, const char* operation) {
  CFileCommand command;
  command.m_bRequest = 1;
  command.m_nCommand = code;
  if (HHTProcessCommand(command) == 0) {
    ReportError(1018, operation, "%s", message);
    return 0;
  }
  return command.m_nResponseValue;
}

uint32_t CFileSemaphore::ActiveSyncSizeOS() {
  return AskValue(kCommandSizeOS, "FAILED TO GET SIZE OS", kActiveSyncSizeOS);
}

uint32_t CFileSemaphore::ActiveSyncSizeGPS() {
  return AskValue(kCommandSizeGPS, "FAILED TO GET SIZE GPS", kActiveSyncSizeGPS);
}

uint32_t CFileSemaphore::ActiveSyncSizeApp() {
  return AskValue(kCommandSizeApp, "FAILED TO GET SIZE APP", kActiveSyncSizeApp);
}

int CFileSemaphore::ReloadCache(uint32_t offset) {
  CFileCommand command;
  command.m_bRequest = 1;
  command.m_nCommand = kCommandReadCache;
  command.m_nRequestValue = offset;
  if (HHTProcessCommand(command) == 0) {
    ReportError(1010, kReloadCache, "FAILED TO READ FILE CACHE [%s] [%ld]", m_strFileName,
                text::AsLong(offset));
    return 0;
  }
  m_nCacheStart = offset;
  m_nCacheLength = command.m_nResponseValue;
  return 1;
}

int CFileSemaphore::ActiveSyncFileReadCache(uint32_t offset, uint32_t memberOffset,
                                            uint32_t memberLength, uint8_t* buffer, uint32_t count,
                                            uint32_t* read) {
  *read = 0;
  LogAt(3, "##Cache File [Offset=%ld,FileStart=%ld,FileLen=%ld] Reading [%ld]",
        text::AsLong(offset), text::AsLong(memberOffset), text::AsLong(memberLength),
        text::AsLong(count));
  // Counted in 64 bits, so that no count can wrap past the member's end.
  const uint64_t memberEnd = static_cast<uint64_t>(memberOffset) + memberLength;
  if (static_cast<uint64_t>(offset) + count > memberEnd) {
    count = offset < memberEnd ? static_cast<uint32_t>(memberEnd - offset) : 0;
    LogAt(3, "##Cache File Now Reading [%ld]", text::AsLong(count));
  }
  const uint64_t end = static_cast<uint64_t>(offset) + count;
  LogAt(3, "##Cache File Check [%ld < %ld] || [%ld > %ld]", text::AsLong(offset),
        text::AsLong(m_nCacheStart), text::AsLong(static_cast<uint32_t>(end)),
        text::AsLong(m_nCacheStart + m_nCacheLength));

  bool reloadFailed = false;
  const auto outsideCache = [&] {
    return offset < m_nCacheStart || end > static_cast<uint64_t>(m_nCacheStart) + m_nCacheLength;
  };
  if (outsideCache()) {
    CloseCacheFile();
    LogAt(3, "##Cache Reloading from [%ld]", text::AsLong(offset));
    if (ReloadCache(offset) == 0) {
      ReportError(1018, kActiveSyncFileReadCache, "FAILED TO LOAD CACHE [%ld]",
                  text::AsLong(offset));
      reloadFailed = true;
    }
  }
  if (outsideCache()) {
    ReportError(1039, kActiveSyncFileReadCache, "Not enough in cache  [Need=%ld, InCache=%ld]",
                text::AsLong(count), text::AsLong(m_nCacheLength));
    return 0;
  }
  if (reloadFailed) return 0;

  if (m_hCacheFile == platform::kNullHandle) {
    m_hCacheFile =
        platform::Fs().Open(kCacheFilePath, platform::kGenericRead, platform::kShareNone,
                            platform::Disposition::kOpenExisting, platform::kAttributeNormal);
  }
  const uint32_t cacheOffset = offset - m_nCacheStart;
  LogAt(3, "##Cache Reading from [%ld]", text::AsLong(cacheOffset));
  if (CFileAccess::ReadFromFileOffset(m_hCacheFile, buffer, cacheOffset, 0, 0, count, read,
                                      ReadClip::kUnclipped) == 0) {
    ReportError(1010, kActiveSyncFileReadCache, "Cache: Failed to read %ld from offset %ld]",
                text::AsLong(count), text::AsLong(cacheOffset));
    return 0;
  }
  return 1;
}
