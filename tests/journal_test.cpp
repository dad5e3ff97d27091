// The journal over a model of a card: cut off at any point of a run, it
// writes back exactly what was overwritten; it is written back only to its
// own card; torn stamps of storage shared within a sector are the run's own.
// And the names and commands that kapprobe gives the user.
#include "modelcard.h"
#include "probe/advice.h"
#include "probe/figures.h"
#include "probe/journal.h"
#include "probe/stamp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using model::admits;
using model::cardshape;
using model::fake;
using model::ignore;
using model::memoryjournal;
using model::mib;
using model::modelcard;

constexpr std::uint64_t runkey = 0x1234567887654321;
constexpr std::uint64_t block = 512;

// A run in small: rounds of places saved, committed, then stamped on the
// card, each write logged with the length the journal had then.
struct devicewrite {
    std::size_t journalbytes;
    std::uint64_t offset;
    std::string data;
};

// The fate of a journal on card, which bears its name unless told.
probe::owner ownerof(memoryjournal& file, const probe::journalcontents& contents, modelcard& card,
                     bool named = true)
{
    probe::placesfound found = probe::checkplaces(file, contents, card, ignore, 0);
    found.fits = contents.header.size == card.size;
    return probe::ownership(found, named);
}

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
        // The card put the rounds before on its medium: this round's writes
        // are the only ones in flight.
        log.settled();
        std::vector<probe::stretch> inflight;
        for (const auto& [offset, size] : places)
            inflight.push_back({offset, size});
        EXPECT_TRUE(log.writing(inflight));
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
    modelcard card({64 * mib, 64 * mib, 512, fake::honest});
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
    EXPECT_EQ(ownerof(file, contents, card), probe::owner::writeback) << bytes;
    probe::restoration restored = probe::restore(file, contents, card, ignore, 0);
    *damaged = contents.damaged;
    EXPECT_EQ(card.firstchanged(), -1) << "cut at " << bytes;
    return restored;
}

