// The search and the journal over a model of a card, in memory: honest,
// wrapping around at any size, losing what lies beyond its real size behind
// a cache, or failing in a region. Every verdict must be right, the usable
// size within 1 MiB below the real one, and every byte of the card back as
// it was afterwards, also when the run is cut off at any point of its journal.
#include "probe/advice.h"
#include "probe/journal.h"
#include "probe/search.h"
#include "probe/stamp.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <unordered_map>

namespace {

constexpr std::uint64_t mib = 1 << 20;
constexpr std::uint64_t runkey = 0x1234567887654321;
// The grain of the model's storage, as of every real one.
constexpr std::uint64_t block = 512;

enum class fake { honest, wraps, zeros, ones, stale };

// A card in memory. Its storage is kept in blocks of 512 bytes whatever its
// sector size, so that a wrap at a size that is no multiple of the sector
// makes sectors share storage at an offset within them.
class modelcard : public probe::device {
  public:
    modelcard(std::uint64_t claimed, std::uint64_t real, std::uint32_t sector, fake kind,
              std::uint64_t cachebytes = 0)
        : device(claimed, sector), real(kind == fake::honest ? claimed : real), kind(kind),
          cachebytes(cachebytes)
    {
    }

    bool read(std::uint64_t offset, unsigned char* data, std::size_t size) override
    {
        if (failing(offset, size))
            return false;
        for (std::size_t at = 0; at < size; at += block) {
            const std::uint64_t logical = (offset + at) / block;
            std::string bytes;
            if (auto hit = cached.find(logical); hit != cached.end())
                bytes = hit->second.first;
            else if (!stored(logical))
                bytes = kind == fake::zeros  ? std::string(block, '\0')
                        : kind == fake::ones ? std::string(block, '\xff')
                                             : original(logical);
            else if (auto kept = storage.find(physical(logical)); kept != storage.end())
                bytes = kept->second;
            else
                bytes = original(physical(logical));
            std::memcpy(data + at, bytes.data(), block);
        }
        return true;
    }

    bool write(std::uint64_t offset, const unsigned char* data, std::size_t size) override
    {
        if (failing(offset, size) || crashed)
            return false;
        for (std::size_t at = 0; at < size; at += block) {
            const std::uint64_t logical = (offset + at) / block;
            std::string bytes(reinterpret_cast<const char*>(data + at), block);
            if (stored(logical))
                storage[physical(logical)] = bytes;
            if (cachebytes == 0)
                continue;
            cached[logical] = {bytes, ++writes};
            recent.emplace_back(logical, writes);
            while (recent.size() * block > cachebytes) {
                auto [oldest, when] = recent.front();
                recent.pop_front();
                if (cached[oldest].second == when)
                    cached.erase(oldest);
            }
        }
        return true;
    }

    bool settle() override
    {
        return true;
    }

    std::string failure() const override
    {
        return "Eingabe-/Ausgabefehler";
    }

    // A power cut: what the cache held is gone.
    void powercut()
    {
        cached.clear();
        recent.clear();
    }

    // The first block whose storage differs from what the card came with,
    // or none.
    std::int64_t firstchanged() const
    {
        for (const auto& [at, bytes] : storage)
            if (bytes != original(at))
                return static_cast<std::int64_t>(at);
        return -1;
    }

    // What the card held before the probe, different in every block; a
    // card of another seed differs beyond its first MiB.
    std::string original(std::uint64_t at) const
    {
        std::string bytes(block, '\0');
        std::uint64_t state = at * 7919 + 17 + (at >= mib / block ? seed : 0);
        for (std::size_t i = 0; i < bytes.size(); i += 8) {
            std::uint64_t word = probe::nextrandom(&state);
            std::memcpy(&bytes[i], &word, 8);
        }
        return bytes;
    }

    std::uint64_t seed = 0;
    // I/O errors from here to there.
    std::uint64_t errorstart = 0, errorend = 0;
    // After a crash the card takes no more writes.
    bool crashed = false;

  private:
    bool stored(std::uint64_t logical) const
    {
        return kind == fake::wraps || logical < real / block;
    }

    std::uint64_t physical(std::uint64_t logical) const
    {
        return kind == fake::wraps ? logical % (real / block) : logical;
    }

    bool failing(std::uint64_t offset, std::size_t size) const
    {
        return offset < errorend && offset + size > errorstart;
    }

    const std::uint64_t real;
    const fake kind;
    const std::uint64_t cachebytes;
    std::unordered_map<std::uint64_t, std::string> storage;
    // The last cachebytes of writes, answered first.
    std::unordered_map<std::uint64_t, std::pair<std::string, std::uint64_t>> cached;
    std::deque<std::pair<std::uint64_t, std::uint64_t>> recent;
    std::uint64_t writes = 0;
};

// A journal in memory, which stops taking appends at limit, as a crash does;
// ends lists the length of the file after each append.
class memoryjournal : public probe::journalfile {
  public:
    bool append(const unsigned char* data, std::size_t size) override
    {
        const std::size_t room = limit - std::min(limit, bytes.size());
        bytes.append(reinterpret_cast<const char*>(data), std::min(size, room));
        ends.push_back(bytes.size());
        return size <= room;
    }

