// A whole disk on Linux: found in /sys, refused while it or a partition of it
// is mounted or another process holds one open, held with O_EXCL and read
// and written with O_DIRECT.
#include "platform/blockdevice.h"

#include "platform/linux/linux.h"
#include "platform/process.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace linuxsystem {

std::string realname(const std::string& path)
{
    char* real = realpath(path.c_str(), nullptr);
    std::string name = real != nullptr ? real : "";
    std::free(real);
    return name;
}

std::string firstline(const std::string& path)
{
    std::string line;
    if (std::FILE* file = std::fopen(path.c_str(), "re")) {
        char text[256];
        if (std::fgets(text, sizeof text, file) != nullptr)
            line = text;
        std::fclose(file);
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == ' '))
        line.pop_back();
    return line;
}

std::vector<std::string> withpartitions(const std::string& sys, dev_t whole)
{
    std::vector<std::string> numbers = {devicenumbers(whole)};
    if (DIR* directory = opendir(sys.c_str())) {
        while (const dirent* entry = readdir(directory)) {
            const std::string part = sys + "/" + entry->d_name;
            if (entry->d_name[0] != '.' && access((part + "/partition").c_str(), F_OK) == 0)
                numbers.push_back(firstline(part + "/dev"));
        }
        closedir(directory);
    }
    return numbers;
}

std::string mountpointof(const std::vector<std::string>& numbers)
{
    auto ours = [&](const std::string& number) {
        return std::find(numbers.begin(), numbers.end(), number) != numbers.end();
    };
    for (const names::mountline& line : mounts()) {
        struct stat source;
        if (ours(line.devicenumbers) || (stat(line.source.c_str(), &source) == 0 && S_ISBLK(source.st_mode) &&
                                         ours(devicenumbers(source.st_rdev))))
            return line.mountpoint;
    }
    return "";
}

} // namespace linuxsystem

namespace {

using linuxsystem::firstline;
using linuxsystem::realname;

// What tells the device whose directory in /sys is sys from another one of
// the same size: a loop device's backing file; else the maker and model it
// reports and the first serial number found on the way up to the bus, which
// for a card in a USB reader is the reader's.
std::string identityof(const std::string& sys)
{
    if (std::string backing = firstline(sys + "/loop/backing_file"); !backing.empty())
        return backing;
    std::string identity;
    auto add = [&identity](const std::string& part) {
        std::istringstream words(part);
        for (std::string word; words >> word;)
            identity += (identity.empty() ? "" : " ") + word;
    };
    for (const char* part : {"/device/vendor", "/device/model", "/device/name"})
        add(firstline(sys + part));
    for (std::string dir = realname(sys + "/device"); dir.rfind("/sys/devices/", 0) == 0;
         dir.resize(dir.find_last_of('/'))) {
        if (std::string serial = firstline(dir + "/serial"); !serial.empty()) {
            add(serial);
            break;
        }
    }
    return identity;
}

} // namespace

devicehandle opendevice(const char* path, deviceinfo* info)
{
    *info = deviceinfo{};
    struct stat status;
    if (stat(path, &status) != 0) {
        info->why = errno == ENOENT ? refusal::notfound : refusal::cannotopen;
        info->reason = systemreason();
        return devicehandle::none;
    }
    if (!S_ISBLK(status.st_mode)) {
        info->why = refusal::notblockdevice;
        return devicehandle::none;
    }
    const std::string sys = realname("/sys/dev/block/" + linuxsystem::devicenumbers(status.st_rdev));
    if (!sys.empty() && access((sys + "/partition").c_str(), F_OK) == 0) {
        // A partition's directory lies in that of its whole device.
        info->why = refusal::partition;
        std::string parent = sys.substr(0, sys.find_last_of('/'));
        info->whole = "/dev/" + parent.substr(parent.find_last_of('/') + 1);
        return devicehandle::none;
    }
    const std::vector<std::string> numbers = linuxsystem::withpartitions(sys, status.st_rdev);
    std::string mountpoint = linuxsystem::mountpointof(numbers);
    if (!mountpoint.empty()) {
        info->why = refusal::mounted;
        info->whole = mountpoint;
        return devicehandle::none;
    }
    // A FUSE file system (fusefat) or any other program may work on the
    // device without a mount that names it, and without holding it alone.
    const std::vector<names::openfile> held = linuxsystem::openblockdevices();
    if (const names::openfile* other = names::holder(held, numbers, getpid())) {
        info->why = refusal::held;
        info->whole = other->program + " (PID " + std::to_string(other->pid) + ")";
        return devicehandle::none;
    }
    int fd = open(path, O_RDWR | O_DIRECT | O_EXCL | O_CLOEXEC);
    std::uint64_t size = 0;
    int sectorsize = 0;
    if (fd < 0 || ioctl(fd, BLKGETSIZE64, &size) != 0 || ioctl(fd, BLKSSZGET, &sectorsize) != 0) {
        info->why = errno == EACCES || errno == EPERM ? refusal::notpermitted : refusal::cannotopen;
        info->reason = systemreason();
        if (fd >= 0)
            close(fd);
        return devicehandle::none;
    }
    info->size = size;
    info->sectorsize = static_cast<std::uint32_t>(sectorsize);
    unsigned int physicalsize = 0;
    if (ioctl(fd, BLKPBSZGET, &physicalsize) == 0)
        info->physicalsize = physicalsize;
    info->identity = identityof(sys);
    info->node = realname(path);
    return static_cast<devicehandle>(fd);
}

bool flushdevice(devicehandle device)
{
    return fsync(static_cast<int>(device)) == 0;
}
