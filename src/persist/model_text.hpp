// The model file: configuration, bins and trees as blocks of compact JSON separated by blank
// lines, and the readers of each record.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/tree_config.hpp"
#include "data/bin.hpp"
#include "data/data_loader.hpp"
#include "tree/tree_learner.hpp"
#include "tree/tree_record.hpp"

namespace quorvanta {

// Whole file text: configuration, continuous bins, discrete bins, a further copy of a feature's bin
// block for each repeated listing in feature_cols, then one block per tree. Fails, naming the
// feature, when a bin's feature name is empty or holds a line feed (the file could not be read).
std::string model_to_text(const TreeConfig& config, const DataLoader& loader,
                          const std::vector<TreeLearner>& trees);

std::string tree_config_to_json(const TreeConfig& config);
std::string tree_record_to_json(const TreeRecord& tree);
std::string continuous_bin_to_json(const ContinuousBin& bin);
std::string discrete_bin_to_json(const DiscreteBin& bin);
// Shortest round-trip digits laid out as the file writes them; "null" for NaN, "1e39" and
// "-1e39" for the infinities (they read back as the infinities).
std::string format_f32(float value);

// Record parsers; failures throw Fault carrying
// "called `Result::unwrap()` on an `Err` value: {message} at line {} column {}".
// Float fields also take null, read as NaN: the writer's form of a non-finite float.
TreeConfig parse_tree_config(std::string_view text);
ContinuousBin parse_continuous_bin(std::string_view text);
DiscreteBin parse_discrete_bin(std::string_view text);
TreeRecord parse_tree_record(std::string_view text, ModelKind kind);

// Writes the file; the whole text replaces the target only when it was written completely (a
// regular or new file gets a temporary file beside it, renamed over it; a special file such as a
// device or pipe is written in place). I/O failures throw Fault with the
// "called `Result::unwrap()` on an `Err` value: " prefix and the error's description.
void write_model_file(const std::string& path, const std::string& text);
// Reads a model of `kind` from its file text. Tree blocks after the configured count (a model fitted
// more than once) must be whole tree blocks, and the text after the last separator empty; every
// tree is checked for a sound node structure.
struct LoadedModel {
  TreeConfig config;
  DataLoader loader;
  std::vector<TreeLearner> trees;
};
LoadedModel model_from_text(ModelKind kind, std::string_view text);
// Reads back exactly what model_to_text wrote for a model in any state, untrained included (its
// text lacks the configured trees, so model_from_text refuses it): the configuration, every bin
// block, then every tree block, and an empty end.
LoadedModel model_from_own_text(ModelKind kind, std::string_view text);
// The whole file, which must be valid UTF-8; failures as for write_model_file.
std::string read_text_file(const std::string& path);

}  // namespace quorvanta
