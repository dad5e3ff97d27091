#include "probe/journal.h"

#include "probe/stamp.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <numeric>

namespace probe {

namespace {

// "KAPUNDO3", "KAPSAVE1" and "KAPMARK2", least significant byte first. A
// journal headed "KAPUNDO2" comes from an older run, which did not record
// where its device writes went; one headed "KAPUNDO1" from a still older
// one, which wrote the same records but no markers and put each round's
// records on the medium before writing the device.
constexpr std::uint64_t headermagic = 0x334f444e5550414b;
constexpr std::uint64_t unrecordedheadermagic = 0x324f444e5550414b;
constexpr std::uint64_t olderheadermagic = 0x314f444e5550414b;
constexpr std::uint64_t recordmagic = 0x314556415350414b;
constexpr std::uint64_t markermagic = 0x324b52414d50414b;
// "KAPKEPT1": a record of data the run held in memory, which the device no
// longer had when it was saved.
constexpr std::uint64_t keptmagic = 0x31545045454b414b;
// "KAPWRIT1": the places that the device writes behind it go to, as pairs
// of place and length; its flags say whether it starts the set in flight
// afresh, as the device had put every earlier write on its medium.
constexpr std::uint64_t writingmagic = 0x315449525750414b;
constexpr std::uint64_t freshflag = 1;
constexpr std::size_t placebytes = 16;

// The header: magic, key, size, sector size, the identity (256 bytes) and
// the path (192 bytes) of the device, zero-padded, and a checksum in its
// last word. An older run's header is the first four words and a hash of
// the device's first MiB.
constexpr std::size_t headerbytes = 512;
constexpr std::size_t olderheaderbytes = 40;
constexpr std::size_t identityat = 32, identitybytes = 256;
constexpr std::size_t pathat = identityat + identitybytes, pathbytes = 192;
constexpr std::size_t headersumat = headerbytes - 8;
static_assert(pathat + pathbytes <= headersumat);
// A record: magic, place, length, checksum, then the data.
constexpr std::size_t recordbytes = 32;
// A marker: magic, key, records before it, its own place in the file, the
// chain of the records' checksums, and its own checksum.
constexpr std::size_t markerbytes = 48;
constexpr std::uint64_t chainseed = 0xcbf29ce484222325;
// The restoration records its writes in flight in batches of at most this.
constexpr std::uint64_t batchbytes = 64 << 20;
// The smallest sector of any device.
constexpr std::size_t stampgrain = 512;
// A probe is written in a sector or 4 KiB, never more than this; the
// flush's pieces are larger.
constexpr std::uint32_t largestprobe = 64 << 10;

constexpr char restoring[] = "Stelle wieder her";
constexpr char checking[] = "Prüfe die Wiederherstellung";
constexpr char owning[] = "Prüfe, ob das Journal zu diesem Gerät gehört";

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

// The checksum of a record covers its place, its length and its data, so
// that a record torn by an interruption is recognised and not written back.
std::uint64_t checksum(const unsigned char* head, const unsigned char* data, std::size_t size)
{
    return fnv1a(data, size, fnv1a(head + 8, 16));
}

std::uint64_t chained(std::uint64_t chain, std::uint64_t sum)
{
    unsigned char bytes[8];
    put(bytes, sum);
    return fnv1a(bytes, sizeof bytes, chain);
}

// text into a zero-padded field of size bytes, cut to leave one zero.
void puttext(unsigned char* at, std::size_t size, const std::string& text)
{
    std::copy_n(text.begin(), std::min(text.size(), size - 1), at);
}

std::string gettext(const unsigned char* at, std::size_t size)
{
    const auto* text = reinterpret_cast<const char*>(at);
    return std::string(text, strnlen(text, size));
}

// True when the marker at position in the file closes records records with
// chain under key; any makes it enough that it holds together by itself.
bool validmarker(const unsigned char* marker, std::uint64_t position, std::uint64_t key, bool any,
                 std::uint64_t records, std::uint64_t chain)
{
    return get(marker) == markermagic && get(marker + 40) == fnv1a(marker, 40) && get(marker + 8) == key &&
           get(marker + 24) == position &&
           (any || (get(marker + 16) == records && get(marker + 32) == chain));
}

// True when the file holds no byte but zeros from offset on.
bool zerosfrom(journalfile& file, std::uint64_t offset, unsigned char* buffer)
{
    for (std::uint64_t end = file.size(); offset < end;) {
        const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(chunkbytes, end - offset));
        if (!file.read(offset, buffer, size) ||
            std::any_of(buffer, buffer + size, [](unsigned char byte) { return byte != 0; }))
            return false;
        offset += size;
    }
    return true;
}

// True when a marker that holds together by itself lies at or behind
// offset: what stopped the reading there lies before a commit, so is damage.
bool markerbehind(journalfile& file, std::uint64_t offset, std::uint64_t key, unsigned char* buffer)
{
    const std::uint64_t end = file.size();
    for (offset = offset / 8 * 8; offset + markerbytes <= end; offset += chunkbytes - markerbytes) {
        const auto size = static_cast<std::size_t>(std::min<std::uint64_t>(chunkbytes, end - offset));
        if (!file.read(offset, buffer, size))
            return false;
        for (std::size_t at = 0; at + markerbytes <= size; at += 8)
            if (validmarker(buffer + at, offset + at, key, true, 0, 0))
                return true;
    }
    return false;
}

// The record whose head is at at, with its data in buffer; false when none
// holds together there.
bool readrecord(journalfile& file, std::uint64_t at, std::uint32_t sectorsize, unsigned char* buffer,
                journalrecord* record, std::uint64_t* sum)
{
    unsigned char head[recordbytes];
    if (!file.read(at, head, recordbytes) || (get(head) != recordmagic && get(head) != keptmagic))
        return false;
    const std::uint64_t size = get(head + 16);
    if (size == 0 || size > chunkbytes || size % sectorsize != 0 ||
        !file.read(at + recordbytes, buffer, static_cast<std::size_t>(size)) ||
        checksum(head, buffer, static_cast<std::size_t>(size)) != get(head + 24))
        return false;
    *record = {at + recordbytes, get(head + 8), static_cast<std::uint32_t>(size), get(head) == keptmagic};
    *sum = get(head + 24);
    return true;
}

// The records of an older journal, which has no markers: up to the first
// one that does not hold together, which may be the last one, torn while it
// was appended; one that more of the file follows is damage.
void readolder(journalfile& file, unsigned char* buffer, journalcontents* contents)
{
    std::uint64_t at = olderheaderbytes, sum;
    for (journalrecord record; readrecord(file, at, contents->header.sectorsize, buffer, &record, &sum);
         at = record.at + record.size)
        contents->records.push_back(record);
    unsigned char head[recordbytes];
    contents->damaged = file.read(at, head, recordbytes) && get(head + 16) <= chunkbytes &&
                        file.size() > at + recordbytes + get(head + 16);
}

// The places of the record of device writes whose head is at at, and
// whether they start the set in flight afresh; false when none holds
// together there.
bool readwriting(journalfile& file, std::uint64_t at, unsigned char* buffer, std::vector<stretch>* places,
                 bool* fresh, std::uint64_t* size, std::uint64_t* sum)
{
    unsigned char head[recordbytes];
    if (!file.read(at, head, recordbytes) || get(head) != writingmagic)
        return false;
    const std::uint64_t count = get(head + 8);
    if (count == 0 || count > chunkbytes / placebytes ||
        !file.read(at + recordbytes, buffer, static_cast<std::size_t>(count * placebytes)) ||
        checksum(head, buffer, static_cast<std::size_t>(count * placebytes)) != get(head + 24))
        return false;
    places->clear();
    for (std::uint64_t index = 0; index < count; index++)
        places->push_back({get(buffer + index * placebytes), get(buffer + index * placebytes + 8)});
    *fresh = (get(head + 16) & freshflag) != 0;
    *size = recordbytes + count * placebytes;
    *sum = get(head + 24);
    return true;
}

// The places of the device writes since the last fresh set, merged and sorted.
std::vector<stretch> merged(std::vector<stretch> places)
{
    std::sort(places.begin(), places.end(),
              [](const stretch& one, const stretch& other) { return one.offset < other.offset; });
    std::vector<stretch> joined;
    for (const stretch& it : places) {
        if (!joined.empty() && it.offset <= joined.back().offset + joined.back().size)
            joined.back().size = std::max(joined.back().size, it.offset + it.size - joined.back().offset);
        else
            joined.push_back(it);
    }
    return joined;
}

void readrecords(journalfile& file, unsigned char* buffer, journalcontents* contents)
{
    const journalheader& header = contents->header;
    std::vector<journalrecord> pending;
    // The places in flight as the committed entries leave them, and as
    // the entries behind the last marker would.
    std::vector<stretch> inflight, pendingflight;
    std::uint64_t at = headerbytes, chain = chainseed, sum, entries = 0;
    contents->end = at;
    contents->chain = chain;
    for (;;) {
        journalrecord record;
        unsigned char marker[markerbytes];
        std::vector<stretch> places;
        bool fresh;
        std::uint64_t size;
        if (readrecord(file, at, header.sectorsize, buffer, &record, &sum)) {
            pending.push_back(record);
            entries++;
            chain = chained(chain, sum);
            at = record.at + record.size;
        } else if (readwriting(file, at, buffer, &places, &fresh, &size, &sum)) {
            if (fresh)
                pendingflight.clear();
            pendingflight.insert(pendingflight.end(), places.begin(), places.end());
            entries++;
            chain = chained(chain, sum);
            at += size;
        } else if (file.read(at, marker, markerbytes) &&
                   validmarker(marker, at, header.key, false, entries, chain)) {
            contents->records.insert(contents->records.end(), pending.begin(), pending.end());
            pending.clear();
            inflight = pendingflight;
            at += markerbytes;
            contents->end = at;
            contents->entries = entries;
            contents->chain = chain;
        } else {
            break;
        }
    }
    contents->inflight = merged(inflight);
    // Behind the last marker lies what a power cut may have torn or left
    // as zeros, never written to the device; a marker further on shows that
    // what stopped the reading had been committed.
    if (at < file.size() && markerbehind(file, at, header.key, buffer)) {
        contents->damaged = true;
        contents->records.insert(contents->records.end(), pending.begin(), pending.end());
    }
}

} // namespace

