#include "patch_apply.h"

#include "patch_format.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>

namespace {

struct control_triple {
    std::int32_t diff_count;
    std::int32_t extra_count;
    std::int32_t old_step;
};

std::optional<control_triple> read_control_triple(block_reader& control) {
    unsigned char bytes[3 * patch_number_size];
    if (!control.read_exact(bytes, sizeof bytes))
        return std::nullopt;
    const auto diff_count = decode_patch_number(bytes);
    const auto extra_count = decode_patch_number(bytes + patch_number_size);
    const auto old_step = decode_patch_number(bytes + 2 * patch_number_size);
    if (!diff_count || !extra_count || !old_step || *diff_count < 0 || *extra_count < 0)
        return std::nullopt;
    return control_triple{*diff_count, *extra_count, *old_step};
}

// Adds the old file's bytes from `old_position` on to `target`, skipping the part
// of that range that lies outside the old file.
bool add_old_bytes(old_file_source& old_file, std::int64_t old_position,
                   std::span<unsigned char> target) {
    const auto count = static_cast<std::int64_t>(target.size());
    const std::int64_t first = std::clamp<std::int64_t>(-old_position, 0, count);
    const std::int64_t last =
        std::clamp<std::int64_t>(old_file.size() - old_position, first, count);
    return first == last || old_file.add_to(old_position + first,
                                            target.subspan(static_cast<std::size_t>(first),
                                                           static_cast<std::size_t>(last - first)));
}

class memory_old_file : public old_file_source {
  public:
    explicit memory_old_file(std::span<const unsigned char> data) : data_(data) {}
    std::int64_t size() const override { return static_cast<std::int64_t>(data_.size()); }
    bool add_to(std::int64_t position, std::span<unsigned char> target) override {
        add_bytes(data_.data() + position, target);
        return true;
    }

  private:
    std::span<const unsigned char> data_;
};

class patch_applier {
  public:
    patch_applier(old_file_source& old_file, std::span<unsigned char> new_data,
                  const patch_blocks& blocks)
        : old_file_(old_file), new_data_(new_data), blocks_(blocks) {}

    patch_outcome run() {
        while (new_position_ < static_cast<std::int64_t>(new_data_.size())) {
            const auto triple = read_control_triple(blocks_.control);
            if (!triple || !apply_triple(*triple))
                return old_file_unreadable_ ? patch_outcome::old_file_unreadable
                                            : patch_outcome::corrupt;
        }
        return patch_outcome::applied;
    }

  private:
    bool apply_triple(const control_triple& triple) {
        const auto diff_target = claim_new_bytes(triple.diff_count);
        if (!diff_target || !blocks_.diff.read_exact(diff_target->data(), diff_target->size()))
            return false;
        if (!add_old_bytes(old_file_, old_position_, *diff_target)) {
            old_file_unreadable_ = true;
            return false;
        }
        if (!advance_old_position(triple.diff_count))
            return false;
        const auto extra_target = claim_new_bytes(triple.extra_count);
        if (!extra_target || !blocks_.extra.read_exact(extra_target->data(), extra_target->size()))
            return false;
        return advance_old_position(triple.old_step);
    }

    bool advance_old_position(std::int32_t step) {
        old_position_ += step;
        return old_position_ >= std::numeric_limits<std::int32_t>::min() &&
               old_position_ <= std::numeric_limits<std::int32_t>::max();
    }

    // The next `count` bytes of the new buffer, or empty when they would run past
    // its end.
    std::optional<std::span<unsigned char>> claim_new_bytes(std::int32_t count) {
        if (count > static_cast<std::int64_t>(new_data_.size()) - new_position_)
            return std::nullopt;
        const auto bytes = new_data_.subspan(static_cast<std::size_t>(new_position_),
                                             static_cast<std::size_t>(count));
        new_position_ += count;
        return bytes;
    }

    old_file_source& old_file_;
    std::span<unsigned char> new_data_;
    const patch_blocks& blocks_;
    bool old_file_unreadable_ = false;
    std::int64_t new_position_ = 0;
    std::int64_t old_position_ = 0;
};

} // namespace

void add_bytes(const unsigned char* from, std::span<unsigned char> target) {
    for (std::size_t i = 0; i < target.size(); ++i)
        target[i] = static_cast<unsigned char>(target[i] + from[i]);
}

patch_outcome apply_patch(old_file_source& old_file, std::span<unsigned char> new_data,
                          const patch_blocks& blocks) {
    return patch_applier(old_file, new_data, blocks).run();
}

patch_outcome apply_patch(std::span<const unsigned char> old_data,
                          std::span<unsigned char> new_data, const patch_blocks& blocks) {
    memory_old_file old_file(old_data);
    return apply_patch(old_file, new_data, blocks);
}
