#pragma once
// MD5 message digest (RFC 1321).

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// A digest as raw bytes.
using md5_digest = std::array<unsigned char, 16>;

struct md5_context {
    std::uint32_t state[4];
    std::uint32_t count[2]; // message length in bits, low word first
    unsigned char buffer[64];
};

void md5_init(md5_context& context);
void md5_update(md5_context& context, const void* data, std::size_t length);
// Writes the 16-byte digest and wipes the context.
void md5_final(md5_context& context, unsigned char digest[16]);

// The digest of bytes held in memory.
md5_digest md5_of_bytes(std::string_view bytes);
// The digest of the bytes as 32 lower-case hex digits, for names derived from text.
std::string md5_hex(std::string_view bytes);
