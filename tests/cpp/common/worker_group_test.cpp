#include "common/worker_group.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace quorvanta {
namespace {

using namespace std::chrono_literals;

TEST(WorkerGroup, BodiesRunOnlyOnceReleasedAndAllAreJoined) {
  std::atomic<int> runs{0};
  {
    WorkerGroup group("test-");
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(group.start([&] { ++runs; }));
    EXPECT_EQ(group.size(), 3u);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(runs.load(), 0) << "a body ran before release";
    group.join();
    EXPECT_EQ(runs.load(), 3);
  }
  EXPECT_EQ(runs.load(), 3);
}

TEST(WorkerGroup, ThreadsNeverReleasedSkipTheirBodies) {
  std::atomic<int> runs{0};
  {
    WorkerGroup group("test-");
    ASSERT_TRUE(group.start([&] { ++runs; }));
  }
  EXPECT_EQ(runs.load(), 0);
}

TEST(WorkerGroup, WaitPollsWhileBodiesRun) {
  std::atomic<bool> finish{false};
  int polls = 0;
  WorkerGroup group("test-");
  ASSERT_TRUE(group.start([&] {
    while (!finish) std::this_thread::sleep_for(1ms);
  }));
  group.wait(
      [&] {
        if (++polls == 3) finish = true;
      },
      5ms);
  EXPECT_GE(polls, 3);
  // Nothing left to wait for: no further poll.
  group.wait([&] { ADD_FAILURE() << "polled after every body returned"; }, 5ms);
}

TEST(WorkerGroup, WhatThePollThrowsEndsTheWaitAndTheDestructorJoins) {
  std::atomic<bool> finish{false};
  std::atomic<bool> body_returned{false};
  {
    WorkerGroup group("test-");
    ASSERT_TRUE(group.start([&] {
      while (!finish) std::this_thread::sleep_for(1ms);
      body_returned = true;
    }));
    EXPECT_THROW(group.wait([] { throw std::runtime_error("stop"); }, 1ms), std::runtime_error);
    EXPECT_FALSE(body_returned.load());
    finish = true;
  }
  EXPECT_TRUE(body_returned.load());
}

TEST(WorkerGroup, WaitWithoutAPollBlocksUntilDone) {
  std::atomic<int> runs{0};
  WorkerGroup group("test-");
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(group.start([&] {
      std::this_thread::sleep_for(10ms);
      ++runs;
    }));
  }
  group.wait({}, 1ms);
  EXPECT_EQ(runs.load(), 2);
}

}  // namespace
}  // namespace quorvanta
