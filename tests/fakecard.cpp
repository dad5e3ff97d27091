// Test device: a FUSE file system with one file, "card", that plays a memory
// card as counterfeit ones behave. Attached to a loop device it is a block
// device for kapprobe.
//
//   fakecard MOUNTPOINT STORE CLAIMED KIND REAL CACHE [OPTION...]
//
// STORE is the file that holds the card's real storage (REAL bytes of it);
// CLAIMED is the size the card reports, in bytes. KIND says what lies beyond
// the real size: honest (nothing: REAL is CLAIMED), wrap (addresses come
// round again after REAL bytes), zeros, ones or stale (writes are lost, and
// reads give zeros, 0xff bytes, or what was there before), mirror (writes
// are lost, reads give what lies REAL bytes further back), noise (writes are
// lost, reads give other bytes every time); or tail (the real storage is
// the last REAL bytes, before them writes are lost and reads give zeros),
// anywhere (a full card that puts every sector written where it wrote
// longest ago, at first its first sector: what was there reads as zeros
// from then on). The cache answers first for the last CACHE bytes of
// writes that it takes. Options:
//   wrapat=BYTES      wrap: the addresses come round after BYTES, and what
//                     lies between REAL and BYTES is lost (a wrap with holes)
//   takes=KIND        the cache takes only small writes (of up to 4 KiB),
//                     single sectors, unreal ones (to places without
//                     storage), or changed ones (that change what a read
//                     would give)
//   keeps=KIND        the cache keeps the last CACHE bytes of writes, a
//                     rewrite an entry of its own (log); or CACHE bytes of
//                     places, a rewrite updating its entry where it stands
//                     and the place written first going first (place), each
//                     write making its place the newest (lru), or each write
//                     and each read (reads)
//   drops=START-END   writes to [START, END) are lost, and reads there give
//                     what was there before, as on worn flash
//   errors=START-END  reads and writes that touch [START, END) fail with EIO
//   failafter=BYTES   once BYTES went each way, every read and write fails
//                     with EIO, as when a card is pulled from its reader
//   cycle=BYTES       beyond REAL, the addresses come round onto the last
//                     BYTES of the real storage instead of its start
//   writecost=MICROSECONDS
//                     every write request takes this long to be accepted,
//                     whatever its size, as a cheap card's controller does
#define FUSE_USE_VERSION 31
#include <fuse3/fuse.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <unordered_map>
#include <vector>

namespace {

constexpr std::uint64_t sector = 512;
constexpr char cardpath[] = "/card";

int store = -1;
std::uint64_t claimed, real, wrapat, cachebytes, errorstart, errorend, dropstart, dropend, cycle;
std::uint64_t failafter = UINT64_MAX, traffic, noisereads, writecost;
std::string kind, takes = "every", keeps = "log";

// What the cache took, sector by sector, with the number of the write (or
// read) that made it the newest, and its entries oldest first.
std::unordered_map<std::uint64_t, std::pair<std::vector<char>, std::uint64_t>> cached;
std::deque<std::pair<std::uint64_t, std::uint64_t>> recent;
std::uint64_t writes;

// anywhere: the sector of the storage that each sector written moved to,
// and the sector that each sector of the storage holds, where they changed;
// the sector of the storage written next.
std::unordered_map<std::uint64_t, std::int64_t> slotof;
std::unordered_map<std::uint64_t, std::int64_t> owners;
std::uint64_t nextslot;

// What a stale sector beyond the real size reads as: the same every time.
void stalesector(std::uint64_t number, char* data)
{
    std::uint64_t state = number * 2654435761u + 1;
    for (std::uint64_t at = 0; at < sector; at++) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        data[at] = static_cast<char>(state >> 56);
    }
}

std::int64_t ownerof(std::uint64_t slot)
{
    auto found = owners.find(slot);
    return found != owners.end() ? found->second : static_cast<std::int64_t>(slot);
}

