#include "sim/scheduler.h"

#include <algorithm>
#include <exception>
#include <vector>

namespace sim {

namespace {
thread_local uint32_t t_threadId = 0;
thread_local const void* t_scheduler = nullptr;
thread_local int t_actionDepth = 0;
}  // namespace

Scheduler::Scheduler(ClockMode mode)
    : m_mode(mode), m_hostStart(std::chrono::steady_clock::now()) {}

Scheduler::~Scheduler() {
  std::unique_lock lock(m_mutex);
  // Threads still alive belong to processes that nobody ended; end them now.
  for (auto& [id, record] : m_threads) {
    if (!record->finished) m_ended[record->process] = true;
  }
  for (;;) {
    bool alive = false;
    for (auto& [id, record] : m_threads) {
      if (!record->finished && record->thread.joinable()) {
        alive = true;
        record->wakeAt = m_now;
        m_running = id;
        m_wake.notify_all();
        // A structured binding cannot be captured by every compiler the project builds with.
        ThreadRecord* waited = record.get();
        m_wake.wait(lock, [waited] { return waited->finished; });
        break;
      }
    }
    if (!alive) break;
  }
  std::vector<std::thread> threads;
  for (auto& [id, record] : m_threads) {
    if (record->thread.joinable()) threads.push_back(std::move(record->thread));
  }
  lock.unlock();
  for (auto& thread : threads) thread.join();
}

uint64_t Scheduler::Now() const {
  if (m_mode == ClockMode::kRealtime) {
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
                             std::chrono::steady_clock::now() - m_hostStart)
                             .count();
    return static_cast<uint64_t>(elapsed) * m_speed / 1000;
  }
  std::lock_guard lock(m_mutex);
  return m_now;
}

void Scheduler::SetSpeed(uint32_t virtualPerHost) {
  if (virtualPerHost == 0) virtualPerHost = 1;
  const uint64_t now = Now();
  m_speed = virtualPerHost;
  m_hostStart =
      std::chrono::steady_clock::now() - std::chrono::microseconds(now * 1000 / virtualPerHost);
}

std::chrono::steady_clock::time_point Scheduler::HostTimeOf(uint64_t instant) const {
  // Rounded up, so that Now() has reached the instant when the host clock has.
  return m_hostStart + std::chrono::microseconds((instant * 1000 + m_speed - 1) / m_speed);
}

void Scheduler::AttachMainThread(ProcessId process) {
  std::lock_guard lock(m_mutex);
  m_ended[process] = false;
  if (ThreadRecord* self = Self()) {
    // The same host thread runs another process (a second run on one terminal).
    self->process = process;
    m_running = self->id;
    return;
  }
  auto record = std::make_unique<ThreadRecord>();
  record->id = m_nextId++;
  record->process = process;
  t_threadId = record->id;
  t_scheduler = this;
  m_running = record->id;
  m_ended[process] = false;
  m_threads[record->id] = std::move(record);
}

void Scheduler::DetachMainThread() {
  std::lock_guard lock(m_mutex);
  ThreadRecord* self = Self();
  if (self == nullptr) return;
  if (m_running == self->id) m_running = 0;
  m_threads.erase(self->id);
  t_threadId = 0;
  t_scheduler = nullptr;
}

void Scheduler::Spawn(ProcessId process, std::function<void()> body) {
  std::lock_guard lock(m_mutex);
  // A process whose threads have all gone starts afresh when its id is used again.
  const bool alive = std::any_of(m_threads.begin(), m_threads.end(), [process](const auto& entry) {
    return entry.second->process == process && !entry.second->finished;
  });
  if (!alive) m_ended[process] = false;
  auto record = std::make_unique<ThreadRecord>();
  const uint32_t id = m_nextId++;
  record->id = id;
  record->process = process;
  record->blocked = true;
  record->wakeAt = m_now;
  record->order = ++m_order;
  ThreadRecord& ref = *record;
  m_threads[id] = std::move(record);
  ref.thread = std::thread([this, id, body = std::move(body)] { ThreadMain(id, body); });
}