std::string journalname(std::uint64_t size, const std::string& identity)
{
    std::string safe;
    for (char c : identity) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           c == '.' || c == '-';
        if (plain)
            safe += c;
        else if (!safe.empty() && safe.back() != '_')
            safe += '_';
    }
    while (!safe.empty() && safe.back() == '_')
        safe.pop_back();
    if (safe.size() > 80) {
        char hash[20];
        std::snprintf(hash, sizeof hash, "-%016llx",
                      static_cast<unsigned long long>(
                          fnv1a(reinterpret_cast<const unsigned char*>(identity.data()), identity.size())));
        safe.resize(63);
        safe += hash;
    }
    return "kapprobe-" + std::to_string(size) + (safe.empty() ? "" : "-" + safe) + ".undo";
}

journal::journal(journalfile& file, device& dev) : file(file), dev(dev), buffer(chunkbytes), chain(chainseed)
{
}

bool journal::start(const journalheader& header)
{
    key = header.key;
    unsigned char bytes[headerbytes] = {};
    put(bytes, headermagic);
    put(bytes + 8, header.key);
    put(bytes + 16, header.size);
    put(bytes + 24, header.sectorsize);
    puttext(bytes + identityat, identitybytes, header.identity);
    puttext(bytes + pathat, pathbytes, header.path);
    put(bytes + headersumat, fnv1a(bytes, headersumat));
    written = headerbytes;
    return buffer.data != nullptr && file.append(bytes, headerbytes) && file.sync();
}

