#include "sim/config_section.h"

namespace sim {

using nlohmann::json;

ConfigReader::ConfigReader(const json& object, std::string path)
    : m_object(object), m_path(std::move(path)) {
  if (!m_object.is_object()) throw ConfigError(Name("") + ": expected an object");
}

void ConfigReader::ReadNumber(const char* key, uint32_t& out, uint32_t low, uint32_t high) {
  const json* value = Find(key);
  if (value == nullptr) return;
  if (!value->is_number_unsigned() || value->get<uint64_t>() < low ||
      value->get<uint64_t>() > high) {
    Fail(key,
         "expected a whole number from " + std::to_string(low) + " to " + std::to_string(high));
  }
  out = value->get<uint32_t>();
}

const json* ConfigReader::Find(const char* key) {
  m_known.insert(key);
  const auto it = m_object.find(key);
  return it == m_object.end() ? nullptr : &*it;
}

void ConfigReader::Fail(const char* key, const std::string& why) const {
  throw ConfigError(Name(key) + ": " + why);
}

void ConfigReader::CheckUnknown() const {
  for (const auto& [key, value] : m_object.items()) {
    if (!m_known.contains(key)) Fail(key.c_str(), "unknown key");
  }
}

std::string ConfigReader::Name(const char* key) const {
  if (m_path.empty()) return std::string("\"") + key + "\"";
  if (*key == '\0') return "\"" + m_path + "\"";
  return "\"" + m_path + "." + key + "\"";
}

ConfigSections::ConfigSections(const ConfigSections& other) {
  for (const auto& section : other.m_sections) m_sections.push_back(section->Clone());
}

ConfigSections& ConfigSections::operator=(const ConfigSections& other) {
  if (this == &other) return *this;
  bool same = m_sections.size() == other.m_sections.size();
  for (std::size_t i = 0; same && i < m_sections.size(); ++i) {
    same = std::string(m_sections[i]->Key()) == other.m_sections[i]->Key();
  }
  if (!same) {
    // Sections of another make (a moved-from object): taken whole.
    ConfigSections copy(other);
    m_sections = std::move(copy.m_sections);
    return *this;
  }
  for (std::size_t i = 0; i < m_sections.size(); ++i) m_sections[i]->Assign(*other.m_sections[i]);
  return *this;
}

bool ConfigSections::operator==(const ConfigSections& other) const {
  if (m_sections.size() != other.m_sections.size()) return false;
  for (std::size_t i = 0; i < m_sections.size(); ++i) {
    if (!m_sections[i]->Equals(*other.m_sections[i])) return false;
  }
  return true;
}

}  // namespace sim
