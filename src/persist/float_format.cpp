// f32 text of the model file: the shortest digit string that reads back as the same float, laid
// out by its decimal exponent so that small integers keep a ".0" and extreme magnitudes use "e".
// Infinities are written as numbers that round to them.
#include <charconv>
#include <cmath>
#include <string>

#include "persist/model_text.hpp"

namespace quorvanta {

namespace {

// Largest decimal exponent (value = 0.d1d2... x 10^p) still written without "e".
constexpr int kMaxPlainExponent = 13;
// Smallest exponent written as "0.000ddd" is one above this.
constexpr int kMinPlainExponent = -6;

}  // namespace

std::string format_f32(float value) {
  // An infinity is written as a decimal beyond the largest float: rounding it to the nearest
  // double and then to the nearest float, as every reader of the file does, gives the infinity
  // back, and readers that know nothing of this convention read it correctly too. JSON has no
  // form for NaN, so NaN stays null.
  if (std::isnan(value)) return "null";
  if (std::isinf(value)) return value > 0.0f ? "1e39" : "-1e39";
  std::string out;
  if (std::signbit(value)) out.push_back('-');
  if (value == 0.0f) return out + "0.0";

  // Scientific form gives the shortest digits as "d.ddde+XX" for us to lay out.
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, std::fabs(value),
                                    std::chars_format::scientific);
  const std::string_view text(buffer, result.ptr - buffer);
  const std::size_t e_position = text.find('e');
  std::string digits;
  for (char c : text.substr(0, e_position)) {
    if (c != '.') digits.push_back(c);
  }
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  int scientific_exponent = 0;
  std::string_view exponent_text = text.substr(e_position + 1);
  if (!exponent_text.empty() && exponent_text.front() == '+') exponent_text.remove_prefix(1);
  std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(),
                  scientific_exponent);

  const int n = static_cast<int>(digits.size());
  const int p = scientific_exponent + 1;
  if (p >= n && p <= kMaxPlainExponent) {
    out += digits;
    out.append(static_cast<std::size_t>(p - n), '0');
    out += ".0";
  } else if (p > 0 && p <= kMaxPlainExponent) {
    out.append(digits, 0, static_cast<std::size_t>(p));
    out.push_back('.');
    out.append(digits, static_cast<std::size_t>(p));
  } else if (p > kMinPlainExponent && p <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-p), '0');
    out += digits;
  } else {
    out.push_back(digits[0]);
    if (n > 1) {
      out.push_back('.');
      out.append(digits, 1);
    }
    out.push_back('e');
    out += std::to_string(p - 1);
  }
  return out;
}

}  // namespace quorvanta
