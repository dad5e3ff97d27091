// kapprobe on fake cards attached as loop devices: the verdict, the usable
// size, and every byte of the card as it was before, whatever happened: a
// crash at any point, an interrupt, a pipe that closes, a stick pulled, the
// wrong card, two runs at once.
#include "harness.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t mib = 1 << 20;

const std::string probebanner =
    "Kapprobe -- Schnellprüfung auf gefälschte Kapazität, von den Kapmess-Autoren\n"
    "Version 1.6, Copyright (c) 2026 die Kapmess-Autoren\n";

const std::string usage =
    "Aufruf: kapprobe [--cache <MByte>] [--json] [--restore [--yes]] [--fix [--yes]] <Gerät> [<Gerät> …]\n"
    "        kapprobe --unfix <Datei> [--yes] <Gerät>\n"
    "        <Gerät>    das ganze Gerät, etwa /dev/sdb oder unter Windows E:\n"
    "        --cache    so groß darf ein Pufferspeicher im Gerät höchstens sein,\n"
    "                   hinter dem eine Fälschung Geschriebenes nur eine Weile hält\n"
    "                   (Vorgabe 512 MByte; mehr kostet Zeit und Platz fürs Journal)\n"
    "        --json     das Ergebnis als JSON auf die Standardausgabe, der Text auf\n"
    "                   die Fehlerausgabe\n"
    "        --restore  nur zurückschreiben, was ein abgebrochener Lauf überschrieb\n"
    "        --fix      eine Fälschung danach mit einer Partition über ihren nutzbaren\n"
    "                   Teil versehen und formatieren (löscht alles darauf)\n"
    "        --yes      --fix, --unfix und --restore ohne Rückfrage\n"
    "        --unfix    zurückschreiben, was --fix in <Datei> sicherte\n"
    "Starten Sie kapprobe mit sudo (unter Windows als Administrator) in einem\n"
    "Verzeichnis, das nicht auf dem geprüften Gerät liegt: dort sichert es in einem\n"
    "Journal (bei der Vorgabe bis zu 720 MByte), was es auf dem Gerät überschreibt.\n";

invocation kapprobe(const std::string& faults = "")
{
    invocation how;
    how.command = kapprobecommand();
    how.faults = faults;
    return how;
}

// The fake cards' caches are far below 16 MiB unless a test says otherwise,
// so that a probe needs no larger flushes than that.
std::vector<std::string> probing(const std::string& device, int cachemib = 16)
{
    return {"--cache", std::to_string(cachemib), device};
}

// The output after the progress lines, one a step into a file: the
// verdict, with the figures of the closing line masked.
std::string verdict(const std::string& out)
{
    static const std::regex progress("\\(insgesamt erledigt: [0-9]+%\\)\n");
    std::string tail = out;
    for (std::sregex_iterator step(out.begin(), out.end(), progress), end; step != end; ++step)
        tail = out.substr(static_cast<std::size_t>(step->position() + step->length()));
    return std::regex_replace(
        tail, std::regex("Dauer [0-9]+:[0-9]{2}, geschrieben [0-9.]+ Bytes, gelesen [0-9.]+ Bytes"),
        "Dauer D, geschrieben W Bytes, gelesen R Bytes");
}

// The bytes written to and read from the device, as the closing line says.
std::pair<std::uint64_t, std::uint64_t> iofigures(const std::string& out)
{
    std::smatch figures;
    if (!std::regex_search(out, figures, std::regex("geschrieben ([0-9.]+) Bytes, gelesen ([0-9.]+) Bytes")))
        return {0, 0};
    return {fromgerman(figures[1]), fromgerman(figures[2])};
}

std::uint64_t iobytes(const std::string& out)
{
    const auto [written, read] = iofigures(out);
    return written + read;
}

// A size as on a card's package: decimal GB with a comma, below 1 GB in MB.
std::string packaged(std::uint64_t bytes)
{
    if (bytes < 1000000000)
        return std::to_string((bytes + 500000) / 1000000) + " MB";
    const std::uint64_t tenths = (bytes + 50000000) / 100000000;
    return std::to_string(tenths / 10) + "," + std::to_string(tenths % 10) + " GB";
}

// The device line from the size on: the device and the name the system
// gives it come before. Wine tells no sector size, and kapprobe.exe then
// works in blocks of 4 KiB.
std::string deviceline(std::uint64_t bytes, int sector)
{
    if (underwine())
        sector = 4096;
    return ": " + packaged(bytes) + " (" + german(bytes) + " Bytes), Sektoren zu " + std::to_string(sector) +
           " Bytes\n";
}

const std::string closing = "Dauer D, geschrieben W Bytes, gelesen R Bytes.\n";
const std::string refusedline = "Ergebnis: abgelehnt; auf das Gerät wurde nichts geschrieben.\n";
const std::string interrupted =
    "\n*** Abbruch: stelle wieder her, was überschrieben wurde. Nicht abziehen!\n";
const std::string stopped = "\n*** Abgebrochen: alles Überschriebene ist wiederhergestellt.\n" + closing;

// The verdict on a counterfeit card of 2 GiB that keeps usable bytes, with
// the command that makes them of use.
std::string counterfeit(std::uint64_t usable, const std::string& beyond, const std::string& device)
{
    const std::string usablemib = german(usable / mib);
    // kapprobe.exe names a drive as it is typed, without quotes.
    const std::string fix = underwine() ? "kapprobe --fix " + device : "kapprobe --fix '" + device + "'";
    return "\nErgebnis: gefälscht. Es gibt 2,1 GB an, speichert aber nur " + packaged(usable) +
           ". Bewahren Sie diese Ausgabe als Beleg auf.\nNutzbar sind die ersten " + german(usable) +
           " Bytes (" + usablemib + " MByte) der gemeldeten 2.147.483.648 Bytes.\n" + beyond +
           "Nutzen Sie nur die ersten " + usablemib +
           " MByte. Eine Partition dieser Größe mit einem Dateisystem legt dieser Befehl an; er löscht alles "
           "auf dem Gerät:\n    " +
           fix + "\nPrüfen Sie sie danach mit kapmess.\n" + closing;
}

// The journal in the scratch directory, or empty.
std::string journalin(const std::vector<std::string>& names)
{
    for (const std::string& name : names)
        if (name.rfind("kapprobe-", 0) == 0)
            return name;
    return "";
}

std::string slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

#define LINUX_ONLY(why)                                                                                      \
    do {                                                                                                     \
        if (underwine())                                                                                     \
            GTEST_SKIP() << why;                                                                             \
    } while (false)

// A card of 128 MiB whose probe a crash ended after 20,000,000 bytes of
// I/O, with the card's digest from before and the journal the crash left.
class crashedcard : public scratch {
  protected:
    // Empty when crashed so, else why not.
    std::string crash(std::string* before, std::string* journal, std::string* store = nullptr,
                      const std::string& faults = "raise 20000000 9")
    {
        if (emulated())
            return "the fault-injection library does not reach an emulated program";
        if (std::string why = attachcard("honest " + std::to_string(128 * mib) + " 0 0 512"); !why.empty())
            return why;
        *before = devicedigest(card);
        if (store != nullptr)
            *store = slurp(cardstore());
        EXPECT_EQ(run(probing(cardname, 8), kapprobe(faults)).status, 128 + SIGKILL);
        *journal = journalin(files());
        EXPECT_NE(*journal, "") << "the crash left no journal";
        return journal->empty() ? "no journal to test" : "";
    }
};

// A card that fails reads and writes in 4 MiB at 600 MiB: damaged, the extent
// of the losses within that region, and their share said as it is, not as
// "0 %" for a few places among thousands.
TEST_F(scratch, ADamagedCardIsToldWithTheExtentAndShareOfItsLosses)
{
    ATTACH_OR_SKIP(attachcard("honest " + std::to_string(1024 * mib) + " 0 0 512 errors=" +
                              std::to_string(600 * mib) + "-" + std::to_string(604 * mib)));
    const outcome result = run({"--cache", "64", cardname}, kapprobe());
    EXPECT_EQ(result.status, 2);
    std::smatch told;
    ASSERT_TRUE(std::regex_search(
        result.out, told,
        std::regex(
            "\nErgebnis: beschädigt. Sichern Sie jetzt, was darauf liegt, und benutzen Sie das Gerät nicht "
            "weiter.\n([0-9.]+) von ([0-9.]+) Prüfstellen \\(([0-9]+),([0-9]) %\\) verloren ihre "
            "Daten oder meldeten Fehler, von Byte ([0-9.]+) \\([0-9.]+ MByte\\) bis Byte ([0-9.]+) ")))
        << result.out;
    const double percent = 100.0 * std::stod(told[1]) / std::stod(told[2]);
    EXPECT_NEAR(std::stod(told[3].str() + "." + told[4].str()), percent, 0.051) << told[0];
    EXPECT_GE(fromgerman(told[5]), 600 * mib);
    EXPECT_LT(fromgerman(told[6]), 604 * mib);
}

