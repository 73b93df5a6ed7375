#pragma once
// The four LZMA container functions that quillomark.exe exports by these exact,
// undecorated names (no leading underscore, no @n suffix).
//
// Calling convention: __stdcall (WINAPI), like the Win32 API: the callee removes
// the two pointer arguments from the stack. A caller that loads them with
// GetProcAddress declares, for example,
//     typedef int (__stdcall *lzma_file_function)(const wchar_t*, const wchar_t*);
//
// Each takes two NUL-terminated paths, the input file and then the output file, and
// returns one of the lzma_result values (0 on success). The narrow forms take paths
// in the system code page (CreateFileA), the W forms UTF-16 (CreateFileW). The input
// is opened for reading with read sharing; the output is created or truncated. A
// partly written output is left on disk on failure. Every handle is closed before
// the function returns. The functions keep no state and may be called from any
// thread; compression runs the match finder on one extra thread that it joins
// before returning.

#include "lzma_result.h"
#include "md5.h"
#include "sha256.h"

#include <cstdint>

extern "C" {
// Compresses the input file into a new container (level-5 settings, size stated).
lzma_result __stdcall LzmaCompress(const char* input_path, const char* output_path);
lzma_result __stdcall LzmaCompressW(const wchar_t* input_path, const wchar_t* output_path);
// Decompresses a container into the output file.
lzma_result __stdcall LzmaUncompress(const char* input_path, const char* output_path);
lzma_result __stdcall LzmaUncompressW(const wchar_t* input_path, const wchar_t* output_path);
}

// The memory that unpacking the container file takes (container_decode_memory).
std::uint64_t container_file_decode_memory(const wchar_t* path) noexcept;
// Not exported: LzmaUncompressW for the launcher itself, which also gives the MD5
// digest of the bytes written, and with `strong` their SHA-256, so that the unpacked
// file need not be read back.
lzma_result uncompress_with_digest(const wchar_t* input_path, const wchar_t* output_path,
                                   md5_digest& digest, sha256_digest* strong = nullptr) noexcept;
