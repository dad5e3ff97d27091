// POSIX half of the platform layer, with the Linux calls that keep the page
// cache out of the measurement (sync_file_range, /proc/self/mountinfo).
#include "platform/platform.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sstream>
#include <string>
#include <string_view>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::int64_t nanosecondspersecond = 1000000000;
constexpr std::size_t bufferalignment = 4096;

// The write pass sends each MiB on to the medium as soon as it is written and
// waits for the one written 8 MiB before it: enough in flight for a fast disk,
// little enough that a slow card's progress follows the card.
constexpr std::uint64_t writebehindstep = 1 << 20;
constexpr std::uint64_t writebehindsteps = 8;

constexpr long fusemagic = 0x65735546;

// The file being written when it lies on a FUSE file system, whose daemon
// writes into the system's cache of its device: that device, open for its
// write-back; else -1.
bool writingtofuse;
int devicebeneath = -1;

// True when fd is a regular file, which from now on blocks as files do.
bool regularfile(int fd, struct stat& status)
{
    return fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
           fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0;
}

// Undoes the octal escapes (\040 for a blank) of a field of mountinfo.
std::string unescaped(std::string_view field)
{
    std::string text;
    for (std::size_t i = 0; i < field.size(); i++) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            text += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                      (field[i + 3] - '0'));
            i += 3;
        } else {
            text += field[i];
        }
    }
    return text;
}

// Field number index, counted from 0, of a line of blank-separated fields.
std::string_view field(std::string_view line, int index)
{
    for (; index > 0 && line.find(' ') != std::string_view::npos; index--)
        line.remove_prefix(line.find(' ') + 1);
    return index > 0 ? std::string_view() : line.substr(0, line.find(' '));
}

// What the file system on device was mounted from: a block device for a disk
// file system, also for one that a FUSE daemon runs; a mere name for tmpfs.
// Empty when unknown.
std::string mountsource(dev_t device)
{
    std::FILE* mountinfo = std::fopen("/proc/self/mountinfo", "re");
    if (mountinfo == nullptr)
        return "";
    const std::string numbers = std::to_string(major(device)) + ":" + std::to_string(minor(device));
    std::string source;
    char* text = nullptr;
    std::size_t capacity = 0;
    while (source.empty() && getline(&text, &capacity, mountinfo) > 0) {
        // id parent major:minor root mount-point options [tags...] - type source options
        std::string_view line = text;
        std::size_t separator = line.find(" - ");
        if (field(line, 2) == numbers && separator != std::string_view::npos)
            source = unescaped(field(line.substr(separator + 3), 1));
    }
    std::free(text);
    std::fclose(mountinfo);
    return source;
}

// The block device that the file system of fd was mounted from, open
// read-only, never for a write; -1 where there is none or it cannot be opened
// (not root).
int openmountdevice(int fd)
{
    struct stat file;
    if (fstat(fd, &file) != 0)
        return -1;
    std::string source = mountsource(file.st_dev);
    if (source.empty() || source[0] != '/')
        return -1;
    int device = open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat status;
    if (device >= 0 && (fstat(device, &status) != 0 || !S_ISBLK(status.st_mode))) {
        close(device);
        return -1;
    }
    return device;
}

// A FUSE file system reads its device through the kernel's cache of the
// device, which keeps what was written there even when the medium has lost
// it: write back and drop that cache too.
void dropdevicecache(int fd)
{
    int device = openmountdevice(fd);
    if (device < 0)
        return;
    fsync(device);
    posix_fadvise(device, 0, 0, POSIX_FADV_DONTNEED);
    close(device);
}

bool onfuse(int fd)
{
    struct statfs filesystem;
    return fstatfs(fd, &filesystem) == 0 && filesystem.f_type == fusemagic;
}

volatile std::sig_atomic_t stopsignal;

void rememberstop(int signal)
{
    stopsignal = signal;
}

std::string devicenumbers(dev_t device)
{
    return std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

std::string firstline(const std::string& path)
{
    std::string line;
    if (std::FILE* file = std::fopen(path.c_str(), "re")) {
        char text[256];
        if (std::fgets(text, sizeof text, file) != nullptr)
            line = text;
        std::fclose(file);
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == ' '))
        line.pop_back();
    return line;
}

// The device numbers of the whole device whose directory in /sys is sys and
// of each of its partitions.
std::vector<std::string> withpartitions(const std::string& sys, dev_t whole)
{
    std::vector<std::string> numbers = {devicenumbers(whole)};
    if (DIR* directory = opendir(sys.c_str())) {
        while (const dirent* entry = readdir(directory)) {
            const std::string part = sys + "/" + entry->d_name;
            if (entry->d_name[0] != '.' && access((part + "/partition").c_str(), F_OK) == 0)
                numbers.push_back(firstline(part + "/dev"));
        }
        closedir(directory);
    }
    return numbers;
}

