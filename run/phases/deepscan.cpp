// The clusters neither in use nor claimed read once for lost folders, one
// read a step, leaving to the next earlier layout what lies inside its
// directories.
#include "layout/earlier.h"
#include "run/phases/phases.h"
#include "run/runcontext.h"
#include "run/runengine.h"

namespace phases {
namespace {

class DEEPSCANPHASE : public PHASE {
public:
    RUNPHASE kind() const override { return RUNPHASE::deepscan; }
    bool begin(RUNCONTEXT& ctx) override
    {
        if (!ctx.earlier.empty()) {
            auto pieces = std::make_shared<layout::EARLIERDIRECTORIES>(ctx.core, ctx.earlier.front());
            ctx.deep->foreign = [pieces](std::uint64_t lcn) { return pieces->inside(lcn); };
        }
        return ctx.deep->beginscan();
    }
    bool step(RUNCONTEXT& ctx) override
    {
        if (ctx.deep->scanstep())
            return true;
        // The found layout's own root, not a tree of the earlier ones.
        if (ctx.tablefree && ctx.tree.isEmpty() && ctx.rootareabytes != 0)
            ctx.deep->addrootarea(ctx.rootareaat, ctx.rootareabytes);
        return false;
    }
    PHASEPROGRESS progress(const RUNCONTEXT& ctx) const override
    {
        const std::uint64_t size = ctx.core.diskparm.clustersize();
        return PHASEPROGRESS{ctx.deep->scanposition() * size, ctx.deep->scantotal() * size,
                             ctx.deep->directoryclusters()};
    }
    std::uint64_t plannedbytes(const RUNCONTEXT& ctx) const override
    {
        return ctx.core.bitmap.size() * ctx.core.diskparm.clustersize();
    }
    void count(const RUNCONTEXT& ctx, RUNREPORT& r) const override
    {
        // Summed over the layouts the run scans; the counts of saving the
        // files are lostfiles'.
        r.scannedclusters += ctx.deep->scannedclusters();
        r.directoryclusters += ctx.deep->directoryclusters();
    }
};

}  // namespace

std::unique_ptr<PHASE> deepscan() { return std::make_unique<DEEPSCANPHASE>(); }

}  // namespace phases
