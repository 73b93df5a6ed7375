#include "publish_platform.h"

#include "long_paths.h"
#include "own_resource.h"
#include "platform.h"
#include "utf8.h"
#include "win_handles.h"

#include <fcntl.h>
#include <io.h>
#include <sddl.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// One argument as CommandLineToArgvW and the C runtime read it back: in double
// quotes, a quote escaped, and backslashes doubled where a quote follows them.
std::wstring quoted_argument(const std::wstring& argument) {
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

std::wstring found_on_path(const std::string& name) {
    wchar_t found[MAX_PATH];
    const DWORD length =
        SearchPathW(nullptr, utf8_to_wide(name).c_str(), L".exe", MAX_PATH, found, nullptr);
    return length > 0 && length < MAX_PATH ? std::wstring(found, length) : std::wstring();
}

// The SID of the user this process runs as, as text ("S-1-5-21-..."); empty when it
// cannot be told.
std::wstring own_user_sid() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return {};
    const kernel_handle owned_token(token);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> buffer(size);
    wchar_t* text = nullptr;
    if (size == 0 || !GetTokenInformation(token, TokenUser, buffer.data(), size, &size) ||
        !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text))
        return {};
    std::wstring sid(text);
    LocalFree(text);
    return sid;
}

// The size of the file a link leads to; none when it leads nowhere.
std::optional<std::uint64_t> linked_file_size(const std::wstring& path) {
    const file_handle file(CreateFileW(path.c_str(), 0,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size))
        return std::nullopt;
    return static_cast<std::uint64_t>(size.QuadPart);
}

void describe_entry(const std::wstring& full_path, const WIN32_FILE_ATTRIBUTE_DATA& data,
                    found_entry& entry) {
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        entry.type = found_entry::kind::directory;
    } else if (!(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        entry.type = found_entry::kind::file;
        entry.size = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
    } else if (const auto size = linked_file_size(full_path)) {
        entry.type = found_entry::kind::file;
        entry.size = *size;
    }
}

// Through support's listing, on "\\?\" paths: the C runtime's directory listing,
// under std::filesystem's iterators, cannot list a directory whose path passes
// MAX_PATH.
void walk_below(const std::wstring& full_directory, const std::filesystem::path& directory,
                const std::filesystem::path& relative,
                const std::function<bool(const found_entry&)>& visit) {
    const std::error_code error =
        list_directory(full_directory, [&](const std::wstring& full_path) {
            const std::filesystem::path name = std::filesystem::path(full_path).filename();
            found_entry entry{system_usable_path(directory / relative / name), relative / name};
            WIN32_FILE_ATTRIBUTE_DATA data{};
            if (GetFileAttributesExW(full_path.c_str(), GetFileExInfoStandard, &data))
                describe_entry(full_path, data, entry);
            const bool link = data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT;
            if (visit(entry) && entry.type == found_entry::kind::directory && !link)
                walk_below(full_path, directory, entry.relative, visit);
        });
    if (error)
        throw std::filesystem::filesystem_error("cannot list the directory", directory / relative,
                                                error);
}

} // namespace

std::filesystem::path argument_path(const std::string& text) {
    return system_usable_path(utf8_path(text));
}

std::filesystem::path system_usable_path(const std::filesystem::path& path) {
    std::wstring text = path.native();
    if (text.starts_with(L"\\\\?\\")) {
        std::replace(text.begin(), text.end(), L'/', L'\\');
        return text;
    }
    std::error_code error;
    const std::wstring absolute = std::filesystem::absolute(path, error).native();
    if (error || absolute.size() <= longest_plain_path)
        return path;
    return with_long_path_prefix(absolute);
}

void use_utf8_console() {
    SetConsoleOutputCP(CP_UTF8);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

bool standard_error_is_terminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

unsigned long process_id() {
    return GetCurrentProcessId();
}

std::uint64_t physical_memory_bytes() {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    return GlobalMemoryStatusEx(&status) ? status.ullTotalPhys : 0;
}

// Reading, writing and removing for this user and nobody else, inherited from nowhere: what mode
// 0600 is on Linux.
private_file_outcome write_private_file(const std::filesystem::path& path,
                                        const std::string& content) {
    const std::wstring user = own_user_sid();
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (user.empty() ||
        !ConvertStringSecurityDescriptorToSecurityDescriptorW(
            (L"D:P(A;;FRFWSD;;;" + user + L")").c_str(), SDDL_REVISION_1, &descriptor, nullptr))
        return private_file_outcome::not_created;
    SECURITY_ATTRIBUTES security{sizeof security, descriptor, FALSE};
    const file_handle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, &security, CREATE_NEW,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    const DWORD error = GetLastError();
    LocalFree(descriptor);
    if (!file)
        return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS
                   ? private_file_outcome::exists
                   : private_file_outcome::not_created;
    DWORD written = 0;
    const bool complete = WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()),
                                    &written, nullptr) &&
                          written == content.size();
    return complete && FlushFileBuffers(file.get()) ? private_file_outcome::written
                                                    : private_file_outcome::not_written;
}

bool program_on_path(const std::string& name) {
    return !found_on_path(name).empty();
}

std::optional<int> run_program(const std::vector<std::string>& arguments) {
    const std::wstring program = found_on_path(arguments.front());
    if (program.empty())
        return std::nullopt;
    std::wstring command_line;
    for (const std::string& argument : arguments)
        command_line +=
            (command_line.empty() ? L"" : L" ") + quoted_argument(utf8_to_wide(argument));
    std::fflush(stdout);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = startup.hStdOutput;
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        nullptr, &startup, &started))
        return std::nullopt;
    const kernel_handle process(started.hProcess);
    const kernel_handle thread(started.hThread);
    DWORD status = 1;
    WaitForSingleObject(process.get(), INFINITE);
    GetExitCodeProcess(process.get(), &status);
    return static_cast<int>(status);
}

std::filesystem::path installed_template_file() {
    return std::filesystem::path(own_executable_path()).parent_path() / "quillomark.exe";
}

void walk_directory(const std::filesystem::path& directory,
                    const std::function<bool(const found_entry&)>& visit) {
    std::filesystem::path full = std::filesystem::absolute(directory);
    std::wstring top = system_usable_path(full.make_preferred()).native();
    while (top.size() > 3 && top.back() == L'\\')
        top.pop_back();
    walk_below(top, directory, {}, visit);
}
