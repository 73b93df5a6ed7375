#pragma once
// The launcher's settings record: where it downloads from and the publisher's public
// key, stored as the RCDATA resource "QUILLOMARK_CONFIG" of the launcher itself, so
// that a publisher can set them in a built launcher. The record is UTF-8 text:
//
//   quillomark-config 1
//   base_url=http://updates.example.com/download/
//   public_key=<64 lower-case hex digits, or nothing for unsigned releases>
//
// Portable: the launcher reads it, the publisher writes and reads it back.

#include <optional>
#include <string>
#include <string_view>

constexpr const char* launcher_config_resource = "QUILLOMARK_CONFIG";

struct launcher_config {
    std::string base_url;
    std::string release_key_hex; // empty: releases are taken unsigned
    bool operator==(const launcher_config&) const = default;
};

// The settings of a record, or why it cannot be used (`fault`).
struct parsed_launcher_config {
    std::optional<launcher_config> config;
    std::string fault;
};

std::string format_launcher_config(const launcher_config& config);
parsed_launcher_config parse_launcher_config(std::string_view record);

// Why a base URL cannot be used, or nothing: it must be an http:// or https:// URL
// with a host and end with a slash, as file names are appended to it.
std::optional<std::string> base_url_fault(std::string_view url);
