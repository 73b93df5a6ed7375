#pragma once
// Runs a program as a real process and collects its standard output and exit status.

#include <string>
#include <vector>

struct tool_result {
    int exit_status;
    std::string output;
};

// arguments[0] is the program's path; it is also passed as the program name.
tool_result run_tool(const std::vector<std::string>& arguments);
