// The files the walk held: their second chances need every deleted entry's
// start, known only once the walk has ended; then the rounds around the
// files that proved themselves. One file a step.
#include "run/phases/phases.h"
#include "run/runcontext.h"

namespace phases {
namespace {

class SECONDCHANCES : public PHASE {
public:
    RUNPHASE kind() const override { return RUNPHASE::secondchances; }
    bool step(RUNCONTEXT& ctx) override { return ctx.waiting->secondchancestep() || ctx.waiting->roundstep(); }
};

}  // namespace

std::unique_ptr<PHASE> secondchances() { return std::make_unique<SECONDCHANCES>(); }

}  // namespace phases
