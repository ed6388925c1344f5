// Feeds arbitrary text to the model-file reader as both model kinds. Every failure must be a
// Fault; anything else (a crash, a sanitizer report, another exception, a hang) is a finding.
// Records that read back must also write back to the same text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/fault.hpp"
#include "persist/model_text.hpp"

namespace {

using namespace quorvanta;

// Once a tree has been read, its JSON is in the writer's fixed form: reading that and writing it
// again must give the same bytes.
void check_tree_round_trip(const TreeLearner& learner, ModelKind kind) {
  const std::string json = tree_record_to_json(learner.tree);
  if (tree_record_to_json(parse_tree_record(json, kind)) != json) std::abort();
  const std::string config_json = tree_config_to_json(learner.config);
  if (tree_config_to_json(parse_tree_config(config_json)) != config_json) std::abort();
}

void read_as(ModelKind kind, std::string_view text) {
  try {
    const LoadedModel loaded = model_from_text(kind, text);
    const std::string written = model_to_text(loaded.config, loaded.loader, loaded.trees);
    if (written.empty()) std::abort();
    for (const TreeLearner& learner : loaded.trees) check_tree_round_trip(learner, kind);
  } catch (const Fault&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  read_as(ModelKind::Classification, text);
  read_as(ModelKind::Regression, text);
  return 0;
}
