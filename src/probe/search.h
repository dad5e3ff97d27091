// The search for a device's real size. A survey writes self-describing
// probes all over the device, then flushes of growing size, each followed by
// a look at the probes: the first probe that does not come back proves the
// device counterfeit or damaged, however small the flush before it was, and
// only a clean look after a flush of the whole cache limit is the all-clear.
// Once a loss is proven, rounds of probes close in on where it begins, each
// followed by a flush that is known to push probes out of this device's
// cache; places found to share storage are tested in pairs to tell the
// distance after which the addresses come round again.
#pragma once

#include "probe/device.h"
#include "probe/journal.h"
#include "probe/stamp.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <vector>

namespace probe {

// A device cache up to this size cannot answer for a probe.
constexpr std::uint64_t defaultcachelimit = std::uint64_t{512} << 20;
// Places probed in one round at most, whatever the device's size: the bound
// of a run's memory and small I/O.
constexpr std::uint64_t maxprobes = 4096;

// otherrun: the device holds probes of another run, which has not written
// it back yet; no verdict until it has.
enum class verdict { sound, counterfeit, damaged, overwrites, stopped, failed, lost, otherrun };

// What a counterfeit device does from its usable size on: its addresses come
// round again (wraps), it reads what lies further back but loses writes
// (mirrors), places share storage in another way (shares), or writes are
// lost and read back as zeros, 0xff bytes or old data, or not read at all.
enum class beyond { wraps, mirrors, shares, zeros, ones, stale, unreadable };

struct findings {
    verdict outcome;
    // Counterfeit: the size from the start up to the end of the last place
    // that kept its data (0 where none did), within 1 MiB below the real
    // size, and what lies beyond it; for wraps and mirrors the distance after which the addresses come
    // round, for shares a place that read what another one was given. Where
    // the addresses come round only behind places without storage, distance
    // says where, and round how (wraps or mirrors).
    std::uint64_t usable;
    beyond what;
    std::uint64_t distance;
    beyond round;
    std::uint64_t reader;
    std::uint64_t writer;
    // Damaged: the places that lost their data or gave I/O errors, the
    // first and the last; otherrun: firstbad is where the other run's
    // probe was found.
    std::uint64_t badplaces;
    std::uint64_t firstbad;
    std::uint64_t lastbad;
    // Places probed in all, and the bytes written after the probes before
    // the look that found every one of them whole, each to a place of its
    // own and all of them within the last flushspan bytes of the device,
    // flushedsmall of them in writes of 4 KiB.
    std::uint64_t probed;
    std::uint64_t flushed;
    std::uint64_t flushspan;
    std::uint64_t flushedsmall;
    // Overwrites: the bytes written to the device before the change of its
    // first MiB stopped the run.
    std::uint64_t written;
};

// How the first MiB, which no probe writes, changed between before and now
// (size bytes, in sectors of unit): not at all; by stamps of the run with
// key, whole or in part, that came through places sharing its storage; or
// by other bytes, as a device puts writes over what it holds.
enum class change { none, stamped, overwritten };
change firstmibchange(const unsigned char* before, const unsigned char* now, std::size_t size,
                      std::uint32_t unit, std::uint64_t key);

// The bytes of device I/O that the search and its restoration of dev plan
// when it finds nothing, and the bytes its journal holds at most.
std::uint64_t plannedbytes(const device& dev, std::uint64_t cachelimit);
std::uint64_t plannedjournal(const device& dev, std::uint64_t cachelimit);

// One search of a device, with the probes of the run with key, saving all it
// overwrites to log (started), and keeping a cache of up to cachelimit bytes
// out of every answer. progress hears of each step, replan of the bytes of
// I/O the whole run now plans. It stops, with stopped, as soon as stop says
// so, with failed when the journal takes no more, with lost when the device
// no longer answers, also where it answered before, with otherrun as soon
// as a place it saves holds a probe of another run, and with overwrites as
// soon as the first MiB, which it never writes, changes.
class search {
  public:
    search(device& dev, journal& log, std::uint64_t key, std::uint64_t cachelimit, progressreport progress,
           std::function<void(std::uint64_t)> replan, std::function<bool()> stop);

    findings run();

    // The pieces of the flush that hold again what they held before, as the
    // survey wrote them back last: the restoration only checks them.
    writeback writtenback() const;

  private:
    enum class state { good, lost, alias, victim, unreadable };
    enum class flow { go, stop, fail, lost, otherrun, overwrites };
    enum class pairing { shared, mirrored, apart, unknown };
    // What a pass of the flush writes: stamps, stamps of another kind, or
    // what the pieces held.
    enum class fill { stamps, restamps, back };
    struct place {
        state what;
        content kind;
        // alias and victim: the place whose stamp was read.
        std::uint64_t partner;
        // The place as far before it as places were found to share storage
        // was written after it and after the replayed flush: a victim then
        // has storage of its own.
        bool partnered = false;
    };
    // A piece of the flush: where it lies, how much of it the flush writes,
    // whether that goes in small writes, whether it could not be saved (and
    // so is never written), whether it is saved, and whether it holds again
    // what it held.
    struct piece {
        std::uint64_t offset;
        std::uint64_t length;
        bool small = false;
        bool unreadable = false;
        bool saved = false;
        bool back = false;
    };
    // The bytes the survey wrote and looked at so far, those of them in
    // places not written before, and those in writes of up to 4 KiB and
    // reads: a cache that lost a probe, however it keeps what it takes,
    // holds less than what followed the probe's write.
    struct touches {
        std::uint64_t all = 0;
        std::uint64_t distinct = 0;
        std::uint64_t small = 0;
    };

