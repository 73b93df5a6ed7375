#pragma once
// quillomark-publish health: what the static server's access logs tell of releases
// that break the application. A launcher stamped to report sends, after it put the
// previous version back, one request of <base>health/N/restored, which the server
// answers 404 and logs; every launcher that takes or runs version N asks for
// N/versioninfo.vif. Restores among those requests show a bad release without a
// server of the publisher's own.

#include <cstdint>
#include <filesystem>
#include <map>
#include <string_view>
#include <vector>

struct version_health {
    std::uint64_t restores = 0;
    std::uint64_t record_requests = 0; // answered requests of N/versioninfo.vif

    // Restores per hundred record requests; 0 without requests.
    double restored_percent() const;
};

using health_by_version = std::map<std::int32_t, version_health>;

// Counts one access log line, in nginx's default format or S3's server access log
// format: both give the request line as the first quoted field and the status after
// it. Lines of any other form, other requests and other methods are left out.
void count_access_line(std::string_view line, health_by_version& counts);

// Every line of every log; throws std::runtime_error for a log that cannot be read.
health_by_version count_access_logs(const std::vector<std::filesystem::path>& logs);
