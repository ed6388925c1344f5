// The one failure type of the core: a message in the system's own words plus the source position
// of the step that failed. The binding turns it into FaultException at the Python boundary.
#pragma once

#include <cstddef>
#include <optional>
#include <source_location>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvanta {

inline constexpr std::string_view kAbsentValueMessage =
    "called `Option::unwrap()` on a `None` value";
inline constexpr std::string_view kDivisionMessage = "attempt to divide by zero";
// Prefix of failures that arrive as an error value from below (I/O, worker threads, parsing).
inline constexpr std::string_view kErrValuePrefix = "called `Result::unwrap()` on an `Err` value: ";

// The name of the calling thread as the operating system knows it, "<unnamed>" when it has none.
std::string current_thread_name();

// Names the calling thread "{prefix}{index}" (at most 15 bytes are kept), so that diagnostics can
// say where a failure arose. Cannot fail: worker threads call it before their failure handling.
void name_current_thread(const char* prefix, std::size_t index) noexcept;

class Fault : public std::runtime_error {
 public:
  explicit Fault(const std::string& message,
                 std::source_location where = std::source_location::current())
      : std::runtime_error(message),
        message_(message),
        where_(where),
        thread_name_(current_thread_name()) {}
  // A failure passed on from another thread keeps the name of the thread it arose on.
  Fault(const std::string& message, std::source_location where, std::string thread_name)
      : std::runtime_error(message),
        message_(message),
        where_(where),
        thread_name_(std::move(thread_name)) {}

  // The whole message. what() stops at the first NUL byte, and messages quote names and file
  // text that may hold one.
  const std::string& message() const noexcept { return message_; }
  const std::source_location& where() const noexcept { return where_; }
  const std::string& thread_name() const noexcept { return thread_name_; }

 private:
  std::string message_;
  std::source_location where_;
  std::string thread_name_;
};

[[noreturn]] void fail(const std::string& message,
                       std::source_location where = std::source_location::current());
[[noreturn]] void fail_absent_value(std::source_location where = std::source_location::current());
[[noreturn]] void fail_index(std::size_t length, std::size_t index,
                             std::source_location where = std::source_location::current());
[[noreturn]] void fail_division(std::source_location where = std::source_location::current());

// "index out of bounds: the len is {} but the index is {}"
std::string index_message(std::size_t length, std::size_t index);

// Bounds-checked element access that reports the index failure.
template <class Container>
auto& checked_at(Container& items, std::size_t index,
                 std::source_location where = std::source_location::current()) {
  if (index >= items.size()) fail_index(items.size(), index, where);
  return items[index];
}

// The value of an optional, or the absent-value failure.
template <class T>
const T& unwrap(const std::optional<T>& value,
                std::source_location where = std::source_location::current()) {
  if (!value) fail_absent_value(where);
  return *value;
}

template <class T>
T& unwrap(std::optional<T>& value, std::source_location where = std::source_location::current()) {
  if (!value) fail_absent_value(where);
  return *value;
}

}  // namespace quorvanta
