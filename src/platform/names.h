// The names and lines that the platform layer reads from the system, taken
// apart by pure functions that every build compiles and tests.
#pragma once

#include <string>
#include <string_view>

namespace names {

// A line of /proc/self/mountinfo: the major:minor numbers of the mounted
// device, where it is mounted, and what it was mounted from, with the octal
// escapes of the kernel (\040 for a blank) undone.
struct mountline {
    std::string devicenumbers;
    std::string mountpoint;
    std::string source;
};
bool parsemountinfo(std::string_view line, mountline* found);

// A disk of macOS as a path names it: /dev/disk4, /dev/rdisk4, or a slice
// of it, /dev/disk4s2 (slice 0: the whole disk).
struct diskname {
    int disk;
    int slice;
};
bool parsediskname(std::string_view path, diskname* found);
// The raw node of a whole disk, which reads and writes past every cache
// (/dev/rdisk4), and its block node, which diskutil names (/dev/disk4).
std::string rawdisk(int disk);
std::string blockdisk(int disk);

} // namespace names
