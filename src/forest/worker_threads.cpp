#include "forest/worker_threads.hpp"

#include <chrono>
#include <exception>
#include <memory>
#include <new>
#include <string>

#include "common/fault.hpp"
#include "common/interruption.hpp"
#include "common/worker_group.hpp"

namespace quorvanta {

namespace {

constexpr std::chrono::milliseconds kMeanwhileInterval{1};

}  // namespace

void run_on_worker_threads(std::size_t count, const std::function<void(std::size_t)>& task,
                           const std::function<void()>& meanwhile) {
  std::vector<std::exception_ptr> failures(count);
  // Out of memory is recorded as a flag: passing it on must not need memory in the worker.
  const std::unique_ptr<bool[]> out_of_memory(new bool[count]());
  {
    WorkerGroup workers("qv-worker-");
    for (std::size_t i = 0; i < count; ++i) {
      const bool started = workers.start([&task, &failures, &out_of_memory, i] {
        try {
          task(i);
        } catch (const std::bad_alloc&) {
          out_of_memory[i] = true;
        } catch (...) {
          failures[i] = std::current_exception();
        }
      });
      if (!started) break;
    }
    // A pending interrupt stops the workers at their next tree or node, and its exception is
    // what the caller gets. Every started thread is joined before anything is reported.
    try {
      if (meanwhile) {
        const std::function<void()>& poll = interruption_poll();
        workers.wait(
            [&] {
              if (poll) poll();
              meanwhile();
            },
            kMeanwhileInterval);
      } else {
        workers.wait(interruption_poll(), kPollInterval);
      }
    } catch (...) {
      request_stop();
      workers.join();
      throw;
    }
    workers.join();
    if (workers.size() < count) {
      if (workers.start_out_of_memory()) throw std::bad_alloc();
      fail("failed to spawn thread: " + workers.start_error());
    }
  }

  for (std::size_t i = 0; i < count; ++i) {
    if (out_of_memory[i]) throw std::bad_alloc();
    if (!failures[i]) continue;
    try {
      std::rethrow_exception(failures[i]);
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const Fault& fault) {
      throw Fault(std::string(kErrValuePrefix) + fault.message(), fault.where(),
                  fault.thread_name());
    } catch (const std::exception& error) {
      fail(std::string(kErrValuePrefix) + error.what());
    }
  }
}

}  // namespace quorvanta
