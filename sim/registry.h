// The registry of the simulated terminal (HKEY_LOCAL_MACHINE), kept in DIR/registry.json and
// written there on flush.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "sim/hardware_bus.h"
#include "sim/result.h"

namespace sim {

class SimRegistry final : public platform::Registry, public RegistryWriter {
 public:
  struct Value {
    uint32_t type = platform::kRegSz;
    std::vector<uint8_t> data;
  };

  explicit SimRegistry(std::filesystem::path file);

  // Reads registry.json (a missing file is an empty registry).
  Status Load();
  Status Save() const;
  // Why the last flush that failed could not save the registry; empty when none failed.
  const std::string& SaveError() const { return m_saveError; }

  uint32_t CreateKey(std::string_view subKey, platform::Handle* key) override;
  uint32_t OpenKey(std::string_view subKey, platform::Handle* key) override;
  uint32_t QueryValue(platform::Handle key, std::string_view name, uint32_t* type, void* data,
                      uint32_t* size) override;
  uint32_t SetValue(platform::Handle key, std::string_view name, uint32_t type, const void* data,
                    uint32_t size) override;
  uint32_t DeleteValue(platform::Handle key, std::string_view name) override;
  uint32_t EnumKey(platform::Handle key, uint32_t index, std::string* name) override;
  uint32_t CloseKey(platform::Handle key) override;
  uint32_t Flush() override;

  // Direct access for the simulator's own programs and for tests.
  bool KeyExists(std::string_view path) const;
  void SetString(std::string_view path, std::string_view name, std::string_view value) override;
  void SetDword(std::string_view path, std::string_view name, uint32_t value) override;
  std::optional<std::string> GetString(std::string_view path, std::string_view name) const;
  void DeleteValue(std::string_view path, std::string_view name) override;
  int FlushCount() const { return m_flushes; }

 private:
  struct Key {
    std::string name;                                             // the full path as first created
    std::map<std::string, std::pair<std::string, Value>> values;  // folded name -> (name, value)
  };
  Key* FindKey(std::string_view path);
  const Key* FindKey(std::string_view path) const;
  Key& MakeKey(std::string_view path);
  static std::string Fold(std::string_view path);

  std::filesystem::path m_file;
  std::string m_saveError;
  std::map<std::string, Key> m_keys;  // folded path -> key
  std::map<platform::Handle, std::string> m_handles;
  platform::Handle m_nextHandle = 0x1000;
  int m_flushes = 0;
};

}  // namespace sim
