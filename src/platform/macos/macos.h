// What the macOS files of the platform layer share: the disks' mounts and
// where a slice lies.
#pragma once

#include <cstdint>
#include <string>

namespace macsystem {

// Where a slice of disk, the disk itself, or a volume of an APFS container
// stored on it is mounted; empty when nowhere.
std::string mountpointof(int disk);

// Where the slice (/dev/disk4s1) lies on its disk, from its first byte, and
// its size in bytes; false where the driver does not tell.
bool extentof(const std::string& slice, std::uint64_t* first, std::uint64_t* size);

} // namespace macsystem
