// Structural checks of a tree read from a model file, so that a damaged or hostile file fails
// with a clear message at load instead of sending prediction into a cycle or an exponential walk.
#pragma once

#include <cstdint>

#include "tree/tree_record.hpp"

namespace quorvanta {

// Fails with "tree {tree_index}: ..." unless the four arrays have one equal, non-zero length, every
// node has both children or none, and every child comes after its parent, exists, and has no
// other parent.
void validate_tree_record(const TreeRecord& tree, std::uint64_t tree_index);

}  // namespace quorvanta
