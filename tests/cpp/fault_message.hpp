// Test helper shared by the core's test suites.
#pragma once

#include <string>

#include "common/fault.hpp"

namespace quorvanta::testing {

// The message of the Fault that `action` throws, or "no failure" when it returns.
template <class Action>
std::string fault_message(Action action) {
  try {
    action();
  } catch (const Fault& fault) {
    return fault.message();
  }
  return "no failure";
}

}  // namespace quorvanta::testing
