// Stopping a long call (fit, predict) from outside, such as on Ctrl-C.
//
// The caller opens an InterruptionScope around the call with a poll that throws when the call must
// stop. Growing and routing call check_interruption() at every tree and node. On the calling thread
// that runs the poll once kPollInterval has passed since the last run; when worker threads do the
// work, the calling thread runs the poll while it waits for them (run_on_worker_threads), and when
// the poll throws it requests a stop, which makes check_interruption() throw Interrupted on every
// worker at its next tree or node. Either way the poll's exception is what the caller sees.
//
// Each scope owns its stop state: a call nested inside another (a signal handler that runs a fit
// while the outer call's workers go on) stops only its own workers.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <thread>

namespace quorvanta {

// Half the 100 ms within which a pending interrupt must be noticed, so that a tree or node that
// ends just after a poll still leaves room.
inline constexpr std::chrono::milliseconds kPollInterval{50};

// Thrown on worker threads once a stop was requested. It ends the worker's work; the caller gets
// the poll's exception instead.
struct Interrupted {};

// The stop state of one call, shared by the calling thread and the workers it starts.
struct InterruptionState {
  std::function<void()> poll;
  std::thread::id polling_thread;
  std::chrono::steady_clock::time_point last_poll;
  std::atomic<bool> stop_requested{false};
};

class InterruptionScope {
 public:
  // Installs `poll` for the calling thread until the scope ends (scopes nest).
  explicit InterruptionScope(std::function<void()> poll);
  ~InterruptionScope();
  InterruptionScope(const InterruptionScope&) = delete;
  InterruptionScope& operator=(const InterruptionScope&) = delete;

 private:
  InterruptionState state_;
  InterruptionState* outer_;  // the enclosing scope's state on this thread, restored at the end
};

// Makes a worker thread answer to the stop state of the call that started it, for its lifetime.
class InterruptionBinding {
 public:
  explicit InterruptionBinding(InterruptionState* state);
  ~InterruptionBinding();
  InterruptionBinding(const InterruptionBinding&) = delete;
  InterruptionBinding& operator=(const InterruptionBinding&) = delete;

 private:
  InterruptionState* outer_;
};

// The stop state this thread answers to, null outside any scope; for starting workers.
InterruptionState* current_interruption();

// At a tree or node boundary: throws Interrupted when a stop was requested; on the thread that
// installed the poll, runs the poll when it is due (its exception propagates).
void check_interruption();

// Cells a long loop handles between two checks: well under a millisecond of work, yet few checks.
inline constexpr std::size_t kCellsPerCheck = std::size_t{1} << 18;

// Runs body(begin, end) over [0, n) in pieces of `per_check` items, checking for an interruption
// before each, so that a loop over millions of cells answers without a check per cell.
template <class Body>
void in_checked_pieces(std::size_t n, Body&& body, std::size_t per_check = kCellsPerCheck) {
  for (std::size_t begin = 0; begin < n; begin += per_check) {
    check_interruption();
    body(begin, std::min(n, begin + per_check));
  }
}

// The installed poll, empty outside any scope; for the calling thread while workers run.
const std::function<void()>& interruption_poll();

// Asks every worker of the current call to stop at its next tree or node.
void request_stop();

}  // namespace quorvanta
