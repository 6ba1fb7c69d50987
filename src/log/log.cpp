#include "log/log.h"

#include <string>
#include <vector>

#include "platform/platform.h"

CLog* g_pLog = nullptr;

namespace {

constexpr const char* kMarkerDetailed = "\\Flash disk2\\detailed.dbg";
constexpr const char* kMarkerProgress = "\\Flash disk2\\progress.dbg";
constexpr const char* kMarkerError = "\\Flash disk2\\error.dbg";

void Put(platform::Handle stream, const std::string& s) { platform::Fs().WriteText(stream, s); }

}  // namespace

int GetDebugLevel() { return g_pLog != nullptr ? g_pLog->DebugLevel() : 1; }

void ReadDebugLevel() {
  if (g_pLog == nullptr) return;
  const struct {
    const char* path;
    int level;
  } markers[] = {{kMarkerDetailed, 3}, {kMarkerProgress, 2}, {kMarkerError, 1}};
  for (const auto& marker : markers) {
    if (platform::Fs().GetAttributes(marker.path) != platform::kInvalidValue) {
      g_pLog->SetDebugLevel(marker.level);
      return;
    }
  }
}

void DebugAt(int level, const std::string& text) {
  if (GetDebugLevel() >= level) platform::Kern().DebugOutput(text);
}

void CLog::Setup(bool enable, std::string_view name, bool dateOnEachLine) {
  if (!enable) return;
  m_path = text::Sprintf("\\%s", name);
  m_lastDate.clear();
  const std::string oldPath = text::Sprintf("%s.old", m_path);
  auto& fs = platform::Fs();
  if (FileExists(m_path)) {
    fs.Delete(oldPath);
    fs.Move(m_path, oldPath);
  }
  const platform::Handle stream = fs.OpenText(m_path, platform::TextMode::kCreate);
  if (stream != platform::kNullHandle) {
    WriteHeader(stream);
    fs.CloseText(stream);
  }
  m_dateOnEachLine = dateOnEachLine;
  platform::Kern().DebugOutput(
      KeepText(text::Sprintf("CLog::Setup: Log file is [%s]\r\n", m_path)));
}

const std::string& CLog::KeepText(std::string text) {
  m_szLogText = text::TruncateToUnits(std::move(text), kMessageBufferUnits);
  return m_szLogText;
}

void CLog::Write(bool enable, const char* text) {
  if (!enable) return;
  auto& fs = platform::Fs();
  const platform::Handle stream = fs.OpenText(m_path, platform::TextMode::kAppend);
  if (stream == platform::kNullHandle) return;
  WriteEntry(stream, text);
  fs.CloseText(stream);
}

void CLog::Open(bool enable) {
  if (!enable) return;
  auto& fs = platform::Fs();
  if (m_batchFile != platform::kNullHandle) fs.CloseText(m_batchFile);
  m_batchFile = fs.OpenText(m_path, platform::TextMode::kAppend);
}

void CLog::WriteOpen(bool enable, const char* text) {
  if (enable && m_batchFile != platform::kNullHandle) WriteEntry(m_batchFile, text);
}

void CLog::Close(bool enable) {
  if (!enable || m_batchFile == platform::kNullHandle) return;
  platform::Fs().CloseText(m_batchFile);
  m_batchFile = platform::kNullHandle;
}

void CLog::DeleteLogFiles() {
  auto& fs = platform::Fs();
  if (FileExists(m_path)) fs.Delete(m_path);
  const std::string oldPath = text::Sprintf("%s.old", m_path);
  if (FileExists(oldPath)) fs.Delete(oldPath);
}

void CLog::DeleteFileIfExists(std::string_view name) {
  const std::string path = text::Sprintf("\\%s", name);
  if (FileExists(path)) platform::Fs().Delete(path);
}

bool CLog::FileExists(std::string_view path) {
  std::vector<platform::FindEntry> entries;
  return platform::Fs().FindAll(path, &entries);
}

void CLog::WriteHeader(platform::Handle stream) {
  const std::string time = GetTime();
  const std::string date = GetDate();
  Put(stream,
      text::Sprintf("Teverlind Log File                     (Created : %s   %s)\n", date, time));
  Put(stream, std::string(78, '-') + "\n\n");
  Put(stream, "Time      Remark\n");
  m_lastDate.clear();
}

void CLog::WriteEntry(platform::Handle stream, const char* text) {
  auto& kernel = platform::Kern();
  kernel.DebugOutput("LOG:");
  if (text != nullptr) kernel.DebugOutput(text);
  kernel.DebugOutput("\r\n");

  const std::string date = GetDate();
  if (date != m_lastDate) {
    m_lastDate = date;
    if (!m_dateOnEachLine) {
      Put(stream, text::Sprintf("%s  Current date is %s\n", GetTime(), date));
    }
  }
  const std::string prefix = m_dateOnEachLine ? text::Sprintf("%s ", date) : std::string();
  if (text == nullptr) {
    Put(stream, "\n");
  } else {
    Put(stream, text::Sprintf("%s%s  %s\n", prefix, GetTime(), text));
  }
}

const std::string& CLog::GetDate() {
  const platform::LocalTime t = platform::Kern().GetLocalTime();
  m_date = text::Sprintf("%04d/%02d/%02d", t.year, t.month, t.day);
  return m_date;
}

const std::string& CLog::GetTime() {
  const platform::LocalTime t = platform::Kern().GetLocalTime();
  m_time = text::Sprintf("%02d:%02d:%02d", t.hour, t.minute, t.second);
  return m_time;
}
