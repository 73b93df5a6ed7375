#include "launcher_stamp.h"

#include "icon_file.h"
#include "installation_layout.h"
#include "name_rules.h"
#include "publish_errors.h"
#include "publish_platform.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <vector>

namespace {

constexpr std::uint16_t patch_tool_id = 132;
constexpr std::uint16_t main_icon_id = 1;

const resource_languages* find_entry(const resource_tree& tree, const resource_id& type,
                                     const resource_id& name) {
    const auto names = tree.find(type);
    if (names == tree.end())
        return nullptr;
    const auto languages = names->second.find(name);
    return languages == names->second.end() || languages->second.empty() ? nullptr
                                                                         : &languages->second;
}

const resource_languages* settings_entry(const resource_tree& tree) {
    return find_entry(tree, {{}, resource_type::rcdata},
                      resource_id::named(launcher_config_resource));
}

const resource_languages* version_entry(const resource_tree& tree) {
    const auto names = tree.find({{}, resource_type::version});
    return names == tree.end() || names->second.empty() || names->second.begin()->second.empty()
               ? nullptr
               : &names->second.begin()->second;
}

void set_icon(resource_tree& tree, const std::vector<icon_image>& images, std::uint16_t language) {
    tree.erase({{}, resource_type::icon});
    tree.erase({{}, resource_type::group_icon});
    for (std::size_t i = 0; i < images.size(); ++i)
        tree[{{}, resource_type::icon}][{{}, static_cast<std::uint16_t>(main_icon_id + i)}]
            [language] = {images[i].data, 0};
    tree[{{}, resource_type::group_icon}][{{}, main_icon_id}][language] = {
        icon_group(images, main_icon_id), 0};
}

void set_version_block(resource_tree& tree, const launcher_options& options) {
    if (!options.product && !options.version)
        return;
    auto& names = tree[{{}, resource_type::version}];
    if (!version_entry(tree))
        throw bad_input(options.template_file.string() + " has no version block");
    for (auto& [language, data] : names.begin()->second)
        data.content = restamp_version_block(data.content, options.product, options.version);
}

resource_tree stamped_resources(const resource_tree& original, const launcher_options& options,
                                const std::optional<std::vector<icon_image>>& icon) {
    resource_tree tree = original;
    auto& settings =
        tree[{{}, resource_type::rcdata}][resource_id::named(launcher_config_resource)];
    const std::uint16_t language = settings.begin()->first;
    const std::string record = format_launcher_config(options.config);
    for (auto& entry : settings)
        entry.second.content.assign(record.begin(), record.end());
    if (icon)
        set_icon(tree, *icon, language);
    set_version_block(tree, options);
    return tree;
}

// Reads the written image back as a launcher and Explorer would see it.
void check_reads_back(const bytes& image, const resource_tree& asked,
                      const launcher_options& options) {
    const resource_tree written = read_resources(image);
    bool as_asked = written == asked && launcher_settings(written) == options.config &&
                    computed_checksum(image) == stored_checksum(image);
    if (const auto* version = version_entry(written); version && as_asked) {
        const auto values = read_version_block(version->begin()->second.content);
        const auto string_is = [&](const char* key, const std::string& value) {
            const auto found = values.strings.find(key);
            return found != values.strings.end() && found->second == value;
        };
        as_asked = (!options.product || (string_is("ProductName", *options.product) &&
                                         string_is("FileDescription", *options.product))) &&
                   (!options.version || (values.file_version == *options.version &&
                                         values.product_version == *options.version &&
                                         string_is("FileVersion", version_text(*options.version))));
    }
    if (!as_asked)
        throw publish_failure("the written launcher does not read back as asked");
}

std::string first_line_of(const std::filesystem::path& file) {
    std::ifstream stream(file);
    std::string line;
    if (!stream || !std::getline(stream, line))
        throw bad_input("cannot read the password file " + file.string());
    if (line.ends_with('\r'))
        line.pop_back();
    return line;
}

// The signer's report goes to standard output, which belongs to this tool's report.
void run_signer(const std::vector<std::string>& arguments) {
    const std::optional<int> status = run_program(arguments);
    if (!status)
        throw publish_failure(arguments.front() + " could not be started (is it installed?)");
    if (*status != 0)
        throw publish_failure(arguments.front() + " could not sign the launcher");
}

void run_osslsigncode(const code_signing& signing, const std::string& description,
                      const std::filesystem::path& in, const std::filesystem::path& out) {
    std::vector<std::string> arguments = {
        "osslsigncode", "sign", "-pkcs12", signing.certificate.string(), "-h", "sha256"};
    if (signing.password_file)
        arguments.insert(arguments.end(), {"-readpass", signing.password_file->string()});
    if (signing.timestamp_url)
        arguments.insert(arguments.end(), {"-ts", *signing.timestamp_url});
    if (!description.empty())
        arguments.insert(arguments.end(), {"-n", description});
    arguments.insert(arguments.end(), {"-in", in.string(), "-out", out.string()});
    run_signer(arguments);
}

// signtool signs in place: the copy at `out` is signed.
void run_signtool(const code_signing& signing, const std::string& description,
                  const std::filesystem::path& in, const std::filesystem::path& out) {
    std::vector<std::string> arguments = {"signtool", "sign", "/fd",
                                          "sha256",   "/f",   signing.certificate.string()};
    if (signing.password_file)
        arguments.insert(arguments.end(), {"/p", first_line_of(*signing.password_file)});
    if (signing.timestamp_url)
        arguments.insert(arguments.end(), {"/tr", *signing.timestamp_url, "/td", "sha256"});
    if (!description.empty())
        arguments.insert(arguments.end(), {"/d", description});
    std::filesystem::copy_file(in, out);
    arguments.push_back(out.string());
    run_signer(arguments);
}

using code_signer = void (*)(const code_signing&, const std::string& description,
                             const std::filesystem::path& in, const std::filesystem::path& out);

// osslsigncode where it is at hand (as on Linux), else the Windows SDK's signtool.
code_signer available_code_signer() {
    if (program_on_path("osslsigncode"))
        return run_osslsigncode;
    if (program_on_path("signtool"))
        return run_signtool;
    throw bad_input("--sign-cert needs osslsigncode or signtool (Windows SDK) on the PATH, and "
                    "neither is there");
}

// Files written beside the target, removed unless renamed into place.
class partial_file {
  public:
    explicit partial_file(std::filesystem::path path) : path_(std::move(path)) {}
    partial_file(const partial_file&) = delete;
    partial_file& operator=(const partial_file&) = delete;
    ~partial_file() {
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// The product names the setup's shortcut files, so it must be a file name too.
void check_setup_inputs(const launcher_options& options) {
    const launcher_config& config = options.config;
    if (config.install_dir.empty()) {
        if (!config.publisher.empty())
            throw bad_input("--publisher needs --install-dir: only a setup writes the entry that "
                            "names the publisher");
        return;
    }
    for (const auto& fault :
         {shared_install_dir_fault(config.install_dir), install_dir_fault(config.install_dir)})
        if (fault)
            throw bad_input("--install-dir: " + *fault);
    if (!config.publisher.empty())
        if (const auto fault = publisher_fault(config.publisher))
            throw bad_input("--publisher: " + *fault);
    if (!options.product || !is_safe_relative_name(*options.product) ||
        options.product->find_first_of("\\/") != std::string::npos)
        throw bad_input("--install-dir needs --product, a name that can name a file (the "
                        "shortcuts are <product>.lnk)");
}

void check_inputs(const launcher_options& options) {
    if (const auto fault = base_url_fault(options.config.base_url))
        throw bad_input("--base-url: " + *fault);
    if (options.product && (options.product->empty() || !utf16_of(*options.product)))
        throw bad_input("--product must be a non-empty UTF-8 name");
    if (!options.config.product.empty())
        if (const auto fault = product_fault(options.config.product))
            throw bad_input("--product: " + *fault);
    check_setup_inputs(options);
    if (options.signing) {
        if (!std::filesystem::is_regular_file(options.signing->certificate))
            throw bad_input("--sign-cert " + options.signing->certificate.string() +
                            " is not a file");
        const auto& password = options.signing->password_file;
        if (password && !std::filesystem::is_regular_file(*password))
            throw bad_input("--sign-password-file " + password->string() + " is not a file");
    }
    if (!std::filesystem::is_regular_file(options.template_file))
        throw bad_input("the template " + options.template_file.string() +
                        " is not a file (give --template FILE)");
}

} // namespace

resource_tree launcher_resources(const bytes& image, const std::string& what) {
    const auto refuse = [&](const std::string& why) {
        return bad_input(what + " is not a Quillomark launcher: " + why);
    };
    resource_tree tree;
    try {
        tree = read_resources(image);
    } catch (const pe_format_error& error) {
        throw refuse(error.what());
    }
    if (!find_entry(tree, resource_id::named("PATCHER"), {{}, patch_tool_id}))
        throw refuse("it carries no patch tool");
    const auto* settings = settings_entry(tree);
    if (!settings)
        throw refuse("it has no settings record");
    const auto& record = settings->begin()->second.content;
    const auto parsed =
        parse_launcher_config({reinterpret_cast<const char*>(record.data()), record.size()});
    if (!parsed.config)
        throw refuse("its settings record is damaged: " + parsed.fault);
    return tree;
}

launcher_config launcher_settings(const resource_tree& resources) {
    const auto& record = settings_entry(resources)->begin()->second.content;
    return *parse_launcher_config({reinterpret_cast<const char*>(record.data()), record.size()})
                .config;
}

bool is_installed_launcher_name(std::string_view name) {
    return file_alias_key(name) == file_alias_key(installed_launcher_file_name);
}

key_ring launcher_keys(const launcher_config& settings) {
    return settings.release_key_hex.empty()
               ? key_ring{}
               : parse_key_ring(settings.release_key_hex).value_or(key_ring{});
}

bool shares_a_key(const key_ring& held, const key_ring& signers) {
    return std::any_of(held.begin(), held.end(), [&](const public_key& key) {
        return std::find(signers.begin(), signers.end(), key) != signers.end();
    });
}

void write_launcher(const launcher_options& options) {
    check_inputs(options);
    const code_signer sign = options.signing ? available_code_signer() : nullptr;
    const auto icon = options.icon ? std::optional(read_icon_file(*options.icon)) : std::nullopt;
    const bytes original = read_whole_file(options.template_file);
    const resource_tree asked = stamped_resources(
        launcher_resources(original, options.template_file.string()), options, icon);
    bytes image;
    try {
        image = replace_resources(original, asked);
    } catch (const pe_format_error& error) {
        throw bad_input(options.template_file.string() +
                        " cannot take new resources: " + error.what());
    }
    check_reads_back(image, asked, options);

    const partial_file stamped(utf8_path(options.out.string() + ".partial"));
    write_whole_file(stamped.path(), image);
    if (!options.signing) {
        std::filesystem::rename(stamped.path(), options.out);
        return;
    }
    const partial_file signed_file(utf8_path(options.out.string() + ".signed-partial"));
    sign(*options.signing, options.product.value_or(""), stamped.path(), signed_file.path());
    std::filesystem::rename(signed_file.path(), options.out);
}

std::filesystem::path installed_template() {
    return installed_template_file();
}
