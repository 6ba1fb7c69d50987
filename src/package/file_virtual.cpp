#include "package/file_virtual.h"

#include <algorithm>
#include <new>

#include "log/log.h"
#include "package/container_format.h"
#include "platform/platform.h"
#include "settings/phase_members.h"
#include "settings/settings.h"
#include "text/text.h"
#include "utils/utils.h"

namespace {

constexpr const char* kSetupFileAccess = "CFileVirtual::SetupFileAccess:";
constexpr const char* kHHTFileOpen = "CFileVirtual::HHTFileOpen:";
constexpr const char* kHHTFileRead = "CFileVirtual::HHTFileRead:";
constexpr const char* kCalcProgressSizeOS = "CFileVirtual::CalcProgressSizeOS:";
constexpr const char* kCalcProgressSizeGPS = "CFileVirtual::CalcProgressSizeGPS:";
constexpr const char* kCalcProgressSizeApp = "CFileVirtual::CalcProgressSizeApp:";

// The percentage of the phase done, in single precision as the terminal computes it: 100 over
// the total first, then times the bytes done, cut toward zero. Held at the 32-bit limit, where
// the terminal's conversion saturates.
int32_t PhasePercent(uint32_t done, uint32_t total) {
  const float percent = static_cast<float>(done) * (100.0f / static_cast<float>(total));
  if (percent >= 2147483647.0f) return INT32_MAX;
  return static_cast<int32_t>(percent);
}

// How a phase total is reported.
struct PhaseRule {
  UpdatePhase phase;
  const char* missing;
  const char* total;
  const char* operation;
};

constexpr PhaseRule kOSPhase = {
    UpdatePhase::kOS, "Cannot find os header [%s]",
    "CFileVirtual::CalcProgressSizeOS: Total size of OS Update is [%ld]", kCalcProgressSizeOS};
constexpr PhaseRule kGPSPhase = {
    UpdatePhase::kGPS, "Cannot find GPS header [%s]",
    "CFileVirtual::CalcProgressSizeGPS: Total size of GPS Update is [%ld]", kCalcProgressSizeGPS};
constexpr PhaseRule kAppPhase = {
    UpdatePhase::kApplication, "CFileVirtual::CalcProgressSizeApp:Cannot find app header [%s]",
    "CFileVirtual::CalcProgressSizeApp: Total size of App Update is [%ld]", kCalcProgressSizeApp};

// The lengths of the members that the phase reads, from a fresh header table of the package;
// a missing member counts 0 and is reported.
uint32_t PhaseTotal(const PhaseRule& rule, const std::string& packagePath) {
  CFileAccess access;
  access.SetContainerPath(packagePath);
  access.LoadFileHeaders();
  uint32_t total = 0;
  for (const PhaseItem& item : PhaseItems(*g_pSettings, rule.phase)) {
    if (!item.splits) {
      LogAt(1, "CFileVirtual::CalcProgressSizeApp:ERROR: App Extract [%s]", item.text);
    } else if (const CFileHeader* header = access.GetFileHeader(item.text)) {
      total += header->FileLen;
    } else {
      ReportError(1036, rule.operation, rule.missing, item.text);
    }
  }
  LogAt(2, rule.total, text::AsLong(total));
  return total;
}

}  // namespace

CFileVirtual::CFileVirtual(int32_t mode, std::string_view containerPath, PhaseProgress* progress)
    : m_nMode(mode), m_progress(progress), m_strContainerPath(containerPath) {}

CFileVirtual::~CFileVirtual() {
  if (m_hLocal != platform::kInvalidHandle) platform::Fs().Close(m_hLocal);
}

int CFileVirtual::SetupFileAccess() {
  LogAt(2, "CFileVirtual::SetupFileAccess: BIN file [%s]", m_strContainerPath);
  if (m_fileAccess.HeaderCount() > 0) {
    LogAt(2, "CFileVirtual::SetupFileAccess: Already have '%d' headers from [%s]",
          static_cast<int>(m_fileAccess.HeaderCount()), m_strContainerPath);
    return 1;
  }
  m_fileAccess.SetContainerPath(m_strContainerPath);
  if (m_fileAccess.LoadFileHeaders() == 0) {
    ReportError(1035, kSetupFileAccess, "Cannot load header [%s]", m_strContainerPath);
    return 0;
  }
  return 1;
}

