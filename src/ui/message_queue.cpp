#include "ui/message_queue.h"

#include <algorithm>
#include <deque>
#include <vector>

#include "platform/platform.h"

namespace ui {

namespace {

struct Timer {
  Window* window;
  uint32_t id;
  uint32_t period;
  uint32_t due;  // tick count
};

struct FrameworkState {
  std::deque<Message> queue;
  std::vector<Timer> timers;
};

FrameworkState& State() {
  static FrameworkState state;
  return state;
}

bool IsDue(uint32_t due, uint32_t now) { return static_cast<int32_t>(due - now) <= 0; }

// Takes the key events that the platform has ready into the queue.
void CollectKeys() {
  platform::KeyEvent event;
  while (platform::Ui().PollKey(&event)) {
    const uint32_t kind = event.kind == platform::KeyEvent::Kind::kDown ? kWmKeyDown : kWmKeyUp;
    State().queue.push_back({nullptr, kind, event.virtualKey, 0});
  }
}

// Milliseconds until the next timer is due (0 when one is due), or kInfinite without timers.
uint32_t TimeToNextTimer() {
  auto& timers = State().timers;
  if (timers.empty()) return platform::kInfinite;
  const uint32_t now = platform::Kern().GetTickCount();
  uint32_t best = platform::kInfinite;
  for (const Timer& timer : timers) {
    const uint32_t wait = IsDue(timer.due, now) ? 0 : timer.due - now;
    best = std::min(best, wait);
  }
  return best;
}

}  // namespace

void PostMessage(const Message& message) { State().queue.push_back(message); }

bool PeekMessage(Message* message) {
  auto& state = State();
  CollectKeys();
  if (!state.queue.empty()) {
    *message = state.queue.front();
    state.queue.pop_front();
    return true;
  }
  // A timer's message is made only when nothing else waits, one per period.
  const uint32_t now = platform::Kern().GetTickCount();
  for (Timer& timer : state.timers) {
    if (IsDue(timer.due, now)) {
      timer.due = now + timer.period;
      *message = {timer.window, kWmTimer, timer.id, 0};
      return true;
    }
  }
  return false;
}

void GetMessage(Message* message) {
  while (!PeekMessage(message)) WaitMessage(platform::kInfinite);
}

void WaitMessage(uint32_t timeoutMs) {
  auto& state = State();
  CollectKeys();
  if (!state.queue.empty()) return;
  const uint32_t wait = std::min(timeoutMs, TimeToNextTimer());
  if (wait == 0) return;
  platform::KeyEvent event;
  if (platform::Ui().WaitKey(wait, &event)) {
    const uint32_t kind = event.kind == platform::KeyEvent::Kind::kDown ? kWmKeyDown : kWmKeyUp;
    state.queue.push_back({nullptr, kind, event.virtualKey, 0});
  }
}

uint32_t SetTimer(Window* window, uint32_t timerId, uint32_t elapseMs) {
  auto& timers = State().timers;
  const uint32_t due = platform::Kern().GetTickCount() + elapseMs;
  for (Timer& timer : timers) {
    if (timer.window == window && timer.id == timerId) {
      timer.period = elapseMs;
      timer.due = due;
      return timerId;
    }
  }
  timers.push_back({window, timerId, elapseMs, due});
  return timerId;
}

bool KillTimer(Window* window, uint32_t timerId) {
  auto& timers = State().timers;
  const auto it = std::find_if(timers.begin(), timers.end(), [&](const Timer& t) {
    return t.window == window && t.id == timerId;
  });
  if (it == timers.end()) return false;
  timers.erase(it);
  return true;
}

void KillTimersOf(Window* window) {
  auto& timers = State().timers;
  timers.erase(std::remove_if(timers.begin(), timers.end(),
                              [&](const Timer& t) { return t.window == window; }),
               timers.end());
}

void DropWaitingMessages() { State().queue.clear(); }

}  // namespace ui
