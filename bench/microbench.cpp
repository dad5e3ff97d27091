// What each block costs the passes besides the I/O: generating it and
// comparing it with what was read.
#include "testdata/chain.h"
#include "testdata/testdata.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

namespace {

void fillblock(benchmark::State& state)
{
    std::vector<unsigned char> block(testdata::blocksize);
    testdata::startpass();
    for (auto _ : state) {
        testdata::fillblock(block.data());
        benchmark::DoNotOptimize(block.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * testdata::blocksize));
}
BENCHMARK(fillblock);

// The recurrence one word after the other, for comparison.
void chainplain(benchmark::State& state)
{
    std::vector<unsigned char> block(testdata::blocksize);
    std::uint32_t first = 0x543dc9a4;
    for (auto _ : state) {
        testdata::chainplain(block.data(), first++);
        benchmark::DoNotOptimize(block.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * testdata::blocksize));
}
BENCHMARK(chainplain);

void compareblock(benchmark::State& state)
{
    std::vector<unsigned char> expected(testdata::blocksize), actual(testdata::blocksize);
    testdata::startpass();
    testdata::fillblock(expected.data());
    actual = expected;
    for (auto _ : state) {
        benchmark::DoNotOptimize(std::memcmp(expected.data(), actual.data(), testdata::blocksize));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * testdata::blocksize));
}
BENCHMARK(compareblock);

} // namespace
