// Splitting model-file text into blocks (separated by an empty line) and blocks into lines.
#pragma once

#include <string_view>
#include <vector>

namespace quorvanta {

// Parts between occurrences of "\n\n", scanned left to right without overlap; empty parts are
// kept, so a text ending in the separator has an empty last block and "" is one empty block.
std::vector<std::string_view> split_blocks(std::string_view text);

// Lines of a block: parts between line feeds, empty ones included, so a final line feed starts an
// empty last line and an empty block is one empty line. A record line that is empty then fails
// as text that does not parse, not as a line that is missing.
std::vector<std::string_view> split_lines(std::string_view block);

}  // namespace quorvanta
