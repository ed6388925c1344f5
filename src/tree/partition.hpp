// Row ranges of all nodes of one tree in a single index array; splitting a node reorders its
// range in place so that the rows going left come first.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "data/data_matrix.hpp"
#include "stats/split_info.hpp"

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
// The same, also telling where each entry of the range went: destinations[i] is the position
// after the split of the entry at position i before it (`destinations` is resized to the range's
// length), so that data kept in the range's order can follow.
std::uint64_t partition_node(Partition& partition, const SplitInfo& split, const DataMatrix& data,
                             std::vector<std::uint32_t>& destinations);
// Where each entry of a range goes when it is divided like partition_node divides it, from each
// entry's bin for the split feature (kMissingBin for a missing cell): a categorical split by
// exchanges from both ends, a numeric one by a stable sort of the keys. Returns n_left.
std::uint64_t split_destinations(bool is_cat, std::uint8_t split_bin,
                                 std::span<const std::uint8_t> keys,
                                 std::vector<std::uint32_t>& destinations);
// The same division done directly: writes the entries of `from` into `to` (of the same length) in
// the order partition_node leaves them, without a table of destinations. Returns n_left.
std::uint64_t divide_by_keys(bool is_cat, std::uint8_t split_bin,
                             std::span<const std::uint8_t> keys,
                             std::span<const std::uint32_t> from, std::uint32_t* to);
// The same for a caller that holds the bins of the range's rows for the split's feature, in the
// range's order (kMissingBin for a missing cell): `keys` stands in for the data matrix's column.
std::uint64_t partition_node_by_keys(Partition& partition, const SplitInfo& split,
                                     std::span<const std::uint8_t> keys,
                                     std::vector<std::uint32_t>& destinations);

}  // namespace quorvanta
