// What a new partition table asks of the system: that it reads the table,
// shows the partition, lets a tool of its own format it, and tells whether
// it mounted it then.
#pragma once

#include "platform/blockdevice.h"

#include <string>
#include <vector>

// Tells the system to read the partition table of device anew, while the
// run still holds it. A system that reads no partitions of this device
// ignores it.
void rereadpartitions(devicehandle device);

// The first partition of the device that info describes, as its formatting
// tool takes it (/dev/sdb1, /dev/rdisk4s1, E:), once the system shows it
// from first to first + size bytes, after the run let go of the device;
// waits a few seconds for it. Empty where the system shows none, or one
// that lies elsewhere (its old table, which it did not read again).
std::string firstpartitionnode(const deviceinfo& info, std::uint64_t first, std::uint64_t size);

// Where the system mounted the device or one of its partitions; empty
// where it mounted none.
std::string mountedpartition(const deviceinfo& info);
