// JSON text of each record of the model file, members in the records' declared field order.
#include "persist/json_writer.hpp"
#include "persist/model_text.hpp"

namespace quorvanta {

namespace {

void write_split_info(JsonWriter& json, const SplitInfo& split) {
  json.begin_object();
  json.key("node_id");
  json.u64(split.node_id);
  json.key("feature_id");
  json.u64(split.feature_id);
  json.key("treatment_id");
  json.u64(split.treatment_id);
  json.key("iscat");
  json.boolean(split.iscat);
  json.key("value");
  if (split.value) {
    json.begin_array();
    for (std::uint8_t bin : *split.value) json.u64(bin);
    json.end_array();
  } else {
    json.null();
  }
  json.key("gain");
  json.f32(split.gain);
  json.key("gain_importance");
  json.f32(split.gain_importance);
  json.key("summary");
  json.begin_array();
  for (const auto& row : split.summary) json.f32_array(row);
  json.end_array();
  json.end_object();
}

void write_optional_ids(JsonWriter& json, const std::vector<std::optional<std::uint64_t>>& ids) {
  json.begin_array();
  for (const auto& id : ids) json.optional_u64(id);
  json.end_array();
}

// One writer per type of configuration field.
void write_config_value(JsonWriter& json, const std::vector<std::string>& value) {
  json.string_array(value);
}
void write_config_value(JsonWriter& json, const std::string& value) {
  json.string(value);
}
void write_config_value(JsonWriter& json, std::uint64_t value) {
  json.u64(value);
}
void write_config_value(JsonWriter& json, float value) {
  json.f32(value);
}
void write_config_value(JsonWriter& json, bool value) {
  json.boolean(value);
}
void write_config_value(JsonWriter& json, const std::optional<std::uint64_t>& value) {
  json.optional_u64(value);
}

}  // namespace

std::string tree_config_to_json(const TreeConfig& config) {
  JsonWriter json;
  json.begin_object();
  for_each_config_field([&](const auto& field) {
    json.key(field.name);
    write_config_value(json, config.*field.member);
  });
  json.end_object();
  return json.take();
}

namespace {

// Both bin records are a bin count and a list of values.
std::string bin_to_json(std::uint64_t n_bin, const char* values_key,
                        const std::vector<float>& values) {
  JsonWriter json;
  json.begin_object();
  json.key("n_bin");
  json.u64(n_bin);
  json.key(values_key);
  json.f32_array(values);
  json.end_object();
  return json.take();
}

}  // namespace

std::string continuous_bin_to_json(const ContinuousBin& bin) {
  return bin_to_json(bin.n_bin, "threshold", bin.threshold);
}

std::string discrete_bin_to_json(const DiscreteBin& bin) {
  return bin_to_json(bin.n_bin, "mapping", bin.mapping);
}

std::string tree_record_to_json(const TreeRecord& tree) {
  JsonWriter json;
  json.begin_object();
  json.key("level");
  json.begin_array();
  for (std::uint64_t level : tree.level) json.u64(level);
  json.end_array();
  json.key("left_children");
  write_optional_ids(json, tree.left_children);
  json.key("right_children");
  write_optional_ids(json, tree.right_children);
  json.key("split");
  json.begin_array();
  for (const auto& split : tree.split) {
    if (split) {
      write_split_info(json, *split);
    } else {
      json.null();
    }
  }
  json.end_array();
  json.end_object();
  return json.take();
}

}  // namespace quorvanta