// At the default cache limit, the one case that pays for it: the limit
// written twice behind the probes, and the run's I/O within 1.15x of that
// and the limit read once, with the caches it rules out in the document.
TEST_F(scratch, HonestCardShowsNoSignAndKeepsEveryByte)
{
    ATTACH_OR_SKIP(attachcard("honest " + std::to_string(1024 * mib) + " 0 0 512"));
    const std::string before = devicedigest(card);
    const outcome json = run({"--json", cardname}, kapprobe());
    outcome result = json;
    result.out = plainlines(json.err);
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.out.substr(0, probebanner.size()), probebanner);
    EXPECT_NE(result.out.find(deviceline(1024 * mib, 512)), std::string::npos) << result.out;
    EXPECT_TRUE(std::regex_search(
        verdict(result.out),
        std::regex("\nErgebnis: kein Anzeichen einer Fälschung. Sie können das Gerät benutzen.\nAlle [0-9.]+ "
                   "Prüfstellen behielten ihre Daten, auch nachdem 511 MByte anderes geschrieben "
                   "waren.\nDie Prüfung nimmt Stichproben. Gewissheit über jeden Block gibt kapmess: [^\n]*\n"
                   "    kapmess <MByte>\n" +
                   closing + "$")))
        << verdict(result.out);
    // Every write, or every changing one, up to the limit; writes of 4 KiB up
    // to their eighth; writes to places without storage up to the limit.
    const nlohmann::json rulesout = nlohmann::json::parse(json.out)["devices"][0]["rulesout"];
    EXPECT_EQ(rulesout["cache"], 511 * mib) << rulesout;
    EXPECT_EQ(rulesout["smallwrites"], 64 * mib) << rulesout;
    EXPECT_EQ(rulesout["unrealwrites"], 511 * mib) << rulesout;
    EXPECT_GT(rulesout["lacking"], 511 * mib) << rulesout;
    std::smatch bytes;
    ASSERT_TRUE(
        std::regex_search(result.out, bytes, std::regex("geschrieben ([0-9.]+) Bytes, gelesen ([0-9.]+)")));
    const std::uint64_t written = fromgerman(bytes[1]), read = fromgerman(bytes[2]), limit = 511 * mib;
    EXPECT_GE(written, 2 * limit);
    EXPECT_LE(written + read, 3 * limit * 115 / 100) << written << " written, " << read << " read";
    EXPECT_EQ(devicedigest(card), before);
    EXPECT_EQ(files(), std::vector<std::string>()) << "the journal is gone";
}

// 300 MiB and a 4 KiB sector of real storage behind 2 GiB of addresses.
TEST_F(scratch, WrapAroundIsFoundToTheByteOnA4KibSectorCard)
{
    const std::uint64_t real = 300 * mib + 4096;
    ATTACH_OR_SKIP(attachcard("wrap " + std::to_string(2048 * mib) + " " + std::to_string(real) + " 0 4096"));
    const std::string before = devicedigest(card);
    outcome result = run(probing(cardname), kapprobe());
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.out.find(deviceline(2048 * mib, 4096)), std::string::npos);
    const std::string shown = verdict(result.out);
    EXPECT_EQ(shown,
              counterfeit(real,
                          "Dahinter beginnen die Adressen von vorn: Byte " + german(real) +
                              " ist wieder Byte 0, und was dort geschrieben wird, überschreibt den Anfang.\n",
                          cardname));
    EXPECT_EQ(devicedigest(card), before);
}

// Every name of a drive stands for the whole device beneath it, in any case:
// the wrap at its real size is found through each.
TEST_F(scratch, EveryNameOfADriveProbesTheWholeDevice)
{
    if (!underwine())
        GTEST_SKIP() << "drive names are Windows' own";
    const std::uint64_t real = 100 * mib;
    ATTACH_OR_SKIP(attachcard("wrap " + std::to_string(512 * mib) + " " + std::to_string(real) + " 0 512"));
    const std::string before = devicedigest(card);
    for (const std::string name : {"x:", "X:\\", "\\\\.\\x:"}) {
        outcome result = run(probing(name), kapprobe());
        EXPECT_EQ(result.status, 2) << name << "\n" << result.out;
        EXPECT_NE(result.out.find(deviceline(512 * mib, 512)), std::string::npos) << result.out;
        EXPECT_NE(verdict(result.out).find("Byte " + german(real) + " ist wieder Byte 0"), std::string::npos)
            << name << "\n"
            << verdict(result.out);
    }
    EXPECT_EQ(devicedigest(card), before);
}

// The most common counterfeit: writes beyond the real size lost behind a
// small cache. The first probe that does not come back proves it, long
// before the flush reaches the cache limit: little I/O each way.
TEST_F(scratch, LostWritesBehindASmallCacheAreFoundWithLittleIo)
{
    const std::uint64_t real = 700 * mib + 12288;
    ATTACH_OR_SKIP(attachcard("zeros " + std::to_string(2048 * mib) + " " + std::to_string(real) + " " +
                              std::to_string(4 * mib) + " 512"));
    const std::string before = devicedigest(card);
    outcome result = run({cardname}, kapprobe());
    EXPECT_EQ(result.status, 2);
    std::smatch usable;
    const std::string shown = verdict(result.out);
    ASSERT_TRUE(std::regex_search(shown, usable, std::regex("die ersten ([0-9.]+) Bytes"))) << shown;
    const std::uint64_t found = fromgerman(usable[1]);
    EXPECT_LE(found, real);
    EXPECT_LT(real - found, mib);
    EXPECT_EQ(shown,
              counterfeit(found, "Was dahinter geschrieben wird, geht verloren: gelesen werden Nullen.\n",
                          cardname));
    // Wine tells no sector size, and kapprobe.exe then probes in blocks of
    // 4 KiB: eight times the probes' I/O.
    const auto [written, read] = iofigures(result.out);
    const std::uint64_t bound = underwine() ? 128 * mib : 64 * mib;
    EXPECT_LT(written, bound);
    EXPECT_LT(read, bound);
    EXPECT_EQ(devicedigest(card), before);
}

// Addresses that come round at 1 GiB on a card of 700 MiB, once: what lies
// between has no storage, and the usable size ends before it; the verdict
// tells both.
TEST_F(scratch, AWrapAboveTheRealSizeEndsTheUsableSizeAtTheRealOne)
{
    const std::uint64_t real = 700 * mib;
    ATTACH_OR_SKIP(attachcard("wrap " + std::to_string(2048 * mib) + " " + std::to_string(real) +
                              " 0 4096 wrapat=" + std::to_string(1024 * mib)));
    const std::string before = devicedigest(card);
    outcome result = run(probing(cardname), kapprobe());
    EXPECT_EQ(result.status, 2);
    std::smatch usable;
    const std::string shown = verdict(result.out);
    ASSERT_TRUE(std::regex_search(shown, usable, std::regex("die ersten ([0-9.]+) Bytes"))) << shown;
    EXPECT_LE(fromgerman(usable[1]), real);
    EXPECT_LT(real - fromgerman(usable[1]), mib);
    EXPECT_NE(
        shown.find(" Bytes.\nWas dahinter geschrieben wird, geht verloren: gelesen werden Nullen.\n"
                   "Ab Byte 1.073.741.824 beginnen die Adressen von vorn: es ist wieder Byte 0, und was dort "
                   "geschrieben wird, überschreibt den Anfang.\nNutzen Sie nur die ersten "),
        std::string::npos)
        << shown;
    EXPECT_EQ(devicedigest(card), before);
}

