#include "sim/scheduler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using sim::ClockMode;
using sim::Scheduler;

constexpr sim::ProcessId kProcess = 5;

TEST(SchedulerTest, VirtualTimeMovesOnlyWhenTheThreadSleeps) {
  Scheduler scheduler(ClockMode::kVirtual);
  scheduler.AttachMainThread(kProcess);
  EXPECT_EQ(scheduler.Now(), 0U);
  scheduler.SleepFor(22000);
  EXPECT_EQ(scheduler.Now(), 22000U);
  scheduler.SleepUntil(100);  // an instant in the past does not turn the clock back
  EXPECT_EQ(scheduler.Now(), 22000U);
  scheduler.EndProcess(kProcess);
}

TEST(SchedulerTest, ThreadsTakeTurnsInTheOrderTheirWakeUpsFallDue) {
  Scheduler scheduler(ClockMode::kVirtual);
  scheduler.AttachMainThread(kProcess);
  std::vector<std::string> events;
  scheduler.Spawn(kProcess, [&] {
    for (int i = 0; i < 3; ++i) {
      events.push_back("worker@" + std::to_string(scheduler.Now()));
      scheduler.SleepFor(150);
    }
  });
  for (int i = 0; i < 3; ++i) {
    events.push_back("main@" + std::to_string(scheduler.Now()));
    scheduler.SleepFor(100);
  }
  scheduler.EndProcess(kProcess);
  // The worker starts when the main thread first blocks; ties go to the earlier sleeper.
  const std::vector<std::string> expected = {"main@0",     "worker@0", "main@100",
                                             "worker@150", "main@200", "worker@300"};
  EXPECT_EQ(events, expected);
}

TEST(SchedulerTest, ActionsRunAtTheirInstantsBetweenThreads) {
  Scheduler scheduler(ClockMode::kVirtual);
  scheduler.AttachMainThread(kProcess);
  std::vector<uint64_t> seen;
  scheduler.At(250, [&] { seen.push_back(scheduler.Now()); });
  scheduler.At(50, [&] {
    seen.push_back(scheduler.Now());
    scheduler.At(60, [&] { seen.push_back(scheduler.Now()); });
  });
  scheduler.SleepFor(100);
  EXPECT_EQ(seen, (std::vector<uint64_t>{50, 60}));
  scheduler.SleepFor(1000);
  EXPECT_EQ(seen, (std::vector<uint64_t>{50, 60, 250}));
  EXPECT_EQ(scheduler.Now(), 1100U);
  scheduler.EndProcess(kProcess);
}

TEST(SchedulerTest, EndingAProcessUnwindsItsSleepingThreads) {
  Scheduler scheduler(ClockMode::kVirtual);
  scheduler.AttachMainThread(kProcess);
  int iterations = 0;
  bool unwound = false;
  scheduler.Spawn(kProcess, [&] {
    struct Guard {
      bool& flag;
      ~Guard() { flag = true; }
    } guard{unwound};
    for (;;) {
      ++iterations;
      scheduler.SleepFor(100);
    }
  });
  scheduler.SleepFor(1000);
  EXPECT_EQ(iterations, 10);
  scheduler.EndProcess(kProcess);
  EXPECT_TRUE(unwound);
  EXPECT_EQ(iterations, 10);
  EXPECT_TRUE(scheduler.HasEnded(kProcess));
}

TEST(SchedulerTest, ASleepAfterTheProcessEndedThrows) {
  Scheduler scheduler(ClockMode::kVirtual);
  scheduler.AttachMainThread(kProcess);
  scheduler.MarkEnded(kProcess);
  EXPECT_THROW(scheduler.SleepFor(10), sim::ProcessEnded);
  scheduler.EndProcess(kProcess);
  // Attaching starts the process afresh.
  scheduler.AttachMainThread(kProcess);
  EXPECT_NO_THROW(scheduler.SleepFor(10));
  scheduler.EndProcess(kProcess);
}

TEST(SchedulerTest, AThreadThatNeverRanEndsCleanly) {
  Scheduler scheduler(ClockMode::kVirtual);
  scheduler.AttachMainThread(kProcess);
  bool ran = false;
  scheduler.Spawn(kProcess, [&] { ran = true; });
  scheduler.EndProcess(kProcess);
  EXPECT_FALSE(ran);
}

TEST(SchedulerTest, ThreadsOfOtherProcessesOutliveAnEndedOne) {
  Scheduler scheduler(ClockMode::kVirtual);
  scheduler.AttachMainThread(kProcess);
  int peerTicks = 0;
  scheduler.Spawn(kProcess + 1, [&] {
    for (;;) {
      ++peerTicks;
      scheduler.SleepFor(500);
    }
  });
  scheduler.SleepFor(1000);
  scheduler.EndProcess(kProcess);
  scheduler.AttachMainThread(kProcess);
  scheduler.SleepFor(1000);
  // At 0, 500, 1000 and 1500: the peer went on after the process ended. Its turn at 2000 comes
  // after the main thread's, which went to sleep first.
  EXPECT_EQ(peerTicks, 4);
  scheduler.EndProcess(kProcess);
  // The scheduler's destruction ends the peer.
}

// A reader waits for bytes that a peer delivers: the wait ends at the delivery when it comes
// before the deadline, at the deadline when nothing comes, and a notice without data does not
// end it early.
TEST(SchedulerTest, AWaitEndsWhenDataArriveOrAtItsDeadline) {
  Scheduler scheduler(ClockMode::kVirtual);
  scheduler.AttachMainThread(kProcess);
  int channel = 0;
  int bytes = 0;
  const auto ready = [&] { return bytes > 0; };

  scheduler.At(30, [&] {
    bytes = 3;
    scheduler.Notify(&channel);
  });
  EXPECT_TRUE(scheduler.WaitUntil(&channel, 2000, ready));
  EXPECT_EQ(scheduler.Now(), 30U);

  bytes = 0;
  scheduler.At(100, [&] { scheduler.Notify(&channel); });  // a notice, but nothing arrived
  scheduler.At(150, [&] { bytes = 1; });                    // data without a notice
  EXPECT_FALSE(scheduler.WaitUntil(&channel, 130, ready));
  EXPECT_EQ(scheduler.Now(), 130U);

  // Data already there: no wait at all.
  scheduler.SleepFor(70);
  EXPECT_TRUE(scheduler.WaitUntil(&channel, 5000, ready));
  EXPECT_EQ(scheduler.Now(), 200U);
  scheduler.EndProcess(kProcess);
}

TEST(SchedulerTest, AThreadOfAnotherProcessCanEndAWait) {
  Scheduler scheduler(ClockMode::kVirtual);
  scheduler.AttachMainThread(kProcess);
  int channel = 0;
  bool sent = false;
  scheduler.Spawn(kProcess + 1, [&] {
    scheduler.SleepFor(700);
    sent = true;
    scheduler.Notify(&channel);
    scheduler.SleepFor(10000);
  });
  EXPECT_TRUE(scheduler.WaitUntil(&channel, 2000, [&] { return sent; }));
  EXPECT_EQ(scheduler.Now(), 700U);
  scheduler.EndProcess(kProcess);
}

}  // namespace
