#pragma once
// The publisher's commands on an update tree. Each writes its target through a
// staging directory and throws bad_input (nothing written) or publish_failure.
// With a signer, each also signs the records it writes.

#include "release_signing.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

enum class compress_mode { automatic, all, none };

// Half of the machine's memory.
std::uint64_t default_diff_memory();

struct version_options {
    std::filesystem::path source;
    std::filesystem::path tree;
    std::int32_t version = 0;
    compress_mode compress = compress_mode::automatic;
    std::optional<std::filesystem::path> notes;
    bool skip_empty = false;
    signer_ref signer; // empty: unsigned
    // A launcher published under its own file name, in place of the source's file of
    // that name (if any).
    std::optional<std::filesystem::path> launcher;
    // The product the SHA-256 record names; none: the one the tree's current master
    // record names, if any.
    std::optional<std::string> product = std::nullopt;
};

struct patch_options {
    std::filesystem::path tree;
    std::int32_t from = 0;
    std::int32_t to = 0;
    signer_ref signer;
    // The memory that the patches being made may take together (patch_memory_needed);
    // a file whose patch alone would need more is left out of the set, with one line
    // saying so, and launchers download it whole.
    std::uint64_t diff_memory = default_diff_memory();
    std::optional<std::string> product = std::nullopt; // as in version_options
};

struct master_options {
    std::filesystem::path tree;
    std::int32_t version = 0;
    std::string startapp;
    std::optional<std::vector<std::string>> patches; // empty: every set leading to version
    bool force_notes = false;
    signer_ref signer;
    std::int64_t expires = 0;   // seconds since 1970 UTC, written when signed
    std::optional<int> rollout; // percent of the installations; none: no piece (all)
    // The product the record is made for ("product=<name>"); none: the product of
    // the tree's current master record, if it names one.
    std::optional<std::string> product = std::nullopt;
};

struct release_options {
    version_options version; // its version number is chosen by the release
    std::string startapp;
    int keep_patches = 3;
    bool force_notes = false;
    std::int64_t expires = 0; // of the master record, when signed
    std::optional<int> rollout;
    std::uint64_t diff_memory = default_diff_memory(); // as in patch_options
    // As in master_options; none: the product of the release's launcher, if it
    // names one, else the tree's.
    std::optional<std::string> product = std::nullopt;
};

// The files of version `to` published again as the next version, so that every
// installation, whether it took the releases after `to` or not, ends with them.
struct revert_options {
    std::filesystem::path tree;
    std::int32_t to = 0;
    signer_ref signer;
    // none: the startapp of the tree's current master record, when `to` lists it
    std::optional<std::string> startapp;
    int keep_patches = 3;
    std::int64_t expires = 0;
    std::optional<int> rollout;
    std::uint64_t diff_memory = default_diff_memory();
    // The launcher of the new version; none: the current version's, not `to`'s.
    std::optional<std::filesystem::path> launcher = std::nullopt;
};

struct rollout_options {
    std::filesystem::path tree;
    int percent = 100;
    signer_ref signer; // must be given exactly when the record is signed
};

// What a command did, for its report line.
struct publish_summary {
    int files = 0;
    int compressed = 0;
    int left_out = 0;
    std::uint64_t stored_bytes = 0;
};

publish_summary publish_version(const version_options& options);
publish_summary publish_patch_set(const patch_options& options);
void publish_master(const master_options& options);
// Returns the new version number; the caller verifies the tree.
std::int32_t publish_release(const release_options& options);
// Returns the new version's number. Each file of version `to` but its launcher is
// taken from the tree (unpacked when stored as a container) and checked against its
// records before anything is published; its release notes go with it.
std::int32_t publish_revert(const revert_options& options);
// Rewrites only the rollout piece of the tree's master record and signs it again
// with the key that signed it. Refuses (bad_input) a tree without a master record, a
// signed record without the signer or with another key's signature, an unsigned one
// with a signer, and a signed one that has expired.
void publish_rollout(const rollout_options& options);

// Installations hand over to a release's launcher, which must then take exactly the
// releases that the signer makes; throws bad_input naming it as `what` when it does not.
void check_launcher_takes(const std::string& what, const std::filesystem::path& launcher,
                          const signer_ref& signer);

// The launcher's name for a start program given with either kind of slash.
std::string record_name_of(std::string name);
