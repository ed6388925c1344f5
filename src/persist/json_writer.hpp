// Compact JSON output in the model file's fixed form: no whitespace, keys in the order written,
// shortest round-trip f32 digits, null for absent values and NaN, and +-1e39 for infinities.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvanta {

class JsonWriter {
 public:
  std::string take() { return std::move(out_); }

  void begin_object() { open('{'); }
  void end_object() { close('}'); }
  void begin_array() { open('['); }
  void end_array() { close(']'); }
  // Writes `"name":`; the member's value follows.
  void key(std::string_view name);

  void string(std::string_view text);
  void u64(std::uint64_t value);
  void f32(float value);
  void boolean(bool value);
  void null();

  void optional_u64(const std::optional<std::uint64_t>& value);
  void string_array(const std::vector<std::string>& items);
  void f32_array(const std::vector<float>& items);

 private:
  void open(char bracket);
  void close(char bracket);
  // Separates values inside a container; a key's value follows its colon directly.
  void before_value();

  std::string out_;
  bool need_comma_ = false;
};

// Appends `text` as a JSON string literal with the file's escape rules.
void append_json_string(std::string& out, std::string_view text);

}  // namespace quorvanta
