#include "probe/search.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numeric>
#include <set>
#include <tuple>

namespace probe {

namespace {

// The usable size is found to within this below the real one.
constexpr std::uint64_t precision = 1 << 20;
// The flush is written in pieces of a MiB at the device's end, each with a
// gap behind it for probes; one piece in eight goes in writes of 4 KiB, as
// a cache may take only small writes. The survey writes the first half of
// each piece twice: with stamps, then with what it held, recalled from the
// journal. Both change what the device holds, so the flush writes twice
// what it saves and leaves the pieces as they were, for the restoration
// only to check.
constexpr std::uint64_t piecebytes = 1 << 20;
constexpr std::uint64_t piecegap = 64 << 10;
constexpr std::size_t smallwrite = 4096;
constexpr std::size_t smallevery = 8;
// A probe goes to the device in a write no smaller than the flush's
// smallest, so that a cache that takes only small writes takes the flush's
// small writes as well as the probes.
std::uint64_t proberequest(std::uint32_t unit)
{
    return std::max<std::uint64_t>(unit, smallwrite);
}
// The survey's flushes: none at first, which a device without a cache
// answers at once, then a MiB, then four times as much each time, up to
// the cache limit. Flushes up to earlyflush follow the first share of the
// probes alone, in pieces of their own: a counterfeit with a small cache is
// unmasked by them before the rest of the probes cost it anything. The
// whole limit then follows the rest.
constexpr std::uint64_t firstflush = 1 << 20;
constexpr std::uint64_t flushgrowth = 4;
constexpr std::uint64_t earlyflush = 16 << 20;
// The survey's probes that go first, before any flush: one in so many.
constexpr std::size_t firstshare = 16;
// A round that closes in on where the losses begin puts its probes this
// close where it can; one such round usually suffices.
constexpr std::uint64_t narrowspacing = 256 << 10;
constexpr int maxnarrowing = 4;
// The survey proved no loss: its last look, behind the whole flush, found
// every probe whole.
constexpr std::size_t noproof = SIZE_MAX;
// Pairs of places at which each test of a wrap's period is made, and the
// rounds of such tests at most.
constexpr std::uint64_t testplaces = 16;
constexpr int maxpasses = 4;

// The prime factors of number, each once.
std::vector<std::uint64_t> primefactors(std::uint64_t number)
{
    std::vector<std::uint64_t> factors;
    for (std::uint64_t factor = 2; factor * factor <= number; factor++) {
        if (number % factor != 0)
            continue;
        factors.push_back(factor);
        while (number % factor == 0)
            number /= factor;
    }
    if (number > 1)
        factors.push_back(number);
    return factors;
}

// The places of a round over span bytes that lie close enough for the
// usable size at once.
std::uint64_t closeplaces(std::uint64_t span)
{
    return std::min(maxprobes / 2, span / narrowspacing + 1);
}

} // namespace

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
    return dev.write(offset, data, size);
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
    chunksize = std::min(piecebytes, cache);
    std::uint64_t early = 0;
    for (std::uint64_t flush = firstflush; flush <= earlyflush && flush < cache; flush *= flushgrowth)
        early = flush;
    earlychunks = static_cast<std::size_t>((early + chunksize - 1) / chunksize);
    const std::uint64_t count = earlychunks + cache / chunksize;
    const std::uint64_t start = size - std::min(size - first, count * (chunksize + piecegap)),
                        stretch = down((size - start) / count);
    std::uint64_t random = key;
    for (std::uint64_t i = 0; i < count; i++)
        chunks.push_back(start + i * stretch + down(nextrandom(&random) % (stretch - chunksize + 1)));
    dropped.assign(chunks.size(), false);
    halfsaved.assign(chunks.size(), false);
    putback.assign(chunks.size(), false);
    cache = (count - earlychunks) * chunksize;
    half = std::max(unit, down(chunksize / 2));
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
    auto piece = std::upper_bound(chunks.begin(), chunks.end(), offset);
    if (!inpieces && piece != chunks.begin() && offset < *std::prev(piece) + chunksize)
        return true;
    const std::uint64_t request = proberequest(unit), block = offset / request * request;
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
std::size_t search::chunksfor(std::uint64_t flush, bool early) const
{
    const std::size_t count = early ? earlychunks : chunks.size() - earlychunks;
    return static_cast<std::size_t>(std::min<std::uint64_t>(count, (flush + chunksize - 1) / chunksize));
}

std::vector<stretch> search::writtenback() const
{
    std::vector<stretch> back;
    for (std::size_t index = 0; index < chunks.size(); index++)
        if (putback[index])
            back.push_back({chunks[index], half});
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
    tell("Sichere");
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

// Saves the half of each piece before upto that the flush writes, as far
// as it was not saved before.
search::flow search::savechunks(std::size_t upto)
{
    tell("Sichere");
    for (std::size_t index = 0; index < upto; index++) {
        if (dropped[index] || halfsaved[index])
            continue;
        const std::uint64_t piece = chunks[index];
        const saving result = log.save(piece, half);
        if (result == saving::journalfailed)
            return flow::fail;
        if (log.otherrun())
            return flow::otherrun;
        if (result == saving::unreadable) {
            probed[piece] = {state::unreadable, content::other, 0};
            dropped[index] = true;
        }
        halfsaved[index] = true;
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
    std::size_t count = 0;
    for (auto place = places.rbegin(); place != places.rend(); ++place) {
        const stretch request = window(*place);
        const auto size = static_cast<std::size_t>(request.size);
        for (std::size_t sector = 0; sector < size; sector += unit)
            stamp(buffer.data + sector, unit, key, request.offset + sector,
                  static_cast<std::uint32_t>(round));
        if (!writeat(request.offset, buffer.data, size))
            probed[*place] = {state::unreadable, content::other, 0};
        if (stop())
            return flow::stop;
        if (++count % 256 == 0)
            tick();
    }
    return flow::go;
}

// Writes the half of the pieces of the flush from from to before upto that
// was saved, one piece in eight in small writes, around the places spared:
// with this round's stamps, with stamps of another kind (so that a second
// pass changes every byte again), or back with what they held, from the
// journal. What they held goes around the sectors that then held a whole
// stamp of the run: the storage of another place, which the stamps just
// wrote over, so that the place shows it, as it would after a flush of
// stamps alone.
search::flow search::writechunks(std::size_t from, std::size_t upto, fill how)
{
    const auto size = static_cast<std::size_t>(half);
    const std::size_t small = std::max<std::size_t>(unit, smallwrite);
    const bool back = how == fill::back;
    const auto mark = static_cast<std::uint32_t>(round) | (how == fill::restamps ? 1u << 31 : 0);
    for (std::size_t index = from; index < upto; index++) {
        const std::uint64_t piece = chunks[index];
        if (dropped[index])
            continue;
        if (back && !log.recall(piece, size, buffer.data))
            return flow::fail;
        for (std::size_t sector = 0; !back && sector < size; sector += unit)
            stamp(buffer.data + sector, unit, key, piece + sector, mark);
        putback[index] = back;
        const std::size_t nth = index < earlychunks ? index : index - earlychunks;
        const std::size_t write = nth % smallevery == 0 ? std::min(small, size) : size;
        auto spare = std::lower_bound(spared.begin(), spared.end(), piece);
        auto skipped = [&](std::size_t at) {
            while (spare != spared.end() && *spare < piece + at)
                ++spare;
            return (spare != spared.end() && *spare == piece + at) ||
                   (back && findrunparts(buffer.data + at, unit, key).headstart == 0);
        };
        for (std::size_t at = 0; at < size;) {
            std::size_t until = at;
            while (until < size && !skipped(until))
                until += unit;
            for (; at < until; at += std::min(write, until - at))
                if (!writeat(piece + at, buffer.data + at, std::min(write, until - at)))
                    probed[piece] = {state::unreadable, content::other, 0};
            at = until + unit;
        }
        if (stop())
            return flow::stop;
        tick();
    }
    writtenchunks = std::max(writtenchunks, upto);
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
    const std::uint64_t replayed = writtenchunks * chunksize + (surveyorder.size() - lastlost) * request;
    return 2 * sparse * 3 * request + replayed < closeplaces(span) * 3 * request ? sparse : closeplaces(span);
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
        search::place found{state::good, content::other, 0};
        if (!readat(place, buffer.data, unit))
            found.what = state::unreadable;
        else if (!readstamp(buffer.data, unit, key, &offset, &written))
            found = {state::lost, classify(buffer.data, unit), 0};
        else if (offset != place)
            found = {offset < place ? state::alias : state::victim, content::other, offset};
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
    return dev.settle() ? flow::go : flow::lost;
}

// Whether the device still reads its first MiB, which answered at the
// start: one that fails there now was pulled or broke down, and what it
// failed on before says nothing of its size.
bool search::answers()
{
    return !firstmibread || readat(0, buffer.data, static_cast<std::size_t>(up(protectedbytes)));
}

// The first MiB is never written; a stamp found there came through a place
// that shares its storage.
void search::checkfirstmib()
{
    const auto size = static_cast<std::size_t>(up(protectedbytes));
    if (!firstmibread || !readat(0, buffer.data, size) || std::memcmp(buffer.data, firstmib.data, size) == 0)
        return;
    for (std::size_t sector = 0; sector < size; sector += unit) {
        std::uint64_t offset;
        std::uint32_t written;
        if (readstamp(buffer.data + sector, unit, key, &offset, &written))
            sharedstorage(sector, offset);
    }
}

// The writes that the survey made after the last of its probes that the
// device lost, again, with this round's stamps, so that the data change
// even for a cache that skips what it holds already: they pushed that
// probe out of the device's cache, and push out a round's probes as well.
// The pieces get two passes of stamps, where the survey wrote its second
// back: what they held would cover a stamp of this round's probes where
// those share their storage, which must show the pieces' stamps as they
// did in the survey.
search::flow search::replay()
{
    tell("Füllblöcke");
    // writeplaces writes the highest first: the survey's order reversed.
    const std::vector<std::uint64_t> after(surveyorder.rbegin(),
                                           surveyorder.rend() - static_cast<std::ptrdiff_t>(lastlost));
    flow next = writeplaces(after);
    if (next == flow::go)
        next = writechunks(0, writtenchunks, fill::stamps);
    if (next == flow::go)
        next = writechunks(0, writtenchunks, fill::restamps);
    return next == flow::go ? settle() : next;
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
    const std::uint64_t probes = surveyed.size() * unit;
    const std::uint64_t requests = surveyed.size() * proberequest(unit);
    const std::uint64_t flushed = cache + earlychunks * chunksize;
    plan(2 * requests + flushed / 2 + flushed + probes * 3 + protectedbytes, requests + flushed / 2,
         flushed / 2);
    // The other half is first looked at after the whole flush, so that no
    // cache kept a probe of it for being read; the places behind the powers
    // of two are looked at from the start, as they show a wrap at once.
    std::vector<std::uint64_t> looked, first, rest;
    for (std::size_t index = 0; index < surveyed.size(); index++) {
        const std::uint64_t at = surveyed[index];
        const bool mark = std::binary_search(marks.begin(), marks.end(), at);
        if (index % 2 == 0 || mark)
            looked.push_back(at);
        (index % firstshare == 0 || mark || index + 1 == surveyed.size() ? first : rest).push_back(at);
    }
    flow next = writesurvey(&first);
    std::size_t base = 0, from = 0;
    for (std::uint64_t flush = 0; next == flow::go;
         flush = std::min(cache, flush == 0 ? firstflush : flush * flushgrowth)) {
        if (!rest.empty() && (flush > earlyflush || flush == cache)) {
            next = writesurvey(&rest);
            rest.clear();
            base = from = earlychunks;
            if (next != flow::go)
                return next;
        }
        const std::size_t upto = base + chunksfor(flush, !rest.empty());
        const bool last = upto == chunks.size();
        next = savechunks(upto);
        if (next == flow::go) {
            tell("Füllblöcke");
            next = writechunks(from, upto, fill::stamps);
        }
        if (next == flow::go)
            next = writechunks(from, upto, fill::back);
        if (next == flow::go)
            next = settle();
        if (next != flow::go)
            return next;
        from = upto;
        checkfirstmib();
        std::vector<std::uint64_t> look(surveyorder);
        std::sort(look.begin(), look.end());
        if (!last)
            look.erase(std::remove_if(look.begin(), look.end(),
                                      [&looked](std::uint64_t at) {
                                          return !std::binary_search(looked.begin(), looked.end(), at);
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
            return flow::go;
        }
    }
    return next;
}

// One round: probes at the places of earlier and then of later, saved and
// written in that order, then the replayed flush, then read back into into
// (later only where readlater: partners are written, not looked at, as no
// later write tested them). What the probes show then is to be trusted.
search::flow search::proberound(std::vector<std::uint64_t> earlier, std::vector<std::uint64_t> later,
                                std::map<std::uint64_t, place>* into, bool readlater)
{
    round++;
    const std::uint64_t count = earlier.size() + later.size();
    const std::uint64_t request = proberequest(unit);
    plan(2 * count * request + count * unit + surveyed.size() * request + writtenchunks * chunksize,
         count * request);
    flow next = saveplaces(&earlier);
    if (next == flow::go)
        next = saveplaces(&later);
    if (next == flow::go) {
        tell("Schreibe Proben");
        next = writeplaces(earlier);
    }
    if (next == flow::go)
        next = writeplaces(later);
    if (next == flow::go)
        next = settle();
    if (next == flow::go)
        next = replay();
    if (readlater)
        earlier.insert(earlier.end(), later.begin(), later.end());
    return next == flow::go ? readplaces(earlier, into) : next;
}

// Pairs of places tested in one round, the lower one of each written first
// (one in the first MiB is never written, but read there): for each pair,
// whether both share storage (the lower place reads back the higher one's
// stamp: shared; the higher one the lower one's: mirrored; either is proof),
// whether they are apart (the lower one came back whole, and the higher one
// did not read it), or neither, where the replayed flush took one of them.
search::flow search::testpairs(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& pairs,
                               std::vector<pairing>* found)
{
    const std::uint64_t first = up(protectedbytes);
    std::vector<std::uint64_t> lows, highs;
    for (const auto& [low, high] : pairs) {
        if (low >= first)
            lows.push_back(low);
        highs.push_back(high);
    }
    std::sort(lows.begin(), lows.end());
    std::sort(highs.begin(), highs.end());
    std::map<std::uint64_t, place> tested;
    const flow next = proberound(lows, highs, &tested);
    if (next != flow::go)
        return next;
    unsigned char* const start = buffer.data;
    unsigned char* const other = buffer.data + first;
    const bool startread = firstmibread && readat(0, start, static_cast<std::size_t>(first));
    auto of = [&tested](std::uint64_t at) {
        auto known = tested.find(at);
        return known != tested.end() ? known->second : place{state::unreadable, content::other, 0};
    };
    found->clear();
    for (const auto& [low, high] : pairs) {
        const place higher = of(high);
        if (low < first) {
            std::uint64_t offset;
            std::uint32_t written;
            const bool changed =
                startread && readstamp(start + low, unit, key, &offset, &written) && offset == high;
            const bool mirrored = startread && higher.what == state::lost && readat(high, other, unit) &&
                                  std::memcmp(other, firstmib.data + low, unit) == 0;
            const bool whole = startread && std::memcmp(start + low, firstmib.data + low, unit) == 0;
            found->push_back(changed                               ? pairing::shared
                             : mirrored                            ? pairing::mirrored
                             : whole && higher.what == state::good ? pairing::apart
                                                                   : pairing::unknown);
            continue;
        }
        const place lower = of(low);
        if (lower.what == state::victim && lower.partner == high)
            found->push_back(pairing::shared);
        else if (higher.what == state::alias && higher.partner == low)
            found->push_back(pairing::mirrored);
        else if (lower.what == state::good && (higher.what == state::good || higher.what == state::lost))
            found->push_back(pairing::apart);
        else
            found->push_back(pairing::unknown);
    }
    return next;
}

// Whether the distance found between places that share storage is the
// period of addresses that come round, and none of its parts is. For each
// prime factor of it, pairs of places that much less apart are tested; one
// that shares storage proves the smaller period. The period is confirmed
// where it begins: places a MiB behind it share the storage of the places a
// MiB into the device. The places of the tests lie more than a piece of the
// flush apart, so that the replayed flush takes few of them. *found stays 0
// where the period is not confirmed.
search::flow search::findperiod(std::uint64_t* found, bool* shared)
{
    std::uint64_t candidate = sharing;
    const std::uint64_t top = down(dev.size), first = up(protectedbytes), stride = chunksize + unit;
    const std::uint64_t request = proberequest(unit);
    for (int passes = 0; passes < maxpasses; passes++) {
        std::vector<std::pair<std::uint64_t, std::uint64_t>> pairs;
        std::vector<std::uint64_t> distances;
        std::set<std::uint64_t> used;
        // A place is free a whole probe's write away from every place used:
        // the write of one would stamp the other, or its storage.
        auto unused = [&used, request](std::uint64_t at) {
            auto near = used.lower_bound(at - std::min(at, request - 1));
            return near == used.end() || *near >= at + request;
        };
        // The next high place from at on, whose partner distance before it
        // is free too.
        auto addpair = [&](std::uint64_t* at, std::uint64_t distance) {
            for (; *at + unit <= top; *at += unit)
                if (*at >= first + distance && !taken(*at) && !taken(*at - distance) && unused(*at) &&
                    unused(*at - distance)) {
                    pairs.emplace_back(*at - distance, *at);
                    distances.push_back(distance);
                    used.insert({*at, *at - distance});
                    *at += stride;
                    return;
                }
        };
        // The start: places at the candidate and a little behind it, whose
        // partners lie in the first MiB and are read there, and places a MiB
        // and more behind it.
        for (std::uint64_t index = 0; index < testplaces; index++) {
            const std::uint64_t at = candidate + down(index * first / testplaces);
            if (at + unit <= top && !taken(at) && unused(at)) {
                pairs.emplace_back(at - candidate, at);
                distances.push_back(candidate);
                used.insert({at, at - candidate});
            }
        }
        std::uint64_t at = candidate + first;
        for (std::uint64_t index = 0; index < testplaces; index++)
            addpair(&at, candidate);
        const std::size_t starts = pairs.size();
        // The pairs of a smaller distance from the start on, where the lower
        // places have storage even where the device has little.
        for (std::uint64_t factor : primefactors(candidate / unit)) {
            std::uint64_t high = first + candidate / factor;
            for (std::uint64_t index = 0; index < testplaces; index++)
                addpair(&high, candidate / factor);
        }
        if (starts == 0)
            return flow::go;
        std::vector<pairing> outcomes;
        const flow next = testpairs(pairs, &outcomes);
        if (next != flow::go)
            return next;
        // A smaller period where any pair shares; none, where enough pairs
        // came back whole.
        std::map<std::uint64_t, std::pair<int, int>> tally;
        for (std::size_t index = starts; index < pairs.size(); index++) {
            auto& [shares, apart] = tally[distances[index]];
            shares += outcomes[index] == pairing::shared || outcomes[index] == pairing::mirrored;
            apart += outcomes[index] == pairing::apart;
        }
        std::uint64_t reduced = candidate;
        for (const auto& [distance, counts] : tally) {
            if (counts.first > 0)
                reduced = std::gcd(reduced, distance);
            else if (counts.second < 3)
                return flow::go;
        }
        if (reduced != candidate) {
            candidate = reduced;
            continue;
        }
        const auto start = outcomes.begin(), end = outcomes.begin() + static_cast<std::ptrdiff_t>(starts);
        const bool changed = std::count(start, end, pairing::shared) > 0;
        if (changed || std::count(start, end, pairing::mirrored) > 0) {
            *found = candidate;
            *shared = changed;
        }
        return flow::go;
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

// Where addresses come round onto places other than the device's start, a
// probe comes back whole unless a place sharing its storage was written
// after it, and the probes rarely hit one: each place probed is followed by
// a probe as far before it as places were found to share storage, whose
// stamp it then reads where it shares that storage.
std::vector<std::uint64_t> search::partnersof(const std::vector<std::uint64_t>& places) const
{
    std::vector<std::uint64_t> partners;
    if (sharing == 0 || period != 0)
        return partners;
    for (std::uint64_t place : places)
        if (place >= up(protectedbytes) + sharing)
            partners.push_back(place - sharing);
    std::sort(partners.begin(), partners.end());
    partners.erase(std::unique(partners.begin(), partners.end()), partners.end());
    return partners;
}

// The distance found between places that share storage may be a multiple
// of the one after which the addresses come round. For each prime factor of
// it, pairs of places that much less apart are tested behind the first
// place found to share storage, where every place shares the storage of
// some other; one pair that shares proves the smaller distance.
search::flow search::reducesharing()
{
    const auto shared = std::find_if(probed.begin(), probed.end(),
                                     [](const auto& found) { return found.second.what == state::alias; });
    if (shared == probed.end())
        return flow::go;
    const std::uint64_t top = down(dev.size), stride = chunksize + unit;
    for (int passes = 0; passes < maxpasses; passes++) {
        std::vector<std::pair<std::uint64_t, std::uint64_t>> pairs;
        std::set<std::uint64_t> used;
        for (std::uint64_t factor : primefactors(sharing / unit)) {
            const std::uint64_t distance = sharing / factor;
            std::uint64_t at = shared->first + distance;
            for (std::uint64_t index = 0; index < testplaces && at + unit <= top; at += unit) {
                if (taken(at) || taken(at - distance) || used.count(at) != 0 ||
                    used.count(at - distance) != 0)
                    continue;
                pairs.emplace_back(at - distance, at);
                used.insert({at, at - distance});
                at += stride;
                index++;
            }
        }
        if (pairs.empty())
            return flow::go;
        // A pair that shares its storage makes the distance smaller as it
        // is read.
        const std::uint64_t before = sharing;
        std::vector<pairing> outcomes;
        if (const flow next = testpairs(pairs, &outcomes); next != flow::go || sharing == before)
            return next;
    }
    return flow::go;
}

// The places before the first bad one, probed again with their partners:
// those that came back only as no later write reached their storage show
// now what they are, and the others are forgotten.
search::flow search::partnerround()
{
    const std::uint64_t first = up(protectedbytes);
    if (const flow next = reducesharing(); next != flow::go)
        return next;
    for (auto found = probed.begin(); found != probed.end();)
        found = found->second.what == state::good ? probed.erase(found) : std::next(found);
    const auto firstbad =
        std::find_if(probed.begin(), probed.end(), [this](const auto& found) { return bad(found.first); });
    const std::uint64_t end = firstbad == probed.end() ? down(dev.size) : firstbad->first;
    if (end <= first + sharing)
        return flow::go;
    const std::vector<std::uint64_t> places =
        spread(first + sharing, end, closeplaces(end - first - sharing));
    return proberound(places, partnersof(places), &probed, false);
}

// Rounds of probes between the last good place, low, and the first bad
// one, high, until they lie less than the precision apart.
search::flow search::narrow(std::uint64_t* low, std::uint64_t* high)
{
    for (int narrowing = 0; narrowing<maxnarrowing&& * high - *low> precision; narrowing++) {
        const std::uint64_t count = std::min(maxprobes, (*high - *low + narrowspacing - 1) / narrowspacing);
        // Where the losses begin inside a piece of the flush, the probes must
        // go there too: the replayed flush writes around them.
        const std::vector<std::uint64_t> places = spread(*low, *high, count, true);
        if (places.empty())
            break;
        spared = places;
        const flow next = proberound(places, partnersof(places), &probed, false);
        spared.clear();
        if (next != flow::go)
            return next;
        auto firstbad = std::find_if(places.begin(), places.end(),
                                     [this](std::uint64_t at) { return probed.count(at) != 0 && bad(at); });
        if (firstbad != places.end())
            *high = *firstbad;
        for (auto place = places.begin(); place != firstbad; ++place)
            if (probed.count(*place) != 0)
                *low = *place + unit;
    }
    return flow::go;
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
        result.flushspan = down(dev.size) - chunks[earlychunks];
        return result;
    }
    result.firstbad = badplaces.empty() ? limit : badplaces.front();
    // Storage shared between addresses is never damage, nor are losses
    // that run on to the device's end between places that came back from a
    // cache larger than the limit.
    if (goodbehind(limit) && sharing == 0 && !lossesrunon(badplaces)) {
        result.outcome = verdict::damaged;
        result.badplaces = badplaces.size();
        result.lastbad = badplaces.back();
        return result;
    }
    result.outcome = verdict::counterfeit;
    return result;
}

findings search::wrapup(flow how)
{
    findings result{};
    result.outcome = how == flow::stop       ? verdict::stopped
                     : how == flow::lost     ? verdict::lost
                     : how == flow::otherrun ? verdict::otherrun
                                             : verdict::failed;
    result.firstbad = log.otherrunplace();
    result.probed = probed.size();
    return result;
}

std::uint64_t plannedbytes(const device& dev, std::uint64_t cachelimit)
{
    const std::uint64_t probes = maxprobes * dev.sectorsize,
                        requests = maxprobes * proberequest(dev.sectorsize);
    const std::uint64_t flushed = std::min(cachelimit, dev.size / 2);
    // The probes' writes saved, written and read back by the restoration,
    // which writes back and reads again their own sectors; the flush's half
    // pieces, the early flushes' too, saved, written twice (with stamps and
    // back) and read back; the probes read once or twice more.
    return 3 * requests + 2 * (flushed + std::min(flushed, earlyflush)) + 4 * probes + protectedbytes;
}

std::uint64_t plannedjournal(const device& dev, std::uint64_t cachelimit)
{
    // The half of each piece of the flush that it writes, the early ones'
    // too, and the probes of the survey, of the rounds behind it (one more
    // where it found places good behind lost ones), of each round that
    // closes in and of the pairs, each piece with its record's head, and
    // room for the markers and the first MiB.
    const std::uint64_t flushed = (std::min(cachelimit, dev.size / 2) + earlyflush) / 2;
    const std::uint64_t probes = (maxnarrowing + maxpasses + 3) * maxprobes;
    const std::uint64_t pieces = probes + flushed / piecebytes + 1;
    return flushed + probes * proberequest(dev.sectorsize) + pieces * 32 + 2 * protectedbytes;
}

findings search::run()
{
    if (buffer.data == nullptr || firstmib.data == nullptr)
        return wrapup(flow::fail);
    const auto firstsize = static_cast<std::size_t>(up(protectedbytes));
    firstmibread = readat(0, firstmib.data, firstsize);
    layout();
    std::size_t proven = noproof;
    flow next = survey(&proven);
    // Proven before the whole flush: the probes that came back may have come
    // from a cache. What was lost stays lost; a round behind the replayed
    // flush tells what is good: most of its probes before the first place
    // lost, where the loss begins, some behind it, which tell a counterfeit
    // from a damaged device.
    if (next == flow::go && proven < chunks.size()) {
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
        next = proberound(proof(count), {}, &probed);
        // Good places behind lost ones are damage, or addresses that come
        // round after a distance that no two probes lie apart: the whole
        // flush, written over the device's end, then comes round onto some
        // of the places of a close round. Storage found shared by a sparse
        // round is looked at by a close one, as places that share storage
        // show it only where one of them was written after the other.
        if (next == flow::go && sharing == 0 && goodbehind(down(dev.size))) {
            next = savechunks(chunks.size());
            writtenchunks = chunks.size();
            if (next == flow::go)
                next = proberound(proof(close), {}, &probed);
        } else if (next == flow::go && count < close && sharing != 0) {
            next = proberound(proof(close), {}, &probed);
        }
    }
    if (next == flow::go && sharing != 0)
        next = findperiod(&period, &periodshared);
    if (next == flow::go && sharing != 0 && period == 0)
        next = partnerround();
    if (next != flow::go)
        return wrapup(next);
    findings result = conclude(proven);
    if (result.outcome != verdict::sound && !answers())
        return wrapup(flow::lost);
    if (result.outcome == verdict::sound) {
        // A device that keeps every write somewhere, and takes the oldest
        // place for it when it is full, changes what the run never wrote.
        if (firstmibread && readat(0, buffer.data, firstsize) &&
            std::memcmp(buffer.data, firstmib.data, firstsize) != 0) {
            result.outcome = verdict::overwrites;
            if (!log.keep(0, firstmib.data, firstsize) || !log.commit())
                return wrapup(flow::fail);
        }
        return result;
    }
    if (result.outcome != verdict::counterfeit)
        return result;
    // Counterfeit: close in on where it begins, from the last good place
    // before the first bad one, or on the period alone.
    std::uint64_t high = result.firstbad, low = up(protectedbytes);
    for (auto found = probed.begin(); found != probed.end() && found->first < high; ++found)
        if (!bad(found->first))
            low = found->first + unit;
    if (high > low && !(period != 0 && high == period)) {
        next = narrow(&low, &high);
        if (next == flow::go && !answers())
            next = flow::lost;
        if (next != flow::go)
            return wrapup(next);
    } else {
        low = high;
    }
    result.usable = std::min(low, period != 0 ? period : low);
    result.probed = probed.size();
    if (period != 0 && result.usable == period) {
        result.what = periodshared ? beyond::wraps : beyond::mirrors;
        result.distance = period;
        return result;
    }
    // What the places behind the usable size do, by the most of them, and
    // where the addresses come round behind those, how.
    if (period != 0) {
        result.distance = period;
        result.round = periodshared ? beyond::wraps : beyond::mirrors;
    }
    std::array<std::uint64_t, 7> kinds{};
    const auto holes = period != 0 ? probed.lower_bound(period) : probed.end();
    for (auto found = probed.lower_bound(result.usable); found != holes; ++found) {
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
    result.what = static_cast<beyond>(std::max_element(kinds.begin(), kinds.end()) - kinds.begin());
    result.reader = reader;
    result.writer = writer;
    return result;
}

} // namespace probe
