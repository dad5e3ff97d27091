// kapprobe and kapmess on a booted Linux: Debian's kernel under qemu, the fake
// cards as USB sticks on an xhci controller, the journal on a virtio disk with
// ext4. tests/kernel/guest.sh runs a case in the machine; this side boots it,
// pulls and plugs a stick or cuts the power when the guest asks, reads the
// guest's reports from its console and checks each card's storage.
#include "harness.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <fcntl.h>
#include <functional>
#include <map>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t mib = 1 << 20;
constexpr std::uint64_t gib = 1 << 30;

// What a case reported: of each command its status and output, and the
// case's own findings, each a line after its name.
struct report {
    std::map<std::string, std::string> status, out, err, said;
    // The whole console, for a failure's message.
    std::string console;
    bool ended = false;
};

// What the report holds under name; empty where the case got nowhere near it.
std::string of(const std::map<std::string, std::string>& reported, const std::string& name)
{
    const auto found = reported.find(name);
    return found == reported.end() ? "" : found->second;
}

// A line of the machine's monitor, a JSON object.
nlohmann::json readjson(int socket, std::string* pending)
{
    for (;;) {
        if (const std::size_t end = pending->find('\n'); end != std::string::npos) {
            nlohmann::json message = nlohmann::json::parse(pending->substr(0, end), nullptr, false);
            pending->erase(0, end + 1);
            return message;
        }
        char chunk[4096];
        const ssize_t got = read(socket, chunk, sizeof chunk);
        if (got <= 0)
            return nullptr;
        pending->append(chunk, static_cast<std::size_t>(got));
    }
}

// The machine's monitor (QMP): unplugs and plugs sticks while it runs.
class monitor {
  public:
    explicit monitor(const fs::path& path) : path(path) {}
    ~monitor()
    {
        if (socket >= 0)
            close(socket);
    }
    monitor(const monitor&) = delete;
    monitor& operator=(const monitor&) = delete;

