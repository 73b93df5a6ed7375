#pragma once
// An S3-compatible object store, reached with libcurl: requests signed with AWS
// Signature V4 by libcurl itself, addressed path-style below an endpoint or
// virtual-host style at AWS, and retried with growing pauses when the store is busy
// or the connection drops.

#include "byte_files.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

// "s3://BUCKET/PREFIX": the bucket and the key prefix (no leading or trailing "/").
struct store_address {
    std::string bucket;
    std::string prefix;
    // The object key of a path relative to the prefix ("2/data/a.txt").
    std::string key_of(const std::string& relative) const;
};
// Throws bad_input for anything but s3://BUCKET[/PREFIX].
store_address parse_store_address(const std::string& text);

struct store_credentials {
    std::string access_key;
    std::string secret_key;
    std::string session_token; // empty without one
    std::string region;
};
// From AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY, AWS_SESSION_TOKEN and AWS_REGION
// (else AWS_DEFAULT_REGION, else us-east-1); throws bad_input without a key pair.
store_credentials credentials_from_environment();

struct store_settings {
    store_address address;
    std::optional<std::string> endpoint; // path-style below it; virtual-host at AWS without
    store_credentials credentials;
};

// What the store holds under a key.
struct stored_object {
    bool exists = false;
    // The MD5 of its bytes when the store tells it (the digest put as the object's
    // metadata, else a single-part upload's ETag), or when the object was read to
    // find it.
    std::optional<digest_bytes> digest;
};

struct object_headers {
    std::string content_type;
    std::string cache_control;
};

// One connection to the store; one per thread (libcurl handles are not shared).
class store_connection {
  public:
    explicit store_connection(const store_settings& settings);
    ~store_connection();
    store_connection(const store_connection&) = delete;
    store_connection& operator=(const store_connection&) = delete;

    // HEAD, and a GET for the digest when neither the metadata nor the ETag holds
    // one. Throws publish_failure when the store refuses or stays unreachable.
    stored_object look_up(const std::string& key);
    // PUT of a file's bytes with their MD5 (Content-MD5, checked by the store, and
    // the metadata x-amz-meta-md5 in hex, for later look-ups).
    void put(const std::string& key, const std::filesystem::path& file, std::uint64_t size,
             const digest_bytes& digest, const object_headers& headers);

  private:
    struct response;
    std::string url_of(const std::string& key) const;
    // Runs the request that `prepare` sets up on the handle, retrying when the store
    // is busy (429, 5xx) or the connection drops; returns the final status.
    long perform(const std::string& what, const std::function<void()>& prepare);
    std::optional<digest_bytes> digest_by_reading(const std::string& key);

    const store_settings& settings_;
    void* handle_;
};

// The MD5 of a file, read in blocks; throws publish_failure when it cannot be read.
digest_bytes digest_of_file(const std::filesystem::path& path);
