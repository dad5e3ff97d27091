// The search over models of cards: honest ones, and every kind of
// counterfeit that fools a naive probe. The verdict must be right, the usable
// size never above the real one and within 1 MiB below it, the I/O bounded,
// and every byte of the card back as it was afterwards.
#include "modelcard.h"
#include "probe/journal.h"
#include "probe/search.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using model::admits;
using model::cardshape;
using model::fake;
using model::ignore;
using model::keeps;
using model::memoryjournal;
using model::mib;
using model::modelcard;

constexpr std::uint64_t runkey = 0x1234567887654321;

struct probed {
    probe::findings found;
    // Bytes written to the card by the search alone.
    std::uint64_t written;
};

// Probes card with the cache limit and writes everything back after a power
// cut, which must bring back every byte the search overwrote.
probed runprobe(modelcard& card, std::uint64_t cachelimit, bool restored = true, std::uint64_t key = runkey)
{
    memoryjournal file;
    probe::journal log(file, card);
    EXPECT_TRUE(log.start({key, card.size, card.sectorsize, "Modell", "/dev/modell"}));
    probed result;
    result.found = probe::search(
                       card, log, key, cachelimit, ignore, [](std::uint64_t) {}, [] { return false; })
                       .run();
    result.written = card.written;
    card.powercut();
    probe::journalcontents contents;
    EXPECT_EQ(probe::readjournal(file, &contents), probe::journalstate::readable);
    const probe::restoration back = probe::restore(file, contents, card, ignore, 0);
    EXPECT_TRUE(back.complete(contents)) << back.wrong << " bytes wrong from " << back.firstwrong;
    if (restored) {
        EXPECT_EQ(card.firstchanged(), -1) << "a block not restored";
    }
    return result;
}

// A counterfeit whose usable size must lie within 1 MiB below real.
void expectusable(const probe::findings& found, std::uint64_t real, probe::beyond what)
{
    EXPECT_EQ(found.outcome, probe::verdict::counterfeit);
    EXPECT_EQ(found.what, what);
    EXPECT_LE(found.usable, real);
    EXPECT_LT(real - found.usable, mib);
}

// The all-clear only after the whole limit was written behind the probes,
// and for that no more written than the limit twice, half of the early
// flushes of 1 and 4 MiB twice and the probes' writes.
TEST(Search, HonestCardsShowNoSignOnlyBehindTheWholeLimit)
{
    for (std::uint32_t sector : {512u, 4096u}) {
        modelcard card({4096 * mib, 4096 * mib, sector, fake::honest, 8 * mib});
        const probed result = runprobe(card, 16 * mib);
        EXPECT_EQ(result.found.outcome, probe::verdict::sound) << sector;
        EXPECT_EQ(result.found.flushed, 16 * mib);
        EXPECT_LE(result.written, 2 * (16 + 2) * mib + probe::maxprobes * std::max(sector, 4096u)) << sector;
    }
}

// Behind the probes the all-clear writes the whole limit to places of its
// own twice, with stamps and back with what they held, and costs no more
// than that: the limit read to save it, written twice, and a sample of it
// checked by the restoration. Twice the limit costs that much more,
// whatever the probes cost.
TEST(Search, AnAllClearWritesTheLimitTwiceAndReadsItOnce)
{
    auto traffic = [](std::uint64_t limit) {
        modelcard card({4096 * mib, 4096 * mib, 512, fake::honest, 8 * mib});
        memoryjournal file;
        probe::journal log(file, card);
        EXPECT_TRUE(log.start({runkey, card.size, card.sectorsize, "", ""}));
        probe::search search(
            card, log, runkey, limit, ignore, [](std::uint64_t) {}, [] { return false; });
        const probe::findings found = search.run();
        EXPECT_EQ(found.outcome, probe::verdict::sound);
        EXPECT_EQ(found.flushed, limit);
        EXPECT_GE(card.written, 2 * limit) << "the limit behind the probes, twice";
        probe::journalcontents contents;
        EXPECT_EQ(probe::readjournal(file, &contents), probe::journalstate::readable);
        const probe::restoration back = probe::restore(file, contents, card, ignore, 0, search.writtenback());
        EXPECT_TRUE(back.complete(contents));
        EXPECT_EQ(card.firstchanged(), -1);
        return card.traffic;
    };
    const std::uint64_t once = traffic(32 * mib), twice = traffic(64 * mib);
    EXPECT_LE(twice - once, (32 * mib + 2 * 32 * mib + 2 * mib) * 11 / 10)
        << "within 1.1x of the physical limit";
}

