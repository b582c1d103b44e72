// readfile and saveas of a large file over a page-cached source: 32 MiB in
// 4 KiB clusters, contiguous or cut into runs of 4 clusters.
#include "benchcore.h"

#include <benchmark/benchmark.h>

#include <QDir>
#include <QTemporaryDir>

#include <cstdio>
#include <cstring>
#include <random>
#include <unistd.h>

namespace {

constexpr std::uint64_t clustersize = 4096;
constexpr std::uint64_t clusters = 8192;  // 32 MiB
constexpr std::uint64_t filesize = clusters * clustersize;

// A 64 MiB source file in a temp dir (kept for the whole process), its
// handle and the disk parameters of a volume whose data area starts at 0.
struct Source {
    QTemporaryDir dir{QDir::tempPath() + QStringLiteral("/kov_micro.XXXXXX")};
    platform::volhandle handle = nullptr;
    DISKPARM disk;

    Source()
    {
        const QString path = dir.filePath(QStringLiteral("source.bin"));
        std::FILE* f = std::fopen(QFile::encodeName(path).constData(), "wb");
        std::mt19937_64 rng(1);
        std::vector<std::uint64_t> block(1 << 17);  // 1 MiB
        for (int mib = 0; mib < 64; ++mib) {
            for (auto& w : block)
                w = rng();
            std::fwrite(block.data(), 8, block.size(), f);
        }
        std::fclose(f);
        handle = platform::openpath(path);
        disk.hdisk = handle;
        disk.bytespersector = 512;
        disk.sectorspercluster = 8;
        disk.firstdatasector = 0;
    }
};

Source& source()
{
    static Source s;
    return s;
}

// range 0: contiguous, 1: runs of 4 clusters with a 1-cluster gap.
FILEPARM file(int fragmented)
{
    FILEPARM f;
    f.size = filesize;
    if (!fragmented) {
        f.dataruns = {{0, clusters, 0}};
    } else {
        for (std::uint64_t vcn = 0; vcn < clusters; vcn += 4)
            f.dataruns.push_back({vcn / 4 * 5, 4, vcn});
    }
    return f;
}

// The whole file in one call.
void BM_readfile_whole(benchmark::State& state)
{
    Source& s = source();
    const FILEPARM f = file(int(state.range(0)));
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[filesize]);
    std::memset(buffer.get(), 0, filesize);  // fault the pages in before timing
    for (auto _ : state) {
        std::uint64_t got = 0;
        if (!f.readfile(s.disk, 0, filesize, buffer.get(), &got) || got != filesize)
            state.SkipWithError("readfile failed");
        benchmark::DoNotOptimize(buffer.get());
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(filesize));
}
BENCHMARK(BM_readfile_whole)->ArgName("fragmented")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// One cluster per call, the way saveas reads.
void BM_readfile_percluster(benchmark::State& state)
{
    Source& s = source();
    const FILEPARM f = file(int(state.range(0)));
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[clustersize]);
    for (auto _ : state) {
        for (std::uint64_t offset = 0; offset < filesize; offset += clustersize) {
            std::uint64_t got = 0;
            if (!f.readfile(s.disk, offset, clustersize, buffer.get(), &got))
                state.SkipWithError("readfile failed");
        }
        benchmark::DoNotOptimize(buffer.get());
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(filesize));
}
BENCHMARK(BM_readfile_percluster)->ArgName("fragmented")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// saveas into a fresh file next to the source (same file system); the
// target is removed outside the timing.
void BM_saveas(benchmark::State& state)
{
    Source& s = source();
    const FILEPARM f = file(int(state.range(0)));
    const QByteArray target = QFile::encodeName(s.dir.filePath(QStringLiteral("saved.bin")));
    for (auto _ : state) {
        if (f.saveas(s.disk, target.constData()) != 0)
            state.SkipWithError("saveas failed");
        state.PauseTiming();
        ::unlink(target.constData());
        state.ResumeTiming();
    }
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(filesize));
}
BENCHMARK(BM_saveas)->ArgName("fragmented")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
