// A grown tree: four parallel per-node arrays. Node 0 is the root; a node without a left child is
// a leaf. The same record serves both model kinds.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "stats/split_info.hpp"

namespace quorvanta {

enum class ModelKind { Regression, Classification };

struct TreeRecord {
  std::vector<std::uint64_t> level;
  std::vector<std::optional<std::uint64_t>> left_children;
  std::vector<std::optional<std::uint64_t>> right_children;
  std::vector<std::optional<SplitInfo>> split;

  // A record holding only the root.
  static TreeRecord with_root();

  std::size_t n_nodes() const { return level.size(); }
  // Append a child of `parent` and return its id; absent-value failure for an invalid parent.
  std::uint64_t add_left_child(std::uint64_t parent);
  std::uint64_t add_right_child(std::uint64_t parent);
  std::optional<SplitInfo> get_split(std::uint64_t node) const;
  bool is_leaf(std::uint64_t node) const;
  // summary[g][0] - summary[0][0] for g = 1..G-1.
  std::vector<float> leaf_effect(std::uint64_t node) const;

  bool operator==(const TreeRecord&) const = default;
};

// Routing predicate of a split on one bin: categorical splits take bin == b, numeric bin <= b;
// a missing bin always goes right.
inline bool goes_left(bool iscat, std::uint8_t split_bin, std::uint8_t bin) {
  if (bin == 255) return false;
  return iscat ? bin == split_bin : bin <= split_bin;
}

// "ClassificationTree" / "RegressionTree": the record's name in model-file messages.
const char* tree_type_name(ModelKind kind);

}  // namespace quorvanta
