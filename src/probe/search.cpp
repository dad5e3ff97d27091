#include "probe/search.h"

#include "probe/searchsizes.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numeric>
#include <set>
#include <tuple>

namespace probe {

search::search(device& dev, journal& log, std::uint64_t key, std::uint64_t cachelimit,
               progressreport progress, std::function<void(std::uint64_t)> replan, std::function<bool()> stop)
    : dev(dev), log(log), key(key), unit(dev.sectorsize), cache(cachelimit), progress(std::move(progress)),
      replan(std::move(replan)), stop(std::move(stop)), buffer(chunkbytes),
      firstmib(protectedbytes + dev.sectorsize)
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

// The run now plans remaining bytes of I/O more, and the restoration of
// everything saved by then: written and read back, but what the flush will
// have written back itself, back bytes, only read.
void search::plan(std::uint64_t remaining, std::uint64_t tosave, std::uint64_t back)
{
    replan(iobytes + log.saved() + remaining + 2 * (log.saved() + tosave) - back);
}

bool search::readat(std::uint64_t offset, unsigned char* data, std::size_t size)
{
    iobytes += size;
    return dev.read(offset, data, size);
}

bool search::writeat(std::uint64_t offset, const unsigned char* data, std::size_t size)
{
    iobytes += size;
    writtenbytes += size;
    return dev.write(offset, data, size);
}

// Counts what the survey writes and looks at.
void search::touch(std::uint64_t bytes, bool fresh, bool small)
{
    if (!counting)
        return;
    touched.all += bytes;
    if (fresh)
        touched.distinct += bytes;
    if (small)
        touched.small += bytes;
}

// The pieces of the flush lie at the device's end, where a counterfeit
// lacks storage: a cache that takes only writes to such places takes all of
// the flush where the device lacks as much. The pieces of the early flushes
// come first, then those of the whole limit, each with a gap behind it
// where the device allows. The survey's probes lie all over the device, in
// those gaps too, so that they reach beyond a counterfeit's real size
// wherever it lies. Each lies at a random place of its stretch, so that no
// regular pattern of the device lines up with them.
void search::layout()
{
    const std::uint64_t size = down(dev.size), first = up(protectedbytes);
    cache = std::max(unit, std::min(down(cache), down((size - first) / 2)));
    piecesize = std::min(piecebytes, cache);
    std::uint64_t early = 0;
    for (std::uint64_t flush = firstflush; flush <= earlyflush && flush < cache; flush *= flushgrowth)
        early = flush;
    earlypieces = static_cast<std::size_t>((early + piecesize - 1) / piecesize);
    const std::uint64_t count = earlypieces + cache / piecesize;
    // Each piece starts where a probe's write may, so that none reaches
    // into one.
    const std::uint64_t request = proberequest(unit);
    const std::uint64_t start = size - std::min(size - first, count * (piecesize + piecegap)),
                        stretch = down((size - start) / count);
    std::uint64_t random = key;
    // The early flushes write half of each of their pieces: they only prove
    // a loss, and rounds behind one write as much again.
    const std::uint64_t half = std::max(unit, down(piecesize / 2));
    for (std::uint64_t i = 0; i < count; i++) {
        const std::uint64_t at = start + i * stretch + nextrandom(&random) % (stretch - piecesize + 1);
        const std::uint64_t nth = i < earlypieces ? i : i - earlypieces;
        pieces.push_back({std::max(at / request * request, up(first)), i < earlypieces ? half : piecesize,
                          nth % smallevery == 0});
    }
    cache = (count - earlypieces) * piecesize;
    // A place in the second MiB, and one as far behind each power of two
    // from 2 MiB on: where the addresses come round after a power of two, as
    // they mostly do even above a real size that is none, those behind it
    // share the first one's storage whatever else the probes hit.
    const std::uint64_t base = free(first + down(nextrandom(&random) % first), 2 * first);
    if (base < 2 * first) {
        marks.push_back(base);
        for (std::uint64_t power = 2 * first; power + base < size - unit; power *= 2)
            if (!taken(power + base))
                marks.push_back(power + base);
    }
    // The last sector too: where a device comes round only there, its probe
    // changes the first MiB.
    surveyed = spread(first, size - unit, maxprobes - 1 - marks.size());
    surveyed.insert(surveyed.end(), marks.begin(), marks.end());
    std::sort(surveyed.begin(), surveyed.end());
    surveyed.erase(std::unique(surveyed.begin(), surveyed.end()), surveyed.end());
    if (!taken(size - unit))
        surveyed.push_back(size - unit);
}

// True when a probe at offset would lie in the write of a probe of the
// survey or, unless inpieces, in a piece of the flush: later rounds write
// both again.
bool search::taken(std::uint64_t offset, bool inpieces) const
{
    const std::uint64_t request = proberequest(unit), block = offset / request * request;
    auto after = std::upper_bound(pieces.begin(), pieces.end(), block,
                                  [](std::uint64_t at, const piece& it) { return at < it.offset; });
    if (!inpieces && after != pieces.begin() && block < std::prev(after)->offset + piecesize)
        return true;
    auto probe = std::lower_bound(surveyed.begin(), surveyed.end(), block);
    return probe != surveyed.end() && *probe < block + request;
}

// The first place from offset on that is not taken, or end.
std::uint64_t search::free(std::uint64_t offset, std::uint64_t end, bool inpieces) const
{
    while (offset < end && taken(offset, inpieces))
        offset += unit;
    return std::min(offset, end);
}

// Up to count places from start to before end, each at a random place of
// its stretch.
std::vector<std::uint64_t> search::spread(std::uint64_t start, std::uint64_t end, std::uint64_t count,
                                          bool inpieces)
{
    std::vector<std::uint64_t> places;
    count = std::max<std::uint64_t>(1, std::min(count, (end - start) / unit));
    const std::uint64_t stretch = std::max(unit, down((end - start) / count));
    std::uint64_t random = key ^ start;
    for (std::uint64_t at = start; at + unit <= end && places.size() < count; at += stretch) {
        const std::uint64_t place = free(at + down(nextrandom(&random) % stretch), end - unit + 1, inpieces);
        if (place + unit <= end && (places.empty() || place > places.back()))
            places.push_back(place);
    }
    return places;
}

// The pieces of a flush of flush bytes, of the early ones or of the limit's.
std::size_t search::piecesfor(std::uint64_t flush, bool early) const
{
    const std::size_t count = early ? earlypieces : pieces.size() - earlypieces;
    return static_cast<std::size_t>(std::min<std::uint64_t>(count, (flush + piecesize - 1) / piecesize));
}

writeback search::writtenback() const
{
    writeback back;
    for (const piece& it : pieces) {
        if (it.back)
            back.stretches.push_back({it.offset, it.length});
        if (it.small && it.saved && !it.unreadable)
            back.small.push_back({it.offset, it.length});
    }
    back.stride = sound ? samplestride : 0;
    return back;
}

// The write a probe at place goes in: the block of proberequest bytes that
// holds it, within the device and behind the first MiB.
stretch search::window(std::uint64_t place) const
{
    const std::uint64_t request = proberequest(unit);
    const std::uint64_t start = std::max(up(protectedbytes), place / request * request);
    return {start, std::min(start + request, down(dev.size)) - start};
}

// Saves what each of places holds before it is overwritten, and commits.
// Places that cannot be read are found unreadable and left out: they are
// not written.
search::flow search::saveplaces(std::vector<std::uint64_t>* places)
{
    tell("Sichere ins Journal");
    std::vector<std::uint64_t> kept;
    for (std::uint64_t place : *places) {
        if (place < up(protectedbytes))
            continue;
        const stretch request = window(place);
        const saving result = log.save(request.offset, request.size);
        if (result == saving::journalfailed)
            return flow::fail;
        if (log.otherrun())
            return flow::otherrun;
        if (result == saving::unreadable)
            probed[place] = {state::unreadable, content::other, 0};
        else
            kept.push_back(place);
        if (stop())
            return flow::stop;
        if (kept.size() % 256 == 0)
            tick();
    }
    *places = kept;
    return log.commit() ? flow::go : flow::fail;
}

// Saves each piece from from to before upto, as far as it was not saved
// before.
search::flow search::savepieces(std::size_t from, std::size_t upto)
{
    tell("Sichere ins Journal");
    for (std::size_t index = from; index < upto; index++) {
        piece& it = pieces[index];
        if (it.unreadable || it.saved)
            continue;
        const saving result = log.save(it.offset, it.length);
        if (result == saving::journalfailed)
            return flow::fail;
        if (log.otherrun())
            return flow::otherrun;
        if (result == saving::unreadable) {
            probed[it.offset] = {state::unreadable, content::other, 0};
            it.unreadable = true;
        }
        it.saved = true;
        if (stop())
            return flow::stop;
        tick();
    }
    return log.commit() ? flow::go : flow::fail;
}

// The highest place first, so that of places sharing storage the lowest
// writes last and the others read back its stamp. Each goes in the write
// of its window, every sector of it stamped with its own place.
search::flow search::writeplaces(const std::vector<std::uint64_t>& places)
{
    std::vector<stretch> inflight(places.size());
    std::transform(places.rbegin(), places.rend(), inflight.begin(),
                   [this](std::uint64_t place) { return window(place); });
    if (!log.writing(inflight))
        return flow::fail;
    std::size_t count = 0;
    for (auto place = places.rbegin(); place != places.rend(); ++place) {
        const stretch request = window(*place);
        const auto size = static_cast<std::size_t>(request.size);
        for (std::size_t sector = 0; sector < size; sector += unit)
            stamp(buffer.data + sector, unit, key, request.offset + sector,
                  static_cast<std::uint32_t>(round));
        touch(size, true, true);
        if (!writeat(request.offset, buffer.data, size))
            probed[*place] = {state::unreadable, content::other, 0};
        // A piece of the flush the probe lies in no longer holds what it held.
        auto after = std::upper_bound(pieces.begin(), pieces.end(), request.offset,
                                      [](std::uint64_t at, const piece& it) { return at < it.offset; });
        if (after != pieces.begin() && request.offset < std::prev(after)->offset + piecesize)
            std::prev(after)->back = false;
        if (counting)
            lasttouch[*place] = touched;
        if (stop())
            return flow::stop;
        if (++count % 256 == 0)
            tick();
    }
    return flow::go;
}

// Writes the pieces of the flush from from to before upto, one in eight in
// small writes, around the places spared: with this round's stamps, with
// stamps of another kind (so that a second pass changes every byte again),
// or back with what they held, from the journal. What they held goes
// around the sectors that then held a whole stamp of the run: the storage
// of another place, which the stamps just wrote over, so that the place
// shows it, as it would after a flush of stamps alone.
search::flow search::writepieces(std::size_t from, std::size_t upto, fill how)
{
    std::vector<stretch> inflight;
    for (std::size_t index = from; index < upto; index++)
        if (!pieces[index].unreadable)
            inflight.push_back({pieces[index].offset, pieces[index].length});
    if (!log.writing(inflight))
        return flow::fail;
    const std::size_t small = std::max<std::size_t>(unit, smallwrite);
    const bool back = how == fill::back;
    const auto mark = static_cast<std::uint32_t>(round) | (how == fill::restamps ? 1u << 31 : 0);
    for (std::size_t index = from; index < upto; index++) {
        piece& it = pieces[index];
        const auto size = static_cast<std::size_t>(it.length);
        if (it.unreadable)
            continue;
        touch(it.length, how == fill::stamps, it.small);
        if (back && !log.recall(it.offset, size, buffer.data))
            return flow::fail;
        for (std::size_t sector = 0; !back && sector < size; sector += unit)
            stamp(buffer.data + sector, unit, key, it.offset + sector, mark);
        it.back = back;
        const std::size_t write = it.small ? std::min(small, size) : size;
        auto spare = std::lower_bound(spared.begin(), spared.end(), it.offset);
        auto skipped = [&](std::size_t at) {
            while (spare != spared.end() && *spare < it.offset + at)
                ++spare;
            return (spare != spared.end() && *spare == it.offset + at) ||
                   (back && findrunparts(buffer.data + at, unit, key).headstart == 0);
        };
        for (std::size_t at = 0; at < size;) {
            std::size_t until = at;
            while (until < size && !skipped(until))
                until += unit;
            for (; at < until; at += std::min(write, until - at))
                if (!writeat(it.offset + at, buffer.data + at, std::min(write, until - at)))
                    probed[it.offset] = {state::unreadable, content::other, 0};
            at = until + unit;
        }
        if (stop())
            return flow::stop;
        tick();
    }
    return flow::go;
}

// The places of the round that proves what is good over span bytes before
// the first place lost: close ones, or, where a round's replayed flush costs
// less than the probes that saves, about the square root of that many, and
// a round that closes in behind them. A probe costs about three of its
// writes: saved, written, written back and checked.
std::uint64_t search::proofplaces(std::uint64_t span) const
{
    const std::uint64_t request = proberequest(unit);
    const double close = static_cast<double>(span) / static_cast<double>(narrowspacing);
    const auto sparse = static_cast<std::uint64_t>(std::sqrt(2 * close)) + 1;
    return 2 * sparse * 3 * request + replayed() < closeplaces(span) * 3 * request ? sparse
                                                                                   : closeplaces(span);
}

// Reads places back and tells what each holds: its own stamp of this round
// (good), nothing of its own (lost), the stamp of a place before it (an
// alias, which reads what was written there) or behind it (a victim, whose
// storage a later write to that place took). A place found bad stays bad.
search::flow search::readplaces(const std::vector<std::uint64_t>& places,
                                std::map<std::uint64_t, place>* into)
{
    tell("Lese Proben");
    std::size_t count = 0;
    for (std::uint64_t place : places) {
        std::uint64_t offset;
        std::uint32_t written;
        search::place found{state::good, content::other, 0, partnering};
        touch(unit, true, true);
        if (!readat(place, buffer.data, unit))
            found.what = state::unreadable;
        else if (!readstamp(buffer.data, unit, key, &offset, &written))
            found = {state::lost, classify(buffer.data, unit), 0};
        else if (offset != place)
            found = {offset < place ? state::alias : state::victim, content::other, offset, partnering};
        else if (written != static_cast<std::uint32_t>(round))
            found.what = state::lost;
        if (found.partner != 0)
            sharedstorage(place, found.partner);
        auto known = into->find(place);
        if (known == into->end() || known->second.what == state::good)
            (*into)[place] = found;
        // A victim lost its data to a write behind it: that place shares
        // its storage, and it is that place that no partition may hold.
        if (found.what == state::victim) {
            known = into->find(found.partner);
            if (known == into->end() || known->second.what == state::good)
                (*into)[found.partner] = {state::alias, content::other, place};
        }
        if (stop())
            return flow::stop;
        if (++count % 256 == 0)
            tick();
    }
    return flow::go;
}

void search::sharedstorage(std::uint64_t one, std::uint64_t other)
{
    sharing = std::gcd(sharing, one > other ? one - other : other - one);
    if (reader == 0)
        std::tie(reader, writer) = std::pair{one, other};
}

search::flow search::settle()
{
    if (!dev.settle())
        return flow::lost;
    log.settled();
    return flow::go;
}

// Settles a round's writes and reads the first MiB again, which the run
// never writes. Stamps of the run there came through places that share its
// storage; anything else shows a device that puts what it is given over
// what it holds, on which every further write destroys more: the run
// stops at once. A first MiB that read differently each time tells nothing.
search::flow search::settled()
{
    const auto size = static_cast<std::size_t>(up(protectedbytes));
    flow next = settle();
    if (next != flow::go || !firstmibread)
        return next;
    if (!readat(0, buffer.data, size))
        return flow::lost;
    const change changed = firstmibchange(firstmib.data, buffer.data, size, unit, key);
    if (changed == change::overwritten && firstmibsteady)
        return flow::overwrites;
    for (std::size_t sector = 0; changed == change::stamped && sector < size; sector += unit) {
        std::uint64_t offset;
        std::uint32_t written;
        if (readstamp(buffer.data + sector, unit, key, &offset, &written))
            sharedstorage(sector, offset);
    }
    return flow::go;
}

// Whether the device still reads its first MiB, which answered at the
// start: one that fails there now was pulled or broke down, and what it
// failed on before says nothing of its size.
bool search::answers()
{
    return !firstmibread || readat(0, buffer.data, static_cast<std::size_t>(up(protectedbytes)));
}

// The first MiB as the run found it, read twice: storage that reads the
// same each time shows any change a write elsewhere makes.
void search::readfirstmib()
{
    const auto size = static_cast<std::size_t>(up(protectedbytes));
    firstmibread = readat(0, firstmib.data, size);
    firstmibsteady =
        firstmibread && readat(0, buffer.data, size) && std::memcmp(buffer.data, firstmib.data, size) == 0;
}

// What the rounds write behind their probes, so that no cache of the
// device answers for them: a probe the survey lost shows that the device's
// cache holds less than what the survey wrote and looked at after it wrote
// that probe, in all and in places not written before; and of what it takes
// of small writes alone, less than the small writes and reads. The rounds
// write pieces the survey did not write, two sets of them in turn, each
// twice: every place of the one written then misses the cache, whatever it
// keeps, as the other set went between, and pushes out what came before.
// Where the flush lacks the pieces for two such sets, the rounds write
// again what the survey wrote after the last probe it lost.
void search::replayplan()
{
    touches after{};
    bool lost = false;
    for (const auto& [at, found] : probed)
        if (found.what != state::good && lasttouch.count(at) != 0) {
            const touches& then = lasttouch.at(at);
            if (!lost || then.all > after.all)
                after = then;
            lost = true;
        }
    const std::uint64_t bytes =
        std::max(touched.distinct - after.distinct, (touched.all - after.all + 1) / 2);
    const std::uint64_t small = touched.small - after.small;
    std::size_t index = writtenpieces;
    for (std::size_t set = 0; set < 2 && !wholeflush; set++) {
        sets[set] = index;
        for (std::uint64_t held = 0, heldsmall = 0; held < std::max<std::uint64_t>(bytes, 1); index++) {
            if (index == pieces.size()) {
                sets = {};
                return;
            }
            piece& it = pieces[index];
            it.small = heldsmall < small;
            held += it.length;
            heldsmall += it.small ? it.length : 0;
        }
    }
    sets[2] = index;
}

// The bytes a round writes behind its probes.
std::uint64_t search::replayed() const
{
    std::uint64_t bytes = 0;
    if (sets[2] != 0) {
        for (std::size_t index = sets[0]; index < sets[1]; index++)
            bytes += 2 * pieces[index].length;
        return bytes;
    }
    for (std::size_t index = 0; index < writtenpieces; index++)
        bytes += 2 * pieces[index].length;
    return bytes + (surveyorder.size() - lastlost) * proberequest(unit);
}

// The writes of a round behind its probes: the next set of pieces, with
// this round's stamps and then stamps of another kind, which change what
// the pieces hold even for a cache that skips what it holds already; or the
// survey's writes after the last probe it lost, again, the pieces in two
// passes of stamps, where the survey wrote its second back: what they held
// would cover a stamp of this round's probes where those share their
// storage, which must show the pieces' stamps as they did in the survey.
search::flow search::replay()
{
    tell("Schreibe Füllblöcke");
    if (sets[2] != 0) {
        const std::size_t which = static_cast<std::size_t>(turn++ % 2);
        const std::size_t from = sets[which], upto = sets[which + 1];
        flow next = savepieces(from, upto);
        if (next == flow::go) {
            tell("Schreibe Füllblöcke");
            next = writepieces(from, upto, fill::stamps);
        }
        if (next == flow::go)
            next = writepieces(from, upto, fill::restamps);
        return next == flow::go ? settled() : next;
    }
    // writeplaces writes the highest first: the survey's order reversed.
    const std::vector<std::uint64_t> after(surveyorder.rbegin(),
                                           surveyorder.rend() - static_cast<std::ptrdiff_t>(lastlost));
    flow next = writeplaces(after);
    if (next == flow::go)
        next = writepieces(0, writtenpieces, fill::stamps);
    if (next == flow::go)
        next = writepieces(0, writtenpieces, fill::restamps);
    return next == flow::go ? settled() : next;
}

// Saves and writes places of the survey, highest first, and notes the
// order in which they went to the device.
search::flow search::writesurvey(std::vector<std::uint64_t>* places)
{
    flow next = saveplaces(places);
    if (next == flow::go) {
        tell("Schreibe Proben");
        next = writeplaces(*places);
    }
    surveyorder.insert(surveyorder.end(), places->rbegin(), places->rend());
    return next == flow::go ? settle() : next;
}

// Probes across the device, then flushes that grow by four each time, with
// a look at half the probes before the first flush and after each: the
// first probe that does not come back proves a loss, and *proven tells the
// pieces of the flush written by then (noproof: none, after the last look
// at all of them, behind the whole limit). A sixteenth of the probes, the
// marks and the last sector go first and are looked at before any other
// write and behind the flushes up to earlyflush: a device that keeps
// nothing beyond its real size, or keeps it in a small cache, is unmasked
// by a few hundred of them, and the rest are never written. The rest go
// next, and the whole flush behind them.
search::flow search::survey(std::size_t* proven)
{
    round = 1;
    counting = true;
    const std::uint64_t probes = surveyed.size() * unit;
    const std::uint64_t requests = surveyed.size() * proberequest(unit);
    const std::uint64_t flushed =
        std::accumulate(pieces.begin(), pieces.end(), std::uint64_t{0},
                        [](std::uint64_t sum, const piece& it) { return sum + it.length; });
    plan(2 * requests + 2 * flushed + probes * 3 + 10 * protectedbytes, requests + flushed, flushed);
    // The other half is first looked at after the whole flush, so that no
    // cache kept a probe of it for being read; the places behind the powers
    // of two are looked at from the start, as they show a wrap at once.
    std::vector<std::uint64_t> first, rest;
    for (std::size_t index = 0; index < surveyed.size(); index++) {
        const std::uint64_t at = surveyed[index];
        const bool mark = std::binary_search(marks.begin(), marks.end(), at);
        if (index % 2 == 0 || mark)
            lookedearly.push_back(at);
        (index % firstshare == 0 || mark || index + 1 == surveyed.size() ? first : rest).push_back(at);
    }
    flow next = writesurvey(&first);
    std::size_t base = 0, from = 0;
    for (std::uint64_t flush = 0; next == flow::go;
         flush = std::min(cache, flush == 0 ? firstflush : flush * flushgrowth)) {
        if (!rest.empty() && (flush > earlyflush || flush == cache)) {
            next = writesurvey(&rest);
            rest.clear();
            base = from = earlypieces;
            if (next != flow::go)
                return next;
        }
        const std::size_t upto = base + piecesfor(flush, !rest.empty());
        const bool last = upto == pieces.size();
        next = savepieces(0, upto);
        if (next == flow::go) {
            tell("Schreibe Füllblöcke");
            next = writepieces(from, upto, fill::stamps);
        }
        if (next == flow::go)
            next = writepieces(from, upto, fill::back);
        if (next == flow::go)
            next = settled();
        if (next != flow::go)
            return next;
        from = writtenpieces = upto;
        std::vector<std::uint64_t> look(surveyorder);
        std::sort(look.begin(), look.end());
        if (!last)
            look.erase(std::remove_if(look.begin(), look.end(),
                                      [this](std::uint64_t at) {
                                          return !std::binary_search(lookedearly.begin(), lookedearly.end(),
                                                                     at);
                                      }),
                       look.end());
        next = readplaces(look, &probed);
        // Only a probe that did not come back proves, besides the loss, that
        // the device's cache holds less than was written behind it; stamps
        // in the first MiB, which no cache answers for, prove no more than
        // the sharing, and the survey goes on.
        const bool lost = std::any_of(probed.begin(), probed.end(),
                                      [](const auto& found) { return found.second.what != state::good; });
        if (next == flow::go && (lost || last)) {
            *proven = lost || sharing != 0 ? upto : noproof;
            // The last probe lost that went to the device; without one (a
            // proof by the first MiB alone), everything the survey wrote
            // counts.
            auto latest = std::find_if(surveyorder.rbegin(), surveyorder.rend(), [this](std::uint64_t at) {
                auto found = probed.find(at);
                return found != probed.end() && found->second.what != state::good;
            });
            lastlost =
                latest != surveyorder.rend() ? static_cast<std::size_t>(surveyorder.rend() - latest) : 0;
            counting = false;
            return flow::go;
        }
    }
    return next;
}

// A loss proven before the whole flush: the probes that came back may have
// come from a cache. What was lost stays lost; a round behind the replayed
// flush tells what is good: most of its probes before the first place
// lost, where the loss begins, some behind it, which tell a counterfeit
// from a damaged device. Good places behind lost ones, where places before
// them are good too, are damage, or addresses that come round after a
// distance that no two probes lie apart: the whole flush, written over the
// device's end, then comes round onto some of the places of a close round. Storage found shared by a
// sparse round is looked at by a close one, as places that share storage
// show it only where one of them was written after the other.
search::flow search::proofround()
{
    for (auto found = probed.begin(); found != probed.end();)
        found = found->second.what == state::good ? probed.erase(found) : std::next(found);
    const std::uint64_t first = up(protectedbytes), size = down(dev.size);
    const std::uint64_t lost = probed.empty() ? size : std::max(first + unit, probed.begin()->first);
    const std::vector<std::uint64_t> behind = spread(lost, size, maxprobes / 32);
    auto proof = [&](std::uint64_t count) {
        std::vector<std::uint64_t> places = spread(first, lost, count);
        places.insert(places.end(), behind.begin(), behind.end());
        return places;
    };
    const std::uint64_t close = closeplaces(lost - first),
                        count = sharing == 0 ? proofplaces(lost - first) : close;
    flow next = proberound(proof(count), {}, &probed);
    if (next == flow::go && sharing == 0 && goodbefore(size) && goodbehind(size)) {
        next = savepieces(0, pieces.size());
        writtenpieces = pieces.size();
        sets = {};
        wholeflush = true;
        if (next == flow::go)
            next = proberound(proof(close), {}, &probed);
    } else if (next == flow::go && count < close && sharing != 0) {
        next = proberound(proof(close), {}, &probed);
    }
    return next;
}
// One round: probes at the places of earlier and then of later, saved and
// written in that order, then the replayed flush, then read back into into.
// Where later are partners (readlater false: they are written, not looked
// at, as no later write tested them), they go behind the replayed flush: it
// may write over the storage that a place shares with its partner, and the
// place then shows the flush's stamp instead of the partner's. What the
// probes show then is to be trusted.
search::flow search::proberound(std::vector<std::uint64_t> earlier, std::vector<std::uint64_t> later,
                                std::map<std::uint64_t, place>* into, bool readlater)
{
    round++;
    const std::uint64_t count = earlier.size() + later.size();
    const std::uint64_t request = proberequest(unit);
    plan(2 * count * request + count * unit + replayed() + protectedbytes, count * request + replayed() / 2);
    flow next = saveplaces(&earlier);
    if (next == flow::go)
        next = saveplaces(&later);
    if (next == flow::go) {
        tell("Schreibe Proben");
        next = writeplaces(earlier);
    }
    if (next == flow::go && readlater)
        next = writeplaces(later);
    if (next == flow::go)
        next = settle();
    if (next == flow::go)
        next = replay();
    if (next == flow::go && !readlater && !later.empty()) {
        tell("Schreibe Proben");
        next = writeplaces(later);
        if (next == flow::go)
            next = settle();
    }
    if (readlater)
        earlier.insert(earlier.end(), later.begin(), later.end());
    partnering = !readlater && !later.empty();
    if (next == flow::go)
        next = readplaces(earlier, into);
    partnering = false;
    return next;
}

// Rounds of probes between the end of the last good place, low, and the
// first bad one, high, until they lie less than the precision apart, or no
// place is left between the first MiB and high.
search::flow search::narrow(std::uint64_t* low, std::uint64_t* high)
{
    const std::uint64_t first = up(protectedbytes);
    for (int narrowing = 0; narrowing<maxnarrowing&& * high - *low> precision && *high > first + unit;
         narrowing++) {
        const std::uint64_t from = std::max(*low, first);
        const std::uint64_t count = std::min(maxprobes, (*high - from + narrowspacing - 1) / narrowspacing);
        // Where the losses begin inside a piece of the flush, the probes must
        // go there too: the replayed flush writes around them.
        std::vector<std::uint64_t> places = spread(from, *high, count, true);
        if (places.empty())
            break;
        spared = places;
        const std::vector<std::uint64_t> partners = partnersof(&places);
        const flow next = proberound(places, partners, &probed, false);
        spared.clear();
        if (next != flow::go)
            return next;
        auto firstbad = std::find_if(places.begin(), places.end(),
                                     [this](std::uint64_t at) { return probed.count(at) != 0 && bad(at); });
        if (firstbad != places.end())
            *high = *firstbad;
        for (auto place = places.begin(); place != firstbad; ++place)
            if (probed.count(*place) != 0 && keepsdata(*place))
                *low = *place + unit;
        // Lost from the first place behind the first MiB on: nothing is
        // left to close in on.
        if (firstbad == places.begin() && *low < first)
            break;
    }
    return flow::go;
}

// A place that shows the device cannot be trusted from it on: lost,
// unreadable, or sharing the storage of a place before it. A victim, whose
// data a write to a place behind it took, is none: a partition that ends
// before that place keeps it whole.
bool search::bad(std::uint64_t offset) const
{
    const place& found = probed.at(offset);
    return found.what != state::good && found.what != state::victim;
}

// Whether a place is proven to keep what is written there: it came back
// whole, or it shows a write to a place behind it that shares its storage
// where no place before it does: one that a period comes round onto, or
// one whose partner as far before it as places share storage was written
// after it and did not show.
bool search::keepsdata(std::uint64_t offset) const
{
    const place& found = probed.at(offset);
    return found.what == state::good ||
           (found.what == state::victim && (found.partnered || (period != 0 && offset < period)));
}

// Whether a place before the first bad one before limit is good: where
// none is, the device keeps nothing at its start, which is no damage.
bool search::goodbefore(std::uint64_t limit) const
{
    auto firstbad = std::find_if(probed.begin(), probed.lower_bound(limit),
                                 [this](const auto& found) { return bad(found.first); });
    return firstbad != probed.lower_bound(limit) && firstbad != probed.begin();
}

// Whether a place behind the first bad one before limit is good.
bool search::goodbehind(std::uint64_t limit) const
{
    auto firstbad = std::find_if(probed.begin(), probed.lower_bound(limit),
                                 [this](const auto& found) { return bad(found.first); });
    return std::any_of(firstbad, probed.lower_bound(limit),
                       [this](const auto& found) { return !bad(found.first); });
}

// Whether the losses go on to the device's end: a quarter or more of the
// last quarter of the places probed from the first bad one on are bad too.
// Damage leaves places good behind it; a counterfeit whose cache answers
// for some of the places without storage leaves good ones among bad ones
// up to its end.
bool search::lossesrunon(const std::vector<std::uint64_t>& badplaces) const
{
    if (badplaces.empty())
        return false;
    const auto from = probed.lower_bound(badplaces.front());
    const auto count = static_cast<std::size_t>(std::distance(from, probed.end()));
    const auto last = std::next(from, static_cast<std::ptrdiff_t>(count - count / 4));
    const auto lost =
        std::count_if(last, probed.end(), [this](const auto& found) { return bad(found.first); });
    return count >= 4 && 4 * static_cast<std::size_t>(lost) >= count / 4;
}

findings search::conclude(std::size_t proven)
{
    findings result{};
    result.probed = probed.size();
    const std::uint64_t limit = period != 0 ? period : down(dev.size);
    std::vector<std::uint64_t> badplaces;
    for (const auto& [offset, found] : probed)
        if (offset < limit && bad(offset))
            badplaces.push_back(offset);
    if (proven == noproof && sharing == 0 && badplaces.empty()) {
        result.outcome = verdict::sound;
        result.flushed = cache;
        result.flushspan = down(dev.size) - pieces[earlypieces].offset;
        for (auto it = pieces.begin() + static_cast<std::ptrdiff_t>(earlypieces); it != pieces.end(); ++it)
            result.flushedsmall += it->small ? it->length : 0;
        return result;
    }
    result.firstbad = badplaces.empty() ? limit : badplaces.front();
    // Storage shared between addresses is never damage, nor are losses
    // that run on to the device's end between places that came back from a
    // cache larger than the limit, nor losses from the first place probed
    // on: nothing at the device's start keeps its data.
    if (goodbefore(limit) && goodbehind(limit) && sharing == 0 && !lossesrunon(badplaces)) {
        result.outcome = verdict::damaged;
        result.badplaces = badplaces.size();
        result.lastbad = badplaces.back();
        return result;
    }
    result.outcome = verdict::counterfeit;
    return result;
}

// Counterfeit: closes in on where it begins, from the end of the last place
// proven good before the first bad one (from the start, where none is) or
// before the period. The usable size is only what the probes proved: a
// period says where the addresses come round, not that every place before
// it stores, and is the usable size only where the last place before it
// kept its data. What lies beyond is told by the places behind it.
search::flow search::closein(findings* result)
{
    std::uint64_t high = result->firstbad, low = 0;
    for (auto found = probed.begin(); found != probed.end() && found->first < high; ++found)
        if (keepsdata(found->first))
            low = found->first + unit;
    flow next = narrow(&low, &high);
    if (next == flow::go && sharing == 0)
        next = lookround(low, high);
    if (next == flow::go && sharing != 0 && period == 0 && sharing != periodtried)
        next = findperiod(&period, &periodshared);
    const std::uint64_t last = period - unit;
    const bool proving = period > up(protectedbytes) && low < period && period <= high;
    if (next == flow::go && proving && probed.count(last) == 0) {
        spared = {last};
        next = proberound({last}, {}, &probed);
        spared.clear();
    }
    if (next != flow::go)
        return next;
    if (proving && probed.count(last) != 0 && keepsdata(last))
        low = period;
    result->usable = low;
    result->probed = probed.size();
    describe(result);
    return flow::go;
}

// What the places behind the usable size do, by the most of them, and
// where the addresses come round behind those, how.
void search::describe(findings* result) const
{
    if (period != 0 && result->usable == period) {
        result->what = periodshared ? beyond::wraps : beyond::mirrors;
        result->distance = period;
        return;
    }
    if (period != 0) {
        result->distance = period;
        result->round = periodshared ? beyond::wraps : beyond::mirrors;
    }
    std::array<std::uint64_t, 7> kinds{};
    const auto holes = period != 0 ? probed.lower_bound(period) : probed.end();
    for (auto found = probed.lower_bound(result->usable); found != holes; ++found) {
        const place& it = found->second;
        if (!bad(found->first))
            continue;
        const beyond kind = it.what == state::unreadable ? beyond::unreadable
                            : it.what != state::lost     ? beyond::shares
                            : it.kind == content::zeros  ? beyond::zeros
                            : it.kind == content::ones   ? beyond::ones
                                                         : beyond::stale;
        kinds[static_cast<std::size_t>(kind)]++;
    }
    result->what = static_cast<beyond>(std::max_element(kinds.begin(), kinds.end()) - kinds.begin());
    result->reader = reader;
    result->writer = writer;
}

// The end of a run without a verdict; a device that overwrites what it
// holds gets its first MiB back from what the run read at its start.
findings search::wrapup(flow how)
{
    findings result{};
    result.outcome = how == flow::stop         ? verdict::stopped
                     : how == flow::lost       ? verdict::lost
                     : how == flow::otherrun   ? verdict::otherrun
                     : how == flow::overwrites ? verdict::overwrites
                                               : verdict::failed;
    result.firstbad = log.otherrunplace();
    result.probed = probed.size();
    result.written = writtenbytes;
    if (how == flow::overwrites &&
        (!log.keep(0, firstmib.data, static_cast<std::size_t>(up(protectedbytes))) || !log.commit()))
        result.outcome = verdict::failed;
    return result;
}

change firstmibchange(const unsigned char* before, const unsigned char* now, std::size_t size,
                      std::uint32_t unit, std::uint64_t key)
{
    change changed = change::none;
    for (std::size_t sector = 0; sector < size; sector += unit) {
        if (std::memcmp(before + sector, now + sector, unit) == 0)
            continue;
        if (!differsonlybyrun(before + sector, now + sector, unit, key, true))
            return change::overwritten;
        changed = change::stamped;
    }
    return changed;
}

std::uint64_t plannedbytes(const device& dev, std::uint64_t cachelimit)
{
    const std::uint64_t probes = maxprobes * dev.sectorsize,
                        requests = maxprobes * proberequest(dev.sectorsize);
    const std::uint64_t flushed = std::min(cachelimit, dev.size / 2) + std::min(cachelimit, earlyflush) / 2;
    // The probes' writes saved, written and read back by the restoration,
    // which writes back and reads again their own sectors; the flush's
    // pieces, half of each early one, saved and written twice (with stamps
    // and back), a sample of them read back; the probes read once or twice
    // more; the first MiB after each flush.
    return 3 * requests + 3 * flushed + flushed / samplestride * smallwrite + 4 * probes +
           10 * protectedbytes;
}

std::uint64_t plannedjournal(const device& dev, std::uint64_t cachelimit)
{
    // The pieces of the flush, half of each early one, and the probes of
    // the survey, of the rounds behind it (one more where it found places
    // good behind lost ones), of each round that closes in and of the pairs,
    // each piece with its record's head, and room for the markers and the
    // first MiB.
    const std::uint64_t flushed = std::min(cachelimit, dev.size / 2) + earlyflush / 2;
    const std::uint64_t probes = (maxnarrowing + maxpasses + 4) * maxprobes;
    const std::uint64_t pieces = probes + flushed / piecebytes + 1;
    return flushed + probes * proberequest(dev.sectorsize) + pieces * 32 + 2 * protectedbytes;
}

findings search::run()
{
    if (buffer.data == nullptr || firstmib.data == nullptr)
        return wrapup(flow::fail);
    readfirstmib();
    layout();
    std::size_t proven = noproof;
    flow next = survey(&proven);
    // A loss proven behind the whole flush: the probes looked at before it
    // may have come back from a cache that keeps what is read.
    if (next == flow::go && proven == pieces.size())
        for (std::uint64_t at : lookedearly)
            if (auto found = probed.find(at); found != probed.end() && found->second.what == state::good)
                probed.erase(found);
    replayplan();
    if (next == flow::go && proven < pieces.size())
        next = proofround();
    if (next == flow::go && sharing != 0)
        next = findperiod(&period, &periodshared);
    if (next == flow::go && sharing != 0 && period == 0)
        next = partnerround();
    if (next != flow::go)
        return wrapup(next);
    findings result = conclude(proven);
    if (result.outcome == verdict::sound) {
        sound = true;
        return result;
    }
    if (!answers())
        return wrapup(flow::lost);
    if (result.outcome != verdict::counterfeit)
        return result;
    next = closein(&result);
    if (next == flow::go && !answers())
        next = flow::lost;
    return next == flow::go ? result : wrapup(next);
}

} // namespace probe
