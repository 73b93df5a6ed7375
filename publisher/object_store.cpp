#include "object_store.h"

#include "hex_text.h"
#include "md5.h"
#include "publish_errors.h"
#include "stdio_stream.h"

#include <curl/curl.h>
#include <sodium.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

namespace {

constexpr int attempts = 6;
constexpr std::chrono::milliseconds first_pause{500};
constexpr std::size_t kept_error_bytes = 4096;

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string without_slashes_around(std::string text) {
    while (text.starts_with('/'))
        text.erase(0, 1);
    while (text.ends_with('/'))
        text.pop_back();
    return text;
}

bool unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '_' || c == '.' || c == '~';
}

// A key as S3 signs it: every byte but the unreserved characters and "/" escaped.
std::string escaped_key(const std::string& key) {
    std::string escaped;
    for (const unsigned char c : key) {
        if (unreserved(c) || c == '/') {
            escaped += static_cast<char>(c);
        } else {
            escaped += '%';
            append_hex(escaped, c, hex_case::upper);
        }
    }
    return escaped;
}

struct slist_deleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using header_list = std::unique_ptr<curl_slist, slist_deleter>;

header_list append(header_list list, const std::string& line) {
    curl_slist* longer = curl_slist_append(list.get(), line.c_str());
    if (!longer)
        throw publish_failure("out of memory for request headers");
    list.release();
    return header_list(longer);
}

// The headers of every request: the payload is not hashed into the signature (a
// file is streamed; Content-MD5 guards its bytes instead), and a session token
// when the credentials carry one.
header_list request_headers(const store_credentials& credentials) {
    header_list headers = append(nullptr, "x-amz-content-sha256: UNSIGNED-PAYLOAD");
    if (!credentials.session_token.empty())
        headers = append(std::move(headers), "x-amz-security-token: " + credentials.session_token);
    return headers;
}

bool connection_dropped(CURLcode result) {
    switch (result) {
    case CURLE_COULDNT_CONNECT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return true;
    default:
        return false;
    }
}

// Every object carries the MD5 of its bytes as metadata of its own: behind
// encryption (SSE-KMS, SSE-C) even a single-part upload's ETag is no MD5.
constexpr const char* digest_metadata = "x-amz-meta-md5";

// 32 hex digits, in quotes as an ETag comes, or bare.
std::optional<digest_bytes> digest_of_hex(std::string text) {
    if (text.size() == 34 && text.front() == '"' && text.back() == '"')
        text = text.substr(1, 32);
    digest_bytes digest;
    std::size_t length = 0;
    if (text.size() != 32 ||
        sodium_hex2bin(digest.data(), digest.size(), text.c_str(), text.size(), nullptr, &length,
                       nullptr) != 0 ||
        length != digest.size())
        return std::nullopt;
    return digest;
}

// The digest that an answer's header states, when it states one.
std::optional<digest_bytes> digest_in_header(CURL* handle, const char* name) {
    curl_header* header = nullptr;
    if (curl_easy_header(handle, name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK)
        return std::nullopt;
    return digest_of_hex(header->value);
}

// Rewinds a file being sent, when libcurl sends it again on a new connection.
int rewind_file(void* file, curl_off_t offset, int origin) {
    return fseeko(static_cast<std::FILE*>(file), offset, origin) == 0 ? CURL_SEEKFUNC_OK
                                                                      : CURL_SEEKFUNC_FAIL;
}

// The status with the store's own words from an S3 error body (its <Code>; a HEAD
// has no body) and a hint for the usual causes.
std::string refusal(long status, const std::string& body) {
    std::string text = "HTTP " + std::to_string(status);
    const auto start = body.find("<Code>");
    const auto end = body.find("</Code>");
    if (start != std::string::npos && end != std::string::npos && end > start)
        text += " " + body.substr(start + 6, end - start - 6);
    if (status == 301)
        text += " (the bucket is in another region: set AWS_REGION)";
    else if (status == 403)
        text += " (check the credentials, and that they may read and write the bucket's objects)";
    return text;
}

} // namespace

