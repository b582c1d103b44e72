// The two FAT walks, one entry a step; the core's scantick turns from the
// collecting pass to the saving one and tells the end (walkended).
#include "run/phases/phases.h"
#include "run/runcontext.h"
#include "run/runengine.h"

namespace phases {
namespace {

// The bytes the walks read: the table (one copy), the folders besides.
PHASEPROGRESS walked(const RUNCONTEXT& ctx)
{
    const RunEngine& core = ctx.core;
    const std::uint64_t total = std::uint64_t(core.dbrparm.sectorsperfat) * core.dbrparm.bytespersector;
    const int percent = core.walkpercent();
    return PHASEPROGRESS{percent < 0 ? 0 : total * std::uint64_t(percent) / 100, total, core.stats.saved};
}

std::uint64_t tablebytes(const RUNCONTEXT& ctx)
{
    return std::uint64_t(ctx.core.dbrparm.sectorsperfat) * ctx.core.dbrparm.bytespersector;
}

class COLLECTING : public PHASE {
public:
    RUNPHASE kind() const override { return RUNPHASE::collecting; }
    bool step(RUNCONTEXT& ctx) override
    {
        ctx.newunit();
        ctx.core.scantick();
        if (!ctx.core.saving && !ctx.walkdone)
            return true;
        if (ctx.deep && ctx.core.saving)
            ctx.deep->notewalk(ctx.core.curdir);
        return false;
    }
    PHASEPROGRESS progress(const RUNCONTEXT& ctx) const override { return walked(ctx); }
    std::uint64_t plannedbytes(const RUNCONTEXT& ctx) const override { return tablebytes(ctx); }
};

class SAVING : public PHASE {
public:
    RUNPHASE kind() const override { return RUNPHASE::saving; }
    bool begin(RUNCONTEXT& ctx) override { return !ctx.walkdone; }
    bool step(RUNCONTEXT& ctx) override
    {
        ctx.newunit();
        ctx.core.scantick();
        if (ctx.deep && ctx.core.saving)
            ctx.deep->notewalk(ctx.core.curdir);
        return !ctx.walkdone;
    }
    PHASEPROGRESS progress(const RUNCONTEXT& ctx) const override { return walked(ctx); }
    std::uint64_t plannedbytes(const RUNCONTEXT& ctx) const override { return tablebytes(ctx); }
};

}  // namespace

std::unique_ptr<PHASE> collectingwalk() { return std::make_unique<COLLECTING>(); }
std::unique_ptr<PHASE> savingwalk() { return std::make_unique<SAVING>(); }

}  // namespace phases
