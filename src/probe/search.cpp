#include "probe/search.h"

#include "platform/platform.h"
#include "probe/journal.h"
#include "probe/stamp.h"

#include <algorithm>
#include <array>
#include <map>
#include <numeric>
#include <vector>

namespace probe {

namespace {

// Places probed in one round at most, unless a large device needs more to
// keep them closer than half the cache limit.
constexpr std::uint64_t maxprobes = 4096;
// The usable size is found to within this below the real one.
constexpr std::uint64_t precision = 1 << 20;

enum class state { good, lost, unreadable };

struct place {
    state what;
    content kind;
};

struct range {
    std::uint64_t start;
    std::uint64_t end;
};

enum class flow { go, stop, fail };

const device* dev;
std::uint64_t runkey;
std::uint64_t unit;
std::uint64_t cache;
std::uint64_t fingerprint;
progressreport report;
unsigned char* buffer;
std::uint64_t iobytes;
int round;
const char* step;
// Every place probed, with what its last probe found.
std::map<std::uint64_t, place> probed;
// Distances between places found to share storage: all multiples of the
// distance after which the device's addresses wrap.
std::uint64_t wrapping;

std::uint64_t down(std::uint64_t bytes)
{
    return bytes / unit * unit;
}

std::uint64_t up(std::uint64_t bytes)
{
    return (bytes + unit - 1) / unit * unit;
}

void tell(const char* what)
{
    step = what;
    report(round, step, iobytes + journalsaved());
}

void tick()
{
    report(round, step, iobytes + journalsaved());
}

bool readat(std::uint64_t offset, unsigned char* data, std::size_t size)
{
    iobytes += size;
    return dev->read(dev->context, offset, data, size);
}

bool writeat(std::uint64_t offset, const unsigned char* data, std::size_t size)
{
    iobytes += size;
    return dev->write(dev->context, offset, data, size);
}

void sharedstorage(std::uint64_t one, std::uint64_t other)
{
    wrapping = std::gcd(wrapping, one > other ? one - other : other - one);
}

// Places from start to before end, spacing apart; with jitter each lies at
// a random place of its stretch, so that no regular pattern of the device
// can line up with them.
std::vector<std::uint64_t> grid(std::uint64_t start, std::uint64_t end, std::uint64_t spacing, bool jitter)
{
    std::vector<std::uint64_t> places;
    std::uint64_t random = runkey ^ start;
    for (std::uint64_t at = start; at < end; at += spacing) {
        std::uint64_t place = jitter ? at + down(nextrandom(&random) % spacing) : at;
        if (place < end)
            places.push_back(place);
    }
    return places;
}

// The stretches cut into pieces of at most chunkbytes.
std::vector<range> inchunks(const std::vector<range>& stretches)
{
    std::vector<range> pieces;
    for (const range& stretch : stretches)
        for (std::uint64_t at = stretch.start; at < stretch.end; at += chunkbytes)
            pieces.push_back({at, std::min<std::uint64_t>(stretch.end, at + chunkbytes)});
    return pieces;
}

// Saves what each of pieces holds before it is overwritten. Pieces that
// cannot be read are marked unreadable and left out of kept: they are not
// written.
flow savepieces(const std::vector<range>& pieces, std::vector<range>* kept)
{
    for (const range& piece : pieces) {
        saving result = journalsave(*dev, piece.start, piece.end - piece.start);
        if (result == saving::journalfailed)
            return flow::fail;
        if (result == saving::unreadable)
            probed[piece.start] = {state::unreadable, content::other};
        else
            kept->push_back(piece);
        if (stoprequested())
            return flow::stop;
        tick();
    }
    return flow::go;
}

// Saves what the probes at places and the stamps over stamped overwrite;
// both keep only what could be saved.
flow save(std::vector<std::uint64_t>* places, std::vector<range>* stamped)
{
    tell("Sichere, was überschrieben wird");
    std::vector<range> probes(places->size()), keptprobes, keptstamps;
    std::transform(places->begin(), places->end(), probes.begin(), [](std::uint64_t place) {
        return range{place, place + unit};
    });
    flow next = savepieces(probes, &keptprobes);
    if (next == flow::go)
        next = savepieces(inchunks(*stamped), &keptstamps);
    if (next != flow::go)
        return next;
    places->resize(keptprobes.size());
    std::transform(keptprobes.begin(), keptprobes.end(), places->begin(),
                   [](const range& probe) { return probe.start; });
    *stamped = keptstamps;
    return journalcommit() ? flow::go : flow::fail;
}

// The highest place first, so that of places sharing storage the lowest
// writes last and the others read back its stamp.
flow writeprobes(std::vector<std::uint64_t>* places)
{
    tell("Schreibe Proben");
    std::vector<std::uint64_t> written;
    for (auto place = places->rbegin(); place != places->rend(); ++place) {
        stamp(buffer, unit, runkey, *place, static_cast<std::uint32_t>(round));
        if (writeat(*place, buffer, unit))
            written.push_back(*place);
        else
            probed[*place] = {state::unreadable, content::other};
        if (stoprequested())
            return flow::stop;
        if (written.size() % 64 == 0)
            tick();
    }
    std::reverse(written.begin(), written.end());
    *places = written;
    return flow::go;
}

// Writes stamps over the pieces of stamped, or, without stamps, writes back
// what each piece of rewritten holds: writes enough to push everything
// before them out of a device's cache, the second kind changing nothing.
flow flush(const std::vector<range>& pieces, bool stamps)
{
    tell(stamps ? "Schreibe Füllblöcke" : "Leere den Zwischenspeicher des Geräts");
    for (const range& piece : inchunks(pieces)) {
        const auto size = static_cast<std::size_t>(piece.end - piece.start);
        for (std::size_t sector = 0; stamps && sector < size; sector += unit)
            stamp(buffer + sector, unit, runkey, piece.start + sector, static_cast<std::uint32_t>(round));
        if ((!stamps && !readat(piece.start, buffer, size)) || !writeat(piece.start, buffer, size))
            probed[piece.start] = {state::unreadable, content::other};
        if (stoprequested())
            return flow::stop;
        tick();
    }
    return flow::go;
}

// The first MiB is never written; a stamp found there came through a place
// whose storage wraps around onto it.
void checkfirstmib()
{
    const auto size = static_cast<std::size_t>(up(protectedbytes));
    if (!readat(0, buffer, size) || fnv1a(buffer, size) == fingerprint)
        return;
    for (std::size_t sector = 0; sector < size; sector += unit) {
        std::uint64_t offset;
        std::uint32_t written;
        if (readstamp(buffer + sector, unit, runkey, &offset, &written))
            sharedstorage(offset, sector);
    }
}

flow readprobes(const std::vector<std::uint64_t>& places)
{
    tell("Lese Proben");
    std::size_t count = 0;
    for (std::uint64_t place : places) {
        std::uint64_t offset;
        std::uint32_t written;
        if (!readat(place, buffer, unit))
            probed[place] = {state::unreadable, content::other};
        else if (!readstamp(buffer, unit, runkey, &offset, &written))
            probed[place] = {state::lost, classify(buffer, unit)};
        else if (offset != place) {
            sharedstorage(place, offset);
            probed[place] = {state::lost, content::other};
        } else
            probed[place] = {written == static_cast<std::uint32_t>(round) ? state::good : state::lost,
                             content::other};
        if (stoprequested())
            return flow::stop;
        if (++count % 64 == 0)
            tick();
    }
    return flow::go;
}

flow settle()
{
    return dev->settle == nullptr || dev->settle(dev->context) ? flow::go : flow::fail;
}

// One round: probes at places, then the flush over pieces, with stamps or
// by writing back what is there, then every probe read back.
flow proberound(const std::vector<std::uint64_t>& places, const std::vector<range>& pieces, bool stamps)
{
    round++;
    std::vector<std::uint64_t> probes = places;
    std::vector<range> stamped = stamps ? pieces : std::vector<range>();
    flow next = save(&probes, &stamped);
    if (next == flow::go)
        next = writeprobes(&probes);
    // The probes on the device before the flush, and the flush before the
    // probes are read back: a system that keeps writes would otherwise send
    // them on in its own order, the probes last, and a device's cache would
    // answer for them.
    if (next == flow::go)
        next = settle();
    if (next == flow::go)
        next = flush(stamps ? stamped : pieces, stamps);
    if (next == flow::go)
        next = settle();
    if (next != flow::go)
        return next;
    checkfirstmib();
    return readprobes(probes);
}

// Room for writes that push a round's probes out of the device's cache,
// outside [low, high), where the probes are: above them first, beyond a place
// already found bad, where a counterfeit device loses them, and below them as
// far as needed.
std::vector<range> flushroom(std::uint64_t low, std::uint64_t high)
{
    std::vector<range> room;
    const std::uint64_t above = std::min(cache, down(dev->size) - high);
    if (above > 0)
        room.push_back({high, high + above});
    const std::uint64_t first = up(protectedbytes), below = cache - above;
    if (below > 0 && low > first)
        room.push_back({low - std::min(below, low - first), low});
    return room;
}

// The first bad place of places, or none (the largest value).
std::uint64_t firstbad(const std::vector<std::uint64_t>& places)
{
    auto bad = std::find_if(places.begin(), places.end(),
                            [](std::uint64_t place) { return probed[place].what != state::good; });
    return bad == places.end() ? UINT64_MAX : *bad;
}

// The end of the last good place of places below limit, or fallback.
std::uint64_t goodtill(const std::vector<std::uint64_t>& places, std::uint64_t limit, std::uint64_t fallback)
{
    auto good = std::find_if(places.rbegin(), places.rend(), [limit](std::uint64_t place) {
        return place < limit && probed[place].what == state::good;
    });
    return good == places.rend() ? fallback : *good + unit;
}

findings conclude()
{
    findings result{};
    result.probed = probed.size();
    if (wrapping != 0) {
        result.outcome = verdict::counterfeit;
        result.what = beyond::wraps;
        result.wrapsize = wrapping;
        result.usable = wrapping;
        return result;
    }
    auto bad = std::find_if(probed.begin(), probed.end(),
                            [](const auto& found) { return found.second.what != state::good; });
    if (bad == probed.end()) {
        result.outcome = verdict::sound;
        return result;
    }
    result.firstbad = bad->first;
    std::array<std::uint64_t, 5> kinds{};
    bool allbad = true;
    for (auto found = bad; found != probed.end(); ++found) {
        const place& it = found->second;
        if (it.what == state::good)
            allbad = false;
        else
            result.badplaces++;
        if (it.what == state::unreadable)
            kinds[static_cast<int>(beyond::unreadable)]++;
        else if (it.what == state::lost)
            kinds[static_cast<int>(it.kind == content::zeros  ? beyond::zeros
                                   : it.kind == content::ones ? beyond::ones
                                                              : beyond::stale)]++;
    }
    if (!allbad) {
        result.outcome = verdict::damaged;
        return result;
    }
    result.outcome = verdict::counterfeit;
    result.what = static_cast<beyond>(std::max_element(kinds.begin(), kinds.end()) - kinds.begin());
    result.usable = up(protectedbytes);
    for (const auto& [offset, found] : probed)
        if (offset < bad->first && found.what == state::good)
            result.usable = offset + unit;
    return result;
}

findings stopped(flow how)
{
    findings result{};
    result.outcome = how == flow::stop ? verdict::stopped : verdict::failed;
    result.probed = probed.size();
    return result;
}

} // namespace

std::uint64_t plannedbytes(const device& dev, std::uint64_t cachelimit)
{
    const std::uint64_t probes = 3 * maxprobes * dev.sectorsize;
    const std::uint64_t flushed = std::min(cachelimit, dev.size / 2);
    // Round one saves and stamps the cache's worth, a second round reads and
    // writes it back, and the restoration writes and reads the stamps again.
    return 6 * flushed + 2 * probes;
}

findings search(const device& device, std::uint64_t key, std::uint64_t cachelimit, std::uint64_t firstmib,
                progressreport progress)
{
    dev = &device;
    runkey = key;
    unit = device.sectorsize;
    fingerprint = firstmib;
    report = progress;
    iobytes = 0;
    round = 0;
    probed.clear();
    wrapping = 0;
    if (buffer == nullptr)
        buffer = allocbuffer(chunkbytes);
    if (buffer == nullptr)
        return stopped(flow::fail);

    // Round one: probes all over the device above a stretch of stamps as
    // long as the cache limit, which pushes them out of the cache and which
    // every place whose storage wraps around finds close enough to land on.
    const std::uint64_t size = down(device.size), first = up(protectedbytes);
    cache = std::min(down(cachelimit), down((size - first) / 2));
    const range stamps = {first, first + cache};
    const std::uint64_t spacing =
        std::max(unit, std::min(up((size - stamps.end) / maxprobes), down(cache / 2)));
    std::vector<std::uint64_t> places = grid(stamps.end, size, spacing, true);
    if (places.empty() || places.back() != size - unit)
        places.push_back(size - unit);
    flow next = proberound(places, {stamps}, true);
    if (next != flow::go)
        return stopped(next);

    // Then closer and closer between the last good place and the first bad
    // one; or, where all were good, once over the stretch of stamps.
    std::uint64_t low = first, high = stamps.end;
    bool highbad = false;
    if (std::uint64_t bad = firstbad(places); bad != UINT64_MAX) {
        high = bad;
        low = goodtill(places, bad, first);
        highbad = true;
    }
    for (bool checked = false; wrapping == 0 && (highbad ? high - low >= precision : !checked);
         checked = true) {
        places = grid(low, high, std::max(unit, up((high - low) / maxprobes)), false);
        next = proberound(places, flushroom(low, high), false);
        if (next != flow::go)
            return stopped(next);
        if (std::uint64_t bad = firstbad(places); bad != UINT64_MAX) {
            low = goodtill(places, bad, low);
            high = bad;
            highbad = true;
        } else if (highbad) {
            low = places.empty() ? high : places.back() + unit;
        }
    }
    return conclude();
}

} // namespace probe
