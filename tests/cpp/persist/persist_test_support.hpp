// Helpers shared by the persistence tests.
#pragma once

#include <string>

#include "common/fault.hpp"
#include "fault_message.hpp"

namespace quorvanta::testing {

// Messages of failures that arrive as error values (parse and I/O errors) carry this prefix.
inline std::string err_value(const std::string& description) {
  return std::string(kErrValuePrefix) + description;
}

}  // namespace quorvanta::testing