std::string store_address::key_of(const std::string& relative) const {
    return prefix.empty() ? relative : prefix + "/" + relative;
}

store_address parse_store_address(const std::string& text) {
    constexpr std::string_view scheme = "s3://";
    if (!text.starts_with(scheme))
        throw bad_input("the target must be s3://BUCKET/PREFIX, not " + text);
    const std::string rest = text.substr(scheme.size());
    const auto slash = rest.find('/');
    store_address address{rest.substr(0, slash), slash == std::string::npos
                                                     ? ""
                                                     : without_slashes_around(rest.substr(slash))};
    if (address.bucket.empty())
        throw bad_input("the target " + text + " names no bucket");
    return address;
}

store_credentials credentials_from_environment() {
    store_credentials credentials{environment("AWS_ACCESS_KEY_ID"),
                                  environment("AWS_SECRET_ACCESS_KEY"),
                                  environment("AWS_SESSION_TOKEN"), environment("AWS_REGION")};
    if (credentials.access_key.empty() || credentials.secret_key.empty())
        throw bad_input("AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY must be set");
    if (credentials.region.empty())
        credentials.region = environment("AWS_DEFAULT_REGION");
    if (credentials.region.empty())
        credentials.region = "us-east-1";
    return credentials;
}

// What a request's answer carries besides its status: the MD5 of a body being read
// for its digest, or the start of an error body.
struct store_connection::response {
    md5_context* digest = nullptr;
    std::string error_body;

    static std::size_t take(char* data, std::size_t size, std::size_t count, void* target) {
        auto* self = static_cast<response*>(target);
        if (self->digest)
            md5_update(*self->digest, data, size * count);
        else if (self->error_body.size() < kept_error_bytes)
            self->error_body.append(data, size * count);
        return size * count;
    }
};

store_connection::store_connection(const store_settings& settings)
    : settings_(settings), handle_(curl_easy_init()) {
    if (!handle_)
        throw publish_failure("libcurl could not start");
}

store_connection::~store_connection() {
    curl_easy_cleanup(static_cast<CURL*>(handle_));
}

std::string store_connection::url_of(const std::string& key) const {
    const store_address& address = settings_.address;
    const std::string path = escaped_key(address.key_of(key));
    if (!settings_.endpoint)
        return "https://" + address.bucket + ".s3." + settings_.credentials.region +
               ".amazonaws.com/" + path;
    std::string endpoint = *settings_.endpoint;
    while (endpoint.ends_with('/'))
        endpoint.pop_back();
    return endpoint + "/" + escaped_key(address.bucket) + "/" + path;
}

long store_connection::perform(const std::string& what, const std::function<void()>& prepare) {
    CURL* handle = static_cast<CURL*>(handle_);
    const store_credentials& credentials = settings_.credentials;
    const std::string signing = "aws:amz:" + credentials.region + ":s3";
    for (int attempt = 1;; ++attempt) {
        curl_easy_reset(handle);
        curl_easy_setopt(handle, CURLOPT_AWS_SIGV4, signing.c_str());
        curl_easy_setopt(handle, CURLOPT_USERNAME, credentials.access_key.c_str());
        curl_easy_setopt(handle, CURLOPT_PASSWORD, credentials.secret_key.c_str());
        curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, 30L);
        curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, 60L);
        curl_easy_setopt(handle, CURLOPT_USERAGENT, "quillomark-publish");
        prepare();
        const CURLcode result = curl_easy_perform(handle);
        long status = 0;
        curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
        const bool busy = result == CURLE_OK && (status == 429 || status >= 500);
        if (result != CURLE_OK && !connection_dropped(result))
            throw publish_failure(what + ": " + curl_easy_strerror(result));
        if (result == CURLE_OK && !busy)
            return status;
        const std::string reason =
            busy ? "HTTP " + std::to_string(status) : curl_easy_strerror(result);
        if (attempt == attempts)
            throw publish_failure(what + ": " + reason + ", " + std::to_string(attempts) +
                                  " attempts");
        const auto pause = first_pause * (1 << (attempt - 1));
        std::fprintf(stderr, "upload: %s: %s; trying again in %.1f s\n", what.c_str(),
                     reason.c_str(), std::chrono::duration<double>(pause).count());
        std::this_thread::sleep_for(pause);
    }
}

