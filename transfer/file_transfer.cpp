// The transfer operations built on request_with_retry, the reporting transfer
// class and the two calls through which the rest of the launcher downloads.

#include "file_transfer.h"

#include "file_helpers.h"
#include "logfile.h"
#include "transfer_errors.h"

#include <fcntl.h>

namespace {

// A local file this long or longer is resumed rather than downloaded again.
constexpr std::int64_t resume_threshold = 4096;
// How many bytes of a resumed file are fetched again and compared.
constexpr std::int64_t resume_overlap = 32;

void log_transfer_exception(const transfer_error& error) {
    std::string line = std::string("Transfer Exception: ") + error.message;
    if (error.system_error != 0)
        line += " (WinINet error " + std::to_string(error.system_error) + ")";
    log_write(line, log_error_level);
}

} // namespace

file_transfer::~file_transfer() {
    close_internet();
}

void file_transfer::report_size(std::int64_t) {}

void file_transfer::report_progress(std::int64_t) {}

void file_transfer::report_filename(const char*) {}

void file_transfer::set_timeout(int seconds) {
    timeout_seconds = seconds;
}

void file_transfer::cancel() {
    cancelled = true;
}

void file_transfer::shut_down() {
    shut_down_requested = true;
    cancelled = true;
    call_watchdog.give_up();
    const std::lock_guard guard(reading.lock);
    if (reading.handle && !reading.closed) {
        InternetCloseHandle(reading.handle);
        reading.closed = true;
    }
}

void file_transfer::throw_if_shut_down() const {
    if (shut_down_requested)
        throw transfer_errors::shut_down;
}

void file_transfer::download_file(const char* url, const char* path, bool allow_cache,
                                  bool strict_certificates) {
    crt_file file(_open(path, _O_BINARY | _O_RDWR));
    continue_or_restart(
        std::move(file),
        [&](crt_file open, std::int64_t length) {
            file_transfer_copy sink(path, std::move(open), length);
            request_with_retry(url, &sink, length - resume_overlap, nullptr, allow_cache,
                               strict_certificates);
        },
        [&] { download_file_fresh(url, path, allow_cache, strict_certificates); });
}

void file_transfer::continue_file(const char* url, const wchar_t* path, bool strict_certificates) {
    crt_file file(_wopen(path, _O_BINARY | _O_RDWR));
    const auto request_into = [&](file_transfer_copyw& sink, std::int64_t offset) {
        request_with_retry(url, &sink, offset, nullptr, false, strict_certificates);
    };
    continue_or_restart(
        std::move(file),
        [&](crt_file open, std::int64_t length) {
            file_transfer_copyw sink(path, std::move(open), length);
            request_into(sink, length - resume_overlap);
        },
        [&] {
            file_transfer_copyw sink(path);
            request_into(sink, 0);
        });
}

void file_transfer::continue_or_restart(
    crt_file file, const std::function<void(crt_file, std::int64_t)>& continue_from,
    const std::function<void()>& restart) {
    const std::int64_t length = file ? _filelengthi64(file.get()) : -1;
    if (length < resume_threshold) {
        file.reset();
        restart();
        return;
    }
    try {
        continue_from(std::move(file), length);
        return;
    } catch (const transfer_error&) {
        // The local file cannot be continued: start over.
    }
    throw_if_shut_down();
    disconnect();
    restart();
}

void file_transfer::download_file_fresh(const char* url, const char* path, bool allow_cache,
                                        bool strict_certificates) {
    file_transfer_copy sink(path);
    request_with_retry(url, &sink, 0, nullptr, allow_cache, strict_certificates);
}

long file_transfer::download_memory(const char* url, char** data, long* size,
                                    bool strict_certificates) {
    return fetch_into_memory(url, nullptr, data, size, strict_certificates);
}

void file_transfer::post_memory(const char* url, const char* post_data, char** data, long* size) {
    fetch_into_memory(url, post_data, data, size, false);
}

long file_transfer::fetch_into_memory(const char* url, const char* post_data, char** data,
                                      long* size, bool strict_certificates) {
    memory_transfer_copy sink;
    request_with_retry(url, &sink, 0, post_data, false, strict_certificates);
    *size = static_cast<long>(sink.size());
    *data = sink.release_data();
    return *size;
}

CFileTransfer::~CFileTransfer() {
    filename_callback = nullptr;
    progress_callback = nullptr;
    size_callback = nullptr;
}

void CFileTransfer::report_size(std::int64_t total) {
    if (size_callback)
        size_callback(total);
}

void CFileTransfer::report_progress(std::int64_t offset) {
    if (progress_callback)
        progress_callback(offset);
}

void CFileTransfer::report_filename(const char* name) {
    log_write(std::string("CFileTransfere report_filename: ") + name, log_trace_level);
    if (filename_callback)
        filename_callback(name);
}

void set_callbacks(CFileTransfer& transfer, CFileTransfer::size_function size,
                   CFileTransfer::progress_function progress,
                   CFileTransfer::filename_function filename) {
    transfer.size_callback.swap(size);
    transfer.progress_callback.swap(progress);
    transfer.filename_callback.swap(filename);
}

bool download_to_file(const std::string& path, file_transfer& transfer, const std::string& url) {
    const std::wstring wide_path = system_path(path);
    try {
        file_transfer_copyw sink(wide_path.c_str());
        transfer.request_with_retry(url.c_str(), &sink, 0, nullptr, false, true);
        return true;
    } catch (const transfer_error& error) {
        log_transfer_exception(error);
        return false;
    }
}

bool continue_download_to_file(const std::string& path, file_transfer& transfer,
                               const std::string& url) {
    try {
        transfer.continue_file(url.c_str(), system_path(path).c_str(), true);
        return true;
    } catch (const transfer_error& error) {
        log_transfer_exception(error);
        return false;
    }
}

download_result download_to_memory(file_transfer& transfer, const std::string& url, char** data,
                                   long* size) {
    try {
        transfer.download_memory(url.c_str(), data, size, true);
        return download_result::received;
    } catch (const transfer_error& error) {
        log_transfer_exception(error);
        return error.code == transfer_error::proxy_sign_in ? download_result::proxy_sign_in_wanted
                                                           : download_result::failed;
    }
}
