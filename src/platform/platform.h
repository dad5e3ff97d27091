// The few services of the operating system that kapmess needs, one source
// file per platform. Every call reports success or failure in its result; the
// driver turns a failure into its own message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The high-resolution counter, under the names and with the contract of the
// Windows calls: a fixed frequency in ticks per second and a count that never
// goes backwards, each delivered through the out-parameter.
bool QueryPerformanceFrequency(std::int64_t* frequency);
bool QueryPerformanceCounter(std::int64_t* count);

// Puts the null device where standard input, output or error is closed, so
// that no test file can take its place and receive the messages.
void openstandardstreams();

// Lets the console show the UTF-8 messages.
void setupconsole();

// The width in columns, now, of the terminal that standard output goes to,
// which then also understands the erase to the end of the line ("\x1b[K");
// 0 when standard output is a file, a pipe or a terminal that cannot erase
// (TERM=dumb), where nothing is rewritten.
int terminalcolumns();

// Holds the current directory for this run until the process ends: alone when
// exclusive, else shared with other shared holders. False only when another
// run holds it; where the file system has no locks, the run goes on without.
bool lockdirectory(bool exclusive);

// size bytes, aligned for unbuffered I/O; nullptr on failure.
unsigned char* allocbuffer(std::size_t size);
void freebuffer(unsigned char* buffer);

using filehandle = std::intptr_t;
constexpr filehandle nofile = -1;

// Opens name write-only, creating or truncating it. Only a regular file of
// one name is opened, never through a symbolic link: no link, hard or
// symbolic, can redirect the write to another file, and a FIFO or a device
// where a test file goes is neither waited on nor truncated nor written.
filehandle createfile(const char* name);

// Opens the existing regular file name read-only, so that the reads that
// follow come from the medium and not from what the operating system still
// caches of the file or of the device beneath its file system.
filehandle openfile(const char* name);

// One request of size bytes; anything less than all of them is a failure.
bool writefile(filehandle file, const unsigned char* data, std::size_t size);

// Told after each write how many bytes the file holds, sends what was written
// on to the medium and waits for what was written a little earlier, so that
// the writer moves at the medium's pace and little data waits in memory.
// False when the medium did not take the data.
bool writebehind(filehandle file, std::uint64_t written);

// Puts everything written to file on the medium; false when it did not get there.
bool flushfile(filehandle file);

// size bytes, asking again for the rest of a short delivery; the end of the
// file or an error before the last byte is a failure.
bool readfile(filehandle file, unsigned char* data, std::size_t size);

// size bytes from offset of file, without moving on; anything less is a failure.
bool readfileat(filehandle file, std::uint64_t offset, unsigned char* data, std::size_t size);

bool closefile(filehandle file);

bool removefile(const char* name);

// The system the program was built for, for texts that name its own tools.
enum class operatingsystem { gnulinux, macos, windows };
operatingsystem thissystem();

// The system's reason, in its own words, why the last call of this layer
// failed; to be asked at once, before any other call.
std::string systemreason();

// True when the program runs with the rights that raw devices need (root,
// or an administrator on Windows).
bool privileged();

// kapprobe's undo journal: a plain file through the system's cache, flushed
// at each commit, held by one run alone for its life.
using journalhandle = std::intptr_t;
constexpr journalhandle nojournal = -1;

enum class journalopen { opened, missing, inuse, failed };

// Creates name, which must not exist yet, for reading and appending, and puts
// its entry in the directory on the medium. nojournal, and how says why
// (inuse: it exists), when it cannot be made.
journalhandle createjournal(const char* name, journalopen* how);

// Opens the existing file name for reading and its removal, held so that no
// other run opens it meanwhile; nojournal, and how says why, otherwise.
journalhandle openjournal(const char* name, journalopen* how);

bool appendjournal(journalhandle journal, const unsigned char* data, std::size_t size);
// size bytes from offset; anything less is a failure.
bool readjournal(journalhandle journal, std::uint64_t offset, unsigned char* data, std::size_t size);
// Puts everything appended on the journal's medium; false when it did not get there.
bool syncjournal(journalhandle journal);
// Its length in bytes, as the file system has it now.
std::uint64_t journalsize(journalhandle journal);
void closejournal(journalhandle journal);
// Removes name, which journal holds open, and closes it.
bool removejournal(journalhandle journal, const char* name);

// Bytes that a new file in the current directory can still take.
std::uint64_t freebytes();
// True when the current directory lies in memory (tmpfs, a RAM disk), whose
// files a power cut takes with it.
bool directoryinmemory();

// A whole block device, open for direct reading and writing and held alone.
using devicehandle = std::intptr_t;
constexpr devicehandle nodevice = -1;

// Why a device was not opened.
enum class refusal {
    none,
    notfound,
    notblockdevice,
    partition,
    mounted,
    systemdisk,
    notpermitted,
    cannotopen
};

struct deviceinfo {
    std::uint64_t size = 0;
    std::uint32_t sectorsize = 0;
    refusal why = refusal::none;
    // The whole device of a partition; where a mounted one is mounted; the
    // drive of Windows or of the current directory on the same disk.
    std::string whole;
    // The system's reason when it refused the open (busy, no permission).
    std::string reason;
    // Maker, model and serial number as the device tells them, or what else
    // tells it from a device of the same size; empty where nothing does.
    std::string identity;
    // The device as the system names it (/dev/sdb for a link in
    // /dev/disk/by-id, \\.\PhysicalDrive2 for E:), and its disk number on
    // Windows (-1 elsewhere).
    std::string node;
    int disknumber = -1;
};

// Opens path, which must be a whole block device of which neither itself
// nor any partition is mounted, exclusively (an open that another holder
// of the device refuses), for I/O that bypasses every cache of the system,
// and finds its size, logical block size and identity. nodevice when
// refused, and info says why; nothing is ever written by this call.
devicehandle opendevice(const char* path, deviceinfo* info);

// size bytes at offset, both multiples of the logical block size, data
// aligned for direct I/O; false on an I/O error.
bool readdevice(devicehandle device, std::uint64_t offset, unsigned char* data, std::size_t size);
bool writedevice(devicehandle device, std::uint64_t offset, const unsigned char* data, std::size_t size);
bool flushdevice(devicehandle device);

// Closes *device and opens it again as before, where the system would
// otherwise answer a read from what it kept of the writes (Windows); true
// where there is nothing to do.
bool reopendevice(devicehandle* device);

// From now on, an interrupt, a termination or a hang-up of the terminal no
// longer ends the process but is remembered, so that it can undo its work;
// a signal that was ignored at the start stays ignored, and a write to a
// closed pipe fails instead of ending the process.
void catchstops();
bool stoprequested();

// Ends the process at once with status 3, as the platform's abort does,
// after its "abnormal program termination" notice on standard error.
[[noreturn]] void abnormalend();
