#include "health_report.h"

#include <charconv>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string>

namespace {

struct access {
    std::string_view method;
    std::string_view path;
    int status = 0;
};

std::optional<int> whole_number(std::string_view text) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// `"GET /download/2/versioninfo.vif HTTP/1.1" 200 ...` wherever it stands in the line.
std::optional<access> access_of(std::string_view line) {
    const std::size_t open = line.find('"');
    const std::size_t close = line.find('"', open + 1);
    if (open == std::string_view::npos || close == std::string_view::npos)
        return std::nullopt;
    const std::string_view request = line.substr(open + 1, close - open - 1);
    const std::size_t method_end = request.find(' ');
    const std::size_t path_end = request.find(' ', method_end + 1);
    std::string_view after = line.substr(close + 1);
    after.remove_prefix(std::min(after.find_first_not_of(' '), after.size()));
    const auto status = whole_number(after.substr(0, after.find(' ')));
    if (method_end == std::string_view::npos || path_end == std::string_view::npos || !status)
        return std::nullopt;
    std::string_view path = request.substr(method_end + 1, path_end - method_end - 1);
    path = path.substr(0, path.find('?'));
    return access{request.substr(0, method_end), path, *status};
}

// The version of a path ending in "/<N>/<leaf>", with N a positive whole number.
std::optional<std::int32_t> version_before(std::string_view path, std::string_view leaf) {
    if (path.size() <= leaf.size() || !path.ends_with(leaf) ||
        path[path.size() - leaf.size() - 1] != '/')
        return std::nullopt;
    path.remove_suffix(leaf.size() + 1);
    const auto number = whole_number(path.substr(path.rfind('/') + 1));
    if (!number || *number < 1)
        return std::nullopt;
    return static_cast<std::int32_t>(*number);
}

// "/.../health/<N>/restored": the version that was restored from.
std::optional<std::int32_t> restored_version(std::string_view path) {
    const auto version = version_before(path, "restored");
    if (!version)
        return std::nullopt;
    const std::string_view folder =
        path.substr(0, path.size() - std::string_view("restored").size() - 1);
    return folder.substr(0, folder.rfind('/')).ends_with("/health") ? version : std::nullopt;
}

} // namespace

double version_health::restored_percent() const {
    return record_requests == 0
               ? 0.0
               : 100.0 * static_cast<double>(restores) / static_cast<double>(record_requests);
}

void count_access_line(std::string_view line, health_by_version& counts) {
    const auto seen = access_of(line);
    if (!seen || seen->method != "GET")
        return;
    if (const auto restored = restored_version(seen->path))
        ++counts[*restored].restores;
    else if (const auto version = version_before(seen->path, "versioninfo.vif");
             version && seen->status >= 200 && seen->status < 400)
        ++counts[*version].record_requests;
}

health_by_version count_access_logs(const std::vector<std::filesystem::path>& logs) {
    health_by_version counts;
    for (const auto& log : logs) {
        std::ifstream in(log, std::ios::binary);
        if (!in)
            throw std::runtime_error("cannot read " + log.string());
        for (std::string line; std::getline(in, line);)
            count_access_line(line, counts);
        if (in.bad())
            throw std::runtime_error("cannot read " + log.string());
    }
    return counts;
}
