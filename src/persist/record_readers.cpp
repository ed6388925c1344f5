// Readers of the five records of the model file. A record is a JSON object (members in any order,
// unknown members skipped) or an array holding every field in declared order.
#include <array>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "persist/json_reader.hpp"
#include "persist/json_values.hpp"
#include "persist/model_text.hpp"

namespace quorvanta {

namespace {

struct FieldSpec {
  std::string_view name;
  bool optional = false;
};

std::string length_message(std::size_t found, std::string_view record_name, std::size_t n_fields) {
  return "invalid length " + std::to_string(found) + ", expected struct " +
         std::string(record_name) + " with " + std::to_string(n_fields) + " elements";
}

// `read_field(reader, record, index)` reads field `index` of `fields` into `record`.
template <class Record, std::size_t N, class ReadField>
Record read_struct(JsonReader& reader, std::string_view record_name,
                   const std::array<FieldSpec, N>& fields, ReadField read_field) {
  Record record{};
  const JsonReader::Kind kind = reader.peek_kind();
  if (kind == JsonReader::Kind::Object) {
    std::array<bool, N> seen{};
    reader.begin_object();
    while (const auto key = reader.next_key()) {
      std::size_t index = 0;
      while (index < N && fields[index].name != key->name) ++index;
      if (index == N) {
        reader.skip_value();
        continue;
      }
      if (seen[index]) reader.fail_at(key->offset, "duplicate field `" + key->name + "`");
      seen[index] = true;
      read_field(reader, record, index);
    }
    for (std::size_t index = 0; index < N; ++index) {
      if (!seen[index] && !fields[index].optional) {
        reader.fail_at(reader.offset(), "missing field `" + std::string(fields[index].name) + "`");
      }
    }
    return record;
  }
  if (kind == JsonReader::Kind::Array) {
    reader.begin_array();
    for (std::size_t index = 0; index < N; ++index) {
      if (!reader.next_element()) {
        reader.fail_at(reader.offset(), length_message(index, record_name, N));
      }
      read_field(reader, record, index);
    }
    // Extra elements are refused too: the count they make is reported once all are read.
    std::size_t count = N;
    while (reader.next_element()) {
      reader.skip_value();
      ++count;
    }
    if (count != N) reader.fail_at(reader.offset(), length_message(count, record_name, N));
    return record;
  }
  fail_invalid_type(reader, "struct " + std::string(record_name));
}

// One reader per type of configuration field.
template <class T>
T read_config_value(JsonReader& reader) {
  if constexpr (std::is_same_v<T, std::vector<std::string>>) {
    return read_sequence(reader, read_string_value);
  } else if constexpr (std::is_same_v<T, std::string>) {
    return read_string_value(reader);
  } else if constexpr (std::is_same_v<T, std::uint64_t>) {
    return read_u64(reader);
  } else if constexpr (std::is_same_v<T, float>) {
    return read_f32(reader);
  } else if constexpr (std::is_same_v<T, bool>) {
    return read_bool(reader);
  } else {
    static_assert(std::is_same_v<T, std::optional<std::uint64_t>>, "no reader for this field type");
    return read_optional(reader, read_u64);
  }
}

// The record's member list, from the configuration's field table; an optional field may be left
// out of an object.
constexpr std::array<FieldSpec, kTreeConfigFieldCount> config_field_specs() {
  std::array<FieldSpec, kTreeConfigFieldCount> specs{};
  std::size_t index = 0;
  for_each_config_field([&](const auto& field) {
    using Type = typename std::remove_cvref_t<decltype(field)>::Type;
    specs[index++] = FieldSpec{field.name, std::is_same_v<Type, std::optional<std::uint64_t>>};
  });
  return specs;
}

constexpr std::array<FieldSpec, kTreeConfigFieldCount> kTreeConfigFields = config_field_specs();

TreeConfig read_tree_config(JsonReader& reader) {
  return read_struct<TreeConfig>(reader, "TreeConfig", kTreeConfigFields,
                                 [](JsonReader& in, TreeConfig& config, std::size_t index) {
                                   std::size_t position = 0;
                                   for_each_config_field([&](const auto& field) {
                                     using Type =
                                         typename std::remove_cvref_t<decltype(field)>::Type;
                                     if (position++ == index)
                                       config.*field.member = read_config_value<Type>(in);
                                   });
                                 });
}

constexpr std::array<FieldSpec, 2> kContinuousBinFields = {{{"n_bin"}, {"threshold"}}};
constexpr std::array<FieldSpec, 2> kDiscreteBinFields = {{{"n_bin"}, {"mapping"}}};

constexpr std::array<FieldSpec, 8> kSplitInfoFields = {{
    {"node_id"},
    {"feature_id"},
    {"treatment_id"},
    {"iscat"},
    {"value", true},
    {"gain"},
    {"gain_importance"},
    {"summary"},
}};

std::vector<float> read_f32_sequence(JsonReader& reader) {
  return read_sequence(reader, read_f32);
}

std::vector<std::uint8_t> read_u8_sequence(JsonReader& reader) {
  return read_sequence(reader, read_u8);
}

SplitInfo read_split_info(JsonReader& reader) {
  return read_struct<SplitInfo>(reader, "SplitInfo", kSplitInfoFields,
                                [](JsonReader& in, SplitInfo& split, std::size_t index) {
                                  switch (index) {
                                    case 0:
                                      split.node_id = read_u64(in);
                                      break;
                                    case 1:
                                      split.feature_id = read_u64(in);
                                      break;
                                    case 2:
                                      split.treatment_id = read_u64(in);
                                      break;
                                    case 3:
                                      split.iscat = read_bool(in);
                                      break;
                                    case 4:
                                      split.value = read_optional(in, read_u8_sequence);
                                      break;
                                    case 5:
                                      split.gain = read_f32(in);
                                      break;
                                    case 6:
                                      split.gain_importance = read_f32(in);
                                      break;
                                    case 7:
                                      split.summary = read_sequence(in, read_f32_sequence);
                                      break;
                                  }
                                });
}

std::optional<std::uint64_t> read_optional_id(JsonReader& reader) {
  return read_optional(reader, read_u64);
}

std::optional<SplitInfo> read_optional_split(JsonReader& reader) {
  return read_optional(reader, read_split_info);
}

constexpr std::array<FieldSpec, 4> kTreeRecordFields = {{
    {"level"},
    {"left_children"},
    {"right_children"},
    {"split"},
}};

// Parses one whole text as a record: nothing but whitespace may follow it.
template <class Read>
auto parse_whole(std::string_view text, Read read) {
  JsonReader reader(text);
  auto record = read(reader);
  reader.expect_end();
  return record;
}

}  // namespace

TreeConfig parse_tree_config(std::string_view text) {
  return parse_whole(text, read_tree_config);
}

ContinuousBin parse_continuous_bin(std::string_view text) {
  ContinuousBin bin = parse_whole(text, [](JsonReader& reader) {
    return read_struct<ContinuousBin>(reader, "ContinuousBin", kContinuousBinFields,
                                      [](JsonReader& in, ContinuousBin& bin, std::size_t index) {
                                        if (index == 0) {
                                          bin.n_bin = read_u64(in);
                                        } else {
                                          bin.threshold = read_f32_sequence(in);
                                        }
                                      });
  });
  bin.choose_binning();
  return bin;
}

DiscreteBin parse_discrete_bin(std::string_view text) {
  return parse_whole(text, [](JsonReader& reader) {
    return read_struct<DiscreteBin>(reader, "DiscreteBin", kDiscreteBinFields,
                                    [](JsonReader& in, DiscreteBin& bin, std::size_t index) {
                                      if (index == 0) {
                                        bin.n_bin = read_u64(in);
                                      } else {
                                        bin.mapping = read_f32_sequence(in);
                                      }
                                    });
  });
}

TreeRecord parse_tree_record(std::string_view text, ModelKind kind) {
  return parse_whole(text, [kind](JsonReader& reader) {
    return read_struct<TreeRecord>(reader, tree_type_name(kind), kTreeRecordFields,
                                   [](JsonReader& in, TreeRecord& tree, std::size_t index) {
                                     switch (index) {
                                       case 0:
                                         tree.level = read_sequence(in, read_u64);
                                         break;
                                       case 1:
                                         tree.left_children = read_sequence(in, read_optional_id);
                                         break;
                                       case 2:
                                         tree.right_children = read_sequence(in, read_optional_id);
                                         break;
                                       case 3:
                                         tree.split = read_sequence(in, read_optional_split);
                                         break;
                                     }
                                   });
  });
}

}  // namespace quorvanta
