// Linux: the system's name, its clock, its mounts and what lies in memory.
#include "platform/journalfile.h"
#include "platform/linux/linux.h"
#include "platform/posix/posix.h"
#include "platform/process.h"

#include <cstdio>
#include <cstdlib>
#include <sys/statfs.h>
#include <sys/sysmacros.h>

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