int CFileVirtual::HHTFileOpen(std::string_view name) {
  SetupFileAccess();
  m_item = nullptr;
  m_strName = std::string(name);
  if (IsDesktop()) {
    m_pHeader = m_fileAccess.GetFileHeader(name);
    if (m_pHeader == nullptr) {
      ReportError(1031, kHHTFileOpen, "Cannot find cache header for [%s]", name);
      return 0;
    }
    m_nPosition = m_pHeader->Offset;
    if (m_manifest != nullptr && !MatchesManifest(name)) {
      m_pHeader = nullptr;
      return 0;
    }
    LogAt(2, "CFileVirtual::HHTFileOpen: Cache: Opened file for reading [%s(%s)] Offset[%ld]",
          m_strContainerPath, name, text::AsLong(m_nPosition));
    return 1;
  }

  // The container is held without sharing, so a member left open would lock this open out.
  if (m_hLocal != platform::kInvalidHandle) HHTFileClose();
  auto& fs = platform::Fs();
  m_hLocal = fs.Open(m_strContainerPath, platform::kGenericRead, platform::kShareNone,
                     platform::Disposition::kOpenExisting, platform::kAttributeNormal);
  if (m_hLocal == platform::kInvalidHandle) {
    ReportError(1032, kHHTFileOpen, "Cannot open [%s]", m_strContainerPath);
    return 0;
  }
  m_pHeader = m_fileAccess.GetFileHeader(name);
  if (m_pHeader == nullptr) {
    ReportError(1031, kHHTFileOpen, "Cannot find header for [%s]", name);
    fs.Close(m_hLocal);
    m_hLocal = platform::kInvalidHandle;
    return 0;
  }
  m_nPosition = m_pHeader->Offset;
  if (m_manifest != nullptr && !MatchesManifest(name)) {
    HHTFileClose();
    m_pHeader = nullptr;
    return 0;
  }
  LogAt(2, "CFileVirtual::HHTFileOpen: Opened file for reading [%s(%s)] Offset[%ld]",
        m_strContainerPath, name, text::AsLong(m_nPosition));
  return 1;
}

bool CFileVirtual::MatchesManifest(std::string_view name) {
  m_item = m_manifest->Find(m_pHeader->Name);
  m_pieceIndex = kNoPiece;
  if (m_piece == nullptr) m_piece = container::NewTransferBuffer(manifest::kPieceSize);
  // The validation compared the entries with the manifest; a header table read again since
  // must still agree, or the pieces would not be the manifest's.
  if (m_item == nullptr || m_item->length != m_pHeader->FileLen || m_piece == nullptr) {
    m_item = nullptr;
    ReportError(1053, kHHTFileOpen, "Member differs from its manifest [%s]", name);
    return false;
  }
  for (uint32_t index = 0; index < m_item->pieces.size(); ++index) {
    if (!LoadPiece(index, kHHTFileOpen)) {
      m_item = nullptr;
      return false;
    }
  }
  return true;
}

bool CFileVirtual::LoadPiece(uint32_t index, const char* operation) {
  m_pieceIndex = kNoPiece;
  const uint32_t length = manifest::PieceLength(m_item->length, index);
  const uint32_t start = m_pHeader->Offset + index * manifest::kPieceSize;
  bool ok = true;
  for (uint32_t done = 0; ok && done < length;) {
    uint32_t read = 0;
    ok = ReadAt(start + done, m_piece.get() + done, length - done, &read) && read > 0;
    done += read;
  }
  if (!ok || manifest::PieceDigest(m_piece.get(), length) != m_item->pieces[index]) {
    ReportError(1053, operation, "Member differs from its manifest [%s]", m_strName);
    return false;
  }
  m_pieceIndex = index;
  return true;
}

bool CFileVirtual::ReadAt(uint32_t position, uint8_t* buffer, uint32_t count, uint32_t* read) {
  if (IsDesktop()) {
    if (m_semaphore.ActiveSyncFileReadCache(position, m_pHeader->Offset, m_pHeader->FileLen, buffer,
                                            count, read) == 0) {
      ReportError(1033, kHHTFileRead, "Failed to ActiveSync read [%s] Off=[%ld] Num=[%ld]",
                  m_semaphore.m_strFileName, text::AsLong(position), text::AsLong(count));
      return false;
    }
  } else {
    const bool done =
        CFileAccess::ReadFromFileOffset(m_hLocal, buffer, position, m_pHeader->Offset,
                                        m_pHeader->FileLen, count, read, ReadClip::kToMember) != 0;
    // A file that ends before the member's data do has not given the member.
    if (!done || (*read < count && position - m_pHeader->Offset + *read < m_pHeader->FileLen)) {
      ReportError(1033, kHHTFileRead, "Failed to read [%s] Off=[%ld] Num=[%ld]", m_strContainerPath,
                  text::AsLong(position), text::AsLong(count));
      *read = 0;
      return false;
    }
  }
  return true;
}

bool CFileVirtual::ReadChecked(uint8_t* buffer, uint32_t count, uint32_t* read) {
  uint32_t position = m_nPosition - m_pHeader->Offset;
  uint32_t done = 0;
  while (done < count && position < m_pHeader->FileLen) {
    const uint32_t index = position / manifest::kPieceSize;
    if (index != m_pieceIndex && !LoadPiece(index, kHHTFileRead)) return false;
    const uint32_t within = position - index * manifest::kPieceSize;
    const uint32_t n =
        std::min(count - done, manifest::PieceLength(m_item->length, index) - within);
    std::copy_n(m_piece.get() + within, n, buffer + done);
    done += n;
    position += n;
  }
  *read = done;
  return true;
}

