// The terminal's file system, kept in a folder of the host (DIR/fs is "\"), with the semantics
// of the terminal: case-insensitive paths, "*" and "?" patterns, read-only files enforced here,
// sharing modes, and the terminal's error codes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "platform/files.h"
#include "sim/stream_device.h"

namespace sim {

// The process on whose behalf a file is opened: handles of a process close when it ends.
using ProcessId = uint32_t;
inline constexpr ProcessId kUpdaterProcess = 1;
// The desktop computer on the other side of the channel, reaching the root folder over the link.
inline constexpr ProcessId kDesktopProcess = 2;

// True when a find-first-file pattern ("*" and "?", without regard to case) matches the name as
// the terminal matches it: a trailing ".*" also matches a name that has no dot there, so "*.*"
// finds every name and "setup.*" finds "setup".
bool MatchesPattern(std::string_view pattern, std::string_view name);

class SimFileSystem final : public platform::FileSystem {
 public:
  // root is the host folder that holds "\"; it must exist.
  explicit SimFileSystem(std::filesystem::path root);
  ~SimFileSystem() override;
  SimFileSystem(const SimFileSystem&) = delete;
  SimFileSystem& operator=(const SimFileSystem&) = delete;

  bool FindAll(std::string_view pattern, std::vector<platform::FindEntry>* entries) override;
  uint32_t GetAttributes(std::string_view path) override;
  bool SetAttributes(std::string_view path, uint32_t attributes) override;
  platform::Handle Open(std::string_view path, uint32_t access, uint32_t share,
                        platform::Disposition disposition, uint32_t flagsAndAttributes) override;
  bool Read(platform::Handle file, void* buffer, uint32_t count, uint32_t* read) override;
  bool Write(platform::Handle file, const void* buffer, uint32_t count, uint32_t* written) override;
  uint32_t Seek(platform::Handle file, int32_t distance, platform::SeekOrigin origin) override;
  uint32_t GetSize(platform::Handle file) override;
  bool Close(platform::Handle file) override;
  bool Delete(std::string_view path) override;
  bool Move(std::string_view from, std::string_view to) override;
  bool CreateFolder(std::string_view path) override;
  bool RemoveFolder(std::string_view path) override;
  platform::Handle OpenText(std::string_view path, platform::TextMode mode) override;
  bool WriteText(platform::Handle stream, std::string_view text) override;
  bool CloseText(platform::Handle stream) override;

  // Opens a file for another simulated process (the shell, the desktop): the same rules as
  // Open, but the handle belongs to that process.
  platform::Handle OpenFor(ProcessId owner, std::string_view path, uint32_t access, uint32_t share,
                           platform::Disposition disposition, uint32_t flagsAndAttributes);
  // Closes every handle that a process still holds (it has ended).
  void CloseAllOf(ProcessId owner);
  // Runs pause, outside the file system's lock, after a deletion that failed because a handle of
  // `holder` is open on the file: a peer that holds a file for a while can let the caller's time
  // pass, where in virtual time a caller that retries at once would never let the peer run. An
  // empty function removes it.
  void SetRefusalPause(ProcessId holder, std::function<void()> pause);
  // The number of handles open, for all processes or one.
  std::size_t OpenHandleCount() const;
  std::size_t OpenHandleCount(ProcessId owner) const;
  // True while any handle is open on the file.
  bool IsOpen(std::string_view path) const;

  // Makes a device name ("GPS1:") open the given device. The file system does not own it.
  void RegisterDevice(std::string_view name, Device* device);
  // The device behind a handle, or null when the handle is not a device's.
  Device* DeviceOf(platform::Handle handle) const;

  // Takes the volumes whose folders are listed ("\Flash Disk2") away, as an unloaded disk
  // driver does: their paths are not found (error 3) until the list is emptied.
  void SetUnmounted(const std::vector<std::string>& folders);

  // A change made to what the file system keeps, reported after it was made and outside the
  // file system's lock (the observer may end the caller's simulated process): the terminal path
  // as the caller gave it (a written file's as stored), a rename's target, and where a written
  // chunk went.
  enum class Change { kWrite, kDelete, kMove, kCreateFolder, kRemoveFolder };
  struct ChangeNote {
    Change change = Change::kWrite;
    ProcessId owner = kUpdaterProcess;  // a written file's handle owner
    std::string path;
    std::string target;
    uint64_t offset = 0;
    uint64_t length = 0;
  };
  // One observer at a time; an empty function removes it.
  void SetChangeObserver(std::function<void(const ChangeNote&)> observer);

  // The host path of a terminal path (unmounted volumes included): existing components are matched
  // without regard to case and keep their stored case; missing ones keep the case given.
  std::filesystem::path HostPath(std::string_view terminalPath) const;
  const std::filesystem::path& Root() const { return m_root; }

 private:
  struct OpenFile;
  struct Resolved;

  // Resolves a terminal path: sets the last error and returns false for a bad name.
  bool Resolve(std::string_view terminalPath, Resolved* resolved,
               bool honourUnmounted = true) const;
  platform::Handle OpenLocked(ProcessId owner, std::string_view path, uint32_t access,
                              uint32_t share, platform::Disposition disposition,
                              uint32_t flagsAndAttributes);
  OpenFile* Find(platform::Handle handle) const;
  // The file behind a handle that has a position and a length (not a text stream or a
  // device); null with the last error set otherwise.
  OpenFile* FindPlainFile(platform::Handle handle) const;
  bool DeleteLocked(std::string_view path, ProcessId* holder);
  bool MoveLocked(std::string_view from, std::string_view to);
  bool CreateFolderLocked(std::string_view path);
  bool RemoveFolderLocked(std::string_view path);
  void Changed(ChangeNote note);

  std::filesystem::path m_root;
  mutable std::recursive_mutex m_mutex;
  std::map<platform::Handle, std::unique_ptr<OpenFile>> m_open;
  std::map<std::string, Device*> m_devices;  // upper-case name, with its colon
  std::map<ProcessId, std::function<void()>> m_refusalPauses;
  std::function<void(const ChangeNote&)> m_changeObserver;
  std::vector<std::string> m_unmounted;  // upper-case first components
  platform::Handle m_nextHandle = 0x100;
  // Large transfers from or into a buffer that does not start on a page go through this one.
  struct PageAlignedDelete {
    void operator()(char* p) const;
  };
  std::unique_ptr<char[], PageAlignedDelete> m_staging;
  char* Staging();
};

}  // namespace sim
