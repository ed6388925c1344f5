#include "forest/worker_threads.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <stdexcept>
#include <string>

#include "common/fault.hpp"
#include "common/interruption.hpp"
#include "fault_message.hpp"

namespace quorvanta {
namespace {

using testing::fault_message;

TEST(WorkerThreads, EveryTaskRunsOnItsOwnThread) {
  std::atomic<int> sum{0};
  run_on_worker_threads(4, [&](std::size_t i) { sum += static_cast<int>(i) + 1; });
  EXPECT_EQ(sum.load(), 10);
}

// Out of memory stays out of memory, whichever worker ran out; the first failed worker in start
// order decides the outcome.
TEST(WorkerThreads, FailuresReachTheCallerInStartOrder) {
  EXPECT_THROW(run_on_worker_threads(3,
                                     [](std::size_t i) {
                                       if (i == 1) throw std::bad_alloc();
                                       if (i == 2) fail("later");
                                     }),
               std::bad_alloc);
  EXPECT_EQ(fault_message([] {
              run_on_worker_threads(3, [](std::size_t i) {
                if (i >= 1) fail(i == 1 ? std::string("first\0kept", 10) : "second");
              });
            }),
            std::string(kErrValuePrefix) + std::string("first\0kept", 10));
  EXPECT_EQ(fault_message([] {
              run_on_worker_threads(2, [](std::size_t) { throw std::runtime_error("other"); });
            }),
            std::string(kErrValuePrefix) + "other");
}

// Workers that check for interruption stop once the caller's poll throws, and the poll's exception
// is what the caller gets, not the workers' way of stopping.
TEST(WorkerThreads, APollThatThrowsStopsEveryWorker) {
  struct Stop {};
  std::atomic<int> stopped{0};
  int polls = 0;
  const InterruptionScope scope([&] {
    if (++polls == 2) throw Stop{};
  });
  EXPECT_THROW(run_on_worker_threads(3,
                                     [&](std::size_t) {
                                       try {
                                         while (true) check_interruption();
                                       } catch (const Interrupted&) {
                                         ++stopped;
                                         throw;
                                       }
                                     }),
               Stop);
  EXPECT_EQ(stopped.load(), 3);
  EXPECT_EQ(polls, 2);
}

}  // namespace
}  // namespace quorvanta
