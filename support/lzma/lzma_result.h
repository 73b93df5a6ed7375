#pragma once
// Results of the LZMA container functions. Apart from lzma_open_failed these are
// the LZMA SDK's own result codes, passed through unchanged.

#include <cstdint>

using lzma_result = std::int32_t;

inline constexpr lzma_result lzma_ok = 0;
// The input cannot be opened, or the output cannot be created.
inline constexpr lzma_result lzma_open_failed = -1;
// Corrupt data, a stream that ends before the stated size, or (size not stated) a
// stream without an end marker.
inline constexpr lzma_result lzma_corrupt = 1;
inline constexpr lzma_result lzma_out_of_memory = 2;
// The properties byte is greater than 224.
inline constexpr lzma_result lzma_unsupported = 4;
// The input is shorter than the 13-byte header.
inline constexpr lzma_result lzma_truncated_header = 6;
inline constexpr lzma_result lzma_read_failed = 8;
inline constexpr lzma_result lzma_write_failed = 9;
// Compression only: the match finder's thread or its events cannot be created.
inline constexpr lzma_result lzma_thread_failed = 12;
