#include "forest/model.hpp"

#include "common/fault.hpp"
#include "persist/model_text.hpp"

namespace quorvanta {
namespace {

DataLoader loader_for(const TreeConfig& config) {
  return DataLoader(config.feature_cols, config.y_col, config.treatment_cols, config.weight_col,
                    config.cat_cols, config.n_bin);
}

}  // namespace

ForestModel::ForestModel(ModelKind kind, TreeConfig config)
    : kind_(kind), config_(std::move(config)), loader_(loader_for(config_)) {}

ForestModel::ForestModel(ModelKind kind, TreeConfig config, DataLoader loader,
                         std::vector<TreeLearner> trees)
    : kind_(kind),
      config_(std::move(config)),
      loader_(std::move(loader)),
      trees_(std::move(trees)) {}

std::string ForestModel::to_text() const { return model_to_text(config_, loader_, trees_); }

void ForestModel::save(const std::string& path) const { write_model_file(path, to_text()); }

std::unique_ptr<Model> ForestModel::untrained_copy(std::uint64_t n_tree,
                                                   std::optional<std::uint64_t> seed) const {
  TreeConfig config = config_;
  config.n_tree = n_tree;
  config.seed = seed;
  return std::make_unique<ForestModel>(kind_, std::move(config), loader_,
                                       std::vector<TreeLearner>{});
}

ModelKind model_kind_from_name(const std::string& name) {
  if (name == "RandomForestRegressor") return ModelKind::Regression;
  if (name == "RandomForestClassifier") return ModelKind::Classification;
  fail("model name " + name + " not found");
}

namespace {

std::unique_ptr<ForestModel> model_of(ModelKind kind, LoadedModel loaded) {
  return std::make_unique<ForestModel>(kind, std::move(loaded.config), std::move(loaded.loader),
                                       std::move(loaded.trees));
}

}  // namespace

std::unique_ptr<ForestModel> read_model(ModelKind kind, const std::string& path) {
  return read_model_text(kind, read_text_file(path));
}

std::unique_ptr<ForestModel> read_model_text(ModelKind kind, std::string_view text) {
  return model_of(kind, model_from_text(kind, text));
}

std::unique_ptr<ForestModel> restore_model_text(ModelKind kind, std::string_view text) {
  return model_of(kind, model_from_own_text(kind, text));
}

const char* model_name(ModelKind kind) {
  return kind == ModelKind::Regression ? "RandomForestRegressor" : "RandomForestClassifier";
}

}  // namespace quorvanta
