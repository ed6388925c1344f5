// A small pull parser over one JSON text. It never recurses deeper than kMaxDepth containers, and
// every failure throws Fault with the position appended as " at line {} column {}" (1-based,
// columns counted in bytes) behind the prefix of failures that arrive as error values.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quorvanta {

class JsonReader {
 public:
  static constexpr int kMaxDepth = 128;

  enum class Kind { Null, Boolean, String, Number, Array, Object };

  // A number as written; `integral` when it has neither fraction nor exponent.
  struct Number {
    std::string_view text;
    bool negative = false;
    bool integral = true;
  };

  struct Key {
    std::string name;
    std::size_t offset = 0;
  };

  explicit JsonReader(std::string_view text) : text_(text) {}

  // Skips whitespace and tells what the next value is; fails when no value starts there.
  Kind peek_kind();
  // Offset of the next non-whitespace byte (the start of the next value or token).
  std::size_t value_offset();
  std::size_t offset() const { return position_; }

  void read_null();
  bool read_boolean();
  std::string read_string();
  Number read_number();

  // Containers: after begin_*, call next_element / next_key until it reports the end.
  void begin_array();
  bool next_element();
  void begin_object();
  std::optional<Key> next_key();

  void skip_value();
  // Only whitespace may follow the value; "trailing characters" otherwise.
  void expect_end();

  [[noreturn]] void fail_at(std::size_t offset, const std::string& message) const;

 private:
  void skip_whitespace();
  bool at_end() const { return position_ >= text_.size(); }
  char current() const { return text_[position_]; }
  void enter_container(char bracket);
  void expect_literal(std::string_view literal);
  unsigned read_hex_escape();
  void append_escape(std::string& out);
  void skip_digits();

  std::string_view text_;
  std::size_t position_ = 0;
  int depth_ = 0;
  // Whether the container at each depth has yet to yield its first element.
  bool first_in_container_[kMaxDepth + 1] = {};
};

}  // namespace quorvanta
