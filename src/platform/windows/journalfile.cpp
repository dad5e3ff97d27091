// The journal as a Windows file: created new, shared with nobody, so that no
// other run opens it while this one holds it, and removed through its handle.
#include "platform/journalfile.h"

#include "platform/windows/windows.h"

#include <algorithm>

using windowssystem::handle;

namespace {

// Puts the entries of the current directory on the medium. Windows offers no
// call for that as such: a handle to a directory comes from
// FILE_FLAG_BACKUP_SEMANTICS, and FlushFileBuffers takes it when it may write
// there, as kapprobe.exe, run as administrator, may.
bool flushdirectory()
{
    HANDLE directory = CreateFileA(".", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (directory == INVALID_HANDLE_VALUE)
        return false;
    const bool flushed = FlushFileBuffers(directory) != 0;
    const DWORD error = GetLastError();
    CloseHandle(directory);
    SetLastError(error);
    return flushed;
}

} // namespace

journalhandle createjournal(const char* name, journalopen* how)
{
    HANDLE file = CreateFileA(name, GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        *how = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? journalopen::inuse
                                                                           : journalopen::failed;
        return journalhandle::none;
    }
    *how = journalopen::opened;
    return windowssystem::held<journalhandle>(file);
}

journalhandle openjournal(const char* name, journalopen* how)
{
    HANDLE file = CreateFileA(name, GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        *how = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? journalopen::missing
               : error == ERROR_SHARING_VIOLATION                             ? journalopen::inuse
                                                                              : journalopen::failed;
        return journalhandle::none;
    }
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        SetLastError(ERROR_INVALID_PARAMETER);
        *how = journalopen::failed;
        return journalhandle::none;
    }
    *how = journalopen::opened;
    return windowssystem::held<journalhandle>(file);
}

bool appendjournal(journalhandle journal, const unsigned char* data, std::size_t size)
{
    // Every write names its place: a synchronous handle's reads at an offset
    // move the file pointer that a plain write would go to.
    LARGE_INTEGER end{};
    if (!GetFileSizeEx(handle(journal), &end))
        return false;
    auto offset = static_cast<std::uint64_t>(end.QuadPart);
    while (size > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD put = 0;
        if (!WriteFile(handle(journal), data, static_cast<DWORD>(size), &put, &at) || put == 0)
            return false;
        data += put;
        offset += put;
        size -= put;
    }
    return true;
}

bool readjournal(journalhandle journal, std::uint64_t offset, unsigned char* data, std::size_t size)
{
    return windowssystem::readat(handle(journal), offset, data, size);
}

bool syncjournal(journalhandle journal)
{
    return FlushFileBuffers(handle(journal)) != 0;
}

bool truncatejournal(journalhandle journal, std::uint64_t size)
{
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(size);
    return SetFilePointerEx(handle(journal), end, nullptr, FILE_BEGIN) && SetEndOfFile(handle(journal));
}

std::uint64_t journalsize(journalhandle journal)
{
    LARGE_INTEGER size{};
    return GetFileSizeEx(handle(journal), &size) ? static_cast<std::uint64_t>(size.QuadPart) : 0;
}

void closejournal(journalhandle journal)
{
    CloseHandle(handle(journal));
}

bool removejournal(journalhandle journal, const char*)
{
    // Marked through the handle that holds it, so that no other run can
    // take the name between the removal and the close.
    FILE_DISPOSITION_INFO remove{};
    remove.DeleteFile = TRUE;
    const bool removed =
        SetFileInformationByHandle(handle(journal), FileDispositionInfo, &remove, sizeof remove) != 0;
    CloseHandle(handle(journal));
    // The name goes at the close, but the file system puts that on the
    // medium only when it next writes out its directory: a journal that a
    // power cut brings back passes for an interrupted run's, and the next
    // run writes it back again over whatever the device holds by then.
    return removed && flushdirectory();
}

std::vector<std::string> journalsin(const std::string& prefix)
{
    const std::string suffix = ".undo";
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((prefix + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        // Windows matches a pattern regardless of case and against short
        // names too: the name itself decides.
        const std::string name = found.cFileName;
        const bool regular =
            (found.dwFileAttributes &
             (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) == 0;
        if (regular && name.size() >= prefix.size() + suffix.size() &&
            name.compare(0, prefix.size(), prefix) == 0 &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            names.push_back(name);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

std::uint64_t freebytes()
{
    // The current directory's own volume, also where it is mounted in a
    // folder of another drive.
    ULARGE_INTEGER available{};
    return GetDiskFreeSpaceExA(".", &available, nullptr, nullptr) ? available.QuadPart : 0;
}

bool directoryinmemory()
{
    char root[MAX_PATH];
    return GetVolumePathNameA(".", root, MAX_PATH) && GetDriveTypeA(root) == DRIVE_RAMDISK;
}
