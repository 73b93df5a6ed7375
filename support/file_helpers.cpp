#include "file_helpers.h"
#include "logfile.h"
#include "platform.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

namespace {

constexpr std::int64_t copy_chunk_limit = 4 * 1024 * 1024;
// File lengths in this system are 32-bit signed values.
constexpr std::int64_t longest_copy = std::numeric_limits<std::int32_t>::max();

// Measured in 64 bits, so that a file of 2 GiB or more shows its true length
// rather than a failed or wrapped 32-bit position; none when it cannot be measured.
std::optional<std::int64_t> stream_length(std::FILE* file) {
    const std::int64_t start = ftello64(file);
    if (start < 0 || fseeko64(file, 0, SEEK_END) != 0)
        return std::nullopt;
    const std::int64_t length = ftello64(file);
    if (fseeko64(file, start, SEEK_SET) != 0 || length < 0)
        return std::nullopt;
    return length;
}

bool copy_stream(std::FILE* source, std::FILE* destination, std::size_t chunk) {
    std::vector<char> buffer(std::max<std::size_t>(chunk, 1));
    for (;;) {
        const std::size_t got = std::fread(buffer.data(), 1, chunk, source);
        if (got == 0)
            return std::ferror(source) == 0;
        if (std::fwrite(buffer.data(), 1, got, destination) != got)
            return false;
    }
}

void log_removal(const std::error_code& error) {
    log_trace("_DeleteDirectory " + error.message());
}

// Deletes every entry below the directory, depth first. A listing that fails is
// logged and ends the walk of this directory.
void delete_children(const native_path& directory, held_file_pauses& pauses,
                     const held_file_wait& wait) {
    if (const std::error_code error = list_directory(
            directory, [&](const native_path& entry) { _DeleteDirectory(entry, pauses, wait); }))
        log_removal(error);
}

} // namespace

bool sleep_through(std::chrono::milliseconds pause) {
    std::this_thread::sleep_for(pause);
    return true;
}

bool open_file_utf8(const std::string& mode, stdio_stream& slot, const std::string& path) {
    slot.reset();
    slot.reset(open_shared_stream(path, mode));
    return static_cast<bool>(slot);
}

int close_file(stdio_stream& slot) {
    std::FILE* file = slot.release();
    return file ? std::fclose(file) : 0;
}

std::size_t write_file(stdio_stream& slot, std::size_t count, const void* data) {
    return std::fwrite(data, 1, count, slot.get());
}

bool copy_file_contents(const std::string& source, const std::string& destination) {
    stdio_stream from;
    if (!open_file_utf8("rb", from, source))
        return false;
    const std::optional<std::int64_t> length = stream_length(from.get());
    if (!length || *length > longest_copy)
        return false;
    stdio_stream to;
    if (!open_file_utf8("wb", to, destination))
        return false;
    const std::int64_t chunk = std::min(*length, copy_chunk_limit);
    const bool copied = copy_stream(from.get(), to.get(), static_cast<std::size_t>(chunk));
    // A full disk may only show when the last buffered bytes are written out.
    return close_file(to) == 0 && copied;
}

void DeleteDirectory(const std::string& path, held_file_pauses pauses, const held_file_wait& wait) {
    std::string tree = path;
    if (!tree.empty() && tree.back() == '\\')
        tree.pop_back();
    _DeleteDirectory(path_from_utf8(tree), pauses, wait);
}

void _DeleteDirectory(const native_path& path, held_file_pauses& pauses,
                      const held_file_wait& wait) {
    std::error_code status_error;
    if (is_directory_at(path, status_error) && !is_link(path))
        delete_children(path, pauses, wait);
    const std::error_code remove_error = remove_entry(path, pauses, wait);
    if (!status_error)
        log_removal(remove_error);
}
