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

// True when sector holds a whole stamp of any run; that run's key then goes
// to key. Such a sector is left by a run that has not written it back yet.
bool stampofanyrun(const unsigned char* sector, std::size_t size, std::uint64_t* key);

// Where storage is shared at an offset smaller than a sector, a sector
// holds the end of one stamp and the start of another. Of sector (size
// bytes), the bytes before tailend are the end of a stamp of the run with
// key and those from headstart on the start of one; a whole stamp has
// headstart 0, a sector without any tailend 0 and headstart size. Parts are
// found at multiples of 512 bytes, the finest grain of any storage.
struct runparts {
    std::size_t tailend;
    std::size_t headstart;
};
runparts findrunparts(const unsigned char* sector, std::size_t size, std::uint64_t key);

// True when every byte in which saved and found (size bytes, one sector)
// differ lies in a part of a stamp of the run with key in saved, or with
// eitherside also in found.
bool differsonlybyrun(const unsigned char* saved, const unsigned char* found, std::size_t size,
                      std::uint64_t key, bool eitherside);

// What a sector that is not the expected stamp holds instead.
enum class content { zeros, ones, other };
content classify(const unsigned char* sector, std::size_t size);

// The next value of a well-mixed 64-bit stream that *state runs through.
std::uint64_t nextrandom(std::uint64_t* state);

// A 64-bit FNV-1a hash of size bytes, continued from hash.
std::uint64_t fnv1a(const unsigned char* data, std::size_t size, std::uint64_t hash = 0xcbf29ce484222325);

} // namespace probe
