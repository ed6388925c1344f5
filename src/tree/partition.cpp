#include "tree/partition.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <numeric>
#include <utility>

#include "common/fault.hpp"
#include "common/interruption.hpp"
#include "data/bin.hpp"
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

// Positions in the destinations of a split are 32-bit; growing keeps its ranges below that
// (internal consistency only).
void require_32_bit_positions(std::size_t n) {
  if (n > std::numeric_limits<std::uint32_t>::max()) {
    fail_index(std::numeric_limits<std::uint32_t>::max(), n);
  }
}

void start_destinations(std::vector<std::uint32_t>& destinations, std::size_t n) {
  require_32_bit_positions(n);
  destinations.resize(n);
  std::iota(destinations.begin(), destinations.end(), std::uint32_t{0});
}

// Two-ended exchange: one pass, no allocation. The order it leaves inside each side is part of
// the tree's reproducible result, so the cursor moves must stay exactly as they are. The cursors
// only move inward and every exchange is between the two cursors, so every position is read and
// exchanged at most once while it still holds the entry it started with: left_at(p) may read the
// range as it was before the split.
template <class LeftAt, class Exchange>
std::uint64_t exchange_partition(std::size_t n, const LeftAt& left_at, const Exchange& exchange) {
  if (n == 0) return 0;
  std::size_t i = 0;
  std::size_t j = n - 1;
  std::size_t until_check = kItemsPerCheck;
  while (i < j) {
    if (--until_check == 0) {
      check_interruption();
      until_check = kItemsPerCheck;
    }
    if (left_at(i)) {
      ++i;
    } else if (left_at(j)) {
      exchange(i, j);
      ++i;
      --j;
    } else {
      --j;
    }
  }
  if (i == j && left_at(i)) ++i;
  return i;
}

// Rows going left of a numeric split once the range is sorted by bin: those whose key is at most
// the split bin, missing (255) excluded; they form a prefix of the sorted range.
std::uint64_t left_count(const std::array<std::uint64_t, 256>& counts, std::uint8_t split_bin) {
  const std::size_t last_left_key = std::min<std::size_t>(split_bin, kMissingBin - 1);
  std::uint64_t n_left = 0;
  for (std::size_t key = 0; key <= last_left_key; ++key) n_left += counts[key];
  return n_left;
}

// Turns key counts into the first position of each key in the stable sorted order; false when
// one key holds every entry (or there are none), so the order stays as it is.
bool to_offsets(std::array<std::uint64_t, 256>& counts, std::size_t n) {
  if (std::find(counts.begin(), counts.end(), n) != counts.end()) return false;
  std::uint64_t next = 0;
  for (std::uint64_t& count : counts) next += std::exchange(count, next);
  return true;
}

// The row sort of the data matrix (a stable counting sort by bin, missing = 255, every row
// checked before anything moves), done here so that the key counts also give n_left.
std::uint64_t partition_numeric(std::span<RowId> range, const DataMatrix& data,
                                std::uint64_t feature, std::uint8_t split_bin,
                                std::vector<RowId>& scratch,
                                std::vector<std::uint32_t>* destinations) {
  const std::vector<std::uint8_t>& column = checked_at(data.x, feature);
  const std::uint8_t* const keys = column.data();
  std::array<std::uint64_t, 256> counts{};
  for (const auto [begin, end] : checked_pieces(range.size())) {
    for (std::size_t i = begin; i < end; ++i) {
      const RowId row = range[i];
      if (row >= column.size()) fail_index(column.size(), row);
      ++counts[keys[row]];
    }
  }
  const std::uint64_t n_left = left_count(counts, split_bin);
  if (!to_offsets(counts, range.size())) return n_left;
  if (scratch.size() < range.size()) scratch.resize(range.size());
  for (const auto [begin, end] : checked_pieces(range.size())) {
    for (std::size_t i = begin; i < end; ++i) {
      const std::uint64_t to = counts[keys[range[i]]]++;
      scratch[to] = range[i];
      if (destinations != nullptr) (*destinations)[i] = static_cast<std::uint32_t>(to);
    }
  }
  std::copy(scratch.begin(), scratch.begin() + range.size(), range.begin());
  return n_left;
}

std::uint64_t partition_from_data(Partition& partition, const SplitInfo& split,
                                  const DataMatrix& data,
                                  std::vector<std::uint32_t>* destinations) {
  const std::span<RowId> range = partition.node_range(split.node_id);
  const std::vector<std::uint8_t>& value = unwrap(split.value);
  if (value.empty()) fail_absent_value();
  const std::uint8_t split_bin = value[0];
  if (destinations != nullptr) start_destinations(*destinations, range.size());
  if (split.iscat) {
    if (range.empty()) return 0;
    const std::vector<std::uint8_t>& column = checked_at(data.x, split.feature_id);
    const auto left_at = [&](std::size_t position) {
      return goes_left(true, split_bin, checked_at(column, range[position]));
    };
    return exchange_partition(range.size(), left_at, [&](std::size_t i, std::size_t j) {
      std::swap(range[i], range[j]);
      if (destinations != nullptr) std::swap((*destinations)[i], (*destinations)[j]);
    });
  }
  return partition_numeric(range, data, split.feature_id, split_bin, partition.scratch,
                           destinations);
}

}  // namespace

