// Where places share storage: pairs of places tested for a period after
// which the addresses come round, and whether none of its parts is one;
// places probed with partners where storage is shared in another way; and
// a loss that reads old data looked at for a mirror.
#include "probe/search.h"

#include "probe/searchsizes.h"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <set>

namespace probe {

namespace {

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

} // namespace

// Pairs of places tested in one round, with no flush between writes and
// reads, as the reads that tell come from storage that no cache answers
// for: the lower places are written (one in the first MiB is never
// written, but what it holds is known), then each higher one is read before
// it is written: where it shows what the lower one holds, both read the
// same storage (the device comes round there, or mirrors). Then the higher
// ones are written, and the lower ones read: one in the first MiB, which no
// cache holds, that shows the higher one's stamp proves that writes come
// round too (shared). A pair whose higher place did not read the lower one
// is apart. The higher places are never probed before, so that no cache
// answers for them either.
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
    paired.insert(highs.begin(), highs.end());
    round++;
    const std::uint64_t count = lows.size() + highs.size(), request = proberequest(unit);
    plan(2 * count * request + 2 * count * unit + 2 * protectedbytes, count * request);
    flow next = saveplaces(&lows);
    if (next == flow::go)
        next = saveplaces(&highs);
    if (next == flow::go) {
        tell("Schreibe Proben");
        next = writeplaces(lows);
    }
    if (next == flow::go)
        next = settle();
    unsigned char* const start = buffer.data;
    unsigned char* const other = buffer.data + first;
    const auto firstsize = static_cast<std::size_t>(first);
    const bool startread = next == flow::go && firstmibread && readat(0, start, firstsize);
    // Whether each higher place read what its lower one holds.
    std::set<std::uint64_t> readlow;
    tell("Lese Proben");
    for (const auto& [low, high] : pairs) {
        std::uint64_t offset;
        std::uint32_t written;
        if (next != flow::go || !readat(high, other, unit))
            continue;
        const bool stamped = readstamp(other, unit, key, &offset, &written) && offset == low &&
                             written == static_cast<std::uint32_t>(round);
        // What the first MiB holds tells only where it is no filler that
        // places without storage read as well.
        const bool same = low < first && startread && classify(start + low, unit) == content::other &&
                          std::memcmp(other, start + low, unit) == 0;
        if (stamped || same) {
            readlow.insert(high);
            sharedstorage(high, low);
        }
    }
    if (next == flow::go) {
        tell("Schreibe Proben");
        next = writeplaces(highs);
    }
    if (next == flow::go)
        next = settle();
    std::map<std::uint64_t, place> after;
    if (next == flow::go)
        next = readplaces(lows, &after);
    if (next != flow::go)
        return next;
    const bool startagain = startread && readat(0, start, firstsize);
    found->clear();
    for (const auto& [low, high] : pairs) {
        std::uint64_t offset;
        std::uint32_t written;
        bool shared;
        if (low < first) {
            shared = startagain && readstamp(start + low, unit, key, &offset, &written) && offset == high;
        } else {
            auto lower = after.find(low);
            shared =
                lower != after.end() && lower->second.what == state::victim && lower->second.partner == high;
        }
        const bool readable = low >= first || startagain;
        found->push_back(shared                     ? pairing::shared
                         : readlow.count(high) != 0 ? pairing::mirrored
                         : readable                 ? pairing::apart
                                                    : pairing::unknown);
    }
    return next;
}

// Whether the distance found between places that share storage is the
// period of addresses that come round, and none of its parts is: pairs of
// places that far apart, the lower ones in the first MiB and as far behind
// it, and for each prime factor of it pairs that much less apart, the
// lower ones in the first MiB. One of the smaller distance that shares
// storage proves the smaller period; the period is confirmed where places
// at it share the storage of places in the first MiB. *found stays 0 where
// the period is not confirmed.
search::flow search::findperiod(std::uint64_t* found, bool* shared)
{
    std::uint64_t candidate = periodtried = sharing;
    const std::uint64_t top = down(dev.size), first = up(protectedbytes), request = proberequest(unit);
    std::uint64_t random = key ^ candidate;
    for (int passes = 0; passes < maxpasses; passes++) {
        std::vector<std::pair<std::uint64_t, std::uint64_t>> pairs;
        std::vector<std::uint64_t> distances;
        std::set<std::uint64_t> used;
        // A place is free two probes' writes away from every place used:
        // the write of one would stamp the other, or its storage.
        auto unused = [&used, request](std::uint64_t at) {
            auto near = used.lower_bound(at - std::min(at, 2 * request - 1));
            return near == used.end() || *near >= at + 2 * request;
        };
        auto usable = [&](std::uint64_t low, std::uint64_t high) {
            return high >= first && high + unit <= top && !taken(high, true) && probed.count(high) == 0 &&
                   paired.count(high) == 0 && unused(high) && unused(low) &&
                   (low < first || !taken(low, true));
        };
        // Pairs distance apart, the lower places at random from lowest to
        // before highest, every place of them at most once.
        auto addpairs = [&](std::uint64_t distance, std::uint64_t lowest, std::uint64_t highest,
                            std::uint64_t count) {
            for (std::uint64_t tries = 0; count > 0 && highest > lowest && tries < 16 * testplaces; tries++) {
                const std::uint64_t low = down(lowest + nextrandom(&random) % (highest - lowest));
                if (low < lowest || !usable(low, low + distance))
                    continue;
                pairs.emplace_back(low, low + distance);
                distances.push_back(distance);
                used.insert({low, low + distance});
                count--;
            }
        };
        addpairs(candidate, 0, first, testplaces);
        addpairs(candidate, first, std::min(top - candidate, 2 * first), testplaces / 2);
        const std::size_t starts = pairs.size();
        for (std::uint64_t factor : primefactors(candidate / unit)) {
            const std::uint64_t distance = candidate / factor;
            addpairs(distance, first > distance ? first - distance : 0, 2 * first, testplaces / 2);
        }
        if (pairs.empty())
            return flow::go;
        std::vector<pairing> outcomes;
        const flow next = testpairs(pairs, &outcomes);
        if (next != flow::go)
            return next;
        // A smaller period where any pair shares; none, where enough pairs
        // were found apart.
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
        // Too close to the device's end to be confirmed at its start.
        if (starts == 0)
            return flow::go;
        const auto begin = outcomes.begin(), end = outcomes.begin() + static_cast<std::ptrdiff_t>(starts);
        const bool changed = std::count(begin, end, pairing::shared) > 0;
        if (changed || std::count(begin, end, pairing::mirrored) > 0) {
            *found = candidate;
            *shared = changed;
        }
        return flow::go;
    }
    return flow::go;
}