stored_object store_connection::look_up(const std::string& key) {
    CURL* handle = static_cast<CURL*>(handle_);
    const header_list headers = request_headers(settings_.credentials);
    const std::string url = url_of(key);
    const long status = perform("HEAD " + key, [&] {
        curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
        curl_easy_setopt(handle, CURLOPT_NOBODY, 1L);
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
    });
    if (status == 404)
        return {};
    if (status != 200)
        throw publish_failure("HEAD " + key + ": " + refusal(status, ""));
    // An object put by an earlier publisher has no digest of its own; the ETag of a
    // single-part upload without encryption is its MD5.
    if (auto digest = digest_in_header(handle, digest_metadata))
        return {true, digest};
    if (auto digest = digest_in_header(handle, "ETag"))
        return {true, digest};
    // A multipart upload's ETag is no MD5: the bytes themselves tell.
    return {true, digest_by_reading(key)};
}

std::optional<digest_bytes> store_connection::digest_by_reading(const std::string& key) {
    CURL* handle = static_cast<CURL*>(handle_);
    const header_list headers = request_headers(settings_.credentials);
    const std::string url = url_of(key);
    md5_context context;
    response answer;
    const long status = perform("GET " + key, [&] {
        md5_init(context);
        answer = response{&context, ""};
        curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, response::take);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, &answer);
    });
    if (status != 200)
        throw publish_failure("GET " + key + ": HTTP " + std::to_string(status));
    digest_bytes digest;
    md5_final(context, digest.data());
    return digest;
}

void store_connection::put(const std::string& key, const std::filesystem::path& file,
                           std::uint64_t size, const digest_bytes& digest,
                           const object_headers& object) {
    CURL* handle = static_cast<CURL*>(handle_);
    char base64[sodium_base64_ENCODED_LEN(16, sodium_base64_VARIANT_ORIGINAL)];
    sodium_bin2base64(base64, sizeof base64, digest.data(), digest.size(),
                      sodium_base64_VARIANT_ORIGINAL);
    header_list headers = request_headers(settings_.credentials);
    headers = append(std::move(headers), std::string("Content-MD5: ") + base64);
    headers = append(std::move(headers), std::string(digest_metadata) + ": " + hex_of(digest));
    headers = append(std::move(headers), "Content-Type: " + object.content_type);
    headers = append(std::move(headers), "Cache-Control: " + object.cache_control);
    const std::string url = url_of(key);
    stdio_stream source;
    response answer;
    const long status = perform("PUT " + key, [&] {
        if (!open_file_utf8("rb", source, file.string()))
            throw publish_failure("cannot read " + file.string());
        answer = response{};
        curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
        curl_easy_setopt(handle, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(handle, CURLOPT_READDATA, source.get());
        curl_easy_setopt(handle, CURLOPT_SEEKFUNCTION, rewind_file);
        curl_easy_setopt(handle, CURLOPT_SEEKDATA, source.get());
        curl_easy_setopt(handle, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(size));
        curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, response::take);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, &answer);
    });
    if (status != 200)
        throw publish_failure("PUT " + key + ": " + refusal(status, answer.error_body));
}

digest_bytes digest_of_file(const std::filesystem::path& path) {
    stdio_stream file;
    if (!open_file_utf8("rb", file, path.string()))
        throw publish_failure("cannot read " + path.string());
    md5_context context;
    md5_init(context);
    std::vector<unsigned char> block(256 * 1024);
    for (std::size_t got; (got = std::fread(block.data(), 1, block.size(), file.get())) != 0;)
        md5_update(context, block.data(), got);
    if (std::ferror(file.get()))
        throw publish_failure("cannot read " + path.string());
    digest_bytes digest;
    md5_final(context, digest.data());
    return digest;
}
