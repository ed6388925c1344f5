#include "common/interruption.hpp"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace quorvanta