void journal::markrange(std::uint64_t start, std::uint64_t end)
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

saving journal::saveone(std::uint64_t offset, std::size_t size)
{
    if (!dev.read(offset, buffer.data, size))
        return saving::unreadable;
    // A stamp starts every 512 bytes of a stamp's sector, whatever the
    // sector size of the run that wrote it.
    for (std::size_t at = 0; at < size && !otherrunfound; at += stampgrain) {
        std::uint64_t found;
        if (stampofanyrun(buffer.data + at, stampgrain, &found) && found != key) {
            otherrunfound = true;
            otherrunat = offset + at;
        }
    }
    return append(recordmagic, offset, buffer.data, size) ? saving::saved : saving::journalfailed;
}

bool journal::append(std::uint64_t magic, std::uint64_t offset, const unsigned char* data, std::size_t size)
{
    unsigned char head[recordbytes];
    put(head, magic);
    put(head + 8, offset);
    put(head + 16, size);
    const std::uint64_t sum = checksum(head, data, size);
    put(head + 24, sum);
    if (!file.append(head, recordbytes) || !file.append(data, size))
        return false;
    if (magic == recordmagic)
        recordsat[offset] = {written + recordbytes, size};
    records++;
    chain = chained(chain, sum);
    written += recordbytes + size;
    savedbytes += size;
    markrange(offset, offset + size);
    return true;
}

