#include "probe/advice.h"

#include "platform/drives.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>

namespace probe {

namespace {

std::string sudo(const partitiontarget& target)
{
    return target.privileged || target.system == operatingsystem::windows ? "" : "sudo ";
}

void putlittle(unsigned char* at, std::uint32_t value)
{
    for (int i = 0; i < 4; i++)
        at[i] = static_cast<unsigned char>(value >> (8 * i));
}

// A sector's address as cylinder, head and sector, in the geometry that
// every system assumes for a disk it addresses by LBA (255 heads, 63
// sectors a track); past cylinder 1023 the largest address, which says
// "read the LBA".
void putchs(unsigned char* at, std::uint32_t lba)
{
    constexpr std::uint32_t heads = 255, sectors = 63;
    std::uint32_t cylinder = lba / (heads * sectors), head = lba / sectors % heads,
                  sector = lba % sectors + 1;
    if (cylinder > 1023)
        cylinder = 1023, head = 254, sector = 63;
    at[0] = static_cast<unsigned char>(head);
    at[1] = static_cast<unsigned char>(sector | (cylinder >> 2 & 0xc0));
    at[2] = static_cast<unsigned char>(cylinder & 0xff);
}

} // namespace

partitionplace partitionfor(std::uint64_t usable, std::uint32_t sectorsize)
{
    const std::uint64_t end = usable / mib * mib;
    const std::uint64_t size = end > mib ? end - mib : 0;
    const std::uint32_t first = static_cast<std::uint32_t>(mib / sectorsize);
    // A partition table of this kind counts at most 2^32 sectors.
    const std::uint64_t sectors = std::min<std::uint64_t>(size / sectorsize, UINT32_MAX - first);
    return {first, static_cast<std::uint32_t>(sectors)};
}

namespace {

// The clusters of a FAT of sectors sectors with per sectors a cluster and
// entry bytes an entry: what the reserved sectors (32 for FAT32; one and a
// root directory of 512 entries for FAT16) and the two tables leave.
std::uint64_t fatclusters(std::uint64_t sectors, std::uint32_t sectorsize, std::uint32_t per,
                          std::uint32_t entry)
{
    const std::uint64_t reserved = entry == 4 ? 32 : 1 + 512 * 32 / sectorsize;
    if (sectors <= reserved)
        return 0;
    // Each cluster takes its own bytes and an entry in each of two tables.
    const std::uint64_t cluster = static_cast<std::uint64_t>(per) * sectorsize + 2ULL * entry;
    return (sectors - reserved) * sectorsize / cluster;
}

// The bounds of FAT32 and FAT16 in clusters, with room for the alignment a
// formatting tool may add.
constexpr std::uint64_t fewestfat32 = 65525 + 700, mostfat16 = 65524 - 700;
constexpr std::uint32_t largestcluster = 32 << 10;

} // namespace

fixplan planfix(std::uint64_t usable, std::uint32_t sectorsize)
{
    const partitionplace place = partitionfor(usable, sectorsize);
    const std::uint64_t bytes = std::uint64_t{place.sectors} * sectorsize;
    filesystem what = bytes <= (std::uint64_t{32} << 30) ? filesystem::fat32 : filesystem::exfat;
    std::uint32_t per = 0;
    // FAT32 on as large clusters as leave it enough of them; on fewer a
    // system would read it as FAT16 and spoil it. Where even clusters of a
    // sector are too few: FAT16, on as small ones as it can count.
    for (std::uint32_t size = largestcluster; what == filesystem::fat32 && per == 0 && size >= sectorsize;
         size /= 2)
        if (fatclusters(place.sectors, sectorsize, size / sectorsize, 4) >= fewestfat32)
            per = size / sectorsize;
    if (what == filesystem::fat32 && per == 0) {
        what = filesystem::fat16;
        for (std::uint32_t size = sectorsize; per == 0 && size <= largestcluster; size *= 2)
            if (fatclusters(place.sectors, sectorsize, size / sectorsize, 2) <= mostfat16)
                per = size / sectorsize;
        per = std::max<std::uint32_t>(per, 1);
    }
    // At most 11 characters, what FAT and exFAT take.
    const std::uint64_t megabytes = bytes / mib;
    // Large ones in GB as the package counts them, never more than it holds.
    const std::string label = megabytes < 10000 ? "ECHT-" + std::to_string(megabytes) + "MB"
                                                : "ECHT-" + std::to_string(bytes / 1000000000) + "GB";
    return {place, sectorsize, what, label, per};
}

const char* filesystemname(filesystem what)
{
    switch (what) {
    case filesystem::fat16:
        return "FAT16";
    case filesystem::fat32:
        return "FAT32";
    case filesystem::exfat:
        return "exFAT";
    }
    return "FAT32";
}

std::array<unsigned char, 512> masterbootrecord(const partitionplace& place, filesystem what,
                                                std::uint32_t signature)
{
    std::array<unsigned char, 512> record{};
    putlittle(&record[440], signature);
    unsigned char* entry = &record[446];
    // Not bootable: entry[0] stays 0.
    putchs(entry + 1, place.first);
    entry[4] = static_cast<unsigned char>(what);
    putchs(entry + 5, place.first + place.sectors - 1);
    putlittle(entry + 8, place.first);
    putlittle(entry + 12, place.sectors);
    record[510] = 0x55;
    record[511] = 0xaa;
    return record;
}

tableview readtable(const unsigned char* sector, std::uint32_t sectorsize)
{
    tableview table;
    auto little = [sector](std::size_t at) {
        return std::uint32_t{sector[at]} | std::uint32_t{sector[at + 1]} << 8 |
               std::uint32_t{sector[at + 2]} << 16 | std::uint32_t{sector[at + 3]} << 24;
    };
    if (sector[510] != 0x55 || sector[511] != 0xaa)
        return table;
    table.valid = true;
    table.signature = little(440);
    for (std::size_t entry = 446; entry < 510; entry += 16) {
        if (sector[entry + 4] == 0 || little(entry + 12) == 0)
            continue;
        table.partitions++;
        table.end = std::max(table.end, (std::uint64_t{little(entry + 8)} + little(entry + 12)) * sectorsize);
    }
    return table;
}

bool tablefits(const tableview& table, std::uint64_t usable)
{
    return table.valid && table.partitions == 1 && table.end <= usable;
}

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

formatting formatcommand(const partitiontarget& target, const fixplan& plan, const std::string& node)
{
    const bool fat = plan.what != filesystem::exfat;
    const std::string bits = plan.what == filesystem::fat16 ? "16" : "32";
    const std::string per = std::to_string(plan.clustersectors), sector = std::to_string(plan.sectorsize);
    // A partition not shown yet is named, on Linux, by what identifies it
    // (the device's node may name another stick by the time it shows, or,
    // for a loop device, never).
    char partuuid[48];
    std::snprintf(partuuid, sizeof partuuid, "/dev/disk/by-partuuid/%08x-01", plan.signature);
    const std::string shown = !node.empty() ? node
                              : target.system == operatingsystem::gnulinux
                                  ? std::string(partuuid)
                                  : firstpartition(target.node, target.system);
    switch (target.system) {
    case operatingsystem::windows: {
        const std::string system = plan.what == filesystem::fat16   ? "FAT"
                                   : plan.what == filesystem::fat32 ? "FAT32"
                                                                    : "exFAT";
        std::vector<std::string> arguments = {"format.com",
                                              node.empty() ? "<Laufwerk>:" : node,
                                              "/FS:" + system,
                                              "/V:" + plan.label,
                                              "/Q",
                                              "/X",
                                              "/Y"};
        if (fat)
            arguments.insert(arguments.begin() + 4,
                             "/A:" + std::to_string(std::uint64_t{plan.clustersectors} * plan.sectorsize));
        return {arguments, !node.empty(), ""};
    }
    case operatingsystem::macos:
        if (fat)
            return {{"newfs_msdos", "-F", bits, "-S", sector, "-c", per, "-v", plan.label, shown},
                    !node.empty(),
                    ""};
        return {{"newfs_exfat", "-v", plan.label, shown}, !node.empty(), ""};
    case operatingsystem::gnulinux:
        break;
    }
    if (!fat)
        return {{"mkfs.exfat", "-L", plan.label, shown}, !node.empty(), "exfatprogs"};
    if (!node.empty())
        return {
            {"mkfs.vfat", "-F", bits, "-S", sector, "-s", per, "-n", plan.label, node}, true, "dosfstools"};
    // Through the whole device, at the partition's offset and for its length
    // in KiB; the hidden sectors tell the file system where its partition
    // begins, as one made on the partition itself tells it.
    const std::string first = std::to_string(plan.place.first);
    const std::uint64_t kib = std::uint64_t{plan.place.sectors} * plan.sectorsize / 1024;
    return {{"mkfs.vfat", "-F", bits, "-S", sector, "-s", per, "-n", plan.label, "--offset", first, "-h",
             first, target.node, std::to_string(kib)},
            true,
            "dosfstools"};
}

std::string commandtext(const partitiontarget& target, const std::vector<std::string>& arguments)
{
    if (target.system == operatingsystem::windows)
        return drives::commandline(arguments);
    std::string text = sudo(target);
    for (const std::string& argument : arguments) {
        const bool plain = std::all_of(argument.begin(), argument.end(), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) || std::strchr("-_./:=,+", c) != nullptr;
        });
        if (text.size() > sudo(target).size())
            text += ' ';
        text += plain ? argument : shellquoted(argument);
    }
    return text;
}

