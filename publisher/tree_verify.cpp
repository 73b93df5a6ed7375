#include "tree_verify.h"

#include "container_memory.h"
#include "launcher_stamp.h"
#include "name_rules.h"
#include "patch_maker.h"
#include "progress.h"
#include "publish_errors.h"
#include "release_signing.h"
#include "rollout.h"
#include "source_scan.h"
#include "strong_digests.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

namespace {

std::string in_quotes(const std::string& name) {
    return "\"" + name + "\"";
}

std::uint64_t record_bytes(const version_info& info) {
    std::uint64_t sum = 0;
    for (const auto& record : info.files)
        sum += std::uint64_t(record->size);
    return sum;
}

class tree_verifier {
  public:
    tree_verifier(tree_source& source, const key_ring& keys) : source_(source), keys_(keys) {}

    std::vector<std::string> run() {
        const auto master = read_master();
        std::set<std::int32_t> versions;
        std::set<std::pair<std::int32_t, std::int32_t>> patch_sets;
        if (master.version)
            versions.insert(*master.version);
        for (const auto& set : master.patch_sets) {
            versions.insert({set.from, set.to});
            patch_sets.insert({set.from, set.to});
        }
        for (const auto version : source_.more_versions())
            versions.insert(version);
        for (const auto& set : source_.more_patch_sets())
            patch_sets.insert({set.from, set.to});

        if (master.version)
            read_by_launchers_.insert(std::to_string(*master.version));
        for (const auto& set : master.patch_sets)
            read_by_launchers_.insert(set.text());
        for (const auto version : versions)
            check_version(version);
        if (master.version)
            check_startapp(*master.version, master.startapp);
        for (const auto& [from, to] : patch_sets)
            check_patch_set(patch_set_name{from, to});
        return std::move(faults_);
    }

  private:
    struct master_values {
        std::optional<std::int32_t> version;
        std::vector<patch_set_name> patch_sets;
        std::string startapp;
    };

    void fault(const std::string& where, const std::string& what) {
        faults_.push_back(where + ": " + what);
    }

    std::optional<bytes> fetch(const std::string& path) {
        auto fetched = source_.fetch(path);
        if (!fetched.content)
            fault(path, "cannot be fetched (" + fetched.error + ")");
        return std::move(fetched.content);
    }

    // A record the launcher trusts only with a key's signature, when there are keys.
    std::optional<bytes> fetch_signed(const std::string& path) {
        auto content = fetch(path);
        if (content && !keys_.empty())
            check_signature(path, *content);
        return content;
    }

    static std::string_view as_text(const bytes& content) {
        return {reinterpret_cast<const char*>(content.data()), content.size()};
    }

    // The first key's signature in "<file>.sig", every key's in "<file>.sigs" when
    // there are more.
    void check_signature(const std::string& path, const bytes& content) {
        const std::string signature_path = path + signature_suffix;
        const auto signature = source_.fetch(signature_path);
        if (!signature.content)
            return fault(path,
                         "has no signature (" + signature_path + ": " + signature.error + ")");
        key_ring& signers = signed_by_[path];
        for (const public_key& key : keys_)
            if (signature_matches(key, as_text(content), as_text(*signature.content)))
                signers.push_back(key);
        const auto list = source_.fetch(path + signature_list_suffix);
        if (list.content)
            add_listed_signers(path, as_text(content), as_text(*list.content), signers);
        report_signers(path, signers);
    }

    void add_listed_signers(const std::string& path, std::string_view content,
                            std::string_view list, key_ring& signers) {
        const auto signatures = parse_signature_list(list);
        if (!signatures)
            return fault(path + signature_list_suffix, "is damaged");
        for (const keyed_signature& line : *signatures) {
            if (std::find(keys_.begin(), keys_.end(), line.key) == keys_.end())
                continue;
            if (!signature_matches(line.key, content, line.signature))
                fault(path + signature_list_suffix,
                      "holds a wrong signature by the key " + key_id(line.key));
            else if (std::find(signers.begin(), signers.end(), line.key) == signers.end())
                signers.push_back(line.key);
        }
    }

    // Launchers read the master record, its version's records and those of the patch
    // sets it lists; older versions may carry the signatures of a key since replaced.
    bool read_by_launchers(const std::string& path) const {
        return path == master_file_name ||
               read_by_launchers_.contains(path.substr(0, path.find('/')));
    }

