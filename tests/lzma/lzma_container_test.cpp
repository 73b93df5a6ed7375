// The container functions on real files: containers made by xz, our own containers
// (kept for xz to read back), and each result code provoked by a file that causes it.

#include "lzma_container.h"
#include "lzma_file_calls.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <vector>

namespace {

constexpr std::size_t header_size = 13;
constexpr std::size_t size_field_offset = 5;

std::string environment_path(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

std::string sample_path(const std::string& name) {
    return environment_path("QM_LZMA_SAMPLES") + path_separator + name;
}

// The originals among the samples, each with NAME.xz.lzma beside it.
std::vector<std::string> sample_names() {
    std::vector<std::string> names;
    for (const auto& entry :
         std::filesystem::directory_iterator(environment_path("QM_LZMA_SAMPLES")))
        if (entry.path().extension() != ".lzma")
            names.push_back(entry.path().filename().string());
    return names;
}

std::uint64_t little_endian(const std::string& bytes, std::size_t offset, std::size_t length) {
    std::uint64_t value = 0;
    for (std::size_t i = length; i-- > 0;)
        value = (value << 8) | static_cast<unsigned char>(bytes[offset + i]);
    return value;
}

void set_size_field(std::string& container, std::uint64_t size) {
    for (std::size_t i = 0; i < 8; ++i)
        container[size_field_offset + i] = static_cast<char>(size >> (8 * i));
}

// A scratch directory holding one of our containers of the text sample.
class lzma_results : public ::testing::Test {
  protected:
    void SetUp() override {
        original_ = read_bytes(sample_path("text.txt"));
        ASSERT_EQ(lzma_ok, compress_file(sample_path("text.txt"), scratch_.file("text.lzma")));
        container_ = read_bytes(scratch_.file("text.lzma"));
    }

    // Writes `container` as a file and decompresses it into "out".
    lzma_result decompress_bytes(const std::string& container) {
        write_bytes(scratch_.file("in.lzma"), container);
        return decompress_file(scratch_.file("in.lzma"), output());
    }

    std::string output() const { return scratch_.file("out"); }

    scratch_directory scratch_;
    std::string original_;
    std::string container_;
};

} // namespace

TEST(lzma_interop, decompresses_containers_made_by_xz) {
    scratch_directory scratch;
    for (const std::string& name : sample_names()) {
        SCOPED_TRACE(name);
        EXPECT_EQ(lzma_ok, decompress_file(sample_path(name + ".xz.lzma"), scratch.file(name)));
        EXPECT_EQ(read_bytes(sample_path(name)), read_bytes(scratch.file(name)));
    }
}

// Leaves NAME.lzma in QM_LZMA_OURS for the xz check that runs after this program.
TEST(lzma_interop, writes_level5_containers_that_decompress_to_the_original) {
    scratch_directory scratch;
    const std::string ours = environment_path("QM_LZMA_OURS");
    std::filesystem::create_directories(ours);
    for (const std::string& name : sample_names()) {
        SCOPED_TRACE(name);
        const std::string container_path = ours + path_separator + name + ".lzma";
        ASSERT_EQ(lzma_ok, compress_file(sample_path(name), container_path));
        const std::string original = read_bytes(sample_path(name));
        const std::string container = read_bytes(container_path);
        ASSERT_GT(container.size(), header_size);
        EXPECT_EQ(0x5D, static_cast<unsigned char>(container[0]));
        EXPECT_EQ(16777216u, little_endian(container, 1, 4));
        EXPECT_EQ(original.size(), little_endian(container, size_field_offset, 8));
        EXPECT_EQ(lzma_ok, decompress_file(container_path, scratch.file(name)));
        EXPECT_EQ(original, read_bytes(scratch.file(name)));
    }
}

TEST(lzma_interop, empty_input_makes_a_header_with_size_zero_and_round_trips) {
    scratch_directory scratch;
    write_bytes(scratch.file("empty"), "");
    ASSERT_EQ(lzma_ok, compress_file(scratch.file("empty"), scratch.file("empty.lzma")));
    const std::string container = read_bytes(scratch.file("empty.lzma"));
    ASSERT_GT(container.size(), header_size);
    EXPECT_EQ(0u, little_endian(container, size_field_offset, 8));
    write_bytes(scratch.file("out"), "previous content");
    EXPECT_EQ(lzma_ok, decompress_file(scratch.file("empty.lzma"), scratch.file("out")));
    EXPECT_EQ("", read_bytes(scratch.file("out")));
}

TEST_F(lzma_results, header_of_12_bytes_gives_6_and_an_empty_output) {
    EXPECT_EQ(lzma_truncated_header, decompress_bytes(container_.substr(0, 12)));
    EXPECT_TRUE(std::filesystem::exists(utf8_path(output())));
    EXPECT_EQ("", read_bytes(output()));
}

TEST_F(lzma_results, properties_byte_225_gives_4) {
    container_[0] = static_cast<char>(225);
    EXPECT_EQ(lzma_unsupported, decompress_bytes(container_));
}

TEST_F(lzma_results, stated_size_beyond_the_stream_gives_1_after_writing_what_was_decoded) {
    set_size_field(container_, original_.size() + 1000);
    EXPECT_EQ(lzma_corrupt, decompress_bytes(container_));
    EXPECT_EQ(original_, read_bytes(output()));
}

TEST_F(lzma_results, stream_cut_short_gives_1_with_a_prefix_written) {
    EXPECT_EQ(lzma_corrupt, decompress_bytes(container_.substr(0, container_.size() / 2)));
    const std::string decoded = read_bytes(output());
    EXPECT_GT(decoded.size(), 0u);
    EXPECT_EQ(original_.substr(0, decoded.size()), decoded);
}

TEST_F(lzma_results, size_not_stated_without_end_marker_gives_1) {
    set_size_field(container_, ~std::uint64_t{0});
    EXPECT_EQ(lzma_corrupt, decompress_bytes(container_));
}

TEST_F(lzma_results, bytes_after_a_stream_of_stated_size_are_ignored) {
    EXPECT_EQ(lzma_ok, decompress_bytes(container_ + "trailing bytes"));
    EXPECT_EQ(original_, read_bytes(output()));
}

TEST_F(lzma_results, bad_first_stream_byte_gives_1) {
    container_[header_size] = static_cast<char>(0xFF);
    EXPECT_EQ(lzma_corrupt, decompress_bytes(container_));
}

TEST_F(lzma_results, dictionary_size_below_4096_is_raised_to_4096) {
    scratch_directory small;
    write_bytes(small.file("small"), original_.substr(0, 3000));
    ASSERT_EQ(lzma_ok, compress_file(small.file("small"), small.file("small.lzma")));
    std::string container = read_bytes(small.file("small.lzma"));
    container.replace(1, 4, std::string(4, '\0'));
    EXPECT_EQ(lzma_ok, decompress_bytes(container));
    EXPECT_EQ(original_.substr(0, 3000), read_bytes(output()));
}

TEST_F(lzma_results, missing_input_gives_minus_1_and_creates_no_output) {
    EXPECT_EQ(lzma_open_failed, decompress_file(scratch_.file("missing"), output()));
    EXPECT_EQ(lzma_open_failed, compress_file(scratch_.file("missing"), output()));
    EXPECT_FALSE(std::filesystem::exists(utf8_path(output())));
}

TEST_F(lzma_results, output_in_a_missing_directory_gives_minus_1) {
    const std::string output_path = scratch_.file("missing") + path_separator + "out";
    EXPECT_EQ(lzma_open_failed, decompress_file(scratch_.file("text.lzma"), output_path));
    EXPECT_EQ(lzma_open_failed, compress_file(sample_path("text.txt"), output_path));
}

// Decoding takes a dictionary no larger than the size the header states: a small
// file in a level-5 container needs a fraction of its 16 MiB dictionary, and it
// still decodes.
TEST_F(lzma_results, decoding_memory_follows_the_stated_size) {
    const auto memory_of = [](const std::string& container) {
        Byte header[container_header_size];
        std::copy_n(container.begin(), container_header_size, header);
        return container_decode_memory(header);
    };
    ASSERT_LT(original_.size(), container_dictionary_size / 4);
    EXPECT_LT(memory_of(container_), original_.size() + (std::uint64_t{1} << 20));
    std::string unstated = container_;
    set_size_field(unstated, size_not_stated);
    EXPECT_GE(memory_of(unstated), std::uint64_t{container_dictionary_size});
    ASSERT_EQ(lzma_ok, decompress_bytes(container_));
    EXPECT_EQ(read_bytes(output()), original_);
}
