// kapmess: fills the current directory with a set of test files, reports how
// fast the data went in, reads them back, reports every block that came back
// wrong and how fast the data came out. With -r it only verifies a set that an
// earlier run left.
#include "console/liveline.h"
#include "driver/numbers.h"
#include "driver/showdiff.h"
#include "pattern/pattern.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/process.h"
#include "platform/testfiles.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

using pattern::blocksize;
using pattern::filenamesize;

namespace {

constexpr char revision[] = "$Revision: 1.6 $";
constexpr std::size_t revisionprefix = sizeof "$Revision: " - 1;

constexpr char usage[] = "Aufruf: kapmess <Datenmenge> [-r]\n"
                         "        <Datenmenge> in MByte\n"
                         "        -r  nur lesen (Dateien muessen bereits existieren)\n";

char versiontext[sizeof revision];
bool verifyonly;
std::int32_t amount;
unsigned char* expected;
unsigned char* readback;
std::int64_t frequency;
std::int64_t starttime;
std::int64_t stoptime;
std::uint64_t errorcount;
// True when stdout is a terminal that can rewrite its line. Its width is read
// at each update, as the window may change while the run goes on.
bool onterminal;

// Blocks between two looks at the clock for the live progress line.
constexpr std::int64_t liveblocks = 4;

// Every failure the program reports ends here: message on stdout, status 1.
// Whatever stdout still buffers goes out on the way; files stay as they are.
[[noreturn]] __attribute__((format(printf, 1, 2))) void fatal(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    // On some machines the analyzer loses the va_start just above.
    std::vprintf(format, args); // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(args);
    std::exit(1);
}

void deriveversion()
{
    const char* start = revision + revisionprefix;
    std::size_t length = std::strcspn(start, " ");
    std::memcpy(versiontext, start, length);
    versiontext[length] = '\0';
}

void startup(int argc, char* argv[])
{
    deriveversion();
    std::printf("Kapmess -- Prüfprogramm für Speichermedien, von den Kapmess-Autoren\n");
    std::printf("Version %s, Copyright (c) 2026 die Kapmess-Autoren\n", versiontext);

    if (argc != 2 && argc != 3)
        fatal("%s", usage);
    if (argc == 3) {
        if (std::strcmp(argv[2], "-r") != 0)
            fatal("*** Ungueltiger Parameter '%s'\n", argv[2]);
        verifyonly = true;
    }
    // Both buffers before the amount: a run that cannot get its memory says so
    // whatever amount it was given.
    expected = allocbuffer(blocksize);
    if (expected != nullptr)
        readback = allocbuffer(blocksize);
    if (readback == nullptr)
        fatal("*** Nicht genügend Speicher für Datenpuffer.\n");
    amount = parseamount(argv[1]);
    if (amount <= 0)
        fatal("*** Datenmenge muss größer als 0 sein.\n");
    if (!QueryPerformanceFrequency(&frequency))
        fatal("*** Win32 stellt keinen hochauflösenden Timer bereit.\n");
}

// A failed counter reading ends the run like a failed assertion: the report
// on stderr names the call and its line in this file, and the status is 3.
#define assertreading(reading) ((reading) ? void(0) : failedreading(#reading, __LINE__))

[[noreturn]] void failedreading(const char* expression, int line)
{
    constexpr std::string_view path = __FILE__;
    constexpr std::string_view module = path.substr(path.find_last_of("/\\") + 1);
    // Bad-block reports already printed must survive a redirected stdout.
    std::fflush(stdout);
    std::fprintf(stderr, "Assertion failed: %s, file %.*s, line %d\n", expression,
                 static_cast<int>(module.size()), module.data(), line);
    abnormalend();
}

void reportrate()
{
    auto elapsed = static_cast<std::int64_t>(static_cast<std::uint64_t>(stoptime) -
                                             static_cast<std::uint64_t>(starttime));
    std::printf("\nFertig. Mittlere Transferrate %.2f MByte/s\n", transferrate(amount, elapsed, frequency));
}

// The progress line of a file; rewritten only on a terminal, as the pass goes.
void showprogress(const char* verb, const char* name, std::int64_t totalblocks, std::int64_t remainingblocks,
                  bool rewrite = false, const std::string& figures = "")
{
    char line[100];
    std::snprintf(line, sizeof line, "%s Datei '%s' (insgesamt erledigt: %d%%)", verb, name,
                  percentdone(totalblocks, remainingblocks));
    showline(line, figures, rewrite, onterminal);
}

// On a terminal the line of the current file moves on as the pass goes, with
// the rate of the last few seconds and the time still to go. Only there is
// the clock read, once every few blocks.
void showlive(const char* verb, const char* name, std::int64_t totalblocks, std::int64_t remainingblocks)
{
    std::int64_t now;
    if (!onterminal || remainingblocks == 0 || remainingblocks % liveblocks != 0 ||
        !QueryPerformanceCounter(&now) || !livedue(now))
        return;
    constexpr auto blockbytes = static_cast<std::int64_t>(blocksize);
    showprogress(
        verb, name, totalblocks, remainingblocks, true,
        livefigures(now, (totalblocks - remainingblocks) * blockbytes, remainingblocks * blockbytes));
}

// A run holds its directory to the end, so that no other run truncates or
// writes a file while it is read back, which would look like bad blocks: a
// writing run alone, runs that only verify together. Refused, a run stops
// with the message of the first file it would have opened.
void claimdirectory()
{
    if (lockdirectory(!verifyonly))
        return;
    char name[filenamesize];
    pattern::filename(name, 1);
    fatal(verifyonly ? "\n*** Kann Datei '%s' nicht öffnen\n" : "\n*** Kann Ausgabedatei '%s' nicht öffnen\n",
          name);
}

void writepass()
{
    claimdirectory();
    assertreading(QueryPerformanceCounter(&starttime));
    livestart(starttime, frequency);
    pattern::startpass();
    const std::int64_t totalblocks = pattern::blockspermib * amount;
    std::int64_t remainingblocks = totalblocks;
    for (int filenumber = 1; remainingblocks > 0; filenumber++) {
        char name[filenamesize];
        pattern::filename(name, filenumber);
        filehandle file = createfile(name);
        if (file == filehandle::none)
            fatal("\n*** Kann Ausgabedatei '%s' nicht öffnen\n", name);
        std::uint64_t written = 0;
        showprogress("Schreibe", name, totalblocks, remainingblocks);
        for (auto blocksinfile = std::min(remainingblocks, pattern::maxblocksperfile); blocksinfile > 0;
             blocksinfile--) {
            pattern::fillblock(expected);
            written += blocksize;
            if (!writefile(file, expected, blocksize) || !writebehind(file, written))
                fatal("\n*** Fehler beim Schreiben der Datei '%s'.\n", name);
            remainingblocks--;
            showlive("Schreibe", name, totalblocks, remainingblocks);
        }
        // The data are on the medium before the file counts as written, so
        // that the rate is the medium's and not the memory's.
        if (!flushfile(file) || !closefile(file))
            fatal("\n*** Fehler beim Schreiben der Datei '%s' (close).\n", name);
    }
    assertreading(QueryPerformanceCounter(&stoptime));
    reportrate();
}

void reportbadblock(const char* name, std::uint32_t offset, const unsigned char* block)
{
    static char firstname[filenamesize];
    static std::uint32_t firstoffset;

    errorcount++;
    std::printf("\n*** Datenfehler in Datei '%s', offset 0x%" PRIx32 " (%" PRIu64 ". Fehler)\n", name, offset,
                errorcount);
    if (errorcount == 1) {
        std::memcpy(firstname, name, filenamesize);
        firstoffset = offset;
    } else {
        std::printf("    (erster Fehler war in Datei '%s', offset 0x%" PRIx32 ".)\n", firstname, firstoffset);
    }
    showdiff(expected, block, blocksize, offset);
}

void verifypass()
{
    std::printf("Verifiziere Testdaten ...");
    std::fflush(stdout);
    if (verifyonly)
        claimdirectory();
    assertreading(QueryPerformanceCounter(&starttime));
    livestart(starttime, frequency);
    pattern::startpass();
    const std::int64_t totalblocks = pattern::blockspermib * amount;
    std::int64_t remainingblocks = totalblocks;
    for (int filenumber = 1; remainingblocks > 0; filenumber++) {
        char name[filenamesize];
        pattern::filename(name, filenumber);
        filehandle file = openfile(name);
        if (file == filehandle::none)
            fatal("\n*** Kann Datei '%s' nicht öffnen\n", name);
        std::uint32_t offset = 0;
        showprogress("Verifiziere", name, totalblocks, remainingblocks);
        // One request per block, as the write pass makes them: the rate is
        // the medium's for the requests that users compare. Each block is
        // checked as it lies in the buffer; only a bad one has its test block
        // made, for the listing.
        for (auto blocksinfile = std::min(remainingblocks, pattern::maxblocksperfile); blocksinfile > 0;
             blocksinfile--) {
            if (!readfileat(file, offset, readback, blocksize))
                fatal("\n*** Fehler beim Lesen der Datei '%s'.\n", name);
            const pattern::blockkey key = pattern::nextblock();
            if (!pattern::holdsblock(readback, key)) {
                pattern::makeblock(expected, key);
                reportbadblock(name, offset, readback);
            }
            remainingblocks--;
            offset += blocksize;
            showlive("Verifiziere", name, totalblocks, remainingblocks);
        }
        if (!closefile(file))
            fatal("\n*** Fehler beim Lesen der Datei '%s' (close).\n", name);
    }
    assertreading(QueryPerformanceCounter(&stoptime));
    reportrate();
}

} // namespace

int main(int argc, char* argv[])
{
    openstandardstreams();
    setupconsole();
    onterminal = terminalcolumns() > 0;
    startup(argc, argv);
    if (!verifyonly)
        writepass();
    verifypass();
    if (!readfrommedium())
        std::printf("\nAchtung: Unter diesem FUSE-Dateisystem liegt ein Gerät, dessen Zwischenspeicher des "
                    "Systems kapmess nicht leeren konnte: die Testdaten kamen vielleicht aus dem "
                    "Arbeitsspeicher. Gewissheit gibt erst, das Medium auszuhängen, abzuziehen, wieder "
                    "anzuschließen und einzuhängen, und dann\n    kapmess %" PRId32 " -r\n",
                    amount);
    // A complete run tells a good medium from a bad one by its status.
    return errorcount == 0 ? 0 : 2;
}
