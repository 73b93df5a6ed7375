#include "patch_tool.h"

#include "bzip2_block.h"
#include "console_platform.h"
#include "patch_apply.h"
#include "patch_format.h"
#include "read_ahead_block.h"
#include "stdio_stream.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

namespace {

constexpr int exit_success = 0;
constexpr int exit_failure = 1;
// Buffers of the streams: the patch's blocks are read by libbzip2 in runs of a few
// KiB, the new file is written in runs as short as a control entry.
constexpr std::size_t block_stream_buffer = 64 * 1024;
constexpr std::size_t new_file_buffer = 1024 * 1024;

template <typename... Args> std::string format_text(const char* format, Args... args) {
    const int length = std::snprintf(nullptr, 0, format, args...);
    std::string text(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    std::snprintf(text.data(), text.size() + 1, format, args...);
    return text;
}

bool fail(const std::string& message) {
    std::fputs(message.c_str(), stdout);
    return false;
}

bool fail_corrupt() {
    return fail("Corrupt patch\n");
}

// The system's text for the failed call comes first, then our own message.
template <typename... Args> bool fail_with_system_message(const char* format, Args... args) {
    const std::string system_text = last_system_message();
    return fail(system_text + format_text(format, args...));
}

// The old file read where the patch asks, through a window of 256 KiB: a patch
// mostly reads the old file front to back, and holding it whole would not fit a
// 32-bit process for large files.
class old_file_stream : public old_file_source {
  public:
    old_file_stream(std::FILE* file, std::int64_t size) : file_(file), size_(size) {}

    std::int64_t size() const override { return size_; }

    bool add_to(std::int64_t position, std::span<unsigned char> target) override {
        while (!target.empty()) {
            if ((position < window_start_ || position >= window_start_ + window_length_) &&
                !fill_window(position))
                return false;
            const auto offset = static_cast<std::size_t>(position - window_start_);
            const std::size_t count =
                std::min(target.size(), static_cast<std::size_t>(window_length_) - offset);
            add_bytes(window_.data() + offset, target.first(count));
            target = target.subspan(count);
            position += static_cast<std::int64_t>(count);
        }
        return true;
    }

  private:
    bool fill_window(std::int64_t position) {
        window_length_ = 0;
        const auto wanted =
            static_cast<std::size_t>(std::min<std::int64_t>(window_.size(), size_ - position));
        if (!seek_file(file_, position) || std::fread(window_.data(), 1, wanted, file_) != wanted)
            return false;
        window_start_ = position;
        window_length_ = static_cast<std::int64_t>(wanted);
        return true;
    }

    std::FILE* file_;
    std::int64_t size_;
    std::vector<unsigned char> window_ = std::vector<unsigned char>(256 * 1024);
    std::int64_t window_start_ = 0;
    std::int64_t window_length_ = 0;
};

// Where the new file is written. A device takes the bytes directly, since it cannot
// be replaced. Any other new file is written under a name of this process's beside
// it (in its folder, so that the move is a rename on one volume) and moved over it
// only when complete and on the disk: until then an earlier new file stays as it
// was, and a run that fails removes the temporary file.
class new_file_output {
  public:
    explicit new_file_output(const char* path)
        : path_(path),
          temporary_path_(names_device(path)
                              ? std::string()
                              : std::string(path) + ".bspatch-" + std::to_string(process_id())) {}
    ~new_file_output() {
        stream_.reset();
        if (temporary_file_exists_)
            remove_temporary_file(temporary_path_.c_str());
    }
    new_file_output(const new_file_output&) = delete;
    new_file_output& operator=(const new_file_output&) = delete;

    bool open() {
        stream_.reset(open_file(writes_directly() ? path_ : temporary_path_.c_str(), "wb"));
        if (!stream_)
            return false;
        temporary_file_exists_ = !writes_directly();
        std::setvbuf(stream_.get(), buffer_.data(), _IOFBF, buffer_.size());
        return true;
    }

    std::FILE* stream() const { return stream_.get(); }

    // Puts the complete new file in place; a device only needs the buffered bytes.
    bool finish() {
        if (writes_directly())
            return std::fclose(stream_.release()) == 0;
        if (!flush_to_disk(stream_.get()) || std::fclose(stream_.release()) != 0 ||
            !move_file_over(temporary_path_.c_str(), path_))
            return false;
        temporary_file_exists_ = false;
        return true;
    }

  private:
    bool writes_directly() const { return temporary_path_.empty(); }

    const char* path_;
    const std::string temporary_path_;
    bool temporary_file_exists_ = false;
    // Declared before the stream that uses it, so that it outlives the stream.
    std::vector<char> buffer_ = std::vector<char>(new_file_buffer);
    stdio_stream stream_;
};

class new_file_stream : public new_file_sink {
  public:
    explicit new_file_stream(std::FILE* file) : file_(file) {}
    bool write(std::span<const unsigned char> bytes) override {
        return std::fwrite(bytes.data(), 1, bytes.size(), file_) == bytes.size();
    }

  private:
    std::FILE* file_;
};

// One run of the tool. Each step prints its own failure message and returns false.
// The new file is written while the patch is applied. The old file and the patch
// are closed before the new file is moved into place, since either may be the new
// file under one of its names, and Windows does not move a file over an open one.
class patch_run {
  public:
    patch_run(const char* old_path, const char* new_path, const char* patch_path)
        : old_path_(old_path), new_path_(new_path), patch_path_(patch_path), new_file_(new_path) {}

    bool execute() {
        return read_header() && open_blocks() && open_old_file() && create_new_file() && apply() &&
               close_blocks() && close_old_file() && finish_new_file();
    }

  private:
    bool read_header() {
        stdio_stream patch(open_file(patch_path_, "rb"));
        if (!patch)
            return fail_with_system_message("fopen(%s)", patch_path_);
        unsigned char bytes[patch_header_size];
        if (std::fread(bytes, 1, sizeof bytes, patch.get()) < sizeof bytes)
            return std::feof(patch.get()) ? fail_corrupt()
                                          : fail_with_system_message("fread(%s)", patch_path_);
        const auto header = parse_patch_header(bytes);
        if (!header)
            return fail_corrupt();
        header_ = *header;
        if (std::fclose(patch.release()) != 0)
            return fail_with_system_message("fclose(%s)", patch_path_);
        return true;
    }

    bool open_blocks() {
        const std::int64_t control_offset = patch_header_size;
        std::int64_t diff_offset = 0;
        std::int64_t extra_offset = 0;
        if (__builtin_add_overflow(control_offset, header_.control_length, &diff_offset) ||
            __builtin_add_overflow(diff_offset, header_.diff_length, &extra_offset))
            return fail_corrupt();
        return open_block(0, control_offset) && open_block(1, diff_offset) &&
               open_block(2, extra_offset);
    }

    bool open_block(std::size_t index, std::int64_t offset) {
        stdio_stream file(open_file(patch_path_, "rb"));
        if (!file)
            return fail_with_system_message("fopen(%s)", patch_path_);
        std::setvbuf(file.get(), nullptr, _IOFBF, block_stream_buffer);
        if (!seek_file(file.get(), offset))
            return fail_with_system_message("fseeko(%s, %" PRId64 ")", patch_path_, offset);
        bzip2_block& block = blocks_[index].emplace(std::move(file));
        if (const int error = block.open_reader(); error != BZ_OK)
            return fail(format_text("BZ2_bzReadOpen, bz2err = %d", error));
        return true;
    }

    bool open_old_file() {
        old_file_.reset(open_file(old_path_, "rb"));
        if (!old_file_)
            return fail_with_system_message("%s", old_path_);
        old_size_ = file_length(old_file_.get());
        if (old_size_ < 0)
            return fail_with_system_message("%s", old_path_);
        return true;
    }

    bool close_old_file() {
        return std::fclose(old_file_.release()) == 0 ? true
                                                     : fail_with_system_message("%s", old_path_);
    }

    bool create_new_file() {
        return new_file_.open() ? true : fail_with_system_message("%s", new_path_);
    }

    bool apply() {
        std::optional<read_ahead_block> diff_ahead = start_read_ahead();
        block_reader& diff = diff_ahead ? static_cast<block_reader&>(*diff_ahead) : *blocks_[1];
        const patch_blocks blocks{*blocks_[0], diff, *blocks_[2]};
        old_file_stream old_file(old_file_.get(), old_size_);
        new_file_stream new_file(new_file_.stream());
        switch (apply_patch(old_file, header_.new_size, new_file, blocks)) {
        case patch_result::applied:
            return true;
        case patch_result::old_file_unreadable:
            return fail_with_system_message("%s", old_path_);
        case patch_result::new_file_unwritable:
            return fail_with_system_message("%s", new_path_);
        case patch_result::corrupt:
            break;
        }
        return fail_corrupt();
    }

    // Decoding the diff block ahead pays for its thread only on a large new file;
    // without a thread the block is read directly.
    std::optional<read_ahead_block> start_read_ahead() {
        constexpr std::int64_t read_ahead_threshold = 4 * read_ahead_block::chunk_size;
        if (header_.new_size < read_ahead_threshold)
            return std::nullopt;
        try {
            return std::optional<read_ahead_block>(std::in_place, *blocks_[1]);
        } catch (const std::system_error&) {
            return std::nullopt;
        }
    }

    bool close_blocks() {
        for (auto& block : blocks_) {
            if (block->close() != 0)
                return fail_with_system_message("fclose(%s)", patch_path_);
        }
        return true;
    }

    bool finish_new_file() {
        return new_file_.finish() ? true : fail_with_system_message("%s", new_path_);
    }

    const char* old_path_;
    const char* new_path_;
    const char* patch_path_;
    patch_header header_{};
    std::array<std::optional<bzip2_block>, 3> blocks_;
    stdio_stream old_file_;
    std::int64_t old_size_ = 0;
    new_file_output new_file_;
};

} // namespace

int run_patch_tool(int argc, char* argv[]) {
    if (argc != 4) {
        std::printf("usage: %s oldfile newfile patchfile\n", argc > 0 ? argv[0] : "bspatch");
        return exit_failure;
    }
    try {
        return patch_run(argv[1], argv[2], argv[3]).execute() ? exit_success : exit_failure;
    } catch (const std::bad_alloc&) {
        // Unwinding has removed the temporary file.
        return exit_failure;
    }
}
