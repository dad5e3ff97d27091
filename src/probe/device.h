// The device a probe works on, reached through two calls, so that the search
// runs over a real device as over a model of one.
#pragma once

#include <cstddef>
#include <cstdint>

namespace probe {

struct device {
    // Bytes, as the device claims them.
    std::uint64_t size;
    // Every offset and size of a call is a multiple of it.
    std::uint32_t sectorsize;
    void* context;
    // size bytes at offset into data (aligned for direct I/O); false on an
    // I/O error.
    bool (*read)(void* context, std::uint64_t offset, unsigned char* data, std::size_t size);
    bool (*write)(void* context, std::uint64_t offset, const unsigned char* data, std::size_t size);
    // Called between writing and reading back, so that no cache of the
    // system answers for what was written; may be null. False when the
    // device is lost.
    bool (*settle)(void* context);
};

// Told at each step: the round of the search (0 outside it), what is being
// done, and the bytes read from and written to the device so far.
using progressreport = void (*)(int round, const char* step, std::uint64_t done);

// The first MiB holds the partition table and the start of the first file
// system: a probe never writes there.
constexpr std::uint64_t protectedbytes = 1 << 20;
// The largest piece read or written at once, and so the largest buffer.
constexpr std::size_t chunkbytes = 4 << 20;

} // namespace probe
