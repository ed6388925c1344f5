// Runs numbered tasks on the caller's thread and a few helper threads, so that their outcome can be
// replayed in task order as if they had run one after another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>

namespace quorvanta {

struct FirstTaskFailure {
  std::size_t task = 0;  // the lowest failed task; the task count when none failed
  std::exception_ptr failure;
};

// Runs task(0) .. task(count - 1) on the caller's thread and on up to n_thread - 1 helper threads
// (n_thread 0 or 1: the caller's thread only), handing out indices in ascending order. Every task
// below the reported one has run to completion; tasks above a failed one may be skipped, so their
// results must be discarded. Never throws once started: every exception of a task is captured,
// every started thread is joined before returning, and a thread that cannot be started leaves its
// share of the tasks to the others. Tasks check for interrupts (check_interruption) in their long
// loops; an interrupt ends every worker at its next check and is returned instead of any failure.
FirstTaskFailure run_ordered_tasks(std::size_t count, std::uint64_t n_thread,
                                   const std::function<void(std::size_t)>& task);

// Rethrows the failure of run_ordered_tasks, if any.
void rethrow_failure(const FirstTaskFailure& outcome);

}  // namespace quorvanta