bool journal::keep(std::uint64_t offset, const unsigned char* data, std::size_t size)
{
    return append(keptmagic, offset, data, size);
}

saving journal::save(std::uint64_t offset, std::uint64_t size)
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
            saving result = saveone(at, piece);
            if (result != saving::saved)
                return result;
            at += piece;
        }
    }
    return saving::saved;
}

bool journal::recall(std::uint64_t offset, std::size_t size, unsigned char* data)
{
    for (std::uint64_t at = offset, end = offset + size; at < end;) {
        auto record = recordsat.upper_bound(at);
        if (record == recordsat.begin())
            return false;
        --record;
        const auto [position, length] = record->second;
        if (record->first + length <= at)
            return false;
        const std::uint64_t piece = std::min(end, record->first + length) - at;
        if (!file.read(position + (at - record->first), data + (at - offset),
                       static_cast<std::size_t>(piece)))
            return false;
        at += piece;
    }
    return true;
}

bool journal::commit()
{
    // The records on the medium first, then their marker: a file system
    // keeps no order within one sync, and a marker there before its records
    // would make a round whose places were never written look damaged.
    if (!file.sync())
        return false;
    unsigned char marker[markerbytes];
    put(marker, markermagic);
    put(marker + 8, key);
    put(marker + 16, records);
    put(marker + 24, written);
    put(marker + 32, chain);
    put(marker + 40, fnv1a(marker, 40));
    if (!file.append(marker, markerbytes))
        return false;
    written += markerbytes;
    return file.sync();
}

bool journal::writing(const std::vector<stretch>& places)
{
    if (places.empty())
        return true;
    const std::size_t most = chunkbytes / placebytes;
    for (std::size_t from = 0; from < places.size(); from += most) {
        const std::size_t count = std::min(most, places.size() - from);
        for (std::size_t index = 0; index < count; index++) {
            put(buffer.data + index * placebytes, places[from + index].offset);
            put(buffer.data + index * placebytes + 8, places[from + index].size);
        }
        unsigned char head[recordbytes];
        put(head, writingmagic);
        put(head + 8, count);
        put(head + 16, flushed ? freshflag : 0);
        const std::uint64_t sum = checksum(head, buffer.data, count * placebytes);
        put(head + 24, sum);
        if (!file.append(head, recordbytes) || !file.append(buffer.data, count * placebytes))
            return false;
        flushed = false;
        records++;
        chain = chained(chain, sum);
        written += recordbytes + count * placebytes;
    }
    return commit();
}

bool journal::resume(const journalcontents& contents)
{
    if (!contents.inflightknown || buffer.data == nullptr || !file.truncate(contents.end))
        return false;
    key = contents.header.key;
    records = contents.entries;
    chain = contents.chain;
    written = contents.end;
    // What the earlier run left in flight stays so until the device is
    // settled.
    flushed = contents.inflight.empty();
    return true;
}

std::uint64_t savedbytes(const journalcontents& contents)
{
    return std::accumulate(contents.records.begin(), contents.records.end(), std::uint64_t{0},
                           [](std::uint64_t sum, const journalrecord& record) { return sum + record.size; });
}