    void report_signers(const std::string& path, const key_ring& signers) {
        if (signers.empty() && read_by_launchers(path))
            return fault(path, keys_.size() == 1 ? "is not signed with the key"
                                                 : "is not signed with any of the keys");
        std::fprintf(stderr, "verify: %s is signed by %s\n", path.c_str(),
                     signers.empty() ? "none of these keys; launchers no longer read it"
                                     : key_ids(signers).c_str());
    }

    void check_expiry_of(const master_record& record) {
        const std::string& expires = record.value(expires_key);
        const expiry_check result = check_expiry(expires, current_unix_time());
        if (result != expiry_check::valid)
            fault(master_file_name,
                  std::string(expiry_problem(result)) + " (" + expires_key + "=" + expires + ")");
    }

    // Release notes are optional, but a present one must be signed.
    void check_notes(const std::string& directory) {
        const std::string path = directory + "/" + notes_file_name;
        const auto notes = source_.fetch(path);
        if (notes.content)
            check_signature(path, *notes.content);
    }

    // The master record signs itself; a tree signed before it did carries the
    // signature in masterversion.sig, which launchers no longer read.
    void check_master_signature(const std::string& text) {
        const auto chain = master_signature_chain(text);
        if (!chain.empty()) {
            key_ring signers;
            for (const master_signature& piece : chain)
                for (const public_key& key : keys_)
                    if (signature_matches(key, piece.signed_bytes, piece.signature))
                        signers.push_back(key);
            return report_signers(master_file_name, signers);
        }
        if (source_.fetch(std::string(master_file_name) + signature_suffix).content)
            return fault(master_file_name,
                         "is signed the old way, in a separate masterversion.sig: sign it "
                         "again (quillomark-publish master TREE ... --sign KEYFILE)");
        fault(master_file_name, "has no signature");
    }

    master_values read_master() {
        master_values values;
        const auto bytes = fetch(master_file_name);
        if (!bytes)
            return values;
        const std::string text(bytes->begin(), bytes->end());
        master_record record;
        parse_master_version(text, record);
        if (record.repeated_key())
            fault(master_file_name, "key " + in_quotes(*record.repeated_key()) + " appears twice");
        if (!keys_.empty()) {
            check_master_signature(text);
            check_expiry_of(record);
        }
        product_ = record.value(master_product_key);
        values.version = parse_version_number(record.value("version"));
        if (!values.version)
            fault(master_file_name, "\"version\" is not a positive number");
        show_rollout(record, values.version);
        values.startapp = record.value("startapp");
        const std::string& listed = record.value("patches");
        for (std::size_t start = 0; start < listed.size();) {
            const std::size_t comma = std::min(listed.find(',', start), listed.size());
            check_listed_set(listed.substr(start, comma - start), values);
            start = comma + 1;
        }
        return values;
    }

    // The share of the installations the version is offered to, on standard error
    // beside the progress.
    void show_rollout(const master_record& record, std::optional<std::int32_t> version) {
        const std::optional<int> percent = rollout_percent_of(record);
        if (!percent)
            return fault(master_file_name, "\"rollout\" " + in_quotes(record.value(rollout_key)) +
                                               " is not a whole number from 0 to 100");
        if (version)
            std::fprintf(stderr, "verify: version %d is offered to %d%% of the installations\n",
                         *version, *percent);
    }

    void check_listed_set(const std::string& name, master_values& values) {
        const auto set = parse_patch_set_name(name);
        if (!set || set->text() != name)
            return fault(master_file_name, "patch set " + in_quotes(name) + " is not a name A_B");
        if (values.version && set->to != *values.version)
            fault(master_file_name, "patch set " + name + " does not lead to version " +
                                        std::to_string(*values.version));
        values.patch_sets.push_back(*set);
    }

    const version_info* version(std::int32_t number) {
        const auto found = versions_.find(number);
        return found == versions_.end() || !found->second ? nullptr : &*found->second;
    }

    std::optional<version_info> read_version_file_at(const std::string& directory,
                                                     std::int32_t expected) {
        const std::string path = directory + "/" + version_file_name;
        const auto content = fetch_signed(path);
        if (!content)
            return std::nullopt;
        version_info info(version_info::standard_magic, version_info::standard_format);
        byte_reader reader(static_cast<std::int32_t>(content->size()), content->data());
        if (!info.read(reader)) {
            fault(path, "is damaged");
            return std::nullopt;
        }
        if (info.version != expected)
            fault(path, "states version " + std::to_string(info.version) + " instead of " +
                            std::to_string(expected));
        return info;
    }

