// kapprobe's undo journal: a plain file through the system's cache, put on
// its medium at each commit, held by one run alone for its life.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class journalhandle : std::intptr_t { none = -1 };

enum class journalopen { opened, missing, inuse, failed };

// Creates name, which must not exist yet, for reading and appending, and puts
// its entry in the directory on the medium. none, and how says why (inuse:
// it exists), when it cannot be made.
journalhandle createjournal(const char* name, journalopen* how);

// Opens the existing file name for reading and its removal, held so that no
// other run opens it meanwhile; none, and how says why, otherwise.
journalhandle openjournal(const char* name, journalopen* how);

bool appendjournal(journalhandle journal, const unsigned char* data, std::size_t size);
// size bytes from offset; anything less is a failure.
bool readjournal(journalhandle journal, std::uint64_t offset, unsigned char* data, std::size_t size);
// Puts everything appended on the journal's medium; false when it did not get there.
bool syncjournal(journalhandle journal);
// Cuts the file to its first size bytes, where the next append goes; what
// lay behind them was never in force.
bool truncatejournal(journalhandle journal, std::uint64_t size);
// Its length in bytes, as the file system has it now.
std::uint64_t journalsize(journalhandle journal);
void closejournal(journalhandle journal);
// Removes name, which journal holds open, and closes it; false when the
// removal failed or did not get onto the medium, where a power cut undoes it.
bool removejournal(journalhandle journal, const char* name);

// The regular files in the current directory whose names begin with prefix
// and end in ".undo", sorted; empty when the directory cannot be read.
std::vector<std::string> journalsin(const std::string& prefix);

// Bytes that a new file in the current directory can still take.
std::uint64_t freebytes();
// True when the current directory lies in memory (tmpfs, a RAM disk), whose
// files a power cut takes with it.
bool directoryinmemory();
