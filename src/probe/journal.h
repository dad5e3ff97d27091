// The undo journal: what a probe overwrites is saved to a file on another
// medium, and put on it, before the overwrite, so that the device gets every
// byte back at the end, after an interruption, or in a later run.
//
// The file: a header that names the run and its device; records of saved
// places, each with its place, length, data and a checksum; and after the
// records of each round a commit marker that closes every record before it
// (their count and a checksum over them). The device is written only once
// the marker is on the journal's medium, so that a later run writes back
// exactly the committed records and ignores what a power cut left behind the
// last marker.
#pragma once

#include "probe/device.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace probe {

// Where a journal lies: a file on another medium, or memory in the tests.
class journalfile {
  public:
    virtual ~journalfile() = default;
    // Appends size bytes; false when the file did not take them all.
    virtual bool append(const unsigned char* data, std::size_t size) = 0;
    // size bytes from offset; anything less is a failure.
    virtual bool read(std::uint64_t offset, unsigned char* data, std::size_t size) = 0;
    // Puts everything appended on the file's medium.
    virtual bool sync() = 0;
    // Cuts the file to its first size bytes; the next append goes behind them.
    virtual bool truncate(std::uint64_t size) = 0;
    virtual std::uint64_t size() = 0;
};

// What a journal says of the run that wrote it.
struct journalheader {
    std::uint64_t key = 0;
    std::uint64_t size = 0;
    std::uint32_t sectorsize = 0;
    // The device's identity and the path the run was given; empty where
    // unknown, and in a journal of an older run, which had neither.
    std::string identity;
    std::string path;
};

// The name of the journal of a device of size bytes with identity: what
// tells two devices of one size apart goes into it, made safe for a file name.
std::string journalname(std::uint64_t size, const std::string& identity);

// A stretch of the device: size bytes from offset.
struct stretch {
    std::uint64_t offset;
    std::uint64_t size;
};

enum class saving { saved, unreadable, journalfailed };

struct journalcontents;

// The journal of this run on dev.
class journal {
  public:
    journal(journalfile& file, device& dev);

    // Writes the header and puts it on the medium; false when it did not get there.
    bool start(const journalheader& header);

    // Saves what lies at [offset, offset + size) on the device, unless this
    // run saved it before: the first write to a place is the one whose
    // content counts, also where two places share storage. unreadable when
    // the device cannot read it (it must then not be written),
    // journalfailed when the file took no more.
    saving save(std::uint64_t offset, std::uint64_t size);

    // Saves data that the run held in memory for [offset, offset + size),
    // which the device no longer holds: the first MiB that a device changed
    // by itself. False when the file took no more.
    bool keep(std::uint64_t offset, const unsigned char* data, std::size_t size);

    // What this run saved of [offset, offset + size), read back from the
    // journal into data: the flush writes it back over its own stamps.
    // False when part of it was never saved, or the file failed.
    bool recall(std::uint64_t offset, std::size_t size, unsigned char* data);

    // Closes what was saved with a marker and puts it on the medium; only
    // then may the device be written. False when it did not get there.
    bool commit();

    // Records that the device writes which follow go to places, and
    // commits: a power cut can tear only places written since the device
    // last put its writes on its medium, and a later run must know which.
    // False when the record did not get to the journal's medium.
    bool writing(const std::vector<stretch>& places);
    // The device put every write so far on its medium: none of them is in
    // flight any more.
    void settled()
    {
        flushed = true;
    }

    // Takes up a journal that an earlier run left, to record the writes
    // that give its places back: what lies behind its last marker, never
    // in force, is cut off. False where the journal cannot take more (an
    // older run's, or one damaged), or the cut failed.
    bool resume(const journalcontents& contents);

    // Bytes read from the device to save them.
    std::uint64_t saved() const
    {
        return savedbytes;
    }

    // Whether a place saved held a whole stamp of another run, which has
    // not written the device back yet, and the first such place.
    bool otherrun() const
    {
        return otherrunfound;
    }
    std::uint64_t otherrunplace() const
    {
        return otherrunat;
    }

  private:
    saving saveone(std::uint64_t offset, std::size_t size);
    bool append(std::uint64_t magic, std::uint64_t offset, const unsigned char* data, std::size_t size);
    void markrange(std::uint64_t start, std::uint64_t end);

    journalfile& file;
    device& dev;
    iobuffer buffer;
    std::uint64_t key = 0;
    // The places saved, as ranges from their first byte to behind the last,
    // and each record's place with where its data lie in the file and their
    // length.
    std::map<std::uint64_t, std::uint64_t> savedranges;
    std::map<std::uint64_t, std::pair<std::uint64_t, std::uint64_t>> recordsat;
    std::uint64_t savedbytes = 0;
    bool otherrunfound = false;
    std::uint64_t otherrunat = 0;
    std::uint64_t records = 0;
    std::uint64_t chain;
    std::uint64_t written = 0;
    // No device write since the last settle: the next batch starts the
    // set of places in flight afresh.
    bool flushed = true;
};

// A record of a journal: its data at at in the file, saved from offset.
struct journalrecord {
    std::uint64_t at;
    std::uint64_t offset;
    std::uint32_t size;
    // Kept from memory: the device did not hold it when it was saved.
    bool kept;
};

