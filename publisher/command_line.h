#pragma once
// The arguments of one subcommand: positional words, options with a value, and
// flags. Anything else is bad input.

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

struct command_line {
    std::vector<std::string> positional;
    // Every value given for an option, in order.
    std::map<std::string, std::vector<std::string>> values;
    std::set<std::string> flags;
    bool help = false;

    // An option's value; the last one when it was given more than once.
    std::optional<std::string> value(const std::string& option) const;
    // An option that may be given several times.
    std::vector<std::string> all_values(const std::string& option) const;
    std::string required(const std::string& option) const;
    bool flag(const std::string& option) const { return flags.contains(option); }
    // The single positional argument named `what`.
    const std::string& only_positional(const std::string& what) const;
};

command_line parse_command_line(const std::vector<std::string>& arguments,
                                const std::set<std::string>& value_options,
                                const std::set<std::string>& flag_options);
