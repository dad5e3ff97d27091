// The search for a device's real size: rounds of self-describing probes at
// chosen places, each round followed by enough other writes to push the
// probes out of any cache of the device, and read back.
#pragma once

#include "probe/device.h"

#include <cstdint>

namespace probe {

// A device cache up to this size cannot answer for a probe.
constexpr std::uint64_t defaultcachelimit = std::uint64_t{512} << 20;

enum class verdict { sound, counterfeit, damaged, stopped, failed };

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

// The bytes of device I/O that a search and its restoration plan on dev.
std::uint64_t plannedbytes(const device& dev, std::uint64_t cachelimit);

// Searches dev with the probes of the run with key, saving all it overwrites
// to the journal that is started, and keeping a cache of up to cachelimit
// bytes out of every answer. firstmib is the fingerprint of the first MiB as
// the run found it. Stops, with stopped, when a stop is requested, and with
// failed when the journal takes no more.
findings search(const device& dev, std::uint64_t key, std::uint64_t cachelimit, std::uint64_t firstmib,
                progressreport progress);

} // namespace probe
