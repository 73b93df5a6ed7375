#pragma once
// The version resource (RT_VERSION) of an executable: its fixed file and product
// version numbers and the strings Explorer shows (product name, file description,
// versions), read from and written back into the resource's node tree.

#include "byte_files.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

using version_numbers = std::array<std::uint16_t, 4>;

// "A.B.C.D", each number at most 65535; nothing for any other text.
std::optional<version_numbers> parse_version_numbers(const std::string& text);
std::string version_text(const version_numbers& numbers);

struct version_block_values {
    version_numbers file_version{};
    version_numbers product_version{};
    // Every string of every string table, by its key (UTF-8).
    std::map<std::string, std::string> strings;
};

// Throws pe_format_error for a damaged block.
version_block_values read_version_block(const bytes& block);
// The block with the product name and file description set to `product` and both
// version numbers (fixed and text) to `version`, where given; everything else kept.
bytes restamp_version_block(const bytes& block, const std::optional<std::string>& product,
                            const std::optional<version_numbers>& version);

// UTF-8 to UTF-16; nothing for text that is not valid UTF-8.
std::optional<std::u16string> utf16_of(const std::string& text);
