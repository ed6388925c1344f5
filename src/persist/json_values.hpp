// Typed values of the model file's records on top of JsonReader, with the messages
// "invalid type: {found}, expected {wanted}" and "invalid value: {found}, expected {wanted}".
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "persist/json_reader.hpp"

namespace quorvanta {

// Describes the next value ("string \"x\"", "integer `5`", "sequence", ...) and fails with
// "invalid type: {that}, expected {expected}" at its start.
[[noreturn]] void fail_invalid_type(JsonReader& reader, std::string_view expected);

std::uint64_t read_u64(JsonReader& reader);
std::uint8_t read_u8(JsonReader& reader);
// Any JSON number, nearest double then nearest f32. null reads as NaN: the writer stores every
// non-finite float as null, and a model must load from the file its own save wrote.
float read_f32(JsonReader& reader);
bool read_bool(JsonReader& reader);
std::string read_string_value(JsonReader& reader);

// null reads as absent; anything else through `read`.
template <class Read>
auto read_optional(JsonReader& reader, Read read) -> std::optional<decltype(read(reader))> {
  if (reader.peek_kind() == JsonReader::Kind::Null) {
    reader.read_null();
    return std::nullopt;
  }
  return read(reader);
}

template <class Read>
auto read_sequence(JsonReader& reader, Read read) -> std::vector<decltype(read(reader))> {
  if (reader.peek_kind() != JsonReader::Kind::Array) fail_invalid_type(reader, "a sequence");
  std::vector<decltype(read(reader))> items;
  reader.begin_array();
  while (reader.next_element()) items.push_back(read(reader));
  return items;
}

}  // namespace quorvanta
