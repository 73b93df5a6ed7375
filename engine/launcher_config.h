#pragma once
// The launcher's settings record: where it downloads from and the publisher's public
// key, stored as the RCDATA resource "QUILLOMARK_CONFIG" of the launcher itself, so
// that a publisher can set them in a built launcher. The record is UTF-8 text:
//
//   quillomark-config 1
//   base_url=http://updates.example.com/download/
//   public_key=<keys of 64 lower-case hex digits separated by commas, one to four,
//              or nothing for unsigned releases>
//   install_dir=%LOCALAPPDATA%\Programs\Product   (optional)
//   publisher=Example Ltd                          (optional)
//   product=Example                                (optional)
//   language=en                                    (optional; Estonian without it)
//   health=confirm or health=watch=<5 to 300>      (optional; release_trial.h)
//   health_tries=<1 to 5>                          (with health)
//   health_report=1                                (optional, with health)
//   text.<id>=<text>                               (optional; every id or none;
//                                                   UTF-8 text, else the record is damaged)
//
// With install_dir the launcher is also the product's setup: started outside that
// folder it installs itself there (shell/setup.h). Without it, it runs wherever it
// is started. The publisher is named in the uninstall entry. With a key and a
// product, the launcher takes only master records signed for that product (the
// piece "product=<name>"), so that one publisher's key cannot carry another
// product's release to it. The optional lines are left out of the record when
// empty, so a record without them reads as it always did. The language names one of
// the built-in text tables (ui_texts.h); the text lines are a table of the
// publisher's own, escaped as in a table file, which the launcher shows instead.
//
// Portable: the launcher reads it, the publisher writes and reads it back.

#include "release_trial.h"
#include "ui_texts.h"

#include <optional>
#include <string>
#include <string_view>

constexpr const char* launcher_config_resource = "QUILLOMARK_CONFIG";

struct launcher_config {
    std::string base_url;
    std::string release_key_hex;  // the keys; empty: releases are taken unsigned
    std::string install_dir = {}; // empty: a portable launcher
    std::string publisher = {};   // empty: none named
    std::string product = {};     // empty: master records of any product are taken
    std::string language = {};    // empty: Estonian
    std::optional<text_table> texts = {};
    health_check health = {}; // off: a new version is never put on trial
    bool operator==(const launcher_config&) const = default;
};

// The settings of a record, or why it cannot be used (`fault`).
struct parsed_launcher_config {
    std::optional<launcher_config> config;
    std::string fault;
};

std::string format_launcher_config(const launcher_config& config);
parsed_launcher_config parse_launcher_config(std::string_view record);

// The texts a launcher with these settings shows: its own table, else its language's.
const text_table& launcher_texts(const launcher_config& config);

// Why a base URL cannot be used, or nothing: it must be an http:// or https:// URL
// with a host and end with a slash, as file names are appended to it.
std::optional<std::string> base_url_fault(std::string_view url);

// Why an installation folder cannot be used, or nothing: it must start with
// %LOCALAPPDATA%, %APPDATA% or %USERPROFILE% (per user, so no administrator rights
// are ever needed), optionally followed by a backslash and a relative path that
// stays below that folder, without further variables or forward slashes.
std::optional<std::string> install_dir_fault(std::string_view dir);

// True when `below`, a path below one of the user's own folders ("" for the folder
// itself), names that folder or a folder below it that the system and other programs
// share (Temp, Desktop, the Start menu, ...): no installation may take such a folder
// as its own, since an update empties the installation's work directory and a
// removal takes the installation's files. Compared as Windows compares names: letter
// case, the kind of slash, doubled or trailing separators and the dots and blanks
// that Windows drops from the end of a component do not count. A component of dots
// alone (. or ..) counts as shared, since its spelling does not tell where it leads.
bool is_shared_user_folder(std::string_view below);

// Why an installation folder that starts with one of the user's own folders is not
// a folder of the product's own, or nothing (see is_shared_user_folder).
std::optional<std::string> shared_install_dir_fault(std::string_view dir);

// Why a publisher's name cannot be used, or nothing: non-empty UTF-8 text of at
// most 200 bytes without control characters, which would break the record's lines.
std::optional<std::string> publisher_fault(std::string_view name);

// Why a product name cannot be bound into the master record, or nothing: as a
// publisher's name, without "$", which separates the record's pieces, and without
// blanks at either end, which the record's reading drops.
std::optional<std::string> product_fault(std::string_view name);
