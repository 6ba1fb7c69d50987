// The terminal's HKEY_LOCAL_MACHINE in the Win32 registry: a key of its own per terminal folder,
// HKEY_CURRENT_USER\Software\VostrelHHT\Terminals\<folder>\HKLM, that every program of the
// terminal (the updater, the shell's stand-in) opens, so that they share it as the terminal's
// programs share theirs. The terminal folder keeps it as registry.json, the simulator's file,
// so that the simulator and "vostrel sim show" read what a Win32 run left: the key is loaded
// from the file when the file changed since the key last matched it, and written back to the
// file (aside, then renamed) on every flush.
#pragma once

#include <filesystem>
#include <string>

#include "platform/registry.h"
#include "sim/hardware_bus.h"

namespace win32 {

class Win32Registry final : public platform::Registry, public sim::RegistryWriter {
 public:
  // The registry of the terminal whose folder is `terminalDir` (with registry.json in it).
  explicit Win32Registry(std::filesystem::path terminalDir);
  ~Win32Registry() override;
  Win32Registry(const Win32Registry&) = delete;
  Win32Registry& operator=(const Win32Registry&) = delete;

  // Opens the terminal's key, loading registry.json into it when the file changed. False with
  // a message when the file cannot be read or the key cannot be made.
  bool Open(std::string* why);

  uint32_t CreateKey(std::string_view subKey, platform::Handle* key) override;
  uint32_t OpenKey(std::string_view subKey, platform::Handle* key) override;
  uint32_t QueryValue(platform::Handle key, std::string_view name, uint32_t* type, void* data,
                      uint32_t* size) override;
  uint32_t SetValue(platform::Handle key, std::string_view name, uint32_t type, const void* data,
                    uint32_t size) override;
  uint32_t DeleteValue(platform::Handle key, std::string_view name) override;
  uint32_t EnumKey(platform::Handle key, uint32_t index, std::string* name) override;
  uint32_t CloseKey(platform::Handle key) override;
  // RegFlushKey, then the whole key written to registry.json.
  uint32_t Flush() override;

  // Values by key path, for the backend's own programs and device models. GetString is empty
  // for a missing value.
  std::string GetString(std::string_view subKey, std::string_view name);
  void SetString(std::string_view subKey, std::string_view name, std::string_view value) override;
  void SetDword(std::string_view subKey, std::string_view name, uint32_t value) override;
  void DeleteValue(std::string_view subKey, std::string_view name) override;

 private:
  std::filesystem::path m_file;
  std::wstring m_terminalKey;  // below HKEY_CURRENT_USER
  void* m_hklm = nullptr;      // HKEY
};

}  // namespace win32
