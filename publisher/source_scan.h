#pragma once
// The files of a release directory, as the records of a version will name them.

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

struct source_file {
    std::string name; // relative, subdirectories joined by backslashes
    std::filesystem::path path;
    std::uintmax_t size;
};

// Every regular file below `directory`, sorted by name. What the launcher keeps
// at the top of an installation (its installed record, log, identity and work
// directory) is left out with a warning on standard error. Throws bad_input listing
// every problem: a missing directory, a name the launcher would refuse or that
// would collide with the tree's release notes, names that differ only in case (one
// file on Windows), files of 4 GiB or more (a record states sizes in 32 bits), and
// empty files unless `skip_empty`, which leaves them out with a warning too.
std::vector<source_file> scan_source(const std::filesystem::path& directory, bool skip_empty);

// The name as Windows compares it: letters folded to lower case.
std::string folded_name(const std::string& name);
