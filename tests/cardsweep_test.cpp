// kapprobe against fake cards built to fool it, each judged by what the card
// is: caches just under the bounds the all-clear states, a card that
// overwrites what it holds, counterfeits whose real storage does not end
// where their addresses come round, and a dozen cards drawn at random.
#include "cards.h"
#include "harness.h"

#include <nlohmann/json.hpp>
#include <regex>

namespace fs = std::filesystem;

namespace {

using model::admits;
using model::fake;
using model::keeps;
using model::mib;
using model::sweepcard;

invocation kapprobe()
{
    invocation how;
    how.command = kapprobecommand();
    return how;
}

// A device of a --json document judged by what its card is, whose storage
// came back as it was where kept says so.
void judge(const sweepcard& card, const nlohmann::json& device, bool kept)
{
    const model::cardshape& shape = card.shape;
    const std::string verdict = device["verdict"].is_string() ? device["verdict"].get<std::string>() : "";
    if (shape.kind == fake::anywhere) {
        EXPECT_EQ(verdict, "overwrites");
        EXPECT_LT(device["written"].get<std::uint64_t>(), 16 * mib);
        return;
    }
    EXPECT_TRUE(kept) << "the card's storage changed";
    EXPECT_NE(device["status"], 4) << "not everything written back";
    if (card.beyondbound)
        return;
    if (card.dropend != 0 || card.errorend != 0) {
        ASSERT_EQ(verdict, "damaged");
        EXPECT_GE(device["firstbad"].get<std::uint64_t>() + (card.errorend != 0 ? mib : 4096),
                  std::max(card.dropstart, card.errorstart));
        EXPECT_LT(device["lastbad"].get<std::uint64_t>(), std::max(card.dropend, card.errorend));
        return;
    }
    if (shape.kind == fake::honest) {
        EXPECT_EQ(verdict, "sound");
        return;
    }
    ASSERT_EQ(verdict, "counterfeit");
    const std::uint64_t real = shape.kind == fake::tail ? 0 : shape.real;
    const auto usable = device["usable"].get<std::uint64_t>();
    EXPECT_LE(usable, real) << "usable above the real size";
    EXPECT_LT(real - std::min(real, usable), mib) << "usable too far below the real size";
    const std::string beyond = device["beyond"];
    if (shape.kind == fake::wraps && shape.wrap == 0) {
        EXPECT_EQ(beyond, "wraps");
    } else if (shape.kind == fake::mirror) {
        EXPECT_EQ(beyond, "mirrors");
    } else if (shape.kind == fake::zeros || shape.kind == fake::ones) {
        EXPECT_EQ(beyond, shape.kind == fake::zeros ? "zeros" : "ones");
    } else if (shape.kind == fake::stale || shape.kind == fake::noise) {
        EXPECT_EQ(beyond, "stale");
    }
}

class cards : public scratch {
  protected:
    // What the last run of probeall said on standard error.
    std::string said;

    // Attaches up to three cards, probes them side by side with the cache
    // limit of the first, and judges each by what it is; false where the
    // cards cannot be attached here.
    bool probeall(const std::vector<std::pair<std::uint64_t, sweepcard>>& drawn)
    {
        std::vector<std::string> names;
        std::vector<std::string> before;
        const std::pair<std::string (cards::*)(const std::string&), const char*> slots[] = {
            {&cards::attachcard, ".card"},
            {&cards::attachothercard, ".other"},
            {&cards::attachthirdcard, ".third"}};
        for (std::size_t index = 0; index < drawn.size(); index++) {
            const auto& [attach, suffix] = slots[index];
            if (const std::string why = (this->*attach)(model::fakecardarguments(drawn[index].second));
                !why.empty()) {
                [&why] { GTEST_SKIP() << why; }();
                return false;
            }
            before.push_back(sha256(cardstore(suffix)));
        }
        names = {cardname, othername, thirdname};
        names.resize(drawn.size());
        std::vector<std::string> args = {"--cache", std::to_string(drawn.front().second.limit / mib),
                                         "--json"};
        args.insert(args.end(), names.begin(), names.end());
        const outcome result = run(args, kapprobe());
        said = plainlines(result.err);
        const nlohmann::json document = nlohmann::json::parse(result.out, nullptr, false);
        EXPECT_FALSE(document.is_discarded()) << result.out << result.err;
        if (document.is_discarded())
            return false;
        for (std::size_t index = 0; index < drawn.size(); index++) {
            const auto& [seed, card] = drawn[index];
            SCOPED_TRACE(model::describe(seed, card));
            judge(card, document["devices"][index], sha256(cardstore(slots[index].second)) == before[index]);
        }
        // A card that overwrites what it holds keeps its journal; no other does.
        for (const std::string& name : files()) {
            const bool overwrites = std::any_of(drawn.begin(), drawn.end(), [](const auto& it) {
                return it.second.shape.kind == fake::anywhere;
            });
            EXPECT_TRUE(overwrites) << name << " left\n" << result.err;
            fs::remove(dir / name);
        }
        detachcards();
        return true;
    }
};

// The figures the all-clear states for a device in its document: the bytes
// written to places of their own behind the probes, of them in writes of
// 4 KiB, and the stretch at the device's end they lie in.
struct bounds {
    std::uint64_t every, small, stretch;
};

bounds stated(const std::string& document)
{
    const nlohmann::json rulesout = nlohmann::json::parse(document, nullptr, false)["devices"][0]["rulesout"];
    EXPECT_TRUE(rulesout.is_object()) << document;
    if (!rulesout.is_object())
        return {};
    EXPECT_EQ(rulesout["cache"], rulesout["unrealwrites"]);
    return {rulesout["cache"], rulesout["smallwrites"], rulesout["lacking"]};
}

} // namespace

