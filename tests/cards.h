// The cards the tests build, in memory (modelcard.h) and as FUSE files
// (fakecard.cpp): what each keeps, loses or answers from a cache; and a
// seeded draw of them for the sweeps, whose oracle is what each card is.
#pragma once

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <sstream>
#include <string>

namespace model {

constexpr std::uint64_t mib = 1 << 20;

// What lies beyond the real size: nothing (honest); the addresses come
// round (wraps); writes are lost and read as zeros, 0xff or old data; reads
// give what lies further back, writes are lost (mirror); every write goes
// to the place written longest ago, the card being full (anywhere); the
// addresses come round onto the last part of the real storage (cycles);
// writes are lost and reads give other bytes every time (noise); or the
// real storage is the last part of the claimed size, and before it writes
// are lost and read as zeros (tail).
enum class fake { honest, wraps, zeros, ones, stale, mirror, anywhere, cycles, noise, tail };

// What the card's cache takes: every write, writes of up to 4 KiB, writes
// of one 512-byte sector, writes to places without storage, or writes that
// change what a read would give.
enum class admits { every, small, sector, unreal, changed };

// How the cache keeps what it took, cachebytes of it: the last writes, a
// rewrite of a place an entry of its own (log); one entry per place, a
// rewrite updating it where it stands, the oldest place going first
// (place); one entry per place, each write making it the newest (lru); and
// as lru, each read of it too (reads).
enum class keeps { log, place, lru, reads };

struct cardshape {
    std::uint64_t claimed;
    std::uint64_t real;
    std::uint32_t sector;
    fake kind;
    std::uint64_t cachebytes = 0;
    admits cache = admits::every;
    // wraps: the addresses come round after this many bytes (0: the real
    // size); what lies between the real size and it has no storage.
    // cycles: beyond the real size the addresses come round onto the last
    // this many bytes of the real storage.
    std::uint64_t wrap = 0;
    // The grain of the storage (0: the sector), finer where sectors share
    // storage at an offset within them.
    std::uint32_t grain = 0;
    keeps keeping = keeps::log;
};

// The next number of a splitmix64 stream that *state runs through.
inline std::uint64_t nextrandom(std::uint64_t* state)
{
    std::uint64_t z = (*state += 0x9e3779b97f4a7c15);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
    z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
    return z ^ (z >> 31);
}

// A card of the sweeps: its shape, where it loses writes or fails, and the
// cache limit of the run; what the card is decides the verdict.
struct sweepcard {
    cardshape shape;
    std::uint64_t dropstart = 0, dropend = 0;
    std::uint64_t errorstart = 0, errorend = 0;
    std::uint64_t limit;
    // The cache is larger than the all-clear says it rules out: the card
    // may fool the probe, but must get every byte back all the same.
    bool beyondbound = false;
};

inline const char* kindname(fake kind)
{
    static const char* const names[] = {"honest", "wraps",    "zeros",  "ones",  "stale",
                                        "mirror", "anywhere", "cycles", "noise", "tail"};
    return names[static_cast<int>(kind)];
}

inline std::string describe(std::uint64_t seed, const sweepcard& card)
{
    static const char* const takes[] = {"every", "small", "sector", "unreal", "changed"};
    static const char* const keeping[] = {"log", "place", "lru", "reads"};
    std::ostringstream out;
    const cardshape& shape = card.shape;
    out << "seed " << seed << ": " << kindname(shape.kind) << ", claims " << shape.claimed << ", real "
        << shape.real << ", sectors of " << shape.sector << ", wrap " << shape.wrap << ", cache "
        << shape.cachebytes << " (" << takes[static_cast<int>(shape.cache)] << ", "
        << keeping[static_cast<int>(shape.keeping)] << "), limit " << card.limit;
    if (card.dropend != 0)
        out << ", writes lost from " << card.dropstart << " to " << card.dropend;
    if (card.errorend != 0)
        out << ", I/O errors from " << card.errorstart << " to " << card.errorend;
    if (card.beyondbound)
        out << ", the cache beyond the bound";
    return out.str();
}

// A number from low to below high, in steps of step.
inline std::uint64_t between(std::uint64_t* random, std::uint64_t low, std::uint64_t high, std::uint64_t step)
{
    return low + nextrandom(random) % ((high - low) / step) * step;
}

// The cache limit as the all-clear states it: the limit, at most half of
// what lies behind the first MiB, in whole MiB.
inline std::uint64_t statedlimit(const sweepcard& card)
{
    return std::min(card.limit, (card.shape.claimed - mib) / 2) / mib * mib;
}

// A card of the sweep drawn with seed, claiming at most largest bytes,
// probed with a cache limit drawn too, or limit where given.
inline sweepcard draw(std::uint64_t seed, std::uint64_t largest, std::uint64_t limit = 0)
{
    std::uint64_t random = seed * 0x9e3779b97f4a7c15 + 1;
    sweepcard card;
    cardshape& shape = card.shape;
    shape.sector = nextrandom(&random) % 3 == 0 ? 4096 : 512;
    const std::uint64_t sector = shape.sector;
    shape.claimed = between(&random, 64 * mib, largest, sector);
    static const std::uint64_t limits[] = {8 * mib, 16 * mib, 32 * mib};
    card.limit = limits[nextrandom(&random) % 3];
    if (limit != 0)
        card.limit = limit;
    static const fake kinds[] = {fake::honest, fake::wraps,  fake::zeros, fake::ones,     fake::stale,
                                 fake::mirror, fake::cycles, fake::noise, fake::anywhere, fake::tail};
    const std::size_t pick = nextrandom(&random) % (std::size(kinds) + 3);
    // Past the kinds: honest cards that lose writes, or fail, in a region,
    // and wraps with a hole before the addresses come round.
    shape.kind = pick < std::size(kinds)        ? kinds[pick]
                 : pick == std::size(kinds) + 2 ? fake::wraps
                                                : fake::honest;
    shape.real =
        shape.kind == fake::honest ? shape.claimed : between(&random, 2 * mib, shape.claimed / 2, sector);
    if (pick == std::size(kinds) + 2) {
        // The hole is mostly less than a MiB, which few probes hit.
        const std::uint64_t hole = nextrandom(&random) % 2 == 0 ? mib : shape.real / 2;
        shape.wrap = shape.real + between(&random, sector, hole + 2 * sector, sector);
        shape.wrap = std::min(shape.wrap, shape.claimed / 2 / sector * sector);
        shape.real = std::min(shape.real, shape.wrap - sector);
    }
    if (shape.kind == fake::cycles)
        shape.wrap = between(&random, sector, shape.real / 2 + 2 * sector, sector);
    if (pick == std::size(kinds) || pick == std::size(kinds) + 1) {
        // A region as long as two of the survey's stretches at least, so
        // that a probe lies in it.
        const std::uint64_t stretch = shape.claimed / 4096 / sector * sector;
        const std::uint64_t length = between(&random, 2 * stretch + mib, 4 * stretch + 2 * mib, sector);
        const std::uint64_t start = between(&random, 2 * mib, shape.claimed - length - mib, sector);
        (pick == std::size(kinds) ? card.dropstart : card.errorstart) = start;
        (pick == std::size(kinds) ? card.dropend : card.errorend) = start + length;
    }
    // A cache of a kind and a way of keeping drawn at random, of half to the
    // whole of what the all-clear states it rules out.
    if (nextrandom(&random) % 4 != 0 && shape.kind != fake::anywhere) {
        const std::uint64_t bound = statedlimit(card);
        shape.cache = static_cast<admits>(nextrandom(&random) % 5);
        shape.keeping = static_cast<keeps>(nextrandom(&random) % 4);
        std::uint64_t most = shape.cache == admits::small ? bound / 8 : bound;
        // A cache of places without storage is ruled out only where the
        // card lacks the stretch at its end that the flush lies in: not
        // where the addresses come round onto storage there, nor where its
        // storage lies there.
        const bool lacksend = shape.kind == fake::zeros || shape.kind == fake::ones ||
                              shape.kind == fake::stale || shape.kind == fake::noise ||
                              shape.kind == fake::mirror;
        if (shape.cache == admits::unreal &&
            (!lacksend || shape.claimed - shape.real < bound + bound / 4 + 24 * mib))
            shape.cache = admits::every;
        shape.cachebytes = between(&random, most / 2, most + sector, sector) - sector;
        // One in four beyond the bound, by up to 64 MiB.
        card.beyondbound = nextrandom(&random) % 4 == 0;
        if (card.beyondbound)
            shape.cachebytes = between(&random, most + sector, most + 64 * mib, sector);
    }
    return card;
}

// The arguments of tests/card.sh attach after the fake card program that
// make the card a FUSE file.
inline std::string fakecardarguments(const sweepcard& card)
{
    static const char* const takes[] = {"every", "small", "sector", "unreal", "changed"};
    static const char* const keeping[] = {"log", "place", "lru", "reads"};
    const cardshape& shape = card.shape;
    std::ostringstream out;
    const bool cycles = shape.kind == fake::cycles;
    out << (shape.kind == fake::wraps ? "wrap"
            : cycles                  ? "zeros"
                                      : kindname(shape.kind))
        << " " << shape.claimed << " " << shape.real << " " << shape.cachebytes << " " << shape.sector
        << " takes=" << takes[static_cast<int>(shape.cache)]
        << " keeps=" << keeping[static_cast<int>(shape.keeping)];
    if (shape.wrap != 0)
        out << (cycles ? " cycle=" : " wrapat=") << shape.wrap;
    if (card.dropend != 0)
        out << " drops=" << card.dropstart << "-" << card.dropend;
    if (card.errorend != 0)
        out << " errors=" << card.errorstart << "-" << card.errorend;
    return out.str();
}

} // namespace model
