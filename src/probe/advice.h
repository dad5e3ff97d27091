// What makes a counterfeit device's usable part of use: the partition
// table that kapprobe writes, the command that formats it, and what
// kapprobe tells the user to type, ready to copy and paste as the system
// takes it.
#pragma once

#include "platform/process.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace probe {

constexpr std::uint64_t mib = 1 << 20;

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

// The file system that a partition gets, as the SD cards' standards have
// it: FAT32 up to 32 GiB, exFAT above; FAT16 for a partition too small for
// the clusters FAT32 needs. The value is its type in a partition table.
enum class filesystem : unsigned char { fat16 = 0x0e, fat32 = 0x0c, exfat = 0x07 };

// Where the partition of a usable size lies: from 1 MiB to the usable size
// rounded down to whole MiB, in sectors of the device.
struct partitionplace {
    std::uint32_t first;
    std::uint32_t sectors;
};
partitionplace partitionfor(std::uint64_t usable, std::uint32_t sectorsize);

// The partition that makes a counterfeit device's usable part of use: its
// place, its file system, and the volume label that says what it is.
// The file system's sectors a cluster (FAT; 0 for exFAT, whose tools
// choose well): as many as leave FAT32 its 65525 clusters at least and
// FAT16 no more than 65524, up to 32 KiB, which every system reads.
struct fixplan {
    partitionplace place;
    std::uint32_t sectorsize;
    filesystem what;
    std::string label;
    std::uint32_t clustersectors = 0;
    // The new table's disk signature, which names its partition for good
    // where a device node may name another stick after a replug.
    std::uint32_t signature = 0;
};
fixplan planfix(std::uint64_t usable, std::uint32_t sectorsize);

// The file system's name as the user reads it: FAT16, FAT32, exFAT.
const char* filesystemname(filesystem what);

// What a device's first sector tells of its partition table: whether it
// holds one (a master boot record), its disk signature, how many partitions
// it lists, and where the last of them ends, in bytes.
struct tableview {
    bool valid = false;
    std::uint32_t signature = 0;
    int partitions = 0;
    std::uint64_t end = 0;
};
tableview readtable(const unsigned char* sector, std::uint32_t sectorsize);
// Whether a device whose first sector reads so is of use as it is: one
// partition, ending within the usable bytes (what --fix makes).
bool tablefits(const tableview& table, std::uint64_t usable);

// A master boot record with one primary partition at place, of type what,
// the disk telling signature (which Windows needs to tell disks apart); no
// boot code.
std::array<unsigned char, 512> masterbootrecord(const partitionplace& place, filesystem what,
                                                std::uint32_t signature);

// The command that puts plan's file system on its partition of target,
// where the system shows the partition as node (/dev/sdb1, /dev/rdisk4s1,
// E:). Where it shows none (empty node), the command that reaches the
// partition through the whole device where the tool can, else one that
// names the partition as the system will show it, which is not runnable.
struct formatting {
    std::vector<std::string> arguments;
    bool runnable;
    // Where the tool comes from, where the system may lack it.
    std::string package;
};
formatting formatcommand(const partitiontarget& target, const fixplan& plan, const std::string& node);

// A command as the user types it: with sudo where needed, each argument
// quoted where the shell would otherwise read it.
std::string commandtext(const partitiontarget& target, const std::vector<std::string>& arguments);

// The command that ejects target, which the system mounted, before it is
// pulled; empty where the system has none (Windows: the Explorer).
std::string ejectcommand(const partitiontarget& target);

// The command that unmounts target: on macOS every volume of the disk
// target.node names, on Linux the mount point it names; empty on Windows,
// which has none that a user types.
std::string unmountcommand(const partitiontarget& target);

// The command that lists the devices a user could name: lsblk, diskutil, or
// PowerShell's Get-Volume for the drive letters.
std::string listcommand(operatingsystem system);

// Whether typed names the device path, as the question before an erasure
// asks: Windows names drives and paths in any case (e: is E:), other
// systems only as they are.
bool confirms(const std::string& typed, const std::string& path, operatingsystem system);

// The command that removes the journal name from the current directory.
std::string removecommand(const partitiontarget& target, const std::string& name);

// The command that runs kapprobe with options on the device path, as the
// user types it.
std::string probecommand(const partitiontarget& target, const std::string& options, const std::string& path);

} // namespace probe