// Each cache the all-clear says it rules out, 1 MiB under the bound it
// states for an honest card of the same claim: one that takes every write
// however it keeps them (the last writes; one entry per place, updated where
// it stands; the places written last; the places written or read last), one
// that takes only changed writes, one that takes only writes of up to 4 KiB,
// one that takes only writes to places without storage, and one that takes
// only single sectors. Each hides nothing: counterfeit, the usable size
// within 1 MiB below the real one.
TEST_F(cards, CachesUnderTheBoundsTheAllClearStatesHideNothing)
{
    if (emulated())
        GTEST_SKIP()
            << "the caches are the native run's: under an emulator they take as long and show the same";
    const std::uint64_t claimed = 2048 * mib, real = 256 * mib + 8192;
    if (const std::string why = attachcard("image " + std::to_string(claimed) + " 0 0 512"); !why.empty())
        GTEST_SKIP() << why;
    const outcome honest = run({"--cache", "64", "--json", cardname}, kapprobe());
    ASSERT_EQ(honest.status, 0) << honest.err;
    const bounds bound = stated(honest.out);
    ASSERT_GT(bound.every, mib);
    ASSERT_LT(bound.stretch, claimed - real);
    detachcards();
    const std::tuple<admits, keeps, std::uint64_t> caches[] = {
        {admits::every, keeps::log, bound.every},     {admits::every, keeps::place, bound.every},
        {admits::every, keeps::lru, bound.every},     {admits::every, keeps::reads, bound.every},
        {admits::changed, keeps::place, bound.every}, {admits::small, keeps::place, bound.small},
        {admits::unreal, keeps::place, bound.every},  {admits::sector, keeps::lru, bound.every},
    };
    std::vector<std::pair<std::uint64_t, sweepcard>> batch;
    for (std::size_t index = 0; index < std::size(caches); index++) {
        const auto& [takes, keeping, most] = caches[index];
        sweepcard card;
        card.shape = {claimed, real, 512, fake::zeros, most - mib, takes, 0, 0, keeping};
        card.limit = 64 * mib;
        batch.emplace_back(index, card);
        if ((batch.size() == 3 || index + 1 == std::size(caches)) && !probeall(batch))
            return;
        if (batch.size() == 3)
            batch.clear();
    }
}

