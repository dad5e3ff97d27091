#include "harness.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <locale>
#include <pty.h>
#include <regex>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <tuple>
#include <unistd.h>

const std::string banner = "Kapmess -- Prüfprogramm für Speichermedien, von den Kapmess-Autoren\n"
                           "Version 1.6, Copyright (c) 2026 die Kapmess-Autoren\n";

const std::string rateline = "\nFertig. Mittlere Transferrate R MByte/s\n";
const std::string verifyheading = "Verifiziere Testdaten ...";

std::string writeprogress(const std::string& name, int percent)
{
    return "\rSchreibe Datei '" + name + "' (insgesamt erledigt: " + std::to_string(percent) + "%)";
}

std::string verifyprogress(const std::string& name, int percent)
{
    return "\rVerifiziere Datei '" + name + "' (insgesamt erledigt: " + std::to_string(percent) + "%)";
}

std::string cleanrun(bool verifyonly)
{
    std::string written = verifyonly ? "" : writeprogress("1.kpm", 0) + rateline;
    return banner + written + verifyheading + verifyprogress("1.kpm", 0) + rateline;
}

std::string printedby(const std::string& command)
{
    std::string printed;
    if (std::FILE* pipe = popen(command.c_str(), "r")) {
        char chunk[4096];
        for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
            printed.append(chunk, got);
        pclose(pipe);
    }
    return printed;
}

namespace {

// The digest that command, ending in sha256sum or cksum, prints first.
std::string digestfrom(const std::string& command)
{
    return printedby(command).substr(0, 64);
}

} // namespace

