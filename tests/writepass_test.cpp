// The write pass: the set on disk, its progress lines, and every way it stops.
#include "harness.h"

#include <cstring>
#include <fstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace fs = std::filesystem;

namespace {

constexpr std::uintmax_t fullfile = 2147418112;

std::string writefailure(const std::string& name)
{
    return "\n*** Fehler beim Schreiben der Datei '" + name + "'.\n";
}

TEST_F(scratch, OneMibRunWritesTheReferenceSetAndVerifiesIt)
{
    outcome result = run({"1"});
    EXPECT_EQ(result.out, cleanrun());
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(files(), std::vector<std::string>{"1.kpm"});
    EXPECT_EQ(sha256(dir / "1.kpm"), "d244123ec8545dae7e89a1d5b8a2c36a4247b1bcd0a4ffcf1b53561272756e00");
}

TEST_F(scratch, AmountsAreReadAsTheCommandLineRulesSay)
{
    const std::pair<const char*, std::uintmax_t> amounts[] = {
        {"12abc", 12}, {"+5", 5}, {" \t3", 3}, {"4294967297", 1}};
    for (const auto& [argument, mib] : amounts) {
        SCOPED_TRACE(argument);
        outcome result = run({argument});
        EXPECT_EQ(result.out, cleanrun());
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(fs::file_size(dir / "1.kpm"), mib << 20);
    }
}

TEST_F(scratch, EarlierSetsAreTruncatedButHigherFilesLeftAlone)
{
    std::ofstream(dir / "1.kpm") << std::string(3 << 20, 'x');
    std::ofstream(dir / "2.kpm") << "from an earlier run";
    std::ofstream(dir / "notes.txt") << "the user's own";
    EXPECT_EQ(run({"1"}).out, cleanrun());
    EXPECT_EQ(sha256(dir / "1.kpm"), "d244123ec8545dae7e89a1d5b8a2c36a4247b1bcd0a4ffcf1b53561272756e00");
    EXPECT_EQ(readbytes(dir / "2.kpm", 0, 100), "from an earlier run");
    EXPECT_EQ(readbytes(dir / "notes.txt", 0, 100), "the user's own");
}

const std::string refusedopen = banner + "\n*** Kann Ausgabedatei '1.kpm' nicht öffnen\n";

TEST_F(scratch, DirectoryWhereAFileGoesStopsThePass)
{
    fs::create_directory(dir / "1.kpm");
    outcome result = run({"1"});
    EXPECT_EQ(result.out, refusedopen);
    EXPECT_EQ(result.status, 1);
}

// Neither pass may wait on a FIFO, nor truncate, write or read a device.
TEST_F(scratch, FifoAndDeviceNodeAreRefusedByBothPasses)
{
    if (underwine())
        GTEST_SKIP() << "Windows programs see no FIFOs or device nodes of the host";
    // A tmpfs of its own: /dev/shm may forbid device nodes.
    if (!mountmedium("size=1m"))
        GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(errno) << ")";
    const std::string refusedread = banner + verifyheading + "\n*** Kann Datei '1.kpm' nicht öffnen\n";
    const fs::path path = dir / "1.kpm";
    for (const char* what : {"FIFO", "null device"}) {
        SCOPED_TRACE(what);
        fs::remove(path);
        ASSERT_EQ(what[0] == 'F' ? mkfifo(path.c_str(), 0666)
                                 : mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 3)),
                  0);
        outcome result = run({"1"});
        EXPECT_EQ(result.out, refusedopen);
        EXPECT_EQ(result.status, 1);
        result = run({"1", "-r"});
        EXPECT_EQ(result.out, refusedread);
        EXPECT_EQ(result.status, 1);
    }
}

TEST_F(scratch, SymbolicLinkWhereAFileGoesIsNeverFollowed)
{
    if (underwine())
        GTEST_SKIP() << "Windows programs see no symbolic links of the host";
    std::ofstream(dir / "precious") << "must survive";
    fs::create_symlink("precious", dir / "1.kpm");
    outcome result = run({"1"});
    EXPECT_EQ(result.out, refusedopen);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(readbytes(dir / "precious", 0, 100), "must survive");
}

