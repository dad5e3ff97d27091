// The process itself: the system it runs on, its rights, the reasons the
// system gives, the signals that ask it to stop, its memory, the tools it
// runs and its end.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The system the program was built for, for texts that name its own tools.
enum class operatingsystem { gnulinux, macos, windows };
operatingsystem thissystem();

// The system's reason, in its own words, why the last call of this layer
// failed; to be asked at once, before any other call.
std::string systemreason();

// True when the program runs with the rights that raw devices need (root,
// or an administrator on Windows).
bool privileged();

// From now on, an interrupt, a termination or a hang-up of the terminal no
// longer ends the process but is remembered, so that it can undo its work;
// a signal that was ignored at the start stays ignored, and a write to a
// closed pipe fails instead of ending the process.
void catchstops();
bool stoprequested();

// size bytes, aligned for unbuffered I/O (to the page, which is 16 KiB on
// some machines); nullptr on failure.
unsigned char* allocbuffer(std::size_t size);
void freebuffer(unsigned char* buffer);

// Ends the process at once with status 3, as the platform's abort does,
// after its "abnormal program termination" notice on standard error.
[[noreturn]] void abnormalend();

// A tool of the system, run to its end with no input: the one of that name
// in the system's own directories (on Windows its system directory), never
// one that a search path or the current directory offers. Whether it
// started (not: it is not installed), its exit status, and what it wrote.
struct toolrun {
    bool started = false;
    int status = -1;
    std::string output;
};
toolrun runtool(const std::vector<std::string>& arguments);
