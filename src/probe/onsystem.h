// The device and the journal's file as the system holds them, for the
// run and for what it does with the device after the probe.
#pragma once

#include "platform/blockdevice.h"
#include "platform/journalfile.h"
#include "platform/process.h"
#include "probe/device.h"
#include "probe/journal.h"

#include <string>
#include <utility>

namespace probe {

// The device that kapprobe opened, counting what goes each way.
class blockdevice : public device {
  public:
    blockdevice(devicehandle handle, std::uint64_t size, std::uint32_t unit)
        : device(size, unit), handle(handle)
    {
    }

    bool read(std::uint64_t offset, unsigned char* data, std::size_t size) override
    {
        bytesread += size;
        return readdevice(handle, offset, data, size) || failed();
    }

    bool write(std::uint64_t offset, const unsigned char* data, std::size_t size) override
    {
        byteswritten += size;
        return writedevice(handle, offset, data, size) || failed();
    }

    bool settle() override
    {
        return (flushdevice(handle) && reopendevice(&handle)) || failed();
    }

    std::string failure() const override
    {
        return reason;
    }

    devicehandle held() const
    {
        return handle;
    }

    // Goes on where other, a view of the same device in another unit, left
    // off: with its handle, which settling may have opened anew, and its I/O.
    void takeover(blockdevice& other)
    {
        handle = other.handle;
        bytesread += std::exchange(other.bytesread, 0);
        byteswritten += std::exchange(other.byteswritten, 0);
    }

    std::uint64_t bytesread = 0;
    std::uint64_t byteswritten = 0;

  private:
    bool failed()
    {
        reason = systemreason();
        return false;
    }

    devicehandle handle;
    std::string reason;
};

// The journal's file in the current directory.
class journalonfile : public journalfile {
  public:
    explicit journalonfile(journalhandle handle) : handle(handle) {}

    bool append(const unsigned char* data, std::size_t size) override
    {
        return appendjournal(handle, data, size) || failed();
    }

    bool read(std::uint64_t offset, unsigned char* data, std::size_t size) override
    {
        return readjournal(handle, offset, data, size) || failed();
    }

    bool sync() override
    {
        return syncjournal(handle) || failed();
    }

    bool truncate(std::uint64_t size) override
    {
        return truncatejournal(handle, size) || failed();
    }

    std::uint64_t size() override
    {
        return journalsize(handle);
    }

    std::string failure() const
    {
        return reason;
    }

    const journalhandle handle;

  private:
    bool failed()
    {
        reason = systemreason();
        return false;
    }

    std::string reason;
};

// A random number of 64 bits, new for each call, that tells a run's stamps
// and journal from every other's.
std::uint64_t runkey();

} // namespace probe
