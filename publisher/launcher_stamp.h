#pragma once
// Writes a launcher for a publisher from the prebuilt one (the template): its
// settings record (base URL and public key), the product's icon and version block.
// Only resources change; the code and the embedded patch tool stay byte for byte.
// The written file is read back before it is put in place, and signed with
// osslsigncode when a code-signing certificate is given.

#include "byte_files.h"
#include "launcher_config.h"
#include "pe_resources.h"
#include "signature.h"
#include "version_block.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

struct code_signing {
    std::filesystem::path certificate; // PKCS#12
    std::optional<std::filesystem::path> password_file;
    std::optional<std::string> timestamp_url;
};

struct launcher_options {
    std::filesystem::path template_file;
    std::filesystem::path out;
    launcher_config config;
    std::optional<std::filesystem::path> icon;
    std::optional<std::string> product;
    std::optional<version_numbers> version;
    std::optional<code_signing> signing;
};

// Throws bad_input (nothing written) or publish_failure.
void write_launcher(const launcher_options& options);

// The resources of a launcher; throws bad_input naming `what` when the image is not
// a launcher of ours (no patch tool, or no readable settings record).
resource_tree launcher_resources(const bytes& image, const std::string& what);
launcher_config launcher_settings(const resource_tree& resources);
// The name a launcher has in every installation (and in a release), in any case.
bool is_installed_launcher_name(std::string_view name);
// The keys a launcher takes releases signed with; none when it takes unsigned ones.
key_ring launcher_keys(const launcher_config& settings);
bool shares_a_key(const key_ring& held, const key_ring& signers);

// The template installed with the publisher, beside its program.
std::filesystem::path installed_template();
