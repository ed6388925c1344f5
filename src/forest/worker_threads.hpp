// Runs one task per worker thread, joins every started thread (also when starting one fails), and
// reports a worker's failure on the caller's thread.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

namespace quorvanta {

// Runs task(i) for i in 0..count-1, each on its own thread, all started before any is joined.
// Failures: "failed to spawn thread: {}" when a thread cannot be started; otherwise the first
// failed worker in start order, as "called `Result::unwrap()` on an `Err` value: {message}".
// Out-of-memory in a worker stays std::bad_alloc.
//
// `meanwhile`, when given, runs on the calling thread about every millisecond while the workers
// run, to take up their results as they come; what it throws stops the workers and propagates.
void run_on_worker_threads(std::size_t count, const std::function<void(std::size_t)>& task,
                           const std::function<void()>& meanwhile = {});

}  // namespace quorvanta
