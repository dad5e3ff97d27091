// kapprobe on fake cards attached as loop devices: the verdict, the usable
// size, and every byte of the card as it was before, whatever happened.
#include "harness.h"

#include <csignal>
#include <regex>
#include <sys/wait.h>
#include <thread>

namespace {

constexpr std::uint64_t mib = 1 << 20;

const std::string probebanner =
    "Kapprobe -- Schnellprüfung auf gefälschte Kapazität, von den Kapmess-Autoren\n"
    "Version 1.6, Copyright (c) 2026 die Kapmess-Autoren\n";

invocation kapprobe()
{
    invocation how;
    how.program = KAPPROBE_PROGRAM;
    return how;
}

// The output after the progress lines: the verdict, with the figures of the
// closing line masked.
std::string verdict(const std::string& out)
{
    const std::size_t lastprogress = out.rfind('\r');
    const std::string tail =
        lastprogress == std::string::npos ? out : out.substr(out.find('\n', lastprogress));
    return std::regex_replace(
        tail, std::regex("Dauer [0-9]+:[0-9]{2}, geschrieben [0-9]+ Bytes, gelesen [0-9]+ Bytes"),
        "Dauer D, geschrieben W Bytes, gelesen R Bytes");
}

std::string deviceline(const std::string& device, std::uint64_t bytes, int sector)
{
    return "Gerät " + device + ": " + std::to_string(bytes) + " Bytes (" + std::to_string(bytes / mib) +
           " MByte), Sektoren zu " + std::to_string(sector) + " Bytes\n";
}

const std::string closing = "Dauer D, geschrieben W Bytes, gelesen R Bytes.\n";

std::string counterfeit(std::uint64_t usable, const std::string& beyond, const std::string& device)
{
    const std::string usablemib = std::to_string(usable / mib);
    return "\nGefälscht: nutzbar sind nur die ersten " + std::to_string(usable) + " Bytes (" + usablemib +
           " MByte) der gemeldeten 2147483648 Bytes.\n" + beyond + "Nutzen Sie nur die ersten " + usablemib +
           " MByte, etwa mit einer Partition dieser Größe:\n    parted " + device +
           " mklabel msdos mkpart primary fat32 1MiB " + usablemib + "MiB\n    mkfs.vfat " + device +
           "p1\nund prüfen Sie sie danach mit kapmess.\n" + closing;
}

#define ATTACH_OR_SKIP(arguments)                                                                            \
    do {                                                                                                     \
        if (underwine())                                                                                     \
            GTEST_SKIP() << "the Windows run tests kapmess.exe alone";                                       \
        const std::string why = attachcard(arguments);                                                       \
        if (!why.empty())                                                                                    \
            GTEST_SKIP() << why;                                                                             \
    } while (false)

TEST_F(scratch, HonestCardShowsNoSignAndKeepsEveryByte)
{
    ATTACH_OR_SKIP("honest " + std::to_string(1024 * mib) + " 0 0 512");
    const std::string before = devicedigest(card);
    outcome result = run({card}, kapprobe());
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.out.substr(0, probebanner.size()), probebanner);
    EXPECT_NE(result.out.find(deviceline(card, 1024 * mib, 512)), std::string::npos);
    EXPECT_TRUE(std::regex_match(
        verdict(result.out),
        std::regex("\nKein Anzeichen einer Fälschung: alle [0-9]+ geprüften Stellen behielten "
                   "ihre Daten.\nEine Schnellprüfung kann nicht jeden Fehler ausschließen: "
                   "[^\n]*kapmess über die ganze Kapazität.\n" +
                   closing)))
        << verdict(result.out);
    EXPECT_EQ(devicedigest(card), before);
    EXPECT_EQ(files(), std::vector<std::string>()) << "the journal is gone";
}

// 300 MiB and a 4 KiB sector of real storage behind 2 GiB of addresses.
TEST_F(scratch, WrapAroundIsFoundToTheByteOnA4KibSectorCard)
{
    const std::uint64_t real = 300 * mib + 4096;
    ATTACH_OR_SKIP("wrap " + std::to_string(2048 * mib) + " " + std::to_string(real) + " 0 4096");
    const std::string before = devicedigest(card);
    outcome result = run({card}, kapprobe());
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.out.find(deviceline(card, 2048 * mib, 4096)), std::string::npos);
    EXPECT_EQ(verdict(result.out),
              counterfeit(real,
                          "Dahinter beginnen die Adressen von vorn: Byte " + std::to_string(real) +
                              " ist wieder Byte 0, und was dort geschrieben wird, überschreibt den Anfang.\n",
                          card));
    EXPECT_EQ(devicedigest(card), before);
}

