#include "common/interruption.hpp"

#include <utility>

namespace quorvanta {
namespace {

// The state of the innermost call this thread works for. Workers only ever read `stop_requested`
// of theirs; everything else belongs to the calling thread.
thread_local InterruptionState* current_state = nullptr;

const std::function<void()> kNoPoll;

}  // namespace

InterruptionScope::InterruptionScope(std::function<void()> poll) : outer_(current_state) {
  state_.poll = std::move(poll);
  state_.polling_thread = std::this_thread::get_id();
  state_.last_poll = std::chrono::steady_clock::now();
  current_state = &state_;
}

InterruptionScope::~InterruptionScope() { current_state = outer_; }

InterruptionBinding::InterruptionBinding(InterruptionState* state) : outer_(current_state) {
  current_state = state;
}

InterruptionBinding::~InterruptionBinding() { current_state = outer_; }

InterruptionState* current_interruption() { return current_state; }

void check_interruption() {
  InterruptionState* state = current_state;
  if (state == nullptr) return;
  if (state->stop_requested.load(std::memory_order_relaxed)) throw Interrupted{};
  if (!state->poll || std::this_thread::get_id() != state->polling_thread) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - state->last_poll < kPollInterval) return;
  state->last_poll = now;
  state->poll();
}

const std::function<void()>& interruption_poll() {
  return current_state == nullptr ? kNoPoll : current_state->poll;
}

void request_stop() {
  if (current_state != nullptr) current_state->stop_requested = true;
}

}  // namespace quorvanta
