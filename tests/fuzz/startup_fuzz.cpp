// Fuzzes what the user types. Each input is split at its zero bytes into the
// arguments of a command line (any bytes, any count). The amount parser runs
// in process and the whole start-up runs in the real program; both must agree
// with a small model of the command-line rules written independently here.
//
// The program runs in a scratch directory whose only entry is a directory
// named 1.kpm, so a command line that passes start-up fails at the first test
// file and nothing is ever written.
#include "driver/numbers.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string banner = "Kapmess -- Prüfprogramm für Speichermedien, von den Kapmess-Autoren\n"
                           "Version 1.6, Copyright (c) 2026 die Kapmess-Autoren\n";

std::int64_t modelamount(const std::string& text)
{
    std::size_t i = text.find_first_not_of(" \t\n\v\f\r");
    if (i == std::string::npos)
        return 0;
    bool negative = text[i] == '-';
    if (text[i] == '-' || text[i] == '+')
        i++;
    std::uint64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; i++)
        value = (value * 10 + static_cast<std::uint64_t>(text[i] - '0')) % 0x100000000;
    if (negative)
        value = (0x100000000 - value) % 0x100000000;
    return value < 0x80000000 ? static_cast<std::int64_t>(value)
                              : static_cast<std::int64_t>(value) - 0x100000000;
}

struct outcome {
    std::string out;
    std::string err;
    int status;
};

outcome model(const std::vector<std::string>& args)
{
    if (args.size() != 1 && args.size() != 2)
        return {banner + "Aufruf: kapmess <Datenmenge> [-r]\n"
                         "        <Datenmenge> in MByte\n"
                         "        -r  nur lesen (Dateien muessen bereits existieren)\n",
                "", 1};
    if (args.size() == 2 && args[1] != "-r")
        return {banner + "*** Ungueltiger Parameter '" + args[1] + "'\n", "", 1};
    if (modelamount(args[0]) <= 0)
        return {banner + "*** Datenmenge muss größer als 0 sein.\n", "", 1};
    if (args.size() == 2)
        return {banner + "Verifiziere Testdaten ...\n*** Kann Datei '1.kpm' nicht öffnen\n", "", 1};
    return {banner + "\n*** Kann Ausgabedatei '1.kpm' nicht öffnen\n", "", 1};
}

std::string scratch;

std::string drain(int fd)
{
    std::string text;
    char chunk[4096];
    // libFuzzer's timeout alarm interrupts reads: go on after it.
    for (ssize_t got; (got = read(fd, chunk, sizeof chunk)) != 0;)
        if (got > 0)
            text.append(chunk, static_cast<std::size_t>(got));
        else if (errno != EINTR)
            break;
    close(fd);
    return text;
}

outcome runprogram(const std::vector<std::string>& args)
{
    std::vector<char*> argv{const_cast<char*>(KAPMESS_PROGRAM)};
    for (const auto& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0)
        std::abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, scratch.c_str());
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, err[0]);
    pid_t child;
    char* noenvironment[] = {nullptr};
    if (posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), noenvironment) != 0)
        std::abort();
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    outcome result{drain(out[0]), drain(err[0]), -1};
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

// The scratch directory still holds nothing but the empty directory 1.kpm.
bool untouched()
{
    DIR* dir = opendir(scratch.c_str());
    int entries = 0;
    bool onlyours = true;
    for (dirent* entry; (entry = readdir(dir)) != nullptr;) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        entries++;
        onlyours = onlyours && std::strcmp(entry->d_name, "1.kpm") == 0;
    }
    closedir(dir);
    const std::string ours = scratch + "/1.kpm";
    return entries == 1 && onlyours && rmdir(ours.c_str()) == 0 && mkdir(ours.c_str(), 0755) == 0;
}

void removescratch()
{
    rmdir((scratch + "/1.kpm").c_str());
    rmdir(scratch.c_str());
}

[[noreturn]] void mismatch(const std::vector<std::string>& args, const std::string& what,
                           const std::string& expected, const std::string& actual, const outcome& run = {})
{
    std::fprintf(stderr, "\nprogram status %d, stderr:\n%s", run.status, run.err.c_str());
    std::fprintf(stderr, "\n%zu arguments:", args.size());
    for (const auto& arg : args)
        std::fprintf(stderr, " [%s]", arg.c_str());
    std::fprintf(stderr, "\n%s expected:\n%s\n%s got:\n%s\n", what.c_str(), expected.c_str(), what.c_str(),
                 actual.c_str());
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char pattern[] = "/tmp/kapmess-fuzz.XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        std::abort();
    scratch = pattern;
    if (mkdir((scratch + "/1.kpm").c_str(), 0755) != 0)
        std::abort();
    std::atexit(removescratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> args;
    if (size > 0) {
        std::string all(reinterpret_cast<const char*>(data), size);
        for (std::size_t start = 0;;) {
            std::size_t end = all.find('\0', start);
            args.push_back(all.substr(start, end - start));
            if (end == std::string::npos)
                break;
            start = end + 1;
        }
    }
    for (const auto& arg : args)
        if (parseamount(arg.c_str()) != modelamount(arg))
            mismatch({arg}, "amount", std::to_string(modelamount(arg)),
                     std::to_string(parseamount(arg.c_str())));

    const outcome expected = model(args);
    const outcome actual = runprogram(args);
    if (actual.out != expected.out)
        mismatch(args, "stdout", expected.out, actual.out, actual);
    if (actual.err != expected.err)
        mismatch(args, "stderr", expected.err, actual.err);
    if (actual.status != expected.status)
        mismatch(args, "status", std::to_string(expected.status), std::to_string(actual.status));
    if (!untouched())
        mismatch(args, "directory", "only 1.kpm", "something else");
    return 0;
}
