#include "publish_platform.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

std::filesystem::path argument_path(const std::string& text) {
    return text;
}

std::filesystem::path system_usable_path(const std::filesystem::path& path) {
    return path;
}

void walk_directory(const std::filesystem::path& directory,
                    const std::function<bool(const found_entry&)>& visit) {
    namespace fs = std::filesystem;
    for (auto entry = fs::recursive_directory_iterator(directory);
         entry != fs::recursive_directory_iterator(); ++entry) {
        found_entry found{entry->path(), entry->path().lexically_relative(directory)};
        if (entry->is_directory())
            found.type = found_entry::kind::directory;
        else if (entry->is_regular_file()) {
            found.type = found_entry::kind::file;
            found.size = entry->file_size();
        }
        if (!visit(found))
            entry.disable_recursion_pending();
    }
}

void use_utf8_console() {}

bool standard_error_is_terminal() {
    return ::isatty(STDERR_FILENO) == 1;
}

unsigned long process_id() {
    return static_cast<unsigned long>(::getpid());
}

std::uint64_t physical_memory_bytes() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGE_SIZE);
    return pages > 0 && page_size > 0
               ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size)
               : 0;
}

private_file_outcome write_private_file(const std::filesystem::path& path,
                                        const std::string& content) {
    const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (descriptor < 0)
        return errno == EEXIST ? private_file_outcome::exists : private_file_outcome::not_created;
    const bool written =
        ::write(descriptor, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    return ::close(descriptor) == 0 && written ? private_file_outcome::written
                                               : private_file_outcome::not_written;
}

bool program_on_path(const std::string& name) {
    const char* path = std::getenv("PATH");
    for (std::string_view rest = path ? path : ""; !rest.empty();) {
        const std::size_t colon = std::min(rest.find(':'), rest.size());
        const std::filesystem::path candidate = std::filesystem::path(rest.substr(0, colon)) / name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return true;
        rest.remove_prefix(std::min(colon + 1, rest.size()));
    }
    return false;
}

std::optional<int> run_program(const std::vector<std::string>& arguments) {
    std::vector<std::string> copies = arguments;
    std::vector<char*> argv;
    for (auto& argument : copies)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);
    pid_t child = 0;
    const int started = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (started != 0)
        return std::nullopt;
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::filesystem::path installed_template_file() {
    std::error_code error;
    const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
    return program.parent_path().parent_path() / "share" / "quillomark-publish" / "quillomark.exe";
}