bool confirms(const std::string& typed, const std::string& path, operatingsystem system)
{
    if (system != operatingsystem::windows)
        return typed == path;
    return typed.size() == path.size() &&
           std::equal(typed.begin(), typed.end(), path.begin(), [](char one, char other) {
               return std::tolower(static_cast<unsigned char>(one)) ==
                      std::tolower(static_cast<unsigned char>(other));
           });
}

std::string removecommand(const partitiontarget& target, const std::string& name)
{
    return commandtext(target, {target.system == operatingsystem::windows ? "del" : "rm", name});
}

std::string ejectcommand(const partitiontarget& target)
{
    switch (target.system) {
    case operatingsystem::windows:
        return "";
    case operatingsystem::macos:
        return "diskutil eject " + shellquoted(target.node);
    case operatingsystem::gnulinux:
        break;
    }
    return sudo(target) + "eject " + shellquoted(target.node);
}

std::string unmountcommand(const partitiontarget& target)
{
    switch (target.system) {
    case operatingsystem::macos:
        return "diskutil unmountDisk " + shellquoted(target.node);
    case operatingsystem::gnulinux:
        return sudo(target) + "umount " + shellquoted(target.node);
    case operatingsystem::windows:
        break;
    }
    return "";
}

std::string listcommand(operatingsystem system)
{
    switch (system) {
    case operatingsystem::gnulinux:
        return "lsblk -d -o NAME,SIZE,MODEL,TRAN";
    case operatingsystem::macos:
        return "diskutil list external physical";
    case operatingsystem::windows:
        break;
    }
    return "Get-Volume";
}

std::string probecommand(const partitiontarget& target, const std::string& options, const std::string& path)
{
    const bool windows = target.system == operatingsystem::windows;
    return sudo(target) + "kapprobe " + options + (windows ? path : shellquoted(path));
}

} // namespace probe
