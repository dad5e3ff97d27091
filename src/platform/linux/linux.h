// What the Linux files of the platform layer share: the mounts, read from
// /proc/self/mountinfo, and the numbers of devices.
#pragma once

#include "platform/names.h"

#include <string>
#include <sys/types.h>
#include <vector>

namespace linuxsystem {

std::vector<names::mountline> mounts();

// major:minor, as mountinfo and /sys name a device.
std::string devicenumbers(dev_t device);

} // namespace linuxsystem
