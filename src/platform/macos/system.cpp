// macOS: the system's name, its clock, and what lies in memory.
#include "platform/journalfile.h"
#include "platform/posix/posix.h"
#include "platform/process.h"

namespace posix {

// CLOCK_MONOTONIC counts on while a Mac sleeps; this one does not.
const clockid_t monotonic = CLOCK_UPTIME_RAW;

} // namespace posix

operatingsystem thissystem()
{
    return operatingsystem::macos;
}

// A RAM disk of macOS is a disk like any other; without the frameworks that
// tell its kind, no directory is known to lie in memory.
bool directoryinmemory()
{
    return false;
}
