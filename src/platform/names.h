// The names and lines that the platform layer reads from the system, taken
// apart by pure functions that every build compiles and tests.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

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

// A block device that a process holds open, as /proc/PID/fd shows it: the
// process's number and name, and the device's major:minor numbers.
struct openfile {
    int pid;
    std::string program;
    std::string devicenumbers;
};
// The first of files that a process other than self holds on one of
// numbers (a whole device and its partitions); null when none does.
const openfile* holder(const std::vector<openfile>& files, const std::vector<std::string>& numbers, int self);

// Where the system's tool name lies: the first of the system's own
// directories whose file exists says; empty where none does, and for a
// name that is a path.
std::string systemtool(const std::string& name, const std::function<bool(const std::string&)>& exists);

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

// An APFS container as `diskutil list -plist` lists it: the disk that the
// system makes up for it (disk5), from whose slices its volumes are mounted,
// and the disks that hold its physical stores (4 for disk4s2).
struct apfscontainer {
    int disk;
    std::vector<int> storedisks;
};
// The containers of such a list; false when the text is none.
bool parsecontainers(std::string_view plist, std::vector<apfscontainer>* found);

// True when what is mounted from source (/dev/disk4s1, a system snapshot
// /dev/disk3s1s1) lies on disk: on a slice of it, or in a container with a
// store there.
bool liesondisk(std::string_view source, int disk, const std::vector<apfscontainer>& containers);

// The words of text, one blank apart, as a device's names are shown.
std::string words(const std::string& text);

// What tells a disk from another of the same size in `diskutil info
// -plist`: its media name, else the name of its entry in the I/O registry;
// empty when neither. diskutil tells no serial number.
std::string mediaidentity(std::string_view plist);

} // namespace names
