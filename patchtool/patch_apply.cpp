#include "patch_apply.h"

#include "patch_format.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

namespace {

// Old positions stay within 2^62 either way, so that no sum with a count or a
// file's size can overflow.
constexpr std::int64_t position_bound = std::int64_t{1} << 62;

struct control_triple {
    std::int64_t diff_count;
    std::int64_t extra_count;
    std::int64_t old_step;
};

std::optional<control_triple> read_control_triple(block_reader& control) {
    unsigned char bytes[3 * patch_number_size];
    if (!control.read_exact(bytes, sizeof bytes))
        return std::nullopt;
    const control_triple triple{decode_patch_number(bytes),
                                decode_patch_number(bytes + patch_number_size),
                                decode_patch_number(bytes + 2 * patch_number_size)};
    if (triple.diff_count < 0 || triple.extra_count < 0)
        return std::nullopt;
    return triple;
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

// The loop has checked that every write fits.
class memory_new_file : public new_file_sink {
  public:
    explicit memory_new_file(std::span<unsigned char> data) : data_(data) {}
    bool write(std::span<const unsigned char> bytes) override {
        if (!bytes.empty())
            std::memcpy(data_.data() + written_, bytes.data(), bytes.size());
        written_ += bytes.size();
        return true;
    }

  private:
    std::span<unsigned char> data_;
    std::size_t written_ = 0;
};

class patch_applier {
  public:
    patch_applier(old_file_source& old_file, std::int64_t new_size, new_file_sink& new_file,
                  const patch_blocks& blocks)
        : old_file_(old_file), new_size_(new_size), new_file_(new_file), blocks_(blocks),
          piece_(static_cast<std::size_t>(
              std::clamp<std::int64_t>(new_size, 1, std::int64_t{patch_piece_size}))) {}

    patch_result run() {
        while (new_position_ < new_size_) {
            const auto triple = read_control_triple(blocks_.control);
            if (!triple)
                return patch_result::corrupt;
            if (!write_run(blocks_.diff, triple->diff_count, true) ||
                !write_run(blocks_.extra, triple->extra_count, false) ||
                !advance_old_position(triple->old_step))
                return result_;
        }
        return patch_result::applied;
    }

  private:
    bool fail(patch_result result) {
        result_ = result;
        return false;
    }

    // Takes the next `count` bytes of the new file; false when they would run past
    // its end.
    bool claim_new_bytes(std::int64_t count) {
        if (count > new_size_ - new_position_)
            return fail(patch_result::corrupt);
        new_position_ += count;
        return true;
    }

    std::span<unsigned char> next_piece(std::int64_t left) {
        return std::span(piece_).first(
            static_cast<std::size_t>(std::min<std::int64_t>(left, std::int64_t(piece_.size()))));
    }

    // A diff run adds the old file's bytes to its block's; an extra run takes its
    // block's bytes alone.
    bool write_run(block_reader& block, std::int64_t count, bool adds_old_bytes) {
        if (!claim_new_bytes(count))
            return false;
        while (count > 0) {
            const std::span<unsigned char> piece = next_piece(count);
            if (!block.read_exact(piece.data(), piece.size()))
                return fail(patch_result::corrupt);
            if (adds_old_bytes && !add_old_run(piece))
                return false;
            if (!new_file_.write(piece))
                return fail(patch_result::new_file_unwritable);
            count -= static_cast<std::int64_t>(piece.size());
        }
        return true;
    }

    bool add_old_run(std::span<unsigned char> piece) {
        if (!add_old_bytes(old_file_, old_position_, piece))
            return fail(patch_result::old_file_unreadable);
        return advance_old_position(static_cast<std::int64_t>(piece.size()));
    }

    bool advance_old_position(std::int64_t step) {
        if (__builtin_add_overflow(old_position_, step, &old_position_) ||
            old_position_ < -position_bound || old_position_ > position_bound)
            return fail(patch_result::corrupt);
        return true;
    }

    old_file_source& old_file_;
    const std::int64_t new_size_;
    new_file_sink& new_file_;
    const patch_blocks& blocks_;
    std::vector<unsigned char> piece_;
    patch_result result_ = patch_result::corrupt;
    std::int64_t new_position_ = 0;
    std::int64_t old_position_ = 0;
};

} // namespace

void add_bytes(const unsigned char* from, std::span<unsigned char> target) {
    for (std::size_t i = 0; i < target.size(); ++i)
        target[i] = static_cast<unsigned char>(target[i] + from[i]);
}

patch_result apply_patch(old_file_source& old_file, std::int64_t new_size, new_file_sink& new_file,
                         const patch_blocks& blocks) {
    return patch_applier(old_file, new_size, new_file, blocks).run();
}

patch_result apply_patch(std::span<const unsigned char> old_data, std::span<unsigned char> new_data,
                         const patch_blocks& blocks) {
    memory_old_file old_file(old_data);
    memory_new_file new_file(new_data);
    return apply_patch(old_file, static_cast<std::int64_t>(new_data.size()), new_file, blocks);
}
