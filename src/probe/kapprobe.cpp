// kapprobe: tells in minutes whether a card holds what it claims, by writing
// self-describing probes at chosen places of the raw device and reading them
// back. Everything it overwrites goes to an undo journal in the current
// directory first and is written back at the end, also after an interrupt,
// and by the next run after a crash.
#include "console/liveline.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/process.h"
#include "probe/batch.h"
#include "probe/devicerun.h"
#include "probe/report.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr char usage[] =
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

// Reads the command line into chosen and the devices into paths, saying in
// error what is wrong with it, and in help whether the usage follows; -1 to
// go on, else the status to end with.
int readoptions(int argc, char** argv, std::string* error, bool* help, probe::runoptions* chosen,
                std::vector<const char*>* paths)
{
    // The options besides --unfix, which takes none.
    int others = 0;
    for (int i = 1; i < argc; i++) {
        const std::string argument = argv[i];
        others += argument[0] == '-' && argument != "--unfix" && argument != "--yes";
        if (argument == "--help" || argument == "-h") {
            *help = true;
            return 0;
        }
        if (argument == "--version")
            return 0;
        if (argument == "--restore") {
            chosen->restoreonly = true;
        } else if (argument == "--fix") {
            chosen->fix = true;
        } else if (argument == "--yes") {
            chosen->yes = true;
        } else if (argument == "--unfix") {
            if (i + 1 == argc) {
                *error = "*** --unfix braucht die Datei, die --fix anlegte.\n";
                return probe::noverdict;
            }
            chosen->unfix = argv[++i];
        } else if (argument == "--json") {
        } else if (argument == "--cache" || argument.rfind("--cache=", 0) == 0) {
            char* end = nullptr;
            if (argument == "--cache" && i + 1 == argc) {
                *error = "*** --cache braucht die Grenze in ganzen MByte, etwa: --cache 512\n";
                return probe::noverdict;
            }
            const char* value = argument != "--cache" ? argv[i] + std::strlen("--cache=") : argv[++i];
            const unsigned long long size = std::strtoull(value, &end, 10);
            if (*value < '0' || *value > '9' || *end != '\0' || size == 0 ||
                size > (std::uint64_t{1} << 30)) {
                *error = probe::formatted("*** Ungültige Grenze für --cache: '%s' (ganze MByte, etwa 512)\n",
                                          value);
                return probe::noverdict;
            }
            chosen->cachelimit = size * probe::mib;
        } else if (argument[0] == '-') {
            *error = probe::formatted("*** Unbekannte Option '%s'\n", argv[i]);
            *help = true;
            return probe::noverdict;
        } else {
            paths->push_back(argv[i]);
        }
    }
    if (paths->empty()) {
        *help = true;
        return probe::noverdict;
    }
    if (chosen->unfix != nullptr && (paths->size() > 1 || others > 0)) {
        *error = "*** --unfix schreibt genau ein Gerät zurück, ohne weitere Optionen als --yes.\n";
        return probe::noverdict;
    }
    if (chosen->fix && chosen->restoreonly) {
        *error = "*** --fix braucht ein Urteil, und --restore gibt keines.\n";
        return probe::noverdict;
    }
    if (chosen->yes && !chosen->fix && !chosen->restoreonly && chosen->unfix == nullptr) {
        *error = "*** --yes beantwortet nur die Fragen von --fix, --unfix und --restore.\n";
        return probe::noverdict;
    }
    // Nothing is erased unasked: a script answers with --yes, else the
    // user at the terminal.
    if ((chosen->fix || chosen->unfix != nullptr) && !chosen->yes && !inputfromterminal()) {
        *error = probe::formatted("*** %s fragt, bevor es etwas löscht, doch hier antwortet niemand: die "
                                  "Eingabe ist kein Terminal. Mit --yes gilt die Frage als bejaht.\n",
                                  chosen->fix ? "--fix" : "--unfix");
        return probe::noverdict;
    }
    return -1;
}

// A device probed alone speaks straight to standard output; on a terminal
// its step line moves on in place.
class directconsole : public probe::runconsole {
  public:
    explicit directconsole(bool onterminal) : onterminal(onterminal) {}

    bool live() const override
    {
        return onterminal;
    }

    void say(const std::string& text) override
    {
        std::fputs(text.c_str(), stdout);
    }

    void notice(const std::string& text) override
    {
        say(text);
        std::fflush(stdout);
    }

    void step(const std::string& line, const std::string& figures, bool first) override
    {
        if (!onterminal) {
            std::printf("%s\n", line.c_str());
            std::fflush(stdout);
        } else {
            showline(line.c_str(), figures, !first, onterminal);
        }
    }

    void finished(const std::string& line) override
    {
        showline(line.c_str(), "", false, onterminal);
    }

    std::string ask(const std::string& question) override
    {
        notice(question);
        return typedline();
    }

  private:
    const bool onterminal;
};

} // namespace

int main(int argc, char** argv)
{
    openstandardstreams();
    setupconsole();
    directconsole console(terminalcolumns() > 0);
    // With --json, standard output carries the document alone, from the
    // first word on.
    const bool json = std::any_of(argv + 1, argv + argc,
                                  [](const char* argument) { return std::strcmp(argument, "--json") == 0; });
    std::FILE* const text = json ? stderr : stdout;
    std::fprintf(text, "Kapprobe -- Schnellprüfung auf gefälschte Kapazität, von den Kapmess-Autoren\n");
    std::fprintf(text, "Version %s, Copyright (c) 2026 die Kapmess-Autoren\n", KAPMESS_VERSION);
    probe::runoptions chosen;
    std::vector<const char*> paths;
    std::string error;
    bool help = false;
    int status = readoptions(argc, argv, &error, &help, &chosen, &paths);
    std::int64_t frequency = 0, starttime = 0;
    if (status < 0 && (!QueryPerformanceFrequency(&frequency) || !QueryPerformanceCounter(&starttime))) {
        error = "*** Kein Zeitgeber.\n";
        status = probe::noverdict;
    }
    // A run that ends before any device still gives a script its document.
    if (status >= 0) {
        const std::string said = error + (help ? usage : "");
        std::fputs(said.c_str(), text);
        if (json)
            std::fputs(probe::jsondocument(KAPMESS_VERSION, status, {}, status != 0 ? said : "").c_str(),
                       stdout);
        return status;
    }
    if (paths.size() > 1 || json)
        return probe::probebatch(paths, chosen, frequency, starttime, terminalcolumns() > 0, json);
    chosen.path = paths[0];
    probe::devicerun run(chosen, frequency, starttime, console);
    return run.go();
}
