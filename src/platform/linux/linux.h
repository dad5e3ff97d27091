// What the Linux files of the platform layer share: the mounts, read from
// /proc/self/mountinfo, and the numbers of devices.
#pragma once

#include "platform/names.h"

#include <string>
#include <sys/types.h>
#include <vector>

namespace linuxsystem {

std::vector<names::mountline> mounts();

// The block devices that processes hold open, by the nodes in /dev that
// their open files name.
std::vector<names::openfile> openblockdevices();

// major:minor, as mountinfo and /sys name a device.
std::string devicenumbers(dev_t device);

// The canonical name of path, or empty.
std::string realname(const std::string& path);

// The first line of a file in /sys, without its end; empty where none.
std::string firstline(const std::string& path);

// The device numbers of the whole device whose directory in /sys is sys and
// of each of its partitions.
std::vector<std::string> withpartitions(const std::string& sys, dev_t whole);

// Where one of the devices numbers is mounted, by its own numbers or as the
// source of a file system (as FUSE file systems show it); empty when nowhere.
std::string mountpointof(const std::vector<std::string>& numbers);

} // namespace linuxsystem
