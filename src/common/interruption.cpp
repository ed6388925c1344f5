#include "common/interruption.hpp"

#include <atomic>
#include <thread>
#include <utility>

namespace quorvanta {
namespace {

// One call at a time runs in the process (the caller holds the interpreter lock throughout), so
// the installed poll is process-wide state. Workers only ever read `stop_requested`.
std::function<void()> installed_poll;
std::thread::id polling_thread;
std::chrono::steady_clock::time_point last_poll;
std::atomic<bool> stop_requested{false};

}  // namespace

InterruptionScope::InterruptionScope(std::function<void()> poll)
    : outer_poll_(std::move(installed_poll)),
      outer_thread_(polling_thread),
      outer_last_poll_(last_poll),
      outer_stop_(stop_requested.load()) {
  installed_poll = std::move(poll);
  polling_thread = std::this_thread::get_id();
  last_poll = std::chrono::steady_clock::now();
  stop_requested = false;
}

InterruptionScope::~InterruptionScope() {
  installed_poll = std::move(outer_poll_);
  polling_thread = outer_thread_;
  last_poll = outer_last_poll_;
  stop_requested = outer_stop_;
}

void check_interruption() {
  if (stop_requested.load(std::memory_order_relaxed)) throw Interrupted{};
  if (!installed_poll || std::this_thread::get_id() != polling_thread) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - last_poll < kPollInterval) return;
  last_poll = now;
  installed_poll();
}

const std::function<void()>& interruption_poll() {
  return installed_poll;
}

void request_stop() {
  stop_requested = true;
}

}  // namespace quorvanta
