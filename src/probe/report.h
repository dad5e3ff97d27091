// What kapprobe says about a device: why it was refused, what did not come
// back, and the verdict, as texts that the run prints as it goes.
#pragma once

#include "platform/blockdevice.h"
#include "probe/advice.h"
#include "probe/figures.h"
#include "probe/journal.h"
#include "probe/search.h"

#include <cstdarg>
#include <cstdint>
#include <string>
#include <vector>

namespace probe {

// The exit statuses: no sign of a counterfeit; no verdict (every byte back);
// counterfeit or damaged; something not written back.
constexpr int sound = 0, noverdict = 1, unsound = 2, notrestored = 4;
// A usable size below this is too little to be of use: no partition is
// advised or made.
constexpr std::uint64_t unusable = 16 * mib;

// printf into a string. The two have two names: where va_list is a char*
// (Windows), one overload would take a single char* argument for the list.
std::string formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string vformatted(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

// Why path, opened as info tells, is refused.
std::string refusaltext(const char* path, const deviceinfo& info);

// The device a journal was written for, as its header tells.
std::string journaldevice(const journalheader& header);

// What of the journal name did not come back, and restorecommand, which
// writes it back again.
std::string restorationtext(const restoration& restored, const journalcontents& contents,
                            const std::string& name, const std::string& journalfailure,
                            const std::string& restorecommand);

// What a counterfeit device does behind its usable size.
std::string beyondtext(const findings& found);

// The device a verdict speaks of: its claimed size, its name as given and
// for the partition commands, and its run's journal, with the reason it took
// no more where it did not.
struct verdictplace {
    std::uint64_t size;
    std::string path;
    partitiontarget target;
    std::string journal;
    std::string journalfailure;
    // The run goes on to make the usable part of use, and says so itself.
    bool fixing;
    // Where the one partition of a table that already fits the usable part
    // ends; 0 where the device has no such table.
    std::uint64_t fittingend = 0;
};

// The verdict of found, empty for a stopped run.
std::string verdicttext(const findings& found, const verdictplace& place);

// What --fix did: where it saved what it replaces, the partition it
// wrote (written: the table is on the device), and how it was formatted,
// or the command that formats it.
struct fixreport {
    bool written = false;
    std::uint64_t first = 0;
    std::uint64_t size = 0;
    std::string filesystem;
    std::string label;
    std::string backup;
    bool formatted = false;
    std::string command;
};

// What a run found out about its device, for the document of --json.
struct runresult {
    // sound, counterfeit, damaged, overwrites, stopped, refused, failed or
    // lost; empty where the run only wrote back. found holds what the
    // probe found where it reached a verdict.
    std::string verdict = "refused";
    int status = noverdict;
    findings found{};
    std::uint64_t written = 0;
    std::uint64_t read = 0;
    double seconds = 0;
    // The verdict's text; else what the run said.
    std::string message;
    fixreport fixed;
};

// The name of a verdict in the document.
std::string verdictname(verdict outcome);

// A run's end in a few words, for its line in a batch: the verdict, or that
// it was stopped, and whether everything went back.
std::string shortverdict(const findings& found, bool stopped, bool back);

// One device of the document: as given, as it was found, and its run.
struct deviceresult {
    std::string device;
    deviceinfo info;
    runresult run;
};

// The document of --json: the program's version, the status it ends with,
// each device in the order given, and what ended the run before any device
// (empty where nothing did).
std::string jsondocument(const std::string& version, int status, const std::vector<deviceresult>& devices,
                         const std::string& error = "");

} // namespace probe
