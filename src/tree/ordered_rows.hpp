// The ordered paths: every row's values are added to its cell in the node's row order, the order
// partition_node leaves, so each sum equals the one the per-call criteria take. A node's entries
// are its drawn rows; the search reads each row's record (tree/growing_table.hpp) once for all
// the features it searches, and a split reorders the rows like partition_node.
//
// OrderedRows keeps the rows and splits them; OrderedClassRows and OrderedRegressionRows add what
// a row contributes and the scan of their criterion.
#pragma once

#include <cstdint>
#include <vector>

#include "tree/grow_path.hpp"
#include "tree/growing_table.hpp"

namespace quorvanta {

// What a pass needs of each feature of a block, kept small so that the row loop finds it in the
// first-level cache: the offset of its slot in a record and where its cells start in the pass's
// cells.
struct BlockFeature {
  std::uint32_t slot_offset = 0;
  std::uint32_t cell_offset = 0;
};

class OrderedRows : public GrowPathRows {
 public:
  explicit OrderedRows(const GrowingTable& table) : table_(table) {}

  std::vector<std::uint32_t>& draw_buffer() override { return rows_[0]; }
  bool start(std::span<const std::uint32_t> drawn, NodeStretch& root) override;
  std::pair<std::uint64_t, std::uint64_t> split(const SplitInfo& split,
                                                const NodeStretch& node) override;
  void write_rows(const NodeStretch& node, RowId* out) const override;

  // Getter for tests: drawn rows whose records start had to check (none on a table whose
  // records are all readable).
  std::uint64_t checked_rows() const { return checked_rows_; }

 protected:
  // Features searched in one pass over a node's rows; their cells together stay within the
  // first-level cache at a few dozen bins.
  static constexpr std::size_t kSearchedTogether = 16;

  // Reads the features of `features` into shapes_ and block_ (as feature_shape reads them, so
  // that its failures come first) and zeroes the compact cells: per feature `histogram_rows`
  // rows of 2^row_shift_ cells of `cell_width` floats.
  void prepare_block(std::span<const std::uint64_t> features, std::size_t histogram_rows,
                     std::size_t cell_width);

  // One pass over the node's rows per block of features: add_row(record, first cell of the
  // row's histogram row, block as a std::array, cells) adds one row to every feature's cells, then
  // scan_feature(feature, shape, cells, slots) scans each feature of the block.
  template <class AddRow, class ScanFeature>
  void search_blocks(const NodeStretch& node, std::span<const std::uint64_t> features,
                     std::size_t histogram_rows, std::size_t cell_width, const AddRow& add_row,
                     const ScanFeature& scan_feature);

  const std::uint32_t* node_rows(const NodeStretch& node) const {
    return rows_[node.copy].data() + node.entry_start;
  }

  const GrowingTable& table_;
  std::vector<FeatureShape> shapes_;
  std::vector<BlockFeature> block_;
  // Compact cells of a pass: per feature, cell (row, slot) at ((row << row_shift_) + slot) * width.
  std::vector<float> compact_;
  std::uint32_t row_shift_ = 0;
  std::vector<float> cells_;  // one feature's cells in the scans' layout
  ScanScratch scan_;
  std::vector<float> summary_;

 private:
  std::vector<std::uint32_t> rows_[2];
  std::vector<std::uint8_t> keys_;
  std::uint64_t checked_rows_ = 0;
};

class OrderedClassRows final : public OrderedRows {
 public:
  using OrderedRows::OrderedRows;
  static bool serves(const GrowingTable& table) {
    return table.kind() == ModelKind::Classification && table.has_records();
  }
  void search(const NodeCriterion& criterion, const NodeStretch& node,
              std::span<const std::uint64_t> features, const SplitVisit& visit) override;
};

class OrderedRegressionRows final : public OrderedRows {
 public:
  using OrderedRows::OrderedRows;
  static bool serves(const GrowingTable& table) {
    return table.kind() == ModelKind::Regression && table.has_records();
  }
  void search(const NodeCriterion& criterion, const NodeStretch& node,
              std::span<const std::uint64_t> features, const SplitVisit& visit) override;
};

}  // namespace quorvanta
