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
  if (!m_lineSink) return;
  // The updater writes a line in pieces ("LOG:", the text, the line end).
  for (const char c : text) {
    if (c != '\n') {
      m_partialLine.push_back(c);
      continue;
    }
    if (!m_partialLine.empty() && m_partialLine.back() == '\r') m_partialLine.pop_back();
    m_lineSink(m_partialLine);
    m_partialLine.clear();
  }
}

void DebugLog::SetLineSink(std::function<void(const std::string&)> sink) {
  m_lineSink = std::move(sink);
  m_partialLine.clear();
}

std::string DebugLog::Text() {
  m_out.flush();
  std::ifstream in(m_file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace sim
