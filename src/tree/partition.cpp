#include "tree/partition.hpp"

#include <numeric>
#include <utility>

#include "common/fault.hpp"
#include "tree/tree_record.hpp"

namespace quorvanta {

Partition Partition::from_samples(std::vector<RowId> rows) {
  Partition partition;
  partition.starts.push_back(0);
  partition.lengths.push_back(rows.size());
  partition.indices = std::move(rows);
  return partition;
}

Partition Partition::for_rows(std::size_t n_rows, std::size_t n_nodes) {
  Partition partition;
  partition.indices.resize(n_rows);
  std::iota(partition.indices.begin(), partition.indices.end(), RowId{0});
  // The root always has an entry, so routing can start even for an empty tree record.
  const std::size_t entries = n_nodes == 0 ? 1 : n_nodes;
  partition.starts.assign(entries, 0);
  partition.lengths.assign(entries, 0);
  partition.lengths[0] = n_rows;
  return partition;
}

namespace {

// Checked bounds of a node's range: [start, start + length) within `indices`.
std::pair<std::uint64_t, std::uint64_t> checked_bounds(const Partition& partition,
                                                       std::uint64_t node) {
  const std::uint64_t start = checked_at(partition.starts, node);
  const std::uint64_t length = checked_at(partition.lengths, node);
  const std::uint64_t size = partition.indices.size();
  if (start > size) fail_index(size, start);
  if (length > size - start) fail_index(size, start + length);
  return {start, length};
}

}  // namespace

std::span<RowId> Partition::node_range(std::uint64_t node) {
  const auto [start, length] = checked_bounds(*this, node);
  return std::span<RowId>(indices).subspan(start, length);
}

std::span<const RowId> Partition::node_range(std::uint64_t node) const {
  const auto [start, length] = checked_bounds(*this, node);
  return std::span<const RowId>(indices).subspan(start, length);
}

void Partition::append_children(std::uint64_t node, std::uint64_t n_left) {
  const std::uint64_t start = checked_at(starts, node);
  const std::uint64_t length = checked_at(lengths, node);
  // A left count beyond the range would give the right child a wrapped-around length.
  if (n_left > length) fail_index(length, n_left);
  starts.push_back(start);
  lengths.push_back(n_left);
  starts.push_back(start + n_left);
  lengths.push_back(length - n_left);
}

void Partition::set_children(std::uint64_t node, std::uint64_t left, std::uint64_t right,
                             std::uint64_t n_left) {
  const std::uint64_t start = checked_at(starts, node);
  const std::uint64_t length = checked_at(lengths, node);
  if (n_left > length) fail_index(length, n_left);
  if (left < starts.size()) {
    starts[left] = start;
    lengths[left] = n_left;
  }
  if (right < starts.size()) {
    starts[right] = start + n_left;
    lengths[right] = length - n_left;
  }
}

namespace {

// Two-ended exchange: one pass, no allocation. The order it leaves inside each side is part of
// the tree's reproducible result, so the cursor moves must stay exactly as they are.
std::uint64_t partition_categorical(std::span<RowId> range, const std::vector<std::uint8_t>& column,
                                    std::uint8_t split_bin) {
  const std::size_t n = range.size();
  if (n == 0) return 0;
  auto left_at = [&](std::size_t position) {
    return goes_left(true, split_bin, checked_at(column, range[position]));
  };
  std::size_t i = 0;
  std::size_t j = n - 1;
  while (i < j) {
    if (left_at(i)) {
      ++i;
    } else if (left_at(j)) {
      std::swap(range[i], range[j]);
      ++i;
      --j;
    } else {
      --j;
    }
  }
  if (i == j && left_at(i)) ++i;
  return i;
}

// After the stable sort the rows going left are exactly a prefix of the range.
std::uint64_t partition_numeric(std::span<RowId> range, const DataMatrix& data,
                                std::uint64_t feature, std::uint8_t split_bin,
                                std::vector<RowId>& scratch) {
  data.sort_rows(range, feature, scratch);
  if (range.empty()) return 0;
  const std::vector<std::uint8_t>& column = checked_at(data.x, feature);
  std::uint64_t n_left = 0;
  for (const RowId row : range) {
    if (!goes_left(false, split_bin, checked_at(column, row))) break;
    ++n_left;
  }
  return n_left;
}

}  // namespace

std::uint64_t partition_node(Partition& partition, const SplitInfo& split, const DataMatrix& data) {
  const std::span<RowId> range = partition.node_range(split.node_id);
  const std::vector<std::uint8_t>& value = unwrap(split.value);
  if (value.empty()) fail_absent_value();
  const std::uint8_t split_bin = value[0];
  if (split.iscat) {
    if (range.empty()) return 0;
    return partition_categorical(range, checked_at(data.x, split.feature_id), split_bin);
  }
  return partition_numeric(range, data, split.feature_id, split_bin, partition.scratch);
}

}  // namespace quorvanta
