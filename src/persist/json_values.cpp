#include "persist/json_values.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "persist/json_writer.hpp"

namespace quorvanta {

namespace {

std::string describe_number(const JsonReader::Number& number) {
  return std::string(number.integral ? "integer `" : "floating point `") +
         std::string(number.text) + "`";
}

// Consumes a scalar and says what it was; containers are named without being read.
std::string describe_value(JsonReader& reader) {
  switch (reader.peek_kind()) {
    case JsonReader::Kind::Null:
      reader.read_null();
      return "null";
    case JsonReader::Kind::Boolean:
      return reader.read_boolean() ? "boolean `true`" : "boolean `false`";
    case JsonReader::Kind::String: {
      std::string text = "string ";
      append_json_string(text, reader.read_string());
      return text;
    }
    case JsonReader::Kind::Number:
      return describe_number(reader.read_number());
    case JsonReader::Kind::Array:
      return "sequence";
    case JsonReader::Kind::Object:
      return "map";
  }
  return "value";
}

// A non-negative integer no larger than `max`, or the matching failure.
std::uint64_t read_unsigned(JsonReader& reader, std::uint64_t max, std::string_view expected) {
  const std::size_t start = reader.value_offset();
  if (reader.peek_kind() != JsonReader::Kind::Number) fail_invalid_type(reader, expected);
  const JsonReader::Number number = reader.read_number();
  if (!number.integral) {
    reader.fail_at(
        start, "invalid type: " + describe_number(number) + ", expected " + std::string(expected));
  }
  std::uint64_t value = 0;
  const char* first = number.text.data();
  const char* last = first + number.text.size();
  const auto result = std::from_chars(first, last, value);
  if (number.negative || result.ec != std::errc() || value > max) {
    reader.fail_at(
        start, "invalid value: " + describe_number(number) + ", expected " + std::string(expected));
  }
  return value;
}

// Whether the number's leading significant digit lies above the decimal point: enough to tell
// overflow from underflow once the double conversion has reported a value out of range.
bool magnitude_is_large(std::string_view text) {
  if (!text.empty() && text.front() == '-') text.remove_prefix(1);
  long long exponent = 0;
  const std::size_t e_position = text.find_first_of("eE");
  if (e_position != std::string_view::npos) {
    std::string_view exponent_text = text.substr(e_position + 1);
    bool negative = false;
    if (!exponent_text.empty() && (exponent_text.front() == '+' || exponent_text.front() == '-')) {
      negative = exponent_text.front() == '-';
      exponent_text.remove_prefix(1);
    }
    for (char c : exponent_text) {
      exponent = std::min(exponent * 10 + (c - '0'), 1'000'000'000LL);
    }
    if (negative) exponent = -exponent;
    text = text.substr(0, e_position);
  }
  const std::size_t point = text.find('.');
  const std::string_view integer_part = text.substr(0, point);
  const std::size_t first_significant = integer_part.find_first_not_of('0');
  if (first_significant != std::string_view::npos) {
    return exponent + static_cast<long long>(integer_part.size() - first_significant) > 0;
  }
  const std::string_view fraction =
      point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
  const std::size_t leading_zeros = std::min(fraction.find_first_not_of('0'), fraction.size());
  return exponent - static_cast<long long>(leading_zeros) > 0;
}

float narrow_to_f32(double value) {
  // Round to nearest; beyond the largest float plus half an ulp the nearest value is infinity.
  constexpr double kMax = std::numeric_limits<float>::max();
  constexpr double kOverflow = 340282356779733661637539395458142568448.0;  // 2^128 - 2^103
  if (std::fabs(value) > kMax) {
    const float limit = std::fabs(value) >= kOverflow ? std::numeric_limits<float>::infinity()
                                                      : std::numeric_limits<float>::max();
    return std::signbit(value) ? -limit : limit;
  }
  return static_cast<float>(value);
}

}  // namespace

void fail_invalid_type(JsonReader& reader, std::string_view expected) {
  const std::size_t start = reader.value_offset();
  const std::string found = describe_value(reader);
  reader.fail_at(start, "invalid type: " + found + ", expected " + std::string(expected));
}

std::uint64_t read_u64(JsonReader& reader) {
  return read_unsigned(reader, std::numeric_limits<std::uint64_t>::max(), "u64");
}

std::uint8_t read_u8(JsonReader& reader) {
  return static_cast<std::uint8_t>(read_unsigned(reader, 255, "u8"));
}

float read_f32(JsonReader& reader) {
  const JsonReader::Kind kind = reader.peek_kind();
  if (kind == JsonReader::Kind::Null) {
    reader.read_null();
    return std::numeric_limits<float>::quiet_NaN();
  }
  if (kind != JsonReader::Kind::Number) fail_invalid_type(reader, "f32");
  const std::size_t start = reader.value_offset();
  const JsonReader::Number number = reader.read_number();
  double value = 0.0;
  const char* first = number.text.data();
  const char* last = first + number.text.size();
  const auto result = std::from_chars(first, last, value);
  if (result.ec == std::errc::result_out_of_range) {
    if (magnitude_is_large(number.text)) reader.fail_at(start, "number out of range");
    value = number.negative ? -0.0 : 0.0;
  } else if (result.ec != std::errc() || result.ptr != last) {
    reader.fail_at(start, "invalid number");
  }
  return narrow_to_f32(value);
}

bool read_bool(JsonReader& reader) {
  if (reader.peek_kind() != JsonReader::Kind::Boolean) fail_invalid_type(reader, "a boolean");
  return reader.read_boolean();
}

std::string read_string_value(JsonReader& reader) {
  if (reader.peek_kind() != JsonReader::Kind::String) fail_invalid_type(reader, "a string");
  return reader.read_string();
}

}  // namespace quorvanta
