#include "tree/tree_record.hpp"

#include "common/fault.hpp"

namespace quorvanta {

namespace {

// Appends a node below a valid `parent`; the parent is checked first so that a failure leaves
// all four arrays as they were.
std::uint64_t append_child(TreeRecord& tree, std::uint64_t parent,
                           std::vector<std::optional<std::uint64_t>>& parent_slot) {
  if (parent >= tree.n_nodes()) fail_absent_value();
  const std::uint64_t child = tree.n_nodes();
  parent_slot[parent] = child;
  tree.level.push_back(tree.level[parent] + 1);
  tree.left_children.emplace_back();
  tree.right_children.emplace_back();
  tree.split.emplace_back();
  return child;
}

}  // namespace

TreeRecord TreeRecord::with_root() {
  TreeRecord tree;
  tree.level.push_back(0);
  tree.left_children.emplace_back();
  tree.right_children.emplace_back();
  tree.split.emplace_back();
  return tree;
}

std::uint64_t TreeRecord::add_left_child(std::uint64_t parent) {
  return append_child(*this, parent, left_children);
}

std::uint64_t TreeRecord::add_right_child(std::uint64_t parent) {
  return append_child(*this, parent, right_children);
}

std::optional<SplitInfo> TreeRecord::get_split(std::uint64_t node) const {
  if (node >= split.size()) fail_absent_value();
  return split[node];
}

bool TreeRecord::is_leaf(std::uint64_t node) const {
  if (node >= left_children.size()) fail_absent_value();
  return !left_children[node].has_value();
}

std::vector<float> TreeRecord::leaf_effect(std::uint64_t node) const {
  if (node >= split.size()) fail_absent_value();
  const GroupSummary& summary = unwrap(split[node]).summary;
  // Every row must carry its outcome estimate, even when there is no group to compare.
  for (const auto& row : summary) {
    if (row.empty()) fail_absent_value();
  }
  std::vector<float> effect;
  if (summary.size() < 2) return effect;
  effect.reserve(summary.size() - 1);
  const float control = summary[0][0];
  for (std::size_t group = 1; group < summary.size(); ++group) {
    effect.push_back(summary[group][0] - control);
  }
  return effect;
}

const char* tree_type_name(ModelKind kind) {
  return kind == ModelKind::Classification ? "ClassificationTree" : "RegressionTree";
}

}  // namespace quorvanta
