// A card in memory that plays every kind of counterfeit the probe must see
// through, and a journal in memory, for the unit tests of the search and the
// journal.
#pragma once

#include "probe/device.h"
#include "probe/journal.h"
#include "probe/stamp.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <unordered_map>
#include <vector>

namespace model {

constexpr std::uint64_t mib = 1 << 20;

// What lies beyond the real size: nothing (honest); the addresses come
// round (wraps); writes are lost and read as zeros, 0xff or old data; reads
// give what lies further back, writes are lost (mirror); every write goes
// to the place written longest ago, the card being full (anywhere); the
// addresses come round onto the last part of the real storage (cycles);
// or writes are lost and reads give other bytes every time (noise).
enum class fake { honest, wraps, zeros, ones, stale, mirror, anywhere, cycles, noise };

// What the card's cache takes: every write, writes of up to 4 KiB, writes
// of one 512-byte sector, writes to places without storage, or writes that
// change what a read would give.
enum class admits { every, small, sector, unreal, changed };

struct cardshape {
    std::uint64_t claimed;
    std::uint64_t real;
    std::uint32_t sector;
    fake kind;
    std::uint64_t cachebytes = 0;
    admits cache = admits::every;
    // wraps: the addresses come round after this many bytes (0: the real
    // size); what lies between the real size and it has no storage.
    // cycles: beyond the real size the addresses come round onto the last
    // this many bytes of the real storage.
    std::uint64_t wrap = 0;
    // The grain of the storage (0: the sector), finer where sectors share
    // storage at an offset within them.
    std::uint32_t grain = 0;
};

class modelcard : public probe::device {
  public:
    explicit modelcard(const cardshape& shape)
        : device(shape.claimed, shape.sector), shape(shape),
          block(shape.grain != 0 ? shape.grain : shape.sector),
          realblocks((shape.kind == fake::honest ? shape.claimed : shape.real) / block),
          wrapblocks(shape.wrap != 0 ? shape.wrap / block : realblocks)
    {
    }

    bool read(std::uint64_t offset, unsigned char* data, std::size_t size) override
    {
        if (failing(offset, size))
            return false;
        traffic += size;
        for (std::size_t at = 0; at < size; at += block) {
            const std::string bytes = current((offset + at) / block);
            std::memcpy(data + at, bytes.data(), block);
        }
        return true;
    }

