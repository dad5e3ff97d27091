// The few services of the operating system that kapmess needs, one source
// file per platform. Every call reports success or failure in its result; the
// driver turns a failure into its own message.
#pragma once

#include <cstddef>
#include <cstdint>

// The high-resolution counter, under the names and with the contract of the
// Windows calls: a fixed frequency in ticks per second and a count that never
// goes backwards, each delivered through the out-parameter.
bool QueryPerformanceFrequency(std::int64_t* frequency);
bool QueryPerformanceCounter(std::int64_t* count);

// Lets the console show the UTF-8 messages.
void setupconsole();

// size bytes, aligned for unbuffered I/O, never released; nullptr on failure.
unsigned char* allocbuffer(std::size_t size);

using filehandle = std::intptr_t;
constexpr filehandle nofile = -1;

// Opens name write-only, creating or truncating it; never through a symbolic
// link, so a link where a test file goes cannot redirect the write elsewhere.
filehandle createfile(const char* name);

// Opens the existing file name read-only, so that the reads that follow come
// from the medium and not from what the operating system still caches of it.
filehandle openfile(const char* name);

// One request of size bytes; anything less than all of them is a failure.
bool writefile(filehandle file, const unsigned char* data, std::size_t size);

// size bytes, asking again for the rest of a short delivery; the end of the
// file or an error before the last byte is a failure.
bool readfile(filehandle file, unsigned char* data, std::size_t size);

bool closefile(filehandle file);

// Ends the process at once with status 3, as the platform's abort does,
// after its "abnormal program termination" notice on standard error.
[[noreturn]] void abnormalend();
