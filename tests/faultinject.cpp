// Test-only preload library: makes the system calls of the program under test
// fail the way a misbehaving medium does, at a place the test chooses.
//
// KAPMESS_FAULTS holds rules separated by ';':
//   read FILE BYTE ERRNO    a read of FILE that reaches byte BYTE fails
//   write FILE BYTE ERRNO   a write of FILE that reaches byte BYTE fails
//   close FILE ERRNO        closing FILE fails (the descriptor is closed)
//   flush FILE ERRNO        fdatasync of FILE fails
//   pulled BYTES            once BYTES have been read and written in all,
//                           every read, write, flush and close fails with EIO
//   short BYTES             a read delivers at most BYTES
//   slow FILE MICROSECONDS  every 64 KiB read or written of FILE, or a
//                           shorter request, takes this long more
//   clock N                 the Nth reading of the monotonic clock fails
//   clockres                asking for the clock's resolution fails
//   raise BYTES SIGNAL      once BYTES of block device I/O are done, the
//                           process gets SIGNAL (9: a crash, 2: Ctrl-C)
//   tear BYTES              the block device write that reaches BYTES puts
//                           only the first half of its first 512 bytes on the
//                           device, and the process gets SIGKILL: a power cut
//                           in the middle of a write
//   unplug BYTES            from BYTES of block device I/O on, every read,
//                           write and flush of a block device fails with EIO,
//                           as when the stick is pulled
//   lock ERRNO              every flock fails (ENOLCK: NFS without locking)
// FILE is a base name such as 2.kpm; ERRNO is EIO, ENOSPC or ENOLCK.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <sstream>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

struct rule {
    std::string kind;
    std::string file;
    long long number = 0;
    int error = EIO;
    int signal = 0;
};

const std::vector<rule>& rules()
{
    static const std::vector<rule> parsed = [] {
        std::vector<rule> result;
        const char* text = std::getenv("KAPMESS_FAULTS");
        std::istringstream all(text != nullptr ? text : "");
        for (std::string one; std::getline(all, one, ';');) {
            std::istringstream words(one);
            rule r;
            std::string error;
            words >> r.kind;
            if (r.kind == "read" || r.kind == "write")
                words >> r.file >> r.number >> error;
            else if (r.kind == "close" || r.kind == "flush")
                words >> r.file >> error;
            else if (r.kind == "slow")
                words >> r.file >> r.number;
            else if (r.kind == "raise")
                words >> r.number >> r.signal;
            else if (r.kind == "lock")
                words >> error;
            else
                words >> r.number;
            r.error = error == "ENOSPC" ? ENOSPC : error == "ENOLCK" ? ENOLCK : EIO;
            result.push_back(r);
        }
        return result;
    }();
    return parsed;
}

const rule* find(const char* kind)
{
    for (const auto& r : rules())
        if (r.kind == kind)
            return &r;
    return nullptr;
}

std::string basename(int fd)
{
    char link[64], target[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t length = readlink(link, target, sizeof target - 1);
    if (length < 0)
        return "";
    target[length] = '\0';
    const char* slash = std::strrchr(target, '/');
    return slash != nullptr ? slash + 1 : target;
}

long long transferred;

bool pulled()
{
    const rule* r = find("pulled");
    return r != nullptr && transferred >= r->number;
}

// True when the medium is pulled or a rule of this kind names fd's file.
bool failsfor(const char* kind, int fd)
{
    bool fails = pulled();
    for (const auto& r : rules())
        fails = fails || (r.kind == kind && r.file == basename(fd));
    return fails;
}

// A slow medium: each 64 KiB of a request on the file of a slow rule, or a
// shorter request, takes its time.
void dawdle(int fd, std::size_t count)
{
    const auto pieces = static_cast<useconds_t>(std::max<std::size_t>(1, (count + 65535) / 65536));
    for (const auto& r : rules())
        if (r.kind == "slow" && r.file == basename(fd))
            usleep(static_cast<useconds_t>(r.number) * pieces);
}

// The error of a rule of this kind for a request of count bytes at position
// of fd, or 0.
int fault(const char* kind, int fd, long long position, std::size_t count)
{
    if (pulled())
        return EIO;
    for (const auto& r : rules())
        if (r.kind == kind && r.file == basename(fd) && position + static_cast<long long>(count) > r.number)
            return r.error;
    return 0;
}

long long devicebytes;

bool blockdevice(int fd)
{
    struct stat status;
    return fstat(fd, &status) == 0 && S_ISBLK(status.st_mode);
}

// Counts count bytes of I/O on fd when it is a block device, raising the
// signal of a raise rule that they reach; false when the device is unplugged.
bool deviceio(int fd, std::size_t count)
{
    if (!blockdevice(fd))
        return true;
    const rule* unplug = find("unplug");
    if (unplug != nullptr && devicebytes >= unplug->number)
        return false;
    const rule* signal = find("raise");
    static bool raised;
    if (signal != nullptr && !raised && devicebytes + static_cast<long long>(count) > signal->number) {
        raised = true;
        kill(getpid(), signal->signal);
    }
    devicebytes += static_cast<long long>(count);
    return true;
}

template <typename function>
function next(const char* name)
{
    return reinterpret_cast<function>(dlsym(RTLD_NEXT, name));
}

// A read of a test file, from position on, under the rules for files.
template <typename reader>
ssize_t readfile(int fd, long long position, size_t count, reader real)
{
    if (int error = fault("read", fd, position, count)) {
        errno = error;
        return -1;
    }
    dawdle(fd, count);
    if (const rule* r = find("short"))
        count = std::min(count, static_cast<size_t>(r->number));
    ssize_t got = real(count);
    transferred += got > 0 ? got : 0;
    return got;
}

} // namespace

