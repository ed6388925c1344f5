#include "data/ordered_tasks.hpp"

#include "common/fault.hpp"
#include "common/interruption.hpp"
#include "common/worker_group.hpp"

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

namespace quorvanta {

FirstTaskFailure run_ordered_tasks(std::size_t count, std::uint64_t n_thread,
                                   const std::function<void(std::size_t)>& task) {
  std::atomic<std::size_t> next_task{0};
  // Read without the lock only to skip tasks early; the lock guards the recorded failure.
  std::atomic<std::size_t> lowest_failed{count};
  std::mutex failure_lock;
  FirstTaskFailure first{count, nullptr};

  // An interrupt is no failure of a task: it ends every worker at its next check or task, and is
  // what the caller sees whatever the tasks did. The caller's poll is wrapped so that its
  // exception is kept aside while the workers wind down.
  std::atomic<bool> interrupted{false};
  std::exception_ptr interrupt;
  const std::function<void()> outer_poll = interruption_poll();
  const InterruptionScope scope([&] {
    if (!outer_poll) return;
    try {
      outer_poll();
    } catch (...) {
      interrupt = std::current_exception();
      interrupted.store(true);
      request_stop();
      throw Interrupted{};
    }
  });

  const auto work = [&]() noexcept {
    for (;;) {
      if (interrupted.load()) return;
      const std::size_t index = next_task.fetch_add(1);
      // Indices only grow, so once one lies above a failure every later one does too.
      if (index >= count || index > lowest_failed.load()) return;
      try {
        check_interruption();
        task(index);
      } catch (const Interrupted&) {
        return;
      } catch (...) {
        const std::lock_guard<std::mutex> guard(failure_lock);
        if (index < first.task) {
          first = {index, std::current_exception()};
          lowest_failed.store(index);
        }
      }
    }
  };

  // The caller's thread is one of the n_thread workers; more workers than tasks would idle.
  const std::uint64_t n_workers =
      std::min<std::uint64_t>(std::max<std::uint64_t>(n_thread, 1), count);
  const std::uint64_t n_helpers = n_workers == 0 ? 0 : n_workers - 1;
  WorkerGroup helpers("qv-loader-");
  for (std::uint64_t k = 0; k < n_helpers; ++k) {
    // A thread that cannot be started leaves its share to the caller's thread.
    if (!helpers.start(std::ref(work))) break;
  }
  helpers.release();
  work();
  helpers.join();
  if (interrupt) return {0, interrupt};
  return first;
}

void rethrow_failure(const FirstTaskFailure& outcome) {
  if (outcome.failure) std::rethrow_exception(outcome.failure);
}

}  // namespace quorvanta
