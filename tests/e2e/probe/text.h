#pragma once
// UTF-8 and UTF-16 conversions and the line format of the probe's commands.

#include <string>
#include <vector>

std::wstring to_wide(const std::string& text);
std::string to_utf8(const std::wstring& text);

// A command line is split at tabs; each field may carry the escapes \n, \t and \\.
std::vector<std::string> split_fields(const std::string& line);
