#include "publish_errors.h"
#include "tree_source.h"

namespace {

class local_tree_source final : public tree_source {
  public:
    explicit local_tree_source(fs::path tree) : tree_(std::move(tree)) {}

    fetch_result fetch(const std::string& path) override {
        const fs::path file = path_of_name(tree_, path);
        if (!fs::is_regular_file(file))
            return {std::nullopt, "missing"};
        try {
            return {read_whole_file(file), ""};
        } catch (const publish_failure& failure) {
            return {std::nullopt, failure.what()};
        }
    }

    std::vector<std::int32_t> more_versions() override { return versions_in(tree_); }
    std::vector<patch_set_name> more_patch_sets() override { return patch_sets_in(tree_); }

  private:
    fs::path tree_;
};

} // namespace

std::unique_ptr<tree_source> local_tree(const fs::path& tree) {
    if (!fs::is_directory(tree))
        throw bad_input(tree.string() + " is not a directory");
    return std::make_unique<local_tree_source>(tree);
}

bool is_url(const std::string& argument) {
    return argument.starts_with("http://") || argument.starts_with("https://");
}