TEST(Journal, ACutAnywhereWritesBackExactlyWhatWasOverwritten)
{
    modelcard card({64 * mib, 64 * mib, 512, fake::honest});
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

// Places the run wrote back itself are only checked, and written again
// where a later write reached them: every byte back, with a piece's worth of
// writes fewer.
TEST(Journal, PlacesWrittenBackByTheRunAreCheckedAndMendedWhereChanged)
{
    modelcard card({64 * mib, 64 * mib, 512, fake::honest});
    memoryjournal file;
    probe::journal log(file, card);
    ASSERT_TRUE(log.start({runkey, card.size, card.sectorsize, "", ""}));
    ASSERT_EQ(log.save(4 * mib, mib), probe::saving::saved);
    ASSERT_EQ(log.save(8 * mib, block), probe::saving::saved);
    ASSERT_TRUE(log.commit());
    std::string piece(mib, '\0');
    ASSERT_TRUE(log.recall(4 * mib, mib, reinterpret_cast<unsigned char*>(&piece[0])));
    // The piece written over and back, then a sector of it changed again; a
    // probe of its own, not written back.
    const std::string stamped(block, 's');
    card.write(4 * mib, reinterpret_cast<const unsigned char*>(stamped.data()), block);
    card.write(4 * mib, reinterpret_cast<const unsigned char*>(piece.data()), mib);
    card.write(4 * mib + 300 * block, reinterpret_cast<const unsigned char*>(stamped.data()), block);
    card.write(8 * mib, reinterpret_cast<const unsigned char*>(stamped.data()), block);
    probe::journalcontents contents;
    ASSERT_EQ(probe::readjournal(file, &contents), probe::journalstate::readable);
    const std::uint64_t before = card.written;
    const probe::restoration back =
        probe::restore(file, contents, card, ignore, 0, {{{4 * mib, mib}}, 0, {}});
    EXPECT_TRUE(back.complete(contents));
    EXPECT_EQ(card.firstchanged(), -1);
    EXPECT_EQ(card.written - before, mib + block) << "the changed piece once, the probe once";
    EXPECT_FALSE(log.recall(4 * mib - block, 2 * block, reinterpret_cast<unsigned char*>(&piece[0])))
        << "a place only partly saved";
}

// A file system keeps no order within one sync: of what was appended since
// the last one, a power cut may leave any part on the medium. Where only the
// last 48 bytes got there (a marker, if one was appended), the next run finds
// no damage and writes back what the device holds of the run.
TEST(Journal, AMarkerReachesTheMediumOnlyAfterItsRecords)
{
    modelcard card({64 * mib, 64 * mib, 512, fake::honest});
    memoryjournal file;
    const std::vector<devicewrite> writes = smallrun(card, file);
    for (std::size_t sync = 1; sync < file.syncs.size(); sync++) {
        const std::size_t durable = file.syncs[sync - 1], end = file.syncs[sync];
        memoryjournal cut;
        cut.bytes = file.bytes.substr(0, end);
        if (end - durable > 48)
            std::fill(cut.bytes.begin() + static_cast<std::ptrdiff_t>(durable), cut.bytes.end() - 48, '\0');
        modelcard crashed({64 * mib, 64 * mib, 512, fake::honest});
        for (const devicewrite& write : writes)
            if (write.journalbytes <= durable)
                crashed.write(write.offset, reinterpret_cast<const unsigned char*>(write.data.data()),
                              write.data.size());
        probe::journalcontents contents;
        ASSERT_EQ(probe::readjournal(cut, &contents), probe::journalstate::readable) << end;
        EXPECT_FALSE(contents.damaged) << end;
        EXPECT_TRUE(probe::restore(cut, contents, crashed, ignore, 0).complete(contents)) << end;
        EXPECT_EQ(crashed.firstchanged(), -1) << end;
    }
}

// A committed record that no longer holds together is damage, not a torn
// tail: what can be read goes back, but the restoration is not complete.
TEST(Journal, ADamagedCommittedRecordIsNoTornTail)
{
    modelcard card({64 * mib, 64 * mib, 512, fake::honest});
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
    modelcard card({64 * mib, real, 4096, fake::wraps, 0, admits::every, 0, 512});
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
    EXPECT_EQ(ownerof(file, contents, card), probe::owner::writeback);
    const probe::restoration restored = probe::restore(file, contents, card, ignore, 0);
    EXPECT_TRUE(restored.complete(contents)) << restored.wrong << " bytes wrong from " << restored.firstwrong;
    EXPECT_EQ(card.firstchanged(), -1);
    EXPECT_EQ(ownerof(file, contents, card), probe::owner::writeback)
        << "a later run finds the journal of a restored card its own";
}

// A journal of the older program has no commit markers: its records up to
// the first torn one are written back all the same.
TEST(Journal, AnOlderRunsJournalIsWrittenBack)
{
    modelcard card({64 * mib, 64 * mib, 512, fake::honest});
    auto word = [](std::string* into, std::uint64_t value) {
        for (int i = 0; i < 8; i++, value >>= 8)
            *into += static_cast<char>(value & 0xff);
    };
    memoryjournal file;
    // "KAPUNDO1", the key, the size, the sector size and a hash unused now.
    for (std::uint64_t value :
         std::initializer_list<std::uint64_t>{0x314f444e5550414b, runkey, 64 * mib, 512, 0})
        word(&file.bytes, value);
    const std::uint64_t places[] = {2 * mib, 5 * mib + 4096};
    for (std::uint64_t place : places) {
        const std::string original = card.original(place / block);
        std::string head;
        for (std::uint64_t value : {std::uint64_t{0x314556415350414b}, place, std::uint64_t{512}})
            word(&head, value);
        const auto* bytes = reinterpret_cast<const unsigned char*>(head.data());
        word(&head, probe::fnv1a(reinterpret_cast<const unsigned char*>(original.data()), original.size(),
                                 probe::fnv1a(bytes + 8, 16)));
        file.bytes += head + original;
        unsigned char sector[512];
        probe::stamp(sector, sizeof sector, runkey, place, 1);
        card.write(place, sector, sizeof sector);
    }
    // The start of a third record, torn by the crash.
    file.bytes += std::string("KAPSAVE1", 8);
    probe::journalcontents contents;
    ASSERT_EQ(probe::readjournal(file, &contents), probe::journalstate::readable);
    EXPECT_EQ(contents.records.size(), 2u);
    EXPECT_FALSE(contents.damaged);
    EXPECT_EQ(ownerof(file, contents, card), probe::owner::writeback);
    EXPECT_TRUE(probe::restore(file, contents, card, ignore, 0).complete(contents));
    EXPECT_EQ(card.firstchanged(), -1);
}

// Cards of one batch share their first MiB: a journal is written back only
// to the card whose places hold what it saved or the stamps of its run.
TEST(Journal, BelongsOnlyToTheCardItSaved)
{
    modelcard card({64 * mib, 64 * mib, 512, fake::honest}), other({64 * mib, 64 * mib, 512, fake::honest});
    other.seed = 1;
    memoryjournal file;
    smallrun(card, file);
    probe::journalcontents contents;
    ASSERT_EQ(probe::readjournal(file, &contents), probe::journalstate::readable);
    EXPECT_EQ(contents.header.identity, "Modell");
    EXPECT_EQ(ownerof(file, contents, other), probe::owner::foreign);
    EXPECT_EQ(other.firstchanged(), -1);
    EXPECT_EQ(ownerof(file, contents, card), probe::owner::writeback);
    // A page half written by a power cut, where the run wrote when it
    // ended: the other places' stamps prove the card the journal's.
    auto garble = [&card](std::uint64_t offset) {
        std::string sector(block, '\0');
        ASSERT_TRUE(card.read(offset, reinterpret_cast<unsigned char*>(sector.data()), block));
        sector.replace(0, 256, 256, '\xff');
        ASSERT_TRUE(card.write(offset, reinterpret_cast<const unsigned char*>(sector.data()), block));
    };
    auto inflight = [&contents](std::uint64_t offset) {
        return std::any_of(contents.inflight.begin(), contents.inflight.end(),
                           [offset](const probe::stretch& it) {
                               return offset >= it.offset && offset < it.offset + it.size;
                           });
    };
    const auto torn = std::find_if(contents.records.rbegin(), contents.records.rend(),
                                   [&](const probe::journalrecord& it) { return inflight(it.offset); });
    const auto earlier = std::find_if(contents.records.begin(), contents.records.end(),
                                      [&](const probe::journalrecord& it) { return !inflight(it.offset); });
    ASSERT_TRUE(torn != contents.records.rend() && earlier != contents.records.end());
    garble(torn->offset);
    probe::placesfound found = probe::checkplaces(file, contents, card, ignore, 0);
    EXPECT_EQ(found.torn, block);
    EXPECT_EQ(found.changed, 0u);
    EXPECT_EQ(ownerof(file, contents, card), probe::owner::writeback);
    // The same page of a place the run had finished with: the card was
    // written since, and nothing goes back.
    garble(earlier->offset);
    found = probe::checkplaces(file, contents, card, ignore, 0);
    EXPECT_EQ(found.changed, block);
    EXPECT_EQ(found.at, earlier->offset);
    EXPECT_EQ(ownerof(file, contents, card), probe::owner::usedsince);
}

// A card going bad: places that held the user's text when the run saved
// them read other bytes each time now. The journal holds their last copy,
// which the restoration tells apart from what a place without storage gave.
TEST(Journal, DataThatACardNoLongerHoldsIsToldFromNoise)
{
    modelcard good({64 * mib, 64 * mib, 512, fake::honest});
    modelcard failing({64 * mib, 32 * mib, 512, fake::noise});
    std::string text;
    while (text.size() < 4096)
        text += "Rechnung 2026-11, Betrag 1.234,56 EUR; Kunde Nr. 4711\n";
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    ASSERT_TRUE(good.write(40 * mib, bytes, 4096));
    ASSERT_TRUE(failing.write(8 * mib, bytes, 4096));
    memoryjournal file;
    probe::journal log(file, good);
    ASSERT_TRUE(log.start({runkey, good.size, good.sectorsize, "", ""}));
    for (std::uint64_t place : {8 * mib, 40 * mib, 48 * mib})
        ASSERT_EQ(log.save(place, 4096), probe::saving::saved);
    ASSERT_TRUE(log.commit());
    probe::journalcontents contents;
    ASSERT_EQ(probe::readjournal(file, &contents), probe::journalstate::readable);
    const probe::restoration restored = probe::restore(file, contents, failing, ignore, 0);
    EXPECT_TRUE(restored.complete(contents));
    EXPECT_EQ(restored.unstable, 8192u) << "40 and 48 MiB lie beyond the storage";
    EXPECT_EQ(restored.unstabledata, 4096u) << "text at 40 MiB, noise at 48 MiB";
    EXPECT_EQ(restored.firstunstabledata, 40 * mib);
}

// What becomes of a journal, by what its places show: the one rule that
// lets a later run write over what it finds.
TEST(Journal, OnlyPlacesInFlightMayShowNeitherWhatWasSavedNorTheRunsStamps)
{
    struct row {
        const char* card;
        probe::placesfound found;
        bool named;
        probe::owner fate;
    };
    const row table[] = {
        {"torn by a power cut in flight", {true, true, 8192, 512, 0, 0}, true, probe::owner::writeback},
        {"killed before its first write", {true, true, 0, 0, 0, 0}, true, probe::owner::writeback},
        {"the same, under another name", {true, true, 0, 0, 0, 0}, false, probe::owner::foreign},
        {"another name, its stamps there", {true, true, 8192, 0, 0, 0}, false, probe::owner::writeback},
        {"reused, a few stamps survive",
         {true, true, 4096, 0, 18120704, 0, 1286144},
         true,
         probe::owner::usedsince},
        {"garbled page the run was done with",
         {true, true, 8192, 0, 512, 0, 1 << 20},
         true,
         probe::owner::usedsince},
        {"another card of the batch", {true, true, 0, 0, 65536, 0, 1 << 20}, true, probe::owner::foreign},
        {"another card, torn alike", {true, true, 0, 512, 0, 0}, true, probe::owner::foreign},
        {"its sectors grew to 4 KiB", {false, true, 8192, 0, 0, 0}, true, probe::owner::foreign},
        {"no answer", {true, false, 0, 0, 0, 0}, true, probe::owner::silent},
    };
    for (const row& it : table)
        EXPECT_EQ(probe::ownership(it.found, it.named), it.fate) << it.card;
}

// A sector that reads otherwise each time holds nothing of anyone's only
// where what was saved there was noise itself.
TEST(Journal, NoiseIsToldFromData)
{
    std::string random(512, '\0'), text, table(512, '\0');
    std::uint64_t state = 99;
    for (char& byte : random)
        byte = static_cast<char>(probe::nextrandom(&state));
    while (text.size() < 512)
        text += "Rechnung 2026-11, Betrag 1.234,56 EUR; Kunde Nr. 4711\n";
    for (std::size_t at = 0; at < 512; at += 4)
        table[at] = static_cast<char>(at / 4);
    for (const auto& [bytes, isnoise] : {std::pair{random, true},
                                         {text.substr(0, 512), false},
                                         {table, false},
                                         {std::string(512, '\xff'), false}})
        EXPECT_EQ(probe::noise(reinterpret_cast<const unsigned char*>(bytes.data()), 512), isnoise);
}

// 512e media write 4 KiB physically for every 512-byte write: the probe
// works in whole physical sectors wherever they hold whole logical ones.
TEST(Device, TheProbesUnitIsAWholePhysicalSector)
{
    const std::uint32_t table[][3] = {{512, 0, 512},       {512, 512, 512},   {512, 4096, 4096},
                                      {4096, 4096, 4096},  {4096, 512, 4096}, {512, 1536, 512},
                                      {512, 1 << 20, 512}, {0, 4096, 0}};
    for (const auto& [logical, physical, unit] : table)
        EXPECT_EQ(probe::probeunit(logical, physical), unit) << logical << " " << physical;
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

// The bytes of the partition table that makes a fake's real part usable,
// as fdisk writes them with the CHS addresses every system assumes, and the
// command that formats it on each system.
TEST(Advice, TheFixWritesOnePartitionFrom1MibToTheUsableSizeAndFormatsIt)
{
    // 384 MiB usable in sectors of 512 bytes.
    const probe::fixplan plan = probe::planfix(384u << 20, 512);
    EXPECT_EQ(plan.place.first, 2048u);
    EXPECT_EQ(plan.place.sectors, 383u * 2048);
    EXPECT_EQ(plan.label, "ECHT-383MB");
    const auto record = probe::masterbootrecord(plan.place, plan.what, 0x12345678);
    const unsigned char entry[16] = {0x00, 0x20, 0x21, 0x00, 0x0c, 0xf3, 0x03, 0x30,
                                     0x00, 0x08, 0x00, 0x00, 0x00, 0xf8, 0x0b, 0x00};
    EXPECT_EQ(std::vector<unsigned char>(record.begin() + 446, record.begin() + 462),
              std::vector<unsigned char>(entry, entry + 16));
    EXPECT_EQ(std::vector<unsigned char>(record.begin() + 440, record.begin() + 444),
              (std::vector<unsigned char>{0x78, 0x56, 0x34, 0x12}));
    EXPECT_EQ(record[510], 0x55);
    EXPECT_EQ(record[511], 0xaa);
    EXPECT_EQ(std::count(record.begin(), record.end(), 0), 512 - 2 - 4 - 9) << "nothing else is written";

    // A usable size short of a whole MiB ends at the MiB below; 4 KiB
    // sectors count in 4 KiB, and too few of them for FAT32's clusters
    // make FAT16.
    const probe::fixplan wide = probe::planfix((512u << 20) - 80 * 1024, 4096);
    EXPECT_EQ(wide.place.first, 256u);
    EXPECT_EQ(wide.place.sectors, 510u * 256);
    EXPECT_EQ(wide.what, probe::filesystem::fat32) << "130,560 clusters of a sector";
    EXPECT_EQ(wide.clustersectors, 1u);
    EXPECT_EQ(probe::planfix(32u << 20, 512).what, probe::filesystem::fat16);
    EXPECT_EQ(probe::planfix(65u << 20, 512).what, probe::filesystem::fat32);

    // Up to 32 GiB FAT32, above exFAT, whose end lies beyond what CHS can
    // address; a partition table of this kind ends at 2 TiB.
    EXPECT_EQ(probe::planfix((std::uint64_t{32} << 30) + (1 << 20), 512).what, probe::filesystem::fat32);
    const probe::fixplan large = probe::planfix(std::uint64_t{40} << 30, 512);
    EXPECT_EQ(large.label, "ECHT-42GB") << "40,959 MiB: 42.9 GB as the package counts";
    const auto big = probe::masterbootrecord(large.place, large.what, 1);
    EXPECT_EQ(big[446 + 4], 0x07);
    EXPECT_EQ(std::vector<unsigned char>(big.begin() + 446 + 5, big.begin() + 446 + 8),
              (std::vector<unsigned char>{0xfe, 0xff, 0xff}));
    EXPECT_EQ(probe::planfix(std::uint64_t{3} << 40, 512).place.sectors, UINT32_MAX - 2048);

    // Formatting: on the partition where the system shows it, else through
    // the whole device where the tool can, else named for later.
    const probe::partitiontarget linux{operatingsystem::gnulinux, "/dev/sdc", -1, false};
    EXPECT_EQ(probe::commandtext(linux, probe::formatcommand(linux, plan, "/dev/sdc1").arguments),
              "sudo mkfs.vfat -F 32 -S 512 -s 8 -n ECHT-383MB /dev/sdc1");
    const probe::formatting whole = probe::formatcommand(linux, plan, "");
    EXPECT_TRUE(whole.runnable);
    EXPECT_EQ(probe::commandtext(linux, whole.arguments),
              "sudo mkfs.vfat -F 32 -S 512 -s 8 -n ECHT-383MB --offset 2048 -h 2048 /dev/sdc 392192");
    // A partition not shown yet is named by its table's signature, which no
    // other stick has: /dev/sdc may be another one after a replug.
    probe::fixplan named = large;
    named.signature = 0x0badcafe;
    const probe::formatting later = probe::formatcommand(linux, named, "");
    EXPECT_FALSE(later.runnable);
    EXPECT_EQ(probe::commandtext(linux, later.arguments),
              "sudo mkfs.exfat -L ECHT-42GB /dev/disk/by-partuuid/0badcafe-01");
    const probe::partitiontarget mac{operatingsystem::macos, "/dev/disk4", -1, true};
    EXPECT_EQ(probe::commandtext(mac, probe::formatcommand(mac, plan, "/dev/rdisk4s1").arguments),
              "newfs_msdos -F 32 -S 512 -c 8 -v ECHT-383MB /dev/rdisk4s1");
    const probe::partitiontarget windows{operatingsystem::windows, "\\\\.\\PhysicalDrive2", 2, true};
    EXPECT_EQ(probe::commandtext(windows, probe::formatcommand(windows, large, "F:").arguments),
              "format.com F: /FS:exFAT /V:ECHT-42GB /Q /X /Y");
    EXPECT_EQ(probe::commandtext(linux, {"mkfs.vfat", "-n", "it's"}), "sudo mkfs.vfat -n 'it'\\''s'");
    EXPECT_EQ(probe::ejectcommand(mac), "diskutil eject '/dev/disk4'");
    EXPECT_EQ(probe::ejectcommand(linux), "sudo eject '/dev/sdc'");
}

// Every volume the fix makes is one its file system allows, as the system's
// own checker reads it: FAT32 with 65525 clusters at least, else FAT16.
TEST(Advice, EveryVolumeTheFixMakesIsValid)
{
    if (std::system("command -v mkfs.vfat >/dev/null && command -v fsck.fat >/dev/null") != 0)
        GTEST_SKIP() << "dosfstools is not installed";
    const std::string image = "/dev/shm/kapprobe-fat-" + std::to_string(getpid());
    const probe::partitiontarget linux{operatingsystem::gnulinux, "/dev/sdc", -1, true};
    for (const auto& [usable, sectorsize] : {std::pair{std::uint64_t{33} << 20, 512u},
                                             {std::uint64_t{64} << 20, 512u},
                                             {std::uint64_t{200} << 20, 512u},
                                             {std::uint64_t{600} << 20, 4096u},
                                             {std::uint64_t{260} << 20, 4096u},
                                             {std::uint64_t{2} << 30, 4096u},
                                             {std::uint64_t{31} << 30, 512u}}) {
        const probe::fixplan plan = probe::planfix(usable, sectorsize);
        const std::uint64_t bytes = std::uint64_t{plan.place.sectors} * sectorsize;
        std::vector<std::string> arguments = probe::formatcommand(linux, plan, image).arguments;
        std::string command = "truncate -s " + std::to_string(bytes) + " " + image + " && ";
        for (const std::string& argument : arguments)
            command += argument + " ";
        command += ">/dev/null 2>&1 && fsck.fat -n " + image + " 2>&1";
        std::string said;
        if (std::FILE* output = popen(command.c_str(), "r")) {
            char line[512];
            while (std::fgets(line, sizeof line, output) != nullptr)
                said += line;
            EXPECT_EQ(pclose(output), 0) << usable << " " << sectorsize << ": " << said;
        }
        std::remove(image.c_str());
        EXPECT_EQ(said.find("arn"), std::string::npos) << usable << " " << sectorsize << ": " << said;
        EXPECT_NE(said.find("clusters"), std::string::npos) << said;
    }
}

TEST(Advice, CommandsAreSafeToCopy)
{
    EXPECT_EQ(probe::firstpartition("/dev/sdb", operatingsystem::gnulinux), "/dev/sdb1");
    EXPECT_EQ(probe::firstpartition("/dev/mmcblk0", operatingsystem::gnulinux), "/dev/mmcblk0p1");
    EXPECT_EQ(probe::firstpartition("/dev/nvme0n1", operatingsystem::gnulinux), "/dev/nvme0n1p1");
    EXPECT_EQ(probe::firstpartition("/dev/disk4", operatingsystem::macos), "/dev/disk4s1");
    EXPECT_EQ(probe::shellquoted("/dev/it's"), "'/dev/it'\\''s'");
    EXPECT_EQ(probe::unmountcommand({operatingsystem::macos, "/dev/disk4", -1, false}),
              "diskutil unmountDisk '/dev/disk4'");
    EXPECT_EQ(probe::unmountcommand({operatingsystem::gnulinux, "/media/u/CARD 1", -1, false}),
              "sudo umount '/media/u/CARD 1'");
    EXPECT_EQ(probe::unmountcommand({operatingsystem::windows, "E:", -1, true}), "");
    EXPECT_EQ(probe::probecommand({operatingsystem::gnulinux, "/dev/sdc", -1, true}, "--restore ",
                                  "/dev/disk/by-id/usb-Card"),
              "kapprobe --restore '/dev/disk/by-id/usb-Card'");
    EXPECT_EQ(probe::removecommand({operatingsystem::gnulinux, "/dev/sdc", -1, false}, "kapprobe-1 x.undo"),
              "sudo rm 'kapprobe-1 x.undo'");
}

// A table that already fits the usable part is one partition ending within
// it, as the fix writes it; any other first sector is made anew.
TEST(Advice, ATableFitsWithOnePartitionWithinTheUsablePart)
{
    const std::uint64_t usable = 384 * mib;
    const auto record = probe::masterbootrecord({2048, 784384}, probe::filesystem::fat32, 0x1234abcd);
    const probe::tableview fixed = probe::readtable(record.data(), 512);
    EXPECT_TRUE(fixed.valid);
    EXPECT_EQ(fixed.signature, 0x1234abcdu);
    EXPECT_EQ(fixed.partitions, 1);
    EXPECT_EQ(fixed.end, 384 * mib);
    EXPECT_TRUE(probe::tablefits(fixed, usable));
    EXPECT_FALSE(probe::tablefits(fixed, usable - 512)) << "ends one sector beyond";
    EXPECT_EQ(probe::readtable(record.data(), 4096).end, 8 * 384 * mib) << "the same table in 4 KiB sectors";
    auto two = record;
    std::copy(record.begin() + 446, record.begin() + 462, two.begin() + 462);
    EXPECT_FALSE(probe::tablefits(probe::readtable(two.data(), 512), usable)) << "two partitions";
    auto none = record;
    none[511] = 0;
    EXPECT_FALSE(probe::readtable(none.data(), 512).valid) << "no boot signature";
}

// The name typed before an erasure: a drive in any case on Windows, a path
// exactly elsewhere.
TEST(Advice, OnlyTheDevicesNameConfirms)
{
    EXPECT_TRUE(probe::confirms("e:", "E:", operatingsystem::windows));
    EXPECT_TRUE(probe::confirms("\\\\.\\physicaldrive2", "\\\\.\\PhysicalDrive2", operatingsystem::windows));
    EXPECT_FALSE(probe::confirms("F:", "E:", operatingsystem::windows));
    EXPECT_FALSE(probe::confirms("E", "E:", operatingsystem::windows));
    EXPECT_TRUE(probe::confirms("/dev/sdc", "/dev/sdc", operatingsystem::gnulinux));
    EXPECT_FALSE(probe::confirms("/dev/SDC", "/dev/sdc", operatingsystem::gnulinux));
    EXPECT_FALSE(probe::confirms("", "/dev/sdc", operatingsystem::macos));
}

// Sizes as packages print them (decimal units), and figures as German
// prints them, for the buyer who holds the package beside the output.
TEST(Report, SizesAndFiguresReadAsTheBuyerKnowsThem)
{
    EXPECT_EQ(probe::packagesize(63864569856), "63,9 GB") << "a genuine 64 GB card";
    EXPECT_EQ(probe::packagesize(2000398934016), "2,0 TB") << "a fake stick sold as 2 TB";
    EXPECT_EQ(probe::packagesize(999600000), "1,0 GB");
    EXPECT_EQ(probe::packagesize(268435456), "268 MB");
    EXPECT_EQ(probe::grouped(63864569856), "63.864.569.856");
    EXPECT_EQ(probe::grouped(314576896), "314.576.896");
    EXPECT_EQ(probe::grouped(12288), "12.288");
    EXPECT_EQ(probe::grouped(4096), "4096");
    EXPECT_EQ(probe::grouped(0), "0");
    EXPECT_EQ(probe::share(3, 4096), "0,1 %") << "3 places of 4096 lost are not none";
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
