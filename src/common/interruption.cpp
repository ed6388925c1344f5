#include "common/interruption.hpp"

#include <thread>
#include <utility>

namespace quorvanta {

struct ScopeAccess {
  static std::atomic<bool>* stop(InterruptionScope& scope) { return &scope.stop_; }
  static bool polls_here(const InterruptionScope& scope) {
    return scope.poll_ && std::this_thread::get_id() == scope.thread_;
  }
  static void poll_when_due(InterruptionScope& scope) {
    const auto now = std::chrono::steady_clock::now();
    if (now - scope.last_poll_ < kPollInterval) return;
    scope.last_poll_ = now;
    scope.poll_();
  }
  static const std::function<void()>& poll(const InterruptionScope& scope) { return scope.poll_; }
  static InterruptionScope* outer(const InterruptionScope& scope) { return scope.outer_; }
};

namespace {

// The innermost open scope. Only the calling thread (which holds the interpreter lock) opens and
// closes scopes; other threads read the pointer to find the stop state of the call they serve.
std::atomic<InterruptionScope*> innermost{nullptr};

// The stop state a worker thread follows: that of the call that started it, not whichever call
// happens to be innermost later (a nested call in a signal handler has its own).
thread_local std::atomic<bool>* followed_stop = nullptr;

std::atomic<bool>* stop_seen_here() {
  if (followed_stop) return followed_stop;
  InterruptionScope* scope = innermost.load(std::memory_order_acquire);
  return scope ? ScopeAccess::stop(*scope) : nullptr;
}

}  // namespace

InterruptionScope::InterruptionScope(std::function<void()> poll)
    : poll_(std::move(poll)),
      thread_(std::this_thread::get_id()),
      last_poll_(std::chrono::steady_clock::now()),
      outer_(innermost.load()) {
  innermost.store(this, std::memory_order_release);
}

InterruptionScope::~InterruptionScope() {
  innermost.store(ScopeAccess::outer(*this), std::memory_order_release);
}

void check_interruption() {
  const std::atomic<bool>* stop = stop_seen_here();
  if (stop && stop->load(std::memory_order_relaxed)) throw Interrupted{};
  InterruptionScope* scope = innermost.load(std::memory_order_acquire);
  if (followed_stop || !scope || !ScopeAccess::polls_here(*scope)) return;
  ScopeAccess::poll_when_due(*scope);
}

const std::function<void()>& interruption_poll() {
  static const std::function<void()> none;
  InterruptionScope* scope = innermost.load(std::memory_order_acquire);
  if (followed_stop || !scope || !ScopeAccess::polls_here(*scope)) return none;
  return ScopeAccess::poll(*scope);
}

void request_stop() {
  if (std::atomic<bool>* stop = stop_seen_here()) stop->store(true);
}

StopState current_stop_state() {
  return stop_seen_here();
}

void follow_stop_state(StopState state) {
  followed_stop = state;
}

}  // namespace quorvanta
