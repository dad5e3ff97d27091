#include "platform/process.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
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
    return std::strerror(errno);
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
