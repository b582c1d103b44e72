// One walk step: FILEPARM::getnextfile over a directory buffer of 4096
// entries, as the collecting pass (live files, mode 1) and the saving pass
// (deleted files, mode 0) meet them.
#include "benchcore.h"

#include <benchmark/benchmark.h>

namespace {

constexpr std::uint32_t entries = 4096;
constexpr std::uint32_t fatsize = 1u << 18;

enum Kind { live, deletedhigh, deletedzerohigh, skipped };

// Each entry is a file of 4 clusters; live files have their chain in the
// FAT, deleted ones lie on free clusters. Start clusters of deletedhigh
// are above 65535 (stored high word 1), of deletedzerohigh below (high
// word 0: estimated from the sparse minute table).
struct Setup {
    bench::BenchCore core;
    FILEPARM dir;

    explicit Setup(Kind kind)
    {
        std::vector<std::uint32_t> table(fatsize, 0);
        table[0] = 0x0FFFFFF8;
        table[1] = 0x0FFFFFFF;
        const std::uint32_t base = kind == deletedhigh ? 0x10000 : 1000;
        std::shared_ptr<unsigned char[]> buf(new unsigned char[std::size_t(entries) * 32]);
        for (std::uint32_t j = 0; j < entries; ++j) {
            const std::uint32_t start = base + j * 4;
            char name[12];
            std::snprintf(name, sizeof name, "IMG%05uJPG", j);
            if (kind != live)
                name[0] = char(0xE5);
            // Creation stamps one per 315 minutes from 1990 on.
            const int day = 2 + int(j * 315 / 1440);
            bench::putentry(buf.get() + std::size_t(j) * 32, name, 0x20, start, 4 * 4096 - 100,
                            bench::fatdate(1990 + day / 336, 1 + day / 28 % 12, 1 + day % 28),
                            bench::fattime(int(j * 315 / 60 % 24), int(j * 315 % 60)));
            if (kind == live)
                for (std::uint32_t c = start; c < start + 4; ++c)
                    table[c] = c + 1 == start + 4 ? 0x0FFFFFFF : c + 1;
        }
        core.setfat32(table);
        if (kind == deletedzerohigh)
            for (std::uint32_t j = 0; j < 50000; j += 2)
                core.recordminute(std::uint64_t(bench::fatdate(1990 + j / 1700, 1 + j / 140 % 12, 1 + j / 5 % 28)) << 32 |
                                      std::uint64_t(bench::fattime(j % 24, j % 60)) << 16,
                                  0);
        dir.isdir = 1;
        dir.size = std::uint64_t(entries) * 32;
        dir.dirbuf = buf;
        dir.dialog = &core;
        dir.setname("D000");
    }
};

void step(benchmark::State& state, Kind kind, int mode)
{
    Setup s(kind);
    FILEPARM out;
    std::int64_t handed = 0;
    for (auto _ : state) {
        const int r = s.dir.getnextfile(out, mode);
        if (r > 0) {
            ++handed;
        } else {
            s.dir.entryindex = 0;  // back to the top of the same directory
        }
        benchmark::DoNotOptimize(out.startcluster);
    }
    state.counters["handed"] = benchmark::Counter(double(handed), benchmark::Counter::kIsRate);
    state.SetItemsProcessed(handed);
}

void BM_walkstep_live_collect(benchmark::State& s) { step(s, live, 1); }
void BM_walkstep_deleted_save(benchmark::State& s) { step(s, deletedhigh, 0); }
void BM_walkstep_deleted_zerohigh_save(benchmark::State& s) { step(s, deletedzerohigh, 0); }
// Collecting over a directory of deleted entries only: every slot is passed
// over, one call walks the whole buffer.
void BM_walkdir_deleted_collect(benchmark::State& s) { step(s, deletedhigh, 1); }
BENCHMARK(BM_walkstep_live_collect);
BENCHMARK(BM_walkstep_deleted_save);
BENCHMARK(BM_walkstep_deleted_zerohigh_save);
BENCHMARK(BM_walkdir_deleted_collect);

}  // namespace
