// The sections of terminal.json. Each part of the terminal owns one: a struct whose members'
// initial values are the defaults, and two functions found beside it, ReadSection (the keys,
// each refused with a message that names it) and SectionJson (every key, as "vostrel sim init"
// writes them). The terminal's table of parts (sim/part_kinds.h) says which section is whose.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace sim {

// A value of terminal.json that cannot be taken; the message names its key.
struct ConfigError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A name that terminal.json gives a value of an enumeration.
template <typename E>
struct NamedValue {
  E value;
  const char* name;
};

// The name of a value in its table; the first entry's when it has none.
template <typename E, std::size_t N>
const char* NameIn(const NamedValue<E> (&names)[N], E value) {
  for (const NamedValue<E>& entry : names) {
    if (entry.value == value) return entry.name;
  }
  return names[0].name;
}

// Reads the keys of one object of terminal.json and throws ConfigError for a value it cannot
// take, remembering the keys it was asked for so that CheckUnknown refuses a misspelt one.
class ConfigReader {
 public:
  // `path` is the object's key ("gps"); empty for the top level.
  ConfigReader(const nlohmann::json& object, std::string path);

  // A value of the JSON library's own conversions; `expected` says what the key takes.
  template <typename T>
  void Read(const char* key, T& out, const char* expected) {
    const nlohmann::json* value = Find(key);
    if (value == nullptr) return;
    // The library would wrap a negative number into an unsigned field.
    if constexpr (std::is_unsigned_v<T> && !std::is_same_v<T, bool>) {
      if (!value->is_number_unsigned()) Fail(key, std::string("expected ") + expected);
    }
    try {
      out = value->get<T>();
    } catch (const nlohmann::json::exception&) {
      Fail(key, std::string("expected ") + expected);
    }
  }
  // A text or a number that may be null (absent as a feature: a query that fails, no override).
  template <typename T>
  void ReadOptional(const char* key, std::optional<T>& out, const char* expected) {
    static_assert(std::is_same_v<T, std::string> || std::is_same_v<T, uint32_t>);
    const nlohmann::json* value = Find(key);
    if (value == nullptr) return;
    if (value->is_null()) {
      out.reset();
    } else if (std::is_same_v<T, std::string> ? value->is_string() : value->is_number_unsigned()) {
      out = value->get<T>();
    } else {
      Fail(key, std::string("expected ") + expected);
    }
  }
  // A whole number from `low` to `high`.
  void ReadNumber(const char* key, uint32_t& out, uint32_t low, uint32_t high);
  // One of the names of an enumeration's table.
  template <typename E, std::size_t N>
  void ReadName(const char* key, E& out, const NamedValue<E> (&names)[N]) {
    const nlohmann::json* value = Find(key);
    if (value == nullptr) return;
    for (const NamedValue<E>& entry : names) {
      if (value->is_string() && value->get<std::string>() == entry.name) {
        out = entry.value;
        return;
      }
    }
    std::string expected = "expected one of ";
    for (std::size_t i = 0; i < N; ++i)
      expected += (i == 0 ? "" : ", ") + std::string(names[i].name);
    Fail(key, expected);
  }

  // The key's value, or null when the object lacks it; the key counts as known either way.
  const nlohmann::json* Find(const char* key);
  [[noreturn]] void Fail(const char* key, const std::string& why) const;
  // Refuses the keys that no reader asked for.
  void CheckUnknown() const;

 private:
  // "\"gps.fault\"" for a key, "\"gps\"" for the object itself.
  std::string Name(const char* key) const;

  const nlohmann::json& m_object;
  std::string m_path;
  std::set<std::string> m_known;
};

// The JSON of a value that may be absent: null for none.
template <typename T>
nlohmann::json OptionalJson(const std::optional<T>& value) {
  return value ? nlohmann::json(*value) : nlohmann::json(nullptr);
}

// One section, held without its type, which only the part that owns it knows.
class ConfigSection {
 public:
  explicit ConfigSection(const char* key) : m_key(key) {}
  virtual ~ConfigSection() = default;

  // The section's key in terminal.json ("gps").
  const char* Key() const { return m_key; }
  virtual std::unique_ptr<ConfigSection> Clone() const = 0;
  virtual bool Equals(const ConfigSection& other) const = 0;
  // Takes the other's values, keeping this object where it is (the parts hold it).
  virtual void Assign(const ConfigSection& other) = 0;
  virtual void Read(ConfigReader& reader) = 0;
  virtual nlohmann::json Write() const = 0;

 protected:
  ConfigSection(const ConfigSection&) = default;
  ConfigSection& operator=(const ConfigSection&) = default;

 private:
  const char* m_key;
};

template <typename Config>
class SectionOf final : public ConfigSection {
 public:
  explicit SectionOf(const char* key) : ConfigSection(key) {}

  std::unique_ptr<ConfigSection> Clone() const override {
    return std::make_unique<SectionOf>(*this);
  }
  bool Equals(const ConfigSection& other) const override {
    const auto* same = dynamic_cast<const SectionOf*>(&other);
    return same != nullptr && same->value == value;
  }
  void Assign(const ConfigSection& other) override {
    value = dynamic_cast<const SectionOf&>(other).value;
  }
  void Read(ConfigReader& reader) override { ReadSection(reader, value); }
  nlohmann::json Write() const override { return SectionJson(value); }

  Config value;
};

// Every part's section, each found by its type. A copy assigned to these sections changes their
// values in place, so that the parts made with them see the change.
class ConfigSections {
 public:
  ConfigSections() = default;
  explicit ConfigSections(std::vector<std::unique_ptr<ConfigSection>> sections)
      : m_sections(std::move(sections)) {}
  ConfigSections(const ConfigSections& other);
  ConfigSections(ConfigSections&&) noexcept = default;
  ConfigSections& operator=(const ConfigSections& other);
  ConfigSections& operator=(ConfigSections&& other) { return *this = std::as_const(other); }
  ~ConfigSections() = default;

  // The section of this type; a type that no part registered is a mistake of the program.
  template <typename Config>
  Config& Get() {
    for (const auto& section : m_sections) {
      if (auto* found = dynamic_cast<SectionOf<Config>*>(section.get())) return found->value;
    }
    throw std::logic_error("terminal.json has no section of this type");
  }
  template <typename Config>
  const Config& Get() const {
    return const_cast<ConfigSections*>(this)->Get<Config>();
  }

  const std::vector<std::unique_ptr<ConfigSection>>& All() const { return m_sections; }
  bool operator==(const ConfigSections& other) const;

 private:
  std::vector<std::unique_ptr<ConfigSection>> m_sections;
};

}  // namespace sim