// Above 4 GiB, where an offset cut to 32 bits lands near the start or fails:
// an honest card of 6 GiB (a sparse image with random data at each GiB)
// keeps every byte and shows no sign.
TEST_F(scratch, AnHonestCardAbove4GibShowsNoSign)
{
    const std::uint64_t claimed = 6144 * mib;
    ATTACH_OR_SKIP(attachcard("image " + std::to_string(claimed) + " 0 0 512"));
    const std::string before = devicedigest(card);
    outcome result = run(probing(cardname), kapprobe());
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_NE(result.out.find(deviceline(claimed, 512)), std::string::npos) << result.out;
    EXPECT_TRUE(std::regex_search(
        verdict(result.out), std::regex("^\nErgebnis: kein Anzeichen einer Fälschung. Sie können das Gerät "
                                        "benutzen.\nAlle [0-9.]+ Prüfstellen behielten ihre Daten, auch "
                                        "nachdem 16 MByte anderes geschrieben waren.\n")))
        << verdict(result.out);
    EXPECT_EQ(devicedigest(card), before);
}

// 6 GiB claimed, 256 MiB real, writes beyond lost: the usable size ends at
// the real one, measured from addresses far above 4 GiB.
TEST_F(scratch, ACardClaimingMoreThan4GibIsMeasuredToItsRealSize)
{
    const std::uint64_t claimed = 6144 * mib, real = 256 * mib + 12288;
    ATTACH_OR_SKIP(attachcard("zeros " + std::to_string(claimed) + " " + std::to_string(real) + " " +
                              std::to_string(4 * mib) + " 512"));
    const std::string before = devicedigest(card);
    outcome result = run(probing(cardname), kapprobe());
    EXPECT_EQ(result.status, 2) << result.out;
    std::smatch usable;
    const std::string shown = verdict(result.out);
    ASSERT_TRUE(std::regex_search(
        shown, usable,
        std::regex(
            "^\nErgebnis: gefälscht. Es gibt 6,4 GB an, speichert aber nur 26[78] MB. Bewahren Sie diese "
            "Ausgabe als Beleg auf.\nNutzbar sind die ersten ([0-9.]+) Bytes \\([0-9.]+ MByte\\) der "
            "gemeldeten " +
            german(claimed) +
            " Bytes.\nWas dahinter geschrieben wird, geht verloren: gelesen werden Nullen.\n")))
        << shown;
    EXPECT_LE(fromgerman(usable[1]), real);
    EXPECT_LT(real - fromgerman(usable[1]), mib);
    EXPECT_EQ(devicedigest(card), before);
}

// A crash at points spread over a whole run, chosen by the bytes of device
// I/O done: while saving, writing probes and the flush, reading back and
// writing back. Every time the next run writes everything back.
TEST_F(scratch, ACrashAnywhereLosesNothing)
{
    if (emulated())
        GTEST_SKIP() << "the fault-injection library does not reach an emulated program";
    ATTACH_OR_SKIP(attachcard("zeros " + std::to_string(128 * mib) + " " + std::to_string(48 * mib) + " " +
                              std::to_string(4 * mib) + " 512"));
    const std::string before = devicedigest(card);
    // Each run draws its own key, and the rounds it needs, so its I/O, vary
    // with it: the points lie within the least of three runs, and a run that
    // ends before its point must have left the card whole, and tries again.
    std::uint64_t total = UINT64_MAX;
    for (int whole = 0; whole < 3; whole++) {
        const outcome result = run(probing(cardname, 8), kapprobe());
        ASSERT_EQ(result.status, 2) << result.out;
        total = std::min(total, iobytes(result.out));
    }
    constexpr int points = 21;
    for (int point = 1; point <= points; point++) {
        const std::string at = std::to_string(total * point / (points + 1));
        outcome crashed = run(probing(cardname, 8), kapprobe("raise " + at + " 9"));
        for (int again = 0; again < 8 && crashed.status == 2; again++) {
            EXPECT_EQ(devicedigest(card), before) << at;
            EXPECT_EQ(files(), std::vector<std::string>()) << at;
            crashed = run(probing(cardname, 8), kapprobe("raise " + at + " 9"));
        }
        EXPECT_EQ(crashed.status, 128 + SIGKILL) << at;
        const std::string journal = journalin(files());
        EXPECT_NE(journal, "") << at;
        // The last point falls in the restoration, after which the card is whole.
        const outcome restored = run({"--restore", cardname}, kapprobe());
        EXPECT_EQ(restored.status, 0) << at << restored.out;
        EXPECT_NE(restored.out.find("\nEin früherer Lauf wurde unterbrochen: schreibe zuerst zurück, was er "
                                    "überschrieb (Journal '" +
                                    journal + "').\n"),
                  std::string::npos)
            << at;
        EXPECT_EQ(devicedigest(card), before) << "crash after " << at << " bytes";
        EXPECT_EQ(files(), std::vector<std::string>()) << at;
    }
    // A run that finds a journal writes it back before it probes.
    EXPECT_EQ(run(probing(cardname, 8), kapprobe("raise " + std::to_string(total / 2) + " 9")).status,
              128 + SIGKILL);
    const outcome again = run(probing(cardname, 8), kapprobe());
    EXPECT_EQ(again.status, 2);
    EXPECT_NE(again.out.find("\nAlles ist wiederhergestellt.\n"), std::string::npos) << again.out;
    EXPECT_EQ(devicedigest(card), before);
}

// Ctrl-C while probing and while writing back: said at once, everything
// written back, status 1. A hang-up that was ignored at the start stays so.
TEST_F(scratch, AnInterruptEarlyOrLateWritesEverythingBack)
{
    LINUX_ONLY("Wine does not pass a signal on to a Windows program as a console event");
    ATTACH_OR_SKIP(attachcard("honest " + std::to_string(256 * mib) + " 0 0 512"));
    const std::string before = devicedigest(card);
    const std::uint64_t total = iobytes(run(probing(cardname, 8), kapprobe()).out);
    for (std::uint64_t at : {total / 3, total * 9 / 10}) {
        const outcome result = run(probing(cardname, 8), kapprobe("raise " + std::to_string(at) + " 2"));
        EXPECT_EQ(result.status, 1) << at;
        EXPECT_NE(result.out.find(interrupted), std::string::npos) << at << result.out;
        const std::string shown = verdict(result.out);
        EXPECT_EQ(shown.substr(shown.size() - std::min(shown.size(), stopped.size())), stopped)
            << at << shown;
        EXPECT_EQ(devicedigest(card), before) << at;
        EXPECT_EQ(files(), std::vector<std::string>()) << at;
    }
    // Started with hang-ups ignored (nohup), a hang-up changes nothing.
    invocation nohup = kapprobe("raise " + std::to_string(total / 3) + " 1");
    nohup.command.insert(nohup.command.begin(), "nohup");
    const outcome kept = run(probing(cardname, 8), nohup);
    EXPECT_EQ(kept.status, 0) << kept.out;
    EXPECT_EQ(kept.out.find(interrupted), std::string::npos);
    EXPECT_EQ(devicedigest(card), before);
}

// Cards of one batch have the same first MiB: a journal of card A is not
// written to card B in A's place, and is kept for A.
TEST_F(crashedcard, AJournalIsWrittenBackOnlyToItsOwnCard)
{
    std::string before, journal;
    ATTACH_OR_SKIP(crash(&before, &journal));
    const std::string keptjournal = slurp(dir / journal), crashed = slurp(cardstore());
    // Card B in A's place: the same first MiB, other data behind it.
    std::string otherdata = crashed;
    for (std::size_t at = mib; at < otherdata.size(); at++)
        otherdata[at] = static_cast<char>(otherdata[at] * 7 + 3);
    writebytes(cardstore(), 0, otherdata);
    const std::string cardb = devicedigest(card);
    const outcome refusal = run(probing(cardname, 8), kapprobe());
    EXPECT_EQ(refusal.status, 1);
    EXPECT_TRUE(std::regex_match(
        verdict(refusal.out),
        std::regex(
            "\n\\*\\*\\* Das Journal '" + journal +
            "' gehört nicht zu diesem Gerät: an Byte [0-9.]+ steht weder, was es gesichert hat, noch eine "
            "Probe seines Laufs.\nEs stammt von '" +
            card + "' \\(" + cardfile().string() +
            ", 134\\.217\\.728 Bytes\\), einem anderen Gerät, das damals ebenso hieß. Geschrieben wurde "
            "nichts, "
            "und das Journal bleibt liegen: schließen Sie jenes Gerät an und starten Sie kapprobe dafür in "
            "diesem Verzeichnis. Wurde jenes Gerät inzwischen neu formatiert oder gibt es es nicht mehr, hat "
            "das Journal nichts mehr zurückzugeben: dann löschen Sie die Datei '" +
            journal + "'.\n")))
        << refusal.out;
    EXPECT_EQ(devicedigest(card), cardb);
    EXPECT_EQ(slurp(dir / journal), keptjournal);
    // Card A back: its journal still restores it.
    writebytes(cardstore(), 0, crashed);
    EXPECT_EQ(run({"--restore", cardname}, kapprobe()).status, 0);
    EXPECT_EQ(devicedigest(card), before);
    EXPECT_EQ(files(), std::vector<std::string>());
}