// Where one of the devices numbers is mounted, by its own numbers or as the
// source of a file system (as FUSE file systems show it); empty when nowhere.
std::string mountpointof(const std::vector<std::string>& numbers)
{
    std::FILE* mountinfo = std::fopen("/proc/self/mountinfo", "re");
    if (mountinfo == nullptr)
        return "";
    auto ours = [&](std::string_view number) {
        return std::find(numbers.begin(), numbers.end(), number) != numbers.end();
    };
    std::string mountpoint;
    char* text = nullptr;
    std::size_t capacity = 0;
    while (mountpoint.empty() && getline(&text, &capacity, mountinfo) > 0) {
        std::string_view line = text;
        std::size_t separator = line.find(" - ");
        if (separator == std::string_view::npos)
            continue;
        struct stat source;
        std::string sourcepath = unescaped(field(line.substr(separator + 3), 1));
        if (ours(field(line, 2)) || (stat(sourcepath.c_str(), &source) == 0 && S_ISBLK(source.st_mode) &&
                                     ours(devicenumbers(source.st_rdev))))
            mountpoint = unescaped(field(line, 4));
    }
    std::free(text);
    std::fclose(mountinfo);
    return mountpoint;
}

// The canonical name of path, or empty.
std::string realname(const std::string& path)
{
    char* real = realpath(path.c_str(), nullptr);
    std::string name = real != nullptr ? real : "";
    std::free(real);
    return name;
}

// What tells the device whose directory in /sys is sys from another one of
// the same size: a loop device's backing file; else the maker and model it
// reports and the first serial number found on the way up to the bus, which
// for a card in a USB reader is the reader's.
std::string identityof(const std::string& sys)
{
    if (std::string backing = firstline(sys + "/loop/backing_file"); !backing.empty())
        return backing;
    std::string identity;
    auto add = [&identity](const std::string& part) {
        std::istringstream words(part);
        for (std::string word; words >> word;)
            identity += (identity.empty() ? "" : " ") + word;
    };
    for (const char* part : {"/device/vendor", "/device/model", "/device/name"})
        add(firstline(sys + part));
    for (std::string dir = realname(sys + "/device"); dir.rfind("/sys/devices/", 0) == 0;
         dir.resize(dir.find_last_of('/'))) {
        if (std::string serial = firstline(dir + "/serial"); !serial.empty()) {
            add(serial);
            break;
        }
    }
    return identity;
}

} // namespace

bool QueryPerformanceFrequency(std::int64_t* frequency)
{
    timespec resolution;
    if (clock_getres(CLOCK_MONOTONIC, &resolution) != 0)
        return false;
    *frequency = nanosecondspersecond;
    return true;
}

bool QueryPerformanceCounter(std::int64_t* count)
{
    timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return false;
    *count = now.tv_sec * nanosecondspersecond + now.tv_nsec;
    return true;
}

void openstandardstreams()
{
    // Each open takes the lowest free descriptor, which is the closed one.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++)
        if (fcntl(fd, F_GETFD) < 0 && errno == EBADF && open("/dev/null", O_RDWR) != fd)
            return;
}

void setupconsole() {}

int terminalcolumns()
{
    // An editor's shell buffer says TERM=dumb: it shows every rewrite anew.
    const char* term = std::getenv("TERM");
    if (!isatty(STDOUT_FILENO) || (term != nullptr && std::strcmp(term, "dumb") == 0))
        return 0;
    // A terminal that does not tell its width is taken as the classic one.
    winsize size;
    return ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}

bool lockdirectory(bool exclusive)
{
    // The descriptor stays open, and the lock held, until the process ends.
    int directory = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0)
        return true;
    if (flock(directory, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0)
        return true;
    int error = errno;
    close(directory);
    return error != EWOULDBLOCK;
}

unsigned char* allocbuffer(std::size_t size)
{
    // aligned_alloc takes only whole multiples of the alignment.
    const std::size_t whole = (size + bufferalignment - 1) / bufferalignment * bufferalignment;
    return static_cast<unsigned char*>(std::aligned_alloc(bufferalignment, whole));
}

void freebuffer(unsigned char* buffer)
{
    std::free(buffer);
}

filehandle createfile(const char* name)
{
    // Without truncation and non-blocking until it is known to be a regular
    // file: a FIFO would otherwise hold the pass in open for ever.
    int fd = open(name, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0)
        return nofile;
    struct stat status;
    if (!regularfile(fd, status) || status.st_nlink > 1 || ftruncate(fd, 0) != 0) {
        close(fd);
        return nofile;
    }
    writingtofuse = onfuse(fd);
    if (writingtofuse)
        devicebeneath = openmountdevice(fd);
    return fd;
}

