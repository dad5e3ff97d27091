// A whole block device, open for direct reading and writing and held alone,
// for kapprobe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum class devicehandle : std::intptr_t { none = -1 };

// Why a device was not opened.
enum class refusal {
    none,
    notfound,
    notblockdevice,
    partition,
    mounted,
    held,
    systemdisk,
    notpermitted,
    cannotopen
};

struct deviceinfo {
    std::uint64_t size = 0;
    std::uint32_t sectorsize = 0;
    // The system told no sector size, and sectorsize is one that any
    // device's I/O takes, not the unit that its partition table counts in.
    bool sectorguessed = false;
    // The physical sector size the device reports, else 0: 4096 on 512e media, whose sectorsize is 512.
    std::uint32_t physicalsize = 0;
    refusal why = refusal::none;
    // The whole device of a partition; where a mounted one is mounted; the
    // program that holds a device open, with its number; the drive of
    // Windows or of the current directory on the same disk.
    std::string whole;
    // The system's reason when it refused the open (busy, no permission).
    std::string reason;
    // Maker, model and serial number as the device tells them, or what else
    // tells it from a device of the same size; empty where nothing does.
    std::string identity;
    // The device as the system names it (/dev/sdb for a link in
    // /dev/disk/by-id, /dev/disk4 for /dev/rdisk4, \\.\PhysicalDrive2 for
    // E:), and its disk number on Windows (-1 elsewhere).
    std::string node;
    int disknumber = -1;
};

// Opens path, which must be a whole block device of which neither itself
// nor any partition is mounted, exclusively (an open that another holder
// of the device refuses), for I/O that bypasses every cache of the system,
// and finds its size, logical and physical block size and identity. none
// when refused, and info says why; nothing is ever written by this call.
devicehandle opendevice(const char* path, deviceinfo* info);

// What tells the device that path names from every other, so that two
// names of one device give the same key; without an open. Where the system
// tells nothing, the name as given.
std::string devicekey(const char* path);

// size bytes at offset, both multiples of the logical block size, data
// aligned for direct I/O; false on an I/O error.
bool readdevice(devicehandle device, std::uint64_t offset, unsigned char* data, std::size_t size);
bool writedevice(devicehandle device, std::uint64_t offset, const unsigned char* data, std::size_t size);

// Puts what was written on the medium, past the device's own cache where
// the system can ask it to; false when it did not get there.
bool flushdevice(devicehandle device);

// Lets go of device, and of everything that held the disk for it.
void closedevice(devicehandle device);

// Closes *device and opens it again as before, where the system would
// otherwise answer a read from what it kept of the writes (Windows
// programs under Wine); true where there is nothing to do.
bool reopendevice(devicehandle* device);
