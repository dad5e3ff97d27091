// Linux reads a partition table when asked (BLKRRPART) and shows each
// partition it found as a device of its own, in /sys at once and in /dev as
// soon as the system made its node.
#include "platform/partitions.h"

#include "platform/linux/linux.h"

#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <thread>

namespace {

// The device's directory in /sys, and its numbers; empty where it is gone.
std::string sysof(const deviceinfo& info, dev_t* numbers)
{
    struct stat status;
    if (stat(info.node.c_str(), &status) != 0 || !S_ISBLK(status.st_mode))
        return "";
    *numbers = status.st_rdev;
    return linuxsystem::realname("/sys/dev/block/" + linuxsystem::devicenumbers(status.st_rdev));
}

} // namespace

void rereadpartitions(devicehandle device)
{
    // A device whose partitions the kernel does not read (a loop device
    // without partition scanning) refuses with EINVAL: it shows none.
    ioctl(static_cast<int>(device), BLKRRPART);
}

std::string firstpartitionnode(const deviceinfo& info, std::uint64_t first, std::uint64_t size)
{
    dev_t whole = 0;
    const std::string sys = sysof(info, &whole);
    std::string name;
    if (DIR* directory = opendir(sys.c_str())) {
        while (const dirent* entry = readdir(directory))
            if (entry->d_name[0] != '.' &&
                linuxsystem::firstline(sys + "/" + entry->d_name + "/partition") == "1")
                name = entry->d_name;
        closedir(directory);
    }
    // /sys counts in sectors of 512 bytes, whatever the device's own. A
    // partition elsewhere is the old table's, which the kernel kept (a
    // partition of it in use refuses BLKRRPART).
    const auto bytes = [&](const char* what) {
        return std::strtoull(linuxsystem::firstline(sys + "/" + name + "/" + what).c_str(), nullptr, 10) *
               512;
    };
    if (name.empty() || bytes("start") != first || bytes("size") != size)
        return "";
    std::string node = "/dev/" + name;
    const std::string numbers = linuxsystem::firstline(sys + "/" + name + "/dev");
    for (int tries = 0; tries < 50; tries++) {
        struct stat status;
        if (stat(node.c_str(), &status) == 0 && S_ISBLK(status.st_mode) &&
            linuxsystem::devicenumbers(status.st_rdev) == numbers)
            return node;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return "";
}

std::string mountedpartition(const deviceinfo& info)
{
    dev_t whole = 0;
    const std::string sys = sysof(info, &whole);
    return sys.empty() ? "" : linuxsystem::mountpointof(linuxsystem::withpartitions(sys, whole));
}