// Where sector number is stored, or -1 where it is not.
std::int64_t storedat(std::uint64_t number)
{
    const std::uint64_t realsectors = real / sector;
    if (kind == "anywhere") {
        if (auto moved = slotof.find(number); moved != slotof.end())
            return moved->second;
        return number < realsectors && ownerof(number) == static_cast<std::int64_t>(number)
                   ? static_cast<std::int64_t>(number)
                   : -1;
    }
    if (kind == "tail") {
        const std::uint64_t first = claimed / sector - realsectors;
        return number >= first ? static_cast<std::int64_t>(number - first) : -1;
    }
    if (kind == "wrap")
        number %= wrapat / sector;
    if (cycle != 0 && number >= realsectors)
        return static_cast<std::int64_t>(realsectors - cycle / sector +
                                         (number - realsectors) % (cycle / sector));
    return number < realsectors ? static_cast<std::int64_t>(number) : -1;
}

// Makes a cached sector the newest.
void refresh(std::uint64_t number)
{
    cached[number].second = ++writes;
    recent.emplace_back(number, writes);
}

// What a read of sector number gives; unless peeking, a cache that keeps
// what is read makes it the newest.
void readsector(std::uint64_t number, char* data, bool peeking = false)
{
    if (auto hit = cached.find(number); hit != cached.end()) {
        std::memcpy(data, hit->second.first.data(), sector);
        if (keeps == "reads" && !peeking)
            refresh(number);
        return;
    }
    std::int64_t stored = storedat(number);
    if (stored < 0 && kind == "mirror")
        stored = static_cast<std::int64_t>(number % (real / sector));
    if (stored >= 0) {
        if (pread(store, data, sector, stored * static_cast<std::int64_t>(sector)) != sector)
            std::memset(data, 0, sector);
    } else if (kind == "stale") {
        stalesector(number, data);
    } else if (kind == "noise") {
        stalesector(number + (++noisereads << 40), data);
    } else {
        std::memset(data, kind == "ones" ? 0xff : 0, sector);
    }
}

// Whether the cache takes a write of a sector, of a request of size bytes.
bool taken(std::uint64_t number, const char* data, std::size_t size)
{
    if (takes == "small")
        return size <= 4096;
    if (takes == "sector")
        return size <= sector;
    if (takes == "unreal")
        return kind != "anywhere" && storedat(number) < 0;
    if (takes == "changed") {
        char now[sector];
        readsector(number, now, true);
        return std::memcmp(now, data, sector) != 0;
    }
    return true;
}

// anywhere: the storage written longest ago takes sector number; what was
// there is gone, and the storage that held the sector before is free.
std::int64_t moveto(std::uint64_t number)
{
    const std::uint64_t slot = nextslot++ % (real / sector);
    if (const std::int64_t previous = ownerof(slot); previous >= 0)
        slotof[static_cast<std::uint64_t>(previous)] = -1;
    if (const std::int64_t before = storedat(number); before >= 0)
        owners[static_cast<std::uint64_t>(before)] = -1;
    slotof[number] = static_cast<std::int64_t>(slot);
    owners[slot] = static_cast<std::int64_t>(number);
    return static_cast<std::int64_t>(slot);
}

// The oldest entries of the cache go until what is left fits: a log counts
// every write it took, the others every sector.
void evict()
{
    auto held = [] { return (keeps == "log" ? recent.size() : cached.size()) * sector; };
    while (held() > cachebytes) {
        auto [oldest, when] = recent.front();
        recent.pop_front();
        if (auto found = cached.find(oldest); found != cached.end() && found->second.second == when)
            cached.erase(found);
    }
}

void writesector(std::uint64_t number, const char* data, std::size_t size)
{
    if (number * sector >= dropstart && number * sector < dropend)
        return;
    const bool cache = cachebytes > 0 && taken(number, data, size);
    const std::int64_t stored = kind == "anywhere" ? moveto(number) : storedat(number);
    if (stored >= 0 && pwrite(store, data, sector, stored * static_cast<std::int64_t>(sector)) != sector)
        return;
    if (!cache)
        return;
    auto [entry, added] = cached.try_emplace(number);
    entry->second.first.assign(data, data + sector);
    if (added || keeps != "place") {
        entry->second.second = ++writes;
        recent.emplace_back(number, writes);
    }
    evict();
}

bool failing(std::uint64_t offset, std::size_t size)
{
    traffic += size;
    return (offset < errorend && offset + size > errorstart) || traffic > failafter;
}