TEST(Search, WrapAroundAtAnySizeIsFoundToTheSector)
{
    const std::pair<std::uint64_t, std::uint64_t> sizes[] = {
        {2048 * mib, 64 * mib},
        {8192 * mib, 100 * mib + 4096},
        {16384 * mib, 3000 * mib + 512},
        {8192 * mib, 8192 * mib - 300 * 1024},
        {4096 * mib, 4096 * mib - 20 * mib},
        {1024 * mib, 1000 * mib},
    };
    for (const auto& [claimed, real] : sizes) {
        SCOPED_TRACE(std::to_string(real) + " of " + std::to_string(claimed));
        modelcard card({claimed, real, 512, fake::wraps, 4 * mib});
        const probe::findings found = runprobe(card, 16 * mib).found;
        expectusable(found, real, probe::beyond::wraps);
        EXPECT_EQ(found.usable, real);
    }
}

// The most common counterfeit: writes beyond the real size are lost behind
// a cache, here of every size up to the limit. The first look that misses a
// probe proves it, so a small cache costs little.
TEST(Search, LostWritesAreFoundBehindACacheOfAnySizeUpToTheLimit)
{
    const std::uint64_t real = 1024 * mib + 12288;
    for (std::uint64_t cache : {0ull, 1ull, 4ull, 16ull, 64ull}) {
        SCOPED_TRACE("cache of " + std::to_string(cache) + " MiB");
        modelcard card({64 * 1024 * mib, real, 4096, fake::zeros, cache * mib});
        const probed result = runprobe(card, 64 * mib);
        expectusable(result.found, real, probe::beyond::zeros);
        // The probes, and the flush twice: up to four times the cache, and
        // once more for each round behind the proof.
        EXPECT_LE(result.written, 4 * (probe::maxprobes * 4096 + 4 * std::max<std::uint64_t>(cache, 1) * mib))
            << cache;
        // Without a cache the first sixteenth of the probes proves it, and
        // the rest of the survey is never written.
        if (cache == 0) {
            EXPECT_LT(result.written, probe::maxprobes * 4096);
        }
    }
    const std::pair<fake, probe::beyond> kinds[] = {{fake::ones, probe::beyond::ones},
                                                    {fake::stale, probe::beyond::stale}};
    for (const auto& [kind, what] : kinds) {
        modelcard card({2048 * mib, 64 * mib + 512, 512, kind, 2 * mib});
        expectusable(runprobe(card, 16 * mib).found, 64 * mib + 512, what);
    }
}

TEST(Search, ARegionOfIoErrorsIsDamageWithItsExtent)
{
    modelcard card({4096 * mib, 4096 * mib, 512, fake::honest});
    card.errorstart = 2000 * mib;
    card.errorend = 2100 * mib;
    const probe::findings found = runprobe(card, 16 * mib).found;
    EXPECT_EQ(found.outcome, probe::verdict::damaged);
    EXPECT_GE(found.firstbad, 2000 * mib - 4096);
    EXPECT_LT(found.lastbad, 2100 * mib);
    EXPECT_GT(found.lastbad, found.firstbad);
}

// Addresses that come round at a power of two (or anywhere) above a real
// size that is none: the places between have no storage, and the usable
// size ends there. Whatever the run's key puts where, with a cache or none,
// and however few times the addresses come round, the wrap is seen behind
// the holes.
TEST(Search, AWrapAboveTheRealSizeIsNoUsableSize)
{
    const std::tuple<std::uint64_t, std::uint64_t, std::uint64_t> cards[] = {
        {8192 * mib, 700 * mib, 1024 * mib},
        {32768 * mib, 6144 * mib, 8192 * mib},
        {16384 * mib, 6144 * mib, 8192 * mib},
        {8192 * mib, 5120 * mib, 6144 * mib},
    };
    for (const auto& [claimed, real, wrap] : cards)
        for (std::uint64_t cache : {0ull, 4ull})
            for (std::uint64_t key : {runkey, runkey * 3, runkey * 5}) {
                SCOPED_TRACE(std::to_string(real) + " wrapping at " + std::to_string(wrap) + ", key " +
                             std::to_string(key) + ", cache " + std::to_string(cache));
                modelcard card({claimed, real, 4096, fake::wraps, cache * mib, admits::every, wrap});
                const probe::findings found = runprobe(card, 16 * mib, true, key).found;
                expectusable(found, real, probe::beyond::zeros);
                EXPECT_EQ(found.distance, wrap);
                EXPECT_EQ(found.round, probe::beyond::wraps);
            }
}

