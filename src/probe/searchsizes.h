// The sizes the search works with, shared by the files of its parts: how
// close it gets, how it writes its probes and its flush, and how many
// rounds of each kind it takes at most.
#pragma once

#include "probe/search.h"

#include <algorithm>
#include <cstdint>

namespace probe {

// The usable size is found to within this below the real one.
constexpr std::uint64_t precision = 1 << 20;
// The flush is written in pieces of a MiB at the device's end, each with a
// gap behind it for probes; one piece in eight goes in writes of 4 KiB, as
// a cache may take only small writes. The survey writes each piece of the
// limit whole twice (of the early flushes half of each): with stamps, then
// with what it held, recalled from the journal. Both change what the device
// holds, so that a cache that skips unchanged data takes both, and a cache
// that keeps one entry per place must make room for every place of every
// piece. The pieces are left as they were, for the restoration only to
// check.
constexpr std::uint64_t piecebytes = 1 << 20;
constexpr std::uint64_t piecegap = 64 << 10;
constexpr std::size_t smallwrite = 4096;
constexpr std::size_t smallevery = 8;
// Where every probe came back, the restoration checks of the pieces one
// block in so many bytes: the device kept all it was given, the pieces
// last, and a write-back it lost shows in every block it should have
// changed.
constexpr std::uint64_t samplestride = 64 << 10;
// A probe goes to the device in a write no smaller than the flush's
// smallest, so that a cache that takes only small writes takes the flush's
// small writes as well as the probes.
inline std::uint64_t proberequest(std::uint32_t unit)
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

// The places of a round over span bytes that lie close enough for the
// usable size at once.
inline std::uint64_t closeplaces(std::uint64_t span)
{
    return std::min(maxprobes / 2, span / narrowspacing + 1);
}

} // namespace probe
