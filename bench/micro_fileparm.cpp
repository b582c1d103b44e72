// Copying a FILEPARM whose ancestor chain is 10, 100 or 1000 levels deep,
// as the walk copies records into curfile, curdir and parent (the chain is
// shared, so depth should not matter).
#include "benchcore.h"

#include <benchmark/benchmark.h>

namespace {

// A directory record like the walk builds: an 8.3 name, three runs and a
// 64 KiB listing shared by every copy.
std::unique_ptr<FILEPARM> level(const std::shared_ptr<const unsigned char[]>& listing)
{
    auto f = std::make_unique<FILEPARM>();
    f->setname("SUBDIR01");
    f->isdir = 1;
    f->size = 65536;
    f->dirbuf = listing;
    f->dataruns = {{100, 4, 0}, {200, 8, 4}, {300, 4, 12}};
    f->startcluster = 102;
    f->entryindex = 17;
    return f;
}

FILEPARM chain(int depth)
{
    std::shared_ptr<const unsigned char[]> listing(new unsigned char[65536]());
    std::shared_ptr<const FILEPARM> up;
    for (int d = 1; d < depth; ++d) {
        std::unique_ptr<FILEPARM> rec = level(listing);
        rec->parent = std::move(up);
        up = std::move(rec);
    }
    FILEPARM head = *level(listing);
    head.parent = std::move(up);
    return head;
}

void BM_fileparm_copy(benchmark::State& state)
{
    const FILEPARM src = chain(int(state.range(0)));
    for (auto _ : state) {
        FILEPARM copy(src);
        benchmark::DoNotOptimize(copy.parent.get());
    }
    state.SetItemsProcessed(std::int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_fileparm_copy)->ArgName("depth")->Arg(1)->Arg(10)->Arg(100)->Arg(1000);

// Assignment over a record that already holds a chain of the same depth
// (the old chain is released), as curdir = curfile does.
void BM_fileparm_assign(benchmark::State& state)
{
    const FILEPARM src = chain(int(state.range(0)));
    FILEPARM dst = src;
    for (auto _ : state) {
        dst = src;
        benchmark::DoNotOptimize(dst.parent.get());
    }
    state.SetItemsProcessed(std::int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(BM_fileparm_assign)->ArgName("depth")->Arg(10)->Arg(100)->Arg(1000);

}  // namespace