// A killed run's journal, and then the card formatted and filled anew
// (here its first half): the stamps that survive in the other half show
// the journal the card's, but it goes back only when asked to, as it would
// put what lay there before the killed run over the new data.
TEST_F(crashedcard, AJournalNeverGoesBackOverNewDataUnasked)
{
    std::string before, journal, original;
    ATTACH_OR_SKIP(crash(&before, &journal, &original));
    const std::string keptjournal = slurp(dir / journal), crashed = slurp(cardstore());
    ASSERT_NE(crashed.compare(64 * mib, 64 * mib, original, 64 * mib, 64 * mib), 0)
        << "the killed run left nothing of its own in the half that stays";
    std::string newdata(63 * mib, '\0');
    for (std::size_t at = 0; at < newdata.size(); at++)
        newdata[at] = static_cast<char>("Neue Daten des Nutzers. "[at % 24]);
    writebytes(cardstore(), mib, newdata);
    const std::string refilled = devicedigest(card);
    for (const auto& [args, status] : {std::pair{probing(cardname, 8), 1},
                                       {{"--restore", cardname}, 1},
                                       {{"--restore", "--yes", cardname}, 0}}) {
        const outcome result = run(args, kapprobe());
        EXPECT_EQ(result.status, status) << result.out;
        if (status == 0)
            break;
        EXPECT_TRUE(std::regex_search(
            result.out,
            std::regex("\n\\*\\*\\* Das Journal '" + journal +
                       "' stammt von einem Lauf auf diesem Gerät, doch das Gerät wurde seither offenbar "
                       "benutzt: ([0-9.]+) Bytes, zuerst an Byte ([0-9.]+), halten weder, was jener Lauf "
                       "gesichert hatte, noch seine Proben, und dorthin schrieb er nicht, als er endete\\. "
                       "Zurückgeschrieben, legte das Journal über die neuen Daten, was vor jenem Lauf dort "
                       "lag\\.\nGeschrieben wurde nichts, und das Journal bleibt liegen\\. Gilt, was jetzt "
                       "auf dem Gerät liegt, entfernen Sie das Journal:\n    rm " +
                       journal +
                       "\nSoll doch zurückgeschrieben werden, was jener Lauf überschrieb:\n    kapprobe "
                       "--restore --yes '" +
                       card + "'\n")))
            << result.out;
        EXPECT_EQ(devicedigest(card), refilled);
        EXPECT_EQ(slurp(dir / journal), keptjournal);
    }
    EXPECT_EQ(files(), std::vector<std::string>());
}

// A stop at --fix's question ends it at once, as the answer "no" would: the
// question does not swallow it until Enter. (SIGTERM: a shell starts what
// it puts in the background with Ctrl-C's SIGINT ignored.)
TEST_F(scratch, AStopAtTheQuestionOfTheFixChangesNothing)
{
    if (underwine() || emulated())
        GTEST_SKIP() << "a terminal to answer at is the native run's";
    ATTACH_OR_SKIP(
        attachcard("wrap " + std::to_string(2048 * mib) + " " + std::to_string(256 * mib) + " 0 512"));
    const std::string before = devicedigest(card);
    const fs::path typed = dir.string() + ".typed", shown = dir.string() + ".shown";
    ASSERT_EQ(mkfifo(typed.c_str(), 0600), 0);
    // Held open for writing, so that the terminal's input stays open and
    // empty: nobody answers.
    const int keep = open(typed.c_str(), O_RDWR);
    ASSERT_GE(keep, 0);
    const std::string command = std::string(KAPPROBE_PROGRAM) + " --cache 16 --fix " + cardname;
    ASSERT_EQ(std::system(("cd '" + dir.string() + "' && script -qec '" + command + "' /dev/null <'" +
                           typed.string() + "' >'" + shown.string() + "' 2>&1 &")
                              .c_str()),
              0);
    waitfor(shown, "Geben Sie zur Bestätigung den Namen des Geräts ein", 120);
    // The run, found by its command line.
    const auto runpid = [&command] {
        for (const auto& process : fs::directory_iterator("/proc")) {
            std::string line = slurp(process.path() / "cmdline");
            std::replace(line.begin(), line.end(), '\0', ' ');
            if (line == command + " ")
                return std::atoi(process.path().filename().c_str());
        }
        return 0;
    };
    const int pid = runpid();
    ASSERT_GT(pid, 0);
    kill(pid, SIGTERM);
    bool ended = false;
    for (int waited = 0; waited < 100 && !ended; waited++) {
        ended = runpid() == 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    close(keep);
    if (!ended)
        kill(pid, SIGKILL);
    EXPECT_TRUE(ended) << "the question still waits for Enter";
    const std::string said = slurp(shown);
    EXPECT_NE(said.find("Nichts geändert."), std::string::npos) << said;
    EXPECT_EQ(devicedigest(card), before);
}

// Two cards probed at once from one directory keep their journals apart; a
// second run on one of them through another device node finds its journal
// in use and touches nothing.
TEST_F(scratch, RunsFromOneDirectoryKeepTheirJournalsApart)
{
    LINUX_ONLY("a second loop device over one card needs Linux");
    ATTACH_OR_SKIP(attachcard("honest " + std::to_string(256 * mib) + " 0 0 512"));
    ATTACH_OR_SKIP(attachothercard("honest " + std::to_string(256 * mib) + " 0 0 512"));
    const std::string before = devicedigest(card), otherbefore = devicedigest(other);
    if (const std::string why = throttlecard(64, 128); !why.empty())
        GTEST_SKIP() << why;
    running first = start(probing(cardname, 64), kapprobe());
    running second = start(probing(othername, 8), kapprobe());
    waitfor(first.outpath, "Runde 1", 30);
    FILE* attached = popen(
        ("losetup --direct-io=on --sector-size 512 --find --show '" + cardfile().string() + "'").c_str(),
        "r");
    char node[64] = "";
    ASSERT_NE(attached, nullptr);
    ASSERT_NE(std::fgets(node, sizeof node, attached), nullptr);
    pclose(attached);
    const std::string samecard = std::string(node).substr(0, std::string(node).find('\n'));
    const outcome third = run(probing(samecard, 8), kapprobe());
    EXPECT_EQ(third.status, 1);
    EXPECT_TRUE(std::regex_search(
        third.out, std::regex("\n\\*\\*\\* Das Journal 'kapprobe-268435456-[^']+' ist in Gebrauch: ein "
                              "anderer Lauf von kapprobe prüft von hier aus ein Gerät dieser Größe. "
                              "Warten Sie, bis er endet.\n$")))
        << third.out;
    EXPECT_EQ(collect(first).status, 0);
    EXPECT_EQ(collect(second).status, 0);
    ASSERT_EQ(throttlecard(0, 0), "");
    EXPECT_EQ(devicedigest(card), before);
    EXPECT_EQ(devicedigest(other), otherbefore);
    EXPECT_EQ(files(), std::vector<std::string>());
}

// One probe per device: a second run on the same one is refused, on Linux
// and on Windows alike.
TEST_F(scratch, ASecondRunOnTheSameDeviceIsRefused)
{
    ATTACH_OR_SKIP(attachcard("honest " + std::to_string(256 * mib) + " 0 0 512"));
    const std::string before = devicedigest(card);
    if (const std::string why = throttlecard(64, 128); !why.empty())
        GTEST_SKIP() << why;
    running first = start(probing(cardname, 64), kapprobe());
    waitfor(first.outpath, "Runde 1", 30);
    const outcome second = run(probing(cardname, 8), kapprobe());
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.out.substr(0, probebanner.size()), probebanner);
    // Linux names the run that holds the card (under qemu-user, the
    // emulator); Windows refuses the open.
    const std::string refusal =
        "Ergebnis: abgelehnt; auf das Gerät wurde nichts geschrieben\\.\n" +
        std::string(
            underwine()
                ? "\\*\\*\\* Kann '" + cardname + "' nicht für sich allein öffnen: [^\n]+\n"
                : "\\*\\*\\* '" + cardname +
                      "' oder eine seiner Partitionen hält ein anderes Programm geöffnet: [^ ]+ \\(PID " +
                      std::to_string(first.pid) + "\\)\\. [^\n]+\n");
    EXPECT_TRUE(std::regex_match(second.out.substr(probebanner.size()), std::regex(refusal))) << second.out;
    EXPECT_EQ(collect(first).status, 0);
    ASSERT_EQ(throttlecard(0, 0), "");
    EXPECT_EQ(devicedigest(card), before);
}

