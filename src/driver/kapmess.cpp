// kapmess: fills the current directory with a set of test files, reports how
// fast the data went in, reads them back, reports every block that came back
// wrong and how fast the data came out. With -r it only verifies a set that an
// earlier run left.
#include "driver/numbers.h"
#include "platform/platform.h"
#include "testdata/testdata.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

// Every failure the program reports ends here: message on stdout, status 1.
// Whatever stdout still buffers goes out on the way; files stay as they are.
[[noreturn]] __attribute__((format(printf, 1, 2))) void fatal(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
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
    expected = allocbuffer(testdata::blocksize);
    if (expected != nullptr)
        readback = allocbuffer(testdata::blocksize);
    if (readback == nullptr)
        fatal("*** Nicht genügend Speicher für Datenpuffer.\n");
    amount = parseamount(argv[1]);
    if (amount <= 0)
        fatal("*** Datenmenge muss größer als 0 sein.\n");
    if (!QueryPerformanceFrequency(&frequency))
        fatal("*** Win32 stellt keinen hochauflösenden Timer bereit.\n");
}

} // namespace

int main(int argc, char* argv[])
{
    setupconsole();
    startup(argc, argv);
    return 0;
}
