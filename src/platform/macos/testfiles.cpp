// macOS keeps its cache out of the measurement with F_NOCACHE on the written
// and the verified files, invalidates what it still holds of a file before
// the verify pass reads it (F_NOCACHE does not evict pages cached before),
// and puts files on the medium with F_FULLFSYNC, as fsync leaves them in the
// drive's cache.
#include "platform/testfiles.h"

#include "platform/answers.h"
#include "platform/posix/posix.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace posix {

void startwriting(int fd)
{
    fcntl(fd, F_NOCACHE, 1);
}

bool startverifying(int fd)
{
    fcntl(fd, F_NOCACHE, 1);
    struct stat status;
    if (fstat(fd, &status) != 0 || status.st_size == 0)
        return true;
    const auto size = static_cast<std::size_t>(status.st_size);
    void* mapping = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (mapping == MAP_FAILED)
        return true;
    msync(mapping, size, MS_INVALIDATE);
    munmap(mapping, size);
    return true;
}

void stopusing(int) {}

bool tomedium(int fd)
{
    // Some file systems know no F_FULLFSYNC (SMB shares); fsync is all they
    // have. fcntl(2) names no error for them: the system's default for a
    // request a file system lacks is ENOTSUP, a file system's own is ENOTTY,
    // and EINVAL is named for other requests only. After any other error,
    // EIO above all, data may be lost, and a later fsync must not hide it.
    if (fcntl(fd, F_FULLFSYNC) == 0)
        return true;
    return answers::notsupported(errno) && fsync(fd) == 0;
}

} // namespace posix

// With F_NOCACHE every write goes on to the medium before it returns.
bool writebehind(filehandle, std::uint64_t)
{
    return true;
}
