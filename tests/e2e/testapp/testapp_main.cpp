// qm_testapp: the application that the launcher starts in the end-to-end tests.
// It opens no window; it appends one JSON line with its command line and current
// directory to started.txt beside its own executable, and exits with 0. The files
// of the release beside it tell it more: with crash.txt it then ends by an access
// violation, as a release that breaks the application does; with confirm.txt it
// runs quillomark.exe --healthy, as an application that checks itself does.

#include "text.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::string json_string(const std::wstring& text) {
    std::string quoted = "\"";
    for (const char c : to_utf8(text)) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

std::wstring current_directory() {
    std::wstring directory(GetCurrentDirectoryW(0, nullptr), L'\0');
    directory.resize(GetCurrentDirectoryW(static_cast<DWORD>(directory.size()), directory.data()));
    return directory;
}

std::wstring beside_self(const wchar_t* name) {
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return path.substr(0, path.find_last_of(L'\\') + 1) + name;
}

bool release_has(const wchar_t* name) {
    return GetFileAttributesW(beside_self(name).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Ends the process with the exception's code, as Windows does for an unhandled
// exception, without the debugger that Wine would start.
LONG WINAPI end_with_exception_code(EXCEPTION_POINTERS* exception) {
    TerminateProcess(GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
    return EXCEPTION_CONTINUE_SEARCH;
}

void crash() {
    SetUnhandledExceptionFilter(end_with_exception_code);
    *static_cast<volatile int*>(nullptr) = 1;
}

void confirm_health() {
    std::wstring command = L"\"" + beside_self(L"quillomark.exe") + L"\" --healthy";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                       &startup, &process)) {
        WaitForSingleObject(process.hProcess, INFINITE);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    const std::string line = "{\"command_line\": " + json_string(GetCommandLineW()) +
                             ", \"cwd\": " + json_string(current_directory()) + "}\n";
    FILE* record = _wfopen(beside_self(L"started.txt").c_str(), L"ab");
    if (!record)
        return 1;
    std::fwrite(line.data(), 1, line.size(), record);
    if (std::fclose(record) != 0)
        return 1;
    if (release_has(L"crash.txt"))
        crash();
    if (release_has(L"confirm.txt"))
        confirm_health();
    return 0;
}