    // Names that leave the installation, or that Windows takes for one file.
    std::vector<const file_info*> safe_records(const std::string& path, const version_info& info) {
        std::vector<const file_info*> safe;
        std::map<std::string, std::string> folded;
        for (const auto& record : info.files) {
            if (!is_safe_relative_name(record->name)) {
                fault(path,
                      "record " + in_quotes(record->name) + " leaves the installation directory");
                continue;
            }
            const auto [existing, added] = folded.emplace(folded_name(record->name), record->name);
            if (!added)
                fault(path, "records " + in_quotes(existing->second) + " and " +
                                in_quotes(record->name) + " name the same file on Windows");
            safe.push_back(record.get());
        }
        return safe;
    }

    // A signed directory's SHA-256 record, once read; nothing after a fault.
    const strong_digest_record* strong_digests(const std::string& directory) {
        if (keys_.empty())
            return nullptr;
        const auto [found, added] = strong_.try_emplace(directory);
        if (!added)
            return found->second ? &*found->second : nullptr;
        const std::string path = directory + "/" + strong_digest_file_name;
        // A version that launchers no longer read may predate SHA-256 records.
        if (!read_by_launchers(path) && !source_.fetch(path).content)
            return nullptr;
        const auto content = fetch_signed(path);
        if (content && !(found->second = parse_strong_digests(as_text(*content))))
            fault(path, "is damaged");
        if (!found->second)
            return nullptr;
        check_binding(path, directory, *found->second);
        return &*found->second;
    }

    // A record names the product and versions it was signed for, which must be the
    // master record's product and those of its directory; records of trees published
    // before carry no such lines.
    void check_binding(const std::string& path, const std::string& directory,
                       const strong_digest_record& digests) {
        if (digests.product() && !product_.empty() && *digests.product() != product_)
            fault(path, "names the product " + in_quotes(*digests.product()) +
                            ", the master record " + in_quotes(product_));
        // A version's directory is its number, a patch set's its two joined by '_'.
        std::string versions = directory;
        std::replace(versions.begin(), versions.end(), '_', ' ');
        if (digests.version() && *digests.version() != versions)
            fault(path, "names the version " + in_quotes(*digests.version()) + " instead of " +
                            in_quotes(versions));
    }

    void check_strong_digest(const std::string& directory, strong_digest_record::kind of,
                             const std::string& name, const bytes& content) {
        const strong_digest_record* digests = strong_digests(directory);
        if (!digests)
            return;
        const std::string path = directory + "/" + name;
        const sha256_digest* listed = digests->find(of, name);
        if (!listed)
            fault(path, std::string("has no SHA-256 in ") + strong_digest_file_name);
        else if (*listed != strong_digest_of(content))
            fault(path, std::string("does not match its SHA-256 in ") + strong_digest_file_name);
    }

    // The file as a launcher installs it, or empty after a fault. When `check_strong`,
    // both as served and as installed are checked against the version's SHA-256 record.
    std::optional<bytes> installed(std::int32_t number, const file_info& record,
                                   bool check_strong = false) {
        const std::string directory = std::to_string(number);
        const std::string path = directory + "/" + record.name;
        auto stored = fetch(path);
        const bool container = record.flags & file_info::lzma_container_flag;
        if (stored && check_strong && container)
            check_strong_digest(directory, strong_digest_record::kind::served, record.name,
                                *stored);
        if (!stored || !container) {
            if (stored && check_strong)
                check_strong_digest(directory, strong_digest_record::kind::file, record.name,
                                    *stored);
            return stored;
        }
        auto decoded = decode_container(*stored);
        if (decoded && check_strong)
            check_strong_digest(directory, strong_digest_record::kind::file, record.name, *decoded);
        if (!decoded)
            fault(path, "is not a complete LZMA container");
        return decoded;
    }

    void check_version(std::int32_t number) {
        const std::string directory = std::to_string(number);
        auto info = read_version_file_at(directory, number);
        versions_[number] = std::move(info);
        if (!keys_.empty())
            check_notes(directory);
        strong_digests(directory);
        if (!version(number))
            return;
        const auto records = safe_records(directory + "/" + version_file_name, *version(number));
        progress_meter progress("verify " + directory, records.size(),
                                record_bytes(*version(number)));
        for (const file_info* record : records) {
            check_file(number, *record);
            progress.advance(std::uint64_t(record->size));
        }
    }