// kapprobe | head: the reader goes away, the run writes everything back.
TEST_F(scratch, AReaderThatGoesAwayEndsNothing)
{
    LINUX_ONLY("a pipe into head is a test of the Linux program");
    ATTACH_OR_SKIP(attachcard("honest " + std::to_string(128 * mib) + " 0 0 512"));
    const std::string before = devicedigest(card);
    invocation piped;
    piped.command = {"bash", "-c", "\"$0\" \"$@\" | head -c 100; exit \"${PIPESTATUS[0]}\"",
                     kapprobecommand().front()};
    const outcome result = run(probing(card, 8), piped);
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(result.out, probebanner.substr(0, 100));
    EXPECT_EQ(devicedigest(card), before);
    EXPECT_EQ(files(), std::vector<std::string>());
}

// A stick pulled in the middle of the run is lost, not counterfeit: no
// verdict, the journal kept, and written back once it is plugged in again.
TEST_F(scratch, AStickPulledMidRunIsNoCounterfeit)
{
    if (emulated())
        GTEST_SKIP() << "the fault-injection library does not reach an emulated program";
    ATTACH_OR_SKIP(attachcard("honest " + std::to_string(128 * mib) + " 0 0 512"));
    const std::string before = devicedigest(card);
    const outcome pulled = run(probing(cardname, 8), kapprobe("unplug 20000000"));
    EXPECT_EQ(pulled.status, 4);
    const std::string journal = journalin(files());
    ASSERT_NE(journal, "");
    EXPECT_TRUE(std::regex_match(
        verdict(pulled.out),
        std::regex(
            "\nErgebnis: keines. '" + card +
            "' antwortet nicht mehr, auch nicht an seinem Anfang: abgezogen oder ausgefallen.\n"
            "\n\\*\\*\\* Nicht alles ist wiederhergestellt.\n"
            "[0-9.]+ Stellen nahm das Gerät nicht an, die erste bei Byte [0-9.]+: Ein-/Ausgabefehler.\n"
            "Das Gerät bestätigte nicht, dass das Zurückgeschriebene auf ihm steht: "
            "Ein-/Ausgabefehler.\n[0-9.]+ Bytes kamen nicht so zurück, wie sie gesichert waren, zwischen "
            "Byte "
            "[0-9.]+ und "
            "Byte [0-9.]+.\nDas Journal '" +
            journal +
            "' bleibt liegen. Schließen Sie ein abgezogenes Gerät wieder an und schreiben Sie in diesem "
            "Verzeichnis alles noch einmal zurück, ohne neu zu prüfen:\n    kapprobe --restore '" +
            card + "'\nHeißt das Gerät danach anders, nennt es\n    lsblk -d -o NAME,SIZE,MODEL,TRAN\n" +
            closing)))
        << verdict(pulled.out);
    EXPECT_EQ(run({"--restore", cardname}, kapprobe()).status, 0);
    EXPECT_EQ(devicedigest(card), before);
}

// A directory whose file system gives no locks (NFS without its lock
// service): the journal just made goes again, so that no later run finds it
// in its way.
TEST_F(scratch, AJournalThatCannotBeLockedIsLeftNowhere)
{
    if (emulated())
        GTEST_SKIP() << "the fault-injection library does not reach an emulated program";
    ATTACH_OR_SKIP(attachcard("honest " + std::to_string(128 * mib) + " 0 0 512"));
    const std::string before = devicedigest(card);
    const outcome result = run(probing(card, 8), kapprobe("lock ENOLCK"));
    EXPECT_EQ(result.status, 1);
    EXPECT_TRUE(std::regex_search(
        result.out, std::regex("\n\\*\\*\\* Kann das Journal 'kapprobe-" + std::to_string(128 * mib) +
                               "[^'\n]*\\.undo' im aktuellen Verzeichnis nicht anlegen: keine Sperre "
                               "möglich\\.\n$")))
        << result.out;
    EXPECT_EQ(files(), std::vector<std::string>());
    EXPECT_EQ(devicedigest(card), before);
}

