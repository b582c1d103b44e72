// After an earlier layout's clusters were carved: the volume's own layout
// laid out again, with what its run kept passed over, and carved too.
#include "layout/adopt.h"
#include "layout/earlier.h"
#include "run/phases/phases.h"
#include "run/runcontext.h"
#include "run/runengine.h"

#include <algorithm>

namespace phases {
namespace {

class OWNLAYOUT : public PHASE {
public:
    RUNPHASE kind() const override { return RUNPHASE::idle; }
    bool begin(RUNCONTEXT& ctx) override
    {
        if (!ctx.ownlayout || !ctx.deep || !ctx.carvingbegun)
            return false;
        RunEngine& core = ctx.core;
        const layout::FOUNDLAYOUT own = *ctx.ownlayout;
        ctx.ownlayout.reset();
        // The earlier layout's directories, in the own layout's numbering.
        const std::uint64_t held = core.bitmap.size();
        ClusterClaims directories(held);
        directories.mark(ctx.deep->owndirectories());
        const deep::DEEPSCAN* scan = ctx.deep.get();
        const std::vector<DATARUN> taken = layout::overlapping(
            core, [&](std::uint64_t n) { return n < held && (directories.test(n) || scan->keptdirectory(n)); }, own);
        const int notes = int(core.volumenotes.size());
        if (!layout::adoptlayout(core, own))
            return false;
        // The volume's own layout, not one found: nothing new to tell.
        while (core.volumenotes.size() > notes)
            core.volumenotes.removeLast();
        core.bitmap.merge(ctx.ownkept);
        core.setbitmap(taken);
        // The files saved or carved in the earlier layout, to the byte: a
        // file of the own layout may begin in the last earlier cluster of
        // one, right after its end.
        std::vector<DATARUN> files;
        const std::uint64_t size = core.diskparm.clustersize();
        const std::uint64_t start = core.diskparm.clusterposition(0);
        ctx.savedfiles->eachextent([&](std::uint64_t from, std::uint64_t to) {
            if (to <= start || from >= to)
                return;
            from = std::max(from, start);
            const std::uint64_t first = (from - start) / size;
            files.push_back(DATARUN{first, (to - start + size - 1) / size - first, 0});
        });
        core.setbitmap(files);
        ctx.ownkept.clear();
        ctx.claims.reset(core.bitmap.size());
        ctx.tree.clear();
        // Its directory clusters are counted, and in the bitmap now.
        ctx.deep.reset();
        ctx.next.push_back(carving(fatarea));
        return false;
    }
    bool step(RUNCONTEXT&) override { return false; }
    // The carving it adds, planned as soon as an earlier layout is known
    // to be taken up.
    std::uint64_t plannedbytes(const RUNCONTEXT& ctx) const override
    {
        if (!ctx.options.carve || !ctx.deep)
            return 0;
        if (ctx.ownlayout)
            return ctx.ownlayout->clusters * ctx.ownlayout->clustersize;
        if (ctx.adoptedearlier || ctx.earlier.empty())
            return 0;
        return ctx.core.bitmap.size() * ctx.core.diskparm.clustersize();
    }
};

}  // namespace

std::unique_ptr<PHASE> ownlayout() { return std::make_unique<OWNLAYOUT>(); }

}  // namespace phases
