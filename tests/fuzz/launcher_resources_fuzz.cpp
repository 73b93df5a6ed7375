// The publisher's reading and rewriting of a launcher's resources, on any file given
// as the template. Input: the file. When its resources can be read, the image
// rewritten with them reads back the same resources with a correct checksum; a
// readable settings record reads back unchanged once written again; a readable
// version block takes a new product name and version and reads them back, and
// keeps everything when nothing is asked.

#include "fuzz_support.h"

#include "launcher_config.h"
#include "pe_resources.h"
#include "version_block.h"

namespace {

void check_settings(const resource_tree& tree) {
    const auto names = tree.find({{}, resource_type::rcdata});
    if (names == tree.end())
        return;
    const auto record = names->second.find(resource_id::named(launcher_config_resource));
    if (record == names->second.end())
        return;
    for (const auto& [language, data] : record->second) {
        const auto parsed = parse_launcher_config(
            {reinterpret_cast<const char*>(data.content.data()), data.content.size()});
        if (parsed.config)
            require(parse_launcher_config(format_launcher_config(*parsed.config)).config ==
                        parsed.config,
                    "a readable settings record reads back unchanged once written");
    }
}

void check_version_block(const bytes& block) {
    version_block_values before;
    try {
        before = read_version_block(block);
    } catch (const pe_format_error&) {
        return;
    }
    const auto kept = read_version_block(restamp_version_block(block, std::nullopt, std::nullopt));
    require(kept.strings == before.strings && kept.file_version == before.file_version &&
                kept.product_version == before.product_version,
            "a version block written again without changes reads back the same");
    const version_numbers version{1, 2, 3, 65535};
    const auto stamped = read_version_block(restamp_version_block(block, "Õunaaed", version));
    require(stamped.file_version == version && stamped.product_version == version,
            "the fixed versions read back as stamped");
    for (const auto& [key, value] : stamped.strings)
        if (key == "ProductName" || key == "FileDescription")
            require(value == "Õunaaed", "the product name reads back as stamped");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const bytes image(data, data + size);
    resource_tree tree;
    try {
        tree = read_resources(image);
    } catch (const pe_format_error&) {
        return 0;
    }
    check_settings(tree);
    if (const auto versions = tree.find({{}, resource_type::version}); versions != tree.end())
        for (const auto& [name, languages] : versions->second)
            for (const auto& [language, block] : languages)
                check_version_block(block.content);
    bytes rewritten;
    try {
        rewritten = replace_resources(image, tree);
    } catch (const pe_format_error&) {
        return 0;
    }
    require(read_resources(rewritten) == tree, "rewritten resources read back unchanged");
    require(computed_checksum(rewritten) == stored_checksum(rewritten),
            "the rewritten image carries its checksum");
    return 0;
}
