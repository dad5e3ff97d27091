// What each block costs the passes besides the I/O: generating it and
// comparing it with what was read.
#include "pattern/chain.h"
#include "pattern/pattern.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace {

void fillblock(benchmark::State& state)
{
    std::vector<unsigned char> block(pattern::blocksize);
    pattern::startpass();
    for (auto _ : state) {
        pattern::fillblock(block.data());
        benchmark::DoNotOptimize(block.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * pattern::blocksize));
}
BENCHMARK(fillblock);

// The recurrence one word after the other, for comparison.
void chainplain(benchmark::State& state)
{
    std::vector<unsigned char> block(pattern::blocksize);
    std::uint32_t first = 0x543dc9a4;
    for (auto _ : state) {
        pattern::chainplain(block.data(), first++);
        benchmark::DoNotOptimize(block.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * pattern::blocksize));
}
BENCHMARK(chainplain);

void compareblock(benchmark::State& state)
{
    std::vector<unsigned char> expected(pattern::blocksize), actual(pattern::blocksize);
    pattern::startpass();
    pattern::fillblock(expected.data());
    actual = expected;
    for (auto _ : state) {
        benchmark::DoNotOptimize(std::memcmp(expected.data(), actual.data(), pattern::blocksize));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * pattern::blocksize));
}
BENCHMARK(compareblock);

// What the verify pass does with a block it has read: checked against the
// chain without the test block being made.
void holdschain(benchmark::State& state)
{
    std::vector<unsigned char> actual(pattern::blocksize);
    const std::uint32_t first = 0x543dc9a4;
    pattern::chainfast(actual.data(), first);
    for (auto _ : state) {
        benchmark::DoNotOptimize(pattern::holdschain(actual.data(), first));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * pattern::blocksize));
}
BENCHMARK(holdschain);

} // namespace
