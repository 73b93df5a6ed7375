#include "patch_builder.h"

#include <bzlib.h>

#include <stdexcept>

std::string patch_number(std::int64_t value) {
    std::uint64_t magnitude =
        value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    std::string bytes(8, '\0');
    for (std::size_t i = 0; i < 8; ++i, magnitude >>= 8)
        bytes[i] = static_cast<char>(magnitude & 0xFF);
    if (value < 0)
        bytes[7] = static_cast<char>(bytes[7] | 0x80);
    return bytes;
}

std::string bzip2_compress(const std::string& data) {
    std::string compressed(data.size() + data.size() / 100 + 600, '\0');
    auto length = static_cast<unsigned int>(compressed.size());
    if (BZ2_bzBuffToBuffCompress(compressed.data(), &length, const_cast<char*>(data.data()),
                                 static_cast<unsigned int>(data.size()), 9, 0, 0) != BZ_OK)
        throw std::runtime_error("bzip2 compression failed");
    compressed.resize(length);
    return compressed;
}

std::string patch_header(const std::string& magic, std::int64_t control_length,
                         std::int64_t diff_length, std::int64_t new_size) {
    return magic + patch_number(control_length) + patch_number(diff_length) +
           patch_number(new_size);
}

std::string build_patch(const std::vector<control_entry>& control, const std::string& diff,
                        const std::string& extra, std::int64_t new_size) {
    std::string control_bytes;
    for (const control_entry& entry : control)
        control_bytes += patch_number(entry.diff_count) + patch_number(entry.extra_count) +
                         patch_number(entry.old_step);
    const std::string control_block = bzip2_compress(control_bytes);
    const std::string diff_block = bzip2_compress(diff);
    return patch_header("BSDIFF40", static_cast<std::int64_t>(control_block.size()),
                        static_cast<std::int64_t>(diff_block.size()), new_size) +
           control_block + diff_block + bzip2_compress(extra);
}
