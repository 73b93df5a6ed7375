// The HTTP side of file_transfer: the WinINet session and connection, one request
// from URL to sink, and the retry around it.

#include "file_transfer.h"

#include "http_parsing.h"
#include "logfile.h"
#include "transfer_errors.h"
#include "watchdog.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>

namespace {

constexpr int max_redirects = 10;
// WinINet's own read buffer under Wine; InternetQueryDataAvailable reports at most
// what it holds.
constexpr DWORD wininet_buffer_size = 8 * 1024;
// A whole chunk read this quickly means the body streams in faster than 1 MiB/s.
constexpr std::chrono::milliseconds streaming_chunk_time{50};

using text_buffer = std::array<char, 1024>;

struct url_parts {
    text_buffer host{};
    text_buffer path{};
    int port = 0;
    bool secure = false;
};

// Counts one followed redirect for as long as the nested request runs.
class redirect_step {
  public:
    explicit redirect_step(int& followed) : followed(followed) {
        if (followed >= max_redirects)
            throw transfer_errors::too_many_redirects;
        ++followed;
    }
    ~redirect_step() { --followed; }
    redirect_step(const redirect_step&) = delete;
    redirect_step& operator=(const redirect_step&) = delete;

  private:
    int& followed;
};

url_parts split_url(const char* url) {
    url_parts parts;
    URL_COMPONENTSA components{};
    components.dwStructSize = sizeof components;
    components.lpszHostName = parts.host.data();
    components.dwHostNameLength = parts.host.size() - 1;
    components.lpszUrlPath = parts.path.data();
    components.dwUrlPathLength = parts.path.size() - 1;
    if (!InternetCrackUrlA(url, 0, 0, &components))
        throw transfer_errors::bad_url;
    if (components.nScheme != INTERNET_SCHEME_HTTP && components.nScheme != INTERNET_SCHEME_HTTPS)
        throw transfer_errors::bad_url;
    parts.secure = components.nScheme == INTERNET_SCHEME_HTTPS;
    parts.port = parts.secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
    if (components.nPort != 0)
        parts.port = components.nPort;
    return parts;
}

} // namespace

struct request_arguments {
    transfer_copy* sink;
    std::int64_t offset;
    const char* post_data;
    bool allow_cache;
    bool strict_certificates;
};

// Everything one request sends, worked out before the first pass.
struct request_plan {
    url_parts url;
    DWORD flags;
    const char* verb;
    const char* post_data;
    bool strict_certificates;
    std::array<char, 4096> headers{};
    DWORD header_length = 0;
};

namespace {

// WinINet hands every redirect back (NO_AUTO_REDIRECT): left to itself, it follows
// a URL that redirects to itself for ever, even after its handle is closed.
DWORD request_flags(const url_parts& url, const request_arguments& arguments) {
    DWORD flags = INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTP | INTERNET_FLAG_IGNORE_REDIRECT_TO_HTTPS |
                  INTERNET_FLAG_NO_AUTO_REDIRECT;
    if (!arguments.allow_cache)
        flags |= INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE;
    if (url.secure)
        flags |= INTERNET_FLAG_SECURE;
    if (url.secure && !arguments.strict_certificates)
        flags |= INTERNET_FLAG_IGNORE_CERT_CN_INVALID | INTERNET_FLAG_IGNORE_CERT_DATE_INVALID;
    return flags;
}

// Header lines end in a single line feed; WinINet sends them as CRLF lines. A fresh
// copy is asked of the proxies on the way too: INTERNET_FLAG_RELOAD only passes by
// WinINet's own cache, and a caching proxy would otherwise keep handing out the
// master record it saw first.
DWORD write_headers(std::array<char, 4096>& headers, const request_arguments& arguments) {
    int length = std::snprintf(
        headers.data(), headers.size(), "User-Agent: Quillomark/1.0\n%s%s",
        arguments.allow_cache ? "" : "Cache-Control: no-cache\nPragma: no-cache\n",
        arguments.post_data != nullptr ? "Content-Type: application/x-www-form-urlencoded\n" : "");
    if (arguments.offset > 0)
        length += std::snprintf(headers.data() + length, headers.size() - length,
                                "Range: bytes=%" PRId64 "-\n", arguments.offset);
    return static_cast<DWORD>(length);
}

void plan_request(request_plan& plan, const char* url, const request_arguments& arguments) {
    plan.url = split_url(url);
    plan.flags = request_flags(plan.url, arguments);
    plan.verb = arguments.post_data != nullptr ? "POST" : "GET";
    plan.post_data = arguments.post_data;
    plan.strict_certificates = arguments.strict_certificates;
    plan.header_length = write_headers(plan.headers, arguments);
}

// HttpOpenRequestA with its own copies of the arguments.
class open_call : public watched_call {
  public:
    open_call(HINTERNET connection, const request_plan& plan)
        : connection(connection), verb(plan.verb), path(plan.url.path), flags(plan.flags) {}

