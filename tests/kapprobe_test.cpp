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
    how.command = kapprobecommand();
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

// Wine tells no sector size, and kapprobe.exe then works in blocks of 4 KiB.
std::string deviceline(const std::string& device, std::uint64_t bytes, int sector)
{
    if (underwine())
        sector = 4096;
    return "Gerät '" + device + "': " + std::to_string(bytes) + " Bytes (" + std::to_string(bytes / mib) +
           " MByte), Sektoren zu " + std::to_string(sector) + " Bytes\n";
}

const std::string closing = "Dauer D, geschrieben W Bytes, gelesen R Bytes.\n";

// The commands for a partition of mib MiB: parted on Linux, diskpart on
// Windows, where Wine tells some disk number for the drive.
std::string partitioncommands(const std::string& device, std::uint64_t mib, const std::string& verdict)
{
    if (!underwine())
        return "    parted " + device + " mklabel msdos mkpart primary fat32 1MiB " + std::to_string(mib) +
               "MiB\n    mkfs.vfat " + device + "p1\n";
    std::smatch disk;
    std::regex_search(verdict, disk, std::regex("select disk [0-9]+"));
    return "    diskpart\n    " + disk.str() +
           "\n    clean\n    create partition primary size=" + std::to_string(mib - 1) +
           "\n    format fs=fat32 quick\n    assign\n";
}

std::string counterfeit(std::uint64_t usable, const std::string& beyond, const std::string& device,
                        const std::string& verdict)
{
    const std::string usablemib = std::to_string(usable / mib);
    return "\nGefälscht: nutzbar sind nur die ersten " + std::to_string(usable) + " Bytes (" + usablemib +
           " MByte) der gemeldeten 2147483648 Bytes.\n" + beyond + "Nutzen Sie nur die ersten " + usablemib +
           " MByte, etwa mit einer Partition dieser Größe:\n" +
           partitioncommands(device, usable / mib, verdict) + "und prüfen Sie sie danach mit kapmess.\n" +
           closing;
}

#define ATTACH_OR_SKIP(arguments)                                                                            \
    do {                                                                                                     \
        const std::string why = attachcard(arguments);                                                       \
        if (!why.empty())                                                                                    \
            GTEST_SKIP() << why;                                                                             \
    } while (false)

TEST_F(scratch, HonestCardShowsNoSignAndKeepsEveryByte)
{
    ATTACH_OR_SKIP("honest " + std::to_string(1024 * mib) + " 0 0 512");
    const std::string before = devicedigest(card);
    outcome result = run({cardname}, kapprobe());
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.out.substr(0, probebanner.size()), probebanner);
    EXPECT_NE(result.out.find(deviceline(cardname, 1024 * mib, 512)), std::string::npos);
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
    outcome result = run({cardname}, kapprobe());
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.out.find(deviceline(cardname, 2048 * mib, 4096)), std::string::npos);
    const std::string shown = verdict(result.out);
    EXPECT_EQ(shown,
              counterfeit(real,
                          "Dahinter beginnen die Adressen von vorn: Byte " + std::to_string(real) +
                              " ist wieder Byte 0, und was dort geschrieben wird, überschreibt den Anfang.\n",
                          cardname, shown));
    EXPECT_EQ(devicedigest(card), before);
}

TEST_F(scratch, LostWritesBehindA64MibCacheAreFound)
{
    const std::uint64_t real = 700 * mib + 12288;
    ATTACH_OR_SKIP("zeros " + std::to_string(2048 * mib) + " " + std::to_string(real) + " " +
                   std::to_string(64 * mib) + " 512");
    const std::string before = devicedigest(card);
    outcome result = run({cardname}, kapprobe());
    EXPECT_EQ(result.status, 2);
    std::smatch usable;
    const std::string shown = verdict(result.out);
    ASSERT_TRUE(std::regex_search(shown, usable, std::regex("die ersten ([0-9]+) Bytes"))) << shown;
    const std::uint64_t found = std::stoull(usable[1]);
    EXPECT_LE(found, real);
    EXPECT_LT(real - found, mib);
    EXPECT_EQ(shown,
              counterfeit(found, "Was dahinter geschrieben wird, geht verloren: gelesen werden Nullen.\n",
                          cardname, shown));
    EXPECT_EQ(devicedigest(card), before);
}

// An interrupt in the middle of a round on a slow card writes everything
// back at once; a crash leaves the journal, and the next run writes
// everything back before it probes.
TEST_F(scratch, InterruptAndCrashLoseNothing)
{
    if (underwine())
        GTEST_SKIP() << "Wine does not pass a signal on to a Windows program as a console event";
    ATTACH_OR_SKIP("honest " + std::to_string(1024 * mib) + " 0 0 512");
    const std::string before = devicedigest(card);
    if (const std::string why = throttlecard(64, 128); !why.empty())
        GTEST_SKIP() << why;
    running interrupted = start({cardname}, kapprobe());
    waitfor(interrupted.outpath, "Schreibe Füllblöcke", 30);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    kill(interrupted.pid, SIGINT);
    outcome result = collect(interrupted);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(verdict(result.out),
              "\n*** Abgebrochen: alles Überschriebene ist wiederhergestellt.\n" + closing);
    EXPECT_EQ(devicedigest(card), before);
    EXPECT_EQ(files(), std::vector<std::string>()) << "the journal is gone";

    running crashed = start({cardname}, kapprobe());
    waitfor(crashed.outpath, "Schreibe Füllblöcke", 30);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    kill(crashed.pid, SIGKILL);
    int status;
    waitpid(crashed.pid, &status, 0);
    ASSERT_EQ(throttlecard(0, 0), "");
    const std::string journal = "kapprobe-" + std::to_string(1024 * mib) + ".undo";
    EXPECT_EQ(files(), std::vector<std::string>{journal});
    result = run({cardname}, kapprobe());
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
    if (underwine())
        GTEST_SKIP() << "Windows programs see no mounts of the host";
    ATTACH_OR_SKIP("honest " + std::to_string(1024 * mib) + " 0 0 512");
    const std::string mountpoint = dir.string() + ".mnt";
    ASSERT_EQ(std::system(("mkfs.ext4 -q " + card + " && mkdir -p " + mountpoint + " && mount -o ro " + card +
                           " " + mountpoint)
                              .c_str()),
              0);
    const std::string before = devicedigest(card);
    outcome result = run({cardname}, kapprobe());
    std::system(("umount " + mountpoint + " && rmdir " + mountpoint).c_str());
    EXPECT_EQ(result.out, probebanner + "*** '" + card + "' oder eine seiner Partitionen ist unter '" +
                              mountpoint + "' eingehängt. Hängen Sie es zuerst aus.\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(devicedigest(card), before);
}

} // namespace