journalstate readjournal(journalfile& file, journalcontents* contents)
{
    *contents = journalcontents{};
    iobuffer buffer(chunkbytes);
    unsigned char bytes[headerbytes] = {};
    if (buffer.data == nullptr)
        return journalstate::unreadable;
    const bool whole =
        file.read(0, bytes, static_cast<std::size_t>(std::min<std::uint64_t>(file.size(), headerbytes))) &&
        file.size() >= headerbytes;
    journalheader& header = contents->header;
    header = {get(bytes + 8), get(bytes + 16), static_cast<std::uint32_t>(get(bytes + 24)), "", ""};
    const bool sane = header.sectorsize >= 512 && header.sectorsize <= chunkbytes &&
                      (header.sectorsize & (header.sectorsize - 1)) == 0;
    const bool recorded = get(bytes) == headermagic;
    if (whole && sane && (recorded || get(bytes) == unrecordedheadermagic) &&
        get(bytes + headersumat) == fnv1a(bytes, headersumat)) {
        header.identity = gettext(bytes + identityat, identitybytes);
        header.path = gettext(bytes + pathat, pathbytes);
        readrecords(file, buffer.data, contents);
        contents->inflightknown = recorded && !contents->damaged;
        return journalstate::readable;
    }
    if (sane && file.size() >= olderheaderbytes && get(bytes) == olderheadermagic) {
        readolder(file, buffer.data, contents);
        return journalstate::readable;
    }
    // The header is on the medium before anything is overwritten: a file
    // that holds only the start of one, or zeros alone, was never in force.
    unsigned char magic[8];
    put(magic, headermagic);
    const auto held = static_cast<std::size_t>(std::min<std::uint64_t>(file.size(), sizeof magic));
    const bool headerstart = file.size() < headerbytes && std::memcmp(bytes, magic, held) == 0;
    return headerstart || zerosfrom(file, 0, buffer.data) ? journalstate::empty : journalstate::unreadable;
}

namespace {

// True when the sector at offset, read again, gives other bytes than found:
// a place without storage, which holds nothing of anyone's.
bool unsteady(device& dev, std::uint64_t offset, const unsigned char* found, unsigned char* again)
{
    return dev.read(offset, again, dev.sectorsize) && std::memcmp(again, found, dev.sectorsize) != 0;
}

// Whether [offset, offset + size) lies within one of places, sorted and
// apart.
bool within(const std::vector<stretch>& places, std::uint64_t offset, std::uint64_t size)
{
    auto after = std::upper_bound(places.begin(), places.end(), offset,
                                  [](std::uint64_t at, const stretch& it) { return at < it.offset; });
    return after != places.begin() && offset + size <= std::prev(after)->offset + std::prev(after)->size;
}

} // namespace

owner ownership(const placesfound& found, bool named)
{
    if (!found.fits)
        return owner::foreign;
    if (!found.answered)
        return owner::silent;
    if (found.stamped == 0)
        return named && found.torn + found.changed == 0 ? owner::writeback : owner::foreign;
    return found.changed == 0 ? owner::writeback : owner::usedsince;
}

bool noise(const unsigned char* bytes, std::size_t size)
{
    // 512 bytes of chance show about 221 of the 256 values, and hardly
    // ever fewer than 190; text, tables, zeros and fill show far fewer.
    bool seen[256] = {};
    std::size_t values = 0;
    for (std::size_t at = 0; at < size; at++)
        values += seen[bytes[at]] ? 0 : 1, seen[bytes[at]] = true;
    return size >= 512 && values >= 160;
}