// What the all-clear says it rules out, each cache 1 MiB under the bound it
// states: one that takes every write, or every changed write, however it
// keeps them (the last writes; one entry per place, updated where it
// stands; the places written last; the places written or read last); one
// that takes only writes of up to 4 KiB; one that takes only writes to
// places without storage, on a card that lacks the stretch the all-clear
// names. A cache of single sectors takes no probe: they go in writes as
// large as the flush's smallest. None of them hides the loss, nor moves
// the usable size up.
TEST(Search, CachesUnderTheBoundsTheAllClearStatesHideNothing)
{
    const std::uint64_t claimed = 8192 * mib, real = 1024 * mib + 8192, limit = 16 * mib;
    modelcard honest({claimed, claimed, 512, fake::honest});
    const probe::findings clear = runprobe(honest, limit).found;
    ASSERT_EQ(clear.outcome, probe::verdict::sound);
    ASSERT_LT(clear.flushspan, claimed - real);
    const std::tuple<admits, keeps, std::uint64_t> caches[] = {
        {admits::every, keeps::log, clear.flushed},     {admits::every, keeps::place, clear.flushed},
        {admits::every, keeps::lru, clear.flushed},     {admits::every, keeps::reads, clear.flushed},
        {admits::changed, keeps::place, clear.flushed}, {admits::small, keeps::place, clear.flushedsmall},
        {admits::unreal, keeps::place, clear.flushed},  {admits::sector, keeps::place, clear.flushed},
    };
    for (const auto& [takes, keeping, bound] : caches) {
        SCOPED_TRACE(std::to_string(static_cast<int>(takes)) + " kept " +
                     std::to_string(static_cast<int>(keeping)));
        modelcard card({claimed, real, 512, fake::zeros, bound - mib, takes, 0, 0, keeping});
        expectusable(runprobe(card, limit).found, real, probe::beyond::zeros);
    }
}

// However large the claim, a round probes at most 4096 places.
TEST(Search, ProbesAreBoundedForAnyClaimedSize)
{
    modelcard card({16ull << 40, 8192 * mib, 512, fake::zeros, 4 * mib});
    const probe::findings found = runprobe(card, 16 * mib).found;
    expectusable(found, 8192 * mib, probe::beyond::zeros);
    EXPECT_LE(found.probed, 3 * probe::maxprobes);
}

// A full card that puts every write where it wrote longest ago keeps every
// probe but loses what it held; the first MiB, which the run never writes,
// shows it, and goes back.
TEST(Search, ACardThatOverwritesWhatItHoldsIsNoAllClear)
{
    modelcard card({2048 * mib, 1024 * mib, 512, fake::anywhere});
    const probe::findings found = runprobe(card, 16 * mib, false).found;
    EXPECT_EQ(found.outcome, probe::verdict::overwrites);
    std::string firstmib(mib, '\0');
    ASSERT_TRUE(card.read(0, reinterpret_cast<unsigned char*>(firstmib.data()), mib));
    for (std::uint64_t at = 0; at < mib; at += 512)
        ASSERT_EQ(firstmib.substr(at, 512), card.original(at / 512)) << at;
}

// Reads beyond the real size that give what lies further back, while writes
// there are lost: said as what it is.
TEST(Search, AMirrorIsToldFromAWrap)
{
    const std::uint64_t real = 512 * mib;
    for (std::uint64_t key : {runkey, runkey * 3, runkey * 5}) {
        modelcard card({4096 * mib, real, 512, fake::mirror});
        const probe::findings found = runprobe(card, 16 * mib, true, key).found;
        expectusable(found, real, probe::beyond::mirrors);
        EXPECT_EQ(found.usable, real);
    }
}