    bool make_call() override {
        const char* accept_types[] = {"*/*", nullptr};
        opened = HttpOpenRequestA(connection, verb, path.data(), "HTTP/1.1", nullptr, accept_types,
                                  flags, 0);
        return opened != nullptr;
    }

    HINTERNET opened = nullptr;

  private:
    HINTERNET connection;
    const char* verb; // a string literal
    text_buffer path;
    DWORD flags;
};

// HttpSendRequestA with its own copies of the headers and the form data.
class send_call : public watched_call {
  public:
    send_call(HINTERNET request, const request_plan& plan)
        : request(request), headers(plan.headers), header_length(plan.header_length) {
        if (plan.post_data != nullptr)
            post_data = plan.post_data;
    }

    bool make_call() override {
        return HttpSendRequestA(request, headers.data(), header_length,
                                post_data ? post_data->data() : nullptr,
                                post_data ? static_cast<DWORD>(post_data->size()) : 0);
    }

  private:
    HINTERNET request;
    std::array<char, 4096> headers;
    DWORD header_length;
    std::optional<std::string> post_data;
};

watched_outcome send_once(watchdog& watcher, internet_handle& request, HINTERNET connection,
                          const request_plan& plan) {
    const HINTERNET handle = request.get();
    const watched_outcome outcome =
        watcher.run(std::make_shared<send_call>(handle, plan),
                    {watchdog_wait_ms(INTERNET_OPTION_SEND_TIMEOUT, handle, connection), handle,
                     ERROR_INTERNET_TIMEOUT});
    if (outcome.expired)
        static_cast<void>(request.release());
    return outcome;
}

void accept_unknown_authority(HINTERNET request) {
    DWORD flags = 0;
    DWORD size = sizeof flags;
    InternetQueryOptionA(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, &size);
    flags |= SECURITY_FLAG_IGNORE_UNKNOWN_CA;
    InternetSetOptionA(request, INTERNET_OPTION_SECURITY_FLAGS, &flags, sizeof flags);
}

// Sends once more with an untrusted certificate authority accepted when the
// certificates need not be strict.
watched_outcome send_request(watchdog& watcher, internet_handle& request, HINTERNET connection,
                             const request_plan& plan) {
    const watched_outcome outcome = send_once(watcher, request, connection, plan);
    if (outcome.succeeded || outcome.error != ERROR_INTERNET_INVALID_CA || plan.strict_certificates)
        return outcome;
    accept_unknown_authority(request.get());
    return send_once(watcher, request, connection, plan);
}

// The header's value, or `fallback` when the response has none.
text_buffer query_header(HINTERNET request, DWORD info, const char* fallback) {
    text_buffer value{};
    DWORD size = value.size() - 1;
    if (!HttpQueryInfoA(request, info, value.data(), &size, nullptr)) {
        value.fill('\0');
        std::strncpy(value.data(), fallback, value.size() - 1);
    }
    return value;
}

int query_status(HINTERNET request) {
    text_buffer text{};
    DWORD size = text.size() - 1;
    if (!HttpQueryInfoA(request, HTTP_QUERY_STATUS_CODE, text.data(), &size, nullptr))
        throw transfer_errors::no_status;
    return parse_status_code(text.data());
}

// The Location header; none when the answer has none. A value too long for the
// buffer cannot be followed.
std::optional<text_buffer> location_header(HINTERNET request) {
    text_buffer value{};
    DWORD size = value.size() - 1;
    if (HttpQueryInfoA(request, HTTP_QUERY_LOCATION, value.data(), &size, nullptr))
        return value;
    if (GetLastError() == ERROR_HTTP_HEADER_NOT_FOUND)
        return std::nullopt;
    throw transfer_errors::bad_url;
}

// An answer to an https:// request may send the launcher only to another https://
// URL: whoever sits on a plain hop could otherwise send it on to any host with a
// certificate of its own.
void refuse_leaving_https(const text_buffer& current, const text_buffer& target) {
    if (!split_url(current.data()).secure || split_url(target.data()).secure)
        return;
    log_error(std::string("Refused redirect from ") + current.data() + " to " + target.data());
    throw transfer_errors::redirect_leaves_https;
}

// Where a redirect leads: its Location, resolved against the URL it answered when
// relative, or that URL itself when the answer names none (a 304, for one).
text_buffer redirect_target(HINTERNET request) {
    text_buffer current{};
    DWORD size = current.size() - 1;
    InternetQueryOptionA(request, INTERNET_OPTION_URL, current.data(), &size);
    const std::optional<text_buffer> location = location_header(request);
    if (!location)
        return current;
    text_buffer target{};
    size = target.size() - 1;
    if (!InternetCombineUrlA(current.data(), location->data(), target.data(), &size,
                             ICU_ENCODE_SPACES_ONLY))
        throw transfer_errors::bad_url;
    refuse_leaving_https(current, target);
    return target;
}

// The body's length, 0 when the response gives none; a 206 to a range request is
// checked against its Content-Range.
std::int64_t body_length(HINTERNET request, std::int64_t offset) {
    const std::int64_t length = parse_content_length(
        query_header(request, HTTP_QUERY_CONTENT_LENGTH, missing_content_length).data());
    if (offset <= 0)
        return length;
    return checked_range_length(
        query_header(request, HTTP_QUERY_CONTENT_RANGE, missing_content_range).data(), offset,
        length);
}

bool is_keep_alive(HINTERNET request) {
    return is_keep_alive_value(query_header(request, HTTP_QUERY_CONNECTION, "").data());
}

// The proxy sign-in that the user entered, for every WinINet session of the process:
// WinINet keeps it in the session it was entered in, and each worker has its own.
// It lives in memory only.
struct proxy_sign_in {
    std::mutex lock;
    std::string user;
    std::string password;
};

proxy_sign_in& entered_proxy_sign_in() {
    static proxy_sign_in entered;
    return entered;
}

std::string string_option(HINTERNET internet, DWORD option) {
    text_buffer value{};
    DWORD size = value.size() - 1;
    if (!InternetQueryOptionA(internet, option, value.data(), &size))
        return {};
    return value.data();
}

// Read from the request that the dialog answered.
void remember_proxy_sign_in(HINTERNET request) {
    proxy_sign_in& entered = entered_proxy_sign_in();
    const std::lock_guard guard(entered.lock);
    entered.user = string_option(request, INTERNET_OPTION_PROXY_USERNAME);
    entered.password = string_option(request, INTERNET_OPTION_PROXY_PASSWORD);
}

// Given to each request: WinINet under Wine takes the sign-in only from a request
// handle (and keeps it for the request's session).
void apply_proxy_sign_in(HINTERNET request) {
    proxy_sign_in& entered = entered_proxy_sign_in();
    const std::lock_guard guard(entered.lock);
    if (entered.user.empty())
        return;
    InternetSetOptionA(request, INTERNET_OPTION_PROXY_USERNAME, entered.user.data(),
                       static_cast<DWORD>(entered.user.size()));
    InternetSetOptionA(request, INTERNET_OPTION_PROXY_PASSWORD, entered.password.data(),
                       static_cast<DWORD>(entered.password.size()));
}

} // namespace

