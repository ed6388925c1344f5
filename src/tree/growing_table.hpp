// What the growing paths learn of a table once per fit, shared read only by every worker thread:
// which paths its columns allow and, for the ordered paths, each row's values and bins side by
// side in one record, so that a node's search reads one record per row for all its features
// instead of one scattered byte per row and feature.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/tree_config.hpp"
#include "data/data_matrix.hpp"
#include "tree/tree_record.hpp"

namespace quorvanta {

// Group counts up to this take the narrower paths: a record names its histogram row
// (class * G + group) in one byte, 0xFF marking a row that cannot be read.
inline constexpr std::uint64_t kMaxFastGroups = 127;

class GrowingTable {
 public:
  // Record layout: weight (f32), outcome (f32), histogram row (one byte: class * G + group for
  // classification, group for regression; kUnreadable when the row cannot be read), then each
  // feature's histogram slot: its bin, or B for a missing cell and for a bin equal to B.
  static constexpr std::size_t kWeightOffset = 0;
  static constexpr std::size_t kOutcomeOffset = 4;
  static constexpr std::size_t kHistogramRowOffset = 8;
  static constexpr std::size_t kBinsOffset = 9;
  static constexpr std::uint8_t kUnreadable = 0xFF;

  // Studies `data` for trees of `kind`; the records are made only when the ordered path of that
  // kind can serve the table. Polls for interruption.
  GrowingTable(const DataMatrix& data, ModelKind kind);
  GrowingTable(const GrowingTable&) = delete;
  GrowingTable& operator=(const GrowingTable&) = delete;

  const DataMatrix& data() const { return data_; }
  ModelKind kind() const { return kind_; }
  std::uint64_t n_rows() const { return n_rows_; }
  // 0 when only the Exact path serves the table.
  std::uint64_t n_groups() const { return n_groups_; }
  // Row numbers fit 32 bits.
  bool narrow_rows() const { return narrow_rows_; }
  // Every feature column covers every row, has a bin count of at most 255 and no present bin
  // above it: bins index histogram slots without checks.
  bool clean_columns() const { return clean_columns_; }
  bool unit_weights() const { return unit_weights_; }
  // Classification rows all have a countable outcome and group.
  bool every_row_countable() const { return every_row_countable_; }

  // Records exist (the ordered path of the table's kind can serve it).
  bool has_records() const { return records_ != nullptr; }
  // No record is marked kUnreadable: a draw needs no check of its rows.
  bool every_record_readable() const { return every_record_readable_; }
  std::size_t record_size() const { return record_size_; }
  const std::uint8_t* record(std::uint32_t row) const {
    return records_.get() + std::size_t{row} * record_size_;
  }
  // Bin count of each feature, as feature_shape reads it (valid when clean_columns()).
  std::uint64_t n_bins(std::size_t feature) const { return n_bins_[feature]; }

 private:
  void make_records();

  const DataMatrix& data_;
  ModelKind kind_;
  std::uint64_t n_rows_ = 0;
  std::uint64_t n_groups_ = 0;
  bool narrow_rows_ = false;
  bool clean_columns_ = false;
  bool unit_weights_ = false;
  bool every_row_countable_ = false;
  std::vector<std::uint64_t> n_bins_;
  struct FreeRecords {
    void operator()(std::uint8_t* records) const;
  };
  std::size_t record_size_ = 0;
  bool every_record_readable_ = false;
  std::unique_ptr<std::uint8_t[], FreeRecords> records_;
};

}  // namespace quorvanta
