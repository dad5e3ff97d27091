// What the Windows files of the platform layer share: handles as the
// system's, and the rule of unbuffered I/O, which every such I/O checks.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace windowssystem {

template <typename value>
HANDLE handle(value held)
{
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(held));
}

template <typename value>
value held(HANDLE handle)
{
    return static_cast<value>(reinterpret_cast<std::intptr_t>(handle));
}

// Windows refuses I/O on an unbuffered handle unless its offset, its size
// and the address of its buffer are multiples of the sector size. Wine lets
// such I/O pass, so the rule is checked here, where every I/O of these
// handles goes through, and broken under Wine as on Windows: the I/O fails,
// and systemreason tells why.
void unbuffered(HANDLE file, DWORD sectorsize);
void buffered(HANDLE file);
DWORD sectorsizeof(HANDLE file);
bool aligned(HANDLE file, std::uint64_t offset, const void* data, std::size_t size);

// True under Wine, which takes the unbuffered flags but reads and writes
// through Linux's page cache all the same.
bool underwine();

// The error that a broken rule leaves, an application's own code, and its text.
constexpr DWORD misaligned = 0x20000000 | 1;
std::string brokenrule();

// size bytes from offset of file, asking again for the rest of a short
// delivery; anything less is a failure.
bool readat(HANDLE file, std::uint64_t offset, unsigned char* data, std::size_t size);

} // namespace windowssystem
