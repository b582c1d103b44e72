// The files of the lost folders the deep scan found, one saved a step, then
// the second chances of those the saver held.
#include "run/phases/phases.h"
#include "run/runcontext.h"

namespace phases {
namespace {

class LOSTFILES : public PHASE {
public:
    RUNPHASE kind() const override { return RUNPHASE::lostfiles; }
    bool step(RUNCONTEXT& ctx) override
    {
        if (!linked) {
            ctx.deep->beginrecover();
            linked = true;
            return true;
        }
        if (ctx.deep->recoverstep(
                [&ctx](const deep::DEEPCANDIDATE& candidate) {
                    ctx.newunit();
                    ctx.saver->save(candidate.file,
                                    DIRSLOTS{candidate.slotbytes.get(), candidate.slotcount, candidate.slotindex},
                                    ctx.losttree(candidate.subdir), candidate.keepshortname);
                },
                [&ctx](const deep::DEEPCANDIDATE& candidate, const QString& reason) {
                    if (ctx.tree.isEmpty()) {
                        ctx.events.lostnotsaved(candidate, reason);
                        return;
                    }
                    deep::DEEPCANDIDATE named = candidate;
                    named.subdir = ctx.losttree(candidate.subdir);
                    ctx.events.lostnotsaved(named, reason);
                }))
            return true;
        return ctx.waiting->secondchancestep() || ctx.waiting->roundstep();
    }
    PHASEPROGRESS progress(const RUNCONTEXT& ctx) const override
    {
        return PHASEPROGRESS{0, 0, ctx.deep->directoryclusters()};
    }
    void count(const RUNCONTEXT& ctx, RUNREPORT& r) const override
    {
        r.unsavedlost += ctx.deep->unsavedfiles();
        r.shallower += ctx.deep->shallowerfiles();
    }

private:
    bool linked = false;  // the trees are linked and the entries handed out
};

}  // namespace

std::unique_ptr<PHASE> lostfiles() { return std::make_unique<LOSTFILES>(); }

}  // namespace phases
