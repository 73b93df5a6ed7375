#include "command_line.h"

#include "publish_errors.h"

std::optional<std::string> command_line::value(const std::string& option) const {
    const std::vector<std::string> given = all_values(option);
    return given.empty() ? std::nullopt : std::optional(given.back());
}

std::vector<std::string> command_line::all_values(const std::string& option) const {
    const auto found = values.find(option);
    return found == values.end() ? std::vector<std::string>{} : found->second;
}

std::string command_line::required(const std::string& option) const {
    if (const auto given = value(option))
        return *given;
    throw bad_input(option + " is required");
}

const std::string& command_line::only_positional(const std::string& what) const {
    if (positional.size() != 1)
        throw bad_input("expected one " + what + ", got " + std::to_string(positional.size()) +
                        " arguments");
    return positional.front();
}

command_line parse_command_line(const std::vector<std::string>& arguments,
                                const std::set<std::string>& value_options,
                                const std::set<std::string>& flag_options) {
    command_line parsed;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--help" || argument == "-h") {
            parsed.help = true;
        } else if (flag_options.contains(argument)) {
            parsed.flags.insert(argument);
        } else if (value_options.contains(argument)) {
            if (i + 1 == arguments.size())
                throw bad_input(argument + " needs a value");
            parsed.values[argument].push_back(arguments[++i]);
        } else if (argument.starts_with("-") && argument.size() > 1) {
            throw bad_input("unknown option " + argument);
        } else {
            parsed.positional.push_back(argument);
        }
    }
    return parsed;
}
