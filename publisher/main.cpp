// quillomark-publish: builds and proves the update tree that the launcher reads.
// Exit status: 0 success, 1 failure (or faults found by verify), 2 bad input.

#include "command_line.h"
#include "health_report.h"
#include "launcher_stamp.h"
#include "object_store_upload.h"
#include "publish_commands.h"
#include "publish_errors.h"
#include "publish_platform.h"
#include "rollout.h"
#include "text_decoding.h"
#include "tree_verify.h"
#include "ui_texts.h"
#ifdef _WIN32
#include "utf8.h"
#endif

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <functional>
#include <iterator>
#include <map>

namespace {

constexpr int exit_ok = 0;
constexpr int exit_failed = 1;
constexpr int exit_bad_input = 2;

struct subcommand {
    std::set<std::string> value_options;
    std::set<std::string> flag_options;
    const char* help;
    std::function<int(const command_line&)> run;
};

compress_mode compress_argument(const std::optional<std::string>& text) {
    static const std::map<std::string, compress_mode> modes = {{"auto", compress_mode::automatic},
                                                               {"all", compress_mode::all},
                                                               {"none", compress_mode::none}};
    const auto found = modes.find(text.value_or("auto"));
    if (found == modes.end())
        throw bad_input("--compress must be auto, all or none");
    return found->second;
}

std::optional<std::filesystem::path> notes_argument(const command_line& line) {
    const auto notes = line.value("--notes");
    if (notes && !std::filesystem::is_regular_file(argument_path(*notes)))
        throw bad_input("--notes " + *notes + " is not a file");
    return notes ? std::optional(argument_path(*notes)) : std::nullopt;
}

std::optional<std::vector<std::string>> patches_argument(const std::optional<std::string>& text) {
    if (!text || *text == "auto")
        return std::nullopt;
    std::vector<std::string> names;
    for (std::size_t start = 0; start <= text->size();) {
        const std::size_t comma = std::min(text->find(',', start), text->size());
        if (comma > start)
            names.push_back(text->substr(start, comma - start));
        start = comma + 1;
    }
    return names;
}

// A count of bytes with an optional binary unit: 1048576, 1024K, 1M, 1G, 1T.
std::uint64_t diff_memory_argument(const std::optional<std::string>& text) {
    if (!text)
        return default_diff_memory();
    static const std::string units = "KMGT";
    std::string digits = *text;
    int shift = 0;
    if (!digits.empty() && units.find(digits.back()) != std::string::npos) {
        shift = 10 * (1 + static_cast<int>(units.find(digits.back())));
        digits.pop_back();
    }
    const bool all_digits = !digits.empty() && digits.size() <= 15 &&
                            digits.find_first_not_of("0123456789") == std::string::npos;
    const std::uint64_t count = all_digits ? std::stoull(digits) : 0;
    if (count == 0 || count > (std::uint64_t{1} << 50) >> shift)
        throw bad_input("--diff-memory must be a positive number of bytes, or of K, M, G or T "
                        "(binary units), at most 1024T: " +
                        *text);
    return count << shift;
}

int keep_argument(const std::optional<std::string>& text) {
    if (!text)
        return 3;
    if (*text == "0")
        return 0;
    return version_argument("--keep-patches", *text);
}

signer_ref signer_argument(const command_line& line) {
    const std::vector<std::string> key_files = line.all_values("--sign");
    if (key_files.empty())
        return nullptr;
    std::vector<std::filesystem::path> paths;
    std::transform(key_files.begin(), key_files.end(), std::back_inserter(paths), argument_path);
    return std::make_shared<const release_signer>(paths);
}

std::int64_t expires_argument(const command_line& line) {
    if (line.value("--expires") && line.all_values("--sign").empty())
        throw bad_input("--expires needs --sign: only a signed master record carries it");
    return expiry_argument(line.value("--expires"));
}

std::optional<int> rollout_argument(const std::optional<std::string>& text) {
    if (!text)
        return std::nullopt;
    const std::optional<int> percent = parse_rollout_percent(*text);
    if (!percent)
        throw bad_input("--rollout and --percent take a whole number from 0 to 100");
    return percent;
}

std::optional<code_signing> signing_arguments(const command_line& line) {
    const auto certificate = line.value("--sign-cert");
    if (!certificate) {
        if (line.value("--sign-password-file") || line.value("--timestamp-url"))
            throw bad_input("--sign-password-file and --timestamp-url need --sign-cert");
        return std::nullopt;
    }
    const auto password = line.value("--sign-password-file");
    return code_signing{argument_path(*certificate),
                        password ? std::optional(argument_path(*password)) : std::nullopt,
                        line.value("--timestamp-url")};
}

// Every --key given; empty when none is.
key_ring key_argument(const command_line& line) {
    key_ring keys;
    for (const std::string& text : line.all_values("--key")) {
        const auto key = parse_public_key(text);
        if (!key)
            throw bad_input("--key must be the public key as 64 lower-case hex digits");
        if (std::find(keys.begin(), keys.end(), *key) != keys.end())
            throw bad_input("--key " + text + " is given twice");
        keys.push_back(*key);
    }
    if (keys.size() > most_release_keys)
        throw bad_input("a launcher holds at most " + std::to_string(most_release_keys) + " keys");
    return keys;
}

version_options version_arguments(const command_line& line, const std::string& source) {
    return {argument_path(source),
            argument_path(line.required("--tree")),
            0,
            compress_argument(line.value("--compress")),
            notes_argument(line),
            line.flag("--skip-empty"),
            signer_argument(line),
            std::nullopt};
}

void report(const std::string& what, const publish_summary& summary) {
    std::printf("%s: %d files, %d compressed, %d left out, %.1f MiB stored\n", what.c_str(),
                summary.files, summary.compressed, summary.left_out,
                static_cast<double>(summary.stored_bytes) / (1024.0 * 1024.0));
}

int print_faults(const std::vector<std::string>& faults) {
    for (const auto& fault : faults)
        std::printf("%s\n", fault.c_str());
    std::fprintf(stderr, "verify: %zu fault%s\n", faults.size(), faults.size() == 1 ? "" : "s");
    return faults.empty() ? exit_ok : exit_failed;
}

int run_version(const command_line& line) {
    version_options options = version_arguments(line, line.only_positional("DIR"));
    options.version = version_argument("--version", line.required("--version"));
    report("version " + std::to_string(options.version), publish_version(options));
    return exit_ok;
}

int run_patch(const command_line& line) {
    const patch_options options{argument_path(line.only_positional("TREE")),
                                version_argument("--from", line.required("--from")),
                                version_argument("--to", line.required("--to")),
                                signer_argument(line),
                                diff_memory_argument(line.value("--diff-memory"))};
    report("patch set " + std::to_string(options.from) + "_" + std::to_string(options.to),
           publish_patch_set(options));
    return exit_ok;
}

int run_master(const command_line& line) {
    publish_master({argument_path(line.only_positional("TREE")),
                    version_argument("--version", line.required("--version")),
                    line.required("--startapp"), patches_argument(line.value("--patches")),
                    line.flag("--force-notes"), signer_argument(line), expires_argument(line),
                    rollout_argument(line.value("--rollout")), line.value("--product")});
    return exit_ok;
}

int run_rollout(const command_line& line) {
    const rollout_options options{argument_path(line.only_positional("TREE")),
                                  *rollout_argument(line.required("--percent")),
                                  signer_argument(line)};
    publish_rollout(options);
    std::printf("rollout: the master record offers its version to %d%% of the installations\n",
                options.percent);
    return exit_ok;
}

// A share of restores above which the current version's rollout is halted.
std::optional<double> halt_above_argument(const std::optional<std::string>& text) {
    if (!text)
        return std::nullopt;
    char* end = nullptr;
    const double percent = std::strtod(text->c_str(), &end);
    if (text->empty() || *end != '\0' || !(percent >= 0.0 && percent <= 100.0))
        throw bad_input("--halt-above takes a percentage from 0 to 100");
    return percent;
}

int run_health(const command_line& line) {
    if (line.positional.empty())
        throw bad_input("health needs at least one ACCESS_LOG");
    const std::filesystem::path tree = argument_path(line.required("--tree"));
    const auto halt_above = halt_above_argument(line.value("--halt-above"));
    const auto current = current_master_value(tree, "version");
    if (!current)
        throw bad_input(tree.string() + " has no master record");
    std::vector<std::filesystem::path> logs;
    std::transform(line.positional.begin(), line.positional.end(), std::back_inserter(logs),
                   argument_path);
    const health_by_version counts = count_access_logs(logs);
    for (const auto& [version, health] : counts)
        std::printf("version %d: %llu restores in %llu record requests (%.1f%%)\n", version,
                    static_cast<unsigned long long>(health.restores),
                    static_cast<unsigned long long>(health.record_requests),
                    health.restored_percent());
    if (!halt_above)
        return exit_ok;
    const auto found = counts.find(version_argument("version", *current));
    const double share = found == counts.end() ? 0.0 : found->second.restored_percent();
    if (share <= *halt_above) {
        std::printf("health: version %s stays (%.1f%% restored, the limit %.1f%%)\n",
                    current->c_str(), share, *halt_above);
        return exit_ok;
    }
    publish_rollout({tree, 0, signer_argument(line)});
    std::printf("health: version %s was restored on %.1f%% of its record requests, above "
                "%.1f%%: its rollout is halted\n",
                current->c_str(), share, *halt_above);
    return exit_ok;
}

int run_verify(const command_line& line) {
    const std::string& target = line.only_positional("TREE or URL");
    const auto key = key_argument(line);
    const auto source = is_url(target) ? served_tree(target) : local_tree(argument_path(target));
    return print_faults(verify_tree(*source, key));
}

int run_keygen(const command_line& line) {
    if (!line.positional.empty())
        throw bad_input("keygen takes no arguments besides --out KEYFILE");
    std::printf("%s\n",
                public_key_hex(write_new_key(argument_path(line.required("--out")))).c_str());
    return exit_ok;
}

constexpr const char* unsigned_risk =
    "over plain HTTP, or HTTPS with a stolen or mis-issued certificate, an unsigned launcher "
    "runs whatever it is served";

// The language of the launcher's texts; Estonian, the default, is recorded as nothing.
std::string language_argument(const command_line& line) {
    const std::string language = line.value("--language").value_or(std::string(default_language));
    if (!builtin_text_table(language))
        throw bad_input("--language must be et or en");
    return language == default_language ? std::string() : language;
}

// The publisher's own table of texts, every one checked.
std::optional<text_table> texts_argument(const command_line& line) {
    const auto file = line.value("--texts");
    if (!file)
        return std::nullopt;
    const bytes content = read_whole_file(argument_path(*file));
    const std::string_view text(reinterpret_cast<const char*>(content.data()), content.size());
    if (!is_valid_utf8(text))
        throw bad_input(*file + " is not UTF-8 text");
    parsed_text_table parsed = parse_text_table(text);
    if (!parsed.table)
        throw bad_input(*file + ": " + parsed.fault);
    return std::move(parsed.table);
}

// How the launcher learns that a new version's application started well: off
// without --health.
health_check health_argument(const command_line& line) {
    const auto way = line.value("--health");
    const auto tries = line.value("--health-tries");
    if (!way) {
        if (tries || line.flag("--health-report"))
            throw bad_input("--health-tries and --health-report need --health");
        return {};
    }
    auto health = parse_health_way(*way);
    if (!health)
        throw bad_input("--health takes confirm or watch=S, S from 5 to 300 seconds");
    if (tries) {
        const auto number = parse_health_tries(*tries);
        if (!number)
            throw bad_input("--health-tries takes a whole number from 1 to 5");
        health->tries = *number;
    }
    health->report = line.flag("--health-report");
    return *health;
}

int run_launcher(const command_line& line) {
    if (!line.positional.empty())
        throw bad_input("launcher takes no arguments besides its options");
    const key_ring keys = key_argument(line);
    const bool key = !keys.empty();
    if (!key && !line.flag("--unsigned"))
        throw bad_input(std::string("refusing to write a launcher without --key: ") +
                        unsigned_risk + " (give --unsigned to write one anyway)");
    if (key && line.flag("--unsigned"))
        throw bad_input("--key and --unsigned exclude each other");
    const auto icon = line.value("--icon");
    const auto version_text = line.value("--version");
    const auto version =
        version_text ? parse_version_numbers(*version_text) : std::optional<version_numbers>();
    if (version_text && !version)
        throw bad_input("--version must be A.B.C.D, each number at most 65535");
    const auto template_file = line.value("--template");
    write_launcher(
        {template_file ? argument_path(*template_file) : installed_template(),
         argument_path(line.required("--out")),
         {line.required("--base-url"), key_ring_text(keys),
          line.value("--install-dir").value_or(""), line.value("--publisher").value_or(""),
          key ? line.value("--product").value_or("") : "", language_argument(line),
          texts_argument(line), health_argument(line)},
         icon ? std::optional(argument_path(*icon)) : std::nullopt,
         line.value("--product"),
         version,
         signing_arguments(line)});
    const auto install_dir = line.value("--install-dir");
    std::printf("launcher %s: %s%s%s\n", line.required("--out").c_str(),
                line.required("--base-url").c_str(), key ? ", signed releases only" : ", unsigned",
                install_dir ? (", setup into " + *install_dir).c_str() : "");
    return exit_ok;
}

// The launcher to publish, which must take exactly the releases that the signer makes.
std::optional<std::filesystem::path> launcher_argument(const command_line& line,
                                                       const signer_ref& signer) {
    const auto file = line.value("--launcher");
    if (!file)
        return std::nullopt;
    const std::filesystem::path launcher = argument_path(*file);
    if (!std::filesystem::is_regular_file(launcher))
        throw bad_input("--launcher " + *file + " is not a file");
    check_launcher_takes("--launcher " + *file, launcher, signer);
    return launcher;
}

// What a release and a revert report after publishing: the tree's proof.
int verify_published(const std::filesystem::path& tree, const signer_ref& signer) {
    return print_faults(verify_tree(*local_tree(tree), signer ? signer->keys() : key_ring{}));
}

int run_release(const command_line& line) {
    release_options options{version_arguments(line, line.only_positional("DIR")),
                            line.required("--startapp"),
                            keep_argument(line.value("--keep-patches")),
                            line.flag("--force-notes"),
                            expires_argument(line),
                            rollout_argument(line.value("--rollout")),
                            diff_memory_argument(line.value("--diff-memory")),
                            line.value("--product")};
    options.version.launcher = launcher_argument(line, options.version.signer);
    if (!options.version.signer)
        std::fprintf(stderr, "warning: the release is unsigned (--sign KEYFILE): %s\n",
                     unsigned_risk);
    const std::int32_t version = publish_release(options);
    std::printf("released version %d\n", version);
    return verify_published(options.version.tree, options.version.signer);
}

int run_revert(const command_line& line) {
    const signer_ref signer = signer_argument(line);
    const revert_options options{argument_path(line.only_positional("TREE")),
                                 version_argument("--to", line.required("--to")),
                                 signer,
                                 line.value("--startapp"),
                                 keep_argument(line.value("--keep-patches")),
                                 expires_argument(line),
                                 rollout_argument(line.value("--rollout")),
                                 diff_memory_argument(line.value("--diff-memory")),
                                 launcher_argument(line, signer)};
    const std::int32_t version = publish_revert(options);
    std::printf("released version %d with the files of version %d\n", version, options.to);
    return verify_published(options.tree, options.signer);
}

int run_upload(const command_line& line) {
    const upload_options options = upload_arguments(line);
    const auto public_url = line.value("--public-url");
    if (public_url && !is_url(*public_url))
        throw bad_input("--public-url must be an http:// or https:// URL");
    const auto key = key_argument(line);
    const upload_summary summary = upload_tree(options);
    std::printf("upload: %zu objects %s (%.1f MiB), %zu already in the store\n",
                summary.objects_sent, options.dry_run ? "to send" : "sent",
                static_cast<double>(summary.bytes_sent) / (1024.0 * 1024.0), summary.objects_kept);
    if (!public_url || options.dry_run)
        return exit_ok;
    return print_faults(verify_tree(*served_tree(*public_url), key));
}

const std::map<std::string, subcommand>& subcommands() {
    static const std::map<std::string, subcommand> table = {
        {"version",
         {{"--tree", "--version", "--compress", "--notes", "--sign"},
          {"--skip-empty"},
          "usage: quillomark-publish version DIR --tree TREE --version N\n"
          "           [--compress auto|all|none] [--notes FILE] [--skip-empty]\n"
          "           [--sign KEYFILE]\n"
          "Writes TREE/N/: every file of DIR, plain or in an LZMA container (auto: when\n"
          "that saves at least 5 %), its versioninfo.vif and changes.txt (the notes file\n"
          "byte for byte, or empty). Empty files are refused unless --skip-empty.\n"
          "The launcher's own files at the top of DIR (versioninfo.vif, ezo.log,\n"
          "ezo-prepare.log, quillomark.id, quillomark.startapp, quillomark.refused,\n"
          "Temp, quillomark.previous) are left out with one line each; a quillomark.exe\n"
          "must be a launcher written by the launcher command.\n"
          "--sign writes versioninfo.vif.sig, changes.txt.sig and versioninfo.sha256 (the\n"
          "SHA-256 of every file, the version N and the product the tree's master record\n"
          "names, signed too) with the secret key; given up to four times, the first\n"
          "key's signatures go in .sig and every key's in .sigs.\n",
          run_version}},
        {"patch",
         {{"--from", "--to", "--sign", "--diff-memory"},
          {},
          "usage: quillomark-publish patch TREE --from A --to B [--sign KEYFILE]\n"
          "           [--diff-memory SIZE]\n"
          "Writes the patch set TREE/A_B/: a BSDIFF40 patch for every file of both\n"
          "versions that differs, each proven by applying it, left out when it is not\n"
          "smaller than the file stored in version B. --sign writes versioninfo.vif.sig\n"
          "and versioninfo.sha256 (the SHA-256 of every patch, the versions A and B),\n"
          "as for version.\n"
          "Making a patch takes up to 9 times the file's size in memory (13 times\n"
          "from 2 GiB on); patches are made at once only as far as --diff-memory allows\n"
          "(bytes, or K, M, G, T; default half of the machine's memory), and a file\n"
          "whose patch alone would need more is left out, with one line saying so:\n"
          "launchers download it whole.\n",
          run_patch}},
        {"master",
         {{"--version", "--startapp", "--patches", "--sign", "--expires", "--rollout", "--product"},
          {"--force-notes"},
          "usage: quillomark-publish master TREE --version N --startapp NAME\n"
          "           [--patches auto|A_N,...] [--force-notes] [--rollout P]\n"
          "           [--product NAME] [--sign KEYFILE [--expires YYYY-MM-DDTHH:MM:SSZ]]\n"
          "Writes TREE/masterversion. auto lists every patch set in TREE leading to N.\n"
          "--rollout offers N to P percent of the installations (0-100; default all).\n"
          "--product names the product the record is made for (default: the one the\n"
          "current record names); launchers stamped with a key and a product take\n"
          "only records made for theirs.\n"
          "--sign adds expires= (UTC, default 90 days ahead) and the record's own signature,\n"
          "sig=, as its last piece; a further --sign KEYFILE (up to four) adds its own\n"
          "piece before it, and keys= names the keys that signed.\n",
          run_master}},
        {"rollout",
         {{"--percent", "--sign"},
          {},
          "usage: quillomark-publish rollout TREE --percent P [--sign KEYFILE]\n"
          "Offers the master record's version to P percent of the installations (0-100):\n"
          "rewrites only the record's rollout piece, signed again with KEYFILE, which a\n"
          "signed record needs (all the keys it is to carry). Each installation takes the version "
          "when its own bucket\n"
          "lies below P; 0 halts the rollout, and a wider share never takes an\n"
          "installation back. Then upload sends masterversion alone.\n",
          run_rollout}},
        {"release",
         {{"--tree", "--startapp", "--notes", "--keep-patches", "--compress", "--sign", "--expires",
           "--launcher", "--rollout", "--diff-memory", "--product"},
          {"--force-notes", "--skip-empty"},
          "usage: quillomark-publish release DIR --tree TREE --startapp NAME\n"
          "           [--notes FILE] [--keep-patches K] [--compress auto|all|none]\n"
          "           [--force-notes] [--skip-empty] [--rollout P]\n"
          "           [--sign KEYFILE [--expires YYYY-MM-DDTHH:MM:SSZ]]\n"
          "           [--launcher FILE] [--diff-memory SIZE] [--product NAME]\n"
          "Publishes DIR as the next version, patch sets from each of the last K\n"
          "versions (default 3, --diff-memory as for patch), the master record, and\n"
          "verifies the tree; --sign signs every record it writes and verifies the\n"
          "signatures too.\n"
          "--launcher publishes FILE (written by the launcher command) as the\n"
          "launcher of the release, under its own file name; it must hold one of the\n"
          "release's keys. --rollout offers it to P percent of the installations first\n"
          "(see the rollout command). --product as for master; by default the\n"
          "product that the --launcher FILE takes, else the tree's.\n",
          run_release}},
        {"revert",
         {{"--to", "--sign", "--startapp", "--keep-patches", "--expires", "--rollout",
           "--diff-memory", "--launcher"},
          {},
          "usage: quillomark-publish revert TREE --to K [--startapp NAME] [--keep-patches K]\n"
          "           [--rollout P] [--sign KEYFILE [--expires YYYY-MM-DDTHH:MM:SSZ]]\n"
          "           [--diff-memory SIZE] [--launcher FILE]\n"
          "Takes back a bad release: publishes the files of version K, taken from TREE and\n"
          "checked against K's records (MD5 and, where K has one, SHA-256), with K's\n"
          "release notes, as the next version, with patch sets from the last versions as\n"
          "release makes them, and makes it current. Installations that took the bad\n"
          "release and those that did not both end with K's files. --startapp defaults\n"
          "to the current one.\n"
          "The launcher (quillomark.exe) is not K's but the current version's, which holds\n"
          "the keys the installations take releases with now; --launcher FILE publishes\n"
          "another, checked as release checks it.\n",
          run_revert}},
        {"launcher",
         {{"--base-url", "--key", "--icon", "--product", "--version", "--template", "--out",
           "--sign-cert", "--sign-password-file", "--timestamp-url", "--install-dir", "--publisher",
           "--language", "--texts", "--health", "--health-tries"},
          {"--unsigned", "--health-report"},
          "usage: quillomark-publish launcher --base-url URL (--key PUBLIC | --unsigned)\n"
          "           [--icon FILE.ico] [--product NAME] [--version A.B.C.D]\n"
          "           [--install-dir DIR [--publisher NAME]] [--language et|en]\n"
          "           [--texts FILE]\n"
          "           [--health confirm|watch=S [--health-tries K] [--health-report]]\n"
          "           [--template FILE] --out FILE\n"
          "           [--sign-cert FILE.pfx [--sign-password-file FILE]\n"
          "            [--timestamp-url URL]]\n"
          "Writes a launcher from the prebuilt template (default: the one installed\n"
          "with this tool) that downloads from URL (http:// or https://, ending in /)\n"
          "and takes only releases signed with the key PUBLIC (64 hex digits, printed\n"
          "by keygen; --key up to four times while releases move to a new key). --icon sets every "
          "image of the .ico as its icon; --product and\n"
          "--version set the name, description and versions Explorer shows. Only\n"
          "resources change. --sign-cert signs the file with osslsigncode (Authenticode,\n"
          "PKCS#12 certificate; the password file's first line is the password).\n"
          "--install-dir makes the launcher the product's setup as well: started outside\n"
          "DIR (which starts with %LOCALAPPDATA%, %APPDATA% or %USERPROFILE% and names a\n"
          "folder of the product's own below it, not a shared one such as Temp, for example\n"
          "%LOCALAPPDATA%\\Programs\\Product) it installs itself there for the user, with\n"
          "Start menu and desktop shortcuts and an entry in Apps & Features that names\n"
          "--publisher; it needs --product, the name of both.\n"
          "--language sets the language of every text the user sees (default et,\n"
          "Estonian); --texts takes them from FILE instead, a table of one id=text a\n"
          "line in UTF-8 with every id of the built-in tables and their placeholders.\n"
          "--health puts each new version on trial, keeping the files it replaces until\n"
          "it started well: confirm, when the application runs quillomark.exe --healthy,\n"
          "or watch=S, when it runs S seconds (5 to 300) without ending by an exception.\n"
          "After K failed starts (--health-tries, 1 to 5, default 2) the previous\n"
          "version is put back and the new one refused; --health-report then requests\n"
          "<base>health/N/restored once (see the health command).\n",
          run_launcher}},
        {"verify",
         {{"--key"},
          {},
          "usage: quillomark-publish verify TREE|URL [--key PUBLIC]...\n"
          "Checks the tree as the launcher reads it, from a directory or over HTTP.\n"
          "With --key (64 hex digits, up to four) also every record's signature by one\n"
          "of the keys (which ones signed each goes to standard error), every file's\n"
          "SHA-256 and the master record's expiry, that each SHA-256 record names the\n"
          "master record's product and its own version (records without these lines are\n"
          "accepted), and that each version's launcher holds a key that signed it.\n"
          "Prints one line per fault and exits with 1 when there is any.\n",
          run_verify}},
        {"upload",
         {{"--endpoint", "--jobs", "--public-url", "--key"},
          {"--dry-run"},
          "usage: quillomark-publish upload TREE s3://BUCKET/PREFIX [--endpoint URL]\n"
          "           [--jobs N] [--dry-run] [--public-url URL [--key PUBLIC]]\n"
          "Uploads TREE to an S3-compatible store (credentials and region from\n"
          "AWS_ACCESS_KEY_ID, AWS_SECRET_ACCESS_KEY, AWS_SESSION_TOKEN, AWS_REGION):\n"
          "path-style below --endpoint, else virtual-host style at AWS. Sends only what\n"
          "the store lacks: every file and patch (N at a time, default 4), then the\n"
          "records, then masterversion alone. Refuses, before sending anything, to\n"
          "change an object of a published version. --dry-run lists what would be\n"
          "sent, in order. --public-url verifies the tree as launchers read it there.\n",
          run_upload}},
        {"health",
         {{"--tree", "--halt-above", "--sign"},
          {},
          "usage: quillomark-publish health ACCESS_LOG... --tree TREE\n"
          "           [--halt-above P [--sign KEYFILE]]\n"
          "Reads the server's access logs (nginx's default format or S3's server access\n"
          "log format) and prints for each version the restores that launchers stamped\n"
          "with --health-report announced (GET <base>health/N/restored) and the answered\n"
          "requests of N/versioninfo.vif, which every launcher that takes or runs N\n"
          "makes. --halt-above halts the rollout of the tree's current version, as\n"
          "rollout --percent 0 does (signed with --sign), when its restores are above P\n"
          "percent of those requests.\n",
          run_health}},
        {"keygen",
         {{"--out"},
          {},
          "usage: quillomark-publish keygen --out KEYFILE\n"
          "Writes a new secret signing key (mode 0600; an existing file is never\n"
          "overwritten) and prints its public key, 64 hex digits, for launcher --key.\n",
          run_keygen}},
    };
    return table;
}

const char* general_help = "usage: quillomark-publish COMMAND ... (COMMAND --help for each)\n"
                           "commands: release, version, patch, master, rollout, revert, verify,\n"
                           "          upload, health, keygen, launcher\n"
                           "exit status: 0 done, 1 failed or faults found, 2 bad input\n";

int run(const std::vector<std::string>& arguments) {
    if (arguments.empty() || arguments.front() == "--help" || arguments.front() == "-h") {
        std::fputs(general_help, arguments.empty() ? stderr : stdout);
        return arguments.empty() ? exit_bad_input : exit_ok;
    }
    const auto found = subcommands().find(arguments.front());
    if (found == subcommands().end())
        throw bad_input("unknown command " + arguments.front() + "\n" + general_help);
    const subcommand& command = found->second;
    const command_line line = parse_command_line({arguments.begin() + 1, arguments.end()},
                                                 command.value_options, command.flag_options);
    if (line.help) {
        std::fputs(command.help, stdout);
        return exit_ok;
    }
    return command.run(line);
}

int run_reporting(const std::vector<std::string>& arguments) {
    try {
        return run(arguments);
    } catch (const bad_input& error) {
        std::fprintf(stderr, "quillomark-publish: %s\n", error.what());
        return exit_bad_input;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "quillomark-publish: %s\n", error.what());
        return exit_failed;
    }
}

} // namespace

#ifdef _WIN32
// Arguments come as UTF-16, so that any path reaches the tool whole; inside the
// tool they are UTF-8, as on Linux.
int wmain(int argc, wchar_t* argv[]) {
    use_utf8_console();
    std::vector<std::string> arguments;
    for (int index = 1; index < argc; ++index)
        arguments.push_back(wide_to_utf8(argv[index]));
    return run_reporting(arguments);
}
#else
int main(int argc, char** argv) {
    std::setlocale(LC_CTYPE, "C.UTF-8");
    return run_reporting({argv + 1, argv + argc});
}
#endif