TEST_F(scratch, MountedCardIsRefusedUntouched)
{
    LINUX_ONLY("Windows programs see no mounts of the host");
    ATTACH_OR_SKIP(attachcard("honest " + std::to_string(1024 * mib) + " 0 0 512"));
    const std::string mountpoint = dir.string() + ".mnt";
    ASSERT_EQ(std::system(("mkfs.ext4 -q " + card + " && mkdir -p " + mountpoint + " && mount -o ro " + card +
                           " " + mountpoint)
                              .c_str()),
              0);
    const std::string before = devicedigest(card);
    outcome result = run({cardname}, kapprobe());
    std::system(("umount " + mountpoint + " && rmdir " + mountpoint).c_str());
    EXPECT_EQ(result.out, probebanner + refusedline + "*** '" + card +
                              "' oder eine seiner Partitionen ist unter '" + mountpoint +
                              "' eingehängt. Hängen Sie es zuerst aus:\n    umount '" + mountpoint + "'\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(devicedigest(card), before);

    // FAT through fusefat, whose mount names no device: its daemon holds
    // the card open, and is named.
    ASSERT_EQ(std::system(("mkfs.fat -I " + card + " >/dev/null && mkdir -p " + mountpoint +
                           " && fusefat -o rw+ " + card + " " + mountpoint + " >/dev/null 2>&1 && sleep 1")
                              .c_str()),
              0);
    const std::string formatted = devicedigest(card);
    result = run({cardname}, kapprobe());
    const std::string held = devicedigest(card);
    std::system(("umount " + mountpoint + "; sleep 1; rmdir " + mountpoint).c_str());
    EXPECT_EQ(result.out.substr(0, probebanner.size()), probebanner);
    EXPECT_TRUE(
        std::regex_match(result.out.substr(std::min(result.out.size(), probebanner.size())),
                         std::regex("Ergebnis: abgelehnt; auf das Gerät wurde nichts geschrieben\\.\n"
                                    "\\*\\*\\* '" +
                                    card +
                                    "' oder eine seiner Partitionen hält ein anderes Programm geöffnet: "
                                    "fusefat \\(PID [0-9]+\\)\\. Beenden Sie es \\(ein Dateisystem, das "
                                    "es bereitstellt, hängen Sie aus\\), dann starten Sie kapprobe "
                                    "wieder\\.\n")))
        << result.out;
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(held, formatted);
}

// The command line, and every refusal before the first write: each says
// what to do, ends with its status, and leaves the card and any file as
// they were.
TEST_F(scratch, TheCommandLineAndEveryRefusalSayWhatToDo)
{
    EXPECT_EQ(run({"--help"}, kapprobe()).out, probebanner + usage);
    EXPECT_EQ(run({"-h"}, kapprobe()).status, 0);
    const outcome version = run({"--version"}, kapprobe());
    EXPECT_EQ(version.out, probebanner);
    EXPECT_EQ(version.status, 0);
    const outcome none = run({}, kapprobe());
    EXPECT_EQ(none.out, probebanner + usage);
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(run({"--cache", "0", "/dev/null"}, kapprobe()).out,
              probebanner + "*** Ungültige Grenze für --cache: '0' (ganze MByte, etwa 512)\n");
    EXPECT_EQ(run({"/dev/null", "--cache"}, kapprobe()).out,
              probebanner + "*** --cache braucht die Grenze in ganzen MByte, etwa: --cache 512\n");
    EXPECT_EQ(run({"--force", "/dev/null"}, kapprobe()).out,
              probebanner + "*** Unbekannte Option '--force'\n" + usage);
    const outcome unfixmore = run({"--json", "--unfix", "saved", "/dev/null"}, kapprobe());
    EXPECT_EQ(plainlines(unfixmore.err),
              probebanner +
                  "*** --unfix schreibt genau ein Gerät zurück, ohne weitere Optionen als --yes.\n");
    // A script gets its document also from a run that no device began.
    const nlohmann::json refused = nlohmann::json::parse(unfixmore.out, nullptr, false);
    EXPECT_EQ(refused, nlohmann::json::parse(R"({"version": "1.6", "status": 1, "error":
        "*** --unfix schreibt genau ein Gerät zurück, ohne weitere Optionen als --yes.", "devices": []})"))
        << unfixmore.out;
    const outcome bare = run({"--json"}, kapprobe());
    EXPECT_EQ(nlohmann::json::parse(bare.out, nullptr, false)["error"], usage.substr(0, usage.size() - 1))
        << bare.out;
    EXPECT_EQ(run({"--yes", "/dev/null"}, kapprobe()).out,
              probebanner + "*** --yes beantwortet nur die Fragen von --fix, --unfix und --restore.\n");

    LINUX_ONLY("the rest asks for Linux users, mounts and files");
    EXPECT_EQ(run({"/dev/kapprobe-none"}, kapprobe()).out,
              probebanner + refusedline +
                  "*** '/dev/kapprobe-none' gibt es nicht. Die angeschlossenen Geräte nennt:\n"
                  "    lsblk -d -o NAME,SIZE,MODEL,TRAN\n");
    ATTACH_OR_SKIP(attachcard("honest " + std::to_string(128 * mib) + " 0 0 512"));
    const std::string before = devicedigest(card);
    const outcome nothing = run({"--restore", card}, kapprobe());
    std::smatch named;
    ASSERT_TRUE(
        std::regex_search(nothing.out, named,
                          std::regex("Hier liegt kein Journal für dieses Gerät \\('([^']+)'\\): nichts "
                                     "zurückzuschreiben.\n$")))
        << nothing.out;
    EXPECT_EQ(nothing.status, 1);
    const std::string journal = named[1];
    std::ofstream(dir / journal) << "no journal, but the user's own data";
    const outcome unreadable = run(probing(card, 8), kapprobe());
    EXPECT_EQ(unreadable.out, probebanner + "Gerät '" + card + "' (" + cardfile().string() + ")" +
                                  deviceline(128 * mib, 512) + "*** Die Datei '" + journal +
                                  "' hier ist kein lesbares Journal von kapprobe. Sie bleibt, wie sie "
                                  "ist: verschieben Sie sie, oder starten Sie kapprobe in einem anderen "
                                  "Verzeichnis.\n")
        << unreadable.out;
    EXPECT_EQ(unreadable.status, 1);
    EXPECT_EQ(slurp(dir / journal), "no journal, but the user's own data");
    fs::remove(dir / journal);

    ASSERT_TRUE(mountmedium("size=2m"));
    const outcome full = run(probing(card, 8), kapprobe());
    EXPECT_TRUE(std::regex_search(
        full.out, std::regex("\\*\\*\\* Im aktuellen Verzeichnis sind nur [0-9]+ MByte frei; das "
                             "Journal braucht bis zu [0-9]+ MByte. Wechseln Sie in ein Verzeichnis "
                             "mit mehr Platz. Mit einer kleineren Grenze für --cache braucht es weniger, "
                             "doch dann kann ein größerer Pufferspeicher des Geräts eine Fälschung "
                             "verbergen.\n$")))
        << full.out;
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(files(), std::vector<std::string>());
    EXPECT_EQ(devicedigest(card), before);

    invocation user;
    user.command = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", kapprobecommand().front()};
    if (run({"--version"}, user).status != 0)
        GTEST_SKIP() << "user 65534 cannot run " << kapprobecommand().front()
                     << ": a directory on the way is closed to others";
    const outcome notroot = run({card}, user);
    EXPECT_EQ(notroot.out,
              probebanner + refusedline + "*** Keine Berechtigung, '" + card +
                  "' zu öffnen (Zugriff verweigert). Starten Sie kapprobe mit sudo, unter Windows in "
                  "einer Eingabeaufforderung als Administrator.\n");
    EXPECT_EQ(notroot.status, 1);
}

// Whose journal it is, the card tells by the whole stamps of the journal's
// run: neither a sector half written by a power cut, where the run wrote
// when it ended, nor the card back under another name after a crash stops
// anything from going back.
TEST_F(crashedcard, AJournalGoesBackWhereverItsRunsStampsShowItBelongs)
{
    std::string before, journal, original;
    ATTACH_OR_SKIP(crash(&before, &journal, &original, "tear 20000000"));
    // The sector half written: half a stamp over what it held.
    const std::string stored = slurp(cardstore());
    std::size_t stamped = mib;
    while (stamped < stored.size() &&
           !(stored.compare(stamped, 8, "AKPPROBE") == 0 &&
             stored.compare(stamped + 256, 256, original, stamped + 256, 256) == 0))
        stamped += 512;
    ASSERT_LT(stamped, stored.size()) << "no sector was torn";
    // The same card through another path, as another reader names it.
    const fs::path renamed = dir.string() + ".renamed";
    std::ofstream(renamed).close();
    ASSERT_EQ(std::system(("mount --bind '" + cardfile().string() + "' '" + renamed.string() + "'").c_str()),
              0);
    FILE* attached = popen(
        ("losetup --direct-io=on --sector-size 512 --find --show '" + renamed.string() + "'").c_str(), "r");
    char node[64] = "";
    ASSERT_NE(attached, nullptr);
    const bool named = std::fgets(node, sizeof node, attached) != nullptr;
    pclose(attached);
    const std::string moved = std::string(node).substr(0, std::string(node).find('\n'));
    const outcome restored = named ? run({"--restore", moved}, kapprobe()) : outcome{};
    const std::string after = named ? devicedigest(moved) : "";
    std::system(
        ("losetup -d '" + moved + "'; umount '" + renamed.string() + "'; rm -f '" + renamed.string() + "'")
            .c_str());
    ASSERT_TRUE(named);
    EXPECT_EQ(restored.status, 0) << restored.out;
    EXPECT_TRUE(std::regex_search(
        restored.out,
        std::regex(
            "\nEin früherer Lauf wurde unterbrochen: schreibe zuerst zurück, was er überschrieb "
            "\\(Journal '" +
            journal + "'\\).\nEs wurde für '" + card + "' \\(" + cardfile().string() +
            ", 134\\.217\\.728 Bytes\\) geschrieben; die Proben seines Laufs auf diesem Gerät zeigen, dass "
            "es dazu gehört.\n512 Bytes, zuerst an Byte " +
            german(stamped) +
            ", hielten weder, was gesichert war, noch eine Probe des Laufs; dorthin schrieb der Lauf, "
            "als er endete, [^\n]+\n")))
        << restored.out;
    EXPECT_EQ(after, before);
    EXPECT_EQ(files(), std::vector<std::string>());
}

// Places without storage that read other bytes each time hold nothing to
// write back: the counterfeit's own run ends with its verdict.
TEST_F(scratch, PlacesThatReadOtherBytesEachTimeBlockNoRestoration)
{
    LINUX_ONLY("Wine's page cache answers the second read of a place, which unbuffered reads on Windows "
               "take from the device");
    ATTACH_OR_SKIP(attachcard("noise " + std::to_string(1024 * mib) + " " + std::to_string(256 * mib) + " " +
                              std::to_string(mib) + " 512"));
    const std::string real = sha256(cardstore());
    const outcome noisy = run(probing(cardname, 8), kapprobe());
    EXPECT_EQ(noisy.status, 2) << noisy.out;
    EXPECT_NE(noisy.out.find(" Bytes lieferten bei jedem Lesen anderes: Stellen ohne Speicher, die nichts "
                             "hielten und nichts zurücknehmen.\n"),
              std::string::npos)
        << noisy.out;
    EXPECT_EQ(sha256(cardstore()), real);
    EXPECT_EQ(files(), std::vector<std::string>());
}

// The probes of a run interrupted in another directory, whose journal is
// not here: no verdict over them, the card as it was, the way named.
TEST_F(crashedcard, ProbesOfARunInterruptedElsewhereGetNoVerdict)
{
    std::string before, journal;
    ATTACH_OR_SKIP(crash(&before, &journal));
    const fs::path away = dir.string() + ".away";
    fs::rename(dir / journal, away);
    const std::string crashed = devicedigest(card);
    const outcome elsewhere = run(probing(cardname, 8), kapprobe());
    EXPECT_EQ(elsewhere.status, 1) << elsewhere.out;
    EXPECT_TRUE(std::regex_search(
        verdict(elsewhere.out),
        std::regex(
            "^\n\\*\\*\\* An Byte [0-9.]+ steht eine Probe eines anderen Laufs von kapprobe, der "
            "abgebrochen wurde und noch nicht zurückgeschrieben hat. Sein Journal liegt nicht hier, "
            "sondern in dem Verzeichnis, in dem er gestartet wurde, und heißt 'kapprobe-134217728-….undo'. "
            "Starten Sie dort\n    kapprobe --restore '" +
            cardname +
            "'\nEin Urteil gibt es erst danach: jetzt übersähe es, was jener Lauf überschrieb.\nAlles "
            "Überschriebene ist wiederhergestellt.\n" +
            closing + "$")))
        << verdict(elsewhere.out);
    EXPECT_EQ(devicedigest(card), crashed);
    EXPECT_EQ(files(), std::vector<std::string>());
    fs::rename(away, dir / journal);
    EXPECT_EQ(run({"--restore", cardname}, kapprobe()).status, 0);
    EXPECT_EQ(devicedigest(card), before);
}

// A card that stops answering, early or in the middle of the run, as one
// pulled from its reader whose node stays: lost, never a counterfeit, and
// no partition advised.
TEST_F(scratch, ACardThatStopsAnsweringIsNeverCounterfeit)
{
    ATTACH_OR_SKIP(
        attachcard("honest " + std::to_string(256 * mib) + " 0 0 512 failafter=" + std::to_string(3 * mib)));
    ATTACH_OR_SKIP(attachothercard("honest " + std::to_string(256 * mib) +
                                   " 0 0 512 failafter=" + std::to_string(24 * mib)));
    for (const std::string& device : {cardname, othername}) {
        const outcome result = run(probing(device, 8), kapprobe());
        EXPECT_EQ(result.status, 4) << result.out;
        EXPECT_NE(result.out.find("' antwortet nicht mehr, auch nicht an seinem Anfang: abgezogen oder "
                                  "ausgefallen.\n"),
                  std::string::npos)
            << result.out;
        EXPECT_EQ(result.out.find("Ergebnis: gefälscht"), std::string::npos) << result.out;
        EXPECT_EQ(result.out.find("--fix"), std::string::npos) << result.out;
        for (const std::string& name : files())
            fs::remove(dir / name);
    }
}

} // namespace

