// A BSDIFF40 patch and the old file it applies to. The input is a mode byte, the
// old file's length (2 bytes) and bytes, then the patch. Mode 0 reads the patch as
// the tool does: header, then three bzip2 blocks opened on the patch bytes. Mode 1
// takes the three blocks as plain bytes, so the fuzzer reaches the control loop
// without having to produce bzip2 streams.

#include "fuzz_support.h"

#include "bzip2_block.h"
#include "patch_apply.h"
#include "patch_format.h"

#include <array>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// New files larger than this are not applied: the tool would only allocate more.
constexpr std::int32_t new_size_limit = 1 << 20;

class memory_block final : public block_reader {
  public:
    explicit memory_block(std::string_view bytes) : bytes(bytes) {}

    bool read_exact(unsigned char* buffer, std::size_t count) override {
        if (count > bytes.size())
            return false;
        std::memcpy(buffer, bytes.data(), count);
        bytes.remove_prefix(count);
        return true;
    }

  private:
    std::string_view bytes;
};

std::span<const unsigned char> as_bytes(std::string_view text) {
    return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

std::unique_ptr<bzip2_block> open_bzip2_block(std::string_view patch, std::int64_t offset) {
    if (offset > static_cast<std::int64_t>(patch.size()))
        return nullptr;
    stdio_stream file(fmemopen(const_cast<char*>(patch.data()), patch.size(), "rb"));
    if (!file || std::fseek(file.get(), static_cast<long>(offset), SEEK_SET) != 0)
        return nullptr;
    auto block = std::make_unique<bzip2_block>(std::move(file));
    if (block->open_reader() != BZ_OK)
        return nullptr;
    return block;
}

void apply_bzip2_blocks(std::string_view old_file, std::string_view patch,
                        const patch_header& header, std::span<unsigned char> new_file) {
    const std::int64_t diff_offset = std::int64_t{patch_header_size} + header.control_length;
    const std::int64_t extra_offset = diff_offset + header.diff_length;
    auto control = open_bzip2_block(patch, patch_header_size);
    auto diff = open_bzip2_block(patch, diff_offset);
    auto extra = open_bzip2_block(patch, extra_offset);
    if (control && diff && extra)
        apply_patch(as_bytes(old_file), new_file, {*control, *diff, *extra});
}

void apply_plain_blocks(std::string_view old_file, std::string_view patch,
                        const patch_header& header, std::span<unsigned char> new_file) {
    std::string_view blocks = patch.substr(patch_header_size);
    memory_block control(blocks.substr(0, static_cast<std::size_t>(header.control_length)));
    blocks.remove_prefix(std::min(blocks.size(), static_cast<std::size_t>(header.control_length)));
    memory_block diff(blocks.substr(0, static_cast<std::size_t>(header.diff_length)));
    blocks.remove_prefix(std::min(blocks.size(), static_cast<std::size_t>(header.diff_length)));
    memory_block extra(blocks);
    apply_patch(as_bytes(old_file), new_file, {control, diff, extra});
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_input input(data, size);
    const bool plain_blocks = (input.take_integer<std::uint8_t>() & 1) != 0;
    const std::string_view old_file = input.take_bytes(input.take_integer<std::uint16_t>());
    const std::string_view patch = input.rest();
    if (patch.size() < patch_header_size)
        return 0;
    const auto header = parse_patch_header(as_bytes(patch).data());
    if (!header)
        return 0;
    require(header->control_length >= 0 && header->diff_length >= 0 && header->new_size >= 0,
            "an accepted header has no negative length");
    const auto blocks_size = static_cast<std::int64_t>(patch.size() - patch_header_size);
    if (header->new_size > new_size_limit || header->control_length > blocks_size ||
        header->diff_length > blocks_size)
        return 0;
    std::vector<unsigned char> new_file(static_cast<std::size_t>(header->new_size));
    if (plain_blocks)
        apply_plain_blocks(old_file, patch, *header, new_file);
    else
        apply_bzip2_blocks(old_file, patch, *header, new_file);
    return 0;
}
