#include "test_server.h"

#include "scratch.h"

#include <cstdlib>
#include <sstream>

namespace {

std::string server_state() {
    const char* state = std::getenv("QM_TRANSFER_SERVER");
    return state != nullptr ? state : "";
}

int server_port(int host) {
    std::istringstream ports(read_bytes(server_state() + "/ports"));
    int first = 0;
    int second = 0;
    ports >> first >> second;
    return host == 2 ? second : first;
}

std::string recorded_path(int number) {
    return server_state() + "/requests/" + current_test_id() + "/" + std::to_string(number);
}

} // namespace

std::string sample_content(long size) {
    std::string content(static_cast<size_t>(size), '\0');
    for (long i = 0; i < size; ++i)
        content[static_cast<size_t>(i)] = static_cast<char>((i * 7 + i / 251) & 0xff);
    return content;
}

std::string current_test_id() {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string(test->test_suite_name()) + "." + test->name();
}

std::string sample_url(long size, const std::string& rules, int host) {
    return "http://127.0.0." + std::to_string(host) + ":" + std::to_string(server_port(host)) +
           "/pattern-" + std::to_string(size) + ".bin?id=" + current_test_id() +
           (rules.empty() ? "" : "&" + rules);
}

std::vector<recorded_request> recorded_requests() {
    std::vector<recorded_request> requests;
    for (int number = 0; std::filesystem::exists(recorded_path(number)); ++number) {
        const std::string record = read_bytes(recorded_path(number));
        const auto line_end = record.find('\n');
        requests.push_back({std::stoi(record.substr(record.find(' ') + 1, line_end)),
                            record.substr(line_end + 1)});
    }
    return requests;
}
