#include "persist/json_writer.hpp"

#include <charconv>

#include "persist/model_text.hpp"

namespace quorvanta {

void append_json_string(std::string& out, std::string_view text) {
  static constexpr char kHexDigits[] = "0123456789abcdef";
  out.push_back('"');
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\f':
        out += "\\f";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        if (byte < 0x20) {
          out += "\\u00";
          out.push_back(kHexDigits[byte >> 4]);
          out.push_back(kHexDigits[byte & 0xF]);
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
}

void JsonWriter::before_value() {
  if (need_comma_) out_.push_back(',');
  need_comma_ = true;
}

void JsonWriter::open(char bracket) {
  before_value();
  out_.push_back(bracket);
  need_comma_ = false;
}

void JsonWriter::close(char bracket) {
  out_.push_back(bracket);
  need_comma_ = true;
}

void JsonWriter::key(std::string_view name) {
  before_value();
  append_json_string(out_, name);
  out_.push_back(':');
  need_comma_ = false;
}

void JsonWriter::string(std::string_view text) {
  before_value();
  append_json_string(out_, text);
}

void JsonWriter::u64(std::uint64_t value) {
  before_value();
  char digits[24];
  auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out_.append(digits, end);
}

void JsonWriter::f32(float value) {
  before_value();
  out_ += format_f32(value);
}

void JsonWriter::boolean(bool value) {
  before_value();
  out_ += value ? "true" : "false";
}

void JsonWriter::null() {
  before_value();
  out_ += "null";
}

void JsonWriter::optional_u64(const std::optional<std::uint64_t>& value) {
  if (value) {
    u64(*value);
  } else {
    null();
  }
}

void JsonWriter::string_array(const std::vector<std::string>& items) {
  begin_array();
  for (const auto& item : items) string(item);
  end_array();
}

void JsonWriter::f32_array(const std::vector<float>& items) {
  begin_array();
  for (float item : items) f32(item);
  end_array();
}

}  // namespace quorvanta
