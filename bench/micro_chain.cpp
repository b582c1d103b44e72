// Rebuilding a deleted chain: fatrecoverdatarun over a cached FAT.
#include "benchcore.h"

#include <benchmark/benchmark.h>

namespace {

constexpr std::uint32_t fatsize = 1u << 20;  // 4 GiB of 4 KiB clusters
constexpr std::uint32_t start = 1000;

// Every `every`-th cluster from the start on is allocated (0 = none).
bench::BenchCore& core(int every)
{
    static bench::BenchCore* cores[64] = {};
    if (!cores[every]) {
        std::vector<std::uint32_t> table(fatsize, 0);
        table[0] = 0x0FFFFFF8;
        table[1] = 0x0FFFFFFF;
        if (every > 0)
            for (std::uint32_t c = start + 1; c < fatsize; c += every)
                table[c] = 0x0FFFFFFF;
        cores[every] = new bench::BenchCore;
        cores[every]->setfat32(table);
    }
    return *cores[every];
}

// range(0): clusters of the file; range(1): every n-th cluster allocated.
void BM_fatrecoverdatarun(benchmark::State& state)
{
    const std::uint64_t clusters = std::uint64_t(state.range(0));
    bench::BenchCore& c = core(int(state.range(1)));
    std::size_t runs = 0;
    for (auto _ : state) {
        std::vector<DATARUN> out = c.fatrecoverdatarun(start, clusters * 4096);
        runs = out.size();
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["runs"] = double(runs);
    state.SetItemsProcessed(std::int64_t(state.iterations()) * std::int64_t(clusters));
}
BENCHMARK(BM_fatrecoverdatarun)
    ->ArgNames({"clusters", "allocevery"})
    ->Args({1, 0})
    ->Args({32, 0})
    ->Args({1024, 0})
    ->Args({32, 4})
    ->Args({1024, 4})
    ->Args({32, 2})
    ->Args({1024, 2});

// Scoring the rebuilt runs against the bitmap, as the walk does next.
void BM_clusterusage(benchmark::State& state)
{
    const std::uint64_t clusters = std::uint64_t(state.range(0));
    bench::BenchCore& c = core(0);
    const std::vector<DATARUN> runs = c.fatrecoverdatarun(start, clusters * 4096);
    for (auto _ : state)
        benchmark::DoNotOptimize(c.clusterusage(runs));
    state.SetItemsProcessed(std::int64_t(state.iterations()) * std::int64_t(clusters));
}
BENCHMARK(BM_clusterusage)->ArgName("clusters")->Arg(32)->Arg(1024);

}  // namespace
