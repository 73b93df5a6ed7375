#include "icon_file.h"

#include "little_endian.h"
#include "publish_errors.h"

#include <algorithm>
#include <array>

namespace {

constexpr std::array<unsigned char, 8> png_signature = {0x89, 'P',  'N',  'G',
                                                        '\r', '\n', 0x1a, '\n'};
constexpr std::uint32_t bitmap_header_size = 40;
constexpr std::size_t directory_size = 6;
constexpr std::size_t entry_size = 16;
// Each image becomes a numbered icon resource of the launcher.
constexpr std::size_t largest_count = 255;

bool is_png(const bytes& image) {
    return image.size() > png_signature.size() &&
           std::equal(png_signature.begin(), png_signature.end(), image.begin());
}

// The bit count that the group record needs, where the file's entry leaves it out.
std::uint16_t bit_count_of(const bytes& image, std::uint16_t stated) {
    if (stated != 0)
        return stated;
    return is_png(image) ? 32 : u16_at(image, 14);
}

} // namespace

std::vector<icon_image> read_icon_file(const std::filesystem::path& path) {
    const bytes file = read_whole_file(path);
    const auto refuse = [&](const std::string& why) {
        return bad_input(path.string() + " is not a valid .ico file: " + why);
    };
    if (file.size() < directory_size || u16_at(file, 0) != 0 || u16_at(file, 2) != 1)
        throw refuse("no icon directory");
    const std::size_t count = u16_at(file, 4);
    if (count == 0 || count > largest_count || file.size() < directory_size + count * entry_size)
        throw refuse("no images, more than " + std::to_string(largest_count) +
                     ", or a truncated directory");
    std::vector<icon_image> images;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t entry = directory_size + i * entry_size;
        const std::uint32_t size = u32_at(file, entry + 8);
        const std::uint32_t offset = u32_at(file, entry + 12);
        if (size == 0 || offset > file.size() || file.size() - offset < size)
            throw refuse("image " + std::to_string(i + 1) + " lies outside the file");
        bytes data(file.begin() + offset, file.begin() + offset + size);
        if (!is_png(data) &&
            (data.size() < bitmap_header_size || u32_at(data, 0) != bitmap_header_size))
            throw refuse("image " + std::to_string(i + 1) + " is neither a bitmap nor a PNG");
        const std::uint16_t planes = u16_at(file, entry + 4);
        images.push_back({file[entry], file[entry + 1], file[entry + 2],
                          static_cast<std::uint16_t>(planes ? planes : 1),
                          bit_count_of(data, u16_at(file, entry + 6)), std::move(data)});
    }
    return images;
}

bytes icon_group(const std::vector<icon_image>& images, std::uint16_t first_id) {
    bytes out;
    append_u16(out, 0);
    append_u16(out, 1);
    append_u16(out, static_cast<std::uint32_t>(images.size()));
    for (std::size_t i = 0; i < images.size(); ++i) {
        const icon_image& image = images[i];
        out.insert(out.end(), {image.width, image.height, image.colors, 0});
        append_u16(out, image.planes);
        append_u16(out, image.bit_count);
        append_u32(out, static_cast<std::uint32_t>(image.data.size()));
        append_u16(out, static_cast<std::uint32_t>(first_id + i));
    }
    return out;
}
