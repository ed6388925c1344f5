#include "persist/text_blocks.hpp"

namespace quorvanta {

namespace {
constexpr std::string_view kSeparator = "\n\n";
}  // namespace

std::optional<std::string_view> BlockCursor::next() {
  if (done_) return std::nullopt;
  const std::size_t found = rest_.find(kSeparator);
  if (found == std::string_view::npos) {
    done_ = true;
    return rest_;
  }
  const std::string_view block = rest_.substr(0, found);
  rest_.remove_prefix(found + kSeparator.size());
  return block;
}

std::vector<std::string_view> split_blocks(std::string_view text) {
  std::vector<std::string_view> blocks;
  BlockCursor cursor(text);
  while (const std::optional<std::string_view> block = cursor.next()) blocks.push_back(*block);
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