// A full card that puts every write where it wrote longest ago (here its
// first sectors first): every write destroys something. The first MiB, which
// kapprobe never writes, changes after the first probes, and the run stops
// there: a few MiB written, the first MiB and the probes' places written
// back, the journal kept.
TEST_F(cards, ACardThatOverwritesWhatItHoldsIsStoppedAtOnce)
{
    const std::uint64_t claimed = 4096 * mib, real = 300 * mib;
    if (const std::string why =
            attachcard("anywhere " + std::to_string(claimed) + " " + std::to_string(real) + " 0 512");
        !why.empty())
        GTEST_SKIP() << why;
    const std::string store = readbytes(cardstore(), 0, real);
    const std::string firstmib =
        printedby("dd if=" + card + " bs=1M count=1 iflag=direct status=none | sha256sum");
    const outcome result = run({"--json", cardname}, kapprobe());
    EXPECT_EQ(result.status, 2) << result.err;
    const nlohmann::json document = nlohmann::json::parse(result.out);
    EXPECT_EQ(document["devices"][0]["verdict"], "overwrites");
    const auto written = document["devices"][0]["written"].get<std::uint64_t>();
    EXPECT_LT(written, 16 * mib);
    const std::string journal = files().empty() ? "" : files().front();
    EXPECT_EQ(files().size(), 1U) << "the journal is kept";
    const std::string text = plainlines(result.err);
    std::smatch said;
    ASSERT_TRUE(std::regex_search(
        text, said,
        std::regex(
            "\nErgebnis: unbrauchbar, vermutlich gefälscht\\. Sichern Sie, was darauf liegt, und "
            "benutzen Sie "
            "das Gerät nicht weiter\\.\nDas erste MByte hat sich verändert, nachdem kapprobe ([0-9.]+) "
            "Bytes an anderen Stellen geschrieben hatte; es selbst beschreibt kapprobe nie\\. ")))
        << result.err;
    EXPECT_LT(fromgerman(said[1]), 16 * mib);
    EXPECT_NE(
        result.err.find("Das Journal '" + journal + "' bleibt liegen: es hält, was die Prüfung überschrieb."),
        std::string::npos)
        << result.err;
    EXPECT_EQ(printedby("dd if=" + card + " bs=1M count=1 iflag=direct status=none | sha256sum"), firstmib);
    // What the card destroyed: no more than kapprobe wrote, the probes and
    // their writing back.
    const std::string after = readbytes(cardstore(), 0, real);
    std::uint64_t changed = 0;
    for (std::uint64_t at = 0; at < real; at += 512)
        changed += store.compare(at, 512, after, at, 512) != 0 ? 512 : 0;
    EXPECT_LT(changed, 2 * written) << changed << " bytes of the storage changed";
}

// Counterfeits whose real storage does not end where their addresses come
// round: one whose storage lies at its end, one that reads what lies 300 MiB
// and a sector further back (a mirror at no power of two), one whose
// addresses come round 300 KiB behind its real size. Each verdict says what
// the card is, and no usable size reaches past its storage.
TEST_F(cards, CounterfeitsAreToldAsTheyAre)
{
    const std::uint64_t real = 300 * mib + 4096;
    sweepcard tail, mirror, hole;
    tail.shape = {1024 * mib, 256 * mib, 512, fake::tail};
    mirror.shape = {2048 * mib, real, 512, fake::mirror};
    hole.shape = {2048 * mib, real, 4096, fake::wraps, 0, admits::every, real + 300 * 1024};
    tail.limit = mirror.limit = hole.limit = 16 * mib;
    if (!probeall({{0, tail}, {1, mirror}, {2, hole}}))
        return;
    const std::string text = said;
    for (
        const char* verdict :
        {"\nErgebnis: gefälscht und unbrauchbar. Speichern Sie nichts darauf; bewahren Sie diese Ausgabe "
         "als "
         "Beleg auf.\nSchon am Anfang der gemeldeten 1.073.741.824 Bytes (1,1 GB) behält keine Prüfstelle "
         "ihre Daten (das erste MByte prüft kapprobe nicht, es beschreibt es nie).\nWas dahinter "
         "geschrieben wird, geht verloren: gelesen werden Nullen.\n",
         "\nErgebnis: gefälscht. Es gibt 2,1 GB an, speichert aber nur 315 MB. Bewahren Sie diese Ausgabe "
         "als Beleg auf.\nNutzbar sind die ersten 314.576.896 Bytes (300 MByte) der gemeldeten 2.147.483.648 "
         "Bytes."
         "\nDahinter liest das Gerät noch einmal den Anfang: Byte 314.576.896 liefert, was an Byte 0 steht, "
         "und "
         "was dort geschrieben wird, geht verloren.\n",
         " Bytes.\nWas dahinter geschrieben wird, geht verloren: gelesen werden Nullen.\nAb Byte 314.884.096 "
         "beginnen die Adressen von vorn: es ist wieder Byte 0, und was dort geschrieben wird, überschreibt "
         "den "
         "Anfang.\n"})
        EXPECT_NE(text.find(verdict), std::string::npos) << verdict << "\nnot in\n" << text;
}

// A dozen cards drawn from seeds: every kind of counterfeit, real sizes and
// holes that are no multiple of a MiB, sectors of 512 bytes and 4 KiB,
// caches of every kind up to the bounds the all-clear states, writes lost
// and I/O errors in a region. Each verdict is the card's; a failure names
// its seed and its card.
TEST_F(cards, ADozenCardsDrawnAtRandomGetTheirOwnVerdicts)
{
    if (emulated())
        GTEST_SKIP() << "the sweep is the native run's: an emulated one takes longer and shows the same";
    std::vector<std::pair<std::uint64_t, sweepcard>> batch;
    for (std::uint64_t seed = 1; seed <= 12; seed++) {
        batch.emplace_back(seed, model::draw(seed, 768 * mib, 16 * mib));
        if (batch.size() == 3) {
            if (!probeall(batch))
                return;
            batch.clear();
        }
    }
}
