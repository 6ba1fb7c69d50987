#include "sim/gui.h"

#include <algorithm>

#include "text/text.h"

namespace sim {

void SimGui::SetKeys(const std::vector<KeyPress>& keys) {
  m_plain.clear();
  m_timed.clear();
  m_pending.clear();
  m_exhausted = false;
  for (const KeyPress& key : keys) {
    if (key.at) {
      m_timed.push_back(key);
    } else {
      m_plain.push_back(key);
    }
  }
  std::stable_sort(m_timed.begin(), m_timed.end(),
                   [](const KeyPress& a, const KeyPress& b) { return *a.at < *b.at; });
}

void SimGui::Expand(const KeyPress& press) {
  using Kind = platform::KeyEvent::Kind;
  for (const uint32_t held : press.held) m_pending.push_back({Kind::kDown, held});
  m_pending.push_back({Kind::kDown, press.key});
  m_pending.push_back({Kind::kUp, press.key});
  for (auto it = press.held.rbegin(); it != press.held.rend(); ++it) {
    m_pending.push_back({Kind::kUp, *it});
  }
}

bool SimGui::Deliver(platform::KeyEvent* event) {
  if (m_pending.empty()) return false;
  *event = m_pending.front();
  m_pending.pop_front();
  auto& [down, pressed] = m_keyState[event->virtualKey];
  if (event->kind == platform::KeyEvent::Kind::kDown) {
    down = true;
    pressed = true;
  } else {
    down = false;
  }
  return true;
}

bool SimGui::PollKey(platform::KeyEvent* event) {
  if (Deliver(event)) return true;
  if (!m_timed.empty() && *m_timed.front().at <= m_clock.Now()) {
    Expand(m_timed.front());
    m_timed.erase(m_timed.begin());
    return Deliver(event);
  }
  return false;
}

void SimGui::Press(const platform::KeyEvent& event) {
  m_pending.push_back(event);
  m_clock.Notify(this);
}

bool SimGui::WaitKey(uint32_t timeoutMs, platform::KeyEvent* event) {
  if (PollKey(event)) return true;
  const uint64_t now = m_clock.Now();
  const bool forever = timeoutMs == platform::kInfinite;
  // The next plain key is pressed only when the updater waits with nothing else due.
  if (forever && !m_plain.empty()) {
    Expand(m_plain.front());
    m_plain.pop_front();
    return Deliver(event);
  }
  const uint64_t deadline = forever ? UINT64_MAX : now + timeoutMs;
  const bool timedFirst = !m_timed.empty() && *m_timed.front().at <= deadline;
  if (m_interactive && m_clock.Mode() == ClockMode::kRealtime) {
    // A key from outside ends the wait as soon as it is pressed.
    m_clock.WaitUntil(this, timedFirst ? *m_timed.front().at : deadline,
                      [this] { return !m_pending.empty(); });
    return PollKey(event);
  }
  if (timedFirst) {
    // Nothing but the next timed key can end a wait for ever; when it lies far ahead the clock
    // jumps there instead of stepping through hours of the background's periodic work.
    constexpr uint64_t kJumpBeyondMs = 3600 * 1000;
    const uint64_t at = *m_timed.front().at;
    if (forever && m_plain.empty() && at > now && at - now > kJumpBeyondMs) {
      m_clock.Jump(at - now);
    }
    m_clock.SleepUntil(at);
    return PollKey(event);
  }
  if (forever) {
    // No key is left: the run is over and the terminal stays on its screen.
    m_exhausted = true;
    m_clock.MarkEnded(kUpdaterProcess);
    throw ProcessEnded{};
  }
  m_clock.SleepUntil(deadline);
  return PollKey(event);
}

uint16_t SimGui::GetAsyncKeyState(uint32_t virtualKey) {
  auto& [down, pressed] = m_keyState[virtualKey];
  const uint16_t state = static_cast<uint16_t>((down ? 0x8000 : 0) | (pressed ? 1 : 0));
  pressed = false;
  return state;
}

platform::Handle SimGui::FindWindow(std::string_view className, std::string_view title) {
  if (!title.empty()) return platform::kNullHandle;  // the terminal's windows have no titles
  const ProcessId owner = m_processes.FindWindow(std::string(className));
  if (owner == 0) return platform::kNullHandle;
  return m_processes.WindowOf(owner);
}

intptr_t SimGui::SendMessage(platform::Handle window, uint32_t message, uintptr_t /*wParam*/,
                             intptr_t /*lParam*/) {
  const ProcessId owner = m_processes.OwnerOfWindow(static_cast<uint32_t>(window));
  SimProcess* process = m_processes.Find(owner);
  if (process == nullptr) {
    platform::SetLastError(1400);  // invalid window handle
    return 0;
  }
  return process->OnWindowMessage(message);
}

bool SimGui::RemoveFontResource(std::string_view path) {
  const auto it = std::find_if(m_fonts.begin(), m_fonts.end(), [&](const Font& font) {
    return text::EqualsNoCase(font.path, path);
  });
  if (it == m_fonts.end()) {
    platform::SetLastError(platform::kErrorFileNotFound);
    return false;
  }
  m_files.Close(it->handle);
  m_removedFonts.push_back(it->path);
  m_fonts.erase(it);
  return true;
}

void SimGui::LoadFont(ProcessId owner, const std::string& path, platform::Handle handle) {
  m_fonts.push_back({owner, path, handle});
}

void SimGui::ForgetFontsOf(ProcessId owner) {
  std::erase_if(m_fonts, [owner](const Font& font) { return font.owner == owner; });
}

void SimGui::Present(const platform::ScreenFrame& frame) {
  m_lastFrame = frame;
  std::optional<TraceEntry> entry = TraceEntryOf(frame);
  const uint64_t now = m_clock.Now();
  if (entry) {
    entry->time = now;
    if (m_trace.empty() || !(m_trace.back() == *entry)) m_trace.push_back(*entry);
  }
  // A sink may remove itself.
  const std::vector<std::pair<int, FrameSink>> sinks = m_sinks;
  for (const auto& [id, sink] : sinks) sink(now, frame);
}

int SimGui::AddFrameSink(FrameSink sink) {
  m_sinks.emplace_back(m_nextSink, std::move(sink));
  return m_nextSink++;
}

void SimGui::RemoveFrameSink(int id) {
  std::erase_if(m_sinks, [id](const auto& entry) { return entry.first == id; });
}

std::vector<int> SimGui::Screens() const {
  std::vector<int> screens;
  for (const TraceEntry& entry : m_trace) {
    if (screens.empty() || screens.back() != entry.screen) screens.push_back(entry.screen);
  }
  return screens;
}

}  // namespace sim