// The first MiB, which no probe writes, read again after each round: stamps
// of the run there, whole or in part where storage is shared within a
// sector, show shared storage; anything else a device that puts writes over
// what it holds.
TEST(Search, AChangedFirstMibTellsSharedStorageFromOverwrites)
{
    constexpr std::size_t sector = 4096, size = 8 * sector;
    std::string before(size, '\0');
    for (std::size_t at = 0; at < size; at++)
        before[at] = static_cast<char>(at * 7 + 3);
    auto stamped = [](std::uint64_t key, std::uint64_t place) {
        std::string bytes(sector, '\0');
        probe::stamp(reinterpret_cast<unsigned char*>(bytes.data()), sector, key, place, 2);
        return bytes;
    };
    // The end of one stamp and the start of the next, as where storage is
    // shared at 1 KiB into a sector.
    const std::string torn = stamped(runkey, 8192).substr(1024) + stamped(runkey, 12288).substr(0, 1024);
    const std::tuple<const char*, std::size_t, std::string, probe::change> rows[] = {
        {"nothing changed", 0, "", probe::change::none},
        {"a whole stamp", 3 * sector, stamped(runkey, 16384), probe::change::stamped},
        {"parts of two stamps", 5 * sector, torn, probe::change::stamped},
        {"another run's stamp", 2 * sector, stamped(runkey + 1, 4096), probe::change::overwritten},
        {"zeros", 0, std::string(sector, '\0'), probe::change::overwritten},
        {"part of a sector", 7 * sector, before.substr(7 * sector, 100) + std::string(sector - 100, 'x'),
         probe::change::overwritten},
    };
    for (const auto& [what, at, bytes, expected] : rows) {
        std::string now = before;
        now.replace(at, bytes.size(), bytes);
        EXPECT_EQ(probe::firstmibchange(reinterpret_cast<const unsigned char*>(before.data()),
                                        reinterpret_cast<const unsigned char*>(now.data()), size, sector,
                                        runkey),
                  expected)
            << what;
    }
    // A stamp beside other bytes is no shared storage alone.
    std::string both = before;
    both.replace(0, sector, stamped(runkey, 4096));
    both.replace(sector, sector, std::string(sector, '\0'));
    EXPECT_EQ(probe::firstmibchange(reinterpret_cast<const unsigned char*>(before.data()),
                                    reinterpret_cast<const unsigned char*>(both.data()), size, sector,
                                    runkey),
              probe::change::overwritten);
}

TEST(Search, AStopRequestStopsAtOnceAndEverythingGoesBack)
{
    modelcard card({4096 * mib, 1024 * mib, 512, fake::zeros});
    memoryjournal file;
    probe::journal log(file, card);
    ASSERT_TRUE(log.start({runkey, card.size, card.sectorsize, "", ""}));
    int asked = 0;
    const probe::findings found =
        probe::search(
            card, log, runkey, 16 * mib, ignore, [](std::uint64_t) {}, [&asked] { return ++asked > 500; })
            .run();
    EXPECT_EQ(found.outcome, probe::verdict::stopped);
    probe::journalcontents contents;
    ASSERT_EQ(probe::readjournal(file, &contents), probe::journalstate::readable);
    EXPECT_TRUE(probe::restore(file, contents, card, ignore, 0).complete(contents));
    EXPECT_EQ(card.firstchanged(), -1);
}

} // namespace

