// The read and write loops and the regular-file test that files and
// devices share.
#include "platform/posix/posix.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

// The offsets reach the end of the largest card. Where off_t is 32 bits
// wide (32-bit ARM without _FILE_OFFSET_BITS=64), the casts below would
// silently cut them, and every probe above 2 GiB would fail or land near
// the start.
static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64: device offsets need a 64-bit off_t");

namespace posix {

bool regularfile(int fd, struct stat& status)
{
    return fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
           fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0;
}

bool readat(int fd, std::uint64_t offset, unsigned char* data, std::size_t size)
{
    while (size > 0) {
        ssize_t got = pread(fd, data, size, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        data += got;
        offset += static_cast<std::uint64_t>(got);
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

bool writeat(int fd, std::uint64_t offset, const unsigned char* data, std::size_t size)
{
    while (size > 0) {
        ssize_t put = pwrite(fd, data, size, static_cast<off_t>(offset));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        data += put;
        offset += static_cast<std::uint64_t>(put);
        size -= static_cast<std::size_t>(put);
    }
    return true;
}

} // namespace posix
