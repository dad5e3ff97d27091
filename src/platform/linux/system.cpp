// Linux: the system's name, its clock, its mounts, the devices processes
// hold open, and what lies in memory.
#include "platform/journalfile.h"
#include "platform/linux/linux.h"
#include "platform/posix/posix.h"
#include "platform/process.h"

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace posix {

const clockid_t monotonic = CLOCK_MONOTONIC;

} // namespace posix

namespace linuxsystem {

std::vector<names::mountline> mounts()
{
    std::vector<names::mountline> found;
    std::FILE* mountinfo = std::fopen("/proc/self/mountinfo", "re");
    if (mountinfo == nullptr)
        return found;
    char* text = nullptr;
    std::size_t capacity = 0;
    for (names::mountline line; getline(&text, &capacity, mountinfo) > 0;)
        if (names::parsemountinfo(text, &line))
            found.push_back(line);
    std::free(text);
    std::fclose(mountinfo);
    return found;
}

std::vector<names::openfile> openblockdevices()
{
    std::vector<names::openfile> found;
    DIR* processes = opendir("/proc");
    if (processes == nullptr)
        return found;
    while (const dirent* process = readdir(processes)) {
        const int pid = std::atoi(process->d_name);
        if (pid <= 0)
            continue;
        const std::string fds = std::string("/proc/") + process->d_name + "/fd";
        DIR* files = opendir(fds.c_str());
        if (files == nullptr)
            continue;
        while (const dirent* file = readdir(files)) {
            // Only what names a node in /dev is looked at: a file of a FUSE
            // file system could keep a stat waiting on its daemon.
            char target[256];
            const std::string link = fds + "/" + file->d_name;
            const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
            struct stat status;
            if (length <= 5 || std::string(target, 5) != "/dev/" || stat(link.c_str(), &status) != 0 ||
                !S_ISBLK(status.st_mode))
                continue;
            found.push_back({pid, firstline(std::string("/proc/") + process->d_name + "/comm"),
                             devicenumbers(status.st_rdev)});
        }
        closedir(files);
    }
    closedir(processes);
    return found;
}

std::string devicenumbers(dev_t device)
{
    return std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

} // namespace linuxsystem

operatingsystem thissystem()
{
    return operatingsystem::gnulinux;
}

bool directoryinmemory()
{
    constexpr long tmpfsmagic = 0x01021994, ramfsmagic = static_cast<long>(0x858458f6);
    struct statfs filesystem;
    return statfs(".", &filesystem) == 0 &&
           (filesystem.f_type == tmpfsmagic || filesystem.f_type == ramfsmagic);
}
