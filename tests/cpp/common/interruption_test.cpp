#include "common/interruption.hpp"
#include "common/worker_group.hpp"

#include <gtest/gtest.h>

#include <atomic>
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
    std::thread([&, state = current_interruption()] {
      const InterruptionBinding binding(state);
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

// A call made inside another (a signal handler that runs a second fit while the first one's
// workers go on) and stopped there must not stop the outer call's workers.
TEST(Interruption, ANestedCallsStopStaysItsOwn) {
  const InterruptionScope outer([] {});
  std::atomic<bool> inner_stopped{false};
  std::atomic<bool> outer_worker_stopped{false};
  WorkerGroup workers("test-");
  ASSERT_TRUE(workers.start([&] {
    while (!inner_stopped) std::this_thread::yield();
    try {
      check_interruption();
    } catch (const Interrupted&) {
      outer_worker_stopped = true;
    }
  }));
  workers.release();
  {
    const InterruptionScope inner([] {});
    WorkerGroup inner_workers("inner-");
    bool inner_worker_stopped = false;
    ASSERT_TRUE(inner_workers.start([&] {
      try {
        check_interruption();
      } catch (const Interrupted&) {
        inner_worker_stopped = true;
      }
    }));
    request_stop();
    inner_workers.join();
    EXPECT_TRUE(inner_worker_stopped);
  }
  inner_stopped = true;
  workers.join();
  EXPECT_FALSE(outer_worker_stopped);
  EXPECT_NO_THROW(check_interruption());
}

}  // namespace
}  // namespace quorvanta
