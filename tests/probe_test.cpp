// The search over a model of a card, in memory: honest, wrapping around at
// any size, losing what lies beyond its real size behind a cache, or failing
// in a region. Every verdict must be right, the usable size within 1 MiB below
// the real one, and every byte of the card back as it was afterwards.
#include "probe/journal.h"
#include "probe/search.h"
#include "probe/stamp.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <unordered_map>

namespace {

constexpr std::uint64_t mib = 1 << 20;

enum class fake { honest, wraps, zeros, ones, stale };

struct card {
    std::uint64_t claimed;
    std::uint64_t real;
    std::uint32_t sector;
    fake kind;
    std::uint64_t cachebytes = 0;
    // I/O errors from here to there.
    std::uint64_t errorstart = 0, errorend = 0;

    // The storage by sector, where it differs from what the card came with.
    std::unordered_map<std::uint64_t, std::string> storage{};
    // The last cachebytes of writes, answered first.
    std::unordered_map<std::uint64_t, std::pair<std::string, std::uint64_t>> cached{};
    std::deque<std::pair<std::uint64_t, std::uint64_t>> recent{};
    std::uint64_t writes = 0;
};

// What the card held before the probe, different in every sector.
std::string original(const card& model, std::uint64_t sector)
{
    std::string bytes(model.sector, '\0');
    std::uint64_t state = sector * 7919 + 17;
    for (std::size_t at = 0; at < bytes.size(); at += 8) {
        std::uint64_t word = probe::nextrandom(&state);
        for (int i = 0; i < 8; i++)
            bytes[at + i] = static_cast<char>(word >> (8 * i));
    }
    return bytes;
}

// Where a logical sector is stored, or the real size in sectors where it is not.
std::uint64_t storedat(const card& model, std::uint64_t sector)
{
    const std::uint64_t realsectors = model.real / model.sector;
    if (model.kind == fake::wraps)
        return sector % realsectors;
    return sector < realsectors ? sector : realsectors;
}

bool failing(const card& model, std::uint64_t offset, std::size_t size)
{
    return offset < model.errorend && offset + size > model.errorstart;
}

bool readcard(void* context, std::uint64_t offset, unsigned char* data, std::size_t size)
{
    auto& model = *static_cast<card*>(context);
    if (failing(model, offset, size))
        return false;
    for (std::size_t at = 0; at < size; at += model.sector) {
        const std::uint64_t sector = (offset + at) / model.sector, stored = storedat(model, sector);
        std::string bytes;
        if (auto hit = model.cached.find(sector); hit != model.cached.end())
            bytes = hit->second.first;
        else if (stored == model.real / model.sector)
            bytes = model.kind == fake::zeros  ? std::string(model.sector, '\0')
                    : model.kind == fake::ones ? std::string(model.sector, '\xff')
                                               : original(model, sector);
        else if (auto kept = model.storage.find(stored); kept != model.storage.end())
            bytes = kept->second;
        else
            bytes = original(model, stored);
        std::copy(bytes.begin(), bytes.end(), data + at);
    }
    return true;
}

bool writecard(void* context, std::uint64_t offset, const unsigned char* data, std::size_t size)
{
    auto& model = *static_cast<card*>(context);
    if (failing(model, offset, size))
        return false;
    for (std::size_t at = 0; at < size; at += model.sector) {
        const std::uint64_t sector = (offset + at) / model.sector, stored = storedat(model, sector);
        std::string bytes(reinterpret_cast<const char*>(data + at), model.sector);
        if (stored != model.real / model.sector)
            model.storage[stored] = bytes;
        if (model.cachebytes == 0)
            continue;
        model.cached[sector] = {bytes, ++model.writes};
        model.recent.emplace_back(sector, model.writes);
        while (model.recent.size() * model.sector > model.cachebytes) {
            auto [oldest, when] = model.recent.front();
            model.recent.pop_front();
            if (model.cached[oldest].second == when)
                model.cached.erase(oldest);
        }
    }
    return true;
}

void ignore(int, const char*, std::uint64_t) {}

struct probed {
    probe::findings found;
    probe::restoration restored;
};

// Probes model with a cache limit of 16 MiB, restores it from the journal.
probed runprobe(card& model)
{
    probe::device dev{model.claimed, model.sector, &model, readcard, writecard, nullptr};
    std::string firstmib(mib, '\0');
    readcard(&model, 0, reinterpret_cast<unsigned char*>(firstmib.data()), mib);
    const std::uint64_t fingerprint =
        probe::fnv1a(reinterpret_cast<const unsigned char*>(firstmib.data()), firstmib.size());
    // Each test runs as a process of its own, maybe beside the others.
    const std::string journal =
        (std::filesystem::temp_directory_path() / ("kapprobe-test-" + std::to_string(getpid()) + ".undo"))
            .string();
    EXPECT_TRUE(probe::journalstart(journal.c_str(), dev, 0x1234567887654321, fingerprint));
    probed result;
    result.found = probe::search(dev, 0x1234567887654321, 16 * mib, fingerprint, ignore);
    model.cached.clear();
    model.recent.clear();
    result.restored = probe::journalrestore(journal.c_str(), dev, ignore, 0);
    std::remove(journal.c_str());
    for (const auto& [sector, bytes] : model.storage)
        if (bytes != original(model, sector)) {
            ADD_FAILURE() << "sector " << sector << " not restored";
            break;
        }
    EXPECT_TRUE(result.restored.complete);
    EXPECT_EQ(result.restored.wrong, 0u);
    return result;
}

TEST(Probe, HonestCardsShowNoSignOfACounterfeit)
{
    for (std::uint32_t sector : {512u, 4096u}) {
        card model{4096 * mib, 4096 * mib, sector, fake::honest, 8 * mib};
        EXPECT_EQ(runprobe(model).found.outcome, probe::verdict::sound) << sector;
    }
}

TEST(Probe, WrapAroundAtAnySizeIsFoundToTheSector)
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
        card model{claimed, real, 512, fake::wraps, 16 * mib};
        probe::findings found = runprobe(model).found;
        EXPECT_EQ(found.outcome, probe::verdict::counterfeit);
        EXPECT_EQ(found.what, probe::beyond::wraps);
        EXPECT_EQ(found.usable, real);
    }
}