// Where the losses begin inside a piece of the flush, which each round
// writes again behind its probes, the rounds probe inside it too, and the
// piece's writes go around them: the usable size as close below the real
// one as anywhere, and not above it, though the piece's writes, the last
// before the look, are still in the cache.
TEST(Search, LossesThatBeginInsideAPieceOfTheFlushAreFoundAsClosely)
{
    // Where the pieces lie depends on the claimed size, the limit and the
    // run's key only: the journal of a run on an honest card tells, as the
    // first record larger than a probe. The first one goes into every flush.
    modelcard honest({2048 * mib, 2048 * mib, 4096, fake::honest});
    memoryjournal file;
    probe::journal log(file, honest);
    ASSERT_TRUE(log.start({runkey, honest.size, honest.sectorsize, "", ""}));
    ASSERT_EQ(probe::search(
                  honest, log, runkey, 64 * mib, ignore, [](std::uint64_t) {}, [] { return false; })
                  .run()
                  .outcome,
              probe::verdict::sound);
    probe::journalcontents contents;
    ASSERT_EQ(probe::readjournal(file, &contents), probe::journalstate::readable);
    auto first = std::find_if(contents.records.begin(), contents.records.end(),
                              [](const probe::journalrecord& record) { return record.size > 4096; });
    ASSERT_NE(first, contents.records.end());
    for (std::uint64_t real : {first->offset + mib - 4096, first->offset + mib / 2}) {
        SCOPED_TRACE(real);
        modelcard card({2048 * mib, real, 4096, fake::zeros, 4 * mib});
        expectusable(runprobe(card, 64 * mib).found, real, probe::beyond::zeros);
    }
}

// Addresses beyond the real size that come round onto the last part of the
// real storage instead of its start: a place seen to hold another place's
// data bounds the usable size, wherever the write came from, whatever the
// run's key puts where.
TEST(Search, AddressesThatComeRoundOntoTheEndOfTheStorageBoundTheUsableSize)
{
    const std::uint64_t real = 1024 * mib;
    for (std::uint64_t cycle : {300 * mib, 256 * mib, 3 * mib + 512})
        for (std::uint64_t key : {runkey, runkey * 3, runkey * 5, runkey * 7}) {
            SCOPED_TRACE("cycle " + std::to_string(cycle) + ", key " + std::to_string(key));
            modelcard card({4096 * mib, real, 512, fake::cycles, 0, admits::every, cycle});
            const probe::findings found = runprobe(card, 16 * mib, true, key).found;
            EXPECT_EQ(found.outcome, probe::verdict::counterfeit);
            EXPECT_LE(found.usable, real);
            EXPECT_LT(real - found.usable, mib);
        }
}

// Storage that comes round within the first MiB, which no probe may write:
// a counterfeit too small for any partition.
TEST(Search, StorageSharedBelowTheFirstMibIsNeverWrittenThere)
{
    modelcard card({64 * mib, 512 * 1024, 512, fake::wraps});
    const probe::findings found = runprobe(card, 16 * mib).found;
    EXPECT_EQ(found.outcome, probe::verdict::counterfeit);
    EXPECT_LT(found.usable, 2 * mib);
    EXPECT_GE(card.lowestwrite, mib);
}

// A cache just below, at or above the limit leaves some probes beyond the
// real size answered from it: still a counterfeit, never damage. Places
// that read back other bytes each time are no data to write back.
TEST(Search, LossesBehindACacheLargerThanTheLimitAreNoDamage)
{
    const std::uint64_t real = 512 * mib;
    for (std::uint64_t limit : {15ull, 8ull, 16ull, 32ull}) {
        SCOPED_TRACE("limit " + std::to_string(limit) + " MiB");
        modelcard card({8192 * mib, real, 512, fake::zeros, 16 * mib});
        const probe::findings found = runprobe(card, limit * mib).found;
        EXPECT_NE(found.outcome, probe::verdict::damaged);
        if (limit >= 16)
            expectusable(found, real, probe::beyond::zeros);
    }
    modelcard noisy({2048 * mib, real, 512, fake::noise, 4 * mib});
    expectusable(runprobe(noisy, 16 * mib).found, real, probe::beyond::stale);
}

// A card that stops answering at any moment is lost, never a counterfeit.
TEST(Search, ACardThatStopsAnsweringIsLostNeverCounterfeit)
{
    for (std::uint64_t after : {2 * mib, 12 * mib, 30 * mib}) {
        SCOPED_TRACE(after);
        modelcard card({1024 * mib, 1024 * mib, 512, fake::honest});
        card.failafter = after;
        memoryjournal file;
        probe::journal log(file, card);
        ASSERT_TRUE(log.start({runkey, card.size, card.sectorsize, "", ""}));
        const probe::findings found =
            probe::search(
                card, log, runkey, 16 * mib, ignore, [](std::uint64_t) {}, [] { return false; })
                .run();
        EXPECT_EQ(found.outcome, probe::verdict::lost);
    }
}
