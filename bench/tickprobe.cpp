// kov_tickprobe IMAGE OUTDIR: one full recovery of IMAGE into OUTDIR through
// the engine, timing every scan tick the way the window would run them.
// Prints the longest ticks (those that save a file apart from those that
// do not), per-pass totals, the files saved and the peak RSS.
#include "benchcore.h"

#include <QCoreApplication>
#include <QDir>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

double ms(clock_type::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Tick {
    double ms = 0;
    bool collecting = false;
    bool saved = false;       // this tick wrote a file (or tried to)
    std::uint64_t size = 0;   // that file's size
};

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: kov_tickprobe IMAGE OUTDIR\n");
        return 2;
    }
    const QString outdir = QString::fromLocal8Bit(argv[2]);
    if (!QDir().mkpath(outdir)) {
        std::fprintf(stderr, "kov_tickprobe: cannot create %s\n", argv[2]);
        return 2;
    }

    bench::BenchCore core;
    const auto t0 = clock_type::now();
    core.openimage(QString::fromLocal8Bit(argv[1]));
    const auto t1 = clock_type::now();
    if (core.warnings != 0 || !core.dbrparm.fatvolume()) {
        std::fprintf(stderr, "kov_tickprobe: %s is not a FAT12/FAT16/FAT32 image\n", argv[1]);
        return 3;
    }

    core.recoverdir = outdir.endsWith('/') ? outdir : outdir + '/';
    core.paused = false;
    core.beginrun();
    std::vector<Tick> ticks;
    ticks.reserve(200000);
    double collectms = 0;
    double savems = 0;
    while (core.runactive()) {
        Tick t;
        t.collecting = core.collecting;
        const std::uint64_t before = core.stats.saved + core.stats.failures();
        const auto a = clock_type::now();
        core.scantick();
        const auto b = clock_type::now();
        t.ms = ms(b - a);
        t.saved = core.stats.saved + core.stats.failures() != before;
        t.size = t.saved ? core.curfile.size : 0;
        (t.collecting ? collectms : savems) += t.ms;
        ticks.push_back(t);
    }
    const auto t2 = clock_type::now();

    auto longest = [&](auto pick) {
        const Tick* best = nullptr;
        for (const Tick& t : ticks)
            if (pick(t) && (!best || t.ms > best->ms))
                best = &t;
        return best ? *best : Tick{};
    };
    const Tick collect = longest([](const Tick& t) { return t.collecting; });
    const Tick walk = longest([](const Tick& t) { return !t.collecting && !t.saved; });
    const Tick save = longest([](const Tick& t) { return t.saved; });
    const auto over50 = std::count_if(ticks.begin(), ticks.end(), [](const Tick& t) { return !t.saved && t.ms > 50; });
    std::vector<double> all;
    all.reserve(ticks.size());
    for (const Tick& t : ticks)
        all.push_back(t.ms);
    std::sort(all.begin(), all.end());
    auto pct = [&](double p) { return all.empty() ? 0.0 : all[std::min(all.size() - 1, std::size_t(p * all.size()))]; };

    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    std::printf("open+initdisk        %10.3f ms\n", ms(t1 - t0));
    std::printf("ticks                %10zu (collecting %.1f ms, saving %.1f ms, total %.1f ms)\n", ticks.size(),
                collectms, savems, ms(t2 - t1));
    std::printf("tick p50 / p99       %10.4f / %.4f ms\n", pct(0.5), pct(0.99));
    std::printf("longest collect tick %10.3f ms\n", collect.ms);
    std::printf("longest saving tick  %10.3f ms (no file written)\n", walk.ms);
    std::printf("longest save tick    %10.3f ms (file of %llu bytes)\n", save.ms,
                static_cast<unsigned long long>(save.size));
    std::printf("ticks > 50 ms        %10lld (not counting saves)\n", static_cast<long long>(over50));
    std::printf("entries walked       %10llu\n", static_cast<unsigned long long>(core.stats.entries));
    std::printf("files saved          %10llu (%llu bytes, %llu failed)\n",
                static_cast<unsigned long long>(core.stats.saved), static_cast<unsigned long long>(core.stats.bytes),
                static_cast<unsigned long long>(core.stats.failures()));
    std::printf("peak RSS             %10.1f MiB\n", double(ru.ru_maxrss) / 1024.0);
    return core.stats.failures() == 0 ? 0 : 1;
}
