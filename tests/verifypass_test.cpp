// The verify pass: sets changed between the run that wrote them and a -r run
// must be reported block by block, with the status telling a bad medium.
#include "harness.h"

#include <fstream>
#include <map>
#include <regex>
#include <set>

namespace fs = std::filesystem;

namespace {

constexpr std::uintmax_t fullfile = 2147418112;

const std::string verifystart = banner + verifyheading + verifyprogress("1.kpm", 0);

std::string readfailure(const std::string& name)
{
    return "\n*** Fehler beim Lesen der Datei '" + name + "'.\n";
}

std::string dataerror(const std::string& name, const std::string& offset, int ordinal)
{
    return "\n*** Datenfehler in Datei '" + name + "', offset " + offset + " (" + std::to_string(ordinal) +
           ". Fehler)\n";
}

TEST_F(scratch, VerifyOnlyChecksExactlyTheBlocksOfTheAmount)
{
    const struct {
        std::vector<std::string> args;
        std::string out;
        int status;
    } runs[] = {
        {{"1", "-r"}, banner + verifyheading + "\n*** Kann Datei '1.kpm' nicht öffnen\n", 1},
        {{"2"}, cleanrun(), 0},
        {{"2", "-r"}, cleanrun(true), 0},
        {{"1", "-r"}, cleanrun(true), 0},
        {{"3", "-r"}, verifystart + readfailure("1.kpm"), 1},
    };
    for (const auto& expected : runs) {
        SCOPED_TRACE(testing::PrintToString(expected.args));
        outcome result = run(expected.args);
        EXPECT_EQ(result.out, expected.out);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, expected.status);
    }
}

struct damage {
    const char* what;
    long offset;
    std::string bytes;
    std::string report;
};

const damage damages[] = {
    {"one byte", 0x10004, std::string(1, '\0'),
     dataerror("1.kpm", "0x10000", 1) + "00010000: .. .. .. .. 07 .. .. .. | .. .. .. .. 00 .. .. ..\n"},
    {"two rows", 0x10004, std::string("\0\x75\x83\x48\x78\xc5\xbb", 7),
     dataerror("1.kpm", "0x10000", 1) + "00010000: .. .. .. .. 07 .. .. .. | .. .. .. .. 00 .. .. ..\n" +
         "00010008: .. .. ba .. .. .. .. .. | .. .. bb .. .. .. .. ..\n"},
    {"last row of the last block", 0xffff8, std::string(8, '\xff'),
     dataerror("1.kpm", "0xf0000", 1) + "000ffff8: 23 48 a4 cc 54 ca e8 96 | ff ff ff ff ff ff ff ff\n"},
};

TEST_F(scratch, DamagedBlocksAreReportedWithTheirListing)
{
    for (const auto& changed : damages) {
        SCOPED_TRACE(changed.what);
        run({"1"});
        writebytes(dir / "1.kpm", changed.offset, changed.bytes);
        outcome result = run({"1", "-r"});
        EXPECT_EQ(result.out, verifystart + changed.report + rateline);
        EXPECT_EQ(result.status, 2);
    }
}

// A medium that maps two addresses to one place returns the later block at
// both: block 0 reads back as block 1, index and all.
TEST_F(scratch, AliasedBlockIsReportedAsBad)
{
    run({"1"});
    writebytes(dir / "1.kpm", 0, readbytes(dir / "1.kpm", 0x10000, 0x10000));
    const std::string before = sha256(dir / "1.kpm");
    outcome result = run({"1", "-r"});
    EXPECT_EQ(result.out, verifystart + dataerror("1.kpm", "0x0", 1) +
                              "00000000: 00 .. .. .. a4 c9 3d 54 | 01 .. .. .. 07 75 83 48\n"
                              "00000008: e5 63 1a 98 36 a2 c0 19 | 78 c5 ba d0 f9 1c 67 dc\n"
                              "00000010: 97 c5 ca b5 08 1f 77 12 | 8a ec d8 a2 2b b5 67 d0\n"
                              "00000018: 89 0f e9 39 1a 08 7a d8 | dc 07 e3 d6 9d 85 13 45\n"
                              "00000020: bb 89 1a 60 6c 25 c3 61 | 6e df 4b 96 4f d6 09 fb\n"
                              "00000028: 2d 7c f5 7d fe 3e 4d 5d | 40 3b a7 ab 41 ef 1a 66\n"
                              "00000030: df 2e 21 32 d0 1c 34 54 | 52 e3 c9 c7 73 18 68 44\n"
                              "00000038: d1 e9 75 97 e2 86 d4 0e | a4 9f e9 8a e5 99 83 39\n"
                              "...\n" +
                              rateline);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(sha256(dir / "1.kpm"), before) << "verifying changed the set";
}

