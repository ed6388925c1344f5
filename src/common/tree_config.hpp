// The configuration record of a model: column roles, binning, growing and threading settings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace quorvanta {

// The one list of the record's fields, in declared order (also the key order of the model file):
// FIELD(type, name, conf key, default). The record, the model file's writer and reader and the
// reader of the Python conf dict are all generated from it, so a field added here reaches all of
// them and cannot be forgotten in one.
#define QUORVANTA_TREE_CONFIG_FIELDS(FIELD)                                \
  FIELD(std::vector<std::string>, index_cols, "index", {})                 \
  FIELD(std::vector<std::string>, feature_cols, "feature", {})             \
  FIELD(std::vector<std::string>, cat_cols, "cat", {})                     \
  FIELD(std::vector<std::string>, treatment_cols, "treatment", {})         \
  FIELD(std::string, y_col, "y", {})                                       \
  FIELD(std::string, weight_col, "weight", {})                             \
  FIELD(std::uint64_t, n_bin, "n_bin", 30)                                 \
  FIELD(std::uint64_t, min_samples_leaf, "min_samples_leaf", 100)          \
  FIELD(std::uint64_t, min_samples_treatment, "min_samples_treatment", 10) \
  FIELD(std::uint64_t, n_reg, "n_reg", 10)                                 \
  FIELD(float, alpha, "alpha", 0.9f) /* bit pattern 0x3F666666 */          \
  FIELD(bool, normalization, "normalization", true)                        \
  FIELD(std::uint64_t, max_features, "max_features", 10)                   \
  FIELD(std::uint64_t, max_depth, "max_depth", 6)                          \
  FIELD(std::uint64_t, n_tree, "n_tree", 100)                              \
  FIELD(float, subsample, "subsample", 1.0f)                               \
  FIELD(std::uint64_t, n_thread, "n_thread", 1)                            \
  FIELD(std::optional<std::uint64_t>, seed, "seed", std::nullopt) /* absent: OS entropy */

struct TreeConfig {
#define QUORVANTA_DECLARE_CONFIG_FIELD(type, name, conf_key, initial) type name = initial;
  QUORVANTA_TREE_CONFIG_FIELDS(QUORVANTA_DECLARE_CONFIG_FIELD)
#undef QUORVANTA_DECLARE_CONFIG_FIELD

  bool operator==(const TreeConfig&) const = default;
};

// One entry of the field table: the field's name (its key in the model file), its key in the
// conf dict and the member it describes.
template <class T>
struct ConfigField {
  using Type = T;
  std::string_view name;
  std::string_view conf_key;
  T TreeConfig::* member;
};

// The field table as a tuple of ConfigField, in declared order.
inline constexpr auto kTreeConfigFields = std::tuple_cat(
#define QUORVANTA_CONFIG_FIELD_ENTRY(type, name, conf_key, initial) \
  std::tuple<ConfigField<type>>{{#name, conf_key, &TreeConfig::name}},
    QUORVANTA_TREE_CONFIG_FIELDS(QUORVANTA_CONFIG_FIELD_ENTRY)
#undef QUORVANTA_CONFIG_FIELD_ENTRY
        std::tuple<>());

inline constexpr std::size_t kTreeConfigFieldCount =
    std::tuple_size_v<std::remove_const_t<decltype(kTreeConfigFields)>>;

// Calls visit(field) for every entry of the field table in declared order.
template <class Visit>
constexpr void for_each_config_field(Visit&& visit) {
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    (visit(std::get<I>(kTreeConfigFields)), ...);
  }(std::make_index_sequence<kTreeConfigFieldCount>());
}

}  // namespace quorvanta
