// What Linux and macOS share of the platform layer, and the few calls in
// which each of them differs, defined in linux/ and macos/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <sys/stat.h>

namespace posix {

// True when fd is a regular file, which from now on blocks as files do.
bool regularfile(int fd, struct stat& status);

// size bytes at offset, asking again for the rest of a short transfer;
// anything less is a failure.
bool readat(int fd, std::uint64_t offset, unsigned char* data, std::size_t size);
bool writeat(int fd, std::uint64_t offset, const unsigned char* data, std::size_t size);

// Each system's own: the clock that counts on at a fixed rate and does not
// count the time the machine sleeps.
extern const clockid_t monotonic;

// What the system does beyond POSIX for a test file created for writing,
// opened for the verify pass (false where a cache of the system could not
// be made to forget it), or about to be closed.
void startwriting(int fd);
bool startverifying(int fd);
void stopusing(int fd);

// Puts what was written to fd on the medium, past every cache the system
// can reach; false when it did not get there.
bool tomedium(int fd);

} // namespace posix
