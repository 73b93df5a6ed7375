#include "sha256.h"
#include "sha256_blocks.h"

#include <cstring>

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#define QM_SHA256_X86 1
#endif

namespace {

alignas(16) constexpr std::uint32_t round_constants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t initial_state[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

inline std::uint32_t rotate_right(std::uint32_t value, int bits) {
    return (value >> bits) | (value << (32 - bits));
}

inline std::uint32_t load_be32(const unsigned char* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
           static_cast<std::uint32_t>(bytes[2]) << 8 | static_cast<std::uint32_t>(bytes[3]);
}

inline void store_be32(unsigned char* bytes, std::uint32_t value) {
    bytes[0] = static_cast<unsigned char>(value >> 24);
    bytes[1] = static_cast<unsigned char>(value >> 16);
    bytes[2] = static_cast<unsigned char>(value >> 8);
    bytes[3] = static_cast<unsigned char>(value);
}

#ifdef QM_SHA256_X86
// The SHA extensions keep the state in two registers, ABEF and CDGH (A in the top
// lane), and take two rounds per SHA256RNDS2: the message words plus round
// constants go in the low half of its third operand, and the registers' roles swap
// each time, since after two rounds the old A, B, E, F are the new C, D, G, H.
// SHA256MSG1 and SHA256MSG2 with the W[t-7] words spliced in by PALIGNR extend the
// schedule four words at a time. In 32-bit mode the state, the four message
// registers, the byte-swap mask and the block's starting state do not fit the eight
// XMM registers; the compiler spills what it must.
__attribute__((target("sha,sse4.1"))) void
sha256_blocks_extensions(std::uint32_t state[8], const unsigned char* blocks, std::size_t count) {
    // Message words are big-endian: reverse the bytes of each 32-bit lane.
    const __m128i byte_swap = _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
    const __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
    const __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
    const __m128i badc = _mm_shuffle_epi32(dcba, 0xB1);
    const __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(badc, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, badc, 0xF0);

    for (; count != 0; --count, blocks += 64) {
        const __m128i abef_before = abef;
        const __m128i cdgh_before = cdgh;
        // message[i % 4] holds W[4i..4i+3] for the group of four rounds i.
        __m128i message[4];
#pragma GCC unroll 16
        for (int group = 0; group < 16; ++group) {
            __m128i& words = message[group % 4];
            if (group < 4) {
                words = _mm_shuffle_epi8(
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * group)),
                    byte_swap);
            } else {
                const __m128i& previous = message[(group + 3) % 4];
                const __m128i seven_back = _mm_alignr_epi8(previous, message[(group + 2) % 4], 4);
                words = _mm_sha256msg2_epu32(
                    _mm_add_epi32(_mm_sha256msg1_epu32(words, message[(group + 1) % 4]),
                                  seven_back),
                    previous);
            }
            const __m128i sums = _mm_add_epi32(
                words, _mm_load_si128(reinterpret_cast<const __m128i*>(round_constants) + group));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, sums);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(sums, 0x0E));
        }
        abef = _mm_add_epi32(abef, abef_before);
        cdgh = _mm_add_epi32(cdgh, cdgh_before);
    }

    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

bool processor_has_sha_extensions() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || !(ecx & bit_SSSE3) || !(ecx & bit_SSE4_1))
        return false;
    return __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) && (ebx & bit_SHA);
}
#endif

} // namespace

void sha256_blocks_portable(std::uint32_t state[8], const unsigned char* blocks,
                            std::size_t count) {
    for (; count != 0; --count, blocks += 64) {
        std::uint32_t w[64];
        for (int t = 0; t < 16; ++t)
            w[t] = load_be32(blocks + 4 * t);
        for (int t = 16; t < 64; ++t) {
            const std::uint32_t s0 =
                rotate_right(w[t - 15], 7) ^ rotate_right(w[t - 15], 18) ^ (w[t - 15] >> 3);
            const std::uint32_t s1 =
                rotate_right(w[t - 2], 17) ^ rotate_right(w[t - 2], 19) ^ (w[t - 2] >> 10);
            w[t] = w[t - 16] + s0 + w[t - 7] + s1;
        }
        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int t = 0; t < 64; ++t) {
            const std::uint32_t s1 = rotate_right(e, 6) ^ rotate_right(e, 11) ^ rotate_right(e, 25);
            const std::uint32_t choice = (e & f) ^ (~e & g);
            const std::uint32_t t1 = h + s1 + choice + round_constants[t] + w[t];
            const std::uint32_t s0 = rotate_right(a, 2) ^ rotate_right(a, 13) ^ rotate_right(a, 22);
            const std::uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + s0 + majority;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

sha256_blocks_function sha256_blocks_chosen() {
#ifdef QM_SHA256_X86
    static const sha256_blocks_function chosen =
        processor_has_sha_extensions() ? sha256_blocks_extensions : sha256_blocks_portable;
    return chosen;
#else
    return sha256_blocks_portable;
#endif
}

sha256_hasher::sha256_hasher() {
    std::memcpy(state_, initial_state, sizeof state_);
}

void sha256_hasher::update(const void* data, std::size_t length) {
    if (length == 0)
        return;
    const auto* input = static_cast<const unsigned char*>(data);
    const std::size_t buffered = length_ % 64;
    length_ += length;
    const sha256_blocks_function blocks = sha256_blocks_chosen();
    if (buffered != 0) {
        const std::size_t take = length < 64 - buffered ? length : 64 - buffered;
        std::memcpy(buffer_ + buffered, input, take);
        if (buffered + take < 64)
            return;
        blocks(state_, buffer_, 1);
        input += take;
        length -= take;
    }
    // Whole blocks straight from the caller's bytes.
    if (length >= 64) {
        blocks(state_, input, length / 64);
        input += length - length % 64;
        length %= 64;
    }
    if (length != 0)
        std::memcpy(buffer_, input, length);
}

sha256_digest sha256_hasher::finish() {
    const std::uint64_t bits = length_ * 8;
    std::size_t buffered = length_ % 64;
    buffer_[buffered++] = 0x80;
    const sha256_blocks_function blocks = sha256_blocks_chosen();
    if (buffered > 56) {
        std::memset(buffer_ + buffered, 0, 64 - buffered);
        blocks(state_, buffer_, 1);
        buffered = 0;
    }
    std::memset(buffer_ + buffered, 0, 56 - buffered);
    store_be32(buffer_ + 56, static_cast<std::uint32_t>(bits >> 32));
    store_be32(buffer_ + 60, static_cast<std::uint32_t>(bits));
    blocks(state_, buffer_, 1);
    sha256_digest digest;
    for (int i = 0; i < 8; ++i)
        store_be32(digest.data() + 4 * i, state_[i]);
    return digest;
}

sha256_digest sha256_of_bytes(std::string_view bytes) {
    sha256_hasher hasher;
    hasher.update(bytes.data(), bytes.size());
    return hasher.finish();
}

bool sha256_uses_processor_extensions() {
    return sha256_blocks_chosen() != sha256_blocks_portable;
}