TEST_F(scratch, EveryBadBlockNamesTheFirstAndATruncatedFileStopsThePass)
{
    run({"1"});
    writebytes(dir / "1.kpm", 0x20000, std::string(1, '\x5a'));
    writebytes(dir / "1.kpm", 0x30000, std::string(1, '\x5a'));
    fs::resize_file(dir / "1.kpm", 0x48000);
    const std::string first = "    (erster Fehler war in Datei '1.kpm', offset 0x20000.)\n";
    outcome result = run({"1", "-r"});
    EXPECT_EQ(result.out, verifystart + dataerror("1.kpm", "0x20000", 1) +
                              "00020000: 02 .. .. .. .. .. .. .. | 5a .. .. .. .. .. .. ..\n" +
                              dataerror("1.kpm", "0x30000", 2) + first +
                              "00030000: 03 .. .. .. .. .. .. .. | 5a .. .. .. .. .. .. ..\n" +
                              readfailure("1.kpm"));
    EXPECT_EQ(result.status, 1);
}

// The files whose cache the verify pass dropped before their first read, from
// a system call trace.
std::vector<std::string> advisedbeforeread(const fs::path& trace)
{
    static const std::regex opened(R"re(openat\(AT_FDCWD, "([0-9]+\.kpm)", O_RDONLY.*= ([0-9]+)$)re");
    static const std::regex advised(R"(^fadvise64\(([0-9]+), 0, 0, POSIX_FADV_DONTNEED\))");
    static const std::regex read(R"(^(?:read|pread64)\(([0-9]+),)");
    std::map<std::string, std::string> unread;
    std::set<std::string> advice;
    std::vector<std::string> names;
    std::ifstream in(trace);
    std::smatch match;
    for (std::string line; std::getline(in, line);) {
        if (std::regex_search(line, match, opened)) {
            unread[match[2]] = match[1];
        } else if (std::regex_search(line, match, advised)) {
            advice.insert(match[1]);
        } else if (std::regex_search(line, match, read) && unread.count(match[1]) != 0) {
            if (advice.count(match[1]) != 0)
                names.push_back(unread[match[1]]);
            unread.erase(match[1]);
            advice.erase(match[1]);
        }
    }
    return names;
}

// The sizes of the read requests on test files in an strace log, and how
// many asked for each.
std::map<std::string, int> readsizes(const fs::path& trace)
{
    static const std::regex opened(R"re(openat\(AT_FDCWD, "[0-9]+\.kpm", .*= ([0-9]+)$)re");
    static const std::regex read(R"(^pread64\(([0-9]+), .*, ([0-9]+), [0-9]+\) = )");
    std::set<std::string> testfiles;
    std::map<std::string, int> sizes;
    std::ifstream in(trace);
    std::smatch match;
    for (std::string line; std::getline(in, line);) {
        if (std::regex_search(line, match, opened))
            testfiles.insert(match[1]);
        else if (std::regex_search(line, match, read) && testfiles.count(match[1]) != 0)
            sizes[match[2]]++;
    }
    return sizes;
}

