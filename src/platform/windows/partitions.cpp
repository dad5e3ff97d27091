// Windows reads a disk's partition table anew when asked
// (IOCTL_DISK_UPDATE_PROPERTIES), mounts the volume it finds on the
// partition once the run let go of the disk, and gives it a drive letter,
// which its format command takes.
#include "platform/partitions.h"

#include "platform/drives.h"
#include "platform/windows/windows.h"

#include <winioctl.h>

#include <chrono>
#include <thread>

namespace {

// The drive of the first volume of a single extent on disk that wanted
// takes; empty while there is none with a drive letter.
template <typename test>
std::string driveof(DWORD disk, test wanted)
{
    char name[MAX_PATH];
    HANDLE found = FindFirstVolumeA(name, sizeof name);
    if (found == INVALID_HANDLE_VALUE)
        return "";
    std::string drive;
    do {
        HANDLE volume = CreateFileA(drives::volumedevice(name).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
        if (volume == INVALID_HANDLE_VALUE)
            continue;
        VOLUME_DISK_EXTENTS extents{};
        DWORD got = 0;
        // A volume of more than one extent is no partition of its own.
        const bool one = DeviceIoControl(volume, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, &extents,
                                         sizeof extents, &got, nullptr) != 0 &&
                         extents.NumberOfDiskExtents == 1;
        CloseHandle(volume);
        char paths[MAX_PATH] = "";
        if (one && extents.Extents[0].DiskNumber == disk && wanted(extents.Extents[0]) &&
            GetVolumePathNamesForVolumeNameA(name, paths, sizeof paths, &got) && paths[0] != '\0') {
            drive = paths;
            if (drive.back() == '\\')
                drive.pop_back();
        }
    } while (drive.empty() && FindNextVolumeA(found, name, sizeof name));
    FindVolumeClose(found);
    return drive;
}

} // namespace

void rereadpartitions(devicehandle device)
{
    DWORD got = 0;
    DeviceIoControl(windowssystem::handle(device), IOCTL_DISK_UPDATE_PROPERTIES, nullptr, 0, nullptr, 0, &got,
                    nullptr);
}

std::string firstpartitionnode(const deviceinfo& info, std::uint64_t first, std::uint64_t size)
{
    if (info.disknumber < 0)
        return "";
    // The old table's volume, which may still have its letter while Windows
    // reads the disk anew, lies elsewhere.
    const auto placed = [first, size](const DISK_EXTENT& extent) {
        return static_cast<std::uint64_t>(extent.StartingOffset.QuadPart) == first &&
               static_cast<std::uint64_t>(extent.ExtentLength.QuadPart) == size;
    };
    for (int tries = 0; tries < 100; tries++) {
        if (std::string drive = driveof(static_cast<DWORD>(info.disknumber), placed); !drive.empty())
            return drive;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return "";
}

std::string mountedpartition(const deviceinfo& info)
{
    return info.disknumber < 0
               ? ""
               : driveof(static_cast<DWORD>(info.disknumber), [](const DISK_EXTENT&) { return true; });
}
