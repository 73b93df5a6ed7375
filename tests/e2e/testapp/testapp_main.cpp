// qm_testapp: the application that the launcher starts in the end-to-end tests.
// It opens no window; it appends one JSON line with its command line and current
// directory to started.txt beside its own executable, and exits with 0.

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

std::wstring record_path() {
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return path.substr(0, path.find_last_of(L'\\') + 1) + L"started.txt";
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    const std::string line = "{\"command_line\": " + json_string(GetCommandLineW()) +
                             ", \"cwd\": " + json_string(current_directory()) + "}\n";
    FILE* record = _wfopen(record_path().c_str(), L"ab");
    if (!record)
        return 1;
    std::fwrite(line.data(), 1, line.size(), record);
    return std::fclose(record) == 0 ? 0 : 1;
}
