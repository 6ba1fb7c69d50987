#include "sim/debug_log.h"

#include <iterator>

namespace sim {

Status DebugLog::Open() {
  m_out.open(m_file, std::ios::binary | std::ios::app);
  if (!m_out) return Status::Failure(m_file.string() + ": cannot be written");
  return {};
}

void DebugLog::Write(std::string_view text) {
  m_out.write(text.data(), static_cast<std::streamsize>(text.size()));
}

std::string DebugLog::Text() {
  m_out.flush();
  std::ifstream in(m_file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace sim
