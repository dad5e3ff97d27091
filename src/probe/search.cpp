#include "probe/search.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <numeric>

namespace probe {

namespace {

// Places probed in one round at most, unless a large device needs more to
// keep them closer than half the cache limit.
constexpr std::uint64_t maxprobes = 4096;
// The usable size is found to within this below the real one.
constexpr std::uint64_t precision = 1 << 20;

// The stretches cut into pieces of at most chunkbytes.
std::vector<range> inchunks(const std::vector<range>& stretches)
{
    std::vector<range> pieces;
    for (const range& stretch : stretches)
        for (std::uint64_t at = stretch.start; at < stretch.end; at += chunkbytes)
            pieces.push_back({at, std::min<std::uint64_t>(stretch.end, at + chunkbytes)});
    return pieces;
}

} // namespace

search::search(device& dev, journal& log, std::uint64_t key, std::uint64_t cachelimit,
               progressreport progress, std::function<bool()> stop)
    : dev(dev), log(log), key(key), unit(dev.sectorsize), cache(cachelimit), progress(std::move(progress)),
      stop(std::move(stop)), buffer(chunkbytes), firstmib(protectedbytes + dev.sectorsize)
{
}

std::uint64_t search::down(std::uint64_t bytes) const
{
    return bytes / unit * unit;
}

std::uint64_t search::up(std::uint64_t bytes) const
{
    return (bytes + unit - 1) / unit * unit;
}

void search::tell(const char* what)
{
    step = what;
    tick();
}

void search::tick()
{
    progress(round, step, iobytes + log.saved());
}

bool search::readat(std::uint64_t offset, unsigned char* data, std::size_t size)
{
    iobytes += size;
    return dev.read(offset, data, size);
}

bool search::writeat(std::uint64_t offset, const unsigned char* data, std::size_t size)
{
    iobytes += size;
    return dev.write(offset, data, size);
}

void search::sharedstorage(std::uint64_t one, std::uint64_t other)
{
    wrapping = std::gcd(wrapping, one > other ? one - other : other - one);
}

// Places from start to before end, spacing apart; with jitter each lies at
// a random place of its stretch, so that no regular pattern of the device
// can line up with them.
std::vector<std::uint64_t> search::grid(std::uint64_t start, std::uint64_t end, std::uint64_t spacing,
                                        bool jitter) const
{
    std::vector<std::uint64_t> places;
    std::uint64_t random = key ^ start;
    for (std::uint64_t at = start; at < end; at += spacing) {
        std::uint64_t place = jitter ? at + down(nextrandom(&random) % spacing) : at;
        if (place < end)
            places.push_back(place);
    }
    return places;
}

// Saves what each of pieces holds before it is overwritten. Pieces that
// cannot be read are marked unreadable and left out of kept: they are not
// written.
search::flow search::savepieces(const std::vector<range>& pieces, std::vector<range>* kept)
{
    for (const range& piece : pieces) {
        saving result = log.save(piece.start, piece.end - piece.start);
        if (result == saving::journalfailed)
            return flow::fail;
        if (result == saving::unreadable)
            probed[piece.start] = {state::unreadable, content::other};
        else
            kept->push_back(piece);
        if (stop())
            return flow::stop;
        tick();
    }
    return flow::go;
}

// Saves what the probes at places and the stamps over stamped overwrite;
// both keep only what could be saved.
search::flow search::save(std::vector<std::uint64_t>* places, std::vector<range>* stamped)
{
    tell("Sichere, was überschrieben wird");
    std::vector<range> probes(places->size()), keptprobes, keptstamps;
    std::transform(places->begin(), places->end(), probes.begin(), [this](std::uint64_t place) {
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
    return log.commit() ? flow::go : flow::fail;
}

// The highest place first, so that of places sharing storage the lowest
// writes last and the others read back its stamp.
search::flow search::writeprobes(std::vector<std::uint64_t>* places)
{
    tell("Schreibe Proben");
    std::vector<std::uint64_t> written;
    for (auto place = places->rbegin(); place != places->rend(); ++place) {
        stamp(buffer.data, unit, key, *place, static_cast<std::uint32_t>(round));
        if (writeat(*place, buffer.data, unit))
            written.push_back(*place);
        else
            probed[*place] = {state::unreadable, content::other};
        if (stop())
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
search::flow search::flush(const std::vector<range>& pieces, bool stamps)
{
    tell(stamps ? "Schreibe Füllblöcke" : "Leere den Zwischenspeicher des Geräts");
    for (const range& piece : inchunks(pieces)) {
        const auto size = static_cast<std::size_t>(piece.end - piece.start);
        for (std::size_t sector = 0; stamps && sector < size; sector += unit)
            stamp(buffer.data + sector, unit, key, piece.start + sector, static_cast<std::uint32_t>(round));
        if ((!stamps && !readat(piece.start, buffer.data, size)) || !writeat(piece.start, buffer.data, size))
            probed[piece.start] = {state::unreadable, content::other};
        if (stop())
            return flow::stop;
        tick();
    }
    return flow::go;
}

// The first MiB is never written; a stamp found there came through a place
// whose storage wraps around onto it.
void search::checkfirstmib()
{
    const auto size = static_cast<std::size_t>(up(protectedbytes));
    if (!firstmibread || !readat(0, buffer.data, size) || std::memcmp(buffer.data, firstmib.data, size) == 0)
        return;
    for (std::size_t sector = 0; sector < size; sector += unit) {
        std::uint64_t offset;
        std::uint32_t written;
        if (readstamp(buffer.data + sector, unit, key, &offset, &written))
            sharedstorage(offset, sector);
    }
}

search::flow search::readprobes(const std::vector<std::uint64_t>& places)
{
    tell("Lese Proben");
    std::size_t count = 0;
    for (std::uint64_t place : places) {
        std::uint64_t offset;
        std::uint32_t written;
        if (!readat(place, buffer.data, unit))
            probed[place] = {state::unreadable, content::other};
        else if (!readstamp(buffer.data, unit, key, &offset, &written))
            probed[place] = {state::lost, classify(buffer.data, unit)};
        else if (offset != place) {
            sharedstorage(place, offset);
            probed[place] = {state::lost, content::other};
        } else
            probed[place] = {written == static_cast<std::uint32_t>(round) ? state::good : state::lost,
                             content::other};
        if (stop())
            return flow::stop;
        if (++count % 64 == 0)
            tick();
    }
    return flow::go;
}

search::flow search::settle()
{
    return dev.settle() ? flow::go : flow::lost;
}

// One round: probes at places, then the flush over pieces, with stamps or
// by writing back what is there, then every probe read back.
search::flow search::proberound(const std::vector<std::uint64_t>& places, const std::vector<range>& pieces,
                                bool stamps)
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
std::vector<range> search::flushroom(std::uint64_t low, std::uint64_t high) const
{
    std::vector<range> room;
    const std::uint64_t above = std::min(cache, down(dev.size) - high);
    if (above > 0)
        room.push_back({high, high + above});
    const std::uint64_t first = up(protectedbytes), below = cache - above;
    if (below > 0 && low > first)
        room.push_back({low - std::min(below, low - first), low});
    return room;
}

// The first bad place of places, or none (the largest value).
std::uint64_t search::firstbad(const std::vector<std::uint64_t>& places)
{
    auto bad = std::find_if(places.begin(), places.end(),
                            [this](std::uint64_t place) { return probed[place].what != state::good; });
    return bad == places.end() ? UINT64_MAX : *bad;
}

// The end of the last good place of places below limit, or fallback.
std::uint64_t search::goodtill(const std::vector<std::uint64_t>& places, std::uint64_t limit,
                               std::uint64_t fallback)
{
    auto good = std::find_if(places.rbegin(), places.rend(), [this, limit](std::uint64_t place) {
        return place < limit && probed[place].what == state::good;
    });
    return good == places.rend() ? fallback : *good + unit;
}

findings search::conclude()
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
    // A device that no longer answers even at its start is gone, not
    // counterfeit: nothing it said at the end tells of its storage.
    if (!readat(0, buffer.data, unit)) {
        result.outcome = verdict::lost;
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

findings search::stopped(flow how)
{
    findings result{};
    result.outcome = how == flow::stop   ? verdict::stopped
                     : how == flow::lost ? verdict::lost
                                         : verdict::failed;
    result.probed = probed.size();
    return result;
}

std::uint64_t plannedbytes(const device& dev, std::uint64_t cachelimit)
{
    const std::uint64_t probes = 3 * maxprobes * dev.sectorsize;
    const std::uint64_t flushed = std::min(cachelimit, dev.size / 2);
    // Round one saves and stamps the cache's worth, a second round reads and
    // writes it back, and the restoration writes and reads the stamps again.
    return 6 * flushed + 2 * probes;
}

std::uint64_t plannedjournal(const device& dev, std::uint64_t cachelimit)
{
    // Round one's stretch of stamps and every probe of up to three rounds,
    // each piece with its record's head, and room for the markers.
    const std::uint64_t pieces = 3 * maxprobes + std::min(cachelimit, dev.size / 2) / chunkbytes + 1;
    return std::min(cachelimit, dev.size / 2) + 3 * maxprobes * dev.sectorsize + pieces * 32 + (1 << 20);
}

findings search::run()
{
    if (buffer.data == nullptr || firstmib.data == nullptr)
        return stopped(flow::fail);
    firstmibread = readat(0, firstmib.data, static_cast<std::size_t>(up(protectedbytes)));

    // Round one: probes all over the device above a stretch of stamps as
    // long as the cache limit, which pushes them out of the cache and which
    // every place whose storage wraps around finds close enough to land on.
    const std::uint64_t size = down(dev.size), first = up(protectedbytes);
    cache = std::min(down(cache), down((size - first) / 2));
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