// Three cards on one hub, each at 10 MiB/s writing and 20 reading: an honest
// one, one that wraps, one that loses writes behind a cache. Probed side by
// side, each as if alone, in about the time of the slowest; a device given
// twice is refused among them; an interrupt and a crash leave every card as
// it was, and --restore takes them all.
TEST_F(scratch, ABatchOfCardsIsProbedSideBySideAndComesBackWhole)
{
    ATTACH_OR_SKIP(attachcard("honest " + std::to_string(512 * mib) + " 0 0 512"));
    ATTACH_OR_SKIP(
        attachothercard("wrap " + std::to_string(8192 * mib) + " " + std::to_string(384 * mib) + " 0 512"));
    ATTACH_OR_SKIP(attachthirdcard("zeros " + std::to_string(32768 * mib) + " " + std::to_string(512 * mib) +
                                   " " + std::to_string(16 * mib) + " 512"));
    for (const std::string& device : {card, other, third}) {
        if (const std::string why = throttlecard(device, 10, 20); !why.empty())
            GTEST_SKIP() << why;
    }
    // The cards' storage, which only the fake card programs see.
    const auto stores = [this] {
        return sha256(cardstore(".card")) + sha256(cardstore(".other")) + sha256(cardstore(".third"));
    };
    const std::string before = stores();
    const auto timed = [this](const std::vector<std::string>& args, const invocation& how, double* seconds) {
        const auto start = std::chrono::steady_clock::now();
        outcome result = run(args, how);
        *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return result;
    };
    double alone = 0, together = 0;
    const outcome honest = timed({"--cache", "64", "--json", cardname}, kapprobe(), &alone);
    EXPECT_EQ(nlohmann::json::parse(honest.out)["devices"][0]["verdict"], "sound") << honest.out;

    // Under Wine a drive's letter is its only name.
    const std::string twice = underwine() ? othername : (dir / "again").string();
    if (!underwine())
        fs::create_symlink(other, twice);
    const std::vector<std::string> batch = {"--cache", "64", "--json", cardname, othername, thirdname, twice};
    const outcome result = timed(batch, kapprobe(), &together);
    EXPECT_EQ(result.status, 2) << result.err;
    const nlohmann::json document = nlohmann::json::parse(result.out);
    EXPECT_EQ(document["status"], 2);
    const nlohmann::json& devices = document["devices"];
    ASSERT_EQ(devices.size(), 4U) << result.out;
    EXPECT_EQ(devices[0]["device"], cardname);
    EXPECT_EQ(devices[0]["verdict"], "sound");
    EXPECT_EQ(devices[0]["usable"], 512 * mib);
    EXPECT_EQ(devices[0]["status"], 0);
    EXPECT_EQ(devices[1]["verdict"], "counterfeit");
    EXPECT_EQ(devices[1]["size"], 8192 * mib);
    EXPECT_EQ(devices[1]["usable"], 384 * mib);
    EXPECT_EQ(devices[1]["beyond"], "wraps");
    EXPECT_EQ(devices[2]["verdict"], "counterfeit");
    EXPECT_LE(devices[2]["usable"], 512 * mib);
    EXPECT_GT(devices[2]["usable"], 511 * mib);
    EXPECT_EQ(devices[2]["beyond"], "zeros");
    EXPECT_EQ(devices[2]["status"], 2);
    EXPECT_EQ(devices[3]["verdict"], "refused");
    EXPECT_EQ(devices[3]["message"],
              "*** '" + twice + "' ist dasselbe Gerät wie '" + othername + "' und wird nur einmal geprüft.");
    const std::string text = plainlines(result.err);
    EXPECT_NE(text.find("\n=== " + othername + " ===\nGerät '" + othername), std::string::npos) << text;
    // Each verdict in a few words the moment its card has it: the wrapping
    // card's while the honest one still goes on, the refusal at once.
    const std::size_t wraps = text.find(othername + ": Gefälscht: nutzbar 384 MByte\n"),
                      honestend = text.find(cardname + ": Kein Anzeichen einer Fälschung\n");
    EXPECT_LT(wraps, text.find(cardname + ": ", wraps)) << text;
    EXPECT_LT(honestend, text.find("\n=== ")) << text;
    EXPECT_NE(text.find(thirdname + ": Gefälscht: nutzbar "), std::string::npos) << text;
    EXPECT_LT(text.find(twice + ": abgelehnt\n"), text.find(cardname + ": ")) << text;
    EXPECT_EQ(stores(), before);
    EXPECT_EQ(files(), underwine() ? std::vector<std::string>() : std::vector<std::string>{"again"});

    if (emulated())
        GTEST_SKIP() << "an emulator's times say nothing, and the fault-injection library does not reach it";
    EXPECT_LE(together, alone * 1.35) << "alone " << alone << " s, together " << together << " s";
    fs::remove(twice);
    const std::vector<std::string> three = {"--cache", "64", card, other, third};
    // The cards go at one pace: a crash at half the I/O of the card with the
    // least finds each of them in the middle of its probe.
    std::uint64_t total = 0, least = UINT64_MAX;
    for (const nlohmann::json& device : devices) {
        const auto io = device["written"].get<std::uint64_t>() + device["read"].get<std::uint64_t>();
        total += io;
        least = std::min(least, io > 0 ? io : least);
    }
    const outcome stopped = run(three, kapprobe("raise " + std::to_string(total / 3) + " 2"));
    EXPECT_EQ(stopped.status, 1) << stopped.out;
    EXPECT_NE(stopped.out.find(interrupted), std::string::npos) << stopped.out;
    EXPECT_NE(plainlines(stopped.out).find(card + ": abgebrochen, wiederhergestellt\n"), std::string::npos)
        << stopped.out;
    EXPECT_EQ(stores(), before);
    EXPECT_EQ(files(), std::vector<std::string>());

    const outcome crashed = run(three, kapprobe("raise " + std::to_string(least * 3 / 2) + " 9"));
    EXPECT_EQ(crashed.status, 128 + SIGKILL) << crashed.out;
    EXPECT_EQ(files().size(), 3U) << "a journal each";
    const outcome restored = run({"--restore", card, other, third}, kapprobe());
    EXPECT_EQ(restored.status, 0) << restored.out;
    EXPECT_EQ(stores(), before);
    EXPECT_EQ(files(), std::vector<std::string>());
}

