// The terminal's files and folders on the Win32 file system: the terminal's root "\" is a host
// folder (DIR\fs of a terminal folder, the simulator's layout), and every terminal path maps to
// the same path below it. Windows itself gives the terminal's semantics: components compared
// without regard to case, "*" and "?" patterns, the read-only attribute, sharing modes and the
// error codes. Stream devices ("GPS1:") are the backend's device models.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/files.h"
#include "sim/stream_device.h"

namespace win32 {

class Win32FileSystem final : public platform::FileSystem {
 public:
  // root: the host folder that holds "\" (a Windows path).
  explicit Win32FileSystem(std::wstring root);
  ~Win32FileSystem() override;
  Win32FileSystem(const Win32FileSystem&) = delete;
  Win32FileSystem& operator=(const Win32FileSystem&) = delete;

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

  // Makes a device name ("GPS1:") open the model; the file system does not own it.
  void RegisterDevice(std::string_view name, sim::Device* device);
  // The model behind a device handle, or null.
  sim::Device* DeviceOf(platform::Handle handle);

  // Takes the volumes whose folders are listed ("\Flash Disk2") away, as an unloaded disk driver
  // does: their paths are not found (error 3).
  void SetUnmounted(std::vector<std::string> folders);

  // The host path of a terminal path; false (error 123, invalid name) for a path that is not a
  // terminal path or would leave the root ("..").
  bool HostPath(std::string_view terminalPath, std::wstring* host) const;
  const std::wstring& Root() const { return m_root; }

 private:
  // HostPath, and error 3 for a path on an unmounted volume.
  bool Resolve(std::string_view terminalPath, std::wstring* host) const;

  std::wstring m_root;
  std::mutex m_mutex;
  std::map<std::string, sim::Device*> m_devices;  // upper-case name with its colon
  std::map<platform::Handle, sim::Device*> m_deviceHandles;
  std::vector<std::string> m_unmounted;  // upper-case first components
};

}  // namespace win32
