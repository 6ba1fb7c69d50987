// A file that the build generates is written only when its contents changed, so that the build
// does not redo what depends on it. Used by the build-time generators, which need only the
// standard library.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace tools {

inline bool WriteIfChanged(const std::filesystem::path& file, const std::string& contents) {
  std::ifstream in(file, std::ios::binary);
  if (in) {
    std::stringstream old;
    old << in.rdbuf();
    if (old.str() == contents) return true;
  }
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << contents;
  return static_cast<bool>(out);
}

}  // namespace tools
