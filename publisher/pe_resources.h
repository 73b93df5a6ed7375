#pragma once
// The resources of a 32-bit Windows executable (PE32): read the resource directory
// into a tree, and write an executable whose resource section holds another tree.
// Everything else stays byte for byte: the resource section is rebuilt in place,
// the sections after it (relocations, debug information) and the symbol table move
// by whole alignment units, and the header's sizes, directories and checksum are
// set to match.

#include "byte_files.h"

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>

// A file that is not a PE32 executable, or whose resources cannot be read.
struct pe_format_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A resource type, name or language: a number or a name (upper case, as resource
// compilers write them). Named entries come before numbered ones, as in the file.
struct resource_id {
    std::u16string name; // empty: numbered
    std::uint16_t number = 0;

    static resource_id named(const std::string& ascii_name);
    bool operator==(const resource_id&) const = default;
    bool operator<(const resource_id& other) const;
};

struct resource_data {
    bytes content;
    std::uint32_t code_page = 0;
    bool operator==(const resource_data&) const = default;
};

using resource_languages = std::map<std::uint16_t, resource_data>;
using resource_names = std::map<resource_id, resource_languages>;
using resource_tree = std::map<resource_id, resource_names>;

namespace resource_type {
constexpr std::uint16_t icon = 3;
constexpr std::uint16_t rcdata = 10;
constexpr std::uint16_t group_icon = 14;
constexpr std::uint16_t version = 16;
} // namespace resource_type

resource_tree read_resources(const bytes& image);
// The image with its resource section replaced by `tree`; an Authenticode signature
// is dropped, as it no longer matches.
bytes replace_resources(const bytes& image, const resource_tree& tree);

// The checksum field of the optional header, and the checksum the image should carry.
std::uint32_t stored_checksum(const bytes& image);
std::uint32_t computed_checksum(const bytes& image);
