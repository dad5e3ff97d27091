// The self-describing blocks of a probe: each sector written carries the run's
// key, its own place on the device and the round that wrote it, so that a
// sector read back tells whether it is the one expected, a stale one, or the
// copy of another place that shares its storage.
#pragma once

#include <cstddef>
#include <cstdint>

namespace probe {

// Fills sector (size bytes, a multiple of 8) with the stamp of round for the
// place offset, under the run's key.
void stamp(unsigned char* sector, std::size_t size, std::uint64_t key, std::uint64_t offset,
           std::uint32_t round);

// True when sector holds a whole stamp of the run with this key; its place
// and round then go to offset and round. A sector of another run, or one
// changed in any byte, is not a stamp.
bool readstamp(const unsigned char* sector, std::size_t size, std::uint64_t key, std::uint64_t* offset,
               std::uint32_t* round);

// What a sector that is not the expected stamp holds instead.
enum class content { zeros, ones, other };
content classify(const unsigned char* sector, std::size_t size);

// The next value of a well-mixed 64-bit stream that *state runs through.
std::uint64_t nextrandom(std::uint64_t* state);

// A 64-bit FNV-1a hash of size bytes, continued from hash.
std::uint64_t fnv1a(const unsigned char* data, std::size_t size, std::uint64_t hash = 0xcbf29ce484222325);

} // namespace probe