    // Runs a command, and waits for the event that says it is done; the
    // answer, or why not.
    std::string execute(const nlohmann::json& command, const std::string& event = "")
    {
        if (socket < 0 && !connect())
            return "no monitor at " + path.string();
        const std::string line = command.dump() + "\n";
        if (write(socket, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
            return "the monitor took no command";
        bool answered = false, happened = event.empty();
        while (!answered || !happened) {
            const nlohmann::json message = readjson(socket, &pending);
            if (message.is_null())
                return "the monitor went away";
            if (message.contains("error"))
                return message.dump();
            answered = answered || message.contains("return");
            happened = happened || message.value("event", "") == event;
        }
        return "";
    }

  private:
    bool connect()
    {
        socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.string().copy(address.sun_path, sizeof address.sun_path - 1);
        if (::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(socket);
            socket = -1;
            return false;
        }
        readjson(socket, &pending); // the greeting
        return execute({{"execute", "qmp_capabilities"}}).empty();
    }

    fs::path path;
    int socket = -1;
    std::string pending;
};

// The machine's kernel and initramfs, made once for all tests; empty, or why not.
const std::string& machineimage()
{
    static const std::string why =
        script("kernel/image.sh", KERNEL_IMAGE_DIR " " KAPMESS_PROGRAM " " KAPPROBE_PROGRAM);
    return why;
}

// The sticks of one machine, their fake cards attached by the scratch test.
class booted : public scratch {
  protected:
    void SetUp() override
    {
        scratch::SetUp();
        if (const std::string& why = machineimage(); !why.empty())
            GTEST_SKIP() << why;
        // The journal's disk: ext4 as on a user's machine.
        journaldisk = dir.string() + ".journal";
        ASSERT_EQ(printedby("truncate -s 2G " + journaldisk.string() + " && mkfs.ext4 -q -F " +
                            journaldisk.string() + " && echo made"),
                  "made\n");
    }

    void TearDown() override
    {
        fs::remove(journaldisk);
        scratch::TearDown();
    }

    // Boots the machine with the files as USB sticks, runs the case and
    // collects its report; arguments go to the guest on the kernel's command
    // line. Each finding of the case's own is also given to heard at once,
    // while the machine waits.
    report boot(const std::string& kapcase, const std::vector<fs::path>& sticks,
                const std::string& arguments = "", const std::function<void(const std::string&)>& heard = {})
    {
        const fs::path socket = dir.string() + ".qmp";
        fs::remove(socket);
        const std::string kernelline = "console=ttyS0 loglevel=1 panic=-1 kapcase=" + kapcase +
                                       " sticks=" + std::to_string(sticks.size()) + " " + arguments;
        const std::string journal = "file=" + journaldisk.string() + ",format=raw,if=virtio,cache=none";
        const std::string monitor = "unix:" + socket.string() + ",server=on,wait=off";
        const std::string kernel = KERNEL_IMAGE_DIR "/vmlinuz", initramfs = KERNEL_IMAGE_DIR "/initramfs";
        // Emulated without KVM, which a machine in a machine may lack.
        // clang-format off
        std::vector<std::string> command = {
            "qemu-system-x86_64", "-accel", "tcg", "-cpu", "max", "-m", "1024", "-smp", "2", "-nodefaults",
            "-display", "none", "-no-reboot", "-serial", "stdio", "-kernel", kernel, "-initrd", initramfs,
            "-append", kernelline, "-device", "qemu-xhci,id=xhci", "-drive", journal, "-qmp", monitor};
        // clang-format on
        for (std::size_t index = 0; index < sticks.size(); ++index) {
            const std::string number = std::to_string(index);
            // A node of its own, so that an unplugged stick's storage stays.
            command.insert(command.end(), {"-blockdev",
                                           "driver=file,filename=" + sticks[index].string() +
                                               ",node-name=card" + number + ",cache.direct=on",
                                           "-device", stick(index, "stick" + number).dump()});
        }
        return run(command, socket, heard);
    }

  private:
    // The USB stick of card number index, as qemu's device options.
    static nlohmann::json stick(std::size_t index, const std::string& id)
    {
        return {{"driver", "usb-storage"},
                {"bus", "xhci.0"},
                {"drive", "card" + std::to_string(index)},
                {"id", id},
                {"serial", "KAP" + std::to_string(4711 + index)}};
    }

    report run(const std::vector<std::string>& command, const fs::path& socket,
               const std::function<void(const std::string&)>& heard)
    {
        report got;
        int console[2];
        if (pipe2(console, O_CLOEXEC) != 0)
            return got;
        const pid_t machine = fork();
        if (machine == 0) {
            dup2(console[1], STDOUT_FILENO);
            const int nothing = open("/dev/null", O_RDWR);
            dup2(nothing, STDIN_FILENO);
            std::vector<char*> argv;
            argv.reserve(command.size() + 1);
            for (const std::string& argument : command)
                argv.push_back(const_cast<char*>(argument.c_str()));
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        close(console[1]);
        monitor qmp(socket);
        // A case that hangs ends here, not in CI's limit.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(15);
        std::string pending;
        for (;;) {
            pollfd ready{console[0], POLLIN, 0};
            const int answered = poll(&ready, 1, 1000);
            if (answered < 0 || std::chrono::steady_clock::now() > deadline) {
                ADD_FAILURE() << "the machine hung:\n" << got.console;
                kill(machine, SIGKILL);
                break;
            }
            if (answered == 0)
                continue;
            char chunk[4096];
            const ssize_t read = ::read(console[0], chunk, sizeof chunk);
            if (read <= 0)
                break;
            pending.append(chunk, static_cast<std::size_t>(read));
            for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
                std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                got.console += line + "\n";
                if (line.rfind("@@ ", 0) == 0)
                    take(line.substr(3), machine, &qmp, &got, heard);
            }
        }
        close(console[0]);
        int status = 0;
        waitpid(machine, &status, 0);
        return got;
    }

    // Takes one line of the guest's report, and does what it asks.
    void take(const std::string& line, pid_t machine, monitor* qmp, report* got,
              const std::function<void(const std::string&)>& heard)
    {
        const std::size_t space = line.find(' ');
        const std::string name = line.substr(0, space);
        const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
        if (name == "end") {
            got->ended = true;
        } else if (name == "pull") {
            EXPECT_EQ(qmp->execute({{"execute", "device_del"}, {"arguments", {{"id", "stick0"}}}},
                                   "DEVICE_DELETED"),
                      "");
        } else if (name == "plug") {
            // Back in as another device of the controller.
            EXPECT_EQ(qmp->execute({{"execute", "device_add"}, {"arguments", stick(0, "again")}}), "");
        } else if (name == "cut") {
            kill(machine, SIGKILL);
        } else if (rest.rfind("status ", 0) == 0) {
            got->status[name] = rest.substr(7);
        } else if (rest.rfind("out| ", 0) == 0) {
            got->out[name] += rest.substr(5) + "\n";
        } else if (rest.rfind("err| ", 0) == 0) {
            got->err[name] += rest.substr(5) + "\n";
        } else {
            got->said[name] = rest;
            if (heard)
                heard(line);
        }
    }

    fs::path journaldisk;
};

// The start and size in bytes of the first partition of the table in a
// card's first sector.
std::pair<std::uint64_t, std::uint64_t> firstpartition(const fs::path& store)
{
    const std::string entry = readbytes(store, 446, 16);
    const auto field = [&entry](std::size_t at) {
        std::uint64_t value = 0;
        for (std::size_t byte = 4; byte-- > 0;)
            value = value << 8 | static_cast<unsigned char>(entry[at + byte]);
        return value * 512;
    };
    return {field(8), field(12)};
}

} // namespace

// Three sticks on one controller probed at once: each verdict as its card
// is made, each card's content kept.
TEST_F(booted, ABatchOfThreeSticksOnOneController)
{
    ATTACH_OR_SKIP(
        attachcard("wrap " + std::to_string(2 * gib) + " " + std::to_string(256 * mib) + " 0 512"));
    ATTACH_OR_SKIP(attachothercard("honest " + std::to_string(128 * mib) + " 0 0 512"));
    ATTACH_OR_SKIP(attachthirdcard("zeros " + std::to_string(gib) + " " + std::to_string(192 * mib) + " " +
                                   std::to_string(4 * mib) + " 512"));
    const std::string before[] = {sha256(cardstore(".card")), sha256(cardstore(".other")),
                                  sha256(cardstore(".third"))};

    const report got =
        boot("batch", {cardfile(), dir.string() + ".other/card", dir.string() + ".third/card"});
    ASSERT_TRUE(got.ended) << got.console;
    EXPECT_EQ(of(got.status, "batch"), "2") << got.console;
    const nlohmann::json devices = nlohmann::json::parse(of(got.out, "batch"), nullptr, false)["devices"];
    ASSERT_EQ(devices.size(), 3U) << got.console;
    EXPECT_EQ(devices[0]["device"], "/dev/sda");
    EXPECT_EQ(devices[0]["verdict"], "counterfeit");
    EXPECT_EQ(devices[0]["usable"], 256 * mib);
    EXPECT_EQ(devices[0]["beyond"], "wraps");
    EXPECT_EQ(devices[1]["verdict"], "sound");
    EXPECT_EQ(devices[1]["usable"], 128 * mib);
    EXPECT_EQ(devices[2]["verdict"], "counterfeit");
    EXPECT_LE(devices[2]["usable"], 192 * mib);
    EXPECT_GT(devices[2]["usable"], 191 * mib);
    EXPECT_EQ(devices[2]["beyond"], "zeros");
    EXPECT_EQ(sha256(cardstore(".card")), before[0]);
    EXPECT_EQ(sha256(cardstore(".other")), before[1]);
    EXPECT_EQ(sha256(cardstore(".third")), before[2]);
}

// A probe ended by kill -9, by the stick pulled out of its port, and by the
// machine's power cut: each time the journal gives the card back byte for byte.
TEST_F(booted, EveryEndOfAProbeGivesTheCardBack)
{
    ATTACH_OR_SKIP(attachcard("honest " + std::to_string(256 * mib) + " 0 0 512"));
    const std::string before = sha256(cardstore());

    const report killed = boot("kill", {cardfile()});
    ASSERT_TRUE(killed.ended) << killed.console;
    EXPECT_EQ(of(killed.status, "restore"), "0") << killed.console;
    EXPECT_EQ(sha256(cardstore()), before);

    const report pulled = boot("pull", {cardfile()});
    ASSERT_TRUE(pulled.ended) << pulled.console;
    EXPECT_EQ(of(pulled.status, "pulled"), "4") << pulled.console;
    EXPECT_NE(of(pulled.out, "pulled")
                  .find("\nErgebnis: keines. '/dev/sda' antwortet nicht mehr, auch nicht an seinem Anfang: "
                        "abgezogen oder ausgefallen.\n"),
              std::string::npos)
        << pulled.console;
    EXPECT_EQ(of(pulled.said, "replugged"), "sdb") << pulled.console;
    EXPECT_EQ(of(pulled.said, "journals"), "1") << "the journal kept:\n" << pulled.console;
    EXPECT_EQ(of(pulled.status, "restore"), "0") << pulled.console;
    EXPECT_EQ(sha256(cardstore()), before);

    const report cut = boot("cut", {cardfile()});
    EXPECT_FALSE(cut.ended) << cut.console;
    EXPECT_NE(sha256(cardstore()), before) << "the probe had written";
    const report restored = boot("restore", {cardfile()});
    ASSERT_TRUE(restored.ended) << restored.console;
    EXPECT_EQ(of(restored.status, "restore"), "0") << restored.console;
    EXPECT_EQ(sha256(cardstore()), before);
}

// --fix on a fake stick as a user's kernel takes it: the partition node the
// kernel makes of the new table, its own vfat or exfat driver that kapmess
// fills and verifies after the system's cache is dropped, the refusals a user
// meets on the way, and --unfix, which puts the first 2 MiB back.
TEST_F(booted, AFixedStickServesTheKernelsOwnFileSystem)
{
    // A card of 2 GiB that holds 256 MiB, for FAT32; one of 64 GiB whose real
    // part of 40 GiB lies sparse in its store, for exFAT.
    for (const auto& [claimed, real, filesystem, amount] :
         {std::tuple{2 * gib, 256 * mib, "vfat", ""},
          std::tuple{64 * gib, 40 * gib, "exfat", " amount=64"}}) {
        SCOPED_TRACE(filesystem);
        ATTACH_OR_SKIP(attachcard("wrap " + std::to_string(claimed) + " " + std::to_string(real) + " 0 512"));
        const std::string beginning = readbytes(cardstore(), 0, 2 * mib);

        // The table on the card, read when the kernel has made its partition.
        std::uint64_t start = 0, size = 0;
        const report got = boot("fix", {cardfile()}, std::string("filesystem=") + filesystem + amount,
                                [&](const std::string& line) {
                                    if (line.rfind("partition ", 0) == 0)
                                        std::tie(start, size) = firstpartition(cardstore());
                                });
        ASSERT_TRUE(got.ended) << got.console;
        EXPECT_EQ(of(got.status, "fix"), "2") << got.console;
        EXPECT_EQ(of(got.said, "partition"), std::to_string(start) + " " + std::to_string(size))
            << got.console;
        EXPECT_LE(start + size, real);
        EXPECT_GE(start + size, real - 2 * mib) << "the partition covers all but 2 MiB of the real part";

        EXPECT_EQ(of(got.status, "partitionnamed"), "1");
        EXPECT_NE(of(got.out, "partitionnamed")
                      .find("*** '/dev/sda1' ist eine Partition. Geprüft wird nur das ganze Gerät: "),
                  std::string::npos)
            << got.console;
        EXPECT_EQ(of(got.status, "mounted"), "1");
        EXPECT_NE(of(got.out, "mounted").find("*** '/dev/sda' oder eine seiner Partitionen ist unter "),
                  std::string::npos)
            << got.console;
        EXPECT_EQ(of(got.status, "write"), "0") << got.console;
        EXPECT_EQ(of(got.status, "verify"), "0") << got.console;
        EXPECT_EQ(of(got.status, "held"), "1");
        EXPECT_NE(of(got.out, "held").find(" hält ein anderes Programm geöffnet: sleep (PID "),
                  std::string::npos)
            << got.console;
        EXPECT_EQ(of(got.status, "unfix"), "0") << got.console;
        EXPECT_TRUE(readbytes(cardstore(), 0, 2 * mib) == beginning) << "the first 2 MiB back";
        detachcards();
    }
}

// kapmess on the kernel's vfat over the whole of a fake stick, as such sticks
// are sold: the run that fills it catches it.
TEST_F(booted, KapmessCatchesAFakeStickInOneRun)
{
    ATTACH_OR_SKIP(attachcard("wrap " + std::to_string(gib) + " " + std::to_string(128 * mib) + " 0 512"));
    const report got = boot("kapmess", {cardfile()}, "amount=512");
    ASSERT_TRUE(got.ended) << got.console;
    EXPECT_NE(of(got.status, "kapmess"), "0") << got.console;
    EXPECT_NE(of(got.out, "kapmess").find("\n*** Datenfehler in Datei '"), std::string::npos) << got.console;
}
