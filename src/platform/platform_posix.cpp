// POSIX half of the platform layer.
#include "platform/platform.h"

#include <cstdlib>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr std::int64_t nanosecondspersecond = 1000000000;
constexpr std::size_t bufferalignment = 4096;

} // namespace

bool QueryPerformanceFrequency(std::int64_t* frequency)
{
    timespec resolution;
    if (clock_getres(CLOCK_MONOTONIC, &resolution) != 0)
        return false;
    *frequency = nanosecondspersecond;
    return true;
}

bool QueryPerformanceCounter(std::int64_t* count)
{
    timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return false;
    *count = now.tv_sec * nanosecondspersecond + now.tv_nsec;
    return true;
}

void setupconsole() {}

unsigned char* allocbuffer(std::size_t size)
{
    return static_cast<unsigned char*>(std::aligned_alloc(bufferalignment, size));
}

filehandle createfile(const char* name)
{
    return open(name, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
}

filehandle openfile(const char* name)
{
    int fd = open(name, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nofile;
    // Write back what is still dirty, then drop the clean pages. Errors are
    // of no consequence: a block the medium lost shows up as a data error.
    fdatasync(fd);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    return fd;
}

bool writefile(filehandle file, const unsigned char* data, std::size_t size)
{
    return write(static_cast<int>(file), data, size) == static_cast<ssize_t>(size);
}

bool readfile(filehandle file, unsigned char* data, std::size_t size)
{
    while (size > 0) {
        ssize_t got = read(static_cast<int>(file), data, size);
        if (got <= 0)
            return false;
        data += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

bool closefile(filehandle file)
{
    return close(static_cast<int>(file)) == 0;
}

void abnormalend()
{
    static constexpr char notice[] = "\r\nabnormal program termination\r\n";
    ssize_t ignored = write(STDERR_FILENO, notice, sizeof notice - 1);
    (void)ignored;
    _exit(3);
}