// A set of 2 GiB and one block: the boundary between two files, on /dev/shm.
// The command that the README and the manual give for the amount a full
// medium took, run on a set of two full files and one of a MiB: its sum
// must be divided as a whole.
TEST_F(scratch, TheDocumentedCommandPrintsTheAmountWritten)
{
    std::string commands[2];
    const char* documents[] = {"README.md", "kapmess.1"};
    for (int i = 0; i < 2; i++) {
        std::ifstream document(fs::path(KAPMESS_SOURCE_DIR) / documents[i]);
        for (std::string line; std::getline(document, line);)
            if (line.find("stat ") != std::string::npos && line.find("*.kpm") != std::string::npos)
                commands[i] = std::regex_replace(line.substr(line.find("echo")), std::regex("\\\\-"), "-");
    }
    ASSERT_NE(commands[0], "");
    EXPECT_EQ(commands[1], commands[0]) << "the manual gives the README's command";
    for (const auto& [name, size] :
         {std::pair{"1.kpm", fullfile}, {"2.kpm", fullfile}, {"3.kpm", 1u << 20}}) {
        std::ofstream(dir / name).close();
        fs::resize_file(dir / name, size);
    }
    FILE* shell = popen(("cd '" + dir.string() + "' && " + commands[0]).c_str(), "r");
    ASSERT_NE(shell, nullptr);
    char printed[32] = "";
    EXPECT_NE(std::fgets(printed, sizeof printed, shell), nullptr);
    pclose(shell);
    EXPECT_STREQ(printed, "4096\n");
}

TEST_F(scratch, SetOf2048MibSpansTwoFiles)
{
    outcome result = run({"2048"});
    const std::string verifying = verifyheading + verifyprogress("1.kpm", 0);
    EXPECT_EQ(result.out, banner + writeprogress("1.kpm", 0) + writeprogress("2.kpm", 99) + rateline +
                              verifying + verifyprogress("2.kpm", 99) + rateline);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(fs::file_size(dir / "1.kpm"), fullfile);
    EXPECT_EQ(fs::file_size(dir / "2.kpm"), 65536u);
    // The last block of 1.kpm is block 32,766, the only one of 2.kpm 32,767.
    EXPECT_EQ(readbytes(dir / "1.kpm", 0x7ffe0000, 8), std::string("\xfe\x7f\0\0\xd5\xcd\xc7\x54", 8));
    EXPECT_EQ(readbytes(dir / "1.kpm", fullfile - 4, 4), std::string("\x63\xde\x5f\x3b", 4));
    EXPECT_EQ(readbytes(dir / "2.kpm", 0, 8), std::string("\xff\x7f\0\0\x76\x71\xdb\x35", 8));
    EXPECT_EQ(readbytes(dir / "2.kpm", 65532, 4), std::string("\xe4\xb0\xaa\x9e", 4));

    if (!underwine()) {
        std::string command =
            "cd '" + dir.string() +
            "' && ASAN_OPTIONS=detect_leaks=0 strace -o ../trace -e trace=openat,fadvise64,read,pread64 " +
            KAPMESS_PROGRAM + " 2048 -r >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        EXPECT_EQ(advisedbeforeread(dir / "../trace"), (std::vector<std::string>{"1.kpm", "2.kpm"}));
        EXPECT_EQ(readsizes(dir / "../trace"), (std::map<std::string, int>{{"65536", 32768}}))
            << "one request of 64 KiB for each block";
    }

    writebytes(dir / "1.kpm", 0x7ffe0004, std::string(1, '\0'));
    writebytes(dir / "2.kpm", 0, std::string(1, '\0'));
    const std::string bad1 =
        dataerror("1.kpm", "0x7ffe0000", 1) + "7ffe0000: .. .. .. .. d5 .. .. .. | .. .. .. .. 00 .. .. ..\n";
    const std::string bad2 = dataerror("2.kpm", "0x0", 2) +
                             "    (erster Fehler war in Datei '1.kpm', offset 0x7ffe0000.)\n"
                             "00000000: ff .. .. .. .. .. .. .. | 00 .. .. .. .. .. .. ..\n";
    result = run({"2048", "-r"});
    EXPECT_EQ(result.out, banner + verifying + bad1 + verifyprogress("2.kpm", 99) + bad2 + rateline);
    EXPECT_EQ(result.status, 2);

    result = run({"4096", "-r"});
    EXPECT_EQ(result.out,
              banner + verifying + bad1 + verifyprogress("2.kpm", 49) + bad2 + readfailure("2.kpm"));
    EXPECT_EQ(result.status, 1);

    fs::remove(dir / "2.kpm");
    result = run({"2048", "-r"});
    EXPECT_EQ(result.out, banner + verifying + bad1 + "\n*** Kann Datei '2.kpm' nicht öffnen\n");
    EXPECT_EQ(result.status, 1);
}

} // namespace
