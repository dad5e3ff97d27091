// What Linux and macOS do alike with an open device: I/O through the
// descriptor, which no cache of the system stands in front of.
#include "platform/blockdevice.h"

#include "platform/posix/posix.h"

#include <string>
#include <sys/stat.h>
#include <unistd.h>

bool readdevice(devicehandle device, std::uint64_t offset, unsigned char* data, std::size_t size)
{
    return posix::readat(static_cast<int>(device), offset, data, size);
}

bool writedevice(devicehandle device, std::uint64_t offset, const unsigned char* data, std::size_t size)
{
    return posix::writeat(static_cast<int>(device), offset, data, size);
}

void closedevice(devicehandle device)
{
    close(static_cast<int>(device));
}

bool reopendevice(devicehandle*)
{
    // Direct I/O never leaves the device's data in the system's cache.
    return true;
}

std::string devicekey(const char* path)
{
    // macOS gives /dev/disk4 and /dev/rdisk4 the same number, as it should.
    struct stat status;
    if (stat(path, &status) != 0)
        return path;
    if (S_ISBLK(status.st_mode) || S_ISCHR(status.st_mode))
        return "device " + std::to_string(status.st_rdev);
    return "file " + std::to_string(status.st_dev) + " " + std::to_string(status.st_ino);
}