    void check_file(std::int32_t number, const file_info& record) {
        const auto content = installed(number, record, true);
        if (!content)
            return;
        const std::string path = std::to_string(number) + "/" + record.name;
        if (content->size() != std::size_t(record.size))
            fault(path, "holds " + std::to_string(content->size()) + " bytes, its record " +
                            std::to_string(record.size));
        if (digest_of(*content) != record.digest)
            fault(path, "does not match its record's digest");
        if (!keys_.empty() && is_installed_launcher_name(record.name))
            check_launcher_keys(number, path, *content);
    }

    // Installations hand over to a version's launcher, which takes only releases signed
    // with its keys from then on: one that holds none of the keys that signed its
    // version strands them, one without a key opens them to anyone's releases.
    void check_launcher_keys(std::int32_t number, const std::string& path, const bytes& image) {
        const key_ring& signers = signed_by_[std::to_string(number) + "/" + version_file_name];
        if (signers.empty())
            return;
        launcher_config settings;
        try {
            settings = launcher_settings(launcher_resources(image, path));
        } catch (const bad_input&) {
            return; // not a launcher of ours, but the application's file of that name
        }
        if (!shares_a_key(launcher_keys(settings), signers))
            fault(path, "holds none of the keys that signed version " + std::to_string(number) +
                            " (" + key_ids(signers) + ")");
    }

    void check_startapp(std::int32_t number, const std::string& startapp) {
        if (startapp.empty())
            return fault(master_file_name, "\"startapp\" is missing");
        if (!is_safe_relative_name(startapp))
            return fault(master_file_name, "\"startapp\" " + in_quotes(startapp) +
                                               " leaves the installation directory");
        if (version(number) && !version(number)->find(startapp))
            fault(master_file_name, "\"startapp\" " + in_quotes(startapp) +
                                        " is not a file of version " + std::to_string(number));
    }

    void check_patch_set(const patch_set_name& set) {
        const std::string directory = set.text();
        const auto info = read_version_file_at(directory, set.to);
        strong_digests(directory);
        if (!info)
            return;
        const auto records = safe_records(directory + "/" + version_file_name, *info);
        progress_meter progress("verify " + directory, records.size(), record_bytes(*info));
        for (const file_info* record : records) {
            check_patch(set, *record);
            progress.advance(std::uint64_t(record->size));
        }
    }

    void check_patch(const patch_set_name& set, const file_info& patch_record) {
        const std::string path = set.text() + "/" + patch_record.name;
        const version_info* source = version(set.from);
        const version_info* target = version(set.to);
        const file_info* old_record = source ? source->find(patch_record.name) : nullptr;
        const file_info* new_record = target ? target->find(patch_record.name) : nullptr;
        if (patch_record.flags & file_info::lzma_container_flag)
            fault(path, "is flagged as a container, but patches are never unpacked");
        if (!old_record || !new_record)
            return fault(path, "patches a file missing from version " +
                                   std::to_string(old_record ? set.to : set.from));
        const auto patch = fetch(path);
        if (!patch)
            return;
        if (patch->size() != std::size_t(patch_record.size) ||
            digest_of(*patch) != patch_record.digest)
            return fault(path, "does not match its record's size and digest");
        check_strong_digest(set.text(), strong_digest_record::kind::served, patch_record.name,
                            *patch);
        const auto old_content = installed(set.from, *old_record);
        if (!old_content)
            return;
        const auto result = apply_patch_bytes(*old_content, *patch);
        if (!result)
            return fault(path, "is a corrupt patch");
        if (digest_of(*result) != new_record->digest)
            fault(path, "does not yield version " + std::to_string(set.to) + "'s file");
    }

    tree_source& source_;
    key_ring keys_;
    std::map<std::string, std::optional<strong_digest_record>> strong_;
    std::set<std::string> read_by_launchers_;
    std::map<std::string, key_ring> signed_by_; // of each signed record, among keys_
    std::string product_;                       // the master record's, if it names one
    std::vector<std::string> faults_;
    std::map<std::int32_t, std::optional<version_info>> versions_;
};

} // namespace

std::vector<std::string> verify_tree(tree_source& source, const key_ring& keys) {
    return tree_verifier(source, keys).run();
}