    bool write(std::uint64_t offset, const unsigned char* data, std::size_t size) override
    {
        if (failing(offset, size) || crashed)
            return false;
        traffic += size;
        written += size;
        lowestwrite = std::min(lowestwrite, offset);
        for (std::size_t at = 0; at < size; at += block) {
            const std::uint64_t logical = (offset + at) / block;
            const std::string bytes(reinterpret_cast<const char*>(data + at), block);
            const bool admitted = shape.cachebytes > 0 && (shape.cache != admits::small || size <= 4096) &&
                                  (shape.cache != admits::sector || size <= 512) &&
                                  (shape.cache != admits::unreal || !stored(logical)) &&
                                  (shape.cache != admits::changed || bytes != current(logical));
            store(logical, bytes);
            if (admitted)
                remember(logical, bytes);
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
    // or -1.
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
        std::uint64_t state = at * 7919 + 17 + (at * block >= mib ? seed : 0);
        for (std::size_t i = 0; i < bytes.size(); i += 8) {
            std::uint64_t word = probe::nextrandom(&state);
            std::memcpy(&bytes[i], &word, 8);
        }
        return bytes;
    }

    std::uint64_t seed = 0;
    // I/O errors from here to there, and everywhere once so many bytes
    // went each way, as when a card is pulled or breaks down.
    std::uint64_t errorstart = 0, errorend = 0;
    std::uint64_t failafter = UINT64_MAX;
    // After a crash the card takes no more writes.
    bool crashed = false;
    // Bytes read and written, bytes written, and the lowest place written.
    std::uint64_t traffic = 0;
    std::uint64_t written = 0;
    std::uint64_t lowestwrite = UINT64_MAX;

  private:
    static constexpr std::uint64_t nowhere = UINT64_MAX;

    // Where a logical block is stored, or nowhere.
    std::uint64_t physical(std::uint64_t logical) const
    {
        switch (shape.kind) {
        case fake::honest:
            return logical;
        case fake::wraps:
            return logical % wrapblocks < realblocks ? logical % wrapblocks : nowhere;
        case fake::cycles:
            return logical < realblocks ? logical
                                        : realblocks - wrapblocks + (logical - realblocks) % wrapblocks;
        case fake::anywhere: {
            auto moved = slotof.find(logical);
            if (moved != slotof.end())
                return moved->second;
            return logical < realblocks && owner(logical) == logical ? logical : nowhere;
        }
        default:
            return logical < realblocks ? logical : nowhere;
        }
    }

    bool stored(std::uint64_t logical) const
    {
        return shape.kind == fake::anywhere || physical(logical) != nowhere;
    }

    std::uint64_t owner(std::uint64_t slot) const
    {
        auto found = owners.find(slot);
        return found != owners.end() ? found->second : slot;
    }

    std::string current(std::uint64_t logical) const
    {
        if (auto hit = cached.find(logical); hit != cached.end())
            return hit->second.first;
        std::uint64_t at = physical(logical);
        if (shape.kind == fake::mirror && at == nowhere)
            at = logical % realblocks;
        if (at == nowhere && shape.kind == fake::noise)
            return original(logical + (++noisereads << 40));
        if (at == nowhere)
            return shape.kind == fake::ones    ? std::string(block, '\xff')
                   : shape.kind == fake::stale ? original(logical)
                                               : std::string(block, '\0');
        auto kept = storage.find(at);
        return kept != storage.end() ? kept->second : original(at);
    }

    void store(std::uint64_t logical, const std::string& bytes)
    {
        if (shape.kind == fake::anywhere) {
            // The place written longest ago takes it; what was there is gone,
            // and the place that held it before is free.
            const std::uint64_t slot = nextslot++ % realblocks, previous = owner(slot);
            if (previous != nowhere)
                slotof[previous] = nowhere;
            if (const std::uint64_t before = physical(logical); before != nowhere)
                owners[before] = nowhere;
            slotof[logical] = slot;
            owners[slot] = logical;
            storage[slot] = bytes;
            return;
        }
        if (const std::uint64_t at = physical(logical); at != nowhere)
            storage[at] = bytes;
    }

    void remember(std::uint64_t logical, const std::string& bytes)
    {
        cached[logical] = {bytes, ++writes};
        recent.emplace_back(logical, writes);
        while (recent.size() * block > shape.cachebytes) {
            auto [oldest, when] = recent.front();
            recent.pop_front();
            if (cached[oldest].second == when)
                cached.erase(oldest);
        }
    }

    bool failing(std::uint64_t offset, std::size_t size) const
    {
        return (offset < errorend && offset + size > errorstart) || traffic >= failafter;
    }

    const cardshape shape;
    const std::uint64_t block;
    const std::uint64_t realblocks;
    const std::uint64_t wrapblocks;
    std::unordered_map<std::uint64_t, std::string> storage;
    // The last cachebytes of writes that the cache took, answered first.
    std::unordered_map<std::uint64_t, std::pair<std::string, std::uint64_t>> cached;
    std::deque<std::pair<std::uint64_t, std::uint64_t>> recent;
    std::uint64_t writes = 0;
    mutable std::uint64_t noisereads = 0;
    // anywhere: the slot of each block moved, and the block of each slot.
    std::unordered_map<std::uint64_t, std::uint64_t> slotof, owners;
    std::uint64_t nextslot = 0;
};

// A journal in memory, which stops taking appends at limit, as a crash does.
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
        syncs.push_back(bytes.size());
        return true;
    }

    std::uint64_t size() override
    {
        return bytes.size();
    }

    std::string bytes;
    std::size_t limit = SIZE_MAX;
    // The length after each append and at each sync.
    std::vector<std::size_t> ends;
    std::vector<std::size_t> syncs;
};

inline void ignore(int, const char*, std::uint64_t) {}

} // namespace model