filehandle openfile(const char* name)
{
    int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nofile;
    struct stat status;
    if (!regularfile(fd, status)) {
        close(fd);
        return nofile;
    }
    // Write back what is still dirty, then drop the clean pages, of the file
    // and then of the device beneath it. Errors are of no consequence: a
    // block the medium lost shows up as a data error.
    fdatasync(fd);
    posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    dropdevicecache(fd);
    return fd;
}

bool writefile(filehandle file, const unsigned char* data, std::size_t size)
{
    return write(static_cast<int>(file), data, size) == static_cast<ssize_t>(size);
}

bool writebehind(filehandle file, std::uint64_t written)
{
    if (written % writebehindstep != 0)
        return true;
    int fd = static_cast<int>(file);
    auto step = static_cast<off_t>(written - writebehindstep);
    if (sync_file_range(fd, step, writebehindstep, SYNC_FILE_RANGE_WRITE) != 0)
        return false;
    off_t waited = step - static_cast<off_t>(writebehindsteps * writebehindstep);
    if (waited >= 0 && sync_file_range(fd, waited, writebehindstep,
                                       SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE |
                                           SYNC_FILE_RANGE_WAIT_AFTER) != 0)
        return false;
    if (!writingtofuse)
        return true;
    // Beneath FUSE the data wait in the cache of the device: wait for what
    // went on to it at the last step and send on what came since; without
    // the device, the daemon flushes it at each step.
    if (devicebeneath >= 0)
        return sync_file_range(devicebeneath, 0, 0, SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE) == 0;
    return fdatasync(fd) == 0;
}

bool flushfile(filehandle file)
{
    return fdatasync(static_cast<int>(file)) == 0;
}

