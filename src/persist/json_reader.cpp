#include "persist/json_reader.hpp"

#include <algorithm>

#include "common/fault.hpp"

namespace quorvanta {

namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, unsigned code_point) {
  if (code_point < 0x80) {
    out.push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

}  // namespace

void JsonReader::fail_at(std::size_t offset, const std::string& message) const {
  offset = std::min(offset, text_.size());
  const std::string_view before = text_.substr(0, offset);
  const auto line = 1 + std::count(before.begin(), before.end(), '\n');
  const std::size_t last_newline = before.rfind('\n');
  const std::size_t line_start = last_newline == std::string_view::npos ? 0 : last_newline + 1;
  const std::size_t column = offset - line_start + 1;
  fail(std::string(kErrValuePrefix) + message + " at line " + std::to_string(line) + " column " +
       std::to_string(column));
}

void JsonReader::skip_whitespace() {
  while (!at_end()) {
    const char c = current();
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return;
    ++position_;
  }
}

std::size_t JsonReader::value_offset() {
  skip_whitespace();
  return position_;
}

JsonReader::Kind JsonReader::peek_kind() {
  skip_whitespace();
  if (at_end()) fail_at(position_, "EOF while parsing a value");
  const char c = current();
  switch (c) {
    case 'n':
      return Kind::Null;
    case 't':
    case 'f':
      return Kind::Boolean;
    case '"':
      return Kind::String;
    case '[':
      return Kind::Array;
    case '{':
      return Kind::Object;
    default:
      if (c == '-' || is_digit(c)) return Kind::Number;
      fail_at(position_, "expected value");
  }
}

void JsonReader::expect_literal(std::string_view literal) {
  for (char expected : literal) {
    if (at_end()) fail_at(position_, "EOF while parsing a value");
    if (current() != expected) fail_at(position_, "expected ident");
    ++position_;
  }
}

void JsonReader::read_null() {
  skip_whitespace();
  expect_literal("null");
}

bool JsonReader::read_boolean() {
  skip_whitespace();
  if (!at_end() && current() == 't') {
    expect_literal("true");
    return true;
  }
  expect_literal("false");
  return false;
}

unsigned JsonReader::read_hex_escape() {
  unsigned value = 0;
  for (int i = 0; i < 4; ++i) {
    if (at_end()) fail_at(position_, "EOF while parsing a string");
    const int digit = hex_value(current());
    if (digit < 0) fail_at(position_, "invalid escape");
    value = value * 16 + static_cast<unsigned>(digit);
    ++position_;
  }
  return value;
}

void JsonReader::append_escape(std::string& out) {
  // position_ is just past the backslash.
  if (at_end()) fail_at(position_, "EOF while parsing a string");
  const std::size_t escape_offset = position_;
  const char c = current();
  ++position_;
  switch (c) {
    case '"':
      out.push_back('"');
      return;
    case '\\':
      out.push_back('\\');
      return;
    case '/':
      out.push_back('/');
      return;
    case 'b':
      out.push_back('\b');
      return;
    case 'f':
      out.push_back('\f');
      return;
    case 'n':
      out.push_back('\n');
      return;
    case 'r':
      out.push_back('\r');
      return;
    case 't':
      out.push_back('\t');
      return;
    case 'u':
      break;
    default:
      fail_at(escape_offset, "invalid escape");
  }
  unsigned code_point = read_hex_escape();
  if (code_point >= 0xDC00 && code_point <= 0xDFFF) {
    fail_at(escape_offset, "lone trailing surrogate in hex escape");
  }
  if (code_point >= 0xD800 && code_point <= 0xDBFF) {
    if (text_.substr(position_, 2) != "\\u") {
      fail_at(escape_offset, "lone leading surrogate in hex escape");
    }
    position_ += 2;
    const std::size_t low_offset = position_;
    const unsigned low = read_hex_escape();
    if (low < 0xDC00 || low > 0xDFFF) fail_at(low_offset, "lone leading surrogate in hex escape");
    code_point = 0x10000 + ((code_point - 0xD800) << 10) + (low - 0xDC00);
  }
  append_utf8(out, code_point);
}

std::string JsonReader::read_string() {
  skip_whitespace();
  // Callers have seen the opening quote through peek_kind or next_key.
  ++position_;
  std::string out;
  while (true) {
    const std::size_t run_start = position_;
    while (!at_end()) {
      const auto byte = static_cast<unsigned char>(current());
      if (byte == '"' || byte == '\\' || byte < 0x20) break;
      ++position_;
    }
    out.append(text_.substr(run_start, position_ - run_start));
    if (at_end()) fail_at(position_, "EOF while parsing a string");
    const char c = current();
    if (c == '"') {
      ++position_;
      return out;
    }
    if (c == '\\') {
      ++position_;
      append_escape(out);
      continue;
    }
    fail_at(position_, "control character (\\u0000-\\u001F) found while parsing a string");
  }
}

void JsonReader::skip_digits() {
  while (!at_end() && is_digit(current())) ++position_;
}

JsonReader::Number JsonReader::read_number() {
  skip_whitespace();
  Number number;
  const std::size_t start = position_;
  if (!at_end() && current() == '-') {
    number.negative = true;
    ++position_;
  }
  if (at_end()) fail_at(position_, "EOF while parsing a value");
  if (current() == '0') {
    ++position_;
    if (!at_end() && is_digit(current())) fail_at(position_, "invalid number");
  } else if (is_digit(current())) {
    skip_digits();
  } else {
    fail_at(position_, "invalid number");
  }
  if (!at_end() && current() == '.') {
    number.integral = false;
    ++position_;
    if (at_end()) fail_at(position_, "EOF while parsing a value");
    if (!is_digit(current())) fail_at(position_, "invalid number");
    skip_digits();
  }
  if (!at_end() && (current() == 'e' || current() == 'E')) {
    number.integral = false;
    ++position_;
    if (!at_end() && (current() == '+' || current() == '-')) ++position_;
    if (at_end()) fail_at(position_, "EOF while parsing a value");
    if (!is_digit(current())) fail_at(position_, "invalid number");
    skip_digits();
  }
  number.text = text_.substr(start, position_ - start);
  return number;
}

void JsonReader::enter_container(char bracket) {
  skip_whitespace();
  if (at_end() || current() != bracket) fail_at(position_, "expected value");
  if (depth_ >= kMaxDepth) fail_at(position_, "recursion limit exceeded");
  ++position_;
  ++depth_;
  first_in_container_[depth_] = true;
}

void JsonReader::begin_array() {
  enter_container('[');
}

void JsonReader::begin_object() {
  enter_container('{');
}

bool JsonReader::next_element() {
  skip_whitespace();
  if (at_end()) fail_at(position_, "EOF while parsing a list");
  if (current() == ']') {
    ++position_;
    --depth_;
    return false;
  }
  if (first_in_container_[depth_]) {
    first_in_container_[depth_] = false;
    return true;
  }
  if (current() != ',') fail_at(position_, "expected `,` or `]`");
  ++position_;
  skip_whitespace();
  if (!at_end() && current() == ']') fail_at(position_, "trailing comma");
  return true;
}

std::optional<JsonReader::Key> JsonReader::next_key() {
  skip_whitespace();
  if (at_end()) fail_at(position_, "EOF while parsing an object");
  if (current() == '}') {
    ++position_;
    --depth_;
    return std::nullopt;
  }
  if (first_in_container_[depth_]) {
    first_in_container_[depth_] = false;
  } else {
    if (current() != ',') fail_at(position_, "expected `,` or `}`");
    ++position_;
    skip_whitespace();
    if (at_end()) fail_at(position_, "EOF while parsing an object");
    if (current() == '}') fail_at(position_, "trailing comma");
  }
  if (current() != '"') fail_at(position_, "key must be a string");
  Key key;
  key.offset = position_;
  key.name = read_string();
  skip_whitespace();
  if (at_end()) fail_at(position_, "EOF while parsing an object");
  if (current() != ':') fail_at(position_, "expected `:`");
  ++position_;
  return key;
}

void JsonReader::skip_value() {
  switch (peek_kind()) {
    case Kind::Null:
      read_null();
      return;
    case Kind::Boolean:
      read_boolean();
      return;
    case Kind::String:
      read_string();
      return;
    case Kind::Number:
      read_number();
      return;
    case Kind::Array:
      begin_array();
      while (next_element()) skip_value();
      return;
    case Kind::Object:
      begin_object();
      while (next_key()) skip_value();
      return;
  }
}

void JsonReader::expect_end() {
  skip_whitespace();
  if (!at_end()) fail_at(position_, "trailing characters");
}

}  // namespace quorvanta