// --fix on fake cards: the real part of each gets a partition and a FAT file
// system that keeps what kapmess gives it, the honest card stays untouched,
// nothing is erased unasked, and what the fix overwrote goes back onto its own
// card only.
TEST_F(scratch, AFixedFakeKeepsWhatItIsGiven)
{
    ATTACH_OR_SKIP(attachcard("honest " + std::to_string(64 * mib) + " 0 0 512"));
    ATTACH_OR_SKIP(
        attachothercard("wrap " + std::to_string(8192 * mib) + " " + std::to_string(384 * mib) + " 0 512"));
    ATTACH_OR_SKIP(attachthirdcard("zeros " + std::to_string(32768 * mib) + " " + std::to_string(512 * mib) +
                                   " " + std::to_string(16 * mib) + " 512"));
    const std::string honest = sha256(cardstore(".card")), wrapping = sha256(cardstore(".other"));
    const std::string beginning = readbytes(other, 0, 2 * mib);

    // Without a terminal to ask at and without --yes: refused before anything.
    const outcome refused = run({"--fix", othername}, kapprobe());
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out,
              probebanner +
                  "*** --fix fragt, bevor es etwas löscht, doch hier antwortet niemand: die Eingabe ist "
                  "kein Terminal. Mit --yes gilt die Frage als bejaht.\n")
        << refused.out;
    EXPECT_EQ(sha256(cardstore(".other")), wrapping);

    const outcome fixed =
        run({"--cache", "64", "--fix", "--yes", "--json", cardname, othername, thirdname}, kapprobe());
    EXPECT_EQ(fixed.status, 2) << fixed.err;
    const nlohmann::json devices = nlohmann::json::parse(fixed.out)["devices"];
    ASSERT_EQ(devices.size(), 3U) << fixed.out;
    EXPECT_EQ(devices[0]["verdict"], "sound");
    EXPECT_TRUE(devices[0]["fix"].is_null());
    const std::string text = plainlines(fixed.err);
    EXPECT_NE(text.find("Nichts zu reparieren: das Gerät bleibt, wie es ist.\n"), std::string::npos) << text;
    EXPECT_EQ(sha256(cardstore(".card")), honest);
    if (underwine()) {
        // Wine tells no sector size: a table planned in a guessed one could
        // lie elsewhere, so none is written.
        EXPECT_NE(
            text.find("Keine neue Partitionstabelle: dieses System nennt die Sektorgröße des Geräts nicht, "
                      "und ohne sie läge die Partition falsch.\n"),
            std::string::npos)
            << text;
        EXPECT_TRUE(devices[1]["fix"].is_null() && devices[2]["fix"].is_null()) << fixed.out;
        EXPECT_EQ(sha256(cardstore(".other")), wrapping);
        return;
    }
    for (const auto& [index, device, real] :
         {std::tuple{1, other, 384 * mib}, std::tuple{2, third, 512 * mib}}) {
        const nlohmann::json& fix = devices[index]["fix"];
        ASSERT_TRUE(fix.is_object()) << fixed.out;
        EXPECT_EQ(fix["filesystem"], "FAT32");
        EXPECT_EQ(fix["formatted"], true) << fixed.err;
        EXPECT_EQ(fix["written"], true);
        EXPECT_TRUE(fs::exists(dir / fix["backup"].get<std::string>())) << "what the fix overwrites, saved";
        // The table as the system's own tool reads it.
        const nlohmann::json table =
            nlohmann::json::parse(printedby("sfdisk --json " + device))["partitiontable"];
        ASSERT_EQ(table["partitions"].size(), 1U) << table;
        const nlohmann::json& partition = table["partitions"][0];
        EXPECT_EQ(partition["type"], "c");
        EXPECT_EQ(partition["start"], 2048);
        const std::uint64_t end =
            (partition["start"].get<std::uint64_t>() + partition["size"].get<std::uint64_t>()) * 512;
        EXPECT_LE(end, real);
        EXPECT_GE(end - mib, real - 2 * mib) << "the partition covers all but 2 MiB of the real part";
        EXPECT_EQ(printedby("blkid -p -O 1048576 -o value -s TYPE " + device), "vfat\n");
    }
    if (emulated())
        GTEST_SKIP() << "the file systems are left to the native run";

    // kapmess fills each file system and verifies it after a remount.
    for (const std::string& device : {other, third}) {
        ASSERT_EQ(mountpartition(device), "");
        struct statvfs room;
        ASSERT_EQ(statvfs(dir.c_str(), &room), 0);
        ASSERT_LT(room.f_bavail * room.f_frsize, 512 * mib)
            << "the partition's file system, not the scratch's";
        const std::string amount = std::to_string(room.f_bavail * room.f_frsize / mib);
        const outcome filled = run({amount});
        EXPECT_EQ(filled.status, 0) << filled.out;
        unmountpartition();
        ASSERT_EQ(mountpartition(device), "");
        const outcome verified = run({amount, "-r"});
        EXPECT_EQ(verified.status, 0) << verified.out;
        unmountpartition();
    }

    // Probed again, the fixed card is told to be of use as it is, and a
    // second fix saves nothing and writes nothing.
    const std::string fixedtable = readbytes(other, 0, 2 * mib);
    const outcome again = run({"--cache", "64", "--fix", "--yes", othername}, kapprobe());
    EXPECT_EQ(again.status, 2) << again.out;
    EXPECT_TRUE(
        std::regex_search(again.out, std::regex("\nNutzen Sie nur die ersten 384 MByte\\. Das tut die "
                                                "Partitionstabelle schon: ihre einzige Partition endet "
                                                "bei Byte [0-9.]+\\. Prüfen Sie sie mit kapmess\\.\n")))
        << again.out;
    EXPECT_NE(again.out.find("Keine neue Partitionstabelle: die vorhandene passt schon.\n"),
              std::string::npos)
        << again.out;
    EXPECT_TRUE(readbytes(other, 0, 2 * mib) == fixedtable);

    const std::string saved = devices[1]["fix"]["backup"];
    EXPECT_EQ(run({"--unfix", saved, othername}, kapprobe()).status, 1)
        << "no terminal to ask at, and no --yes";
    const outcome wrong = run({"--unfix", saved, "--yes", thirdname}, kapprobe());
    EXPECT_EQ(wrong.status, 1);
    EXPECT_NE(wrong.out.find("*** '" + saved + "' ist der Anfang von '" + othername), std::string::npos)
        << wrong.out;
    const outcome back = run({"--unfix", saved, "--yes", othername}, kapprobe());
    EXPECT_EQ(back.status, 0) << back.out;
    EXPECT_TRUE(readbytes(other, 0, 2 * mib) == beginning) << "the first 2 MiB as they were";
    // Once the fix is gone, its backup goes nowhere.
    const outcome twice = run({"--unfix", saved, "--yes", othername}, kapprobe());
    EXPECT_EQ(twice.status, 1);
    EXPECT_NE(twice.out.find("*** Auf '" + othername +
                             "' steht nicht mehr die Partitionstabelle, die kapprobe --fix "
                             "schrieb, als es '" +
                             saved + "' anlegte"),
              std::string::npos)
        << twice.out;

    // At a terminal, only the device's name typed confirms.
    for (const std::string& typed : {std::string("nein"), othername}) {
        const std::string shown =
            printedby("cd '" + dir.string() + "' && printf '%s\\n' '" + typed + "' | script -qec '" +
                      KAPPROBE_PROGRAM + " --cache 64 --fix " + othername + "' /dev/null");
        EXPECT_NE(shown.find("Geben Sie zur Bestätigung den Namen des Geräts ein (" + othername + "): "),
                  std::string::npos)
            << shown;
        if (typed == "nein") {
            EXPECT_NE(shown.find("Nichts geändert."), std::string::npos) << shown;
            EXPECT_TRUE(readbytes(other, 0, 2 * mib) == beginning) << "nothing written";
        } else {
            EXPECT_NE(shown.find("Formatiert mit FAT32, Name 'ECHT-383MB': nutzbar sind jetzt 383 MByte."),
                      std::string::npos)
                << shown;
        }
    }
    EXPECT_TRUE(fs::exists(dir / (saved.substr(0, saved.rfind(".vor-fix")) + "-2.vor-fix")))
        << "an earlier backup stays as it is";
}
