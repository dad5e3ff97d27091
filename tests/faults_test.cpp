// Every way a medium can fail, made to happen through the real system calls
// at a chosen place: each ends in its exact report and status, and nothing but
// the program's own test files is ever touched.
#include "harness.h"

#include <fstream>
#include <regex>

namespace fs = std::filesystem;

namespace {

std::string failure(const std::string& what, const std::string& name)
{
    return "\n*** Fehler beim " + what + " der Datei '" + name + "'.\n";
}

const std::string written = banner + writeprogress("1.kpm", 0);
const std::string verifying = written + rateline + verifyheading + verifyprogress("1.kpm", 0);

struct faultcase {
    const char* what;
    std::vector<std::string> args;
    const char* faults;
    std::string out;
    int status;
};

// Amount 1 writes 1,048,576 bytes in 16 blocks, then reads them back.
const faultcase faultcases[] = {
    {"read error in block 5", {"1"}, "read 1.kpm 327680 EIO", verifying + failure("Lesen", "1.kpm"), 1},
    {"medium full from the first block",
     {"1"},
     "write 1.kpm 0 ENOSPC",
     written + failure("Schreiben", "1.kpm"),
     1},
    {"close fails after writing",
     {"1"},
     "close 1.kpm EIO",
     written + "\n*** Fehler beim Schreiben der Datei '1.kpm' (close).\n",
     1},
    {"flush fails after writing",
     {"1"},
     "flush 1.kpm EIO",
     written + "\n*** Fehler beim Schreiben der Datei '1.kpm' (close).\n",
     1},
    {"write error in block 3", {"1"}, "write 1.kpm 196608 EIO", written + failure("Schreiben", "1.kpm"), 1},
    {"medium full in block 9",
     {"1"},
     "write 1.kpm 600000 ENOSPC",
     written + failure("Schreiben", "1.kpm"),
     1},
    {"medium pulled while writing", {"1"}, "pulled 500000", written + failure("Schreiben", "1.kpm"), 1},
    {"medium pulled before the close",
     {"1"},
     "pulled 1048576",
     written + "\n*** Fehler beim Schreiben der Datei '1.kpm' (close).\n",
     1},
    {"medium pulled while verifying", {"1"}, "pulled 1500000", verifying + failure("Lesen", "1.kpm"), 1},
    {"every read in short pieces", {"2"}, "short 1000", cleanrun(), 0},
    {"every read one byte short of a block", {"2"}, "short 65535", cleanrun(), 0},
    {"close fails after verifying",
     {"2", "-r"},
     "close 1.kpm EIO",
     banner + verifyheading + verifyprogress("1.kpm", 0) +
         "\n*** Fehler beim Lesen der Datei '1.kpm' (close).\n",
     1},
    {"read error while only verifying",
     {"2", "-r"},
     "read 1.kpm 2000000 EIO",
     banner + verifyheading + verifyprogress("1.kpm", 0) + failure("Lesen", "1.kpm"),
     1},
};

TEST_F(scratch, FaultsOfTheMediumEndInTheirReport)
{
    if (emulated())
        GTEST_SKIP() << "the fault-injection library does not reach an emulated program";
    const std::string bystander(100000, '\x5a');
    std::ofstream(dir / "photo.jpg", std::ios::binary) << bystander;
    for (const auto& fault : faultcases) {
        SCOPED_TRACE(fault.what);
        const bool verifyonly = fault.args.size() == 2;
        const std::string set = verifyonly ? sha256(dir / "1.kpm") : "";
        outcome result = run(fault.args, fault.faults);
        EXPECT_EQ(result.out, fault.out);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, fault.status);
        EXPECT_EQ(readbytes(dir / "photo.jpg", 0, 200000), bystander);
        if (verifyonly) {
            EXPECT_EQ(sha256(dir / "1.kpm"), set) << "verifying changed the set";
        }
    }
}

// Listing rows with their bytes masked: which bytes differ is pinned
// elsewhere, here it is which blocks are reported, in which order.
std::string maskrows(const std::string& out)
{
    static const std::regex row("([0-9a-f]{8}):( ([0-9a-f]{2}|\\.\\.)){8} \\|( ([0-9a-f]{2}|\\.\\.)){8}\n");
    return std::regex_replace(out, row, "$1: <bytes>\n");
}

// A counterfeit medium that holds fewer blocks than it claims wraps its
// addresses: what is written beyond its real capacity lands on the start.
TEST_F(scratch, WrappedCapacityIsReportedBlockByBlock)
{
    constexpr long capacity = 24, blocks = 32, blocksize = 65536;
    run({"2"});
    const fs::path set = dir / "1.kpm";
    writebytes(set, 0, readbytes(set, capacity * blocksize, (blocks - capacity) * blocksize));
    const std::string before = sha256(set);

    std::string expected = banner + verifyheading + verifyprogress("1.kpm", 0);
    for (long block = 0; block < blocks - capacity; block++) {
        char header[160];
        std::snprintf(header, sizeof header,
                      "\n*** Datenfehler in Datei '1.kpm', offset 0x%lx (%ld. Fehler)\n", block * blocksize,
                      block + 1);
        expected += header;
        if (block > 0)
            expected += "    (erster Fehler war in Datei '1.kpm', offset 0x0.)\n";
        for (long row = 0; row < 8; row++) {
            std::snprintf(header, sizeof header, "%8.8lx: <bytes>\n", block * blocksize + row * 8);
            expected += header;
        }
        expected += "...\n";
    }
    outcome result = run({"2", "-r"});
    EXPECT_EQ(maskrows(result.out), expected + rateline);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(sha256(set), before) << "verifying changed the set";
}

} // namespace
