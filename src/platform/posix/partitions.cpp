// The formatting tools of Linux and macOS, run with nothing on their
// standard input and what they write gathered.
#include "platform/partitions.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

// macOS's headers do not declare it.
extern char** environ; // NOLINT(readability-redundant-declaration)

namespace {

// Starts arguments with its output into the pipe's end out; the process, or
// -1 with errno set.
pid_t start(const std::vector<std::string>& arguments, int out)
{
    std::vector<char*> argv(arguments.size() + 1, nullptr);
    std::transform(arguments.begin(), arguments.end(), argv.begin(),
                   [](const std::string& argument) { return const_cast<char*>(argument.c_str()); });
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out, STDERR_FILENO);
    pid_t process = -1;
    int error = posix_spawnp(&process, argv[0], &actions, nullptr, argv.data(), environ);
    // The formatting tools lie in the administrator's directories, which a
    // root shell's search path may lack.
    for (const char* directory : {"/usr/sbin/", "/sbin/"}) {
        if (error != ENOENT || arguments[0].find('/') != std::string::npos)
            break;
        const std::string path = directory + arguments[0];
        error = posix_spawn(&process, path.c_str(), &actions, nullptr, argv.data(), environ);
    }
    posix_spawn_file_actions_destroy(&actions);
    errno = error;
    return error == 0 ? process : -1;
}

} // namespace

toolrun runtool(const std::vector<std::string>& arguments)
{
    toolrun run;
    int ends[2];
    if (arguments.empty() || pipe(ends) != 0)
        return run;
    fcntl(ends[0], F_SETFD, FD_CLOEXEC);
    fcntl(ends[1], F_SETFD, FD_CLOEXEC);
    const pid_t process = start(arguments, ends[1]);
    close(ends[1]);
    run.started = process > 0;
    char buffer[4096];
    for (ssize_t got; run.started && (got = read(ends[0], buffer, sizeof buffer)) != 0;)
        if (got > 0)
            run.output.append(buffer, static_cast<std::size_t>(got));
        else if (errno != EINTR)
            break;
    close(ends[0]);
    int status = 0;
    while (run.started && waitpid(process, &status, 0) < 0 && errno == EINTR) {
    }
    if (run.started)
        run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}
