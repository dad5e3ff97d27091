// A seeded sweep over model cards of every kind, each judged by what the card
// is, not by what the search makes of it: the verdict the card deserves, the
// usable size never above the storage it has from its start and within a MiB
// below it, and every byte back. A failure prints its seed and its card, and
// the seed alone runs it again.
#include "modelcard.h"
#include "probe/journal.h"
#include "probe/search.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>

namespace {

using model::admits;
using model::cardshape;
using model::fake;
using model::keeps;
using model::mib;
using model::modelcard;
using model::sweepcard;

struct judged {
    probe::findings found;
    std::uint64_t written;
    bool complete;
    std::int64_t firstchanged;
};

judged probecard(const sweepcard& drawn, std::uint64_t key)
{
    modelcard card(drawn.shape);
    card.dropstart = drawn.dropstart;
    card.dropend = drawn.dropend;
    card.errorstart = drawn.errorstart;
    card.errorend = drawn.errorend;
    model::memoryjournal file;
    // Room for everything a run may save, so that it never moves.
    file.bytes.reserve(4 * drawn.limit + 64 * mib);
    probe::journal log(file, card);
    judged result{};
    if (!log.start({key, card.size, card.sectorsize, "Modell", "/dev/modell"}))
        return result;
    probe::search search(
        card, log, key, drawn.limit, model::ignore, [](std::uint64_t) {}, [] { return false; });
    result.found = search.run();
    result.written = card.written;
    probe::journalcontents contents;
    if (probe::readjournal(file, &contents) != probe::journalstate::readable)
        return result;
    const probe::restoration back =
        probe::restore(file, contents, card, model::ignore, 0, search.writtenback());
    result.complete = back.complete(contents);
    result.firstchanged = card.firstchanged();
    return result;
}

// What the card is says what the verdict must be.
void judge(const sweepcard& card, const judged& result)
{
    const cardshape& shape = card.shape;
    const probe::findings& found = result.found;
    if (shape.kind == fake::anywhere) {
        EXPECT_EQ(found.outcome, probe::verdict::overwrites);
        EXPECT_LT(result.written, 16 * mib);
        return;
    }
    EXPECT_TRUE(result.complete) << "not everything written back";
    EXPECT_EQ(result.firstchanged, -1) << "a block not as it was";
    if (card.beyondbound)
        return;
    if (card.dropend != 0 || card.errorend != 0) {
        const std::uint64_t start = std::max(card.dropstart, card.errorstart);
        const std::uint64_t end = std::max(card.dropend, card.errorend);
        EXPECT_EQ(found.outcome, probe::verdict::damaged);
        // A piece of the flush that cannot be read is bad from its start.
        EXPECT_GE(found.firstbad + (card.errorend != 0 ? mib : 4096), start);
        EXPECT_LT(found.lastbad, end);
        return;
    }
    if (shape.kind == fake::honest) {
        EXPECT_EQ(found.outcome, probe::verdict::sound);
        return;
    }
    // The storage the card has from its start on.
    const std::uint64_t real = shape.kind == fake::tail ? 0 : shape.real;
    ASSERT_EQ(found.outcome, probe::verdict::counterfeit);
    EXPECT_LE(found.usable, real) << "usable above the real size";
    EXPECT_LT(real - std::min(real, found.usable), mib) << "usable too far below the real size";
    switch (shape.kind) {
    case fake::wraps:
        if (shape.wrap == 0) {
            EXPECT_EQ(found.what, probe::beyond::wraps);
            EXPECT_EQ(found.distance, shape.real);
        } else {
            EXPECT_EQ(found.distance, shape.wrap);
        }
        break;
    case fake::mirror:
        EXPECT_EQ(found.what, probe::beyond::mirrors);
        EXPECT_EQ(found.distance, shape.real);
        break;
    case fake::zeros:
        EXPECT_EQ(found.what, probe::beyond::zeros);
        break;
    case fake::ones:
        EXPECT_EQ(found.what, probe::beyond::ones);
        break;
    case fake::stale:
    case fake::noise:
        EXPECT_EQ(found.what, probe::beyond::stale);
        break;
    default:
        break;
    }
}

void sweep(std::uint64_t first, std::uint64_t count)
{
    for (std::uint64_t seed = first; seed < first + count; seed++) {
        const sweepcard card = model::draw(seed, 8192 * mib);
        SCOPED_TRACE(model::describe(seed, card));
        judge(card, probecard(card, seed * 0x2545f4914f6cdd1d + 7));
    }
}

} // namespace

// SWEEPSEED=n runs the card of seed n alone, SWEEPCOUNT=n the first n.
// Builds that run slower (under the sanitizers or an emulator) set fewer.
#ifndef SWEEPCARDS
#define SWEEPCARDS 200
#endif
TEST(Sweep, EveryCardGetsItsOwnVerdict)
{
    if (const char* seed = std::getenv("SWEEPSEED"))
        sweep(std::stoull(seed), 1);
    else if (const char* count = std::getenv("SWEEPCOUNT"))
        sweep(1, std::stoull(count));
    else
        sweep(1, SWEEPCARDS);
}
