#include "persist/text_blocks.hpp"

namespace quorvanta {

std::vector<std::string_view> split_blocks(std::string_view text) {
  constexpr std::string_view kSeparator = "\n\n";
  std::vector<std::string_view> blocks;
  std::size_t start = 0;
  while (true) {
    const std::size_t found = text.find(kSeparator, start);
    if (found == std::string_view::npos) break;
    blocks.push_back(text.substr(start, found - start));
    start = found + kSeparator.size();
  }
  blocks.push_back(text.substr(start));
  return blocks;
}

std::vector<std::string_view> split_lines(std::string_view block) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  while (true) {
    const std::size_t found = block.find('\n', start);
    if (found == std::string_view::npos) break;
    lines.push_back(block.substr(start, found - start));
    start = found + 1;
  }
  lines.push_back(block.substr(start));
  return lines;
}

}  // namespace quorvanta
