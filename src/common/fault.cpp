#include "common/fault.hpp"

#include <pthread.h>

#include <cstdio>

namespace quorvanta {

std::string current_thread_name() {
  char name[64] = {};
  if (pthread_getname_np(pthread_self(), name, sizeof name) != 0 || name[0] == '\0') {
    return "<unnamed>";
  }
  return name;
}

void name_current_thread(const char* prefix, std::size_t index) noexcept {
  char name[16];
  std::snprintf(name, sizeof name, "%s%zu", prefix, index);
  pthread_setname_np(pthread_self(), name);
}

void fail(const std::string& message, std::source_location where) { throw Fault(message, where); }

void fail_absent_value(std::source_location where) {
  throw Fault(std::string(kAbsentValueMessage), where);
}

std::string index_message(std::size_t length, std::size_t index) {
  return "index out of bounds: the len is " + std::to_string(length) + " but the index is " +
         std::to_string(index);
}

void fail_index(std::size_t length, std::size_t index, std::source_location where) {
  throw Fault(index_message(length, index), where);
}

void fail_division(std::source_location where) { throw Fault(std::string(kDivisionMessage), where); }

}  // namespace quorvanta
