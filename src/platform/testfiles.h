// kapmess's test files: written at the medium's pace, put on the medium
// before they are closed, and read back from the medium, not from any cache
// of the system. Each call reports success or failure; the driver turns a
// failure into its own message.
#pragma once

#include <cstddef>
#include <cstdint>

enum class filehandle : std::intptr_t { none = -1 };

// Holds the current directory for this run until the process ends: alone when
// exclusive, else shared with other shared holders. False only when another
// run holds it; where the file system has no locks, the run goes on without.
bool lockdirectory(bool exclusive);

// Opens name write-only, creating or truncating it. Only a regular file of
// one name is opened, never through a symbolic link: no link, hard or
// symbolic, can redirect the write to another file, and a FIFO or a device
// where a test file goes is neither waited on nor truncated nor written.
filehandle createfile(const char* name);

// Opens the existing regular file name read-only, so that the reads that
// follow come from the medium and not from what the operating system still
// caches of the file or of the device beneath its file system.
filehandle openfile(const char* name);

// False once a file opened by openfile may be read from a cache of the
// system all the same: beneath a FUSE file system whose device could not be
// found or opened.
bool readfrommedium();

// One request of size bytes; anything less than all of them is a failure.
bool writefile(filehandle file, const unsigned char* data, std::size_t size);

// Told after each write how many bytes the file holds, sends what was written
// on to the medium and waits for what was written a little earlier, so that
// the writer moves at the medium's pace and little data waits in memory.
// False when the medium did not take the data.
bool writebehind(filehandle file, std::uint64_t written);
// The step, in bytes written, at which writebehind sends data on.
constexpr std::uint64_t writebehindstep = 1 << 20;

// Puts everything written to file on the medium; false when it did not get there.
bool flushfile(filehandle file);

// size bytes from offset of file, asking again for the rest of a short
// delivery; the end of the file or an error before the last byte is a
// failure.
bool readfileat(filehandle file, std::uint64_t offset, unsigned char* data, std::size_t size);

bool closefile(filehandle file);
