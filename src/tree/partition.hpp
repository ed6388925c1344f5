// Row ranges of all nodes of one tree in a single index array; splitting a node reorders its
// range in place so that the rows going left come first.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "data/data_matrix.hpp"
#include "tree/split_info.hpp"

namespace quorvanta {

struct Partition {
  std::vector<RowId> indices;
  std::vector<std::uint64_t> starts;
  std::vector<std::uint64_t> lengths;
  std::vector<RowId> scratch;  // reused by the stable sort of numeric splits

  static Partition from_samples(std::vector<RowId> rows);
  static Partition for_rows(std::size_t n_rows, std::size_t n_nodes);

  // Index failure when the node or its range is out of bounds.
  std::span<RowId> node_range(std::uint64_t node);
  std::span<const RowId> node_range(std::uint64_t node) const;
  void append_children(std::uint64_t node, std::uint64_t n_left);
  void set_children(std::uint64_t node, std::uint64_t left, std::uint64_t right,
                    std::uint64_t n_left);

  bool operator==(const Partition& other) const {
    return indices == other.indices && starts == other.starts && lengths == other.lengths;
  }
};

// Divides the range of split.node_id and returns the number of rows that go left.
std::uint64_t partition_node(Partition& partition, const SplitInfo& split, const DataMatrix& data);

}  // namespace quorvanta
