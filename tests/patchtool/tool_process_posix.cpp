#include "tool_process.h"

#include <stdexcept>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

tool_result run_tool(const std::vector<std::string>& arguments,
                     const std::function<void(const std::string&)>& on_output) {
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0)
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipe_ends[0]);
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t child = 0;
    const int spawned = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_ends[1]);
    tool_result result{-1, {}};
    char buffer[4096];
    for (ssize_t count; (count = read(pipe_ends[0], buffer, sizeof buffer)) > 0;) {
        result.output.append(buffer, static_cast<std::size_t>(count));
        if (on_output)
            on_output(result.output);
    }
    close(pipe_ends[0]);
    if (spawned != 0)
        throw std::runtime_error("cannot start " + arguments[0]);
    int status = 0;
    waitpid(child, &status, 0);
    result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}
