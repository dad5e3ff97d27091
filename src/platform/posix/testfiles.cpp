// The test files as POSIX has them; posix::startwriting, startverifying and
// stopusing add what each system does to keep its caches out of the
// measurement.
#include "platform/testfiles.h"

#include "platform/posix/posix.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

int descriptor(filehandle file)
{
    return static_cast<int>(file);
}

bool allfrommedium = true;

} // namespace

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

filehandle createfile(const char* name)
{
    // Without truncation and non-blocking until it is known to be a regular
    // file: a FIFO would otherwise hold the pass in open for ever.
    int fd = open(name, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0)
        return filehandle::none;
    struct stat status;
    if (!posix::regularfile(fd, status) || status.st_nlink > 1 || ftruncate(fd, 0) != 0) {
        close(fd);
        return filehandle::none;
    }
    posix::startwriting(fd);
    return static_cast<filehandle>(fd);
}

filehandle openfile(const char* name)
{
    int fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return filehandle::none;
    struct stat status;
    if (!posix::regularfile(fd, status)) {
        close(fd);
        return filehandle::none;
    }
    allfrommedium = posix::startverifying(fd) && allfrommedium;
    return static_cast<filehandle>(fd);
}

bool readfrommedium()
{
    return allfrommedium;
}

bool writefile(filehandle file, const unsigned char* data, std::size_t size)
{
    return write(descriptor(file), data, size) == static_cast<ssize_t>(size);
}

bool flushfile(filehandle file)
{
    return posix::tomedium(descriptor(file));
}

bool readfileat(filehandle file, std::uint64_t offset, unsigned char* data, std::size_t size)
{
    return posix::readat(descriptor(file), offset, data, size);
}

bool closefile(filehandle file)
{
    posix::stopusing(descriptor(file));
    return close(descriptor(file)) == 0;
}