    bool read(std::uint64_t offset, unsigned char* data, std::size_t size) override
    {
        if (offset + size > bytes.size())
            return false;
        std::memcpy(data, bytes.data() + offset, size);
        return true;
    }

    bool sync() override
    {
        return true;
    }

    std::uint64_t size() override
    {
        return bytes.size();
    }

    std::string bytes;
    std::size_t limit = SIZE_MAX;
    std::vector<std::size_t> ends;
};

void ignore(int, const char*, std::uint64_t) {}

struct probed {
    probe::findings found;
    probe::restoration restored;
};

// Probes card with a cache limit of 16 MiB and writes everything back after
// a power cut, which must bring back every byte.
probed runprobe(modelcard& card)
{
    memoryjournal file;
    probe::journal log(file, card);
    EXPECT_TRUE(log.start({runkey, card.size, card.sectorsize, "Modell", "/dev/modell"}));
    probed result;
    result.found = probe::search(card, log, runkey, 16 * mib, ignore, [] { return false; }).run();
    card.powercut();
    probe::journalcontents contents;
    EXPECT_EQ(probe::readjournal(file, &contents), probe::journalstate::readable);
    result.restored = probe::restore(file, contents, card, ignore, 0);
    EXPECT_TRUE(result.restored.complete(contents))
        << result.restored.wrong << " bytes wrong from " << result.restored.firstwrong;
    EXPECT_EQ(card.firstchanged(), -1) << "a block not restored";
    return result;
}

TEST(Probe, HonestCardsShowNoSignOfACounterfeit)
{
    for (std::uint32_t sector : {512u, 4096u}) {
        modelcard card(4096 * mib, 4096 * mib, sector, fake::honest, 8 * mib);
        EXPECT_EQ(runprobe(card).found.outcome, probe::verdict::sound) << sector;
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
        modelcard card(claimed, real, 512, fake::wraps, 16 * mib);
        probe::findings found = runprobe(card).found;
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
        modelcard card(claimed, real, 4096, kind, 16 * mib);
        probe::findings found = runprobe(card).found;
        EXPECT_EQ(found.outcome, probe::verdict::counterfeit);
        EXPECT_EQ(found.what, what);
        EXPECT_LE(found.usable, real);
        EXPECT_LT(real - found.usable, mib);
    }
}

TEST(Probe, ARegionOfIoErrorsIsDamage)
{
    modelcard card(4096 * mib, 4096 * mib, 512, fake::honest);
    card.errorstart = 2000 * mib;
    card.errorend = 2100 * mib;
    probe::findings found = runprobe(card).found;
    EXPECT_EQ(found.outcome, probe::verdict::damaged);
    EXPECT_GE(found.firstbad, 2000 * mib - 4096);
    EXPECT_LT(found.firstbad, 2100 * mib);
}

// A run in small: rounds of places saved, committed, then stamped on the
// card, each write logged with the length the journal had then.
struct devicewrite {
    std::size_t journalbytes;
    std::uint64_t offset;
    std::string data;
};

std::vector<devicewrite> smallrun(modelcard& card, memoryjournal& file)
{
    std::vector<devicewrite> writes;
    probe::journal log(file, card);
    EXPECT_TRUE(log.start({runkey, card.size, card.sectorsize, "Modell", "/dev/modell"}));
    std::uint64_t random = 7;
    for (std::uint32_t round = 1; round <= 4; round++) {
        std::vector<std::pair<std::uint64_t, std::size_t>> places;
        for (int i = 0; i < 6; i++) {
            // Pieces of one to eight sectors, some over places saved before.
            const std::uint64_t offset = mib + probe::nextrandom(&random) % (8 * mib) / block * block;
            places.emplace_back(offset, (1 + probe::nextrandom(&random) % 8) * block);
            EXPECT_EQ(log.save(offset, places.back().second), probe::saving::saved);
        }
        EXPECT_TRUE(log.commit());
        for (const auto& [offset, size] : places) {
            std::string data(size, '\0');
            for (std::size_t at = 0; at < size; at += block)
                probe::stamp(reinterpret_cast<unsigned char*>(&data[at]), block, runkey, offset + at, round);
            card.write(offset, reinterpret_cast<const unsigned char*>(data.data()), size);
            writes.push_back({file.bytes.size(), offset, data});
        }
    }
    return writes;
}

// A power cut while the journal had bytes bytes on its medium: the card as
// it was then, and what the next run then finds and writes back.
probe::restoration cutat(std::size_t bytes, const std::string& journal,
                         const std::vector<devicewrite>& writes, bool* damaged)
{
    modelcard card(64 * mib, 64 * mib, 512, fake::honest);
    for (const devicewrite& write : writes)
        if (write.journalbytes <= bytes)
            card.write(write.offset, reinterpret_cast<const unsigned char*>(write.data.data()),
                       write.data.size());
    memoryjournal file;
    file.bytes = journal.substr(0, bytes);
    probe::journalcontents contents;
    const probe::journalstate state = probe::readjournal(file, &contents);
    if (state != probe::journalstate::readable) {
        // Only a file whose header never got whole to its medium is empty:
        // nothing was overwritten before it was.
        EXPECT_EQ(state, probe::journalstate::empty) << bytes;
        EXPECT_EQ(card.firstchanged(), -1) << bytes;
        return {};
    }
    EXPECT_EQ(probe::checkowner(file, contents, card, ignore, 0).verdict, probe::ownership::belongs) << bytes;
    probe::restoration restored = probe::restore(file, contents, card, ignore, 0);
    *damaged = contents.damaged;
    EXPECT_EQ(card.firstchanged(), -1) << "cut at " << bytes;
    return restored;
}

TEST(Journal, ACutAnywhereWritesBackExactlyWhatWasOverwritten)
{
    modelcard card(64 * mib, 64 * mib, 512, fake::honest);
    memoryjournal file;
    const std::vector<devicewrite> writes = smallrun(card, file);
    ASSERT_NE(card.firstchanged(), -1);
    // Every end of an append (a record's head or data, a marker) and the
    // middle of each.
    std::vector<std::size_t> cuts = {0};
    for (std::size_t i = 0, start = 0; i < file.ends.size(); start = file.ends[i++])
        cuts.insert(cuts.end(), {(start + file.ends[i]) / 2, file.ends[i]});
    for (std::size_t bytes : cuts) {
        bool damaged = false;
        const probe::restoration restored = cutat(bytes, file.bytes, writes, &damaged);
        EXPECT_EQ(restored.wrong + restored.failed, 0u) << bytes;
        EXPECT_FALSE(damaged) << bytes;
    }
    // Zeros behind the last marker, as a file system may leave them.
    probe::journalcontents whole;
    ASSERT_EQ(probe::readjournal(file, &whole), probe::journalstate::readable);
    bool damaged = false;
    const std::string padded = file.bytes + std::string(mib, '\0');
    EXPECT_EQ(cutat(padded.size(), padded, writes, &damaged).places, whole.records.size());
    EXPECT_FALSE(damaged);
}

// A committed record that no longer holds together is damage, not a torn
// tail: what can be read goes back, but the restoration is not complete.
TEST(Journal, ADamagedCommittedRecordIsNoTornTail)
{
    modelcard card(64 * mib, 64 * mib, 512, fake::honest);
    memoryjournal file;
    smallrun(card, file);
    file.bytes[file.ends[1] + 10] ^= 1; // in the data of the first record
    probe::journalcontents contents;
    ASSERT_EQ(probe::readjournal(file, &contents), probe::journalstate::readable);
    EXPECT_TRUE(contents.damaged);
    EXPECT_FALSE(probe::restore(file, contents, card, ignore, 0).complete(contents));
}

// Storage of 512-byte blocks behind 4 KiB sectors that wraps at a size of
// no whole sectors: a place saved after the run wrote through another one
// holds the end of one stamp and the start of the next. The check after the
// restoration and that of a later run must see them as the run's own.
TEST(Journal, StorageSharedWithinASectorIsWrittenBackExactly)
{
    constexpr std::uint64_t real = 32 * mib + 1536, first = 4 * mib, shared = real + first - 1536;
    modelcard card(64 * mib, real, 4096, fake::wraps);
    memoryjournal file;
    probe::journal log(file, card);
    ASSERT_TRUE(log.start({runkey, card.size, card.sectorsize, "", ""}));
    for (auto [place, sectors] : {std::pair{first, 2u}, std::pair{shared, 3u}}) {
        ASSERT_EQ(log.save(place, sectors * 4096), probe::saving::saved);
        ASSERT_TRUE(log.commit());
        for (std::uint64_t at = place; at < place + sectors * 4096; at += 4096) {
            unsigned char sector[4096];
            probe::stamp(sector, sizeof sector, runkey, at, 1);
            card.write(at, sector, sizeof sector);
        }
    }
    probe::journalcontents contents;
    ASSERT_EQ(probe::readjournal(file, &contents), probe::journalstate::readable);
    EXPECT_EQ(probe::checkowner(file, contents, card, ignore, 0).verdict, probe::ownership::belongs);
    const probe::restoration restored = probe::restore(file, contents, card, ignore, 0);
    EXPECT_TRUE(restored.complete(contents)) << restored.wrong << " bytes wrong from " << restored.firstwrong;
    EXPECT_EQ(card.firstchanged(), -1);
    EXPECT_EQ(probe::checkowner(file, contents, card, ignore, 0).verdict, probe::ownership::belongs)
        << "a later run finds the journal of a restored card its own";
}

// Cards of one batch share their first MiB: a journal is written back only
// to the card whose places hold what it saved or the stamps of its run.
TEST(Journal, BelongsOnlyToTheCardItSaved)
{
    modelcard card(64 * mib, 64 * mib, 512, fake::honest), other(64 * mib, 64 * mib, 512, fake::honest);
    other.seed = 1;
    memoryjournal file;
    smallrun(card, file);
    probe::journalcontents contents;
    ASSERT_EQ(probe::readjournal(file, &contents), probe::journalstate::readable);
    EXPECT_EQ(contents.header.identity, "Modell");
    EXPECT_EQ(probe::checkowner(file, contents, other, ignore, 0).verdict, probe::ownership::foreign);
    EXPECT_EQ(other.firstchanged(), -1);
    EXPECT_EQ(probe::checkowner(file, contents, card, ignore, 0).verdict, probe::ownership::belongs);
}

TEST(Stamp, PartsOfStampsSharingASectorAreFound)
{
    unsigned char first[4096], second[4096], sector[4096];
    probe::stamp(first, sizeof first, runkey, 40960, 3);
    probe::stamp(second, sizeof second, runkey, 45056, 2);
    std::memcpy(sector, first + 3072, 1024);
    std::memcpy(sector + 1024, second, 3072);
    probe::runparts parts = probe::findrunparts(sector, sizeof sector, runkey);
    EXPECT_EQ(parts.tailend, 1024u);
    EXPECT_EQ(parts.headstart, 1024u);
    EXPECT_EQ(probe::findrunparts(sector, sizeof sector, runkey + 1).headstart, sizeof sector)
        << "another run's stamps are no part of this one's";
    sector[2000] ^= 1;
    parts = probe::findrunparts(sector, sizeof sector, runkey);
    EXPECT_EQ(parts.tailend, 1024u);
    EXPECT_EQ(parts.headstart, sizeof sector) << "a changed byte makes it no stamp";
}

TEST(Advice, CommandsAreSafeToCopy)
{
    EXPECT_EQ(probe::firstpartition("/dev/sdb", operatingsystem::gnulinux), "/dev/sdb1");
    EXPECT_EQ(probe::firstpartition("/dev/mmcblk0", operatingsystem::gnulinux), "/dev/mmcblk0p1");
    EXPECT_EQ(probe::firstpartition("/dev/nvme0n1", operatingsystem::gnulinux), "/dev/nvme0n1p1");
    EXPECT_EQ(probe::firstpartition("/dev/disk4", operatingsystem::macos), "/dev/disk4s1");
    EXPECT_EQ(probe::shellquoted("/dev/it's"), "'/dev/it'\\''s'");
    EXPECT_EQ(probe::partitioncommands({operatingsystem::gnulinux, "/dev/sdc", -1, false}, 1000),
              "    sudo parted '/dev/sdc' mklabel msdos mkpart primary fat32 1MiB 1000MiB\n"
              "    sudo mkfs.vfat '/dev/sdc1'\n");
    EXPECT_EQ(probe::partitioncommands({operatingsystem::windows, "\\\\.\\PhysicalDrive2", 2, true}, 1000),
              "    diskpart\n    select disk 2\n    clean\n    create partition primary size=999\n"
              "    format fs=fat32 quick\n    assign\n");
    EXPECT_EQ(probe::probecommand({operatingsystem::gnulinux, "/dev/sdc", -1, true}, "--restore ",
                                  "/dev/disk/by-id/usb-Card"),
              "kapprobe --restore '/dev/disk/by-id/usb-Card'");
}

TEST(Journal, NamesTellDevicesOfOneSizeApart)
{
    EXPECT_EQ(probe::journalname(31914983424, ""), "kapprobe-31914983424.undo");
    EXPECT_EQ(probe::journalname(31914983424, "Generic STORAGE DEVICE 000000000272"),
              "kapprobe-31914983424-Generic_STORAGE_DEVICE_000000000272.undo");
    EXPECT_EQ(probe::journalname(1, "/dev/shm/x y/card"), "kapprobe-1-dev_shm_x_y_card.undo");
    const std::string longname = probe::journalname(1, std::string(200, 'a'));
    EXPECT_EQ(longname.size(), std::string("kapprobe-1-.undo").size() + 80);
    EXPECT_NE(longname, probe::journalname(1, std::string(199, 'a') + "b"));
}

} // namespace
