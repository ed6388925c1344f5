// Helpers shared by the persistence tests.
#pragma once

#include <string>

#include "common/fault.hpp"

namespace quorvanta::testing {

// The message of the Fault that `action` throws, or "no fault" when it returns.
template <class Action>
std::string fault_message(Action action) {
  try {
    action();
  } catch (const Fault& fault) {
    return fault.what();
  }
  return "no fault";
}

// Messages of failures that arrive as error values (parse and I/O errors) carry this prefix.
inline std::string err_value(const std::string& description) {
  return std::string(kErrValuePrefix) + description;
}

}  // namespace quorvanta::testing