void Scheduler::ThreadMain(uint32_t id, const std::function<void()>& body) {
  t_threadId = id;
  t_scheduler = this;
  {
    std::unique_lock lock(m_mutex);
    m_wake.wait(lock, [&] { return m_running == id; });
    m_threads[id]->blocked = false;
    if (m_ended[m_threads[id]->process]) {
      m_threads[id]->finished = true;
      HandOff(lock);
      m_wake.notify_all();
      return;
    }
  }
  try {
    body();
  } catch (const ProcessEnded&) {
    // The process ended under the thread; it stops here.
  }
  std::unique_lock lock(m_mutex);
  m_threads[id]->finished = true;
  HandOff(lock);
  // Whoever waits for this thread to finish (the end of a process) must hear of it.
  m_wake.notify_all();
}

Scheduler::ThreadRecord* Scheduler::Self() {
  if (t_scheduler != this) return nullptr;
  const auto it = m_threads.find(t_threadId);
  return it == m_threads.end() ? nullptr : it->second.get();
}

std::size_t Scheduler::ThreadCount(ProcessId process) const {
  std::lock_guard lock(m_mutex);
  std::size_t count = 0;
  for (const auto& [id, record] : m_threads) {
    if (record->process == process && !record->finished) ++count;
  }
  return count;
}

bool Scheduler::InAction() { return t_actionDepth > 0; }

ProcessId Scheduler::CurrentProcess() const {
  std::lock_guard lock(m_mutex);
  if (t_scheduler != this) return 0;
  const auto it = m_threads.find(t_threadId);
  return it == m_threads.end() ? 0 : it->second->process;
}

void Scheduler::SleepUntil(uint64_t until) {
  std::unique_lock lock(m_mutex);
  ThreadRecord* self = Self();
  if (self == nullptr) {
    // A host thread outside the simulation (a test's own) just waits for the clock.
    lock.unlock();
    if (m_mode == ClockMode::kRealtime) std::this_thread::sleep_until(HostTimeOf(until));
    return;
  }
  Block(lock, *self, until);
  if (m_ended[self->process] && std::uncaught_exceptions() == 0) throw ProcessEnded{};
}

void Scheduler::Block(std::unique_lock<std::mutex>& lock, ThreadRecord& self, uint64_t until) {
  const uint64_t now = m_mode == ClockMode::kRealtime ? Now() : m_now;
  self.wakeAt = until < now ? now : until;
  self.order = ++m_order;
  self.blocked = true;
  HandOff(lock);
  m_wake.wait(lock, [&] { return m_running == self.id; });
  self.blocked = false;
}

void Scheduler::HandOff(std::unique_lock<std::mutex>& lock) {
  for (;;) {
    ThreadRecord* next = nullptr;
    for (auto& [id, record] : m_threads) {
      if (!record->blocked || record->finished) continue;
      if (next == nullptr ||
          std::pair(record->wakeAt, record->order) < std::pair(next->wakeAt, next->order)) {
        next = record.get();
      }
    }
    if (!m_actions.empty() && (next == nullptr || m_actions.begin()->first.first <= next->wakeAt)) {
      if (!AdvanceTo(lock, m_actions.begin()->first.first)) continue;
      auto node = m_actions.extract(m_actions.begin());
      lock.unlock();
      ++t_actionDepth;
      node.mapped()();
      --t_actionDepth;
      lock.lock();
      continue;
    }
    if (next == nullptr) {
      m_running = 0;
      return;
    }
    if (!AdvanceTo(lock, next->wakeAt)) continue;
    m_running = next->id;
    // A thread that keeps the baton wakes nobody: thousands of short waits in a row (serial
    // writes) would otherwise cost a host thread switch each for every sleeping thread.
    if (next != Self()) m_wake.notify_all();
    return;
  }
}

bool Scheduler::AdvanceTo(std::unique_lock<std::mutex>& lock, uint64_t instant) {
  // Further away than any run lasts: a wait with nothing due, which only input ends.
  constexpr uint64_t kForever = uint64_t{1} << 50;
  if (m_mode == ClockMode::kRealtime && Now() < instant) {
    const uint64_t seen = m_interrupts;
    const auto interrupted = [&] { return m_interrupts != seen; };
    if (instant >= kForever) {
      m_hostInput.wait(lock, interrupted);
    } else {
      m_hostInput.wait_until(lock, HostTimeOf(instant), interrupted);
    }
    return false;
  }
  if (instant > m_now) m_now = instant;
  return true;
}

