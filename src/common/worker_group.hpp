// Worker threads that are safe to start when memory is nearly exhausted. The C++ runtime keeps
// each thread's exception state in thread-local storage that the C library allocates on the
// thread's first throw; when that allocation fails the process is ended on the spot. A group's
// threads therefore create that state before running anything, with address space set aside for
// it by the starting thread, and only then run their bodies.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quorvanta {

class WorkerGroup {
 public:
  // Threads are named "{name_prefix}{index}" in start order.
  explicit WorkerGroup(const char* name_prefix) : name_prefix_(name_prefix) {}
  // Joins every started thread; threads never released skip their bodies.
  ~WorkerGroup();
  WorkerGroup(const WorkerGroup&) = delete;
  WorkerGroup& operator=(const WorkerGroup&) = delete;

  // Starts a thread that runs `body` once release() is called; the body must not throw. Returns
  // false, with start_error() set, when the system refuses the thread (or the memory to start it).
  bool start(std::function<void()> body);
  const std::string& start_error() const { return start_error_; }
  // The refusal was for lack of memory (not a limit on threads), which callers report as such.
  bool start_out_of_memory() const { return start_out_of_memory_; }
  std::size_t size() const { return threads_.size(); }

  // Lets the started threads run their bodies. No body runs before, so no thread's start-up
  // competes for memory with another's work.
  void release();
  // Waits until every body has returned, calling `poll` on this thread at least every
  // `poll_interval` while it waits (never when `poll` is empty). Whatever `poll` throws ends the
  // wait at once and propagates; the destructor still joins.
  void wait(const std::function<void()>& poll, std::chrono::milliseconds poll_interval);
  // Releases (if not yet) and joins every thread.
  void join();

 private:
  const char* name_prefix_;
  std::vector<std::thread> threads_;
  std::string start_error_;
  bool start_out_of_memory_ = false;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool released_ = false;
  bool cancelled_ = false;
  std::size_t finished_ = 0;
};

}  // namespace quorvanta