    std::uint64_t down(std::uint64_t bytes) const;
    std::uint64_t up(std::uint64_t bytes) const;
    stretch window(std::uint64_t place) const;
    void tell(const char* what);
    void tick();
    void plan(std::uint64_t remaining, std::uint64_t tosave, std::uint64_t back = 0);
    void sharedstorage(std::uint64_t one, std::uint64_t other);
    bool readat(std::uint64_t offset, unsigned char* data, std::size_t size);
    bool writeat(std::uint64_t offset, const unsigned char* data, std::size_t size);

    void layout();
    bool taken(std::uint64_t offset, bool inpieces = false) const;
    std::uint64_t free(std::uint64_t offset, std::uint64_t end, bool inpieces = false) const;
    std::vector<std::uint64_t> spread(std::uint64_t start, std::uint64_t end, std::uint64_t count,
                                      bool inpieces = false);
    std::size_t piecesfor(std::uint64_t flush, bool early) const;
    std::uint64_t proofplaces(std::uint64_t span) const;

    flow saveplaces(std::vector<std::uint64_t>* places);
    flow savepieces(std::size_t from, std::size_t upto);
    flow writeplaces(const std::vector<std::uint64_t>& places);
    flow writepieces(std::size_t from, std::size_t upto, fill how);
    flow readplaces(const std::vector<std::uint64_t>& places, std::map<std::uint64_t, place>* into);
    flow settle();
    flow settled();
    bool answers();
    void readfirstmib();
    void touch(std::uint64_t bytes, bool fresh, bool small);
    std::uint64_t replayed() const;
    void replayplan();
    flow replay();

    flow writesurvey(std::vector<std::uint64_t>* places);
    flow survey(std::size_t* proven);
    flow proofround();
    flow proberound(std::vector<std::uint64_t> earlier, std::vector<std::uint64_t> later,
                    std::map<std::uint64_t, place>* into, bool readlater = true);
    flow testpairs(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& pairs,
                   std::vector<pairing>* found);
    flow findperiod(std::uint64_t* found, bool* shared);
    std::vector<std::uint64_t> partnersof(std::vector<std::uint64_t>* places) const;
    flow reducesharing();
    flow partnerround();
    flow narrow(std::uint64_t* low, std::uint64_t* high);
    flow lookround(std::uint64_t low, std::uint64_t high);
    flow closein(findings* result);
    bool bad(std::uint64_t offset) const;
    bool keepsdata(std::uint64_t offset) const;
    bool goodbefore(std::uint64_t limit) const;
    bool goodbehind(std::uint64_t limit) const;
    bool lossesrunon(const std::vector<std::uint64_t>& badplaces) const;
    findings conclude(std::size_t proven);
    void describe(findings* result) const;
    findings wrapup(flow how);

    device& dev;
    journal& log;
    const std::uint64_t key;
    const std::uint64_t unit;
    std::uint64_t cache;
    const progressreport progress;
    const std::function<void(std::uint64_t)> replan;
    const std::function<bool()> stop;
    iobuffer buffer;
    // The first MiB as the search found it, which no probe writes.
    iobuffer firstmib;
    std::uint64_t iobytes = 0;
    std::uint64_t writtenbytes = 0;
    const char* step = "";
    // The flush: pieces at the device's end, written in this order (the
    // first earlypieces for the early flushes alone), the first
    // writtenpieces of them written so far.
    std::vector<piece> pieces;
    std::uint64_t piecesize = 0;
    std::size_t earlypieces = 0;
    std::size_t writtenpieces = 0;
    // The survey's probes, and those of them looked at before the last
    // flush: a cache that keeps what is read may have answered for them.
    std::vector<std::uint64_t> surveyed;
    std::vector<std::uint64_t> lookedearly;
    // This round's probes, in order, which the replayed flush writes around.
    std::vector<std::uint64_t> spared;
    // The survey's places in the second MiB and as far behind each power
    // of two.
    std::vector<std::uint64_t> marks;
    // The survey's probes in the order written, and how many of them went
    // to the device up to the last one it lost (0: none lost).
    std::vector<std::uint64_t> surveyorder;
    std::size_t lastlost = 0;
    // What the survey touched, and what it had touched when it wrote each
    // probe.
    touches touched;
    std::map<std::uint64_t, touches> lasttouch;
    // The replayed flush of the rounds: two sets of pieces the survey did
    // not write, from sets[0] to sets[1] and from there to sets[2], written
    // in turn, the next one as turn tells (none: the survey's writes after
    // the last probe lost again, all of the flush where wholeflush).
    std::array<std::size_t, 3> sets{};
    // The higher places of the pairs tested, which are never tested again:
    // a cache may hold them.
    std::set<std::uint64_t> paired;
    // Every place probed, with what its last probe found.
    std::map<std::uint64_t, place> probed;
    // Distances between places found to share storage.
    std::uint64_t sharing = 0;
    std::uint64_t reader = 0, writer = 0;
    // A verified wrap: from here on each place shares the storage of the
    // place this far before it (0: none); shared when writing there changes
    // that place, else reads alone come round (a mirror).
    std::uint64_t period = 0;
    // The distance last tested for a period.
    std::uint64_t periodtried = 0;
    int round = 0;
    int turn = 0;
    // Whether the first MiB read at the start, and read the same twice:
    // only then does a change tell.
    bool firstmibread = false;
    bool firstmibsteady = false;
    bool periodshared = false;
    // The verdict is sound: the restoration checks the flush by samples.
    bool sound = false;
    // The survey counts what it touches.
    bool counting = false;
    bool wholeflush = false;
    // The probes of this round are followed by their partners.
    bool partnering = false;
};

} // namespace probe