int CFileVirtual::HHTFileRead(uint8_t* buffer, uint32_t count, uint32_t* read) {
  *read = 0;
  // Desktop reads need a member too; without one there is nothing to read from.
  const bool open = IsDesktop() ? m_pHeader != nullptr : m_hLocal != platform::kInvalidHandle;
  if (!open) {
    ReportError(1034, kHHTFileRead, "File not open [%s][%ld]", m_strContainerPath,
                text::AsLong(count));
    return 0;
  }
  const bool ok = m_item != nullptr ? ReadChecked(buffer, count, read)
                                    : ReadAt(m_nPosition, buffer, count, read);
  if (!ok) {
    *read = 0;
    return 0;
  }
  if (*read > 0) {
    m_nPosition += *read;
    if (m_progress != nullptr) {
      m_progress->m_nProgressDone += *read;
      if (m_progress->m_nProgressTotal > 0) UpdateProgress();
    }
  }
  return 1;
}

void CFileVirtual::UpdateProgress() {
  const int32_t percent = PhasePercent(m_progress->m_nProgressDone, m_progress->m_nProgressTotal);
  if (percent == m_progress->m_nLastPercent) return;
  InterfaceSetProgress(percent);
  m_progress->m_nLastPercent = percent;
}

int CFileVirtual::HHTFileClose() {
  if (!IsDesktop() && m_hLocal != platform::kInvalidHandle) {
    platform::Fs().Close(m_hLocal);
    m_hLocal = platform::kInvalidHandle;
    LogAt(2, "CFileVirtual::HHTFileClose: Closed file [%s]", m_strContainerPath);
  }
  return 1;
}

uint32_t CFileVirtual::HHTFileSize(std::string_view name) {
  if (IsDesktop()) return m_semaphore.ActiveSyncFileSize(name);
  SetupFileAccess();
  const CFileHeader* header = m_fileAccess.GetFileHeader(name);
  return header != nullptr ? header->FileLen : 0;
}

void CFileVirtual::StartProgress(uint32_t total) {
  if (m_progress == nullptr) return;
  m_progress->m_nProgressDone = 0;
  m_progress->m_nProgressTotal = total;
}

void CFileVirtual::StartProgressOS() {
  StartProgress(IsDesktop() ? m_semaphore.ActiveSyncSizeOS() : CalcProgressSizeOS());
}

void CFileVirtual::StartProgressGPS() {
  StartProgress(IsDesktop() ? m_semaphore.ActiveSyncSizeGPS() : CalcProgressSizeGPS());
}

void CFileVirtual::StartProgressApp() {
  StartProgress(IsDesktop() ? m_semaphore.ActiveSyncSizeApp() : CalcProgressSizeApp());
}

uint32_t CFileVirtual::CalcProgressSizeOS() { return PhaseTotal(kOSPhase, m_strContainerPath); }

uint32_t CFileVirtual::CalcProgressSizeGPS() { return PhaseTotal(kGPSPhase, m_strContainerPath); }

uint32_t CFileVirtual::CalcProgressSizeApp() { return PhaseTotal(kAppPhase, m_strContainerPath); }

std::unique_ptr<CFileVirtual> CVirtualFiles::NewFile() {
  auto file =
      std::make_unique<CFileVirtual>(m_run.m_bActiveSync, m_run.m_strPackagePath, &m_progress);
  file->SetManifest(m_manifest.get());
  return file;
}

void InterfaceStart(CVirtualFiles& files) {
  files.m_instance.reset();
  files.m_instance.reset(new (std::nothrow) CFileVirtual(
      files.m_run.m_bActiveSync, files.m_run.m_strPackagePath, &files.m_progress));
  if (files.m_instance) files.m_instance->SetManifest(files.m_manifest.get());
}

void InterfaceStop(CVirtualFiles& files) { files.m_instance.reset(); }

namespace {

CFileVirtual* StartedInstance(const CVirtualFiles& files, const char* operation) {
  if (files.Instance() == nullptr) ReportError(1028, operation, "Interface not started");
  return files.Instance();
}

}  // namespace

int InterfaceOpenFile(CVirtualFiles& files, std::string_view name) {
  CFileVirtual* instance = StartedInstance(files, "InterfaceOpenFile:");
  return instance != nullptr ? instance->HHTFileOpen(name) : 0;
}

int InterfaceFileRead(CVirtualFiles& files, uint8_t* buffer, uint32_t count, uint32_t* read) {
  *read = 0;
  CFileVirtual* instance = StartedInstance(files, "InterfaceFileRead:");
  return instance != nullptr ? instance->HHTFileRead(buffer, count, read) : 0;
}

int InterfaceFileClose(CVirtualFiles& files) {
  CFileVirtual* instance = StartedInstance(files, "InterfaceFileClose:");
  return instance != nullptr ? instance->HHTFileClose() : 0;
}

uint32_t InterfaceFileSize(CVirtualFiles& files, std::string_view name) {
  CFileVirtual* instance = StartedInstance(files, "InterfaceFileSize:");
  return instance != nullptr ? instance->HHTFileSize(name) : 0;
}

void InterfaceSetProgress(int percent) {
  if (g_pUtils != nullptr) g_pUtils->SetProgress(percent);
}
