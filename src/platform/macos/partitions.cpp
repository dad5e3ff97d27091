// macOS reads a whole disk's partition table anew when the one that held it
// for writing lets go of it, and then shows the first slice as diskNs1.
#include "platform/partitions.h"

#include "platform/macos/macos.h"
#include "platform/names.h"

#include <chrono>
#include <thread>

void rereadpartitions(devicehandle) {}

std::string firstpartitionnode(const deviceinfo& info, std::uint64_t first, std::uint64_t size)
{
    names::diskname name;
    if (!names::parsediskname(info.node, &name))
        return "";
    const std::string slice = names::blockdisk(name.disk) + "s1";
    // The old slice may still be there until the system read the new table.
    for (int tries = 0; tries < 100; tries++) {
        std::uint64_t start = 0, bytes = 0;
        if (macsystem::extentof(slice, &start, &bytes) && start == first && bytes == size)
            return names::rawdisk(name.disk) + "s1";
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return "";
}

std::string mountedpartition(const deviceinfo& info)
{
    names::diskname name;
    return names::parsediskname(info.node, &name) ? macsystem::mountpointof(name.disk) : "";
}
