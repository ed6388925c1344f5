#include "common/fault.hpp"
#include "forest/model.hpp"

namespace quorvanta {

std::vector<std::uint64_t> tree_groups(std::uint64_t n_tree, std::uint64_t n_thread) {
  if (n_tree < n_thread) return std::vector<std::uint64_t>(n_tree, 1);
  if (n_thread == 0) fail_division();
  std::vector<std::uint64_t> groups(n_thread, n_tree / n_thread);
  for (std::uint64_t i = 0; i < n_tree % n_thread; ++i) ++groups[i];
  return groups;
}

}  // namespace quorvanta
