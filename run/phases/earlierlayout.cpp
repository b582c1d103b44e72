// An earlier format's layout the layout search found: the core laid out
// anew for it, then its deep scan and lost files (below its own tree), then
// the next one.
#include "layout/adopt.h"
#include "layout/earlier.h"
#include "run/phases/phases.h"
#include "run/runcontext.h"
#include "run/runengine.h"

namespace phases {
namespace {

class EARLIERLAYOUT : public PHASE {
public:
    RUNPHASE kind() const override { return RUNPHASE::idle; }
    bool begin(RUNCONTEXT& ctx) override
    {
        RunEngine& core = ctx.core;
        while (!ctx.earlier.empty()) {
            const layout::FOUNDLAYOUT next = ctx.earlier.front();
            ctx.earlier.erase(ctx.earlier.begin());
            // The clusters the volume overwrote, its saved files claim or its
            // own directories hold are gone for the earlier layout: read with
            // the earlier geometry, the entries of a directory of this layout
            // name other bytes.
            ctx.claims.mark(ctx.deep->owndirectories());
            const std::vector<DATARUN> gone = layout::overwritten(core, ctx.claims, next);
            std::optional<layout::FOUNDLAYOUT> own;
            CLUSTERBITS kept;
            if (ctx.options.carve && !ctx.adoptedearlier) {
                own = layout::currentlayout(core);
                kept.resize(own->clusters);
                const deep::DEEPSCAN* scan = ctx.deep.get();
                for (std::uint64_t lcn = 0; lcn < own->clusters; ++lcn)
                    if (core.inuse(lcn) || ctx.claims.test(lcn) || scan->keptdirectory(lcn))
                        kept.set(lcn);
            }
            if (!layout::adoptlayout(core, next))
                continue;
            if (own) {
                ctx.ownlayout = own;
                ctx.ownkept = std::move(kept);
            }
            ctx.adoptedearlier = true;
            core.setbitmap(gone);
            ctx.claims.reset(core.bitmap.size());
            ctx.tree = QStringLiteral("lost/earlier-layout-%1/").arg(next.sizename());
            ctx.events.earlierbegun(next, ctx.tree);
            ctx.deep = std::make_unique<deep::DEEPSCAN>(core, ctx.claims);
            ctx.deep->onlyfrom(ctx.dirsectors.get());
            ctx.next.push_back(deepscan());
            ctx.next.push_back(lostfiles());
            ctx.next.push_back(earlierlayout());
            break;
        }
        return false;
    }
    bool step(RUNCONTEXT&) override { return false; }
    // Its deep scan, once the layouts are found: planned from then on, so
    // that the run's share does not fall when it is added.
    std::uint64_t plannedbytes(const RUNCONTEXT& ctx) const override
    {
        std::uint64_t bytes = 0;
        for (const layout::FOUNDLAYOUT& f : ctx.earlier)
            bytes += f.clusters * f.clustersize;
        return bytes;
    }
};

}  // namespace

std::unique_ptr<PHASE> earlierlayout() { return std::make_unique<EARLIERLAYOUT>(); }

}  // namespace phases