extern "C" {

ssize_t read(int fd, void* data, size_t count)
{
    static auto real = next<ssize_t (*)(int, void*, size_t)>("read");
    return readfile(fd, lseek(fd, 0, SEEK_CUR), count, [&](size_t most) { return real(fd, data, most); });
}

ssize_t write(int fd, const void* data, size_t count)
{
    static auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
    if (int error = fault("write", fd, lseek(fd, 0, SEEK_CUR), count)) {
        errno = error;
        return -1;
    }
    dawdle(fd, count);
    ssize_t put = real(fd, data, count);
    transferred += put > 0 ? put : 0;
    return put;
}

int close(int fd)
{
    static auto real = next<int (*)(int)>("close");
    bool fails = failsfor("close", fd);
    int result = real(fd);
    if (fails) {
        errno = EIO;
        return -1;
    }
    return result;
}

ssize_t pread(int fd, void* data, size_t count, off_t offset)
{
    static auto real = next<ssize_t (*)(int, void*, size_t, off_t)>("pread");
    if (!blockdevice(fd))
        return readfile(fd, offset, count, [&](size_t most) { return real(fd, data, most, offset); });
    if (!deviceio(fd, count)) {
        errno = EIO;
        return -1;
    }
    return real(fd, data, count, offset);
}

// Under a tear rule that this write reaches: half a sector of it written
// over what the device held, then the end.
void tear(int fd, const void* data, size_t count, off_t offset)
{
    const rule* cut = find("tear");
    if (cut == nullptr || !blockdevice(fd) || devicebytes + static_cast<long long>(count) <= cut->number)
        return;
    static auto realread = next<ssize_t (*)(int, void*, size_t, off_t)>("pread");
    static auto realwrite = next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
    void* sector = nullptr;
    if (posix_memalign(&sector, 4096, 512) == 0 && realread(fd, sector, 512, offset) == 512) {
        std::memcpy(sector, data, 256);
        realwrite(fd, sector, 512, offset);
    }
    kill(getpid(), SIGKILL);
}

ssize_t pwrite(int fd, const void* data, size_t count, off_t offset)
{
    static auto real = next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite");
    tear(fd, data, count, offset);
    if (!deviceio(fd, count)) {
        errno = EIO;
        return -1;
    }
    return real(fd, data, count, offset);
}

int fsync(int fd)
{
    static auto real = next<int (*)(int)>("fsync");
    if (!deviceio(fd, 0)) {
        errno = EIO;
        return -1;
    }
    return real(fd);
}

int fdatasync(int fd)
{
    static auto real = next<int (*)(int)>("fdatasync");
    if (failsfor("flush", fd)) {
        errno = EIO;
        return -1;
    }
    return real(fd);
}

int flock(int fd, int operation)
{
    static auto real = next<int (*)(int, int)>("flock");
    if (const rule* r = find("lock")) {
        errno = r->error;
        return -1;
    }
    return real(fd, operation);
}

int clock_gettime(clockid_t clock, struct timespec* now)
{
    static auto real = next<int (*)(clockid_t, struct timespec*)>("clock_gettime");
    static long long readings;
    const rule* r = find("clock");
    if (clock == CLOCK_MONOTONIC && r != nullptr && ++readings == r->number) {
        errno = EINVAL;
        return -1;
    }
    return real(clock, now);
}

int clock_getres(clockid_t clock, struct timespec* resolution)
{
    static auto real = next<int (*)(clockid_t, struct timespec*)>("clock_getres");
    if (find("clockres") != nullptr) {
        errno = EINVAL;
        return -1;
    }
    return real(clock, resolution);
}

} // extern "C"
