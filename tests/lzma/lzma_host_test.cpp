// Read and write failures provoked through POSIX files on the host build.

#include "lzma_file_calls.h"

#include <gtest/gtest.h>

TEST(lzma_host_results, directory_as_input_gives_8) {
    scratch_directory scratch;
    EXPECT_EQ(lzma_read_failed, decompress_file(scratch.path().string(), scratch.file("out")));
    EXPECT_EQ(lzma_read_failed, compress_file(scratch.path().string(), scratch.file("out")));
}

TEST(lzma_host_results, full_device_as_output_gives_9) {
    scratch_directory scratch;
    write_bytes(scratch.file("in"), std::string(100000, 'x'));
    ASSERT_EQ(lzma_ok, compress_file(scratch.file("in"), scratch.file("in.lzma")));
    EXPECT_EQ(lzma_write_failed, compress_file(scratch.file("in"), "/dev/full"));
    EXPECT_EQ(lzma_write_failed, decompress_file(scratch.file("in.lzma"), "/dev/full"));
}
