#include "data/data_loader.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <span>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "common/fault.hpp"
#include "common/interruption.hpp"
#include "data/column_keys.hpp"
#include "data/ordered_tasks.hpp"
#include "data/threshold_lookup.hpp"

namespace quorvanta {
namespace {

// Rows are read in blocks: each block's cells are read column by column while the block's part of
// a row-major table stays in the core's cache (4096 rows of 20 float32 columns: 320 KB), so the
// table is streamed from memory once per pass instead of once per column.
constexpr std::size_t kRowBlock = 4096;
constexpr std::uint64_t kRangesPerThread = 4;
// Ranges are short enough that a worker ends its range soon after an interrupt.
constexpr std::size_t kMaxBlocksPerRange = 64;
// New features are read a few at a time: each group costs one pass over the table and holds one
// float column per feature until its records are built.
constexpr std::size_t kNewFeaturesPerGroup = 4;

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

// A feature with its bin record, once the records no longer change; exactly one of the records is
// set. Long numeric columns are binned through a lookup table built once per load.
struct KnownFeature {
  std::size_t feature;
  std::size_t position;
  const ContinuousBin* continuous = nullptr;
  const DiscreteBin* discrete = nullptr;
  std::shared_ptr<const ThresholdLookup> lookup;

  void to_bins(std::span<const float> values, std::span<std::uint8_t> out) const {
    if (lookup) {
      lookup->to_bins(values, out);
    } else if (continuous) {
      continuous->to_bins(values, out);
    } else {
      discrete->to_bins(values, out);
    }
  }
};

// A feature met for the first time: a record of its kind is built from its column. Its cells are
// binned later with the others.
struct NewFeature {
  std::size_t feature;
  std::size_t position;
  bool is_cat;
  ContinuousBin continuous;
  DiscreteBin discrete;
  bool built = false;
  bool from_cells = false;  // a numeric record that needed the column's cells, not only its keys
};

// Rows [0, n_rows) of the column at `position`, read block by block.
std::vector<float> whole_column(const CellTable& rows, std::size_t position) {
  std::vector<float> column(rows.n_rows());
  for (std::size_t start = 0; start < column.size(); start += kRowBlock) {
    check_interruption();
    const std::size_t end = std::min(column.size(), start + kRowBlock);
    rows.read_column(position, start, end, std::span<float>(column).subspan(start, end - start));
  }
  return column;
}

// Builds the records of a group of new features in order, after reading their columns in one pass
// over row blocks: a numeric column straight into its keys, a categorical one whole. A failure
// leaves the earlier features of the group built.
void build_new_features(const CellTable& rows, std::uint64_t n_bin, std::span<NewFeature> group) {
  const std::size_t n_rows = rows.n_rows();
  std::vector<std::optional<ColumnKeys>> keys(group.size());
  std::vector<std::vector<float>> categories(group.size());
  for (std::size_t k = 0; k < group.size(); ++k) {
    if (group[k].is_cat) {
      categories[k].resize(n_rows);
    } else {
      keys[k].emplace(n_rows);
    }
  }
  std::vector<float> block(std::min(kRowBlock, n_rows));
  for (std::size_t start = 0; start < n_rows; start += kRowBlock) {
    check_interruption();
    const std::size_t end = std::min(n_rows, start + kRowBlock);
    for (std::size_t k = 0; k < group.size(); ++k) {
      if (group[k].is_cat) {
        rows.read_column(group[k].position, start, end,
                         std::span<float>(categories[k]).subspan(start, end - start));
      } else {
        const std::span<float> cells(block.data(), end - start);
        rows.read_column(group[k].position, start, end, cells);
        keys[k]->add(cells);
      }
    }
  }
  for (std::size_t k = 0; k < group.size(); ++k) {
    NewFeature& feature = group[k];
    if (feature.is_cat) {
      feature.discrete = DiscreteBin::from_values(categories[k]);
      std::vector<float>().swap(categories[k]);  // a column is not needed once its record exists
    } else if (std::optional<ContinuousBin> bin = ContinuousBin::from_keys(*keys[k], n_bin)) {
      feature.continuous = std::move(*bin);
    } else {
      keys[k].reset();
      feature.continuous = ContinuousBin::from_values(whole_column(rows, feature.position), n_bin);
      feature.from_cells = true;
    }
    keys[k].reset();
    feature.built = true;
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
  for (const KnownFeature& known : features) grow_checked(data.x[known.feature], n_rows);
  if (targets.y) grow_checked(data.y, n_rows);
  data.treatment.resize(targets.treatments.size());
  for (std::vector<std::uint8_t>& groups : data.treatment) grow_checked(groups, n_rows);
  grow_checked(data.weight, n_rows, 1.0f);
}

// What the row pass does with the cells it has read and checked. Checking alone (prediction reads
// the features' raw values itself) keeps nothing; loading bins the features and keeps the rest.
struct CheckOnly {
  static constexpr bool kBinsFeatures = false;
  void bins(const KnownFeature&, std::size_t, std::span<const float>) {}
  void outcome(std::size_t, float) {}
  void treatment(std::size_t, std::size_t, std::uint8_t) {}
  void weight(std::size_t, float) {}
};

struct CheckAndBin {
  static constexpr bool kBinsFeatures = true;
  DataMatrix& data;

  void bins(const KnownFeature& feature, std::size_t start, std::span<const float> values) {
    feature.to_bins(values,
                    std::span<std::uint8_t>(data.x[feature.feature].data() + start, values.size()));
  }
  void outcome(std::size_t row, float value) { data.y[row] = value; }
  void treatment(std::size_t t, std::size_t row, std::uint8_t group) {
    data.treatment[t][row] = group;
  }
  void weight(std::size_t row, float value) { data.weight[row] = value; }
};

// The one pass over rows [begin, end), with the same reads and checks for either sink. Every
// failure here is the absent-value failure, so which absent cell is met first does not change the
// report.
template <class Sink>
void row_pass(const CellTable& rows, const std::vector<KnownFeature>& features,
              const TargetPositions& targets, std::size_t begin, std::size_t end, Sink sink) {
  std::vector<float> block(std::min(kRowBlock, end - begin));
  for (std::size_t start = begin; start < end; start += kRowBlock) {
    check_interruption();
    const std::size_t count = std::min(kRowBlock, end - start);
    const std::span<float> values(block.data(), count);
    if constexpr (Sink::kBinsFeatures) {
      for (const KnownFeature& feature : features) {
        rows.read_column(feature.position, start, start + count, values);
        sink.bins(feature, start, values);
      }
    }
    if (targets.y) {
      rows.read_column(*targets.y, start, start + count, values);
      for (std::size_t i = 0; i < count; ++i) sink.outcome(start + i, present(values[i]));
    }
    for (std::size_t t = 0; t < targets.treatments.size(); ++t) {
      rows.read_column(targets.treatments[t], start, start + count, values);
      for (std::size_t i = 0; i < count; ++i) {
        sink.treatment(t, start + i, to_treatment_group(present(values[i])));
      }
    }
    if (targets.weight) {
      rows.read_column(*targets.weight, start, start + count, values);
      for (std::size_t i = 0; i < count; ++i) sink.weight(start + i, present(values[i]));
    }
  }
}

// A treatment column without rows has no largest value.
void require_treatment_rows(const TargetPositions& targets, std::size_t n_rows) {
  if (!targets.treatments.empty() && n_rows == 0) fail_absent_value();
}

// Runs `pass(begin, end)` over row ranges of whole blocks, a few per thread so that a slow thread
// delays the pass little. The first failure in row order is the one reported, as in a single pass.
template <class Pass>
void for_row_ranges(std::size_t n_rows, std::uint64_t n_thread, Pass&& pass) {
  const std::size_t n_blocks = (n_rows + kRowBlock - 1) / kRowBlock;
  const std::size_t n_ranges = std::max<std::size_t>(
      static_cast<std::size_t>(std::min<std::uint64_t>(
          n_blocks, kRangesPerThread *
                        std::min<std::uint64_t>(std::max<std::uint64_t>(n_thread, 1), n_blocks))),
      (n_blocks + kMaxBlocksPerRange - 1) / kMaxBlocksPerRange);
  rethrow_failure(run_ordered_tasks(n_ranges, n_thread, [&](std::size_t range) {
    const std::size_t begin = std::min(n_rows, range * n_blocks / n_ranges * kRowBlock);
    const std::size_t end = std::min(n_rows, (range + 1) * n_blocks / n_ranges * kRowBlock);
    pass(begin, end);
  }));
}

}  // namespace

// What load and locate_features share: the features' roles, every feature with its record (in
// the order the row pass takes them), and the positions of the other columns.
struct DataLoader::Staging {
  std::vector<std::uint8_t> is_cat;
  std::vector<KnownFeature> features;
  TargetPositions targets;
};

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

void DataLoader::stage(const std::vector<std::string>& headers, const CellTable& rows,
                       std::uint64_t n_thread, Staging& staging) {
  routes_ = {};
  const auto feature_positions = find_columns(headers, feature_cols_, true);
  const auto y_position = first_position(headers, y_col_);
  const auto treatment_positions = find_columns(headers, treatment_cols_, false);
  const auto weight_position = first_position(headers, weight_col_);

  for (const std::string& feature : feature_cols_) {
    const bool is_cat = std::find(cat_cols_.begin(), cat_cols_.end(), feature) != cat_cols_.end();
    staging.is_cat.push_back(is_cat ? 1 : 0);
  }

  const std::size_t shortest_row = rows.shortest_row_length();
  const auto require_cells = [&](std::size_t position) {
    if (position >= shortest_row) fail_absent_value();
    return position;
  };

  // Features in order, as far as the first one that some row lacks: that one fails the load after
  // the features before it have been binned. A feature without a record is new, unless an earlier
  // feature of the same name builds the record it will meet.
  const std::size_t n_features = feature_cols_.size();
  std::vector<NewFeature> new_features;
  std::vector<KnownFeature>& known = staging.features;
  std::unordered_set<std::string_view> names_built;
  std::size_t lacking_feature = n_features;
  for (std::size_t feature = 0; feature < n_features; ++feature) {
    const std::string& name = feature_cols_[feature];
    const std::size_t position = *feature_positions[feature];
    if (position >= shortest_row) {
      lacking_feature = feature;
      break;
    }
    const bool is_cat = staging.is_cat[feature] != 0;
    const bool held = is_cat ? discrete_bins_.contains(name) : continuous_bins_.contains(name);
    if (held || !names_built.insert(name).second) {
      known.push_back({feature, position, nullptr, nullptr, nullptr});
    } else {
      new_features.push_back({feature, position, is_cat, {}, {}});
    }
  }

  // New features are independent of each other and are built concurrently, a group of them per
  // task. Their records are then stored in feature order up to the first failure, so a failed load
  // keeps exactly the records that one-by-one building would have stored before failing, and
  // reports the same failure.
  const std::size_t n_groups =
      (new_features.size() + kNewFeaturesPerGroup - 1) / kNewFeaturesPerGroup;
  const FirstTaskFailure building = run_ordered_tasks(n_groups, n_thread, [&](std::size_t group) {
    const std::size_t first = group * kNewFeaturesPerGroup;
    const std::size_t count = std::min(kNewFeaturesPerGroup, new_features.size() - first);
    build_new_features(rows, n_bin_, std::span<NewFeature>(new_features).subspan(first, count));
  });
  for (NewFeature& built : new_features) {
    if (!built.built) break;
    if (!built.is_cat)
      ++(built.from_cells ? routes_.records_from_cells : routes_.records_from_keys);
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
  for (const NewFeature& built : new_features) {
    known.push_back({built.feature, built.position, nullptr, nullptr, nullptr});
  }
  for (KnownFeature& known_feature : known) {
    const std::string& name = feature_cols_[known_feature.feature];
    if (staging.is_cat[known_feature.feature] != 0) {
      known_feature.discrete = discrete_bins_.find(name);
    } else {
      known_feature.continuous = continuous_bins_.find(name);
    }
  }

  TargetPositions& targets = staging.targets;
  if (y_position) targets.y = require_cells(*y_position);
  // Without the first treatment column there is no treatment data; a later one must be present.
  if (!treatment_cols_.empty() && treatment_positions.front()) {
    for (const std::optional<std::size_t>& position : treatment_positions) {
      targets.treatments.push_back(require_cells(unwrap(position)));
    }
  }
  if (weight_position) targets.weight = require_cells(*weight_position);
}

DataMatrix DataLoader::load(const std::vector<std::string>& headers, const CellTable& rows,
                            std::uint64_t n_thread) {
  Staging staging;
  stage(headers, rows, n_thread, staging);
  const std::size_t n_rows = rows.n_rows();
  // Every feature is binned in the row pass; long numeric columns through a lookup table.
  std::vector<KnownFeature>& features = staging.features;
  for (KnownFeature& feature : features) {
    if (feature.continuous != nullptr && n_rows >= ThresholdLookup::kMinRows) {
      feature.lookup = std::make_shared<const ThresholdLookup>(*feature.continuous);
      ++routes_.binned_by_lookup;
    }
  }

  DataMatrix data;
  data.is_cat = std::move(staging.is_cat);
  data.x.resize(feature_cols_.size());
  const TargetPositions& targets = staging.targets;
  size_row_outputs(n_rows, features, targets, data);
  for_row_ranges(n_rows, n_thread, [&](std::size_t begin, std::size_t end) {
    row_pass(rows, features, targets, begin, end, CheckAndBin{data});
  });
  require_treatment_rows(targets, n_rows);

  for (const std::vector<std::uint8_t>& groups : data.treatment) {
    const std::uint8_t largest = *std::max_element(groups.begin(), groups.end());
    data.n_treatment.push_back(static_cast<std::uint8_t>(largest + 1));
  }

  data.feature_names = feature_cols_;
  for (const auto& [name, bin] : continuous_bins_) data.n_bins.insert_or_assign(name, bin.n_bin);
  for (const auto& [name, bin] : discrete_bins_) data.n_bins.insert_or_assign(name, bin.n_bin);
  return data;
}

RawFeatures DataLoader::locate_features(const std::vector<std::string>& headers,
                                        const CellTable& rows, std::uint64_t n_thread) {
  Staging staging;
  stage(headers, rows, n_thread, staging);
  const std::size_t n_rows = rows.n_rows();
  for_row_ranges(n_rows, n_thread, [&](std::size_t begin, std::size_t end) {
    row_pass(rows, staging.features, staging.targets, begin, end, CheckOnly{});
  });
  require_treatment_rows(staging.targets, n_rows);

  RawFeatures located;
  located.n_rows = n_rows;
  located.features.resize(feature_cols_.size());
  for (const KnownFeature& feature : staging.features) {
    located.features[feature.feature] = {feature.position, feature.continuous, feature.discrete};
  }
  return located;
}

}  // namespace quorvanta
