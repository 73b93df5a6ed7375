#pragma once
// Windows icon files (.ico) and the two resources that make an icon of an
// executable: one RT_ICON per image and the RT_GROUP_ICON that lists them.

#include "byte_files.h"

#include <cstdint>
#include <filesystem>
#include <vector>

struct icon_image {
    std::uint8_t width = 0; // 0 means 256
    std::uint8_t height = 0;
    std::uint8_t colors = 0;
    std::uint16_t planes = 0;
    std::uint16_t bit_count = 0;
    bytes data; // a BMP without file header, or a PNG
};

// Every image of the .ico file; throws bad_input when it is not a valid icon file.
std::vector<icon_image> read_icon_file(const std::filesystem::path& path);

// The RT_GROUP_ICON record listing `images` as the icons numbered first_id, first_id + 1, ...
bytes icon_group(const std::vector<icon_image>& images, std::uint16_t first_id);
