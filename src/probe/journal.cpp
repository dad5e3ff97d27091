#include "probe/journal.h"

#include "platform/platform.h"
#include "probe/stamp.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>
#include <vector>

namespace probe {

namespace {

// "KAPUNDO1" and "KAPSAVE1", least significant byte first.
constexpr std::uint64_t headermagic = 0x314f444e5550414b;
constexpr std::uint64_t recordmagic = 0x314556415350414b;
constexpr std::size_t headerbytes = 40;
constexpr std::size_t recordbytes = 32;
constexpr char restoring[] = "Stelle wieder her";
constexpr char checking[] = "Prüfe die Wiederherstellung";

filehandle journal = nofile;
// The places saved by this run, as ranges from their first byte to behind the last.
std::map<std::uint64_t, std::uint64_t> savedranges;
std::uint64_t savedbytes;
unsigned char* buffer;
unsigned char* readback;

void put(unsigned char* at, std::uint64_t word)
{
    for (int i = 0; i < 8; i++, word >>= 8)
        at[i] = static_cast<unsigned char>(word);
}

std::uint64_t get(const unsigned char* at)
{
    std::uint64_t word = 0;
    for (int i = 7; i >= 0; i--)
        word = word << 8 | at[i];
    return word;
}

bool havebuffers()
{
    if (buffer == nullptr)
        buffer = allocbuffer(chunkbytes);
    if (readback == nullptr)
        readback = allocbuffer(chunkbytes);
    return buffer != nullptr && readback != nullptr;
}

// The checksum of a record covers its place, its length and its data, so
// that a record torn by an interruption is recognised and not written back.
std::uint64_t checksum(const unsigned char* head, const unsigned char* data, std::size_t size)
{
    return fnv1a(data, size, fnv1a(head + 8, 16));
}

void markrange(std::uint64_t start, std::uint64_t end)
{
    auto next = savedranges.lower_bound(start);
    if (next != savedranges.begin() && std::prev(next)->second >= start) {
        next = std::prev(next);
        start = next->first;
    }
    while (next != savedranges.end() && next->first <= end) {
        end = std::max(end, next->second);
        next = savedranges.erase(next);
    }
    savedranges[start] = end;
}

saving saveone(const device& dev, std::uint64_t offset, std::size_t size)
{
    if (!dev.read(dev.context, offset, buffer, size))
        return saving::unreadable;
    unsigned char head[recordbytes];
    put(head, recordmagic);
    put(head + 8, offset);
    put(head + 16, size);
    put(head + 24, checksum(head, buffer, size));
    if (!writefile(journal, head, recordbytes) || !writefile(journal, buffer, size))
        return saving::journalfailed;
    savedbytes += size;
    markrange(offset, offset + size);
    return saving::saved;
}

struct record {
    std::uint64_t at;
    std::uint64_t offset;
    std::size_t size;
};

// The records of an open journal up to the first one that does not hold
// together. That may be the last one, torn by an interruption while it was
// appended; one that more of the file follows is damage, and *damaged says so.
std::vector<record> records(filehandle file, std::uint64_t sectorsize, bool* damaged)
{
    std::vector<record> found;
    unsigned char head[recordbytes];
    *damaged = false;
    for (std::uint64_t at = headerbytes; readfileat(file, at, head, recordbytes);
         at += recordbytes + get(head + 16)) {
        const std::uint64_t size = get(head + 16);
        if (get(head) != recordmagic || size == 0 || size > chunkbytes || size % sectorsize != 0 ||
            !readfileat(file, at + recordbytes, buffer, size) ||
            checksum(head, buffer, size) != get(head + 24)) {
            unsigned char beyond;
            *damaged =
                readfileat(file, at + recordbytes + std::min<std::uint64_t>(size, chunkbytes), &beyond, 1);
            break;
        }
        found.push_back({at + recordbytes, get(head + 8), size});
    }
    return found;
}

} // namespace

std::string journalname(std::uint64_t size)
{
    return "kapprobe-" + std::to_string(size) + ".undo";
}

bool journalstart(const char* name, const device& dev, std::uint64_t key, std::uint64_t fingerprint)
{
    savedranges.clear();
    savedbytes = 0;
    if (!havebuffers())
        return false;
    journal = createfile(name);
    unsigned char header[headerbytes];
    put(header, headermagic);
    put(header + 8, key);
    put(header + 16, dev.size);
    put(header + 24, dev.sectorsize);
    put(header + 32, fingerprint);
    return journal != nofile && writefile(journal, header, headerbytes) && flushfile(journal);
}

saving journalsave(const device& dev, std::uint64_t offset, std::uint64_t size)
{
    const std::uint64_t end = offset + size;
    for (std::uint64_t at = offset; at < end;) {
        auto next = savedranges.upper_bound(at);
        if (next != savedranges.begin() && std::prev(next)->second > at) {
            at = std::prev(next)->second;
            continue;
        }
        const std::uint64_t stop = next == savedranges.end() ? end : std::min(end, next->first);
        for (; at < stop;) {
            auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(chunkbytes, stop - at));
            saving result = saveone(dev, at, piece);
            if (result != saving::saved)
                return result;
            at += piece;
        }
    }
    return saving::saved;
}

bool journalcommit()
{
    return flushfile(journal);
}

std::uint64_t journalsaved()
{
    return savedbytes;
}

bool readjournalheader(const char* name, journalheader* header)
{
    filehandle file = openfile(name);
    if (file == nofile)
        return false;
    unsigned char bytes[headerbytes];
    bool read = readfileat(file, 0, bytes, headerbytes);
    closefile(file);
    if (!read || get(bytes) != headermagic)
        return false;
    *header = {get(bytes + 8), get(bytes + 16), get(bytes + 24), get(bytes + 32)};
    return true;
}

restoration journalrestore(const char* name, const device& dev, progressreport progress, std::uint64_t done)
{
    restoration result{};
    journalheader header;
    if (journal != nofile) {
        closefile(journal);
        journal = nofile;
    }
    filehandle file = openfile(name);
    if (!havebuffers() || file == nofile || !readjournalheader(name, &header)) {
        if (file != nofile)
            closefile(file);
        return result;
    }
    bool damaged;
    const std::vector<record> saved = records(file, dev.sectorsize, &damaged);
    result.complete = !damaged;
    progress(0, restoring, done);
    for (auto place = saved.rbegin(); place != saved.rend(); ++place) {
        if (!readfileat(file, place->at, buffer, place->size) ||
            !dev.write(dev.context, place->offset, buffer, place->size))
            result.complete = false;
        done += place->size;
        progress(0, restoring, done);
    }
    if (dev.settle != nullptr && !dev.settle(dev.context))
        result.complete = false;
    progress(0, checking, done);
    for (const record& place : saved) {
        done += place.size;
        progress(0, checking, done);
        result.places++;
        result.bytes += place.size;
        bool read = readfileat(file, place.at, buffer, place.size) &&
                    dev.read(dev.context, place.offset, readback, place.size);
        for (std::size_t at = 0; at < place.size; at += dev.sectorsize) {
            std::uint64_t offset;
            std::uint32_t round;
            if (read && (std::memcmp(buffer + at, readback + at, dev.sectorsize) == 0 ||
                         readstamp(buffer + at, dev.sectorsize, header.key, &offset, &round)))
                continue;
            if (result.wrong == 0)
                result.firstwrong = place.offset + at;
            result.wrong += dev.sectorsize;
        }
    }
    closefile(file);
    return result;
}

} // namespace probe