placesfound checkplaces(journalfile& file, const journalcontents& contents, device& dev,
                        const progressreport& progress, std::uint64_t done)
{
    iobuffer saved(chunkbytes), found(chunkbytes), again(dev.sectorsize);
    const std::uint32_t sector = dev.sectorsize;
    const std::uint64_t key = contents.header.key;
    placesfound result;
    result.fits = true;
    result.answered = contents.records.empty();
    std::vector<const journalrecord*> order(contents.records.size());
    std::transform(contents.records.begin(), contents.records.end(), order.begin(),
                   [](const journalrecord& record) { return &record; });
    std::stable_sort(order.begin(), order.end(), [](const journalrecord* one, const journalrecord* other) {
        return one->size < other->size;
    });
    progress(0, owning, done);
    for (const journalrecord* record : order) {
        done += record->size;
        progress(0, owning, done);
        // Once a place shows a change, only a stamp of the run can still
        // tell the journal this device's, and the probes show one first.
        if (result.changed > 0 && (result.stamped > 0 || record->size > largestprobe))
            break;
        if (record->kept || saved.data == nullptr || found.data == nullptr || again.data == nullptr ||
            !file.read(record->at, saved.data, record->size) ||
            !dev.read(record->offset, found.data, record->size))
            continue;
        result.answered = true;
        for (std::size_t at = 0; at < record->size; at += sector) {
            const std::uint64_t place = record->offset + at;
            std::uint64_t stampkey;
            if (differsonlybyrun(saved.data + at, found.data + at, sector, key, true)) {
                if (stampofanyrun(found.data + at, sector, &stampkey) && stampkey == key)
                    result.stamped += sector;
            } else if (unsteady(dev, place, found.data + at, again.data)) {
            } else if (within(contents.inflight, place, sector)) {
                if (result.torn == 0)
                    result.tornat = place;
                result.torn += sector;
            } else {
                if (result.changed == 0)
                    result.at = place;
                result.changed += sector;
            }
        }
    }
    return result;
}

namespace {

// The buffers and the state of one restoration.
struct restorer {
    journalfile& file;
    const journalcontents& contents;
    device& dev;
    restoration& result;
    iobuffer saved{chunkbytes}, found{chunkbytes}, again;

    restorer(journalfile& file, const journalcontents& contents, device& dev, restoration& result)
        : file(file), contents(contents), dev(dev), result(result), again(dev.sectorsize)
    {
    }

    // Writes record back. A sector saved when it held a stamp of the run
    // gets its content back from the earlier save of its storage: writing
    // the stamp back would only undo that where a cache of the system
    // reorders writes.
    void write(const journalrecord& record, std::size_t largest = chunkbytes)
    {
        const std::uint32_t sector = dev.sectorsize;
        if (!file.read(record.at, saved.data, record.size)) {
            result.unreadable = true;
            return;
        }
        for (std::size_t at = 0; at < record.size;) {
            std::size_t end = at;
            while (end < record.size &&
                   findrunparts(saved.data + end, sector, contents.header.key).headstart != 0)
                end += sector;
            for (std::size_t from = at; from < end; from += std::min(largest, end - from)) {
                if (dev.write(record.offset + from, saved.data + from, std::min(largest, end - from)))
                    continue;
                if (result.failed++ == 0) {
                    result.failure = dev.failure();
                    result.firstfailed = record.offset + from;
                }
                result.firstfailed = std::min(result.firstfailed, record.offset + from);
            }
            at = end + sector;
        }
    }

    // Reads record's place back: true when it holds what was saved. Unless
    // tentative, what differs is counted as wrong.
    bool check(const journalrecord& record, bool tentative)
    {
        const std::uint32_t sector = dev.sectorsize;
        const bool read =
            file.read(record.at, saved.data, record.size) && dev.read(record.offset, found.data, record.size);
        bool whole = true;
        for (std::size_t at = 0; at < record.size; at += sector) {
            if (read &&
                differsonlybyrun(saved.data + at, found.data + at, sector, contents.header.key, false))
                continue;
            if (read && unsteady(dev, record.offset + at, found.data + at, again.data)) {
                if (!tentative)
                    result.unstable += sector;
                if (!tentative && !noise(saved.data + at, sector)) {
                    if (result.unstabledata == 0)
                        result.firstunstabledata = record.offset + at;
                    result.unstabledata += sector;
                }
                continue;
            }
            whole = false;
            if (tentative)
                break;
            if (result.wrong == 0)
                result.firstwrong = record.offset + at;
            result.firstwrong = std::min(result.firstwrong, record.offset + at);
            result.lastwrong = std::max(result.lastwrong, record.offset + at + sector - 1);
            result.wrong += sector;
        }
        return whole;
    }

