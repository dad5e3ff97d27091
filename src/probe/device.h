// The device a probe works on, reached through an interface, so that the
// search and the journal run over a real device as over a model of one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace probe {

class device {
  public:
    device(std::uint64_t size, std::uint32_t sectorsize) : size(size), sectorsize(sectorsize) {}
    virtual ~device() = default;

    // size bytes at offset into data (aligned for direct I/O); false on an
    // I/O error.
    virtual bool read(std::uint64_t offset, unsigned char* data, std::size_t size) = 0;
    virtual bool write(std::uint64_t offset, const unsigned char* data, std::size_t size) = 0;
    // Puts what was written on the medium, so that no cache of the system
    // answers for it when it is read back; false when the device is lost.
    virtual bool settle() = 0;
    // The system's reason why the last call failed.
    virtual std::string failure() const = 0;

    // Bytes, as the device claims them.
    const std::uint64_t size;
    // Every offset and size of a call is a multiple of it.
    const std::uint32_t sectorsize;
};

// Told at each step: the round of the search (0 outside it), what is being
// done, and the bytes read from and written to the device so far.
using progressreport = std::function<void(int round, const char* step, std::uint64_t done)>;

// The first MiB holds the partition table and the start of the first file
// system: a probe never writes there.
constexpr std::uint64_t protectedbytes = 1 << 20;
// The largest piece read or written at once, and so the largest buffer.
constexpr std::size_t chunkbytes = 4 << 20;

// The unit a probe reads, writes and saves in: the physical sector where
// the device tells one that holds whole logical sectors, as writing part of
// one makes the device read, change and write all of it, and a power cut
// then can tear places that were never saved; else the logical sector.
std::uint32_t probeunit(std::uint32_t logical, std::uint32_t physical);

// A buffer aligned for direct I/O, released with its owner; data is null
// when the memory could not be had.
class iobuffer {
  public:
    explicit iobuffer(std::size_t size);
    ~iobuffer();
    iobuffer(const iobuffer&) = delete;
    iobuffer& operator=(const iobuffer&) = delete;

    unsigned char* const data;
};

} // namespace probe