bool readfile(filehandle file, unsigned char* data, std::size_t size)
{
    while (size > 0) {
        ssize_t got = read(static_cast<int>(file), data, size);
        if (got <= 0)
            return false;
        data += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

bool readfileat(filehandle file, std::uint64_t offset, unsigned char* data, std::size_t size)
{
    while (size > 0) {
        ssize_t got = pread(static_cast<int>(file), data, size, static_cast<off_t>(offset));
        if (got <= 0)
            return false;
        data += got;
        offset += static_cast<std::uint64_t>(got);
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

bool removefile(const char* name)
{
    return unlink(name) == 0;
}

operatingsystem thissystem()
{
    return operatingsystem::gnulinux;
}

std::string systemreason()
{
    return std::strerror(errno);
}

bool privileged()
{
    return geteuid() == 0;
}

namespace {

// Closes fd and gives nojournal, keeping errno for systemreason.
journalhandle dropjournal(int fd)
{
    const int error = errno;
    close(fd);
    errno = error;
    return nojournal;
}

// Holds fd, opened as name, for this process alone: locked, and still the
// file of that name, which another run may have removed between the open and
// the lock.
journalhandle holdjournal(int fd, const char* name, journalopen* how)
{
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *how = errno == EWOULDBLOCK ? journalopen::inuse : journalopen::failed;
        return dropjournal(fd);
    }
    struct stat held, named;
    if (fstat(fd, &held) != 0 || stat(name, &named) != 0 || held.st_dev != named.st_dev ||
        held.st_ino != named.st_ino) {
        *how = journalopen::inuse;
        return dropjournal(fd);
    }
    *how = journalopen::opened;
    return fd;
}

} // namespace

journalhandle createjournal(const char* name, journalopen* how)
{
    int fd = open(name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        *how = errno == EEXIST ? journalopen::inuse : journalopen::failed;
        return nojournal;
    }
    journalhandle journal = holdjournal(fd, name, how);
    // The new name on the medium too, so that a power cut cannot take the
    // journal away from beneath what it saved.
    int directory = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (journal != nojournal && (directory < 0 || fsync(directory) != 0)) {
        *how = journalopen::failed;
        journal = dropjournal(fd);
        unlink(name);
    }
    if (directory >= 0)
        close(directory);
    return journal;
}

journalhandle openjournal(const char* name, journalopen* how)
{
    int fd = open(name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *how = errno == ENOENT ? journalopen::missing : journalopen::failed;
        return nojournal;
    }
    struct stat status;
    if (!regularfile(fd, status)) {
        *how = journalopen::failed;
        errno = EINVAL;
        return dropjournal(fd);
    }
    return holdjournal(fd, name, how);
}

bool appendjournal(journalhandle journal, const unsigned char* data, std::size_t size)
{
    while (size > 0) {
        ssize_t put = write(static_cast<int>(journal), data, size);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        data += put;
        size -= static_cast<std::size_t>(put);
    }
    return true;
}

bool readjournal(journalhandle journal, std::uint64_t offset, unsigned char* data, std::size_t size)
{
    return readfileat(journal, offset, data, size);
}

bool syncjournal(journalhandle journal)
{
    return fdatasync(static_cast<int>(journal)) == 0;
}

std::uint64_t journalsize(journalhandle journal)
{
    struct stat status;
    return fstat(static_cast<int>(journal), &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
}

void closejournal(journalhandle journal)
{
    close(static_cast<int>(journal));
}

bool removejournal(journalhandle journal, const char* name)
{
    const bool removed = unlink(name) == 0;
    const int error = errno;
    close(static_cast<int>(journal));
    errno = error;
    return removed;
}

std::uint64_t freebytes()
{
    struct statvfs filesystem;
    return statvfs(".", &filesystem) == 0
               ? static_cast<std::uint64_t>(filesystem.f_bavail) * filesystem.f_frsize
               : 0;
}

bool directoryinmemory()
{
    constexpr long tmpfsmagic = 0x01021994, ramfsmagic = static_cast<long>(0x858458f6);
    struct statfs filesystem;
    return statfs(".", &filesystem) == 0 &&
           (filesystem.f_type == tmpfsmagic || filesystem.f_type == ramfsmagic);
}

devicehandle opendevice(const char* path, deviceinfo* info)
{
    *info = deviceinfo{};
    struct stat status;
    if (stat(path, &status) != 0) {
        info->why = errno == ENOENT ? refusal::notfound : refusal::cannotopen;
        info->reason = std::strerror(errno);
        return nodevice;
    }
    if (!S_ISBLK(status.st_mode)) {
        info->why = refusal::notblockdevice;
        return nodevice;
    }
    const std::string sys = realname("/sys/dev/block/" + devicenumbers(status.st_rdev));
    if (!sys.empty() && access((sys + "/partition").c_str(), F_OK) == 0) {
        // A partition's directory lies in that of its whole device.
        info->why = refusal::partition;
        std::string parent = sys.substr(0, sys.find_last_of('/'));
        info->whole = "/dev/" + parent.substr(parent.find_last_of('/') + 1);
        return nodevice;
    }
    std::string mountpoint = mountpointof(withpartitions(sys, status.st_rdev));
    if (!mountpoint.empty()) {
        info->why = refusal::mounted;
        info->whole = mountpoint;
        return nodevice;
    }
    int fd = open(path, O_RDWR | O_DIRECT | O_EXCL | O_CLOEXEC);
    std::uint64_t size = 0;
    int sectorsize = 0;
    if (fd < 0 || ioctl(fd, BLKGETSIZE64, &size) != 0 || ioctl(fd, BLKSSZGET, &sectorsize) != 0) {
        info->why = errno == EACCES || errno == EPERM ? refusal::notpermitted : refusal::cannotopen;
        info->reason = std::strerror(errno);
        if (fd >= 0)
            close(fd);
        return nodevice;
    }
    info->size = size;
    info->sectorsize = static_cast<std::uint32_t>(sectorsize);
    info->identity = identityof(sys);
    info->node = realname(path);
    return fd;
}

bool readdevice(devicehandle device, std::uint64_t offset, unsigned char* data, std::size_t size)
{
    return readfileat(device, offset, data, size);
}

bool writedevice(devicehandle device, std::uint64_t offset, const unsigned char* data, std::size_t size)
{
    while (size > 0) {
        ssize_t put = pwrite(static_cast<int>(device), data, size, static_cast<off_t>(offset));
        if (put <= 0)
            return false;
        data += put;
        offset += static_cast<std::uint64_t>(put);
        size -= static_cast<std::size_t>(put);
    }
    return true;
}

bool flushdevice(devicehandle device)
{
    return fsync(static_cast<int>(device)) == 0;
}

bool reopendevice(devicehandle*)
{
    // Direct I/O never leaves the device's data in the system's cache.
    return true;
}

void catchstops()
{
    struct sigaction action {};
    action.sa_handler = rememberstop;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        // Started with it ignored (nohup, a background job): it stays so.
        struct sigaction before {};
        if (sigaction(signal, nullptr, &before) == 0 && before.sa_handler == SIG_IGN)
            continue;
        sigaction(signal, &action, nullptr);
    }
    // A reader that went away (| head) must not end a run before it has
    // written back what it overwrote: the write fails, the run goes on.
    std::signal(SIGPIPE, SIG_IGN);
}

bool stoprequested()
{
    return stopsignal != 0;
}

bool closefile(filehandle file)
{
    if (devicebeneath >= 0)
        close(devicebeneath);
    devicebeneath = -1;
    writingtofuse = false;
    return close(static_cast<int>(file)) == 0;
}

void abnormalend()
{
    static constexpr char notice[] = "\r\nabnormal program termination\r\n";
    ssize_t ignored = write(STDERR_FILENO, notice, sizeof notice - 1);
    (void)ignored;
    _exit(3);
}
