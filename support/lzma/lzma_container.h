#pragma once
// The LZMA file container: a 13-byte header followed by one LZMA stream.
//
//   offset 0   properties byte (pb * 5 + lp) * 9 + lc
//   offset 1   dictionary size, 4 bytes little-endian
//   offset 5   uncompressed size, 8 bytes little-endian; all bits set means the
//              size is not stated and the stream ends with an end marker
//   offset 13  the coded stream
//
// The coder works on the LZMA SDK's sequential streams, so it does not care where
// the bytes come from; the file-opening wrappers sit on top of it.

#include "content_digest.h"
#include "lzma_result.h"

#include <7zFile.h>
#include <7zTypes.h>

#include <cstddef>
#include <cstdint>

inline constexpr std::size_t container_header_size = 13;
inline constexpr std::uint64_t size_not_stated = ~std::uint64_t{0};
inline constexpr std::uint32_t container_dictionary_size = std::uint32_t{1} << 24;
// Containers with a larger dictionary are refused as out of memory without trying
// to allocate it; xz's largest preset uses 64 MiB.
inline constexpr std::uint32_t largest_dictionary_size = std::uint32_t{1} << 28;

// Writes the header stating `input_size`, then the whole of `input` coded with the
// level-5 settings (16 MiB dictionary, lc 3, lp 0, pb 2, binary-tree match finder on
// a second thread) and no end marker.
lzma_result compress_container(ISeqInStreamPtr input, std::uint64_t input_size,
                               ISeqOutStreamPtr output) noexcept;

// The memory that decoding a container with this header takes: its dictionary, no
// larger than the size it states, the decoder's tables and the two buffers.
std::uint64_t container_decode_memory(const Byte (&header)[container_header_size]) noexcept;

// Reads a container from `input` and writes the decoded bytes to `output` as they
// come out of the decoder, through two 64 KiB buffers. The dictionary is allocated
// no larger than the stated size: a stream never reaches further back than it has
// written. A dictionary larger than
// largest_dictionary_size is refused as out of memory. Bytes after a stream of
// stated size are ignored. Whatever was decoded before a failure has been written.
lzma_result decompress_container(ISeqInStreamPtr input, ISeqOutStreamPtr output) noexcept;

// The two operations above between open files that the SDK's file streams borrow
// (the caller keeps and closes them).
lzma_result compress_container_files(const CSzFile& input, std::uint64_t input_size,
                                     const CSzFile& output) noexcept;
lzma_result decompress_container_files(const CSzFile& input, const CSzFile& output) noexcept;
// Decompresses as above and adds every byte written to `written`: the digests of
// the output without reading it back.
lzma_result decompress_container_files(const CSzFile& input, const CSzFile& output,
                                       content_digester& written) noexcept;
