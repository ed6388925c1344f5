// Stopping a long call (fit, predict) from outside, such as on Ctrl-C.
//
// The caller opens an InterruptionScope around the call with a poll that throws when the call must
// stop. Loading, growing and routing call check_interruption() at every tree and node and every
// kItemsPerCheck items of a long loop. On the calling thread that runs the poll once kPollInterval
// has passed since the last run; when worker threads do the work, the calling thread runs the poll
// while it waits for them (run_on_worker_threads), and when the poll throws it requests a stop,
// which makes check_interruption() throw Interrupted on every worker at its next check. Either way
// the poll's exception is what the caller sees.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <iterator>
#include <thread>
#include <vector>

namespace quorvanta {

// Half the 100 ms within which a pending interrupt must be noticed, so that a tree or node that
// ends just after a poll still leaves room.
inline constexpr std::chrono::milliseconds kPollInterval{50};

// Thrown on worker threads once a stop was requested. It ends the worker's work; the caller gets
// the poll's exception instead.
struct Interrupted {};

class InterruptionScope;

// Where a call's stop request is kept; every call (scope) owns its own.
using StopState = std::atomic<bool>*;

class InterruptionScope {
 public:
  // Installs `poll` for the calling thread until the scope ends (scopes nest; each owns its stop
  // state, so a nested call that is stopped leaves the enclosing call running).
  explicit InterruptionScope(std::function<void()> poll);
  ~InterruptionScope();
  InterruptionScope(const InterruptionScope&) = delete;
  InterruptionScope& operator=(const InterruptionScope&) = delete;

 private:
  friend struct ScopeAccess;  // the free functions below

  std::function<void()> poll_;
  const std::thread::id thread_;
  std::chrono::steady_clock::time_point last_poll_;
  std::atomic<bool> stop_{false};
  InterruptionScope* const outer_;  // innermost again when this scope ends
};

// At a tree or node boundary: throws Interrupted when a stop was requested; on the thread that
// installed the poll, runs the poll when it is due (its exception propagates).
void check_interruption();

// Items (rows, draws, keys) a long loop handles between two checks: a millisecond or less of work,
// so that even the root of a tree over hundreds of millions of rows answers an interrupt at once.
inline constexpr std::size_t kItemsPerCheck = std::size_t{1} << 16;

// The consecutive pieces [begin, end) of [0, n), in order, for a range-for loop; reading a piece
// checks for an interrupt first. The loop body stays in the calling function: in a closure, stores
// through a byte pointer could alias the captures, which would then be reloaded on every item.
class CheckedPieces {
 public:
  struct Piece {
    std::size_t begin;
    std::size_t end;
  };
  class Iterator {
   public:
    Iterator(std::size_t begin, std::size_t n) : begin_(begin), n_(n) {}
    Piece operator*() const {
      check_interruption();
      return {begin_, std::min(n_, begin_ + kItemsPerCheck)};
    }
    Iterator& operator++() {
      begin_ += kItemsPerCheck;
      return *this;
    }
    bool operator!=(std::default_sentinel_t) const { return begin_ < n_; }

   private:
    std::size_t begin_;
    std::size_t n_;
  };

  explicit CheckedPieces(std::size_t n) : n_(n) {}
  Iterator begin() const { return {0, n_}; }
  std::default_sentinel_t end() const { return {}; }

 private:
  std::size_t n_;
};

inline CheckedPieces checked_pieces(std::size_t n) {
  return CheckedPieces(n);
}

// Grows `buffer` to at least `size` elements, new ones `value`, piece by piece: filling hundreds of
// megabytes (the page faults included) takes long enough that an interrupt must be heard meanwhile.
template <class T>
void grow_checked(std::vector<T>& buffer, std::size_t size, const T& value = T{}) {
  if (buffer.size() >= size) return;
  if (buffer.capacity() < size) {
    // Moved piece by piece too: the new memory's pages are first touched as it is filled.
    std::vector<T> larger;
    larger.reserve(size);
    for (const auto [begin, end] : checked_pieces(buffer.size())) {
      larger.insert(larger.end(), buffer.begin() + begin, buffer.begin() + end);
    }
    buffer.swap(larger);
  }
  for (const auto [begin, end] : checked_pieces(size)) {
    if (buffer.size() < end) buffer.resize(end, value);
  }
}

// The installed poll, empty outside any scope; for the calling thread while workers run.
const std::function<void()>& interruption_poll();

// Asks every worker of the current call to stop at its next tree or node.
void request_stop();

// The stop state that check_interruption() answers on this thread (null outside any call). A
// thread started for a call takes it over with follow_stop_state() before it does any work.
StopState current_stop_state();
void follow_stop_state(StopState state);

}  // namespace quorvanta