void file_transfer::open_internet() {
    if (internet)
        return;
    if (InternetAttemptConnect(0) != ERROR_SUCCESS)
        throw transfer_errors::no_internet;
    internet.reset(InternetOpenA("Quillomark", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
    if (!internet)
        throw transfer_errors::internet_open_failed;
}

void file_transfer::offer_proxy_sign_in(HWND owner) {
    sign_in_owner = owner;
}

// The proxy of the system's settings, as WinINet names it.
std::string file_transfer::proxy_name() const {
    std::array<char, 2048> buffer{};
    DWORD size = buffer.size();
    if (!InternetQueryOptionA(internet.get(), INTERNET_OPTION_PROXY, buffer.data(), &size))
        return "(unknown)";
    const auto* proxy = reinterpret_cast<const INTERNET_PROXY_INFO*>(buffer.data());
    return proxy->lpszProxy ? reinterpret_cast<const char*>(proxy->lpszProxy) : "(none)";
}

// True when the user signed in through the system's dialog: the request is to be
// sent again, and WinINet answers the proxy with the sign-in.
bool file_transfer::signed_in_to_proxy(HINTERNET request) {
    log_error("Proxy " + proxy_name() + " asks for a sign-in (HTTP 407)");
    if (!sign_in_owner)
        return false;
    const DWORD answer =
        InternetErrorDlg(sign_in_owner, request, ERROR_INTERNET_INCORRECT_PASSWORD,
                         FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS |
                             FLAGS_ERROR_UI_FLAGS_GENERATE_DATA,
                         nullptr);
    if (answer != ERROR_INTERNET_FORCE_RETRY) {
        log_info("Proxy sign-in not given (answer " + std::to_string(answer) + ")");
        return false;
    }
    log_info("Proxy sign-in entered");
    remember_proxy_sign_in(request);
    return true;
}

void file_transfer::connect(const char* host_name, int port_number, bool force) {
    if (!force && connection && std::strcmp(host.data(), host_name) == 0 && port == port_number)
        return;
    open_internet();
    disconnect();
    connection.reset(InternetConnectA(internet.get(), host_name,
                                      static_cast<INTERNET_PORT>(port_number), nullptr, nullptr,
                                      INTERNET_SERVICE_HTTP, 0, 0));
    if (!connection)
        throw transfer_errors::connection_failed;
    std::strncpy(host.data(), host_name, host.size() - 1);
    port = port_number;
    apply_timeouts();
}

void file_transfer::apply_timeouts() {
    if (timeout_seconds == 0)
        return;
    DWORD timeout_ms = static_cast<DWORD>(timeout_seconds) * 1000;
    for (const DWORD option : {INTERNET_OPTION_CONNECT_TIMEOUT, INTERNET_OPTION_RECEIVE_TIMEOUT,
                               INTERNET_OPTION_SEND_TIMEOUT})
        InternetSetOptionA(connection.get(), option, &timeout_ms, sizeof timeout_ms);
}

void file_transfer::disconnect() {
    host.fill('\0');
    port = 0;
    connection.reset();
}

// The connection handle was closed by a watchdog: drop it without closing it again.
void file_transfer::forget_connection() {
    host.fill('\0');
    port = 0;
    static_cast<void>(connection.release());
}

void file_transfer::close_internet() {
    disconnect();
    internet.reset();
}

void file_transfer::request(const char* url, transfer_copy* sink, std::int64_t offset,
                            const char* post_data, bool allow_cache, bool strict_certificates) {
    cancelled = false;
    throw_if_shut_down();
    const request_arguments arguments{sink, offset, post_data, allow_cache, strict_certificates};
    request_plan plan;
    plan_request(plan, url, arguments);
    internet_handle handle = open_and_send(plan);
    int status = query_status(handle.get());
    while (status == HTTP_STATUS_PROXY_AUTH_REQ) {
        if (!signed_in_to_proxy(handle.get()))
            throw transfer_errors::proxy_sign_in_wanted;
        handle = open_and_send(plan);
        status = query_status(handle.get());
    }
    if (is_redirect_status(status))
        follow_redirect(std::move(handle), arguments);
    else
        read_response(std::move(handle), status, arguments);
}

void file_transfer::request_with_retry(const char* url, transfer_copy* sink, std::int64_t offset,
                                       const char* post_data, bool allow_cache,
                                       bool strict_certificates) {
    transfer_error first_error;
    try {
        request(url, sink, offset, post_data, allow_cache, strict_certificates);
        return;
    } catch (const transfer_error& error) {
        // Asked again, the proxy would only ask again.
        if (error.code == transfer_error::proxy_sign_in)
            throw;
        first_error = error;
    }
    close_internet();
    try {
        request(url, sink, offset, post_data, allow_cache, strict_certificates);
    } catch (const transfer_error&) {
        close_internet();
        throw first_error;
    }
}

// At most two passes of open and send; a time-out ends them at once.
internet_handle file_transfer::open_and_send(const request_plan& plan) {
    for (int pass = 1;; ++pass) {
        throw_if_shut_down();
        const bool last_pass = pass == 2;
        if (last_pass)
            disconnect();
        connect(plan.url.host.data(), plan.url.port, false);
        opened_request opened = open_request(plan);
        throw_if_shut_down();
        if (!opened.handle) {
            if (last_pass || opened.error == ERROR_INTERNET_TIMEOUT)
                throw with_system_error(transfer_errors::open_request_failed, opened.error);
            continue;
        }
        apply_proxy_sign_in(opened.handle.get());
        const watched_outcome sent =
            send_request(call_watchdog, opened.handle, connection.get(), plan);
        if (sent.succeeded)
            return std::move(opened.handle);
        throw_if_shut_down();
        if (last_pass || sent.error == ERROR_INTERNET_TIMEOUT)
            throw with_system_error(transfer_errors::send_request_failed, sent.error);
    }
}

file_transfer::opened_request file_transfer::open_request(const request_plan& plan) {
    const HINTERNET parent = connection.get();
    const auto call = std::make_shared<open_call>(parent, plan);
    const watched_outcome outcome =
        call_watchdog.run(call, {watchdog_wait_ms(INTERNET_OPTION_CONNECT_TIMEOUT, parent), parent,
                                 ERROR_INTERNET_CANNOT_CONNECT});
    if (!outcome.expired)
        return {internet_handle(call->opened), outcome.error};
    // Closing the connection closed whatever the call opened on it as well.
    forget_connection();
    return {internet_handle(), outcome.error};
}

// Requests the redirect's target with the same sink, offset and form data.
void file_transfer::follow_redirect(internet_handle handle, const request_arguments& arguments) {
    const text_buffer target = redirect_target(handle.get());
    handle.reset();
    const redirect_step step(redirects_followed);
    request(target.data(), arguments.sink, arguments.offset, arguments.post_data,
            arguments.allow_cache, arguments.strict_certificates);
}

// Offers the request's handle to shut_down for as long as its body is read. A
// handle that shut_down closed is forgotten, never closed again.
class reading_registration {
  public:
    reading_registration(file_transfer::reading_request& slot, internet_handle& handle)
        : slot(slot), handle(handle) {
        const std::lock_guard guard(slot.lock);
        slot.handle = handle.get();
        slot.closed = false;
    }
    ~reading_registration() {
        const std::lock_guard guard(slot.lock);
        if (slot.closed)
            static_cast<void>(handle.release());
        slot.handle = nullptr;
        slot.closed = false;
    }
    reading_registration(const reading_registration&) = delete;
    reading_registration& operator=(const reading_registration&) = delete;

  private:
    file_transfer::reading_request& slot;
    internet_handle& handle;
};

void file_transfer::read_response(internet_handle handle, int status,
                                  const request_arguments& arguments) {
    const std::int64_t offset = accepted_offset(status, arguments.offset);
    const std::int64_t length = body_length(handle.get(), offset);
    const bool keep_alive = is_keep_alive(handle.get());
    if (length > 0)
        report_size(offset + length);
    report_disposition_filename(handle.get());
    {
        const reading_registration registered(reading, handle);
        throw_if_shut_down();
        report_progress(read_body(handle.get(), *arguments.sink, offset, length));
    }
    handle.reset();
    if (!keep_alive)
        disconnect();
}

void file_transfer::report_disposition_filename(HINTERNET handle) {
    text_buffer disposition = query_header(handle, HTTP_QUERY_CONTENT_DISPOSITION, "");
    if (const char* name = quoted_filename(disposition.data()))
        report_filename(name);
}

// Feeds the body to the sink in chunks of at most read_chunk_size bytes, never
// asking for more than remains of a given length; returns the offset after the last
// byte. A body that ends before its length is a failure: WinINet reports a
// connection closed or reset mid-body as a successful read of 0 bytes.
std::int64_t file_transfer::read_body(HINTERNET handle, transfer_copy& sink, std::int64_t offset,
                                      std::int64_t length) {
    std::int64_t remaining = length;
    bool streaming = false;
    while (!cancelled) {
        report_progress(offset);
        const DWORD wanted = next_read_size(handle, remaining, streaming);
        const auto started = std::chrono::steady_clock::now();
        DWORD got = 0;
        const bool read = InternetReadFile(handle, read_buffer.data(), wanted, &got);
        throw_if_shut_down();
        if (!read)
            throw transfer_errors::download_failed;
        streaming = got == read_chunk_size &&
                    std::chrono::steady_clock::now() - started < streaming_chunk_time;
        sink.write_at(read_buffer.data(), offset, static_cast<long>(got));
        offset += got;
        if (got == 0) {
            if (remaining > 0)
                throw transfer_errors::download_failed;
            break;
        }
        if (remaining > 0) {
            if (got >= remaining)
                break;
            remaining -= got;
        }
    }
    sink.finish();
    return offset;
}

// A synchronous InternetReadFile returns only once its buffer is full or the body
// has ended, so a whole chunk asked of a slow server would hold back the progress
// and a cancel until all of it had arrived. A read asks for what has arrived,
// unless that fills WinINet's buffer or the chunk before came whole and quickly:
// then the body streams in and a whole chunk costs no wait. Asking every read
// first would cost a third of the speed on a fast line, as WinINet under Wine
// answers with at most its own buffer.
DWORD file_transfer::next_read_size(HINTERNET handle, std::int64_t remaining,
                                    bool streaming) const {
    const DWORD chunk = remaining > 0 && remaining < read_chunk_size ? static_cast<DWORD>(remaining)
                                                                     : read_chunk_size;
    if (streaming)
        return chunk;
    DWORD arrived = 0;
    if (!InternetQueryDataAvailable(handle, &arrived, 0, 0) || arrived == 0 ||
        arrived >= wininet_buffer_size)
        return chunk;
    return std::min(chunk, arrived);
}