TEST(Probe, LostWritesBehindACacheAreFoundWithin1MiB)
{
    const std::tuple<fake, std::uint64_t, std::uint64_t, probe::beyond> cards[] = {
        {fake::zeros, 4096 * mib, 700 * mib + 12288, probe::beyond::zeros},
        {fake::ones, 2048 * mib, 64 * mib, probe::beyond::ones},
        {fake::stale, 32768 * mib, 20000 * mib + 512, probe::beyond::stale},
        {fake::zeros, 1024 * mib, 10 * mib, probe::beyond::zeros},
    };
    for (const auto& [kind, claimed, real, what] : cards) {
        SCOPED_TRACE(std::to_string(real) + " of " + std::to_string(claimed));
        card model{claimed, real, 4096, kind, 16 * mib};
        probe::findings found = runprobe(model).found;
        EXPECT_EQ(found.outcome, probe::verdict::counterfeit);
        EXPECT_EQ(found.what, what);
        EXPECT_LE(found.usable, real);
        EXPECT_LT(real - found.usable, mib);
    }
}

TEST(Probe, ARegionOfIoErrorsIsDamage)
{
    card model{4096 * mib, 4096 * mib, 512, fake::honest, 0, 2000 * mib, 2100 * mib};
    probe::findings found = runprobe(model).found;
    EXPECT_EQ(found.outcome, probe::verdict::damaged);
    EXPECT_GE(found.firstbad, 2000 * mib - 4096);
    EXPECT_LT(found.firstbad, 2100 * mib);
}

// A journal changed before its last record is not taken for one that an
// interruption tore: what it holds goes back, but it is not complete.
TEST(Probe, DamagedJournalIsNotComplete)
{
    card model{1024 * mib, 64 * mib, 512, fake::zeros};
    probe::device dev{model.claimed, model.sector, &model, readcard, writecard, nullptr};
    const std::string journal =
        (std::filesystem::temp_directory_path() / ("kapprobe-test-" + std::to_string(getpid()) + ".undo"))
            .string();
    ASSERT_TRUE(probe::journalstart(journal.c_str(), dev, 1, 0));
    probe::search(dev, 1, 16 * mib, 0, ignore);
    probe::journalheader header;
    ASSERT_TRUE(probe::readjournalheader(journal.c_str(), &header));
    {
        std::fstream file(journal, std::ios::binary | std::ios::in | std::ios::out);
        // A byte of the second record, a probe sector.
        constexpr long damage = 40 + (32 + 512) + 32 + 10;
        file.seekg(damage);
        const char was = static_cast<char>(file.get());
        file.seekp(damage);
        file.put(static_cast<char>(~was));
    }
    probe::restoration restored = probe::journalrestore(journal.c_str(), dev, ignore, 0);
    EXPECT_FALSE(restored.complete);
    EXPECT_GT(restored.places, 0u) << "what lies before the damage goes back";
    std::remove(journal.c_str());
}

} // namespace