    // Reads back of record its first and its last block of 4 KiB (or a
    // sector, where larger), where a write that went astray shows first,
    // and one at a place of its own in every stride bytes: true when each
    // holds what was saved.
    bool sample(const journalrecord& record, std::uint64_t stride)
    {
        const std::uint32_t size = std::max<std::uint32_t>(dev.sectorsize, 4096);
        if (record.size <= 2 * std::uint64_t{size})
            return check(record, true);
        auto holds = [&](std::uint64_t at) {
            return check({record.at + at, record.offset + at, size, record.kept}, true);
        };
        std::uint64_t random = record.offset ^ contents.header.key;
        for (std::uint64_t from = size; from + 2 * std::uint64_t{size} <= record.size; from += stride) {
            const std::uint64_t span = std::min<std::uint64_t>(stride, record.size - size - from);
            if (!holds(from + nextrandom(&random) % (span - size + 1) / size * size))
                return false;
        }
        return holds(0) && holds(record.size - size);
    }

    bool settle()
    {
        if (dev.settle())
            return true;
        result.unflushed = true;
        result.flushfailure = dev.failure();
        return false;
    }
};

} // namespace

restoration restore(journalfile& file, const journalcontents& contents, device& dev,
                    const progressreport& progress, std::uint64_t done, const writeback& back, journal* log)
{
    restoration result;
    restorer it(file, contents, dev, result);
    if (it.saved.data == nullptr || it.found.data == nullptr || it.again.data == nullptr) {
        result.unreadable = true;
        return result;
    }
    auto sorted = [](std::vector<stretch> stretches) {
        std::sort(stretches.begin(), stretches.end(),
                  [](const stretch& one, const stretch& other) { return one.offset < other.offset; });
        return stretches;
    };
    const std::vector<stretch> sortedback = sorted(back.stretches), small = sorted(back.small);
    const std::size_t smallest = std::max<std::size_t>(dev.sectorsize, 4096);
    // The records in batches, each recorded in the journal as the writes in
    // flight once the device has put the batch before on its medium: a
    // power cut meanwhile can tear no other place. A journal that takes no
    // more leaves the last record standing, which then tells too little,
    // so that a later run asks before it writes anything.
    auto writeall = [&](const std::vector<const journalrecord*>& records) {
        for (std::size_t from = 0, upto = 0; from < records.size(); from = upto) {
            std::vector<stretch> places;
            for (std::uint64_t bytes = 0;
                 upto < records.size() && (upto == from || bytes + records[upto]->size <= batchbytes);
                 upto++) {
                places.push_back({records[upto]->offset, records[upto]->size});
                bytes += records[upto]->size;
            }
            if (log != nullptr && dev.settle())
                log->settled();
            if (log != nullptr && !log->writing(places))
                log = nullptr;
            for (std::size_t index = from; index < upto; index++) {
                done += records[index]->size;
                progress(0, restoring, done);
                it.write(*records[index],
                         within(small, records[index]->offset, records[index]->size) ? smallest : chunkbytes);
            }
        }
    };
    std::vector<const journalrecord*> towrite;
    for (auto record = contents.records.rbegin(); record != contents.records.rend(); ++record)
        if (!within(sortedback, record->offset, record->size))
            towrite.push_back(&*record);
    progress(0, restoring, done);
    writeall(towrite);
    if (it.settle() && log != nullptr)
        log->settled();
    // What the run wrote back itself is checked first, and written back,
    // in the same order as the rest, only where it no longer holds what was
    // saved: a later write of the run may have reached it. Where the run
    // found the device keeping everything, a sample of it is checked, and
    // a record whose sample differs whole.
    std::vector<const journalrecord*> again;
    progress(0, checking, done);
    for (const journalrecord& record : contents.records) {
        done += record.size;
        progress(0, checking, done);
        result.places++;
        result.bytes += record.size;
        const bool runback = within(sortedback, record.offset, record.size);
        const bool held =
            runback && back.stride != 0 ? it.sample(record, back.stride) : it.check(record, runback);
        if (!held && runback)
            again.push_back(&record);
    }
    if (again.empty())
        return result;
    std::reverse(again.begin(), again.end());
    progress(0, restoring, done);
    writeall(again);
    if (it.settle() && log != nullptr)
        log->settled();
    progress(0, checking, done);
    for (auto record = again.rbegin(); record != again.rend(); ++record) {
        done += (*record)->size;
        progress(0, checking, done);
        it.check(**record, false);
    }
    return result;
}

} // namespace probe
