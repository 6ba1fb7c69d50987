// The clock on the host's time, as a window runs it: at a chosen speed, and woken by input from
// outside the simulation. A fault here shows as a wait that never ends (the test's time-out)
// rather than as a measured duration.
#include <gtest/gtest.h>

#include <thread>

#include "sim/scheduler.h"

namespace {

using sim::ClockMode;
using sim::Scheduler;

constexpr sim::ProcessId kProcess = 5;
constexpr uint64_t kTenMinutes = 600000;

TEST(RealtimeClockTest, AtASpeedOfNTheClockRunsNMillisecondsPerHostMillisecond) {
  Scheduler scheduler(ClockMode::kRealtime);
  scheduler.SetSpeed(100000);
  scheduler.AttachMainThread(kProcess);
  // Ten minutes of the terminal's time in a few host milliseconds; at the host's pace this
  // would outlast the test's time limit.
  scheduler.SleepFor(kTenMinutes);
  EXPECT_GE(scheduler.Now(), kTenMinutes);
  scheduler.EndProcess(kProcess);
}

// Every simulated thread waits with nothing due: only a key from the window can end the wait.
TEST(RealtimeClockTest, AnActionPostedFromOutsideEndsAWaitWithNothingDue) {
  Scheduler scheduler(ClockMode::kRealtime);
  scheduler.AttachMainThread(kProcess);
  int channel = 0;
  bool pressed = false;
  std::thread window([&] {
    scheduler.Post([&] {
      pressed = true;
      scheduler.Notify(&channel);
    });
  });
  EXPECT_TRUE(scheduler.WaitUntil(&channel, UINT64_MAX, [&] { return pressed; }));
  window.join();
  scheduler.EndProcess(kProcess);
}

// The power goes while the updater sleeps for ten minutes: it stops at once, and a process that
// still runs keeps its sleep.
TEST(RealtimeClockTest, WakingAnEndedProcessEndsItsSleepAtOnce) {
  Scheduler scheduler(ClockMode::kRealtime);
  scheduler.SetSpeed(10);
  scheduler.AttachMainThread(kProcess);
  bool peerWoken = false;
  scheduler.Spawn(kProcess + 1, [&] {
    scheduler.SleepFor(kTenMinutes);
    peerWoken = true;
  });
  std::thread window([&] {
    scheduler.Post([&] {
      scheduler.WakeThreadsOf(kProcess + 1);  // running: nothing happens to it
      scheduler.MarkEnded(kProcess);
      scheduler.WakeThreadsOf(kProcess);
    });
  });
  EXPECT_THROW(scheduler.SleepFor(kTenMinutes), sim::ProcessEnded);
  EXPECT_LT(scheduler.Now(), kTenMinutes);
  EXPECT_FALSE(peerWoken);
  window.join();
  scheduler.EndProcess(kProcess);
}

}  // namespace
