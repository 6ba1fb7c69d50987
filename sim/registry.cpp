#include "sim/registry.h"

#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "sim/state_file.h"
#include "text/text.h"

namespace sim {

namespace {

constexpr uint32_t kErrorMoreData = 234;
constexpr uint32_t kErrorNoMoreItems = 259;

std::string Trimmed(std::string_view path) {
  while (!path.empty() && path.front() == '\\') path.remove_prefix(1);
  while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  return std::string(path);
}

std::vector<uint8_t> Utf16Bytes(std::string_view text) {
  const std::u16string units = text::ToUtf16(text);
  std::vector<uint8_t> bytes;
  for (const char16_t u : units) {
    bytes.push_back(static_cast<uint8_t>(u & 0xFF));
    bytes.push_back(static_cast<uint8_t>(u >> 8));
  }
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

std::string TextOf(const std::vector<uint8_t>& bytes) {
  std::string text = text::FromUtf16Bytes(bytes.data(), bytes.size());
  const std::size_t nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);
  return text;
}

}  // namespace

SimRegistry::SimRegistry(std::filesystem::path file) : m_file(std::move(file)) {}

std::string SimRegistry::Fold(std::string_view path) { return text::ToUpper(Trimmed(path)); }

SimRegistry::Key* SimRegistry::FindKey(std::string_view path) {
  const auto it = m_keys.find(Fold(path));
  return it == m_keys.end() ? nullptr : &it->second;
}

const SimRegistry::Key* SimRegistry::FindKey(std::string_view path) const {
  const auto it = m_keys.find(Fold(path));
  return it == m_keys.end() ? nullptr : &it->second;
}

SimRegistry::Key& SimRegistry::MakeKey(std::string_view path) {
  // Parents exist whenever a child does.
  const std::string trimmed = Trimmed(path);
  for (std::size_t slash = trimmed.find('\\'); slash != std::string::npos;
       slash = trimmed.find('\\', slash + 1)) {
    const std::string parent = trimmed.substr(0, slash);
    Key& key = m_keys[Fold(parent)];
    if (key.name.empty()) key.name = parent;
  }
  Key& key = m_keys[Fold(trimmed)];
  if (key.name.empty()) key.name = trimmed;
  return key;
}

Status SimRegistry::Load() {
  m_keys.clear();
  std::ifstream in(m_file, std::ios::binary);
  if (!in) return {};
  std::stringstream buffer;
  buffer << in.rdbuf();
  nlohmann::json root;
  try {
    root = nlohmann::json::parse(buffer.str());
    if (!root.is_object()) return Status::Failure(m_file.string() + ": expected an object");
    for (const auto& [path, values] : root.items()) {
      Key& key = MakeKey(path);
      if (!values.is_object()) {
        return Status::Failure(m_file.string() + ": key \"" + path + "\": expected an object");
      }
      for (const auto& [name, value] : values.items()) {
        Value stored;
        if (value.is_string()) {
          stored.type = platform::kRegSz;
          stored.data = Utf16Bytes(value.get<std::string>());
        } else if (value.is_number_unsigned()) {
          stored.type = platform::kRegDword;
          const auto number = value.get<uint32_t>();
          stored.data.resize(4);
          std::memcpy(stored.data.data(), &number, 4);
        } else {
          return Status::Failure(m_file.string() + ": value \"" + path + "\\" + name +
                                 "\": expected a text or a number");
        }
        key.values[text::ToUpper(name)] = {name, stored};
      }
    }
  } catch (const nlohmann::json::exception& error) {
    return Status::Failure(m_file.string() + ": not valid JSON (" + error.what() + ")");
  }
  return {};
}

Status SimRegistry::Save() const {
  nlohmann::json root = nlohmann::json::object();
  for (const auto& [folded, key] : m_keys) {
    nlohmann::json values = nlohmann::json::object();
    for (const auto& [foldedName, entry] : key.values) {
      const Value& value = entry.second;
      if (value.type == platform::kRegDword && value.data.size() == 4) {
        uint32_t number = 0;
        std::memcpy(&number, value.data.data(), 4);
        values[entry.first] = number;
      } else {
        values[entry.first] = TextOf(value.data);
      }
    }
    root[key.name] = values;
  }
  return ReplaceFile(m_file, root.dump(2) + "\n");
}

uint32_t SimRegistry::CreateKey(std::string_view subKey, platform::Handle* key) {
  MakeKey(subKey);
  *key = m_nextHandle++;
  m_handles[*key] = Fold(subKey);
  return 0;
}

uint32_t SimRegistry::OpenKey(std::string_view subKey, platform::Handle* key) {
  if (FindKey(subKey) == nullptr) return platform::kErrorFileNotFound;
  *key = m_nextHandle++;
  m_handles[*key] = Fold(subKey);
  return 0;
}

uint32_t SimRegistry::QueryValue(platform::Handle key, std::string_view name, uint32_t* type,
                                 void* data, uint32_t* size) {
  const auto handle = m_handles.find(key);
  if (handle == m_handles.end()) return platform::kErrorInvalidHandle;
  const Key* stored = FindKey(handle->second);
  if (stored == nullptr) return platform::kErrorFileNotFound;
  const auto value = stored->values.find(text::ToUpper(name));
  if (value == stored->values.end()) return platform::kErrorFileNotFound;
  const Value& v = value->second.second;
  if (type != nullptr) *type = v.type;
  if (size == nullptr) return data == nullptr ? 0U : uint32_t{platform::kErrorInvalidParameter};
  const auto needed = static_cast<uint32_t>(v.data.size());
  if (data != nullptr && *size < needed) {
    *size = needed;
    return kErrorMoreData;
  }
  if (data != nullptr) std::memcpy(data, v.data.data(), needed);
  *size = needed;
  return 0;
}

uint32_t SimRegistry::SetValue(platform::Handle key, std::string_view name, uint32_t type,
                               const void* data, uint32_t size) {
  const auto handle = m_handles.find(key);
  if (handle == m_handles.end()) return platform::kErrorInvalidHandle;
  Key* stored = FindKey(handle->second);
  if (stored == nullptr) return platform::kErrorFileNotFound;
  Value value;
  value.type = type;
  const auto* bytes = static_cast<const uint8_t*>(data);
  value.data.assign(bytes, bytes + size);
  stored->values[text::ToUpper(name)] = {std::string(name), value};
  return 0;
}

uint32_t SimRegistry::DeleteValue(platform::Handle key, std::string_view name) {
  const auto handle = m_handles.find(key);
  if (handle == m_handles.end()) return platform::kErrorInvalidHandle;
  Key* stored = FindKey(handle->second);
  if (stored == nullptr) return platform::kErrorFileNotFound;
  return stored->values.erase(text::ToUpper(name)) == 1 ? 0U
                                                        : uint32_t{platform::kErrorFileNotFound};
}

uint32_t SimRegistry::EnumKey(platform::Handle key, uint32_t index, std::string* name) {
  const auto handle = m_handles.find(key);
  if (handle == m_handles.end()) return platform::kErrorInvalidHandle;
  const std::string prefix = handle->second.empty() ? "" : handle->second + "\\";
  uint32_t seen = 0;
  for (const auto& [folded, child] : m_keys) {
    if (folded.size() <= prefix.size() || folded.compare(0, prefix.size(), prefix) != 0) continue;
    if (folded.find('\\', prefix.size()) != std::string::npos) continue;
    if (seen++ == index) {
      *name = child.name.substr(child.name.size() - (folded.size() - prefix.size()));
      return 0;
    }
  }
  return kErrorNoMoreItems;
}

uint32_t SimRegistry::CloseKey(platform::Handle key) {
  return m_handles.erase(key) == 1 ? 0U : uint32_t{platform::kErrorInvalidHandle};
}

uint32_t SimRegistry::Flush() {
  ++m_flushes;
  const Status saved = Save();
  if (saved) return 0;
  // The caller sees only a code; the run reports the file and the reason.
  m_saveError = saved.error();
  return platform::kErrorWriteFault;
}

bool SimRegistry::KeyExists(std::string_view path) const { return FindKey(path) != nullptr; }

void SimRegistry::SetString(std::string_view path, std::string_view name, std::string_view value) {
  MakeKey(path).values[text::ToUpper(name)] = {std::string(name),
                                               Value{platform::kRegSz, Utf16Bytes(value)}};
}

void SimRegistry::SetDword(std::string_view path, std::string_view name, uint32_t value) {
  Value stored{platform::kRegDword, std::vector<uint8_t>(4)};
  std::memcpy(stored.data.data(), &value, 4);
  MakeKey(path).values[text::ToUpper(name)] = {std::string(name), stored};
}

std::optional<std::string> SimRegistry::GetString(std::string_view path,
                                                  std::string_view name) const {
  const Key* key = FindKey(path);
  if (key == nullptr) return std::nullopt;
  const auto value = key->values.find(text::ToUpper(name));
  if (value == key->values.end()) return std::nullopt;
  return TextOf(value->second.second.data);
}

void SimRegistry::DeleteValue(std::string_view path, std::string_view name) {
  if (Key* key = FindKey(path)) key->values.erase(text::ToUpper(name));
}

}  // namespace sim
