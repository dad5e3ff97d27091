#include "probe/advice.h"

namespace probe {

namespace {

std::string sudo(const partitiontarget& target)
{
    return target.privileged || target.system == operatingsystem::windows ? "" : "sudo ";
}

} // namespace

std::string shellquoted(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string firstpartition(const std::string& node, operatingsystem system)
{
    if (system == operatingsystem::macos)
        return node + "s1";
    // Linux puts a p between a device name that ends in a digit and the
    // partition's number.
    const bool digit = !node.empty() && node.back() >= '0' && node.back() <= '9';
    return node + (digit ? "p1" : "1");
}

std::string partitioncommands(const partitiontarget& target, std::uint64_t mib)
{
    switch (target.system) {
    case operatingsystem::windows: {
        // diskpart puts the partition at 1 MiB: it may be a MiB shorter.
        // Windows formats FAT32 only up to 32 GiB, exFAT beyond.
        const std::string disk = target.disknumber >= 0 ? std::to_string(target.disknumber) : "<Nummer>";
        const std::uint64_t size = mib > 1 ? mib - 1 : 1;
        return "    diskpart\n    select disk " + disk +
               "\n    clean\n    create partition primary size=" + std::to_string(size) +
               "\n    format fs=" + (size > 32768 ? "exfat" : "fat32") + " quick\n    assign\n";
    }
    case operatingsystem::macos: {
        // Sizes in 512-byte blocks, as diskutil reads M as a million bytes;
        // a MiB is left for where it puts the partition.
        const std::string blocks = std::to_string((mib > 1 ? mib - 1 : 1) * 2048) + "S";
        return "    " + sudo(target) + "diskutil partitionDisk " + shellquoted(target.node) +
               " 2 MBR FAT32 KARTE " + blocks + " 'Free Space' FREE R\n";
    }
    case operatingsystem::gnulinux:
        break;
    }
    return "    " + sudo(target) + "parted " + shellquoted(target.node) +
           " mklabel msdos mkpart primary fat32 1MiB " + std::to_string(mib) + "MiB\n    " + sudo(target) +
           "mkfs.vfat " + shellquoted(firstpartition(target.node, target.system)) + "\n";
}

std::string unmountcommand(const partitiontarget& target)
{
    return target.system == operatingsystem::macos ? "diskutil unmountDisk " + shellquoted(target.node) : "";
}

std::string probecommand(const partitiontarget& target, const std::string& options, const std::string& path)
{
    const bool windows = target.system == operatingsystem::windows;
    return sudo(target) + "kapprobe " + options + (windows ? path : shellquoted(path));
}

} // namespace probe
