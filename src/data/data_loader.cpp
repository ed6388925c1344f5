#include "data/data_loader.hpp"

#include <algorithm>
#include <cmath>
#include <span>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "common/fault.hpp"
#include "data/ordered_tasks.hpp"

namespace quorvanta {
namespace {

// Rows are converted in blocks: each block's cells are read column by column and converted while
// they are in cache, so no whole column is ever held as floats.
constexpr std::size_t kRowBlock = 16384;
constexpr std::uint64_t kRangesPerThread = 4;

std::optional<std::size_t> first_position(const std::vector<std::string>& headers,
                                          const std::string& name) {
  const auto found = std::find(headers.begin(), headers.end(), name);
  if (found == headers.end()) return std::nullopt;
  return static_cast<std::size_t>(found - headers.begin());
}

// Truncates toward zero and saturates to 0..255; NaN is group 0.
std::uint8_t to_treatment_group(float value) {
  if (std::isnan(value) || value <= 0.0f) return 0;
  if (value >= 255.0f) return 255;
  return static_cast<std::uint8_t>(value);
}

// Outcome, treatment and weight cells must be present.
float present(float cell) {
  if (is_missing_cell(cell)) fail_absent_value();
  return cell;
}

// A feature whose bin record was held when its turn came; exactly one of the records is set.
struct KnownFeature {
  std::size_t feature;
  std::size_t position;
  const ContinuousBin* continuous = nullptr;
  const DiscreteBin* discrete = nullptr;
};

// A feature met for the first time: its column is read, a record of its kind built from it and the
// column converted with that record.
struct NewFeature {
  std::size_t feature;
  std::size_t position;
  bool is_cat;
  ContinuousBin continuous;
  DiscreteBin discrete;
};

void bin_new_feature(const CellTable& rows, std::uint64_t n_bin, NewFeature& feature,
                     std::vector<std::uint8_t>& out) {
  std::vector<float> column(rows.n_rows());
  rows.read_column(feature.position, 0, column.size(), column);
  out.resize(column.size());
  if (feature.is_cat) {
    feature.discrete = DiscreteBin::from_values(column);
    feature.discrete.to_bins(column, out);
  } else {
    feature.continuous = ContinuousBin::from_values(column, n_bin);
    feature.continuous.to_bins(column, out);
  }
}

// Positions of the non-feature cells, all checked to exist in every row.
struct TargetPositions {
  std::optional<std::size_t> y;
  std::vector<std::size_t> treatments;
  std::optional<std::size_t> weight;
};

// Sizes the outputs of the row pass, so that row ranges can be filled independently.
void size_row_outputs(std::size_t n_rows, const std::vector<KnownFeature>& features,
                      const TargetPositions& targets, DataMatrix& data) {
  for (const KnownFeature& known : features) data.x[known.feature].resize(n_rows);
  if (targets.y) data.y.resize(n_rows);
  data.treatment.assign(targets.treatments.size(), std::vector<std::uint8_t>(n_rows));
  data.weight.assign(n_rows, 1.0f);
}

// One pass over rows [begin, end): converts the known features and copies outcome, treatments and
// weights. Every failure here is the absent-value failure, so which absent cell is met first does
// not change the report.
void convert_rows(const CellTable& rows, const std::vector<KnownFeature>& features,
                  const TargetPositions& targets, std::size_t begin, std::size_t end,
                  DataMatrix& data) {
  std::vector<float> block(std::min(kRowBlock, end - begin));
  for (std::size_t start = begin; start < end; start += kRowBlock) {
    const std::size_t count = std::min(kRowBlock, end - start);
    const std::span<float> values(block.data(), count);
    for (const KnownFeature& feature : features) {
      rows.read_column(feature.position, start, start + count, values);
      const std::span<std::uint8_t> out(data.x[feature.feature].data() + start, count);
      if (feature.continuous) {
        feature.continuous->to_bins(values, out);
      } else {
        feature.discrete->to_bins(values, out);
      }
    }
    if (targets.y) {
      rows.read_column(*targets.y, start, start + count, values);
      for (std::size_t i = 0; i < count; ++i) data.y[start + i] = present(values[i]);
    }
    for (std::size_t t = 0; t < targets.treatments.size(); ++t) {
      rows.read_column(targets.treatments[t], start, start + count, values);
      for (std::size_t i = 0; i < count; ++i) {
        data.treatment[t][start + i] = to_treatment_group(present(values[i]));
      }
    }
    if (targets.weight) {
      rows.read_column(*targets.weight, start, start + count, values);
      for (std::size_t i = 0; i < count; ++i) data.weight[start + i] = present(values[i]);
    }
  }
}

}  // namespace

DataLoader::DataLoader(std::vector<std::string> feature_cols, std::string y_col,
                       std::vector<std::string> treatment_cols, std::string weight_col,
                       std::vector<std::string> cat_cols, std::uint64_t n_bin,
                       OrderedMap<ContinuousBin> continuous_bins,
                       OrderedMap<DiscreteBin> discrete_bins)
    : feature_cols_(std::move(feature_cols)),
      y_col_(std::move(y_col)),
      treatment_cols_(std::move(treatment_cols)),
      weight_col_(std::move(weight_col)),
      cat_cols_(std::move(cat_cols)),
      continuous_bins_(std::move(continuous_bins)),
      discrete_bins_(std::move(discrete_bins)),
      n_bin_(n_bin) {
  // Bin 255 is the key of a missing cell, so at most 254 numeric bins are available.
  if (n_bin_ >= kMaxBins) {
    fail("n_bin " + std::to_string(n_bin_) + " exceeds max " + std::to_string(kMaxBins));
  }
}

std::vector<std::optional<std::size_t>> DataLoader::find_columns(
    const std::vector<std::string>& headers, const std::vector<std::string>& wanted,
    bool required) {
  std::vector<std::optional<std::size_t>> positions;
  positions.reserve(wanted.size());
  for (const std::string& name : wanted) {
    positions.push_back(first_position(headers, name));
    if (required && !positions.back()) fail("Column is missing: " + name);
  }
  return positions;
}

DataMatrix DataLoader::load(const std::vector<std::string>& headers, const CellTable& rows,
                            std::uint64_t n_thread) {
  const auto feature_positions = find_columns(headers, feature_cols_, true);
  const auto y_position = first_position(headers, y_col_);
  const auto treatment_positions = find_columns(headers, treatment_cols_, false);
  const auto weight_position = first_position(headers, weight_col_);

  DataMatrix data;
  for (const std::string& feature : feature_cols_) {
    const bool is_cat = std::find(cat_cols_.begin(), cat_cols_.end(), feature) != cat_cols_.end();
    data.is_cat.push_back(is_cat ? 1 : 0);
  }

  const std::size_t n_rows = rows.n_rows();
  const std::size_t shortest_row = rows.shortest_row_length();
  const auto require_cells = [&](std::size_t position) {
    if (position >= shortest_row) fail_absent_value();
    return position;
  };

  // Features in order, as far as the first one that some row lacks: that one fails the load after
  // the features before it have been binned. A feature without a record is new, unless an earlier
  // feature of the same name builds the record it will meet.
  const std::size_t n_features = feature_cols_.size();
  data.x.resize(n_features);
  std::vector<NewFeature> new_features;
  std::vector<KnownFeature> known;
  std::unordered_set<std::string_view> names_built;
  std::size_t lacking_feature = n_features;
  for (std::size_t feature = 0; feature < n_features; ++feature) {
    const std::string& name = feature_cols_[feature];
    const std::size_t position = *feature_positions[feature];
    if (position >= shortest_row) {
      lacking_feature = feature;
      break;
    }
    const bool is_cat = data.is_cat[feature] != 0;
    const bool held = is_cat ? discrete_bins_.contains(name) : continuous_bins_.contains(name);
    if (held || !names_built.insert(name).second) {
      known.push_back({feature, position});
    } else {
      new_features.push_back({feature, position, is_cat, {}, {}});
    }
  }

  // New features are independent of each other and are built concurrently (on two idle cores
  // bench_loader's first load takes 250 ms instead of 500 ms). Their records are then stored in
  // feature order up to the first failure, so a failed load keeps exactly the records that
  // one-by-one building would have stored before failing, and reports the same failure.
  const FirstTaskFailure building =
      run_ordered_tasks(new_features.size(), n_thread, [&](std::size_t k) {
        bin_new_feature(rows, n_bin_, new_features[k], data.x[new_features[k].feature]);
      });
  for (std::size_t k = 0; k < building.task; ++k) {
    NewFeature& built = new_features[k];
    const std::string& name = feature_cols_[built.feature];
    if (built.is_cat) {
      discrete_bins_.insert_or_assign(name, std::move(built.discrete));
    } else {
      continuous_bins_.insert_or_assign(name, std::move(built.continuous));
    }
  }
  rethrow_failure(building);
  if (lacking_feature < n_features) fail_absent_value();

  // The maps no longer change, so their records can be referred to.
  for (KnownFeature& known_feature : known) {
    const std::string& name = feature_cols_[known_feature.feature];
    if (data.is_cat[known_feature.feature] != 0) {
      known_feature.discrete = discrete_bins_.find(name);
    } else {
      known_feature.continuous = continuous_bins_.find(name);
    }
  }

  TargetPositions targets;
  if (y_position) targets.y = require_cells(*y_position);
  // Without the first treatment column there is no treatment data; a later one must be present.
  if (!treatment_cols_.empty() && treatment_positions.front()) {
    for (const std::optional<std::size_t>& position : treatment_positions) {
      targets.treatments.push_back(require_cells(unwrap(position)));
    }
  }
  if (weight_position) targets.weight = require_cells(*weight_position);

  // Row ranges of whole blocks, a few per thread so that a slow thread delays the pass little. The
  // first failure in row order is the one reported, as in a single pass.
  size_row_outputs(n_rows, known, targets, data);
  const std::size_t n_blocks = (n_rows + kRowBlock - 1) / kRowBlock;
  const std::size_t n_ranges = static_cast<std::size_t>(std::min<std::uint64_t>(
      n_blocks,
      kRangesPerThread * std::min<std::uint64_t>(std::max<std::uint64_t>(n_thread, 1), n_blocks)));
  rethrow_failure(run_ordered_tasks(n_ranges, n_thread, [&](std::size_t range) {
    const std::size_t begin = std::min(n_rows, range * n_blocks / n_ranges * kRowBlock);
    const std::size_t end = std::min(n_rows, (range + 1) * n_blocks / n_ranges * kRowBlock);
    convert_rows(rows, known, targets, begin, end, data);
  }));

  for (const std::vector<std::uint8_t>& groups : data.treatment) {
    if (groups.empty()) fail_absent_value();  // no largest value
    const std::uint8_t largest = *std::max_element(groups.begin(), groups.end());
    data.n_treatment.push_back(static_cast<std::uint8_t>(largest + 1));
  }

  data.feature_names = feature_cols_;
  for (const auto& [name, bin] : continuous_bins_) data.n_bins.insert_or_assign(name, bin.n_bin);
  for (const auto& [name, bin] : discrete_bins_) data.n_bins.insert_or_assign(name, bin.n_bin);
  return data;
}

}  // namespace quorvanta
