// exFAT's phases of the run: the walk (one folder read or one file saved a
// step), then with the deep scan the heap's free clusters read for entry
// sets and the files they give saved.
#include "exfat/exfatrun.h"
#include "run/phases/phases.h"
#include "run/runcontext.h"
#include "run/runengine.h"

namespace phases {

// The exFAT run's counts: assigned from the volume, walk and scan the
// phases share, so that any of them counts the same.
void countexfat(const RUNCONTEXT& ctx, RUNREPORT& r)
{
    const exfat::EXFATRUNCOUNTS c = ctx.exfat->counts();
    r.exfat = true;
    r.exfatnotes = ctx.exfat->notes();
    r.exfatwalk = c.walk;
    r.scannedclusters = c.deepclusters;
    r.directoryclusters = c.deepsets;
    r.unsavedlost = c.deepdropped;
}

namespace {

void savefound(RUNCONTEXT& ctx, const exfat::EXFATFILE& found)
{
    ctx.saver->savenamed(found.file, found.name, found.folder, found.nofatchain,
                         found.rebuild == exfat::REBUILD::chain);
}

class EXFATWALKPHASE : public PHASE {
public:
    explicit EXFATWALKPHASE(bool islast) : last(islast) {}
    // exFAT has one walk: it settles deleted files as it reads them.
    RUNPHASE kind() const override { return RUNPHASE::saving; }
    bool step(RUNCONTEXT& ctx) override
    {
        ctx.newunit();
        exfat::EXFATWALK& walk = ctx.exfat->walker();
        std::optional<exfat::EXFATFILE> found;
        const bool more = walk.step(&found);
        if (found) {
            if (exfat::EXFATDEEP* scan = ctx.exfat->deepscan())
                scan->claim(found->file.dataruns);
            savefound(ctx, *found);
        }
        const exfat::WALKCOUNTS walked = walk.counts();
        ctx.core.stats.entries = walked.livefiles + walked.deletedsets + walked.directories;
        if (more)
            return true;
        if (exfat::EXFATDEEP* scan = ctx.exfat->deepscan()) {
            scan->claim(walk.liveclusterbits());
            scan->claim(walk.directorybits());
        }
        if (last)
            ctx.waiting->finish();
        return false;
    }
    PHASEPROGRESS progress(const RUNCONTEXT& ctx) const override { return PHASEPROGRESS{0, 0, ctx.core.stats.saved}; }
    void count(const RUNCONTEXT& ctx, RUNREPORT& r) const override { countexfat(ctx, r); }

private:
    bool last;
};

class EXFATDEEPSCAN : public PHASE {
public:
    RUNPHASE kind() const override { return RUNPHASE::deepscan; }
    bool step(RUNCONTEXT& ctx) override
    {
        ctx.newunit();
        exfat::EXFATDEEP& scan = *ctx.exfat->deepscan();
        if (scan.scanstep())
            return true;
        scan.link();
        return false;
    }
    PHASEPROGRESS progress(const RUNCONTEXT& ctx) const override
    {
        const std::uint64_t size = ctx.exfat->clusterbytes();
        return PHASEPROGRESS{ctx.exfat->deepscan()->scanposition() * size, ctx.exfat->heapclusters() * size,
                             ctx.exfat->deepscan()->setsfound()};
    }
    std::uint64_t plannedbytes(const RUNCONTEXT& ctx) const override
    {
        return ctx.exfat->heapclusters() * ctx.exfat->clusterbytes();
    }
    void count(const RUNCONTEXT& ctx, RUNREPORT& r) const override { countexfat(ctx, r); }
};

class EXFATLOSTFILES : public PHASE {
public:
    RUNPHASE kind() const override { return RUNPHASE::lostfiles; }
    bool step(RUNCONTEXT& ctx) override
    {
        ctx.newunit();
        std::optional<exfat::EXFATFILE> found;
        if (ctx.exfat->deepscan()->next(&found)) {
            if (found)
                savefound(ctx, *found);
            return true;
        }
        ctx.waiting->finish();
        return false;
    }
    PHASEPROGRESS progress(const RUNCONTEXT& ctx) const override
    {
        return PHASEPROGRESS{0, 0, ctx.exfat->deepscan()->setsfound()};
    }
    void count(const RUNCONTEXT& ctx, RUNREPORT& r) const override { countexfat(ctx, r); }
};

}  // namespace

std::unique_ptr<PHASE> exfatwalk(bool last) { return std::make_unique<EXFATWALKPHASE>(last); }
std::unique_ptr<PHASE> exfatdeepscan() { return std::make_unique<EXFATDEEPSCAN>(); }
std::unique_ptr<PHASE> exfatlostfiles() { return std::make_unique<EXFATLOSTFILES>(); }

carve::CARVEAREA exfatarea(const RUNCONTEXT& ctx)
{
    // The heap as the run leaves it: allocated clusters and every folder's
    // entries passed over, the files it saved claimed.
    const exfat::EXFATRUN* run = ctx.exfat.get();
    return carve::CARVEAREA{ctx.core.diskparm, run->heapclusters(),
                            [run](std::uint64_t lcn) { return run->holdsentries(lcn); }};
}

}  // namespace phases