// Where addresses come round onto places other than the device's start, a
// probe comes back whole unless a place sharing its storage was written
// after it, and the probes rarely hit one: each place probed is followed by
// a probe as far before it as places were found to share storage, whose
// stamp it then reads where it shares that storage. A place whose partner
// would be written where another place of the round lies is left out: that
// one's write behind the replayed flush would leave its own stamp to read.
std::vector<std::uint64_t> search::partnersof(std::vector<std::uint64_t>* places) const
{
    std::vector<std::uint64_t> partners;
    if (sharing == 0 || period != 0)
        return partners;
    const std::uint64_t request = proberequest(unit);
    std::set<std::uint64_t> blocks;
    for (std::uint64_t place : *places)
        blocks.insert(window(place).offset / request);
    std::vector<std::uint64_t> kept;
    for (std::uint64_t place : *places) {
        if (place < up(protectedbytes) + sharing) {
            kept.push_back(place);
            continue;
        }
        const stretch write = window(place - sharing);
        if (blocks.count(write.offset / request) != 0 ||
            blocks.count((write.offset + write.size - 1) / request) != 0)
            continue;
        kept.push_back(place);
        partners.push_back(place - sharing);
    }
    *places = kept;
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
    const auto shared = std::find_if(probed.begin(), probed.end(), [](const auto& found) {
        return found.second.what == state::alias || found.second.what == state::victim;
    });
    if (shared == probed.end())
        return flow::go;
    const std::uint64_t top = down(dev.size), stride = piecesize + unit;
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
    std::vector<std::uint64_t> tested = places;
    const std::vector<std::uint64_t> partners = partnersof(&tested);
    flow next = proberound(tested, partners, &probed, false);
    return next;
}

// A loss that reads other bytes than the stamps, and no storage found
// shared: the device may read, behind its real size, what lies that far
// before it (a mirror), which the sparse probes rarely hit. A place in the
// second MiB gets a probe, and the stretch as far behind it as the real
// size may be, from the end of the last good place to the first bad one,
// is read: a sector there that shows the probe's stamp tells the distance
// after which the addresses come round.
search::flow search::lookround(std::uint64_t low, std::uint64_t high)
{
    const std::uint64_t first = up(protectedbytes), size = down(dev.size);
    std::vector<std::uint64_t> places = spread(first, 2 * first, 1);
    if (places.empty() || places.front() >= low || high - low > precision ||
        places.front() + high + unit > size)
        return flow::go;
    round++;
    plan(3 * proberequest(unit) + high - low + 2 * unit + protectedbytes, proberequest(unit));
    flow next = saveplaces(&places);
    if (next == flow::go && !places.empty()) {
        tell("Schreibe Proben");
        next = writeplaces(places);
    }
    if (next == flow::go)
        next = settled();
    if (next != flow::go || places.empty())
        return next;
    const std::uint64_t start = places.front() + low - unit, end = places.front() + high + unit;
    tell("Lese Proben");
    if (!readat(start, buffer.data, static_cast<std::size_t>(end - start)))
        return flow::go;
    for (std::uint64_t at = start; at < end; at += unit) {
        std::uint64_t offset;
        std::uint32_t written;
        if (readstamp(buffer.data + (at - start), unit, key, &offset, &written) && offset == places.front() &&
            written == static_cast<std::uint32_t>(round)) {
            sharedstorage(at, offset);
            break;
        }
    }
    return flow::go;
}

} // namespace probe
