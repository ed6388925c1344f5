#include "forest/worker_threads.hpp"

#include <exception>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "common/fault.hpp"

namespace quorvanta {

void run_on_worker_threads(std::size_t count, const std::function<void(std::size_t)>& task) {
  std::vector<std::exception_ptr> failures(count);
  std::vector<std::thread> threads;
  threads.reserve(count);
  std::string spawn_error;
  for (std::size_t i = 0; i < count; ++i) {
    try {
      threads.emplace_back([&task, &failures, i] {
        name_current_thread("qv-worker-", i);
        try {
          task(i);
        } catch (...) {
          failures[i] = std::current_exception();
        }
      });
    } catch (const std::system_error& error) {
      spawn_error = error.what();
      break;
    }
  }
  // A thread left unjoined would terminate the process, so every started one is joined first.
  for (std::thread& thread : threads) thread.join();
  if (threads.size() < count) fail("failed to spawn thread: " + spawn_error);

  for (const std::exception_ptr& failure : failures) {
    if (!failure) continue;
    try {
      std::rethrow_exception(failure);
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
