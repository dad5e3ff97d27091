#include "probe/stamp.h"

#include <cstring>
#include <initializer_list>

namespace probe {

namespace {

// "KAPPROBE", least significant byte first.
constexpr std::uint64_t magic = 0x45424f5250504b41;
constexpr std::size_t headerwords = 4;
constexpr std::size_t grain = 512;

// The filler is a splitmix64 stream: word i of a stamp (from the first word
// behind the header, i = 4) is mix(seed + (i - 3) * golden).
constexpr std::uint64_t golden = 0x9e3779b97f4a7c15;
constexpr std::uint64_t mixfirst = 0xbf58476d1ce4e5b9, mixsecond = 0x94d049bb133111eb;
constexpr std::uint64_t placeprime = 0x100000001b3;

std::uint64_t mix(std::uint64_t z)
{
    z = (z ^ (z >> 30)) * mixfirst;
    z = (z ^ (z >> 27)) * mixsecond;
    return z ^ (z >> 31);
}

// The inverse of an odd number modulo 2^64: each of Newton's steps doubles
// the bits that are right.
constexpr std::uint64_t inverse(std::uint64_t odd)
{
    std::uint64_t x = odd;
    for (int i = 0; i < 6; i++)
        x *= 2 - odd * x;
    return x;
}
static_assert(inverse(mixfirst) * mixfirst == 1 && inverse(placeprime) * placeprime == 1);

// Undoes y = x ^ (x >> shift): each step puts shift more top bits right.
std::uint64_t unshift(std::uint64_t y, int shift)
{
    std::uint64_t x = y;
    for (int i = 0; i <= 64 / shift; i++)
        x = y ^ (x >> shift);
    return x;
}

std::uint64_t unmix(std::uint64_t z)
{
    z = unshift(z, 31) * inverse(mixsecond);
    z = unshift(z, 27) * inverse(mixfirst);
    return unshift(z, 30);
}

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

bool stampofanyrun(const unsigned char* sector, std::size_t size, std::uint64_t* key)
{
    std::uint64_t offset;
    std::uint32_t round;
    if (size < headerwords * 8 || load(sector) != magic ||
        !readstamp(sector, size, load(sector + 8), &offset, &round))
        return false;
    *key = load(sector + 8);
    return true;
}

std::uint64_t nextrandom(std::uint64_t* state)
{
    return mix(*state += golden);
}

namespace {

// True when the words of sector from word first to before word last are
// those of the stamp whose filler grows from seed, the sector's word 0
// being the stamp's word shift.
bool fillermatches(const unsigned char* sector, std::size_t first, std::size_t last, std::uint64_t seed,
                   std::size_t shift)
{
    for (std::size_t word = first; word < last; word++)
        if (load(sector + 8 * word) != mix(seed + (word + shift - (headerwords - 1)) * golden))
            return false;
    return true;
}

// The place and round whose filler seed under key is seed, found from the
// seed's low 48 bits, which the round does not touch (places lie below
// 2^48); false when they are no place and round of a stamp.
bool stampof(std::uint64_t seed, std::uint64_t key)
{
    constexpr std::uint64_t low = (std::uint64_t{1} << 48) - 1;
    const std::uint64_t mixed = seed ^ key;
    const std::uint64_t place = (mixed & low) * inverse(placeprime) & low;
    const std::uint64_t round = (mixed ^ place * placeprime) >> 48;
    return place % grain == 0 && round >= 1;
}

} // namespace

runparts findrunparts(const unsigned char* sector, std::size_t size, std::uint64_t key)
{
    runparts parts{0, size};
    for (std::size_t start = 0; start + headerwords * 8 <= size; start += grain) {
        const std::uint64_t round = load(sector + start + 24);
        if (load(sector + start) == magic && load(sector + start + 8) == key && round <= UINT32_MAX &&
            fillermatches(sector + start, headerwords, (size - start) / 8,
                          fillerseed(key, load(sector + start + 16), static_cast<std::uint32_t>(round)), 0)) {
            parts.headstart = start;
            break;
        }
    }
    // The end of a stamp that began before the sector: word 0 of the sector
    // is filler, from which the stamp's seed comes back.
    for (std::size_t tail = grain; tail < size && tail <= parts.headstart; tail += grain) {
        const std::size_t shift = (size - tail) / 8;
        const std::uint64_t seed = unmix(load(sector)) - (shift - (headerwords - 1)) * golden;
        if (stampof(seed, key) && fillermatches(sector, 1, tail / 8, seed, shift)) {
            parts.tailend = tail;
            break;
        }
    }
    return parts;
}

bool differsonlybyrun(const unsigned char* saved, const unsigned char* found, std::size_t size,
                      std::uint64_t key, bool eitherside)
{
    if (std::memcmp(saved, found, size) == 0)
        return true;
    const runparts ours = findrunparts(saved, size, key);
    const runparts theirs = eitherside ? findrunparts(found, size, key) : runparts{0, size};
    for (std::size_t at = 0; at < size; at++)
        if (saved[at] != found[at] && at >= ours.tailend && at < ours.headstart && at >= theirs.tailend &&
            at < theirs.headstart)
            return false;
    return true;
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