std::uint64_t partition_node(Partition& partition, const SplitInfo& split, const DataMatrix& data) {
  return partition_from_data(partition, split, data, nullptr);
}

std::uint64_t partition_node(Partition& partition, const SplitInfo& split, const DataMatrix& data,
                             std::vector<std::uint32_t>& destinations) {
  return partition_from_data(partition, split, data, &destinations);
}

std::uint64_t split_destinations(bool is_cat, std::uint8_t split_bin,
                                 std::span<const std::uint8_t> keys,
                                 std::vector<std::uint32_t>& destinations) {
  start_destinations(destinations, keys.size());
  if (is_cat) {
    const auto left_at = [&](std::size_t position) {
      return goes_left(true, split_bin, keys[position]);
    };
    return exchange_partition(keys.size(), left_at, [&](std::size_t i, std::size_t j) {
      std::swap(destinations[i], destinations[j]);
    });
  }
  std::array<std::uint64_t, 256> counts{};
  for (const auto [begin, end] : checked_pieces(keys.size())) {
    for (std::size_t i = begin; i < end; ++i) ++counts[keys[i]];
  }
  const std::uint64_t n_left = left_count(counts, split_bin);
  if (!to_offsets(counts, keys.size())) return n_left;
  for (const auto [begin, end] : checked_pieces(keys.size())) {
    for (std::size_t i = begin; i < end; ++i) {
      destinations[i] = static_cast<std::uint32_t>(counts[keys[i]]++);
    }
  }
  return n_left;
}

std::uint64_t divide_by_keys(bool is_cat, std::uint8_t split_bin,
                             std::span<const std::uint8_t> keys,
                             std::span<const std::uint32_t> from, std::uint32_t* to) {
  const std::size_t n = keys.size();
  if (from.size() != n) fail_index(n, from.size());
  require_32_bit_positions(n);
  if (is_cat) {
    std::copy(from.begin(), from.end(), to);
    const auto left_at = [&](std::size_t position) {
      return goes_left(true, split_bin, keys[position]);
    };
    return exchange_partition(n, left_at,
                              [&](std::size_t i, std::size_t j) { std::swap(to[i], to[j]); });
  }
  // Four lanes, each a quarter of the range (the last one also takes the remainder) with counters
  // of its own: a child split on its parent's split feature has its keys sorted, and a single
  // set of counters would then make every entry wait for the previous one's count.
  constexpr std::size_t kLanes = 4;
  const std::size_t lane_length = n / kLanes;
  std::array<std::array<std::uint32_t, 256>, kLanes> positions{};
  for (const auto [begin, end] : checked_pieces(lane_length)) {
    for (std::size_t i = begin; i < end; ++i) {
      for (std::size_t lane = 0; lane < kLanes; ++lane)
        ++positions[lane][keys[lane * lane_length + i]];
    }
  }
  for (std::size_t i = kLanes * lane_length; i < n; ++i) ++positions[kLanes - 1][keys[i]];
  std::array<std::uint64_t, 256> counts{};
  for (std::size_t key = 0; key < counts.size(); ++key) {
    for (const auto& lane : positions) counts[key] += lane[key];
  }
  const std::uint64_t n_left = left_count(counts, split_bin);
  if (std::find(counts.begin(), counts.end(), n) != counts.end()) {
    std::copy(from.begin(), from.end(), to);
    return n_left;
  }
  // Each lane's first position per key, lanes in range order within a key: the stable order.
  std::uint32_t next = 0;
  for (std::size_t key = 0; key < counts.size(); ++key) {
    for (auto& lane : positions) next += std::exchange(lane[key], next);
  }
  for (const auto [begin, end] : checked_pieces(lane_length)) {
    for (std::size_t i = begin; i < end; ++i) {
      for (std::size_t lane = 0; lane < kLanes; ++lane) {
        const std::size_t at = lane * lane_length + i;
        to[positions[lane][keys[at]]++] = from[at];
      }
    }
  }
  for (std::size_t i = kLanes * lane_length; i < n; ++i)
    to[positions[kLanes - 1][keys[i]]++] = from[i];
  return n_left;
}

std::uint64_t partition_node_by_keys(Partition& partition, const SplitInfo& split,
                                     std::span<const std::uint8_t> keys,
                                     std::vector<std::uint32_t>& destinations) {
  const std::span<RowId> range = partition.node_range(split.node_id);
  const std::vector<std::uint8_t>& value = unwrap(split.value);
  if (value.empty()) fail_absent_value();
  if (keys.size() != range.size()) fail_index(keys.size(), range.size());
  const std::uint64_t n_left = split_destinations(split.iscat, value[0], keys, destinations);
  std::vector<RowId>& scratch = partition.scratch;
  if (scratch.size() < range.size()) scratch.resize(range.size());
  for (std::size_t i = 0; i < range.size(); ++i) scratch[destinations[i]] = range[i];
  std::copy(scratch.begin(), scratch.begin() + range.size(), range.begin());
  return n_left;
}

}  // namespace quorvanta
