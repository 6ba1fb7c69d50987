// Time and threads of the simulated terminal.
//
// Exactly one simulated thread runs at a time: the one holding the baton. A thread gives the
// baton away only when it blocks (sleeps or waits); the scheduler then hands it to the thread
// whose wake-up is due first, running the peers' timed actions in between. In virtual time the
// clock jumps to the next due instant, so waits cost no host time and every run with the same
// inputs takes the same course. In real time the scheduler waits on the host clock instead (at a
// chosen speed), and input from outside the simulation (a window's keys) cuts that wait short.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "sim/file_system.h"

namespace sim {

// Thrown inside a simulated process's threads when the process ends abruptly (a reboot, or the
// end of a run while the updater waits for a key). The simulator catches it where the thread
// began; nothing after it runs, as on the terminal.
struct ProcessEnded {};

enum class ClockMode { kVirtual, kRealtime };

class Scheduler {
 public:
  explicit Scheduler(ClockMode mode);
  ~Scheduler();
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  ClockMode Mode() const { return m_mode; }
  // Milliseconds since the terminal started.
  uint64_t Now() const;
  // In real time: the clock runs `virtualPerHost` milliseconds per host millisecond from now on
  // (1 by default). Call it before any simulated thread runs; Now() goes on from where it is.
  void SetSpeed(uint32_t virtualPerHost);
  uint32_t Speed() const { return m_speed; }

  // Makes the calling thread the running main thread of a process.
  void AttachMainThread(ProcessId process);
  // The calling thread, a main thread whose process has ended (EndProcess), leaves the
  // simulation before the host thread ends, so that a later run may attach another one.
  void DetachMainThread();
  // Starts a thread of a process; it first runs when the running thread blocks. A process that
  // has no thread left (it ended) starts again.
  void Spawn(ProcessId process, std::function<void()> body);
  // Blocks the calling thread until the instant `until`; other threads and due actions run
  // meanwhile. Throws ProcessEnded when the thread's process has ended.
  void SleepUntil(uint64_t until);
  void SleepFor(uint64_t milliseconds) { SleepUntil(Now() + milliseconds); }
  // Runs an action at an instant, on whichever thread brings the clock there.
  void At(uint64_t when, std::function<void()> action);
  // In virtual time: moves the clock forward by `milliseconds` at once, as if the terminal had
  // been paused meanwhile: every wake-up and action still due keeps its distance from now. For
  // a wait so far away that stepping through the background's periodic work would take hours.
  // Does nothing in real time.
  void Jump(uint64_t milliseconds);

  // Blocks the calling thread until `ready` holds or the instant `deadline` passes, whichever
  // comes first: what a serial read does while it waits for bytes. `ready` is asked at once and
  // again whenever the channel (any address that both sides agree on) is notified; other
  // threads and due actions run meanwhile. Returns what `ready` answered last. Throws
  // ProcessEnded when the thread's process has ended.
  bool WaitUntil(const void* channel, uint64_t deadline, const std::function<bool()>& ready);
  // Wakes the threads that wait on the channel; they run, at the current instant, once the
  // calling thread blocks.
  void Notify(const void* channel);

  // From a host thread outside the simulation (a window): runs the action on the simulation's
  // side at the current instant, as soon as a simulated thread blocks, even when every thread
  // waits with nothing due (in real time such a wait ends at once).
  void Post(std::function<void()> action);

  // Marks a process as ended: its threads end at their next blocking call.
  void MarkEnded(ProcessId process);
  // Ends the waits of an ended process at once, so that its threads unwind now instead of at
  // their wake-up times (the power went while the updater slept). Does nothing to a process that
  // has not ended.
  void WakeThreadsOf(ProcessId process);
  bool HasEnded(ProcessId process) const;
  // Ends a process from its main thread (after it returned or was cut off): every other thread
  // of it is run until it has unwound, then joined.
  void EndProcess(ProcessId process);
  // Threads of a process that have not finished, its main thread included.
  std::size_t ThreadCount(ProcessId process) const;
  // The process of the calling thread (0 for a thread the scheduler does not know).
  ProcessId CurrentProcess() const;
  // True while the calling thread runs a timed action (which must not unwind its thread).
  static bool InAction();

 private:
  struct ThreadRecord {
    uint32_t id = 0;
    ProcessId process = 0;
    uint64_t wakeAt = 0;
    uint64_t order = 0;
    bool blocked = false;
    bool finished = false;
    const void* channel = nullptr;  // what the thread waits on besides its wake-up time
    std::thread thread;
  };

  void Block(std::unique_lock<std::mutex>& lock, ThreadRecord& self, uint64_t until);
  // Hands the baton on: runs due actions, then wakes the thread due first.
  void HandOff(std::unique_lock<std::mutex>& lock);
  // Moves the clock to the instant and returns true when it has come. In real time a wait on the
  // host clock comes first and returns false: input from outside may have changed what is due.
  bool AdvanceTo(std::unique_lock<std::mutex>& lock, uint64_t instant);
  // The host clock's time at which Now() reaches the instant.
  std::chrono::steady_clock::time_point HostTimeOf(uint64_t instant) const;
  // Lets a wait on the host clock decide afresh; m_mutex held.
  void Interrupt();
  ThreadRecord* Self();
  void ThreadMain(uint32_t id, const std::function<void()>& body);

  ClockMode m_mode;
  std::chrono::steady_clock::time_point m_hostStart;
  uint32_t m_speed = 1;
  mutable std::mutex m_mutex;
  std::condition_variable m_wake;
  // Wakes a wait on the host clock when input arrives from outside the simulation.
  std::condition_variable m_hostInput;
  uint64_t m_interrupts = 0;
  uint64_t m_now = 0;
  uint64_t m_order = 0;
  uint32_t m_nextId = 1;
  uint32_t m_running = 0;
  std::map<uint32_t, std::unique_ptr<ThreadRecord>> m_threads;
  std::multimap<std::pair<uint64_t, uint64_t>, std::function<void()>> m_actions;
  std::map<ProcessId, bool> m_ended;
};

}  // namespace sim
