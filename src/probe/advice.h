// What kapprobe tells the user to type: the partition of a counterfeit
// device's usable size, ready to copy and paste as the system takes it.
#pragma once

#include "platform/process.h"

#include <cstdint>
#include <string>

namespace probe {

// The device as the partition commands name it.
struct partitiontarget {
    operatingsystem system;
    // The device as the system names it: /dev/sdb, /dev/disk4, or on
    // Windows its disk number (-1 where the system told none).
    std::string node;
    int disknumber;
    // Run as root or administrator already, so that no sudo is needed.
    bool privileged;
};

// text in single quotes for a POSIX shell, also where it holds one.
std::string shellquoted(const std::string& text);

// The first partition of node as the system names it: /dev/sdb1,
// /dev/mmcblk0p1, /dev/nvme0n1p1, /dev/disk4s1.
std::string firstpartition(const std::string& node, operatingsystem system);

// The commands, one a line and indented by four blanks, that make a
// partition of the first mib MiB of target and a FAT file system on it.
std::string partitioncommands(const partitiontarget& target, std::uint64_t mib);

// The command that unmounts every volume of target, where the system has
// one that does so at once (macOS: diskutil); empty elsewhere.
std::string unmountcommand(const partitiontarget& target);

// The command that runs kapprobe with options on the device path, as the
// user types it.
std::string probecommand(const partitiontarget& target, const std::string& options, const std::string& path);

} // namespace probe