TEST_F(scratch, LostWritesBehindA64MibCacheAreFound)
{
    const std::uint64_t real = 700 * mib + 12288;
    ATTACH_OR_SKIP("zeros " + std::to_string(2048 * mib) + " " + std::to_string(real) + " " +
                   std::to_string(64 * mib) + " 512");
    const std::string before = devicedigest(card);
    outcome result = run({card}, kapprobe());
    EXPECT_EQ(result.status, 2);
    std::smatch usable;
    const std::string shown = verdict(result.out);
    ASSERT_TRUE(std::regex_search(shown, usable, std::regex("die ersten ([0-9]+) Bytes"))) << shown;
    const std::uint64_t found = std::stoull(usable[1]);
    EXPECT_LE(found, real);
    EXPECT_LT(real - found, mib);
    EXPECT_EQ(
        shown,
        counterfeit(found, "Was dahinter geschrieben wird, geht verloren: gelesen werden Nullen.\n", card));
    EXPECT_EQ(devicedigest(card), before);
}

// An interrupt in the middle of a round on a slow card writes everything
// back at once; a crash leaves the journal, and the next run writes
// everything back before it probes.
TEST_F(scratch, InterruptAndCrashLoseNothing)
{
    ATTACH_OR_SKIP("honest " + std::to_string(1024 * mib) + " 0 0 512");
    const std::string before = devicedigest(card);
    if (const std::string why = throttlecard(64, 128); !why.empty())
        GTEST_SKIP() << why;
    running interrupted = start({card}, kapprobe());
    waitfor(interrupted.outpath, "Schreibe Füllblöcke", 30);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    kill(interrupted.pid, SIGINT);
    outcome result = collect(interrupted);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(verdict(result.out),
              "\n*** Abgebrochen: alles Überschriebene ist wiederhergestellt.\n" + closing);
    EXPECT_EQ(devicedigest(card), before);
    EXPECT_EQ(files(), std::vector<std::string>()) << "the journal is gone";

    running crashed = start({card}, kapprobe());
    waitfor(crashed.outpath, "Schreibe Füllblöcke", 30);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    kill(crashed.pid, SIGKILL);
    int status;
    waitpid(crashed.pid, &status, 0);
    ASSERT_EQ(throttlecard(0, 0), "");
    const std::string journal = "kapprobe-" + std::to_string(1024 * mib) + ".undo";
    EXPECT_EQ(files(), std::vector<std::string>{journal});
    result = run({card}, kapprobe());
    EXPECT_EQ(result.status, 0);
    EXPECT_NE(
        result.out.find("Ein früherer Lauf wurde unterbrochen: schreibe zuerst zurück, was er überschrieb "
                        "(Journal '" +
                        journal + "').\n"),
        std::string::npos)
        << result.out;
    EXPECT_EQ(devicedigest(card), before);
    EXPECT_EQ(files(), std::vector<std::string>());
}

TEST_F(scratch, MountedCardIsRefusedUntouched)
{
    ATTACH_OR_SKIP("honest " + std::to_string(1024 * mib) + " 0 0 512");
    const std::string mountpoint = dir.string() + ".mnt";
    ASSERT_EQ(std::system(("mkfs.ext4 -q " + card + " && mkdir -p " + mountpoint + " && mount -o ro " + card +
                           " " + mountpoint)
                              .c_str()),
              0);
    const std::string before = devicedigest(card);
    outcome result = run({card}, kapprobe());
    std::system(("umount " + mountpoint + " && rmdir " + mountpoint).c_str());
    EXPECT_EQ(result.out, probebanner + "*** '" + card + "' oder eine seiner Partitionen ist unter '" +
                              mountpoint + "' eingehängt. Hängen Sie es zuerst aus.\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(devicedigest(card), before);
}

} // namespace