struct journalcontents {
    journalheader header;
    // The committed records, in the order they were saved.
    std::vector<journalrecord> records;
    // A committed record or marker fails its check: what it held is lost.
    bool damaged = false;
    // The places that device writes may have been in flight at when the
    // run ended, sorted; known only where the run recorded them (not in
    // an older run's journal).
    std::vector<stretch> inflight;
    bool inflightknown = false;
    // Where the last marker ends, the entries and the chain of checksums
    // it closes: a later run appends behind it.
    std::uint64_t end = 0;
    std::uint64_t entries = 0;
    std::uint64_t chain = 0;
};

// The bytes that the committed records of a journal saved.
std::uint64_t savedbytes(const journalcontents& contents);

enum class journalstate { readable, empty, unreadable };

// Reads a journal that a run left: empty when the file holds nothing but
// zeros (it was made, but its header never reached the medium, so nothing
// was overwritten), unreadable when it is no journal of this program.
journalstate readjournal(journalfile& file, journalcontents* contents);

// What the places of a journal show now, sector by sector.
struct placesfound {
    // The journal was written for a device of this size, in a unit that
    // the device's sectors serve.
    bool fits = false;
    // The device answered for a place whose saved bytes it held.
    bool answered = false;
    // Bytes that show a whole stamp of the run.
    std::uint64_t stamped = 0;
    // Bytes that show neither what was saved nor a stamp of the run: torn,
    // within the places the run's last device writes went to, which a
    // power cut may have left half written; changed, outside them, where
    // the run left either behind; and the first byte of each.
    std::uint64_t torn = 0;
    std::uint64_t changed = 0;
    std::uint64_t tornat = 0;
    std::uint64_t at = 0;
};

// What becomes of a journal found for a device of its size: written back;
// left alone, as the device was written since its run (its places show its
// stamps, but others what neither it saved nor it wrote); another device's;
// or no answer from the device. Places whose saved bytes were the run's
// own stamps, what was kept from memory, and places that read differently
// each time tell nothing. named: the journal bears this device's name, so
// that places that all hold what was saved (the run wrote nothing yet) are
// proof enough; any other journal needs its run's stamps.
enum class owner { writeback, usedsince, foreign, silent };
owner ownership(const placesfound& found, bool named);

// Reads the places of a journal on dev: the records of probes first, and
// no further than its verdict needs once a changed place shows.
placesfound checkplaces(journalfile& file, const journalcontents& contents, device& dev,
                        const progressreport& progress, std::uint64_t done);

// True when bytes look like what a place without storage reads: as many
// different byte values as chance gives, so no data of anyone's.
bool noise(const unsigned char* bytes, std::size_t size);

// What a run wrote back itself, which the restoration only checks: each
// stretch whole or, where stride is not 0 (the run found the device keeping
// everything it was given), one block of 4 KiB at a place of its own in
// every stride bytes of it. And where the run wrote in writes of 4 KiB,
// which the restoration writes in as small ones: a cache that takes only
// small writes then answers there with what was saved, not with what the
// run wrote, also where the device has no storage.
struct writeback {
    std::vector<stretch> stretches;
    std::uint64_t stride = 0;
    std::vector<stretch> small;
};

struct restoration {
    // Places and bytes written back or, where the run had written them
    // back itself, checked.
    std::uint64_t places = 0;
    std::uint64_t bytes = 0;
    // Places the device did not take, the first of them and the reason.
    std::uint64_t failed = 0;
    std::uint64_t firstfailed = 0;
    std::string failure;
    // The device did not put what it took on its medium, and why.
    bool unflushed = false;
    std::string flushfailure;
    // Bytes that read differently each time: places without storage,
    // where nothing can be written back, nor was there anything to save;
    // of them, those whose saved bytes were no noise but data, which the
    // journal alone still holds.
    std::uint64_t unstable = 0;
    std::uint64_t unstabledata = 0;
    std::uint64_t firstunstabledata = 0;
    // Bytes that did not come back as saved, the first and the last.
    std::uint64_t wrong = 0;
    std::uint64_t firstwrong = 0;
    std::uint64_t lastwrong = 0;
    // The journal could not be read while restoring.
    bool unreadable = false;

    bool complete(const journalcontents& contents) const
    {
        return !contents.damaged && failed == 0 && !unflushed && wrong == 0 && !unreadable;
    }
};

// Writes back every committed record, the last saved first, so that where
// places share storage the content saved first wins, and leaves out the
// sectors that held the run's own stamps when they were saved, whose
// storage an earlier save brings back; puts it on the medium and reads
// every place back to check it. A byte may come back other than saved only
// where what was saved was a stamp of the run's own, or where the device
// reads differently each time. The places within back, which the run wrote
// back itself, are only checked, and written where they differ. log, where
// given, records the places of each batch of writes before it goes to the
// device. progress hears of it from done bytes on.
restoration restore(journalfile& file, const journalcontents& contents, device& dev,
                    const progressreport& progress, std::uint64_t done, const writeback& back = {},
                    journal* log = nullptr);

} // namespace probe
