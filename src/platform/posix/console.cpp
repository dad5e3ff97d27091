#include "platform/console.h"

#include "platform/process.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

void openstandardstreams()
{
    // Each open takes the lowest free descriptor, which is the closed one.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF && open("/dev/null", O_RDWR) != fd)
            return;
}

void setupconsole() {}

int terminalcolumns()
{
    // An editor's shell buffer says TERM=dumb: it shows every rewrite anew.
    const char* term = std::getenv("TERM");
    if (!isatty(STDOUT_FILENO) || (term != nullptr && std::strcmp(term, "dumb") == 0))
        return 0;
    // A terminal that does not tell its width is taken as the classic one.
    winsize size;
    return ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}

int terminalrows()
{
    if (terminalcolumns() == 0)
        return 0;
    // A terminal that does not tell its height is taken as the classic one.
    winsize size;
    return ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 ? size.ws_row : 24;
}

bool inputfromterminal()
{
    return isatty(STDIN_FILENO) != 0;
}

std::string typedline()
{
    // A byte at a time, so that nothing typed for a later question is taken,
    // and between bytes a look whether a stop was asked for: the handler
    // restarts the reads it interrupts.
    std::string typed;
    while (typed.size() < 512 && !stoprequested()) {
        pollfd input{STDIN_FILENO, POLLIN, 0};
        if (poll(&input, 1, 100) <= 0)
            continue;
        char byte;
        const ssize_t got = read(STDIN_FILENO, &byte, 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0 || byte == '\n')
            break;
        typed += byte;
    }
    if (stoprequested())
        return "";
    while (!typed.empty() && typed.back() == '\r')
        typed.pop_back();
    return typed;
}
