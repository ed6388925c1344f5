#include "common/interruption.hpp"

#include "common/worker_group.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace quorvanta {
namespace {

struct Stop {};

TEST(Interruption, NothingHappensOutsideAScope) {
  EXPECT_FALSE(interruption_poll());
  EXPECT_NO_THROW(check_interruption());
}

TEST(Interruption, TheCallingThreadPollsOnceTheIntervalHasPassed) {
  int polls = 0;
  const InterruptionScope scope([&] { ++polls; });
  check_interruption();
  EXPECT_EQ(polls, 0) << "polled before the interval passed";
  std::this_thread::sleep_for(kPollInterval + std::chrono::milliseconds(5));
  check_interruption();
  check_interruption();
  EXPECT_EQ(polls, 1);
  // Other threads never run the poll.
  std::thread([&] {
    std::this_thread::sleep_for(kPollInterval + std::chrono::milliseconds(5));
    check_interruption();
  }).join();
  EXPECT_EQ(polls, 1);
}

TEST(Interruption, ThePollsExceptionPropagates) {
  const InterruptionScope scope([] { throw Stop{}; });
  std::this_thread::sleep_for(kPollInterval + std::chrono::milliseconds(5));
  EXPECT_THROW(check_interruption(), Stop);
}

TEST(Interruption, AStopRequestReachesEveryThreadUntilTheScopeEnds) {
  {
    const InterruptionScope scope([] {});
    request_stop();
    EXPECT_THROW(check_interruption(), Interrupted);
    bool thrown = false;
    std::thread([&] {
      try {
        check_interruption();
      } catch (const Interrupted&) {
        thrown = true;
      }
    }).join();
    EXPECT_TRUE(thrown);
    {
      const InterruptionScope inner([] {});
      EXPECT_NO_THROW(check_interruption()) << "a new call starts without a stop";
    }
    EXPECT_THROW(check_interruption(), Interrupted) << "the outer call's stop is restored";
  }
  EXPECT_NO_THROW(check_interruption());
}

TEST(Interruption, ANestedCallsStopLeavesTheEnclosingCallsWorkersRunning) {
  const InterruptionScope outer([] {});
  WorkerGroup workers("test-");
  std::atomic<bool> nested_done{false};
  std::atomic<bool> outer_worker_stopped{false};
  ASSERT_TRUE(workers.start([&] {
    while (!nested_done) std::this_thread::yield();
    try {
      check_interruption();
    } catch (const Interrupted&) {
      outer_worker_stopped = true;
    }
  }));
  workers.release();
  {
    // As a signal handler would: another call opens its scope and is stopped.
    const InterruptionScope nested([] {});
    request_stop();
    EXPECT_THROW(check_interruption(), Interrupted);
    nested_done = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  workers.join();
  EXPECT_FALSE(outer_worker_stopped);
  EXPECT_NO_THROW(check_interruption());
}

}  // namespace
}  // namespace quorvanta
