// The exported LZMA container functions: open both files with CreateFileA/W and run
// the container coder over the LZMA SDK's file streams on those handles.

#include "lzma_exports.h"

#include "long_paths.h"
#include "lzma_container.h"
#include "win_handles.h"

#include <algorithm>
#include <iterator>

namespace {

constexpr DWORD read_sharing = FILE_SHARE_READ;

file_handle open_input(const char* path) {
    return file_handle(CreateFileA(path, GENERIC_READ, read_sharing, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
}

file_handle open_input(const wchar_t* path) {
    return file_handle(CreateFileW(with_long_path_prefix(path).c_str(), GENERIC_READ, read_sharing,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

file_handle create_output(const char* path) {
    return file_handle(CreateFileA(path, GENERIC_WRITE, read_sharing, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
}

file_handle create_output(const wchar_t* path) {
    return file_handle(CreateFileW(with_long_path_prefix(path).c_str(), GENERIC_WRITE, read_sharing,
                                   nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// The SDK streams only borrow the handles; the file_handle owners close them.
CSzFile sdk_file(HANDLE handle) {
    CSzFile file;
    file.handle = handle;
    return file;
}

bool file_length(HANDLE file, std::uint64_t& length) {
    DWORD high = 0;
    const DWORD low = GetFileSize(file, &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)
        return false;
    length = (std::uint64_t{high} << 32) | low;
    return true;
}

lzma_result compress_handles(HANDLE input, HANDLE output) {
    std::uint64_t length = 0;
    if (!file_length(input, length))
        return lzma_read_failed;
    return compress_container_files(sdk_file(input), length, sdk_file(output));
}

lzma_result decompress_handles(HANDLE input, HANDLE output) {
    return decompress_container_files(sdk_file(input), sdk_file(output));
}

// Opens the input, creates the output, runs the coder; the output is closed before
// the input on every path.
template <typename Char, typename Coder>
lzma_result code_files(const Char* input_path, const Char* output_path, Coder coder) {
    if (input_path == nullptr || output_path == nullptr)
        return lzma_open_failed;
    const file_handle input = open_input(input_path);
    if (!input)
        return lzma_open_failed;
    const file_handle output = create_output(output_path);
    if (!output)
        return lzma_open_failed;
    return coder(input.get(), output.get());
}

} // namespace

#define QM_EXPORT __declspec(dllexport)

extern "C" {

QM_EXPORT lzma_result __stdcall LzmaCompress(const char* input_path, const char* output_path) {
    return code_files(input_path, output_path, compress_handles);
}

QM_EXPORT lzma_result __stdcall LzmaCompressW(const wchar_t* input_path,
                                              const wchar_t* output_path) {
    return code_files(input_path, output_path, compress_handles);
}

QM_EXPORT lzma_result __stdcall LzmaUncompress(const char* input_path, const char* output_path) {
    return code_files(input_path, output_path, decompress_handles);
}

QM_EXPORT lzma_result __stdcall LzmaUncompressW(const wchar_t* input_path,
                                                const wchar_t* output_path) {
    return code_files(input_path, output_path, decompress_handles);
}
}

lzma_result uncompress_with_digest(const wchar_t* input_path, const wchar_t* output_path,
                                   md5_digest& digest, sha256_digest* strong) noexcept {
    content_digester written(strong != nullptr);
    const lzma_result result =
        code_files(input_path, output_path, [&written](HANDLE input, HANDLE output) {
            return decompress_container_files(sdk_file(input), sdk_file(output), written);
        });
    digest = written.md5();
    if (strong)
        *strong = *written.sha256();
    return result;
}

std::uint64_t container_file_decode_memory(const wchar_t* path) noexcept {
    Byte header[container_header_size] = {};
    DWORD read = 0;
    const file_handle input = open_input(path);
    // A header that cannot be read is all zero: the smallest dictionary, and the
    // unpacking fails anyway.
    if (input && !ReadFile(input.get(), header, sizeof header, &read, nullptr))
        read = 0;
    if (read != sizeof header)
        std::fill(std::begin(header), std::end(header), Byte{0});
    return container_decode_memory(header);
}