std::string plainlines(std::string text)
{
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

namespace {
struct germanpunctuation : std::numpunct<char> {
    char do_thousands_sep() const override
    {
        return '.';
    }
    std::string do_grouping() const override
    {
        return "\3";
    }
};
} // namespace

std::string german(std::uint64_t number)
{
    if (number < 10000)
        return std::to_string(number);
    std::ostringstream text;
    text.imbue(std::locale(std::locale::classic(), new germanpunctuation));
    text << number;
    return text.str();
}

std::uint64_t fromgerman(std::string text)
{
    text.erase(std::remove(text.begin(), text.end(), '.'), text.end());
    return std::stoull(text);
}

std::string sha256(const std::filesystem::path& path)
{
    return digestfrom("sha256sum '" + path.string() + "'");
}

std::string devicedigest(const std::string& device)
{
    // A CRC and the length: enough to see a byte that the run changed, at a
    // tenth of the time that SHA-256 takes over the GiBs of a large card.
    return digestfrom("dd if=" + device + " iflag=direct bs=4M status=none | cksum");
}

std::string readbytes(const std::filesystem::path& path, long offset, std::size_t count)
{
    std::ifstream in(path, std::ios::binary);
    in.seekg(offset);
    std::string bytes(count, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(count));
    bytes.resize(static_cast<std::size_t>(in.gcount()));
    return bytes;
}

void writebytes(const std::filesystem::path& path, long offset, const std::string& bytes)
{
    std::fstream out(path, std::ios::binary | std::ios::in | std::ios::out);
    out.seekp(offset);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

namespace {

std::string slurp(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The command that runs the program: by default the build's own binary.
const std::vector<std::string>& programcommand()
{
    static const std::vector<std::string> command = [] {
        const char* undertest = std::getenv("KAPMESS_UNDER_TEST");
        if (undertest == nullptr || *undertest == '\0')
            return std::vector<std::string>{KAPMESS_PROGRAM};
        std::istringstream words(undertest);
        return std::vector<std::string>(std::istream_iterator<std::string>(words), {});
    }();
    return command;
}

// Back from a Windows text stream: every line feed must come as CR LF.
std::string fromtextstream(std::string out)
{
    std::string lf;
    for (std::size_t i = 0; i < out.size(); i++) {
        if (out[i] == '\r' && i + 1 < out.size() && out[i + 1] == '\n')
            continue;
        if (out[i] == '\n' && (i == 0 || out[i - 1] != '\r'))
            ADD_FAILURE() << "bare line feed at byte " << i << " of a Windows text stream";
        lf += out[i];
    }
    return lf;
}

const std::regex ratefigure("Transferrate (-?[0-9]+\\.[0-9][0-9]|-?inf) MByte/s");

std::string maskrates(const std::string& out)
{
    return std::regex_replace(out, ratefigure, "Transferrate R MByte/s");
}

std::vector<double> rates(const std::string& out)
{
    std::vector<double> figures;
    for (std::sregex_iterator rate(out.begin(), out.end(), ratefigure), end; rate != end; ++rate)
        figures.push_back(std::stod((*rate)[1]));
    return figures;
}

// The script's status when this machine cannot make the medium.
constexpr int cannot = 77;

} // namespace

std::string script(const std::string& name, const std::string& arguments, std::string* printed)
{
    std::string command = "bash " KAPMESS_SOURCE_DIR "/tests/" + name + " " + arguments + " 2>&1";
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return "cannot run " + command;
    std::string output;
    char chunk[256];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
        output.append(chunk, got);
    int status = pclose(pipe);
    if (status == 0) {
        if (printed != nullptr)
            *printed = output;
        return "";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == cannot) << command << ": " << output;
    return output.empty() ? command + " failed" : output;
}

namespace {

std::string medium(const std::string& arguments)
{
    return script("medium.sh", arguments);
}

} // namespace

void scratch::SetUp()
{
    std::string pattern = std::string(scratchbase()) + "/kapmess-test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root = pattern;
    dir = root / "medium";
    std::filesystem::create_directory(dir);
}

const char* scratch::scratchbase() const
{
    return std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
}

bool scratch::mountmedium(const char* options)
{
    if (underwine())
        return false;
    mounted = mount("tmpfs", dir.c_str(), "tmpfs", 0, options) == 0;
    return mounted;
}

std::string scratch::mountloop(const std::string& type, int mib, int writerate, int readrate)
{
    if (emulated())
        return "the suite leaves mounts to the native run";
    std::string throttle =
        writerate > 0 ? " " + std::to_string(writerate) + " " + std::to_string(readrate) : "";
    std::string why = medium("mount '" + dir.string() + "' " + type + " " + std::to_string(mib) + throttle);
    loopmounted = why.empty();
    return why;
}

std::string scratch::mountpartition(const std::string& device)
{
    std::string why = medium("partition '" + dir.string() + "' " + device);
    partitionmounted = why.empty();
    return why;
}

void scratch::unmountpartition()
{
    EXPECT_EQ(medium("unpartition '" + dir.string() + "'"), "");
    partitionmounted = false;
}

std::filesystem::path scratch::image() const
{
    return dir.string() + ".img";
}

namespace {

// The link that makes a drive of the Wine prefix a device.
std::filesystem::path winedrive(char letter)
{
    const char* prefix = std::getenv("WINEPREFIX");
    const char* home = std::getenv("HOME");
    return std::filesystem::path(prefix != nullptr ? prefix
                                                   : std::string(home != nullptr ? home : "") + "/.wine") /
           "dosdevices" / (std::string(1, letter) + "::");
}

} // namespace

// Attaches the card of the arguments on directory, and names it to
// kapprobe as drive under Wine.
std::string scratch::attach(const std::string& directory, const std::string& arguments, char drive,
                            std::string* device, std::string* name)
{
    std::string printed;
    std::string why =
        script("card.sh", "attach '" + directory + "' " FAKECARD_PROGRAM " " + arguments, &printed);
    if (!why.empty())
        return why;
    *device = *name = printed.substr(0, printed.find('\n'));
    if (underwine()) {
        std::filesystem::remove(winedrive(drive));
        std::filesystem::create_symlink(*device, winedrive(drive));
        *name = std::string(1, static_cast<char>(drive - 'a' + 'A')) + ":";
    }
    return why;
}

std::string scratch::attachcard(const std::string& arguments)
{
    return attach(dir.string() + ".card", arguments, 'x', &card, &cardname);
}

std::string scratch::attachothercard(const std::string& arguments)
{
    return attach(dir.string() + ".other", arguments, 'y', &other, &othername);
}

std::string scratch::attachthirdcard(const std::string& arguments)
{
    return attach(dir.string() + ".third", arguments, 'w', &third, &thirdname);
}

// The storage of the card attached with the suffix which (.card, .other, .third).
std::filesystem::path scratch::cardstore(const std::string& which) const
{
    return dir.string() + which + ".store";
}

std::filesystem::path scratch::cardfile() const
{
    return dir.string() + ".card/card";
}

std::string scratch::throttlecard(int writerate, int readrate)
{
    return throttlecard(card, writerate, readrate);
}

std::string scratch::throttlecard(const std::string& device, int writerate, int readrate)
{
    return script("card.sh",
                  "throttle " + device + " " + std::to_string(writerate) + " " + std::to_string(readrate));
}

void scratch::detachcards()
{
    for (auto [device, letter, suffix] : {std::tuple{&card, 'x', ".card"}, std::tuple{&other, 'y', ".other"},
                                          std::tuple{&third, 'w', ".third"}}) {
        if (device->empty())
            continue;
        if (underwine())
            std::filesystem::remove(winedrive(letter));
        EXPECT_EQ(script("card.sh", std::string("detach '") + dir.string() + suffix + "'"), "");
        device->clear();
    }
}

void scratch::TearDown()
{
    if (partitionmounted)
        unmountpartition();
    detachcards();
    if (loopmounted) {
        EXPECT_EQ(medium("unmount '" + dir.string() + "'"), "");
    }
    if (mounted)
        umount2(dir.c_str(), MNT_DETACH);
    std::filesystem::remove_all(root);
}

namespace {

// A script that runs command, kapprobe under qemu-user, as one program as
// natively: for a shell to pipe into another, and for another user to start.
// It goes when the suite ends.
std::string asoneprogram(const std::vector<std::string>& command)
{
    static std::string directory =
        (std::filesystem::temp_directory_path() / "kapprobe-emulated.XXXXXX").string();
    if (mkdtemp(directory.data()) == nullptr)
        return "";
    std::atexit([] { std::filesystem::remove_all(directory); });
    const std::string script = directory + "/kapprobe";
    std::ofstream out(script);
    out << "#!/bin/sh\nexec";
    for (const std::string& word : command)
        out << " '" << word << "'";
    out << " \"$@\"\n";
    out.close();
    chmod(directory.c_str(), 0755);
    chmod(script.c_str(), 0755);
    return script;
}

} // namespace

std::vector<std::string> kapprobecommand()
{
    if (!emulated())
        return {KAPPROBE_PROGRAM};
    std::vector<std::string> command = programcommand();
    std::string& program = command.back();
    program =
        program.substr(0, program.find_last_of("/\\") + 1) + (underwine() ? "kapprobe.exe" : "kapprobe");
    if (underwine())
        return command;
    static const std::string script = asoneprogram(command);
    return {script};
}

bool emulated()
{
    return programcommand().size() > 1;
}

bool underwine()
{
    return programcommand().back().find(".exe") != std::string::npos;
}

void waitfor(const std::filesystem::path& file, const std::string& shown, int seconds)
{
    for (int waited = 0; waited < seconds * 100; waited++) {
        if (slurp(file).find(shown) != std::string::npos)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ADD_FAILURE() << "never got to " << shown;
}

invocation injecting(const std::string& faults)
{
    invocation how;
    how.faults = faults;
    return how;
}

outcome scratch::run(const std::vector<std::string>& args, const std::string& faults)
{
    return run(args, injecting(faults));
}

outcome scratch::runonterminal(const std::vector<std::string>& args, const std::string& faults)
{
    invocation how = injecting(faults);
    how.columns = 100;
    return run(args, how);
}

outcome scratch::run(const std::vector<std::string>& args, const invocation& how)
{
    running program = start(args, how);
    return collect(program);
}

running scratch::start(const std::vector<std::string>& args, const invocation& how)
{
    std::vector<std::string> env;
    if (underwine())
        env = {"WINEDEBUG=-all"};
    else if (!how.faults.empty())
        env = {"LD_PRELOAD=" FAULTINJECT_LIBRARY, "KAPMESS_FAULTS=" + how.faults,
               "ASAN_OPTIONS=verify_asan_link_order=0"};
    if (how.columns > 0)
        env.push_back("TERM=" + how.term);
    const std::vector<std::string> command = how.command.empty() ? programcommand() : how.command;
    std::vector<char*> argv;
    for (const auto& word : command)
        argv.push_back(const_cast<char*>(word.c_str()));
    for (const auto& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const std::string number = std::to_string(++started);
    running program{-1, -1, how, root / ("stdout" + number), root / ("stderr" + number)};

    if (how.columns > 0) {
        // Raw, so that the bytes arrive as the program wrote them.
        termios raw{};
        cfmakeraw(&raw);
        winsize size{};
        size.ws_row = 24;
        size.ws_col = static_cast<unsigned short>(how.columns);
        program.pid = forkpty(&program.terminal, nullptr, &raw, &size);
    } else {
        program.pid = fork();
    }
    if (program.pid == 0) {
        int in = open("/dev/null", O_RDONLY);
        int out = how.columns > 0 ? STDOUT_FILENO
                                  : open(program.outpath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(program.errpath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 ||
            chdir(dir.c_str()) != 0)
            _exit(126);
        if (how.stdoutclosed)
            close(STDOUT_FILENO);
        for (const auto& entry : env)
            putenv(const_cast<char*>(entry.c_str()));
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return program;
}

outcome scratch::collect(running& program)
{
    std::string out;
    std::size_t narrowedat = 0;
    double longestpause = 0;
    if (program.terminal >= 0) {
        // Until the program has closed its side of the terminal.
        auto last = std::chrono::steady_clock::now();
        char chunk[4096];
        for (ssize_t got; (got = read(program.terminal, chunk, sizeof chunk)) > 0;) {
            auto now = std::chrono::steady_clock::now();
            longestpause = std::max(longestpause, std::chrono::duration<double>(now - last).count());
            last = now;
            out.append(chunk, static_cast<std::size_t>(got));
            if (program.how.narrowto > 0 && narrowedat == 0 &&
                out.find(program.how.narrowafter) != std::string::npos) {
                winsize size{};
                size.ws_row = 24;
                size.ws_col = static_cast<unsigned short>(program.how.narrowto);
                EXPECT_EQ(ioctl(program.terminal, TIOCSWINSZ, &size), 0);
                narrowedat = out.size();
            }
        }
        close(program.terminal);
    }
    int status = 0;
    waitpid(program.pid, &status, 0);
    if (program.terminal < 0)
        out = slurp(program.outpath);
    if (underwine())
        out = fromtextstream(out);
    // A process ended by a signal shows as a shell shows it: 128 and the signal.
    const int ended = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    outcome result{maskrates(out), slurp(program.errpath), ended, rates(out)};
    result.narrowedat = narrowedat;
    result.longestpause = longestpause;
    return result;
}

std::vector<std::string> scratch::files() const
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}
