#include "platform/windows/windows.h"

#include <cstdio>
#include <map>
#include <mutex>

namespace windowssystem {

namespace {

// Each handle's sector size, for the runs of several devices at once; and
// the rule that a thread's last I/O broke, which is its own, as its last
// error is.
std::mutex sectorslock;
std::map<HANDLE, DWORD> sectors;
thread_local std::string broken;

} // namespace

void unbuffered(HANDLE file, DWORD sectorsize)
{
    const std::lock_guard<std::mutex> hold(sectorslock);
    sectors[file] = sectorsize;
}

void buffered(HANDLE file)
{
    const std::lock_guard<std::mutex> hold(sectorslock);
    sectors.erase(file);
}

DWORD sectorsizeof(HANDLE file)
{
    const std::lock_guard<std::mutex> hold(sectorslock);
    auto found = sectors.find(file);
    return found != sectors.end() ? found->second : 0;
}

bool aligned(HANDLE file, std::uint64_t offset, const void* data, std::size_t size)
{
    const DWORD sector = sectorsizeof(file);
    if (sector == 0 ||
        (offset % sector == 0 && size % sector == 0 && reinterpret_cast<std::uintptr_t>(data) % sector == 0))
        return true;
    char text[200];
    std::snprintf(text, sizeof text,
                  "ungepufferte Ein-/Ausgabe nicht auf Sektoren zu %lu Bytes ausgerichtet (Stelle %llu, "
                  "%llu Bytes, Puffer bei %#llx)",
                  static_cast<unsigned long>(sector), static_cast<unsigned long long>(offset),
                  static_cast<unsigned long long>(size),
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(data)));
    broken = text;
    SetLastError(misaligned);
    return false;
}

bool underwine()
{
    // Wine's own ntdll tells its version; Windows' has no such export.
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::string brokenrule()
{
    return broken;
}

bool readat(HANDLE file, std::uint64_t offset, unsigned char* data, std::size_t size)
{
    if (!aligned(file, offset, data, size))
        return false;
    while (size > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD got = 0;
        if (!ReadFile(file, data, static_cast<DWORD>(size), &got, &at) || got == 0)
            return false;
        data += got;
        offset += got;
        size -= got;
    }
    return true;
}

} // namespace windowssystem
