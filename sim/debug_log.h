// The kernel debug output of the simulated terminal, appended to DIR/debug.log.
#pragma once

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>

#include "sim/result.h"

namespace sim {

class DebugLog {
 public:
  explicit DebugLog(std::filesystem::path file) : m_file(std::move(file)) {}
  // Opens the file for appending.
  Status Open();
  void Write(std::string_view text);
  // Everything in the file.
  std::string Text();
  // Called with each whole line written from now on, without its line end; null for none.
  void SetLineSink(std::function<void(const std::string&)> sink);

 private:
  std::filesystem::path m_file;
  std::ofstream m_out;
  std::function<void(const std::string&)> m_lineSink;
  std::string m_partialLine;
};

}  // namespace sim
