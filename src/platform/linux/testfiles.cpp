// Linux keeps the page cache out of the measurement: the write pass sends
// its data on behind the writer (sync_file_range), the verify pass drops
// what is cached of a file, and of the device beneath a FUSE file system,
// whose daemon reads and writes through the kernel's cache of its device.
#include "platform/testfiles.h"

#include "platform/linux/linux.h"
#include "platform/posix/posix.h"

#include <algorithm>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

namespace {

// The write pass sends each MiB on to the medium as soon as it is written and
// waits for the one written 8 MiB before it: enough in flight for a fast disk,
// little enough that a slow card's progress follows the card.
constexpr std::uint64_t writebehindsteps = 8;

constexpr long fusemagic = 0x65735546;

// Files being written on a FUSE file system, with the device it was mounted
// from, open for its write-back (-1 where it cannot be opened).
std::map<int, int> onfuse;

// The block device that the file system of fd was mounted from, open
// read-only, never for a write; -1 where there is none or it cannot be opened
// (not root).
int openmountdevice(int fd)
{
    struct stat file;
    if (fstat(fd, &file) != 0)
        return -1;
    const std::string numbers = linuxsystem::devicenumbers(file.st_dev);
    const std::vector<names::mountline> mounts = linuxsystem::mounts();
    auto mounted = std::find_if(mounts.begin(), mounts.end(), [&numbers](const names::mountline& line) {
        return line.devicenumbers == numbers;
    });
    if (mounted == mounts.end() || mounted->source.empty() || mounted->source[0] != '/')
        return -1;
    int device = open(mounted->source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat status;
    if (device >= 0 && (fstat(device, &status) != 0 || !S_ISBLK(status.st_mode))) {
        close(device);
        return -1;
    }
    return device;
}

} // namespace

namespace posix {

void startwriting(int fd)
{
    struct statfs filesystem;
    if (fstatfs(fd, &filesystem) == 0 && filesystem.f_type == fusemagic)
        onfuse[fd] = openmountdevice(fd);
}

bool startverifying(int fd)
{
    // Write back what is still dirty, then drop the clean pages, of the file
    // and then of the device beneath it. Errors are of no consequence: a
    // block the medium lost shows up as a data error. Beneath a FUSE file
    // system whose device is not known (fusefat names none) or cannot be
    // opened, the daemon's reads may come from the device's cache.
    fdatasync(fd);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    int device = openmountdevice(fd);
    if (device < 0) {
        struct statfs filesystem;
        return fstatfs(fd, &filesystem) != 0 || filesystem.f_type != fusemagic;
    }
    fsync(device);
    posix_fadvise(device, 0, 0, POSIX_FADV_DONTNEED);
    close(device);
    return true;
}

void stopusing(int fd)
{
    auto fuse = onfuse.find(fd);
    if (fuse == onfuse.end())
        return;
    if (fuse->second >= 0)
        close(fuse->second);
    onfuse.erase(fuse);
}

bool tomedium(int fd)
{
    return fdatasync(fd) == 0;
}

} // namespace posix

bool writebehind(filehandle file, std::uint64_t written)
{
    if (written % writebehindstep != 0)
        return true;
    const int fd = static_cast<int>(file);
    auto step = static_cast<off_t>(written - writebehindstep);
    if (sync_file_range(fd, step, writebehindstep, SYNC_FILE_RANGE_WRITE) != 0)
        return false;
    off_t waited = step - static_cast<off_t>(writebehindsteps * writebehindstep);
    if (waited >= 0 && sync_file_range(fd, waited, writebehindstep,
                                       SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                                           SYNC_FILE_RANGE_WAIT_AFTER) != 0)
        return false;
    auto fuse = onfuse.find(fd);
    if (fuse == onfuse.end())
        return true;
    // Beneath FUSE the data wait in the cache of the device: wait for what
    // went on to it at the last step and send on what came since; without
    // the device, the daemon flushes it at each step.
    if (fuse->second >= 0)
        return sync_file_range(fuse->second, 0, 0, SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE) == 0;
    return fdatasync(fd) == 0;
}
