#pragma once
// Numbers of 2 and 4 bytes, little-endian, in byte buffers: how an executable's
// headers and resources, its version block and an .ico file store them. The
// publisher's one reader and writer of them; a read or write past the end of the
// data throws pe_format_error.

#include "byte_files.h"
#include "pe_resources.h"

#include <cstdint>
#include <span>

inline bool holds_u16_at(std::span<const unsigned char> data, std::size_t offset) {
    return offset <= data.size() && data.size() - offset >= 2;
}

inline std::uint16_t u16_at(std::span<const unsigned char> data, std::size_t offset) {
    if (!holds_u16_at(data, offset))
        throw pe_format_error("truncated");
    return static_cast<std::uint16_t>(data[offset] | data[offset + 1] << 8);
}

inline std::uint32_t u32_at(std::span<const unsigned char> data, std::size_t offset) {
    return u16_at(data, offset) | std::uint32_t{u16_at(data, offset + 2)} << 16;
}

inline void put_u16(bytes& data, std::size_t offset, std::uint32_t value) {
    if (!holds_u16_at(data, offset))
        throw pe_format_error("a field to write lies past the end of the data");
    data[offset] = static_cast<unsigned char>(value);
    data[offset + 1] = static_cast<unsigned char>(value >> 8);
}

inline void put_u32(bytes& data, std::size_t offset, std::uint32_t value) {
    put_u16(data, offset, value & 0xffff);
    put_u16(data, offset + 2, value >> 16);
}

inline void append_u16(bytes& out, std::uint32_t value) {
    out.push_back(static_cast<unsigned char>(value));
    out.push_back(static_cast<unsigned char>(value >> 8));
}

inline void append_u32(bytes& out, std::uint32_t value) {
    append_u16(out, value & 0xffff);
    append_u16(out, value >> 16);
}
