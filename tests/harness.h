// Runs the built program in scratch directories and collects what it printed.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

struct outcome {
    std::string out;
    std::string err;
    int status;
    // The figures of the rate lines, in MiB/s, before they were masked.
    std::vector<double> rates;
    // On a terminal: the bytes of out that had come when the window was
    // narrowed, and the longest time in seconds that no byte came.
    std::size_t narrowedat = 0;
    double longestpause = 0;
};

// How the program is started: the rules of the fault-injection library to
// inject, and where its standard output goes.
struct invocation {
    // The command that runs the program, when it is not kapmess.
    std::vector<std::string> command;
    std::string faults;
    bool stdoutclosed = false;
    // Above 0: standard output is a raw pseudo-terminal this wide, with TERM
    // set to term, narrowed to narrowto columns once narrowafter has come.
    int columns = 0;
    std::string term = "xterm";
    std::string narrowafter;
    int narrowto = 0;
};

// Waits up to seconds for a program to get as far as the bytes that reached
// file (its standard output) show; a failure of the test if it never does.
void waitfor(const std::filesystem::path& file, const std::string& shown, int seconds = 5);

// Started with the faults injected, output into a file.
invocation injecting(const std::string& faults);

// A program started and not yet collected.
struct running {
    int pid;
    int terminal;
    invocation how;
    std::filesystem::path outpath, errpath;
};

// The two banner lines that begin every run.
extern const std::string banner;
// A rate line, its figure masked.
extern const std::string rateline;
extern const std::string verifyheading;

std::string writeprogress(const std::string& name, int percent);
std::string verifyprogress(const std::string& name, int percent);

// The complete output of a run that wrote (unless verifyonly) and verified a
// set of one file without finding a bad block.
std::string cleanrun(bool verifyonly = false);

// The command that runs kapprobe: the build's own, or under an emulator
// the one beside the kapmess under test; under qemu-user, as natively, one
// program (a script that starts the emulator).
std::vector<std::string> kapprobecommand();

// Text as Linux ends its lines: a Windows program's standard error ends
// them with CR LF.
std::string plainlines(std::string text);

// A number as a German text prints it, "7.948.206.080", four digits and
// fewer as they are; and such a text's number back.
std::string german(std::uint64_t number);
std::uint64_t fromgerman(std::string text);

// True when the program under test runs under an emulator named in
// KAPMESS_UNDER_TEST: Wine, or qemu-user for another architecture. The
// fault-injection library does not reach it, and the suite leaves the file
// systems on loop devices to the native run. Its system calls reach what the
// host attaches unchanged: fake cards, and under qemu-user a tmpfs.
bool emulated();

// True when the program under test is a Windows build run under Wine
// (KAPMESS_UNDER_TEST names the command): its output is a text stream with
// CR LF line ends, and Linux-only tools (mounts, links, preloading) don't reach it.
bool underwine();

// What a shell command prints on its standard output.
std::string printedby(const std::string& command);

// Runs a command of one of the test device scripts in tests/: empty when it
// worked, with what it printed in printed; else what it said. A failure other
// than "cannot here" (status 77) is the test's own fault and fails the test.
std::string script(const std::string& name, const std::string& arguments, std::string* printed = nullptr);

std::string sha256(const std::filesystem::path& path);
// The digest of a whole device, read past every cache of the system.
std::string devicedigest(const std::string& device);
std::string readbytes(const std::filesystem::path& path, long offset, std::size_t count);
void writebytes(const std::filesystem::path& path, long offset, const std::string& bytes);

// Skips the test, saying why, where a card or medium could not be attached.
#define ATTACH_OR_SKIP(attached)                                                                             \
    do {                                                                                                     \
        const std::string why = attached;                                                                    \
        if (!why.empty())                                                                                    \
            GTEST_SKIP() << why;                                                                             \
    } while (false)

// A fresh, empty directory for the program to run in, removed afterwards.
class scratch : public testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Runs the program in dir with args, the faults (rules of the
    // fault-injection library) injected. Rates in the output are replaced by
    // "R" once their format has been checked, so that whole outputs compare
    // byte for byte.
    outcome run(const std::vector<std::string>& args, const std::string& faults = "");

    // The same with standard output on a raw pseudo-terminal 100 columns wide:
    // out holds the bytes that the terminal got.
    outcome runonterminal(const std::vector<std::string>& args, const std::string& faults = "");

    // Runs the program as how says.
    outcome run(const std::vector<std::string>& args, const invocation& how);

    // Starts the program and returns at once; collect waits for its end.
    running start(const std::vector<std::string>& args, const invocation& how);
    outcome collect(running& program);

    // Mounts a tmpfs with these options on dir, unmounted at the end of the
    // test; false where this machine does not allow it.
    bool mountmedium(const char* options);

    // Mounts a file system of type (ext4 or exfat) on dir, on a loop device
    // over an image of mib MiB, unmounted at the end of the test; with rates
    // in MiB/s the device is throttled to them. Empty when mounted, else why not.
    std::string mountloop(const std::string& type, int mib, int writerate = 0, int readrate = 0);

    // Attaches a fake card on a loop device (tests/card.sh attach, with the
    // arguments after the fake card program), its file system mounted beside
    // dir; detached at the end of the test. Empty when attached, and card
    // names the device, cardname what kapprobe is given for it (under Wine
    // the drive X:, linked to it); else why not. A second card goes to
    // other and othername (under Wine Y:), a third to third and thirdname
    // (under Wine W:).
    std::string attachcard(const std::string& arguments);
    std::string attachothercard(const std::string& arguments);
    std::string attachthirdcard(const std::string& arguments);
    // Detaches every card attached.
    void detachcards();
    // Throttles the card, or the card device, to these rates in MiB/s; empty,
    // or why not.
    std::string throttlecard(int writerate, int readrate);
    std::string throttlecard(const std::string& device, int writerate, int readrate);
    // The file that holds the card's storage, and the file that the loop
    // device reads.
    std::filesystem::path cardstore(const std::string& which = ".card") const;
    std::filesystem::path cardfile() const;
    std::string card;
    std::string cardname;
    std::string other;
    std::string othername;
    std::string third;
    std::string thirdname;

    // Mounts the file system on the first partition of device on dir, and
    // unmounts it once everything is written; empty when mounted, else why
    // not. A partition still mounted is unmounted at the end of the test.
    std::string mountpartition(const std::string& device);
    void unmountpartition();

    // The image beneath a mountloop medium.
    std::filesystem::path image() const;

    // Where the scratch directory is made: /dev/shm by default.
    virtual const char* scratchbase() const;

    // Names in dir, sorted.
    std::vector<std::string> files() const;

    std::filesystem::path dir;

  private:
    std::string attach(const std::string& directory, const std::string& arguments, char drive,
                       std::string* device, std::string* name);

    std::filesystem::path root;
    int started = 0;
    bool mounted = false;
    bool loopmounted = false;
    bool partitionmounted = false;
};