int cardattributes(const char* path, struct stat* status, fuse_file_info*)
{
    std::memset(status, 0, sizeof *status);
    if (std::strcmp(path, "/") == 0) {
        status->st_mode = S_IFDIR | 0755;
        status->st_nlink = 2;
    } else if (std::strcmp(path, cardpath) == 0) {
        status->st_mode = S_IFREG | 0644;
        status->st_nlink = 1;
        status->st_size = static_cast<off_t>(claimed);
    } else {
        return -ENOENT;
    }
    return 0;
}

int cardlist(const char*, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*, fuse_readdir_flags)
{
    fill(buffer, ".", nullptr, 0, FUSE_FILL_DIR_PLUS);
    fill(buffer, "..", nullptr, 0, FUSE_FILL_DIR_PLUS);
    fill(buffer, cardpath + 1, nullptr, 0, FUSE_FILL_DIR_PLUS);
    return 0;
}

int cardopen(const char* path, fuse_file_info* file)
{
    if (std::strcmp(path, cardpath) != 0)
        return -ENOENT;
    // Every request reaches the card, as the loop device's direct I/O asks.
    file->direct_io = 1;
    return 0;
}

int cardread(const char*, char* data, std::size_t size, off_t offset, fuse_file_info*)
{
    const auto start = static_cast<std::uint64_t>(offset);
    if (start >= claimed)
        return 0;
    size = static_cast<std::size_t>(std::min<std::uint64_t>(size, claimed - start));
    if (start % sector != 0 || size % sector != 0 || failing(start, size))
        return -EIO;
    for (std::size_t at = 0; at < size; at += sector)
        readsector((start + at) / sector, data + at);
    return static_cast<int>(size);
}

int cardwrite(const char*, const char* data, std::size_t size, off_t offset, fuse_file_info*)
{
    const auto start = static_cast<std::uint64_t>(offset);
    if (start % sector != 0 || size % sector != 0 || start + size > claimed || failing(start, size))
        return -EIO;
    if (writecost != 0)
        usleep(static_cast<useconds_t>(writecost));
    for (std::size_t at = 0; at < size; at += sector)
        writesector((start + at) / sector, data + at, size);
    return static_cast<int>(size);
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 7) {
        std::fprintf(stderr, "usage: fakecard MOUNTPOINT STORE CLAIMED KIND REAL CACHE [OPTION...]\n");
        return 2;
    }
    store = open(argv[2], O_RDWR);
    claimed = std::stoull(argv[3]);
    kind = argv[4];
    real = kind == "honest" ? claimed : std::stoull(argv[5]);
    wrapat = real;
    cachebytes = std::stoull(argv[6]);
    for (int option = 7; option < argc; option++) {
        const std::string text = argv[option], name = text.substr(0, text.find('=')),
                          value = text.substr(text.find('=') + 1);
        if (name == "wrapat") {
            wrapat = std::stoull(value);
        } else if (name == "takes") {
            takes = value;
        } else if (name == "keeps") {
            keeps = value;
        } else if (name == "drops") {
            dropstart = std::stoull(value.substr(0, value.find('-')));
            dropend = std::stoull(value.substr(value.find('-') + 1));
        } else if (name == "failafter") {
            failafter = std::stoull(value);
        } else if (name == "writecost") {
            writecost = std::stoull(value);
        } else if (name == "cycle") {
            cycle = std::stoull(value);
        } else if (name == "errors") {
            errorstart = std::stoull(value.substr(0, value.find('-')));
            errorend = std::stoull(value.substr(value.find('-') + 1));
        } else {
            std::fprintf(stderr, "fakecard: unknown option %s\n", argv[option]);
            return 2;
        }
    }
    if (store < 0 || real == 0) {
        std::perror(argv[2]);
        return 2;
    }
    fuse_operations operations{};
    operations.getattr = cardattributes;
    operations.readdir = cardlist;
    operations.open = cardopen;
    operations.read = cardread;
    operations.write = cardwrite;
    // One thread, so that the cache sees the writes in their order.
    char* fuseargs[] = {argv[0], argv[1], const_cast<char*>("-s"), nullptr};
    return fuse_main(3, fuseargs, &operations, nullptr);
}
