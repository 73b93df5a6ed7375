#pragma once
// Transfer of one http:// or https:// resource through WinINet into a sink, with
// resumed downloads, one retry and time-outs on the calls that can hang. Every
// operation is synchronous and either returns or throws transfer_error; only
// cancel and shut_down may be called from another thread.

#include "crt_file.h"
#include "internet_handle.h"
#include "transfer_copy.h"
#include "watchdog.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

struct request_arguments;
struct request_plan;

class file_transfer {
  public:
    // The most one read of a body asks for.
    static constexpr DWORD read_chunk_size = 64 * 1024;

    file_transfer() = default;
    file_transfer(const file_transfer&) = delete;
    file_transfer& operator=(const file_transfer&) = delete;

    virtual void open_internet();
    virtual void connect(const char* host, int port, bool force);
    // One request from URL to sink. Returns when the body has been read or the
    // request was cancelled.
    virtual void request(const char* url, transfer_copy* sink, std::int64_t offset,
                         const char* post_data, bool allow_cache, bool strict_certificates);
    // request, and once more after a failure; a second failure reports the first error.
    virtual void request_with_retry(const char* url, transfer_copy* sink, std::int64_t offset,
                                    const char* post_data, bool allow_cache,
                                    bool strict_certificates);
    virtual void disconnect();
    virtual void close_internet();
    virtual void report_size(std::int64_t total);
    // Once before each read of the body and once after the last, with the offset
    // reached.
    virtual void report_progress(std::int64_t offset);
    virtual void report_filename(const char* name);
    virtual ~file_transfer();
    // A proxy that asks for a sign-in (407) gets one through the system's own dialog,
    // owned by this window; without one, such a request fails with proxy_sign_in.
    void offer_proxy_sign_in(HWND owner);
    // Applies to the next new connection; 0 keeps the WinINet defaults.
    virtual void set_timeout(int seconds);
    // Ends the read loop of the request in progress before its next chunk; that
    // request returns with what it has. The next request forgets it.
    virtual void cancel();
    // Ends this transfer for good: the request in progress fails at once, even one
    // waiting in WinINet for a server that has stopped sending, and so does every
    // later one.
    virtual void shut_down();
    // Resumes a local file of 4096 bytes or more (its last 32 bytes are fetched again
    // and compared), else downloads it afresh; a failed resume falls back to afresh.
    virtual void download_file(const char* url, const char* path, bool allow_cache,
                               bool strict_certificates);
    // The same on a UTF-16 path.
    void continue_file(const char* url, const wchar_t* path, bool strict_certificates);
    virtual void download_file_fresh(const char* url, const char* path, bool allow_cache,
                                     bool strict_certificates);
    // The outputs are written only on success; the caller frees *data with std::free.
    virtual long download_memory(const char* url, char** data, long* size,
                                 bool strict_certificates);
    virtual void post_memory(const char* url, const char* post_data, char** data, long* size);

  protected:
    internet_handle internet;
    internet_handle connection;
    std::array<char, 2048> host{};
    int port = 0;
    int timeout_seconds = 60;
    std::atomic<bool> cancelled{false};

  private:
    struct opened_request {
        internet_handle handle;
        DWORD error;
    };

    long fetch_into_memory(const char* url, const char* post_data, char** data, long* size,
                           bool strict_certificates);
    void apply_timeouts();
    void forget_connection();

    internet_handle open_and_send(const request_plan& plan);
    opened_request open_request(const request_plan& plan);
    void follow_redirect(internet_handle handle, const request_arguments& arguments);
    void read_response(internet_handle handle, int status, const request_arguments& arguments);
    void report_disposition_filename(HINTERNET handle);
    std::int64_t read_body(HINTERNET handle, transfer_copy& sink, std::int64_t offset,
                           std::int64_t length);
    DWORD next_read_size(HINTERNET handle, std::int64_t remaining, bool streaming) const;

    bool signed_in_to_proxy(HINTERNET request);
    std::string proxy_name() const;

    void throw_if_shut_down() const;
    // Continues an open local file of resume_threshold bytes or more; a shorter
    // one, or one that cannot be continued, is downloaded afresh.
    void continue_or_restart(crt_file file,
                             const std::function<void(crt_file, std::int64_t)>& continue_from,
                             const std::function<void()>& restart);

    // The request whose body is being read, so that shut_down can close it from
    // another thread; `closed` tells its owner that it must not close it again.
    struct reading_request {
        std::mutex lock;
        HINTERNET handle = nullptr;
        bool closed = false;
    };
    friend class reading_registration;

    int redirects_followed = 0;
    HWND sign_in_owner = nullptr;
    std::vector<char> read_buffer = std::vector<char>(read_chunk_size);
    watchdog call_watchdog;
    std::atomic<bool> shut_down_requested{false};
    reading_request reading;
};

// Forwards the size, progress and file-name reports of its requests to callbacks.
class CFileTransfer : public file_transfer {
  public:
    using size_function = std::function<void(std::int64_t)>;
    using progress_function = std::function<void(std::int64_t)>;
    using filename_function = std::function<void(const char*)>;

    CFileTransfer() = default;
    ~CFileTransfer() override;

    void report_size(std::int64_t total) override;
    void report_progress(std::int64_t offset) override;
    void report_filename(const char* name) override;

  private:
    friend void set_callbacks(CFileTransfer& transfer, size_function size,
                              progress_function progress, filename_function filename);

    size_function size_callback;
    progress_function progress_callback;
    filename_function filename_callback;
};

// Installs the three callbacks; the ones held before are destroyed on return.
void set_callbacks(CFileTransfer& transfer, CFileTransfer::size_function size,
                   CFileTransfer::progress_function progress,
                   CFileTransfer::filename_function filename);

// The engine's two downloads. Both check certificates strictly: an https:// server
// whose certificate Windows does not trust for its host name today is a failed
// download like any other.

// Downloads the URL into the file at the UTF-8 path, overwriting it. False (and
// one log line) on a transfer_error; what was written stays.
bool download_to_file(const std::string& path, file_transfer& transfer, const std::string& url);

// Continues the file at the UTF-8 path from its length with a range request (a
// file too short to continue, or a server that ignores the range, gets the whole
// body again). False (and one log line) on a transfer_error; what was written stays.
bool continue_download_to_file(const std::string& path, file_transfer& transfer,
                               const std::string& url);

enum class download_result { received, failed, proxy_sign_in_wanted };

// Downloads the URL into a new C heap block. On a transfer_error one log line, and
// both outputs stay untouched.
download_result download_to_memory(file_transfer& transfer, const std::string& url, char** data,
                                   long* size);
