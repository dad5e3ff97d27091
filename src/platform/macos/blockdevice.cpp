// A whole disk on macOS: /dev/diskN given is read and written through its raw
// node /dev/rdiskN, held with O_EXLOCK, which a mounted disk refuses; its
// size comes from the disk driver, its name from diskutil, and its own cache
// is flushed after writing where the driver knows how.
#include "platform/blockdevice.h"

#include "platform/answers.h"
#include "platform/macos/macos.h"
#include "platform/names.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The requests of <sys/disk.h>, which not every SDK ships: _IO('d', 22),
// _IOR('d', 24, uint32_t), _IOR('d', 25, uint64_t), _IOR('d', 73, uint64_t)
// and _IOR('d', 77, uint32_t).
constexpr unsigned long request(unsigned long direction, char group, unsigned long number, std::size_t length)
{
    return direction | (static_cast<unsigned long>(length & 0x1fff) << 16) |
           (static_cast<unsigned long>(group) << 8) | number;
}
constexpr unsigned long nodata = 0x20000000, out = 0x40000000;
constexpr unsigned long synchronizecache = request(nodata, 'd', 22, 0);
constexpr unsigned long getblocksize = request(out, 'd', 24, sizeof(std::uint32_t));
constexpr unsigned long getblockcount = request(out, 'd', 25, sizeof(std::uint64_t));
constexpr unsigned long getbase = request(out, 'd', 73, sizeof(std::uint64_t));
constexpr unsigned long getphysicalblocksize = request(out, 'd', 77, sizeof(std::uint32_t));
static_assert(synchronizecache == 0x20006416, "DKIOCSYNCHRONIZECACHE");
static_assert(getblocksize == 0x40046418, "DKIOCGETBLOCKSIZE");
static_assert(getblockcount == 0x40086419, "DKIOCGETBLOCKCOUNT");
static_assert(getbase == 0x40086449, "DKIOCGETBASE");
static_assert(getphysicalblocksize == 0x4004644d, "DKIOCGETPHYSICALBLOCKSIZE");

// What diskutil writes out for arguments; empty when it cannot be run or
// fails.
std::string diskutil(const std::string& arguments)
{
    std::string output;
    std::FILE* pipe = popen(("/usr/sbin/diskutil " + arguments + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr)
        return output;
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        output.append(buffer, got);
    if (pclose(pipe) != 0)
        output.clear();
    return output;
}

devicehandle refuse(deviceinfo* info, refusal why)
{
    info->why = why;
    info->reason = std::strerror(errno);
    return devicehandle::none;
}

} // namespace

namespace macsystem {

// The system mounts APFS volumes from a disk it makes up for their
// container, which only diskutil ties to the disk; without diskutil, only
// slices of the disk itself are seen.
std::string mountpointof(int disk)
{
    std::vector<names::apfscontainer> containers;
    names::parsecontainers(diskutil("list -plist"), &containers);
    struct statfs* mounts = nullptr;
    const int count = getmntinfo(&mounts, MNT_NOWAIT);
    for (int index = 0; index < count; index++)
        if (names::liesondisk(mounts[index].f_mntfromname, disk, containers))
            return mounts[index].f_mntonname;
    return "";
}

bool extentof(const std::string& slice, std::uint64_t* first, std::uint64_t* size)
{
    const int fd = open(slice.c_str(), O_RDONLY | O_CLOEXEC);
    std::uint32_t blocksize = 0;
    std::uint64_t blockcount = 0;
    const bool told = fd >= 0 && ioctl(fd, getbase, first) == 0 && ioctl(fd, getblocksize, &blocksize) == 0 &&
                      ioctl(fd, getblockcount, &blockcount) == 0;
    if (fd >= 0)
        close(fd);
    *size = blockcount * blocksize;
    return told;
}

} // namespace macsystem

devicehandle opendevice(const char* path, deviceinfo* info)
{
    *info = deviceinfo{};
    struct stat status;
    if (stat(path, &status) != 0)
        return refuse(info, errno == ENOENT ? refusal::notfound : refusal::cannotopen);
    names::diskname name;
    if ((!S_ISBLK(status.st_mode) && !S_ISCHR(status.st_mode)) || !names::parsediskname(path, &name))
        return refuse(info, refusal::notblockdevice);
    info->node = names::blockdisk(name.disk);
    if (name.slice != 0) {
        info->whole = info->node;
        return refuse(info, refusal::partition);
    }
    if (std::string mountpoint = macsystem::mountpointof(name.disk); !mountpoint.empty()) {
        info->whole = mountpoint;
        return refuse(info, refusal::mounted);
    }
    int fd = open(names::rawdisk(name.disk).c_str(), O_RDWR | O_EXLOCK | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return refuse(info, errno == EACCES || errno == EPERM ? refusal::notpermitted : refusal::cannotopen);
    std::uint32_t blocksize = 0;
    std::uint64_t blockcount = 0;
    if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0 ||
        ioctl(fd, getblocksize, &blocksize) != 0 || ioctl(fd, getblockcount, &blockcount) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return refuse(info, refusal::cannotopen);
    }
    info->size = blockcount * blocksize;
    info->sectorsize = blocksize;
    std::uint32_t physicalsize = 0;
    if (ioctl(fd, getphysicalblocksize, &physicalsize) == 0)
        info->physicalsize = physicalsize;
    info->identity = names::mediaidentity(diskutil("info -plist " + info->node));
    return static_cast<devicehandle>(fd);
}

bool flushdevice(devicehandle device)
{
    const int fd = static_cast<int>(device);
    // A driver that knows no cache flush says so, many a card reader's with
    // EOPNOTSUPP: nothing is lost. Any other answer is a device in trouble.
    return fsync(fd) == 0 && (ioctl(fd, synchronizecache) == 0 || answers::notsupported(errno));
}
