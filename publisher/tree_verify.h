#pragma once
// Proves a tree the way the launcher reads it.

#include "signature.h"
#include "tree_source.h"

#include <optional>

#include <string>
#include <vector>

// One line per fault, each naming the file or record at fault; none when every
// check holds: the master record parses and names a version, patch sets and a
// start program that exist, and a share (rollout) from 0 to 100 if any; every
// record's name stays inside the installation; every file unpacks to its record's
// size and digest; every patch has its record's digest and, applied to its source
// version's file, yields the target's digest. With keys: every versioninfo.vif,
// versioninfo.sha256, changes.txt and the master record carry the signature of one
// of them (which ones signed each goes to standard error), every file, container
// and patch matches its SHA-256 there, each SHA-256 record that names a product and
// versions names the master record's product and its own versions, each version's
// launcher holds a key that signed the version, and the master record has an
// expiry still ahead. The share of the installations that the master record's version is
// offered to goes to standard error.
std::vector<std::string> verify_tree(tree_source& source, const key_ring& keys = {});
