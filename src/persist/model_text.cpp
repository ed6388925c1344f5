// The whole model file as text: writing it from a model's parts and rebuilding the parts from it.
#include "persist/model_text.hpp"

#include "common/interruption.hpp"

#include <optional>
#include <unordered_set>

#include "common/fault.hpp"
#include "persist/json_writer.hpp"
#include "persist/text_blocks.hpp"
#include "persist/tree_validation.hpp"

namespace quorvanta {

namespace {

constexpr std::string_view kBlockEnd = "\n\n";
constexpr const char* kUnterminatedTreeBlock =
    "the text after the last tree block is not empty: the file ends inside a block";

const std::string_view& line_or_absent(const std::vector<std::string_view>& lines,
                                       std::size_t index) {
  if (index >= lines.size()) fail_absent_value();
  return lines[index];
}

// One tree block: its own configuration on line 1, the tree record on line 2.
TreeLearner read_tree_block(ModelKind kind, std::string_view block, std::uint64_t tree_index) {
  const std::vector<std::string_view> lines = split_lines(block);
  const TreeConfig tree_config = parse_tree_config(line_or_absent(lines, 0));
  TreeRecord tree = parse_tree_record(line_or_absent(lines, 1), kind);
  validate_tree_record(tree, tree_index);
  TreeLearner learner = TreeLearner::create(kind, tree_config);
  learner.tree = std::move(tree);
  return learner;
}

std::string_view next_or_absent(BlockCursor& blocks) {
  const std::optional<std::string_view> block = blocks.next();
  if (!block) fail_absent_value();
  return *block;
}

// After the trees a file must hold, a model fitted more than once has further whole tree blocks;
// the text after the last separator is empty in every file a save writes. Anything else there is
// a file cut short or damaged, and loading it would silently give another forest.
void read_further_trees(ModelKind kind, BlockCursor& blocks, std::vector<TreeLearner>& trees) {
  while (const std::optional<std::string_view> block = blocks.next()) {
    check_interruption();  // a file of many trees takes seconds to read
    if (blocks.at_end() && block->empty()) return;
    trees.push_back(read_tree_block(kind, *block, trees.size()));
    if (blocks.at_end()) fail(std::string(kErrValuePrefix) + kUnterminatedTreeBlock);
  }
}

bool is_bin_block(std::string_view block) {
  return block.starts_with("Continuous\n") || block.starts_with("Discrete\n");
}

// Bin indices are one byte and 255 marks a missing cell, so a record with more than 254 cut values
// or categories would map values onto the missing marker.
template <class Bin>
Bin checked_bin(Bin bin, std::size_t n_entries, const std::string& name) {
  if (n_entries > 254) {
    fail("bin of feature " + name + " has " + std::to_string(n_entries) +
         " entries, more than the 254 a bin index can tell apart");
  }
  return bin;
}

void read_bin_block(std::string_view block, OrderedMap<ContinuousBin>& continuous_bins,
                    OrderedMap<DiscreteBin>& discrete_bins) {
  const std::vector<std::string_view> lines = split_lines(block);
  if (lines.size() < 3) fail_absent_value();
  const std::string name(lines[1]);
  if (lines[0] == "Continuous") {
    ContinuousBin bin = parse_continuous_bin(lines[2]);
    const std::size_t n_entries = bin.threshold.size();
    continuous_bins.insert_or_assign(name, checked_bin(std::move(bin), n_entries, name));
  } else if (lines[0] == "Discrete") {
    DiscreteBin bin = parse_discrete_bin(lines[2]);
    const std::size_t n_entries = bin.mapping.size();
    discrete_bins.insert_or_assign(name, checked_bin(std::move(bin), n_entries, name));
  } else {
    fail("bin_type " + std::string(lines[0]) + " unknown");
  }
}

// A bin block holds the feature name on a line of its own: an empty name would end the block (two
// line feeds in a row) and a line feed inside the name would move the record to another line.
void require_line_name(const std::string& name) {
  if (!name.empty() && name.find('\n') == std::string::npos) return;
  std::string quoted;
  append_json_string(quoted, name);
  fail("feature " + quoted +
       " cannot be saved: a model file keeps each feature name on a line of its own, so a name "
       "must not be empty or hold a line feed");
}

void append_continuous_block(std::string& text, const std::string& name, const ContinuousBin& bin) {
  text += "Continuous\n";
  text += name;
  text += '\n';
  text += continuous_bin_to_json(bin);
  text += kBlockEnd;
}

void append_discrete_block(std::string& text, const std::string& name, const DiscreteBin& bin) {
  text += "Discrete\n";
  text += name;
  text += '\n';
  text += discrete_bin_to_json(bin);
  text += kBlockEnd;
}

}  // namespace

std::string model_to_text(const TreeConfig& config, const DataLoader& loader,
                          const std::vector<TreeLearner>& trees) {
  for (const auto& [name, bin] : loader.continuous_bins()) require_line_name(name);
  for (const auto& [name, bin] : loader.discrete_bins()) require_line_name(name);

  std::string text = tree_config_to_json(config);
  text += kBlockEnd;
  // The reader takes one bin block per listed feature, by position. A bin under a name that is
  // not listed (a file read by position can name any feature) is never used and would take a
  // listed feature's place, so it is left out.
  const std::unordered_set<std::string_view> names(config.feature_cols.begin(),
                                                   config.feature_cols.end());
  for (const auto& [name, bin] : loader.continuous_bins()) {
    if (names.contains(name)) append_continuous_block(text, name, bin);
  }
  for (const auto& [name, bin] : loader.discrete_bins()) {
    if (names.contains(name)) append_discrete_block(text, name, bin);
  }
  // A feature listed more than once has one entry in the bin maps, so its block is written again
  // for every further listing; reading the copy replaces the entry with the same bin.
  std::unordered_set<std::string_view> listed;
  for (const std::string& name : config.feature_cols) {
    if (listed.insert(name).second) continue;
    if (const ContinuousBin* bin = loader.continuous_bins().find(name)) {
      append_continuous_block(text, name, *bin);
    } else if (const DiscreteBin* bin = loader.discrete_bins().find(name)) {
      append_discrete_block(text, name, *bin);
    }
  }
  for (const TreeLearner& learner : trees) {
    text += tree_config_to_json(learner.config);
    text += '\n';
    text += tree_record_to_json(learner.tree);
    text += kBlockEnd;
  }
  return text;
}

LoadedModel model_from_text(ModelKind kind, std::string_view text) {
  BlockCursor blocks(text);
  TreeConfig config = parse_tree_config(next_or_absent(blocks));

  // Bin blocks are taken by position, one per configured feature, whatever names they carry.
  OrderedMap<ContinuousBin> continuous_bins;
  OrderedMap<DiscreteBin> discrete_bins;
  for (std::size_t feature = 0; feature < config.feature_cols.size(); ++feature) {
    read_bin_block(next_or_absent(blocks), continuous_bins, discrete_bins);
  }
  DataLoader loader(config.feature_cols, config.y_col, config.treatment_cols, config.weight_col,
                    config.cat_cols, config.n_bin, std::move(continuous_bins),
                    std::move(discrete_bins));

  std::vector<TreeLearner> trees;
  for (std::uint64_t tree = 0; tree < config.n_tree; ++tree) {
    check_interruption();  // a file of many trees takes seconds to read
    trees.push_back(read_tree_block(kind, next_or_absent(blocks), tree));
  }
  if (!blocks.at_end()) read_further_trees(kind, blocks, trees);
  return LoadedModel{std::move(config), std::move(loader), std::move(trees)};
}

LoadedModel model_from_own_text(ModelKind kind, std::string_view text) {
  BlockCursor blocks(text);
  TreeConfig config = parse_tree_config(next_or_absent(blocks));
  OrderedMap<ContinuousBin> continuous_bins;
  OrderedMap<DiscreteBin> discrete_bins;
  std::optional<std::string_view> block = blocks.next();
  for (; block && !blocks.at_end() && is_bin_block(*block); block = blocks.next()) {
    read_bin_block(*block, continuous_bins, discrete_bins);
  }
  DataLoader loader(config.feature_cols, config.y_col, config.treatment_cols, config.weight_col,
                    config.cat_cols, config.n_bin, std::move(continuous_bins),
                    std::move(discrete_bins));
  std::vector<TreeLearner> trees;
  for (; block && !blocks.at_end(); block = blocks.next()) {
    trees.push_back(read_tree_block(kind, *block, trees.size()));
  }
  if (!block || !block->empty()) fail(std::string(kErrValuePrefix) + kUnterminatedTreeBlock);
  return LoadedModel{std::move(config), std::move(loader), std::move(trees)};
}

}  // namespace quorvanta
