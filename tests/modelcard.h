// A card in memory that plays every kind of counterfeit the probe must see
// through, and a journal in memory, for the unit tests of the search and the
// journal.
#pragma once

#include "cards.h"
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

class modelcard : public probe::device {
  public:
    explicit modelcard(const cardshape& shape)
        : device(shape.claimed, shape.sector), shape(shape),
          block(shape.grain != 0 ? shape.grain : shape.sector),
          realblocks((shape.kind == fake::honest ? shape.claimed : shape.real) / block),
          wrapblocks(shape.wrap != 0 ? shape.wrap / block : realblocks), scratch(block)
    {
    }

    bool read(std::uint64_t offset, unsigned char* data, std::size_t size) override
    {
        if (failing(offset, size))
            return false;
        traffic += size;
        for (std::size_t at = 0; at < size; at += block) {
            const std::uint64_t logical = (offset + at) / block;
            current(logical, reinterpret_cast<char*>(data + at));
            if (shape.keeping == keeps::reads && cached.count(logical) != 0)
                refresh(logical);
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
            if (logical * block >= dropstart && logical * block < dropend)
                continue;
            const char* bytes = reinterpret_cast<const char*>(data + at);
            if (admitted(logical, bytes, size))
                remember(logical, bytes);
            store(logical, bytes);
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
        order.clear();
    }

    // The first block whose storage differs from what the card came with,
    // or -1.
    std::int64_t firstchanged() const
    {
        std::int64_t first = -1;
        std::vector<char> original(block);
        for (const auto& [number, kept] : pages)
            for (std::size_t index = 0; index < pageblocks; index++) {
                const std::uint64_t at = number * pageblocks + index;
                if (!kept.written[index] || (first >= 0 && at >= static_cast<std::uint64_t>(first)))
                    continue;
                originalblock(at, original.data());
                if (std::memcmp(original.data(), &kept.bytes[index * block], block) != 0)
                    first = static_cast<std::int64_t>(at);
            }
        return first;
    }

    // What the card held before the probe, different in every block; a
    // card of another seed differs beyond its first MiB.
    std::string original(std::uint64_t at) const
    {
        std::string bytes(block, '\0');
        originalblock(at, bytes.data());
        return bytes;
    }

    std::uint64_t seed = 0;
    // I/O errors from here to there, and everywhere once so many bytes
    // went each way, as when a card is pulled or breaks down.
    std::uint64_t errorstart = 0, errorend = 0;
    std::uint64_t failafter = UINT64_MAX;
    // Writes from here to there are lost, and reads there give what was
    // there before, as on worn flash.
    std::uint64_t dropstart = 0, dropend = 0;
    // After a crash the card takes no more writes.
    bool crashed = false;
    // Bytes read and written, bytes written, and the lowest place written.
    std::uint64_t traffic = 0;
    std::uint64_t written = 0;
    std::uint64_t lowestwrite = UINT64_MAX;

  private:
    static constexpr std::uint64_t nowhere = UINT64_MAX;
    // The storage is kept in pages of so many blocks, made when first
    // written.
    static constexpr std::size_t pageblocks = 16;
    struct page {
        std::vector<char> bytes;
        std::vector<bool> written;
    };
    struct entry {
        std::string bytes;
        std::uint64_t number;
    };

    void originalblock(std::uint64_t at, char* bytes) const
    {
        std::uint64_t state = at * 7919 + 17 + (at * block >= mib ? seed : 0);
        for (std::size_t i = 0; i < block; i += 8) {
            std::uint64_t word = probe::nextrandom(&state);
            std::memcpy(bytes + i, &word, 8);
        }
    }

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
        case fake::tail:
            return logical >= shape.claimed / block - realblocks ? logical : nowhere;
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

    // What a read of a logical block gives, into bytes.
    void current(std::uint64_t logical, char* bytes) const
    {
        if (auto hit = cached.find(logical); hit != cached.end()) {
            std::memcpy(bytes, hit->second.bytes.data(), block);
            return;
        }
        std::uint64_t at = physical(logical);
        if (shape.kind == fake::mirror && at == nowhere)
            at = logical % realblocks;
        if (at == nowhere && shape.kind == fake::noise) {
            originalblock(logical + (++noisereads << 40), bytes);
        } else if (at == nowhere && shape.kind == fake::stale) {
            originalblock(logical, bytes);
        } else if (at == nowhere) {
            std::memset(bytes, shape.kind == fake::ones ? 0xff : 0, block);
        } else if (auto kept = pages.find(at / pageblocks);
                   kept != pages.end() && kept->second.written[at % pageblocks]) {
            std::memcpy(bytes, &kept->second.bytes[at % pageblocks * block], block);
        } else {
            originalblock(at, bytes);
        }
    }

    void keep(std::uint64_t at, const char* bytes)
    {
        page& kept = pages[at / pageblocks];
        if (kept.bytes.empty()) {
            kept.bytes.resize(pageblocks * block);
            kept.written.resize(pageblocks);
        }
        std::memcpy(&kept.bytes[at % pageblocks * block], bytes, block);
        kept.written[at % pageblocks] = true;
    }

    void store(std::uint64_t logical, const char* bytes)
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
            keep(slot, bytes);
            return;
        }
        if (const std::uint64_t at = physical(logical); at != nowhere)
            keep(at, bytes);
    }

    bool admitted(std::uint64_t logical, const char* bytes, std::size_t size)
    {
        if (shape.cachebytes == 0)
            return false;
        switch (shape.cache) {
        case admits::every:
            return true;
        case admits::small:
            return size <= 4096;
        case admits::sector:
            return size <= 512;
        case admits::unreal:
            return !stored(logical);
        case admits::changed:
            current(logical, scratch.data());
            return std::memcmp(scratch.data(), bytes, block) != 0;
        }
        return false;
    }

    void remember(std::uint64_t logical, const char* bytes)
    {
        auto [it, added] = cached.try_emplace(logical);
        it->second.bytes.assign(bytes, block);
        if (added || shape.keeping != keeps::place) {
            it->second.number = ++writes;
            order.emplace_back(logical, writes);
        }
        evict();
    }

    // A read of a cached place makes it the newest.
    void refresh(std::uint64_t logical)
    {
        cached[logical].number = ++writes;
        order.emplace_back(logical, writes);
    }

    // The oldest entries go, until what is left fits: a log counts every
    // write it took, the others every place.
    void evict()
    {
        auto held = [this] { return (shape.keeping == keeps::log ? order.size() : cached.size()) * block; };
        while (held() > shape.cachebytes) {
            auto [oldest, when] = order.front();
            order.pop_front();
            if (auto found = cached.find(oldest); found != cached.end() && found->second.number == when)
                cached.erase(found);
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
    std::vector<char> scratch;
    std::unordered_map<std::uint64_t, page> pages;
    // What the cache took, answered first, and its entries oldest first.
    std::unordered_map<std::uint64_t, entry> cached;
    std::deque<std::pair<std::uint64_t, std::uint64_t>> order;
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

    bool truncate(std::uint64_t size) override
    {
        bytes.resize(std::min<std::size_t>(bytes.size(), size));
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
