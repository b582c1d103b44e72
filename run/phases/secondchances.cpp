// The files the walk held: their second chances need every deleted entry's
// start, known only once the walk has ended. The saver settles one a step.
#include "run/phases/phases.h"
#include "run/runcontext.h"

namespace phases {
namespace {

class SECONDCHANCES : public PHASE {
public:
    RUNPHASE kind() const override { return RUNPHASE::secondchances; }
    bool step(RUNCONTEXT& ctx) override { return ctx.saver->finishstep(); }
};

}  // namespace

std::unique_ptr<PHASE> secondchances() { return std::make_unique<SECONDCHANCES>(); }

}  // namespace phases
