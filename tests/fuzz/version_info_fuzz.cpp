// versioninfo.vif from the server: the memory reader and the stream reader must
// come to the same answer and the same records, and whatever reads as complete
// must read back the same after being written.

#include "fuzz_support.h"

#include "version_info.h"

#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>

namespace {

struct file_closer {
    void operator()(std::FILE* stream) const { std::fclose(stream); }
};
using owned_stream = std::unique_ptr<std::FILE, file_closer>;

version_info empty_info() {
    return version_info(version_info::standard_magic, version_info::standard_format);
}

bool same_records(const version_info& left, const version_info& right) {
    if (left.version != right.version || left.files.size() != right.files.size())
        return false;
    for (std::size_t index = 0; index < left.files.size(); ++index) {
        const file_info& a = *left.files[index];
        const file_info& b = *right.files[index];
        if (a.name != b.name || a.size != b.size || a.flags != b.flags || a.digest != b.digest)
            return false;
    }
    return true;
}

bool read_from_memory(const std::uint8_t* data, std::size_t size, version_info& info) {
    byte_reader reader(static_cast<std::int32_t>(size), data);
    return info.read(reader);
}

bool read_from_stream(std::FILE* stream, version_info& info) {
    byte_reader reader(stream);
    return info.read(reader);
}

// Writes the records to a memory stream and reads them back through a stream reader.
void check_round_trip(const version_info& info) {
    char* written = nullptr;
    std::size_t written_size = 0;
    {
        const owned_stream out(open_memstream(&written, &written_size));
        require(info.write(out.get()), "write completes");
    }
    version_info reread = empty_info();
    {
        const owned_stream in(fmemopen(written, written_size, "rb"));
        require(read_from_stream(in.get(), reread), "a written file reads back");
    }
    std::free(written);
    require(same_records(info, reread), "a written file reads back unchanged");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
        return 0;
    version_info from_memory = empty_info();
    const bool memory_result = read_from_memory(data, size, from_memory);
    version_info from_stream = empty_info();
    std::uint8_t no_bytes = 0;
    const owned_stream stream(
        fmemopen(size > 0 ? const_cast<std::uint8_t*>(data) : &no_bytes, size, "rb"));
    const bool stream_result = read_from_stream(stream.get(), from_stream);
    require(memory_result == stream_result, "memory and stream readers give the same answer");
    require(same_records(from_memory, from_stream),
            "memory and stream readers keep the same records");
    for (const auto& record : from_memory.files)
        require(file_info_valid(*record), "only valid records are kept");
    if (memory_result)
        check_round_trip(from_memory);
    return 0;
}
