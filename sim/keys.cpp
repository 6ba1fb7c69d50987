#include "sim/keys.h"

#include <charconv>
#include <sstream>

#include "text/text.h"

namespace sim {

namespace {

constexpr struct {
  const char* name;
  uint32_t code;
} kKeyNames[] = {{"PLAY", 13}, {"STOP", 17}, {"BACK", 16}, {"TAB", 9},
                 {"F1", 112},  {"F2", 113},  {"F3", 114},  {"F4", 115}};

template <typename T>
bool ParseNumber(std::string_view text, T* value) {
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return error == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::optional<uint32_t> KeyCode(std::string_view name) {
  for (const auto& entry : kKeyNames) {
    if (text::EqualsNoCase(name, entry.name)) return entry.code;
  }
  uint32_t code = 0;
  if (ParseNumber(name, &code) && code >= 1 && code <= 254) return code;
  return std::nullopt;
}

Result<std::vector<KeyPress>> ParseKeys(std::string_view line) {
  std::vector<KeyPress> keys;
  std::istringstream words{std::string(line)};
  std::string word;
  while (words >> word) {
    KeyPress press;
    press.text = word;
    std::string_view rest = word;
    if (const std::size_t at = rest.find('@'); at != std::string_view::npos) {
      uint64_t ms = 0;
      if (!ParseNumber(rest.substr(at + 1), &ms)) {
        return Result<std::vector<KeyPress>>::Failure(
            "key \"" + word + "\": expected KEY@MILLISECONDS, such as STOP@30000");
      }
      press.at = ms;
      rest = rest.substr(0, at);
    }
    std::vector<uint32_t> codes;
    for (;;) {
      const std::size_t plus = rest.find('+');
      const std::string_view name = rest.substr(0, plus);
      const auto code = KeyCode(name);
      if (!code) {
        return Result<std::vector<KeyPress>>::Failure(
            "key \"" + word + "\": unknown key \"" + std::string(name) +
            "\" (use PLAY, STOP, BACK, TAB, F1 to F4 or a virtual key number 1 to 254)");
      }
      codes.push_back(*code);
      if (plus == std::string_view::npos) break;
      rest = rest.substr(plus + 1);
    }
    press.key = codes.back();
    codes.pop_back();
    press.held = codes;
    keys.push_back(press);
  }
  return keys;
}

}  // namespace sim
