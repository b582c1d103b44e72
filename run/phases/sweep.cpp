// The one read of the whole source in a deep or carving run: the layout
// search's directory pairs, the deep scan's directory clusters and
// carving's starts are noted block by block as the sweep passes, so that
// the layout search and the deep scan read nothing themselves and carving
// reads only from the starts. In a deep run it is the deep scan's reading,
// and told as the deep scan; in a run that only carves, carving's. What
// the phases after it will read again (the files the found directories
// list, the bytes carving judges from each start) is spooled as it passes.
#include "carve/startmap.h"
#include "exfat/deep.h"
#include "exfat/exfatrun.h"
#include "layout/earlier.h"
#include "layout/layoutsearch.h"
#include "platform/scratch.h"
#include "run/phases/phases.h"
#include "run/runcontext.h"
#include "run/runengine.h"
#include "spool/entrydata.h"
#include "spool/spool.h"
#include "sweep/clusterfeed.h"
#include "sweep/sweep.h"

#include <QtGlobal>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <optional>

namespace phases {
namespace {

// KOV_SWEEP_COUNTS=1: the sweep's own count of the bytes it read.
void tellcounts(const SWEEP& sweep)
{
    if (qEnvironmentVariableIntValue("KOV_SWEEP_COUNTS") == 1)
        std::fprintf(stderr, "sweep: %llu bytes read of %llu, %llu in holes, %llu unreadable\n",
                     static_cast<unsigned long long>(sweep.bytesread()),
                     static_cast<unsigned long long>(sweep.total()),
                     static_cast<unsigned long long>(sweep.holebytes()),
                     static_cast<unsigned long long>(sweep.unreadbytes()));
}

// Bytes from each start on that carving judges and saves: its first read
// is 4 MiB of the clusters there, and a file the start begins is read on
// to its end, which the next start often marks.
constexpr std::uint64_t startwant = 4u << 20;

// Carving's starts, wanted as the start map notes them: each start's first
// read, and the free run from the last start on as the sweep passes it,
// since the file it begins (a video, an archive) may run on far past that
// read, and its walk to its end and its saving would read the card again.
class STARTWANTS : public SWEEPVISITOR {
public:
    STARTWANTS(const carve::STARTMAP& noted, spool::SPOOL& into, carve::CARVEAREA free)
        : starts(noted), spool(into), area(std::move(free))
    {
    }
    void block(const SWEEPBLOCK& b) override
    {
        for (; told < starts.starts(); ++told) {
            spool.want(starts.at(told), starts.at(told) + startwant);
            last = starts.at(told);
            inrun = true;
        }
        const std::uint64_t size = area.disk.clustersize(), first = area.disk.clusterposition(0);
        const std::uint64_t end = b.at + b.n;
        const std::uint64_t from = std::max({b.at, last, first});
        if (!inrun || size == 0 || from >= end)
            return;
        // Up to the first cluster in use or past the area: the run ends there.
        std::uint64_t to = from;
        while (to < end) {
            const std::uint64_t lcn = (to - first) / size;
            if (lcn >= area.clusters || (area.taken && area.taken(lcn))) {
                inrun = false;
                break;
            }
            to = std::min(end, first + (lcn + 1) * size);
        }
        if (to > from)
            spool.want(from, to);
    }

private:
    const carve::STARTMAP& starts;
    spool::SPOOL& spool;
    const carve::CARVEAREA area;
    std::size_t told = 0;
    std::uint64_t last = 0;  // the last start noted
    bool inrun = false;      // the sweep is in the free run after it
};

// A spool for the sweep of bytes of handle, in the output folder; none
// when the run saves nothing or KOV_SPOOL=0 says to read the card again.
void startspool(RUNCONTEXT& ctx, platform::volhandle handle, std::uint64_t bytes)
{
    ctx.spool.reset();
    // Only when the user asked for a run that reads the whole card: a run
    // with no option (one that sweeps because the volume's table is gone)
    // writes nothing but the files it saves.
    if (ctx.core.listonly || ctx.core.recoverdir.isEmpty() || !(ctx.options.deep || ctx.options.carve) ||
        qEnvironmentVariable("KOV_SPOOL") == QLatin1String("0"))
        return;
    bool ok = false;
    std::uint64_t budget = qEnvironmentVariable("KOV_SPOOL_BUDGET").toULongLong(&ok);
    if (!ok)
        budget = ~std::uint64_t(0);
    // An image being made of the source may take up to its size of the
    // same disk: the spool keeps at most half of what is left beside it.
    const bool imaging = platform::makingimage();
    if (imaging) {
        const std::uint64_t free = platform::freespace(ctx.core.recoverdir);
        budget = std::min(budget, free > bytes ? (free - bytes) / 2 : 0);
    }
    ctx.spool = std::make_unique<spool::SPOOL>(handle, bytes, ctx.core.recoverdir, budget, imaging);
    if (!ctx.spool->open())
        ctx.spool.reset();
}

struct SWEEPERS {
    std::unique_ptr<CLUSTERFEED> feed;  // null without a scan
    std::unique_ptr<STARTWANTS> startwants;
};

// The visitors every sweep of a run has: the deep scan's clusters (scan:
// null when the run has no deep scan; cluster 0 at byte first, count
// clusters of size bytes; found told of each cluster after the scan looked
// at it), with carving its starts, and last the spool.
template <class SCAN>
SWEEPERS addvisitors(RUNCONTEXT& ctx, SWEEP& sweep, SCAN* scan, std::uint64_t first, std::uint64_t size,
                     std::uint64_t count, const std::function<carve::CARVEAREA(const RUNCONTEXT&)>& carved,
                     std::function<void(std::uint64_t, const unsigned char*)> found = {})
{
    SWEEPERS out;
    if (scan) {
        scan->beginfeed();
        out.feed = std::make_unique<CLUSTERFEED>(
            first, size, count, [scan](std::uint64_t lcn) { return scan->scans(lcn); },
            [scan, found](std::uint64_t lcn, const unsigned char* cluster) {
                scan->look(lcn, cluster);
                if (found)
                    found(lcn, cluster);
            });
        sweep.add(out.feed.get());
    }
    if (ctx.options.carve) {
        ctx.starts = std::make_unique<carve::STARTMAP>();
        sweep.add(ctx.starts.get());
        if (ctx.spool) {
            out.startwants = std::make_unique<STARTWANTS>(*ctx.starts, *ctx.spool, carved(ctx));
            sweep.add(out.startwants.get());
        }
    }
    // Last: it takes what the others wanted of the block they saw.
    if (ctx.spool)
        sweep.add(ctx.spool.get());
    return out;
}

class SWEEPPHASE : public PHASE {
public:
    SWEEPPHASE(bool layouts, RUNPHASE told) : withsearch(layouts), told(told) {}
    RUNPHASE kind() const override { return told; }
    bool begin(RUNCONTEXT& ctx) override
    {
        RunEngine& core = ctx.core;
        sweep.emplace(core.hdisk, core.sourcebytes);
        if (withsearch) {
            search = std::make_unique<layout::LAYOUTSEARCH>(core.hdisk, core.sourcebytes);
            pairs = std::make_unique<layout::PAIRSFEED>(*search);
            sweep->add(pairs.get());
            // An earlier layout found by it is known only at the end.
            ctx.dirsectors = std::make_unique<deep::DIRSECTORS>();
            sweep->add(ctx.dirsectors.get());
        }
        deep::DEEPSCAN* scan = ctx.deep.get();
        startspool(ctx, core.hdisk, core.sourcebytes);
        std::function<void(std::uint64_t, const unsigned char*)> found;
        if (scan && ctx.spool) {
            const std::uint64_t first = core.diskparm.clusterposition(0), size = core.diskparm.clustersize();
            const std::uint64_t total = core.sourcebytes;
            const bool fat32 = core.dbrparm.fstype == 1;
            spool::SPOOL* into = ctx.spool.get();
            found = [scan, into, first, size, total, fat32, kept = std::uint64_t(0)](
                        std::uint64_t, const unsigned char* cluster) mutable {
                if (scan->directoryclusters() == kept)
                    return;
                kept = scan->directoryclusters();
                spool::fatentries(cluster, size, fat32, [&](std::uint32_t start, std::uint64_t bytes) {
                    const spool::RANGE r = spool::clusterrange(first, size, start, bytes, total);
                    into->want(r.from, r.to);
                });
            };
        }
        sweepers = addvisitors(ctx, *sweep, scan, core.diskparm.clusterposition(0), core.diskparm.clustersize(),
                               scan ? scan->scantotal() : 0, fatarea, found);
        feed = sweepers.feed.get();
        return true;
    }
    bool step(RUNCONTEXT& ctx) override
    {
        const bool more = sweep->step();
        if (feed)
            ctx.deep->fedto(feed->passed(), feed->eligiblepassed());
        if (more)
            return true;
        if (ctx.starts)
            ctx.starts->sweptto(sweep->passed());
        if (ctx.dirsectors)
            ctx.dirsectors->sweptto(sweep->passed());
        if (search)
            finishlayoutsearch(ctx, *search);
        if (ctx.deep && !ctx.earlier.empty()) {
            auto pieces = std::make_shared<layout::EARLIERDIRECTORIES>(ctx.core, ctx.earlier.front());
            ctx.deep->foreign = [pieces](std::uint64_t lcn) { return pieces->inside(lcn); };
        }
        // The found layout's own root, not a tree of the earlier ones.
        if (ctx.deep && ctx.tablefree && ctx.tree.isEmpty() && ctx.rootareabytes != 0)
            ctx.deep->addrootarea(ctx.rootareaat, ctx.rootareabytes);
        tellcounts(*sweep);
        read = sweep->passed();
        search.reset();
        pairs.reset();
        return false;
    }
    PHASEPROGRESS progress(const RUNCONTEXT& ctx) const override
    {
        if (!sweep)
            return {};
        return PHASEPROGRESS{sweep->passed(), sweep->total(), ctx.deep ? ctx.deep->directoryclusters() : 0};
    }
    std::uint64_t plannedbytes(const RUNCONTEXT& ctx) const override { return ctx.core.sourcebytes; }
    void count(const RUNCONTEXT& ctx, RUNREPORT& r) const override
    {
        if (!ctx.deep)
            return;
        r.scannedclusters += ctx.deep->scannedclusters();
        r.directoryclusters += ctx.deep->directoryclusters();
    }

private:
    bool withsearch;
    RUNPHASE told;
    std::optional<SWEEP> sweep;
    std::unique_ptr<layout::LAYOUTSEARCH> search;
    std::unique_ptr<layout::PAIRSFEED> pairs;
    SWEEPERS sweepers;
    CLUSTERFEED* feed = nullptr;
    std::uint64_t read = 0;
};

// exFAT: the heap's entry sets (deep: with the deep scan) and carving's
// starts, in the same one read.
class EXFATSWEEPPHASE : public PHASE {
public:
    explicit EXFATSWEEPPHASE(bool deep) : deep(deep) {}
    RUNPHASE kind() const override { return deep ? RUNPHASE::deepscan : RUNPHASE::carving; }
    bool begin(RUNCONTEXT& ctx) override
    {
        exfat::EXFATDEEP* scan = deep ? ctx.exfat->deepscan() : nullptr;
        const DISKPARM disk = ctx.core.diskparm;
        int fd = -1;
        std::uint64_t offset = 0, size = 0;
        if ((deep && !scan) || !platform::descriptor(disk.hdisk, &fd, &offset, &size))
            return false;
        sweep.emplace(disk.hdisk, size);
        startspool(ctx, disk.hdisk, size);
        first = disk.clusterposition(0);
        total = size;
        bytesper = ctx.exfat->clusterbytes();
        // A set's data is wanted as soon as the set is seen, before the
        // spool passes the block that holds both.
        std::function<void(std::uint64_t, const unsigned char*)> seen;
        if (scan && ctx.spool)
            seen = [this, scan, into = ctx.spool.get()](std::uint64_t, const unsigned char*) { wantsets(*scan, *into); };
        sweepers = addvisitors(ctx, *sweep, scan, first, bytesper, ctx.exfat->heapclusters(), exfatarea, std::move(seen));
        feed = sweepers.feed.get();
        return true;
    }
    bool step(RUNCONTEXT& ctx) override
    {
        ctx.newunit();
        const bool more = sweep->step();
        exfat::EXFATDEEP* scan = feed ? ctx.exfat->deepscan() : nullptr;
        if (scan)
            scan->fedto(feed->passed(), feed->eligiblepassed());
        if (more)
            return true;
        if (scan) {
            scan->endfeed();
            scan->link();
        }
        if (ctx.starts)
            ctx.starts->sweptto(sweep->passed());
        tellcounts(*sweep);
        return false;
    }
    PHASEPROGRESS progress(const RUNCONTEXT& ctx) const override
    {
        if (!sweep)
            return {};
        return PHASEPROGRESS{sweep->passed(), sweep->total(), deep ? ctx.exfat->deepscan()->setsfound() : 0};
    }
    std::uint64_t plannedbytes(const RUNCONTEXT& ctx) const override
    {
        return ctx.exfat->heapclusters() * ctx.exfat->clusterbytes();
    }
    void count(const RUNCONTEXT& ctx, RUNREPORT& r) const override { countexfat(ctx, r); }

private:
    // The data of the sets kept since the last step, wanted: the files the
    // lost folders' rebuild reads from their first cluster on.
    void wantsets(const exfat::EXFATDEEP& scan, spool::SPOOL& into)
    {
        for (; told < scan.setsfound(); ++told) {
            const exfat::ENTRYSET& set = scan.foundset(told);
            if (set.directory())
                continue;
            const spool::RANGE r = spool::clusterrange(first, bytesper, set.firstcluster, set.datalength, total);
            into.want(r.from, r.to);
        }
    }
    bool deep;
    std::optional<SWEEP> sweep;
    SWEEPERS sweepers;
    CLUSTERFEED* feed = nullptr;
    std::uint64_t first = 0, total = 0, bytesper = 0;  // cluster 2 at first, of bytesper; the heap's end
    std::size_t told = 0;                              // sets wanted so far
};

}  // namespace

std::unique_ptr<PHASE> exfatsweep(bool deep) { return std::make_unique<EXFATSWEEPPHASE>(deep); }

std::unique_ptr<PHASE> sweep(bool layouts) { return std::make_unique<SWEEPPHASE>(layouts, RUNPHASE::deepscan); }

std::unique_ptr<PHASE> startsweep() { return std::make_unique<SWEEPPHASE>(false, RUNPHASE::carving); }

void endspool(RUNCONTEXT& ctx)
{
    if (!ctx.spool)
        return;
    if (qEnvironmentVariableIntValue("KOV_SWEEP_COUNTS") == 1) {
        const spool::SPOOLCOUNTS& c = ctx.spool->counts();
        std::fprintf(stderr, "spool: %llu bytes kept, %llu served, %llu refused, budget %llu%s\n",
                     static_cast<unsigned long long>(c.spooled), static_cast<unsigned long long>(c.served),
                     static_cast<unsigned long long>(c.refused),
                     static_cast<unsigned long long>(ctx.spool->budget()), c.givenback ? ", given back" : "");
    }
    ctx.spool.reset();
}

bool sweeping()
{
    // Off only to compare with the phases reading on their own.
    return qEnvironmentVariable("KOV_SWEEP") != QLatin1String("0");
}

}  // namespace phases
