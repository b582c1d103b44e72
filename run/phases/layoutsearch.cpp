// A reformat with another geometry left the earlier format's directories
// where this layout does not look: found before the deep scan, so that it
// leaves their pieces to them.
#include "layout/earlier.h"
#include "layout/layoutsearch.h"
#include "run/phases/phases.h"
#include "run/runcontext.h"
#include "run/runengine.h"

namespace phases {
namespace {

class LAYOUTSEARCHPHASE : public PHASE {
public:
    RUNPHASE kind() const override { return RUNPHASE::layoutsearch; }
    bool begin(RUNCONTEXT& ctx) override
    {
        search = std::make_unique<layout::LAYOUTSEARCH>(ctx.core.hdisk, ctx.core.sourcebytes);
        return true;
    }
    bool step(RUNCONTEXT& ctx) override
    {
        if (search->step())
            return true;
        finishlayoutsearch(ctx, *search);
        read = search->done();
        search.reset();
        return false;
    }
    PHASEPROGRESS progress(const RUNCONTEXT&) const override
    {
        if (!search)
            return PHASEPROGRESS{read, read, 0};
        return PHASEPROGRESS{search->done(), search->total(), 0};
    }
    std::uint64_t plannedbytes(const RUNCONTEXT& ctx) const override { return ctx.core.sourcebytes; }

private:
    std::unique_ptr<layout::LAYOUTSEARCH> search;
    std::uint64_t read = 0;
};

}  // namespace

std::unique_ptr<PHASE> layoutsearch() { return std::make_unique<LAYOUTSEARCHPHASE>(); }

void finishlayoutsearch(RUNCONTEXT& ctx, layout::LAYOUTSEARCH& search)
{
    const layout::FOUNDLAYOUT own = layout::currentlayout(ctx.core);
    const std::vector<layout::FOUNDLAYOUT> found = search.layouts(&own);
    ctx.events.layoutssearched(search, found);
    ctx.earlier.clear();
    for (const layout::FOUNDLAYOUT& f : found)
        if (!layout::samelayout(ctx.core, f)) {
            ctx.earlier.push_back(f);
            break;
        }
}

}  // namespace phases
