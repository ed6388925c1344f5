// Splitting model-file text into blocks (separated by an empty line) and blocks into lines.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

namespace quorvanta {

// Parts between occurrences of "\n\n", scanned left to right without overlap; empty parts are
// kept, so a text ending in the separator has an empty last block and "" is one empty block.
std::vector<std::string_view> split_blocks(std::string_view text);

// The blocks of split_blocks, one at a time: a reader keeps only the blocks it takes, so a text of
// a billion blank lines costs no memory of its own.
class BlockCursor {
 public:
  explicit BlockCursor(std::string_view text) : rest_(text) {}
  // The next block, or nullopt after the last one (the part after the last separator).
  std::optional<std::string_view> next();
  // True once the block last returned was the part after the last separator.
  bool at_end() const { return done_; }

 private:
  std::string_view rest_;
  bool done_ = false;
};

// Lines of a block: parts between line feeds, empty ones included, so a final line feed starts an
// empty last line and an empty block is one empty line. A record line that is empty then fails
// as text that does not parse, not as a line that is missing.
std::vector<std::string_view> split_lines(std::string_view block);

}  // namespace quorvanta
