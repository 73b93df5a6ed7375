#include "version_info.h"

#include <cstring>

namespace {

constexpr unsigned char digest_length = 16;

bool write_bytes(std::FILE* stream, const void* data, std::size_t count) {
    return std::fwrite(data, 1, count, stream) == count;
}

bool write_int32(std::FILE* stream, std::int32_t value) {
    const auto bits = static_cast<std::uint32_t>(value);
    const unsigned char bytes[4] = {
        static_cast<unsigned char>(bits), static_cast<unsigned char>(bits >> 8),
        static_cast<unsigned char>(bits >> 16), static_cast<unsigned char>(bits >> 24)};
    return write_bytes(stream, bytes, sizeof bytes);
}

bool write_record(std::FILE* stream, const file_info& record) {
    const unsigned char flags_and_length[2] = {record.flags, digest_length};
    return write_int32(stream, static_cast<std::int32_t>(record.name.size())) &
           write_bytes(stream, record.name.data(), record.name.size()) &
           write_int32(stream, static_cast<std::int32_t>(record.size)) &
           write_bytes(stream, flags_and_length, sizeof flags_and_length) &
           write_bytes(stream, record.digest.data(), record.digest.size());
}

} // namespace

version_info::version_info(std::string magic, std::int32_t supported_format)
    : magic(std::move(magic)), supported_format(supported_format) {}

void version_info::clear() {
    files.clear();
    index_by_name.clear();
    indexed_count = 0;
    version = 0;
}

bool version_info::read(byte_reader& reader) {
    clear();
    std::string signature(magic.size(), '\0');
    std::uint8_t format = 0;
    std::int32_t count = 0;
    if (!reader.read_bytes(static_cast<std::int32_t>(signature.size()), signature.data()) ||
        signature != magic || !reader.read_byte(format) || format > supported_format ||
        !reader.read_int32(version) || !reader.read_int32(count))
        return false;
    for (std::int32_t index = 0; index < count; ++index) {
        auto record = std::make_unique<file_info>(reader.read_record());
        if (!file_info_valid(*record))
            return false;
        files.push_back(std::move(record));
    }
    return true;
}

bool version_info::write(std::FILE* stream) const {
    const auto format = static_cast<unsigned char>(supported_format);
    bool complete = write_bytes(stream, magic.data(), magic.size()) &
                    write_bytes(stream, &format, 1) & write_int32(stream, version) &
                    write_int32(stream, static_cast<std::int32_t>(files.size()));
    for (const auto& record : files)
        complete &= write_record(stream, *record);
    return complete;
}

file_info* version_info::find(const std::string& name) const {
    for (; indexed_count < files.size(); ++indexed_count)
        index_by_name.emplace(files[indexed_count]->name, files[indexed_count].get());
    const auto found = index_by_name.find(name);
    return found == index_by_name.end() ? nullptr : found->second;
}
