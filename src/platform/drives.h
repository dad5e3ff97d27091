// Windows' names for drives, volumes and disks, and what its answers about
// them mean, decided by pure functions that every build compiles and tests.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace drives {

// What an argument of kapprobe.exe names. Windows reads these names
// regardless of case, and each of them stands for the whole disk beneath it.
enum class kind {
    // E:, e:\, \\.\E: or \\?\E:
    drive,
    // \\?\Volume{…}, with or without its closing backslash
    volume,
    // \\.\PhysicalDrive2
    disk,
    // anything else, opened as it is given
    other
};

struct argument {
    kind what = kind::other;
    // What CreateFile opens for it: \\.\E:, \\?\Volume{…} without the
    // backslash that would name its root directory, \\.\PhysicalDrive2.
    std::string path;
    // The disk's number, for a disk; -1 otherwise.
    int disk = -1;
};
argument classify(std::string_view text);

// The disk with this number, as CreateFile opens it.
std::string diskpath(unsigned long number);

// A volume as FindFirstVolume lists it and GetVolumeNameForVolumeMountPoint
// gives it (\\?\Volume{…}\), as CreateFile opens the volume itself.
std::string volumedevice(std::string_view name);

// Where a volume lies, as IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS tells it.
enum class place {
    // on the disk asked about: to be locked for the run
    onthisdisk,
    // on other disks only, or on none (a CD, a network drive, an empty slot)
    elsewhere,
    // the answer did not fit: ask again with room for every extent
    askagain,
    // the volume cannot be examined: the run does not go on blind
    unknown
};
// answered: the request succeeded, and disks holds the disk of each extent;
// otherwise error is the system's error code (GetLastError). An answer too
// large for the room given tells how many extents there are (reported),
// against the extents the room held: asked again only where more room
// helps, as a driver may report too little room without saying for what.
place placeofvolume(bool answered, unsigned long error, const std::vector<unsigned long>& disks,
                    unsigned long disk, unsigned long reported = 0, unsigned long room = 0);

// The command line that hands arguments to a program as Windows' C runtime
// splits it: an argument with a blank or a quote in quotes, a quote within
// it and the backslashes before a quote escaped.
std::string commandline(const std::vector<std::string>& arguments);

} // namespace drives
