#include "persist/tree_validation.hpp"

#include <limits>
#include <string>
#include <vector>

#include "common/fault.hpp"

namespace quorvanta {

void validate_tree_record(const TreeRecord& tree, std::uint64_t tree_index) {
  const std::string prefix = "tree " + std::to_string(tree_index) + ": ";
  const std::size_t n_nodes = tree.level.size();
  if (tree.left_children.size() != n_nodes || tree.right_children.size() != n_nodes ||
      tree.split.size() != n_nodes) {
    fail(prefix + "node arrays differ in length (level " + std::to_string(n_nodes) +
         ", left_children " + std::to_string(tree.left_children.size()) + ", right_children " +
         std::to_string(tree.right_children.size()) + ", split " +
         std::to_string(tree.split.size()) + ")");
  }
  if (n_nodes == 0) fail(prefix + "has no nodes");

  constexpr std::uint64_t kNoParent = std::numeric_limits<std::uint64_t>::max();
  std::vector<std::uint64_t> parent(n_nodes, kNoParent);
  for (std::uint64_t node = 0; node < n_nodes; ++node) {
    const auto& left = tree.left_children[node];
    const auto& right = tree.right_children[node];
    const std::string node_text = prefix + "node " + std::to_string(node);
    if (left.has_value() != right.has_value()) {
      fail(node_text + (left ? " has a left child but no right child"
                             : " has a right child but no left child"));
    }
    if (!left) continue;
    if (*left == *right) {
      fail(node_text + " has node " + std::to_string(*left) + " as both children");
    }
    for (std::uint64_t child : {*left, *right}) {
      const std::string child_text = std::to_string(child);
      if (child <= node)
        fail(node_text + " has child " + child_text + " that does not come after it");
      if (child >= n_nodes) {
        fail(node_text + " has child " + child_text + " but the tree has " +
             std::to_string(n_nodes) + " nodes");
      }
      if (parent[child] != kNoParent) {
        fail(prefix + "node " + child_text + " is a child of both node " +
             std::to_string(parent[child]) + " and node " + std::to_string(node));
      }
      parent[child] = node;
    }
  }
}

}  // namespace quorvanta
