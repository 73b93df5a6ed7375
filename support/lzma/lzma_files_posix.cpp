// Host-build file wrappers: POSIX descriptors handed to the LZMA SDK's file streams.

#include "lzma_files.h"

#include "lzma_container.h"
#include "unique_handle.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct descriptor_traits {
    using pointer = int;
    static pointer invalid() noexcept { return -1; }
    static void close(pointer fd) noexcept { ::close(fd); }
};
using descriptor = unique_handle<descriptor_traits>;

// The SDK streams only borrow the descriptors; the descriptor owners close them.
CSzFile sdk_file(int fd) {
    CSzFile file;
    file.fd = fd;
    return file;
}

lzma_result compress_descriptors(int input, int output) {
    struct stat status {};
    if (fstat(input, &status) != 0)
        return lzma_read_failed;
    return compress_container_files(sdk_file(input), static_cast<std::uint64_t>(status.st_size),
                                    sdk_file(output));
}

lzma_result decompress_descriptors(int input, int output) {
    return decompress_container_files(sdk_file(input), sdk_file(output));
}

template <typename Coder>
lzma_result code_files(const char* input_path, const char* output_path, Coder coder) {
    if (input_path == nullptr || output_path == nullptr)
        return lzma_open_failed;
    const descriptor input(::open(input_path, O_RDONLY | O_CLOEXEC));
    if (!input)
        return lzma_open_failed;
    const descriptor output(::open(output_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!output)
        return lzma_open_failed;
    return coder(input.get(), output.get());
}

} // namespace

lzma_result compress_container_file(const char* input_path, const char* output_path) noexcept {
    return code_files(input_path, output_path, compress_descriptors);
}

lzma_result decompress_container_file(const char* input_path, const char* output_path) noexcept {
    return code_files(input_path, output_path, decompress_descriptors);
}
