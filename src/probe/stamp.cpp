#include "probe/stamp.h"

#include <initializer_list>

namespace probe {

namespace {

// "KAPPROBE", least significant byte first.
constexpr std::uint64_t magic = 0x45424f5250504b41;
constexpr std::size_t headerwords = 4;

std::uint64_t load(const unsigned char* bytes)
{
    std::uint64_t word = 0;
    for (int i = 7; i >= 0; i--)
        word = word << 8 | bytes[i];
    return word;
}

void store(unsigned char* bytes, std::uint64_t word)
{
    for (int i = 0; i < 8; i++, word >>= 8)
        bytes[i] = static_cast<unsigned char>(word);
}

// The filler behind the header is a stream that depends on every header
// word, so that a sector torn between two writes or changed anywhere is no stamp.
std::uint64_t fillerseed(std::uint64_t key, std::uint64_t offset, std::uint32_t round)
{
    return key ^ offset * 0x100000001b3 ^ static_cast<std::uint64_t>(round) << 48;
}

} // namespace

void stamp(unsigned char* sector, std::size_t size, std::uint64_t key, std::uint64_t offset,
           std::uint32_t round)
{
    store(sector, magic);
    store(sector + 8, key);
    store(sector + 16, offset);
    store(sector + 24, round);
    std::uint64_t state = fillerseed(key, offset, round);
    for (std::size_t at = headerwords * 8; at < size; at += 8)
        store(sector + at, nextrandom(&state));
}

bool readstamp(const unsigned char* sector, std::size_t size, std::uint64_t key, std::uint64_t* offset,
               std::uint32_t* round)
{
    if (size < headerwords * 8 || load(sector) != magic || load(sector + 8) != key ||
        load(sector + 24) > UINT32_MAX)
        return false;
    const std::uint64_t place = load(sector + 16);
    const auto number = static_cast<std::uint32_t>(load(sector + 24));
    std::uint64_t state = fillerseed(key, place, number);
    for (std::size_t at = headerwords * 8; at < size; at += 8)
        if (load(sector + at) != nextrandom(&state))
            return false;
    *offset = place;
    *round = number;
    return true;
}

std::uint64_t nextrandom(std::uint64_t* state)
{
    std::uint64_t z = (*state += 0x9e3779b97f4a7c15);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
    z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
    return z ^ (z >> 31);
}

content classify(const unsigned char* sector, std::size_t size)
{
    for (unsigned char fillbyte : {0x00, 0xff}) {
        std::size_t at = 0;
        while (at < size && sector[at] == fillbyte)
            at++;
        if (at == size)
            return fillbyte == 0 ? content::zeros : content::ones;
    }
    return content::other;
}

std::uint64_t fnv1a(const unsigned char* data, std::size_t size, std::uint64_t hash)
{
    for (std::size_t i = 0; i < size; i++)
        hash = (hash ^ data[i]) * 0x100000001b3;
    return hash;
}

} // namespace probe
