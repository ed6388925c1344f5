// Splitting model-file text into blocks (separated by an empty line) and blocks into lines.
#pragma once

#include <string_view>
#include <vector>

namespace quorvanta {

// Parts between occurrences of "\n\n", scanned left to right without overlap; empty parts are
// kept, so a text ending in the separator has an empty last block and "" is one empty block.
std::vector<std::string_view> split_blocks(std::string_view text);

// Lines of a block: parts between line feeds, empty ones included, except that a final line feed
// ends the last line rather than starting an empty one. An empty block has no lines.
std::vector<std::string_view> split_lines(std::string_view block);

}  // namespace quorvanta
