// Real file systems on loop devices: the rates must be the medium's and a
// block the medium lost must show, whatever the system caches above it.
#include "harness.h"

#include <filesystem>
#include <fstream>
#include <iterator>

using namespace std::string_literals;

namespace {

// The rates shown are the medium's as long as the program outpaces it. A
// sanitizer build on a busy machine may not: its own pace, measured first in
// the scratch directory in memory, decides whether the test can tell.
TEST_F(scratch, RatesAreThoseOfASlowMedium)
{
    if (underwine())
        GTEST_SKIP() << "Wine does not reach the loop devices of the host";
    constexpr double writerate = 16, readrate = 32;
    const outcome own = run({"32"});
    ASSERT_EQ(own.status, 0) << own.out;
    ASSERT_EQ(own.rates.size(), 2u);
    if (own.rates[0] < 2 * writerate || own.rates[1] < 2 * readrate)
        GTEST_SKIP() << "this build writes " << own.rates[0] << " MiB/s and verifies " << own.rates[1]
                     << " MiB/s in memory here, too close to the medium's " << writerate << " and "
                     << readrate << " MiB/s to set the pace";
    for (const std::string& name : files())
        std::filesystem::remove(dir / name);
    const std::string why = mountloop("ext4", 256, writerate, readrate);
    if (!why.empty())
        GTEST_SKIP() << why;
    outcome result = run({"64"});
    EXPECT_EQ(result.out, cleanrun());
    EXPECT_EQ(result.status, 0);
    ASSERT_EQ(result.rates.size(), 2u);
    EXPECT_NEAR(result.rates[0], writerate, 0.3 * writerate) << "write pass";
    EXPECT_NEAR(result.rates[1], readrate, 0.3 * readrate) << "verify pass";
}

// A FUSE file system reads its device through the kernel's cache of the
// device, which still holds what the write pass put there.
TEST_F(scratch, BlockChangedBeneathAFuseFileSystemIsFound)
{
    if (underwine())
        GTEST_SKIP() << "Wine does not reach the loop devices of the host";
    const std::string why = mountloop("exfat", 64);
    if (!why.empty())
        GTEST_SKIP() << why;
    ASSERT_EQ(run({"4"}).out, cleanrun());

    // Block 1 of 1.kpm, found in the image by its first bytes.
    std::ifstream in(image(), std::ios::binary);
    const std::string medium{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const std::size_t block1 = medium.find("\x01\0\0\0\x07\x75\x83\x48\x78\xc5\xba\xd0"s);
    ASSERT_NE(block1, std::string::npos);
    writebytes(image(), static_cast<long>(block1) + 4, std::string(1, '\0'));

    outcome result = run({"4", "-r"});
    EXPECT_EQ(result.out, banner + verifyheading + verifyprogress("1.kpm", 0) +
                              "\n*** Datenfehler in Datei '1.kpm', offset 0x10000 (1. Fehler)\n"
                              "00010000: .. .. .. .. 07 .. .. .. | .. .. .. .. 00 .. .. ..\n" +
                              rateline);
    EXPECT_EQ(result.status, 2);
}

} // namespace
