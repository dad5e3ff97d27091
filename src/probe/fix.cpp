// After the verdict: a counterfeit device's usable part made of use. The
// first 2 MiB are saved to a file in the current directory; a partition
// table with one partition over the usable part takes the place of the
// first, zeros that of the second, where an old file system's start would
// otherwise show through in the new partition until it is formatted; and
// the system's own tool formats the partition. --unfix writes the saved
// bytes back.
#include "probe/fix.h"

#include "platform/partitions.h"
#include "platform/process.h"
#include "probe/onsystem.h"

#include <cinttypes>
#include <cstdarg>
#include <cstring>

namespace probe {

namespace {

constexpr char backupending[] = ".vor-fix";

// The file that keeps the first 2 MiB of the device whose journal is named
// journal, the nth of them: an earlier one holds what lay there before.
std::string backupname(const std::string& journal, int nth)
{
    const std::string base = journal.substr(0, journal.rfind(".undo"));
    return base + (nth > 1 ? "-" + std::to_string(nth) : "") + backupending;
}

} // namespace

devicefix::devicefix(const runoptions& chosen, const deviceinfo& info, const partitiontarget& target,
                     const std::string& journal, runconsole& console)
    : chosen(chosen), info(info), target(target), journal(journal), console(console)
{
}

void devicefix::say(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    // On some machines the analyzer loses the va_start just above.
    console.say(vformatted(format, args)); // NOLINT(clang-analyzer-valist.Uninitialized)
    va_end(args);
}

// Saves what the fix overwrites to a file of its own in the current
// directory; its name, or empty when it could not be saved, and the run said
// why.
std::string devicefix::savebackup(blockdevice& dev, std::uint32_t signature)
{
    for (int nth = 1; nth < 1000; nth++) {
        std::string name = backupname(journal, nth);
        journalopen how;
        const journalhandle handle = createjournal(name.c_str(), &how);
        if (handle == journalhandle::none && how == journalopen::inuse)
            continue;
        if (handle == journalhandle::none) {
            say("*** Kann '%s' im aktuellen Verzeichnis nicht anlegen: %s. Nichts geändert.\n", name.c_str(),
                systemreason().c_str());
            return "";
        }
        journalonfile file(handle);
        probe::journal saved(file, dev);
        // The new table's signature is the backup's key: --unfix writes it
        // back only where the table it replaced still stands.
        const bool started = saved.start({signature, info.size, info.sectorsize, info.identity, chosen.path});
        const saving got = started ? saved.save(0, fixbytes) : saving::journalfailed;
        if (got == saving::saved && saved.commit()) {
            closejournal(handle);
            return name;
        }
        say("*** Die ersten 2 MByte ließen sich nicht in '%s' sichern: %s. Nichts geändert.\n", name.c_str(),
            got == saving::unreadable ? dev.failure().c_str() : file.failure().c_str());
        removejournal(handle, name.c_str());
        return "";
    }
    say("*** Im aktuellen Verzeichnis liegen zu viele Sicherungen dieses Geräts. Nichts geändert.\n");
    return "";
}

// Puts the new first 2 MiB on the device, the partition table and zeros,
// and reads them back; false when they did not get there, and the run said
// so.
bool devicefix::writepartitiontable(blockdevice& dev, const fixplan& plan, const std::string& backup)
{
    iobuffer table(fixbytes), back(fixbytes);
    std::memset(table.data, 0, fixbytes);
    const auto record = masterbootrecord(plan.place, plan.what, plan.signature);
    std::memcpy(table.data, record.data(), record.size());
    const bool put = dev.write(0, table.data, fixbytes) && dev.settle();
    const bool same =
        put && dev.read(0, back.data, fixbytes) && std::memcmp(table.data, back.data, fixbytes) == 0;
    if (same)
        return true;
    say("\n*** Die neue Partitionstabelle kam nicht auf das Gerät%s%s. Was vorher dort stand, schreibt\n    "
        "%s\nzurück.\n",
        put ? ", es liest anderes zurück" : ": ", put ? "" : dev.failure().c_str(),
        probecommand(target, "--unfix " + backup + " ", chosen.path).c_str());
    return false;
}

// Formats the new partition with the system's own tool, or names the
// command that does, and tells where the system mounted it.
void devicefix::format(const fixplan& plan)
{
    const std::string node = firstpartitionnode(info, std::uint64_t{plan.place.first} * plan.sectorsize,
                                                std::uint64_t{plan.place.sectors} * plan.sectorsize);
    const formatting how = formatcommand(target, plan, node);
    const std::string command = commandtext(target, how.arguments);
    fixed.command = command;
    const std::uint64_t megabytes = std::uint64_t{plan.place.sectors} * plan.sectorsize / mib;
    if (!how.runnable) {
        say("Das System zeigt die Partition nicht als eigenes Gerät. Sobald es sie zeigt (etwa nachdem "
            "das Gerät abgezogen und wieder angeschlossen ist), formatiert sie\n    %s\n",
            command.c_str());
    } else if (const toolrun ran = runtool(how.arguments); !ran.started) {
        say("*** %s gibt es auf diesem System nicht%s. Formatieren Sie die Partition mit\n    %s\n",
            how.arguments[0].c_str(), how.package.empty() ? "" : (" (Paket " + how.package + ")").c_str(),
            command.c_str());
    } else if (ran.status != 0) {
        say("*** %s endete mit Status %d:\n%s%sFormatieren Sie die Partition mit\n    %s\n",
            how.arguments[0].c_str(), ran.status, ran.output.c_str(),
            ran.output.empty() || ran.output.back() == '\n' ? "" : "\n", command.c_str());
    } else {
        fixed.formatted = true;
        say("Formatiert mit %s, Name '%s': nutzbar sind jetzt %s MByte.\n", filesystemname(plan.what),
            plan.label.c_str(), grouped(megabytes).c_str());
    }
    if (const std::string mounted = mountedpartition(info); !mounted.empty()) {
        const std::string eject = ejectcommand(target);
        say("Das System hat die Partition unter '%s' eingehängt. Werfen Sie das Gerät vor dem Abziehen "
            "aus%s%s\n",
            mounted.c_str(), eject.empty() ? " (im Explorer: Auswerfen)." : ":\n    ", eject.c_str());
    }
}

int devicefix::make(std::unique_ptr<blockdevice>& dev, int status, const findings& found,
                    std::uint64_t fittingend)
{
    // Nothing more is written once a stop was asked for.
    if (!dev || (status != sound && status != unsound) || stoprequested())
        return status;
    if (status == sound) {
        say("Nichts zu reparieren: das Gerät bleibt, wie es ist.\n");
        return status;
    }
    if (found.outcome == verdict::damaged) {
        say("Keine neue Partitionstabelle: ein beschädigtes Gerät wird davon nicht verlässlicher.\n");
        return status;
    }
    if (found.outcome == verdict::overwrites) {
        say("Keine neue Partitionstabelle: das Gerät überschreibt, was schon darauf liegt, auch auf einer "
            "Partition.\n");
        return status;
    }
    if (fittingend > 0) {
        say("Keine neue Partitionstabelle: die vorhandene passt schon.\n");
        return status;
    }
    if (found.usable < unusable) {
        say("Keine neue Partitionstabelle: nutzbar sind weniger als %" PRIu64 " MByte.\n", unusable / mib);
        return status;
    }
    // A table planned in sectors of a guessed size would put the partition
    // elsewhere, up to eight times as large, on a device of 4 KiB sectors.
    if (info.sectorguessed) {
        say("Keine neue Partitionstabelle: dieses System nennt die Sektorgröße des Geräts nicht, und ohne "
            "sie läge die Partition falsch.\n");
        return status;
    }
    // Windows tells disks apart by this signature: a new one for each table.
    const auto signature = static_cast<std::uint32_t>(runkey()) | 1;
    fixplan plan = planfix(found.usable, info.sectorsize);
    plan.signature = signature;
    const std::uint64_t first = std::uint64_t{plan.place.first} * plan.sectorsize,
                        size = std::uint64_t{plan.place.sectors} * plan.sectorsize;
    say("\nDie neue Partitionstabelle hat eine Partition von Byte %s bis Byte %s (%s MByte) mit %s. Das "
        "löscht alles auf dem Gerät.\n",
        grouped(first).c_str(), grouped(first + size).c_str(), grouped(size / mib).c_str(),
        filesystemname(plan.what));
    if (!chosen.yes) {
        const std::string answer =
            console.ask(formatted("Geben Sie zur Bestätigung den Namen des Geräts ein (%s): ", chosen.path));
        if (!confirms(answer, chosen.path, target.system)) {
            say("Nichts geändert.\n");
            return status;
        }
    }
    const std::string backup = stoprequested() ? "" : savebackup(*dev, signature);
    if (backup.empty())
        return status;
    say("Die bisherigen ersten 2 MByte liegen in '%s'. Zurück auf das Gerät bringt sie\n    %s\n",
        backup.c_str(), probecommand(target, "--unfix " + backup + " ", chosen.path).c_str());
    fixed = {false, first, size, filesystemname(plan.what), plan.label, backup, false, ""};
    if (!writepartitiontable(*dev, plan, backup))
        return notrestored;
    fixed.written = true;
    rereadpartitions(dev->held());
    if (stoprequested()) {
        say("\n*** Abgebrochen: die neue Partitionstabelle steht, formatiert wurde nicht. Was vorher dort "
            "stand, schreibt dieser Befehl zurück:\n    %s\n",
            probecommand(target, "--unfix " + backup + " ", chosen.path).c_str());
        return noverdict;
    }
    // The system's tools open the device themselves, and macOS reads the new
    // table only once nobody holds the disk.
    closedevice(dev->held());
    dev.reset();
    format(plan);
    say("Das Gerät bleibt eine Fälschung: prüfen Sie die Partition mit kapmess, bevor Sie ihr etwas "
        "anvertrauen.\n");
    return status;
}

// Whether the device's first sector still carries the table whose disk
// signature is key.
bool devicefix::stillthere(blockdevice& dev, std::uint64_t key)
{
    iobuffer first(dev.sectorsize);
    if (first.data == nullptr || key > 0xffffffff || !dev.read(0, first.data, dev.sectorsize))
        return false;
    const tableview table = readtable(first.data, dev.sectorsize);
    return table.valid && table.signature == key;
}

int devicefix::undo(blockdevice& dev, const progressreport& progress, const std::function<void()>& finished)
{
    const char* name = chosen.unfix;
    journalopen how;
    const journalhandle handle = openjournal(name, &how);
    if (handle == journalhandle::none) {
        say("*** Kann '%s' nicht öffnen: %s.\n", name,
            how == journalopen::inuse ? "ein anderer Lauf von kapprobe hält die Datei"
                                      : systemreason().c_str());
        return noverdict;
    }
    journalonfile file(handle);
    journalcontents contents;
    const bool readable = readjournal(file, &contents) == journalstate::readable;
    const bool saved = readable && contents.records.size() == 1 && contents.records[0].offset == 0 &&
                       contents.records[0].size == fixbytes && !contents.damaged;
    const journalheader& header = contents.header;
    if (!saved) {
        say("*** '%s' ist keine Sicherung, wie kapprobe --fix sie anlegt. Geschrieben wurde nichts.\n", name);
    } else if (header.size != info.size ||
               (!header.identity.empty() && !info.identity.empty() && header.identity != info.identity)) {
        say("*** '%s' ist der Anfang von %s, nicht von diesem Gerät. Geschrieben wurde nichts.\n", name,
            journaldevice(header).c_str());
    } else if (!stillthere(dev, header.key)) {
        say("*** Auf '%s' steht nicht mehr die Partitionstabelle, die kapprobe --fix schrieb, als es '%s' "
            "anlegte: ihre Kennung %08" PRIX64 " fehlt. Geschrieben wurde nichts.\n",
            chosen.path, name, header.key);
    } else if (!chosen.yes && !confirms(console.ask(formatted(
                                            "Das schreibt die ersten 2 MByte von '%s' zurück, wie sie vor "
                                            "kapprobe --fix waren; die Partition des Fixes ist danach nicht "
                                            "mehr zu finden.\nGeben Sie zur Bestätigung den Namen des "
                                            "Geräts ein (%s): ",
                                            chosen.path, chosen.path)),
                                        chosen.path, target.system)) {
        say("Nichts geändert.\n");
    } else {
        const restoration restored = restore(file, contents, dev, progress, 0);
        closejournal(handle);
        finished();
        if (!restored.complete(contents)) {
            say("\n*** Die ersten 2 MByte kamen nicht zurück: %s. '%s' bleibt liegen; versuchen Sie es noch "
                "einmal.\n",
                restored.failed > 0  ? restored.failure.c_str()
                : restored.unflushed ? restored.flushfailure.c_str()
                                     : "das Gerät liest anderes zurück",
                name);
            return notrestored;
        }
        rereadpartitions(dev.held());
        say("Die ersten 2 MByte von '%s' sind zurückgeschrieben, wie sie vor kapprobe --fix waren. '%s' "
            "bleibt liegen; Sie brauchen sie nicht mehr.\n",
            chosen.path, name);
        return sound;
    }
    closejournal(handle);
    return noverdict;
}

} // namespace probe