void Scheduler::Interrupt() {
  ++m_interrupts;
  m_hostInput.notify_all();
}

void Scheduler::Post(std::function<void()> action) {
  std::lock_guard lock(m_mutex);
  m_actions.emplace(std::pair(m_now, ++m_order), std::move(action));
  Interrupt();
}

void Scheduler::At(uint64_t when, std::function<void()> action) {
  std::lock_guard lock(m_mutex);
  m_actions.emplace(std::pair(when, ++m_order), std::move(action));
}

void Scheduler::Jump(uint64_t milliseconds) {
  std::lock_guard lock(m_mutex);
  if (m_mode == ClockMode::kRealtime) return;
  const auto later = [milliseconds](uint64_t instant) {
    return instant > UINT64_MAX - milliseconds ? UINT64_MAX : instant + milliseconds;
  };
  m_now = later(m_now);
  for (auto& [id, record] : m_threads) {
    if (record->blocked && !record->finished) record->wakeAt = later(record->wakeAt);
  }
  decltype(m_actions) moved;
  for (auto& [key, action] : m_actions) {
    moved.emplace(std::pair(later(key.first), key.second), std::move(action));
  }
  m_actions = std::move(moved);
}

bool Scheduler::WaitUntil(const void* channel, uint64_t deadline,
                          const std::function<bool()>& ready) {
  for (;;) {
    if (ready()) return true;
    std::unique_lock lock(m_mutex);
    ThreadRecord* self = Self();
    const uint64_t now = m_mode == ClockMode::kRealtime ? Now() : m_now;
    if (self == nullptr || now >= deadline) return false;
    self->channel = channel;
    Block(lock, *self, deadline);
    self->channel = nullptr;
    if (m_ended[self->process] && std::uncaught_exceptions() == 0) throw ProcessEnded{};
  }
}

void Scheduler::Notify(const void* channel) {
  std::lock_guard lock(m_mutex);
  const uint64_t now = m_mode == ClockMode::kRealtime ? Now() : m_now;
  for (auto& [id, record] : m_threads) {
    if (record->channel != channel || !record->blocked || record->finished) continue;
    if (record->wakeAt > now) record->wakeAt = now;
    record->order = ++m_order;
  }
  Interrupt();
}

void Scheduler::MarkEnded(ProcessId process) {
  std::lock_guard lock(m_mutex);
  m_ended[process] = true;
}

void Scheduler::WakeThreadsOf(ProcessId process) {
  std::lock_guard lock(m_mutex);
  if (!m_ended[process]) return;
  const uint64_t now = m_mode == ClockMode::kRealtime ? Now() : m_now;
  for (auto& [id, record] : m_threads) {
    if (record->process != process || !record->blocked || record->finished) continue;
    if (record->wakeAt > now) record->wakeAt = now;
    record->order = ++m_order;
  }
  Interrupt();
}

bool Scheduler::HasEnded(ProcessId process) const {
  std::lock_guard lock(m_mutex);
  const auto it = m_ended.find(process);
  return it != m_ended.end() && it->second;
}

void Scheduler::EndProcess(ProcessId process) {
  std::unique_lock lock(m_mutex);
  m_ended[process] = true;
  ThreadRecord* self = Self();
  for (;;) {
    ThreadRecord* other = nullptr;
    for (auto& [id, record] : m_threads) {
      if (record.get() != self && record->process == process && !record->finished) {
        other = record.get();
        break;
      }
    }
    if (other == nullptr) break;
    if (self == nullptr) break;
    // Wake the thread at once so that it unwinds, and wait for the baton to come back.
    other->wakeAt = m_mode == ClockMode::kRealtime ? Now() : m_now;
    other->order = 0;
    Block(lock, *self, other->wakeAt);
  }
  std::vector<std::thread> threads;
  for (auto it = m_threads.begin(); it != m_threads.end();) {
    ThreadRecord& record = *it->second;
    if (record.process == process && record.finished) {
      if (record.thread.joinable()) threads.push_back(std::move(record.thread));
      it = m_threads.erase(it);
    } else {
      ++it;
    }
  }
  if (self != nullptr && self->process == process) {
    // The main thread stays the running thread of the simulation after its process ended.
    self->finished = false;
  }
  lock.unlock();
  for (auto& thread : threads) thread.join();
}

}  // namespace sim
