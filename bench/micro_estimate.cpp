// The high-word estimate (estimatestartclusterhigh) on a sparse and on a
// dense creation-minute table, and the creation-minute key it starts from.
#include "benchcore.h"

#include <QDateTime>

#include <benchmark/benchmark.h>

#include <random>

namespace {

// A FAT date/time pair `minutes` after 1990-01-02 00:00 (local time).
std::pair<std::uint16_t, std::uint16_t> stamp(std::int64_t minutes)
{
    const QDateTime t = QDateTime(QDate(1990, 1, 2), QTime(0, 0)).addSecs(minutes * 60);
    return {bench::fatdate(t.date().year(), t.date().month(), t.date().day()),
            bench::fattime(t.time().hour(), t.time().minute())};
}

std::uint64_t createtime(std::pair<std::uint16_t, std::uint16_t> s)
{
    return std::uint64_t(s.first) << 32 | std::uint64_t(s.second) << 16;
}

struct Query {
    FAT32DIRENTRY entry;
};

std::vector<Query> queries(const std::vector<std::int64_t>& minutes)
{
    std::vector<Query> out(minutes.size());
    for (std::size_t i = 0; i < minutes.size(); ++i) {
        const auto s = stamp(minutes[i]);
        bench::putentry(out[i].entry.bytes, "\xE5MG00000JPG", 0x20, 1234, 5000, s.first, s.second);
    }
    return out;
}

enum Table { sparse, sparsefar, dense, densegaps, empty };

// One engine per table kind, filled through recordminute like the
// collecting pass fills it.
bench::BenchCore& core(Table kind)
{
    static bench::BenchCore* cores[5] = {};
    if (!cores[kind]) {
        auto* c = new bench::BenchCore;
        switch (kind) {
        case sparse:  // 50,000 files, one every 315 minutes, 1990 .. 2019
            for (std::int64_t i = 0; i < 50000; ++i)
                c->recordminute(createtime(stamp(i * 315)), std::uint16_t(i * 8 / 50000));
            break;
        case sparsefar:  // one file in 1990 only
            c->recordminute(createtime(stamp(0)), 3);
            break;
        case dense:  // every minute of four days recorded
            for (std::int64_t i = 0; i < 4 * 1440; ++i)
                c->recordminute(createtime(stamp(15000000 + i)), std::uint16_t(i * 8 / 5760));
            break;
        case densegaps:  // every other minute of four days recorded
            for (std::int64_t i = 0; i < 4 * 1440; i += 2)
                c->recordminute(createtime(stamp(15000000 + i)), std::uint16_t(i * 8 / 5760));
            break;
        case empty:
            break;
        }
        cores[kind] = c;
    }
    return *cores[kind];
}

void run(benchmark::State& state, Table kind, const std::vector<std::int64_t>& minutes)
{
    bench::BenchCore& c = core(kind);
    const std::vector<Query> q = queries(minutes);
    FILEPARM dir;
    dir.clusterhigh = 2;
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(c.estimatestartclusterhigh(&dir, &q[i].entry));
        if (++i == q.size())
            i = 0;
    }
    state.SetItemsProcessed(std::int64_t(state.iterations()));
}

std::vector<std::int64_t> randomminutes(std::int64_t lo, std::int64_t hi, std::int64_t step, std::int64_t offset)
{
    std::mt19937 rng(7);
    std::uniform_int_distribution<std::int64_t> pick(lo / step, hi / step - 1);
    std::vector<std::int64_t> out(1024);
    for (auto& m : out)
        m = pick(rng) * step + offset;
    return out;
}

// Empty exact minute halfway between two recorded ones (157 minutes each way).
void BM_estimate_sparse_between(benchmark::State& s) { run(s, sparse, randomminutes(0, 50000 * 315, 315, 157)); }
// Exact minute recorded.
void BM_estimate_sparse_exact(benchmark::State& s) { run(s, sparse, randomminutes(0, 50000 * 315, 315, 0)); }
// One record in 1990, asked about 2019: the whole table lies between.
void BM_estimate_sparse_far(benchmark::State& s) { run(s, sparsefar, {15700000, 15750000, 15600000}); }
void BM_estimate_dense_exact(benchmark::State& s) { run(s, dense, randomminutes(15000000, 15005760, 1, 0)); }
void BM_estimate_dense_gaps(benchmark::State& s) { run(s, densegaps, randomminutes(15000000, 15005760, 2, 1)); }
// Nothing recorded at all: both searches run off the table.
void BM_estimate_empty(benchmark::State& s) { run(s, empty, randomminutes(0, 50000 * 315, 315, 157)); }
BENCHMARK(BM_estimate_sparse_between);
BENCHMARK(BM_estimate_sparse_exact);
BENCHMARK(BM_estimate_sparse_far);
BENCHMARK(BM_estimate_dense_exact);
BENCHMARK(BM_estimate_dense_gaps);
BENCHMARK(BM_estimate_empty);

// The creation-minute key alone: warm (day already converted) and cold
// (every date seen for the first time, one local-time conversion each).
void BM_minutekey_warm(benchmark::State& state)
{
    MINUTECLOCK clock;
    std::vector<std::pair<std::uint16_t, std::uint16_t>> stamps;
    for (std::int64_t m : randomminutes(0, 50000 * 315, 315, 0))
        stamps.push_back(stamp(m));
    for (const auto& s : stamps)
        clock.key(s.first, s.second);
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(clock.key(stamps[i].first, stamps[i].second));
        if (++i == stamps.size())
            i = 0;
    }
    state.SetItemsProcessed(std::int64_t(state.iterations()));
}
BENCHMARK(BM_minutekey_warm);

void BM_minutekey_cold(benchmark::State& state)
{
    std::vector<std::pair<std::uint16_t, std::uint16_t>> stamps;
    for (std::int64_t day = 0; day < 1000; ++day)
        stamps.push_back(stamp(day * 1440 + 600));
    for (auto _ : state) {
        state.PauseTiming();
        auto clock = std::make_unique<MINUTECLOCK>();
        state.ResumeTiming();
        for (const auto& s : stamps)
            benchmark::DoNotOptimize(clock->key(s.first, s.second));
    }
    state.SetItemsProcessed(std::int64_t(state.iterations()) * std::int64_t(stamps.size()));
}
BENCHMARK(BM_minutekey_cold);

}  // namespace

namespace {

// Constructing the engine: allocating and filling the 42 MB minute table
// (every slot 0xFFFF) and the key cache; paid once per process.
void BM_core_construct(benchmark::State& state)
{
    for (auto _ : state) {
        auto core = std::make_unique<bench::BenchCore>();
        benchmark::DoNotOptimize(core->minutetable.get());
    }
}
BENCHMARK(BM_core_construct)->Unit(benchmark::kMillisecond);

}  // namespace