TEST_F(scratch, LargestAmountsAreAcceptedAndStartWriting)
{
    if (emulated())
        GTEST_SKIP() << "the fault-injection library does not reach an emulated program";
    for (const char* amount : {"134217727", "134217728", "2147483647"}) {
        SCOPED_TRACE(amount);
        outcome result = run({amount}, "write 1.kpm 65536 ENOSPC");
        EXPECT_EQ(result.out, banner + writeprogress("1.kpm", 0) + writefailure("1.kpm"));
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(fs::file_size(dir / "1.kpm"), 65536u);
    }
}

// Where the program's counter readings stand in its source, in order.
std::vector<int> readinglines()
{
    std::ifstream source(KAPMESS_SOURCE_DIR "/src/driver/kapmess.cpp");
    std::vector<int> lines;
    std::string line;
    for (int number = 1; std::getline(source, line); number++)
        if (line.find("assertreading(QueryPerformanceCounter(") != std::string::npos)
            lines.push_back(number);
    return lines;
}

std::string assertion(const std::string& reading, int line)
{
    return "Assertion failed: QueryPerformanceCounter(&" + reading + "), file kapmess.cpp, line " +
           std::to_string(line) + "\n\r\nabnormal program termination\r\n";
}

TEST_F(scratch, FailedCounterReadingsEndWithTheAssertionReport)
{
    if (emulated())
        GTEST_SKIP() << "the fault-injection library does not reach an emulated program";
    const std::vector<int> lines = readinglines();
    ASSERT_EQ(lines.size(), 4u);
    const std::string written = banner + writeprogress("1.kpm", 0);
    const std::string verifying = written + rateline + verifyheading;
    const struct {
        int reading;
        std::string err, out;
    } cases[] = {
        {1, assertion("starttime", lines[0]), banner},
        {2, assertion("stoptime", lines[1]), written},
        {3, assertion("starttime", lines[2]), verifying},
        {4, assertion("stoptime", lines[3]), verifying + verifyprogress("1.kpm", 0)},
    };
    for (const auto& expected : cases) {
        SCOPED_TRACE(expected.reading);
        outcome result = run({"1"}, "clock " + std::to_string(expected.reading));
        EXPECT_EQ(result.out, expected.out);
        EXPECT_EQ(result.err, expected.err);
        EXPECT_EQ(result.status, 3);
    }

    // Reports of bad blocks that stdout still held when the reading failed
    // must not be lost.
    writebytes(dir / "1.kpm", 0x10004, std::string(1, '\0'));
    outcome result = run({"1", "-r"}, "clock 2");
    EXPECT_EQ(result.out, banner + verifyheading + verifyprogress("1.kpm", 0) +
                              "\n*** Datenfehler in Datei '1.kpm', offset 0x10000 (1. Fehler)\n"
                              "00010000: .. .. .. .. 07 .. .. .. | .. .. .. .. 00 .. .. ..\n");
    EXPECT_EQ(result.err, assertion("stoptime", lines[3]));
    EXPECT_EQ(result.status, 3);

    result = run({"1"}, "clockres");
    EXPECT_EQ(result.out, banner + "*** Win32 stellt keinen hochauflösenden Timer bereit.\n");
    EXPECT_EQ(result.status, 1);
}

// A real full medium: a tmpfs that holds one full file and a few MiB more.
TEST_F(scratch, FullMediumStopsInTheFileThatNoLongerFits)
{
    if (!mountmedium("size=2060m"))
        GTEST_SKIP() << "cannot mount a size-limited tmpfs here (" << std::strerror(errno) << ")";
    outcome result = run({"4096"});
    EXPECT_EQ(result.out,
              banner + writeprogress("1.kpm", 0) + writeprogress("2.kpm", 49) + writefailure("2.kpm"));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(fs::file_size(dir / "1.kpm"), fullfile);
    result = run({"2047", "-r"});
    EXPECT_EQ(result.out, cleanrun(true));
    EXPECT_EQ(result.status, 0);
}

} // namespace
