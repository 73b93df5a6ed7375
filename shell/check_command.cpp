#include "check_command.h"

#include "installation_layout.h"
#include "logfile.h"
#include "own_resource.h"
#include "update_engine.h"

#include <windows.h>

#include <string>

namespace {

constexpr int current_exit_code = 0;
constexpr int failed_exit_code = 1;
constexpr int available_exit_code = 10;
constexpr int prepared_exit_code = 11;

struct check_answer {
    std::string line;
    int exit_code;
};

const char* fault_reason(release_fault fault) {
    switch (fault) {
    case release_fault::master_not_received:
    case release_fault::record_not_received:
        return "no answer";
    case release_fault::proxy_sign_in:
        return "proxy sign-in";
    case release_fault::master_refused:
    case release_fault::record_refused:
        return "refused signature";
    case release_fault::master_expired:
        return "expired record";
    case release_fault::older_version:
        return "older version";
    case release_fault::master_damaged:
    case release_fault::master_without_version:
    case release_fault::record_damaged:
        break;
    }
    return "damaged record";
}

check_answer answer_for(const release_check& check) {
    switch (check.result) {
    case release_check::outcome::current:
        return {"current " + std::to_string(check.version), current_exit_code};
    case release_check::outcome::available:
        return {"available " + std::to_string(check.version), available_exit_code};
    case release_check::outcome::prepared:
        return {"prepared " + std::to_string(check.version), prepared_exit_code};
    case release_check::outcome::failed:
        break;
    }
    return {std::string("failed ") + fault_reason(check.fault), failed_exit_code};
}

check_answer check_installation(const parsed_launcher_config& settings) {
    if (!settings.config) {
        log_error("Settings record unusable: " + settings.fault);
        return {"failed damaged settings", failed_exit_code};
    }
    try {
        CUpdater updater;
        updater.trust(*settings.config);
        return answer_for(updater.check_release(settings.config->base_url, own_executable_path()));
    } catch (const std::exception& error) {
        log_error(std::string("Check ended by an unexpected error: ") + error.what());
        return {"failed unexpected error", failed_exit_code};
    }
}

// A GUI program has no console: the line goes to the pipe or file that the caller
// gave as standard output, and nowhere otherwise.
void write_to_standard_output(const std::string& line) {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!output || output == INVALID_HANDLE_VALUE)
        return;
    const DWORD type = GetFileType(output);
    if (type != FILE_TYPE_PIPE && type != FILE_TYPE_DISK)
        return;
    const std::string text = line + "\r\n";
    DWORD written = 0;
    if (!WriteFile(output, text.data(), static_cast<DWORD>(text.size()), &written, nullptr))
        log_error("Check answer not written to standard output (error " +
                  std::to_string(GetLastError()) + ")");
}

} // namespace

int run_check(const parsed_launcher_config& settings) {
    log_open(prepare_log_file_name);
    log_info("Quillomark Check Start");
    const check_answer answer = check_installation(settings);
    log_info("Check: " + answer.line);
    write_to_standard_output(answer.line);
    log_info("Quillomark Check End");
    return answer.exit_code;
}
