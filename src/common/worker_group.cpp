#include "common/worker_group.hpp"

#include <cxxabi.h>
#include <sys/mman.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <system_error>

#include "common/fault.hpp"
#include "common/interruption.hpp"

namespace quorvanta {
namespace {

// Address space a new thread needs for its first allocations (the C library may have to map a
// page of its own when it cannot create a heap arena for the thread). Mapped, never touched.
constexpr std::size_t kStartReserveBytes = 256 * 1024;

// Serialises the give-back of a reserve and the allocation it is meant for across threads.
std::mutex start_up_mutex;

}  // namespace

bool WorkerGroup::start(std::function<void()> body) {
  void* reserve = mmap(nullptr, kStartReserveBytes, PROT_NONE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (reserve == MAP_FAILED) {
    start_out_of_memory_ = errno == ENOMEM;
    start_error_ = std::strerror(errno);
    return false;
  }
  const std::size_t index = threads_.size();
  // The thread answers the stop of the call that starts it, even while a nested call runs.
  const StopState stop = current_stop_state();
  try {
    threads_.emplace_back([this, reserve, index, stop, body = std::move(body)]() noexcept {
      name_current_thread(name_prefix_, index);
      follow_stop_state(stop);
      {
        const std::lock_guard<std::mutex> start_up(start_up_mutex);
        munmap(reserve, kStartReserveBytes);
        // Allocates this thread's exception state now, from the address space just given back.
        // The function is declared const, so its result must be used for the call to happen.
        void* volatile state = abi::__cxa_get_globals();
        static_cast<void>(state);
      }
      bool run = false;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return released_; });
        run = !cancelled_;
      }
      if (run) body();
      {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++finished_;
      }
      changed_.notify_all();
    });
  } catch (const std::system_error& error) {
    munmap(reserve, kStartReserveBytes);
    start_out_of_memory_ = error.code() == std::errc::not_enough_memory;
    start_error_ = error.what();
    return false;
  } catch (const std::bad_alloc&) {
    munmap(reserve, kStartReserveBytes);
    start_out_of_memory_ = true;
    start_error_ = std::strerror(ENOMEM);
    return false;
  }
  return true;
}

void WorkerGroup::release() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (released_) return;
    released_ = true;
  }
  changed_.notify_all();
}

void WorkerGroup::wait(const std::function<void()>& poll, std::chrono::milliseconds poll_interval) {
  release();
  std::unique_lock<std::mutex> lock(mutex_);
  const auto all_finished = [this] { return finished_ == threads_.size(); };
  if (!poll) {
    changed_.wait(lock, all_finished);
    return;
  }
  while (!changed_.wait_for(lock, poll_interval, all_finished)) {
    lock.unlock();
    poll();
    lock.lock();
  }
}

void WorkerGroup::join() {
  release();
  for (std::thread& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
}

WorkerGroup::~WorkerGroup() {
  {
    // Left without release() (the starting code failed): the bodies are skipped.
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!released_) cancelled_ = true;
  }
  join();
}

}  // namespace quorvanta
