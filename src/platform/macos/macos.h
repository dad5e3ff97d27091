// What the macOS files of the platform layer share: the disks' mounts.
#pragma once

#include <string>

namespace macsystem {

// Where a slice of disk, the disk itself, or a volume of an APFS container
// stored on it is mounted; empty when nowhere.
std::string mountpointof(int disk);

} // namespace macsystem
