// The journal as a POSIX file: created exclusively, locked with flock, its
// name put on the medium with the directory.
#include "platform/journalfile.h"

#include "platform/posix/posix.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

int descriptor(journalhandle journal)
{
    return static_cast<int>(journal);
}

// Closes fd and gives none, keeping errno for systemreason.
journalhandle dropjournal(int fd)
{
    const int error = errno;
    close(fd);
    errno = error;
    return journalhandle::none;
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
    return static_cast<journalhandle>(fd);
}

// Puts the entries of the current directory on the medium; false, errno
// kept, when they did not get there.
bool syncdirectory()
{
    const int directory = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (directory < 0)
        return false;
    const bool synced = fsync(directory) == 0;
    const int error = errno;
    close(directory);
    errno = error;
    return synced;
}

} // namespace

journalhandle createjournal(const char* name, journalopen* how)
{
    int fd = open(name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        *how = errno == EEXIST ? journalopen::inuse : journalopen::failed;
        return journalhandle::none;
    }
    journalhandle journal = holdjournal(fd, name, how);
    if (journal == journalhandle::none) {
        // A lock the file system cannot give (NFS without its lock service):
        // the file this call made goes again, or it would stand in the way
        // of every later run.
        if (*how == journalopen::failed) {
            const int error = errno;
            unlink(name);
            errno = error;
        }
        return journal;
    }
    // The new name on the medium too, so that a power cut cannot take the
    // journal away from beneath what it saved.
    if (!syncdirectory()) {
        *how = journalopen::failed;
        journal = dropjournal(fd);
        unlink(name);
    }
    return journal;
}

journalhandle openjournal(const char* name, journalopen* how)
{
    int fd = open(name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *how = errno == ENOENT ? journalopen::missing : journalopen::failed;
        return journalhandle::none;
    }
    struct stat status;
    if (!posix::regularfile(fd, status)) {
        *how = journalopen::failed;
        errno = EINVAL;
        return dropjournal(fd);
    }
    return holdjournal(fd, name, how);
}

bool appendjournal(journalhandle journal, const unsigned char* data, std::size_t size)
{
    while (size > 0) {
        ssize_t put = write(descriptor(journal), data, size);
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
    return posix::readat(descriptor(journal), offset, data, size);
}

bool syncjournal(journalhandle journal)
{
    return posix::tomedium(descriptor(journal));
}

bool truncatejournal(journalhandle journal, std::uint64_t size)
{
    const auto end = static_cast<off_t>(size);
    return ftruncate(descriptor(journal), end) == 0 && lseek(descriptor(journal), end, SEEK_SET) == end;
}

std::uint64_t journalsize(journalhandle journal)
{
    struct stat status;
    return fstat(descriptor(journal), &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
}

void closejournal(journalhandle journal)
{
    close(descriptor(journal));
}

bool removejournal(journalhandle journal, const char* name)
{
    // The removal on the medium too: a journal that a power cut brings back
    // passes for an interrupted run's, and the next run writes it back again
    // over whatever the device holds by then.
    const bool removed = unlink(name) == 0 && syncdirectory();
    const int error = errno;
    close(descriptor(journal));
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

std::vector<std::string> journalsin(const std::string& prefix)
{
    const std::string suffix = ".undo";
    std::vector<std::string> names;
    DIR* directory = opendir(".");
    if (directory == nullptr)
        return names;
    while (const dirent* entry = readdir(directory)) {
        const std::string name = entry->d_name;
        struct stat status;
        // Not every file system tells the type in the entry.
        const bool regular =
            entry->d_type == DT_REG ||
            (entry->d_type == DT_UNKNOWN && lstat(entry->d_name, &status) == 0 && S_ISREG(status.st_mode));
        if (regular && name.size() >= prefix.size() + suffix.size() &&
            name.compare(0, prefix.size(), prefix) == 0 &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            names.push_back(name);
    }
    closedir(directory);
    std::sort(names.begin(), names.end());
    return names;
}
