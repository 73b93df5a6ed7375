#include "tool_process.h"

#include "scratch.h"
#include "win_handles.h"

#include <stdexcept>

namespace {

// Every argument in one pair of double quotes, as the launcher passes paths.
std::wstring command_line(const std::vector<std::string>& arguments) {
    std::wstring line;
    for (const std::string& argument : arguments)
        line += (line.empty() ? L"\"" : L" \"") + utf8_path(argument).wstring() + L"\"";
    return line;
}

std::string read_until_closed(HANDLE pipe,
                              const std::function<void(const std::string&)>& on_output) {
    std::string output;
    char buffer[4096];
    DWORD count = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &count, nullptr) && count > 0) {
        output.append(buffer, count);
        if (on_output)
            on_output(output);
    }
    return output;
}

} // namespace

tool_result run_tool(const std::vector<std::string>& arguments,
                     const std::function<void(const std::string&)>& on_output) {
    SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inheritable, 0))
        throw std::runtime_error("CreatePipe failed");
    const kernel_handle output_reader(read_end);
    kernel_handle output_writer(write_end);
    SetHandleInformation(output_reader.get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output_writer.get();
    startup.hStdError = output_writer.get();
    PROCESS_INFORMATION process{};
    std::wstring line = command_line(arguments);
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &startup, &process))
        throw std::runtime_error("cannot start " + arguments[0]);
    const kernel_handle process_handle(process.hProcess);
    const kernel_handle thread_handle(process.hThread);
    output_writer.reset();

    tool_result result{-1, read_until_closed(output_reader.get(), on_output)};
    WaitForSingleObject(process_handle.get(), INFINITE);
    DWORD exit_code = 0;
    GetExitCodeProcess(process_handle.get(), &exit_code);
    result.exit_status = static_cast<int>(exit_code);
    return result;
}
