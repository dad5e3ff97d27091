// Real file systems on loop devices: the rates must be the medium's and a
// block the medium lost must show, whatever the system caches above it.
#include "harness.h"

#include <cstdint>
#include <cstdlib>
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

// A counterfeit with a FAT partition mounted through fusefat, whose mount
// names no device: the verify pass cannot make the system forget what it
// cached of the device, and says so, with the command that gives certainty
// after a replug. That run then finds the losses.
TEST_F(scratch, ACacheThatCannotBeDroppedIsSaid)
{
    if (underwine() || emulated())
        GTEST_SKIP() << "the file systems are left to the native run";
    constexpr std::uint64_t mib = 1 << 20;
    if (const std::string why =
            attachcard("zeros " + std::to_string(256 * mib) + " " + std::to_string(64 * mib) + " 0 512");
        !why.empty())
        GTEST_SKIP() << why;
    ASSERT_EQ(std::system(("echo 'start=2048, type=c' | sfdisk -q " + card + " 2>/dev/null" +
                           " && loop=$(losetup --find --show --offset 1048576 " + card +
                           ") && mkfs.fat $loop >/dev/null; status=$?; losetup -d $loop; exit $status")
                              .c_str()),
              0);
    ASSERT_EQ(mountpartition(card), "");
    const outcome filled = run({"160"});
    unmountpartition();
    EXPECT_NE(
        filled.out.find("\nAchtung: Unter diesem FUSE-Dateisystem liegt ein Gerät, dessen Zwischenspeicher "
                        "des Systems kapmess nicht leeren konnte: die Testdaten kamen vielleicht aus dem "
                        "Arbeitsspeicher. Gewissheit gibt erst, das Medium auszuhängen, abzuziehen, wieder "
                        "anzuschließen und einzuhängen, und dann\n    kapmess 160 -r\n"),
        std::string::npos)
        << filled.out;
    // The replug: the device's cache goes with it.
    ASSERT_EQ(std::system(("blockdev --flushbufs " + card).c_str()), 0);
    ASSERT_EQ(mountpartition(card), "");
    const outcome verified = run({"160", "-r"});
    unmountpartition();
    EXPECT_NE(verified.status, 0) << verified.out;
}

} // namespace
