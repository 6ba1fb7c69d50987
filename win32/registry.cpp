#include "win32/registry.h"

#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <sstream>
#include <system_error>
#include <vector>

#include "win32/win_api.h"

namespace win32 {

namespace {

constexpr wchar_t kTerminalsKey[] = L"Software\\VostrelHHT\\Terminals\\";
constexpr wchar_t kStampValue[] = L"RegistryJson";

HKEY AsKey(void* key) { return static_cast<HKEY>(key); }
HKEY AsKey(platform::Handle key) { return reinterpret_cast<HKEY>(key); }

// Key names as the terminal gives them, with or without a leading backslash.
std::wstring KeyName(std::string_view path) {
  while (!path.empty() && path.front() == '\\') path.remove_prefix(1);
  while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  return Wide(path);
}

std::string ReadText(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

std::wstring Stamp(const std::string& contents) {
  return std::to_wstring(std::hash<std::string>{}(contents)) + L":" +
         std::to_wstring(contents.size());
}

std::string TextOfValue(const std::vector<BYTE>& data) {
  std::wstring units(data.size() / 2, L'\0');
  std::memcpy(units.data(), data.data(), units.size() * 2);
  units.resize(wcsnlen(units.c_str(), units.size()));
  return Narrow(units);
}

// Every key below `key` as "A\B" with its values, the way registry.json holds them.
void Export(HKEY key, const std::wstring& path, nlohmann::json* root) {
  nlohmann::json values = nlohmann::json::object();
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    DWORD nameLength = 256;
    DWORD type = 0;
    DWORD size = 0;
    if (RegEnumValueW(key, index, name, &nameLength, nullptr, &type, nullptr, &size) !=
        ERROR_SUCCESS) {
      break;
    }
    std::vector<BYTE> data(size);
    nameLength = 256;
    RegEnumValueW(key, index, name, &nameLength, nullptr, &type, data.data(), &size);
    if (type == REG_DWORD && size == 4) {
      uint32_t number = 0;
      std::memcpy(&number, data.data(), 4);
      values[Narrow(name)] = number;
    } else {
      values[Narrow(name)] = TextOfValue(data);
    }
  }
  if (!path.empty()) (*root)[Narrow(path)] = values;
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    DWORD nameLength = 256;
    if (RegEnumKeyExW(key, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    HKEY child = nullptr;
    if (RegOpenKeyExW(key, name, 0, KEY_READ, &child) != ERROR_SUCCESS) continue;
    Export(child, path.empty() ? std::wstring(name) : path + L"\\" + name, root);
    RegCloseKey(child);
  }
}

}  // namespace

Win32Registry::Win32Registry(std::filesystem::path terminalDir)
    : m_file(terminalDir / "registry.json") {
  // One key per terminal folder, named after the folder's full path.
  std::wstring name = std::filesystem::absolute(terminalDir).wstring();
  for (wchar_t& c : name) {
    if (c == L'\\' || c == L'/' || c == L':') c = L'_';
  }
  m_terminalKey = kTerminalsKey + name;
}

Win32Registry::~Win32Registry() {
  if (m_hklm != nullptr) RegCloseKey(AsKey(m_hklm));
}

bool Win32Registry::Open(std::string* why) {
  HKEY terminal = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, m_terminalKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                      nullptr, &terminal, nullptr) != ERROR_SUCCESS) {
    *why = "the terminal's registry key cannot be made";
    return false;
  }
  const std::string contents = ReadText(m_file);
  wchar_t stamp[64] = {};
  DWORD size = sizeof stamp - sizeof(wchar_t);
  const bool current = RegQueryValueExW(terminal, kStampValue, nullptr, nullptr,
                                        reinterpret_cast<BYTE*>(stamp), &size) == ERROR_SUCCESS &&
                       Stamp(contents) == stamp;
  if (!current) {
    // The file changed since the key last matched it (or the key is new): the file holds.
    nlohmann::json root;
    try {
      root = contents.empty() ? nlohmann::json::object() : nlohmann::json::parse(contents);
    } catch (const nlohmann::json::exception& error) {
      *why = m_file.string() + ": not valid JSON (" + error.what() + ")";
      RegCloseKey(terminal);
      return false;
    }
    RegDeleteTreeW(terminal, L"HKLM");
    HKEY hklm = nullptr;
    RegCreateKeyExW(terminal, L"HKLM", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hklm, nullptr);
    for (const auto& [path, values] : root.items()) {
      HKEY key = nullptr;
      if (RegCreateKeyExW(hklm, KeyName(path).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                          nullptr) != ERROR_SUCCESS) {
        continue;
      }
      for (const auto& [name, value] : values.items()) {
        if (value.is_number_unsigned()) {
          const auto number = value.get<uint32_t>();
          RegSetValueExW(key, Wide(name).c_str(), 0, REG_DWORD,
                         reinterpret_cast<const BYTE*>(&number), 4);
        } else if (value.is_string()) {
          const std::wstring text = Wide(value.get<std::string>());
          RegSetValueExW(key, Wide(name).c_str(), 0, REG_SZ,
                         reinterpret_cast<const BYTE*>(text.c_str()),
                         static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
        }
      }
      RegCloseKey(key);
    }
    RegCloseKey(hklm);
    const std::wstring now = Stamp(contents);
    RegSetValueExW(terminal, kStampValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(now.c_str()),
                   static_cast<DWORD>((now.size() + 1) * sizeof(wchar_t)));
  }
  HKEY hklm = nullptr;
  const LSTATUS opened =
      RegCreateKeyExW(terminal, L"HKLM", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &hklm, nullptr);
  RegCloseKey(terminal);
  if (opened != ERROR_SUCCESS) {
    *why = "the terminal's registry key cannot be opened";
    return false;
  }
  m_hklm = hklm;
  return true;
}

uint32_t Win32Registry::CreateKey(std::string_view subKey, platform::Handle* key) {
  HKEY opened = nullptr;
  const LSTATUS status = RegCreateKeyExW(AsKey(m_hklm), KeyName(subKey).c_str(), 0, nullptr, 0,
                                         KEY_ALL_ACCESS, nullptr, &opened, nullptr);
  if (status == ERROR_SUCCESS) *key = reinterpret_cast<platform::Handle>(opened);
  return static_cast<uint32_t>(status);
}

uint32_t Win32Registry::OpenKey(std::string_view subKey, platform::Handle* key) {
  HKEY opened = nullptr;
  const LSTATUS status =
      RegOpenKeyExW(AsKey(m_hklm), KeyName(subKey).c_str(), 0, KEY_ALL_ACCESS, &opened);
  if (status == ERROR_SUCCESS) *key = reinterpret_cast<platform::Handle>(opened);
  return static_cast<uint32_t>(status);
}

uint32_t Win32Registry::QueryValue(platform::Handle key, std::string_view name, uint32_t* type,
                                   void* data, uint32_t* size) {
  DWORD valueType = 0;
  DWORD valueSize = size != nullptr ? *size : 0;
  const LSTATUS status =
      RegQueryValueExW(AsKey(key), Wide(name).c_str(), nullptr, &valueType,
                       static_cast<BYTE*>(data), size != nullptr ? &valueSize : nullptr);
  if (type != nullptr) *type = valueType;
  if (size != nullptr) *size = valueSize;
  return static_cast<uint32_t>(status);
}

uint32_t Win32Registry::SetValue(platform::Handle key, std::string_view name, uint32_t type,
                                 const void* data, uint32_t size) {
  return static_cast<uint32_t>(RegSetValueExW(AsKey(key), Wide(name).c_str(), 0, type,
                                              static_cast<const BYTE*>(data), size));
}

uint32_t Win32Registry::DeleteValue(platform::Handle key, std::string_view name) {
  return static_cast<uint32_t>(RegDeleteValueW(AsKey(key), Wide(name).c_str()));
}

uint32_t Win32Registry::EnumKey(platform::Handle key, uint32_t index, std::string* name) {
  wchar_t found[256];
  DWORD length = 256;
  const LSTATUS status =
      RegEnumKeyExW(AsKey(key), index, found, &length, nullptr, nullptr, nullptr, nullptr);
  if (status == ERROR_SUCCESS) *name = Narrow({found, length});
  return static_cast<uint32_t>(status);
}

uint32_t Win32Registry::CloseKey(platform::Handle key) {
  return static_cast<uint32_t>(RegCloseKey(AsKey(key)));
}

uint32_t Win32Registry::Flush() {
  const LSTATUS status = RegFlushKey(AsKey(m_hklm));
  if (status != ERROR_SUCCESS) return static_cast<uint32_t>(status);
  nlohmann::json root = nlohmann::json::object();
  Export(AsKey(m_hklm), L"", &root);
  const std::string contents = root.dump(2) + "\n";
  const std::filesystem::path aside = m_file.string() + ".new";
  {
    std::ofstream out(aside, std::ios::binary | std::ios::trunc);
    out << contents;
    if (!out) return ERROR_WRITE_FAULT;
  }
  if (!MoveFileExW(aside.c_str(), m_file.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    return ::GetLastError();
  }
  HKEY terminal = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, m_terminalKey.c_str(), 0, KEY_ALL_ACCESS, &terminal) ==
      ERROR_SUCCESS) {
    const std::wstring stamp = Stamp(contents);
    RegSetValueExW(terminal, kStampValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(stamp.c_str()),
                   static_cast<DWORD>((stamp.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(terminal);
  }
  return ERROR_SUCCESS;
}

std::string Win32Registry::GetString(std::string_view subKey, std::string_view name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(AsKey(m_hklm), KeyName(subKey).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return {};
  }
  wchar_t value[512] = {};
  DWORD size = sizeof value - sizeof(wchar_t);
  DWORD type = 0;
  const bool ok = RegQueryValueExW(key, Wide(name).c_str(), nullptr, &type,
                                   reinterpret_cast<BYTE*>(value), &size) == ERROR_SUCCESS &&
                  type == REG_SZ;
  RegCloseKey(key);
  return ok ? Narrow(value) : std::string();
}

void Win32Registry::SetString(std::string_view subKey, std::string_view name,
                              std::string_view value) {
  platform::Handle key = 0;
  if (CreateKey(subKey, &key) != ERROR_SUCCESS) return;
  const std::wstring text = Wide(value);
  SetValue(key, name, REG_SZ, text.c_str(), static_cast<uint32_t>((text.size() + 1) * 2));
  CloseKey(key);
}

void Win32Registry::SetDword(std::string_view subKey, std::string_view name, uint32_t value) {
  platform::Handle key = 0;
  if (CreateKey(subKey, &key) != ERROR_SUCCESS) return;
  SetValue(key, name, REG_DWORD, &value, sizeof value);
  CloseKey(key);
}

void Win32Registry::DeleteValue(std::string_view subKey, std::string_view name) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(AsKey(m_hklm), KeyName(subKey).c_str(), 0, KEY_ALL_ACCESS, &key) !=
      ERROR_SUCCESS) {
    return;
  }
  RegDeleteValueW(key, Wide(name).c_str());
  RegCloseKey(key);
}

}  // namespace win32
