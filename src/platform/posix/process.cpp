#include "platform/process.h"

#include "platform/answers.h"
#include "platform/names.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Set by the handler on whichever thread the signal lands, read by every
// device's run: lock-free, so that a handler may set it.
std::atomic<int> stopsignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

void rememberstop(int signal)
{
    stopsignal = signal;
}

// Whole pages, so that no cache of the system has to copy what goes to the
// medium unbuffered.
std::size_t bufferalignment()
{
    return std::max<std::size_t>(4096, static_cast<std::size_t>(sysconf(_SC_PAGESIZE)));
}

} // namespace

std::string systemreason()
{
    const int error = errno;
    const std::string german = answers::reason(error);
    return german.empty() ? std::strerror(error) : german;
}

bool privileged()
{
    return geteuid() == 0;
}

void catchstops()
{
    struct sigaction action {};
    action.sa_handler = rememberstop;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        // Started with it ignored (nohup, a background job): it stays so.
        struct sigaction before {};
        if (sigaction(signal, nullptr, &before) == 0 && before.sa_handler == SIG_IGN)
            continue;
        sigaction(signal, &action, nullptr);
    }
    // A reader that went away (| head) must not end a run before it has
    // written back what it overwrote: the write fails, the run goes on.
    std::signal(SIGPIPE, SIG_IGN);
}

bool stoprequested()
{
    return stopsignal != 0;
}

unsigned char* allocbuffer(std::size_t size)
{
    // aligned_alloc takes only whole multiples of the alignment.
    const std::size_t alignment = bufferalignment();
    const std::size_t whole = (size + alignment - 1) / alignment * alignment;
    return static_cast<unsigned char*>(std::aligned_alloc(alignment, whole));
}

void freebuffer(unsigned char* buffer)
{
    std::free(buffer);
}

void abnormalend()
{
    static constexpr char notice[] = "\r\nabnormal program termination\r\n";
    ssize_t ignored = write(STDERR_FILENO, notice, sizeof notice - 1);
    (void)ignored;
    _exit(3);
}

// macOS's headers do not declare it.
extern char** environ; // NOLINT(readability-redundant-declaration)

namespace {

// Starts the system's tool arguments[0] with arguments, its output into the
// pipe's end out; the process, or -1 with errno set.
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
    // As root, a search path could offer a program of the user's in the
    // place of the system's.
    const std::string path = names::systemtool(
        arguments[0], [](const std::string& file) { return access(file.c_str(), X_OK) == 0; });
    const int error =
        path.empty() ? ENOENT : posix_spawn(&process, path.c_str(), &actions, nullptr, argv.data(), environ);
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
