#include "bzip2_block.h"

#include <climits>

int bzip2_block::open_reader() {
    int error = BZ_OK;
    reader_ = BZ2_bzReadOpen(&error, file_.get(), 0, 0, nullptr, 0);
    return reader_ != nullptr ? BZ_OK : error;
}

bool bzip2_block::read_exact(unsigned char* buffer, std::size_t count) {
    bool ended = false;
    return count == 0 || read_some(buffer, count, ended) == static_cast<long>(count);
}

long bzip2_block::read_some(unsigned char* buffer, std::size_t count, bool& ended) {
    if (reader_ == nullptr || count > INT_MAX)
        return -1;
    int error = BZ_OK;
    const int delivered = BZ2_bzRead(&error, reader_, buffer, static_cast<int>(count));
    ended = error == BZ_STREAM_END;
    return error == BZ_OK || ended ? delivered : -1;
}

int bzip2_block::close() {
    close_reader();
    return file_ ? std::fclose(file_.release()) : 0;
}

void bzip2_block::close_reader() {
    if (reader_ == nullptr)
        return;
    int error = BZ_OK;
    BZ2_bzReadClose(&error, reader_);
    reader_ = nullptr;
}
