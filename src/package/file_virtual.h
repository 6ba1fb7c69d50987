// Package members as files: open by name, read sequentially, ask the size, close; in local mode
// straight from the container file, in desktop mode through the read cache that the desktop
// fills over the channel. Every successful read also advances the progress of the current
// update phase.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "package/container_format.h"
#include "package/file_access.h"
#include "package/file_semaphore.h"
#include "package/manifest.h"
#include "platform/types.h"
#include "settings/run_state.h"

// Progress of the current update phase, shared by every virtual file of a run: the phase's
// total bytes (0: no progress is shown), the bytes read so far, and the last percentage sent to
// the bar (-1 when the run starts; no phase resets it).
struct PhaseProgress {
  uint32_t m_nProgressTotal = 0;
  uint32_t m_nProgressDone = 0;
  int32_t m_nLastPercent = -1;
};

class CFileVirtual {
 public:
  // mode 0 reads the container at containerPath locally; any other mode reads member data from
  // the desktop, the container file holding only the header part. The reads advance the
  // progress given (none when null).
  CFileVirtual(int32_t mode, std::string_view containerPath, PhaseProgress* progress = nullptr);
  // Closes a member left open in local mode, and the cache file.
  virtual ~CFileVirtual();
  CFileVirtual(const CFileVirtual&) = delete;
  CFileVirtual& operator=(const CFileVirtual&) = delete;

  // Opens a member by name (without regard to case) at its first byte. 1 on success; 0 after
  // reporting a failure, with no member open in local mode. In local mode the container stays
  // open, without sharing, until HHTFileClose; a member still open is closed first.
  int HHTFileOpen(std::string_view name);
  // Reads up to count bytes of the open member at the position and moves the position on;
  // *read is 0 at the member's end. 1 on success; 0 after reporting a failure, leaving the
  // position where it was.
  int HHTFileRead(uint8_t* buffer, uint32_t count, uint32_t* read);
  // Closes the member (local mode: the container file). Always 1.
  int HHTFileClose();
  // The member's length; 0 when it is not in the package (locally without a report). In
  // desktop mode the desktop answers.
  uint32_t HHTFileSize(std::string_view name);
  // Loads the header table unless it holds headers already. 1 when headers are there; 0 after
  // reporting that they cannot be loaded.
  int SetupFileAccess();

  // Start a phase: no bytes done, and the phase's total (locally computed, in desktop mode
  // asked from the desktop).
  void StartProgressOS();
  void StartProgressGPS();
  void StartProgressApp();
  // Phase totals from the package's own headers: the lengths of the members that the OS (GPS)
  // definitions name, and of those the application script copies. A member that is missing is
  // reported (error 1036) and counts 0.
  uint32_t CalcProgressSizeOS();
  uint32_t CalcProgressSizeGPS();
  uint32_t CalcProgressSizeApp();

  // The channel end, with the read cache.
  CFileSemaphore& Semaphore() { return m_semaphore; }
  uint32_t Position() const { return m_nPosition; }
  CFileAccess& Access() { return m_fileAccess; }
  const std::string& ContainerPath() const { return m_strContainerPath; }
  // From now on every member opened must hold the bytes that the signed manifest lists: the
  // open reads it whole first and fails (error 1053) on a difference, so that no byte of a
  // member that differs reaches its reader; reads then hand on each piece only after checking
  // it again, so bytes served differently the second time fail the read. Null checks nothing.
  void SetManifest(const manifest::Manifest* signedManifest) { m_manifest = signedManifest; }

 private:
  bool IsDesktop() const { return m_nMode != 0; }
  // Reads at a position of the container; reports a failure.
  bool ReadAt(uint32_t position, uint8_t* buffer, uint32_t count, uint32_t* read);
  // Checks every piece of the open member against the manifest.
  bool MatchesManifest(std::string_view name);
  // Reads piece `index` of the open member whole into m_piece and checks it; false after
  // reporting a read failure or a difference under `operation`.
  bool LoadPiece(uint32_t index, const char* operation);
  // HHTFileRead of a member of a signed package: only from checked pieces.
  bool ReadChecked(uint8_t* buffer, uint32_t count, uint32_t* read);
  // No bytes done yet of a phase of `total` bytes.
  void StartProgress(uint32_t total);
  // Moves the bar when the phase's percentage changed.
  void UpdateProgress();

  int32_t m_nMode;
  PhaseProgress* m_progress;
  std::string m_strContainerPath;
  CFileAccess m_fileAccess;
  platform::Handle m_hLocal = platform::kInvalidHandle;
  std::string m_strName;
  uint32_t m_nPosition = 0;
  const CFileHeader* m_pHeader = nullptr;
  CFileSemaphore m_semaphore;
  const manifest::Manifest* m_manifest = nullptr;
  // The open member's entry in the manifest (null without one), and its one checked piece.
  const manifest::Item* m_item = nullptr;
  container::TransferBuffer m_piece;
  uint32_t m_pieceIndex = kNoPiece;
  static constexpr uint32_t kNoPiece = UINT32_MAX;
};

// The virtual files of a run: the package the run reads (its mode and path, from the run's
// state), the progress of the current phase that every virtual file of the run advances, and
// the instance behind the Interface operations below, which the image writer and the GPS
// programmer start and stop.
class CVirtualFiles {
 public:
  explicit CVirtualFiles(const CRunState& run) : m_run(run) {}
  CVirtualFiles(const CVirtualFiles&) = delete;
  CVirtualFiles& operator=(const CVirtualFiles&) = delete;

  // A virtual file on the run's package that advances the run's progress.
  std::unique_ptr<CFileVirtual> NewFile();
  PhaseProgress& Progress() { return m_progress; }
  // The manifest of a signed package, checked by the validation; every virtual file of the run
  // checks its members against it. Null for a terminal without trusted keys.
  void SetManifest(std::shared_ptr<const manifest::Manifest> signedManifest) {
    m_manifest = std::move(signedManifest);
  }
  const manifest::Manifest* Manifest() const { return m_manifest.get(); }
  // The interface's instance; null while the interface is not started.
  CFileVirtual* Instance() const { return m_instance.get(); }

 private:
  friend void InterfaceStart(CVirtualFiles& files);
  friend void InterfaceStop(CVirtualFiles& files);

  const CRunState& m_run;
  PhaseProgress m_progress;
  std::unique_ptr<CFileVirtual> m_instance;
  std::shared_ptr<const manifest::Manifest> m_manifest;
};

// Replaces the instance by a fresh one made from the run's mode and package path; when it
// cannot be allocated the interface is not started.
void InterfaceStart(CVirtualFiles& files);
// Destroys the instance.
void InterfaceStop(CVirtualFiles& files);
// HHTFileOpen, HHTFileRead, HHTFileClose and HHTFileSize of the instance. Without a started
// interface: "Interface not started" (error 1028) and 0.
int InterfaceOpenFile(CVirtualFiles& files, std::string_view name);
int InterfaceFileRead(CVirtualFiles& files, uint8_t* buffer, uint32_t count, uint32_t* read);
int InterfaceFileClose(CVirtualFiles& files);
uint32_t InterfaceFileSize(CVirtualFiles& files, std::string_view name);
// Moves the main dialog's progress bar; the phase's last percentage stays as it is.
void InterfaceSetProgress(int percent);
