// The search for a device's real size: rounds of self-describing probes at
// chosen places, each round followed by enough other writes to push the
// probes out of any cache of the device, and read back.
#pragma once

#include "probe/device.h"
#include "probe/journal.h"
#include "probe/stamp.h"

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

namespace probe {

// A device cache up to this size cannot answer for a probe.
constexpr std::uint64_t defaultcachelimit = std::uint64_t{512} << 20;

enum class verdict { sound, counterfeit, damaged, stopped, failed, lost };

// What a counterfeit device does beyond its usable size.
enum class beyond { wraps, zeros, ones, stale, unreadable };

struct findings {
    verdict outcome;
    // Counterfeit: the largest size from the start in which every probed
    // place kept its data, and what lies beyond it; where it wraps, the
    // distance after which addresses come round again.
    std::uint64_t usable;
    beyond what;
    std::uint64_t wrapsize;
    // Damaged: the places that lost their data or gave I/O errors, and the first.
    std::uint64_t badplaces;
    std::uint64_t firstbad;
    // Places probed in all.
    std::uint64_t probed;
};

// The bytes from start to before end of a device.
struct range {
    std::uint64_t start;
    std::uint64_t end;
};

// The bytes of device I/O that a search and its restoration plan on dev.
std::uint64_t plannedbytes(const device& dev, std::uint64_t cachelimit);

// The bytes that the journal of a search on dev holds at most.
std::uint64_t plannedjournal(const device& dev, std::uint64_t cachelimit);

// One search of a device, with the probes of the run with key, saving all it
// overwrites to log (started), and keeping a cache of up to cachelimit bytes
// out of every answer. It stops, with stopped, as soon as stop says so, and
// with failed when the journal takes no more.
class search {
  public:
    search(device& dev, journal& log, std::uint64_t key, std::uint64_t cachelimit, progressreport progress,
           std::function<bool()> stop);

    findings run();

  private:
    enum class state { good, lost, unreadable };
    enum class flow { go, stop, fail, lost };
    struct place {
        state what;
        content kind;
    };

    std::uint64_t down(std::uint64_t bytes) const;
    std::uint64_t up(std::uint64_t bytes) const;
    void tell(const char* what);
    void tick();
    bool readat(std::uint64_t offset, unsigned char* data, std::size_t size);
    bool writeat(std::uint64_t offset, const unsigned char* data, std::size_t size);
    void sharedstorage(std::uint64_t one, std::uint64_t other);
    std::vector<std::uint64_t> grid(std::uint64_t start, std::uint64_t end, std::uint64_t spacing,
                                    bool jitter) const;
    flow savepieces(const std::vector<range>& pieces, std::vector<range>* kept);
    flow save(std::vector<std::uint64_t>* places, std::vector<range>* stamped);
    flow writeprobes(std::vector<std::uint64_t>* places);
    flow flush(const std::vector<range>& pieces, bool stamps);
    void checkfirstmib();
    flow readprobes(const std::vector<std::uint64_t>& places);
    flow settle();
    flow proberound(const std::vector<std::uint64_t>& places, const std::vector<range>& pieces, bool stamps);
    std::vector<range> flushroom(std::uint64_t low, std::uint64_t high) const;
    std::uint64_t firstbad(const std::vector<std::uint64_t>& places);
    std::uint64_t goodtill(const std::vector<std::uint64_t>& places, std::uint64_t limit,
                           std::uint64_t fallback);
    findings conclude();
    findings stopped(flow how);

    device& dev;
    journal& log;
    const std::uint64_t key;
    const std::uint64_t unit;
    std::uint64_t cache;
    const progressreport progress;
    const std::function<bool()> stop;
    iobuffer buffer;
    // The first MiB as the search found it, which no probe writes.
    iobuffer firstmib;
    bool firstmibread = false;
    std::uint64_t iobytes = 0;
    int round = 0;
    const char* step = "";
    // Every place probed, with what its last probe found.
    std::map<std::uint64_t, place> probed;
    // Distances between places found to share storage: all multiples of the
    // distance after which the device's addresses wrap.
    std::uint64_t wrapping = 0;
};

} // namespace probe
