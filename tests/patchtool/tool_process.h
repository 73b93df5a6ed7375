#pragma once
// Runs a program as a real process and collects its standard output and exit status.

#include <functional>
#include <string>
#include <vector>

struct tool_result {
    int exit_status;
    std::string output;
};

// arguments[0] is the program's path; it is also passed as the program name.
// `on_output`, when given, sees the output so far each time a piece of it arrives.
tool_result run_tool(const std::vector<std::string>& arguments,
                     const std::function<void(const std::string&)>& on_output = {});
