// Last, so that every file an entry still names has claimed its clusters:
// the clusters no one takes read for files by their contents, one read or
// one start a step.
#include "carve/readplan.h"
#include "run/phases/phases.h"
#include "run/runcontext.h"
#include "run/runengine.h"

#include <utility>

namespace phases {
namespace {

class CARVING : public PHASE {
public:
    explicit CARVING(std::function<carve::CARVEAREA(const RUNCONTEXT&)> of) : area(std::move(of)) {}
    RUNPHASE kind() const override { return RUNPHASE::carving; }
    bool begin(RUNCONTEXT& ctx) override
    {
        ctx.carver = std::make_unique<carve::CARVER>(ctx.core, area(ctx), ctx.claims, *ctx.savedfiles);
        ctx.carver->usestarts(ctx.starts.get());
        ctx.carver->piecejpegs(ctx.options.verify);
        made = true;
        ctx.carvingbegun = ctx.carver->begin();
        return ctx.carvingbegun;
    }
    bool step(RUNCONTEXT& ctx) override
    {
        return ctx.carver->step([&ctx](const carve::CARVEDFILE& found) {
            ctx.newunit();
            ctx.saver->savecarved(found.file, found.place.stem + QLatin1Char('.') + found.type,
                                  ctx.losttree(QStringLiteral("lost/carved/%1/").arg(found.place.folder)), found.type,
                                  found.verdict);
        });
    }
    PHASEPROGRESS progress(const RUNCONTEXT& ctx) const override
    {
        // Told before it begins: the carver in ctx is still the last one.
        if (!made)
            return {};
        const std::uint64_t found = ctx.carver->counts().carved;
        // In the bytes it reads, passed as the carver passes their clusters.
        if (ctx.starts) {
            look(ctx);
            return PHASEPROGRESS{plan.before(ctx.carver->position()), plan.total(), found};
        }
        const std::uint64_t size = ctx.core.diskparm.clustersize();
        return PHASEPROGRESS{ctx.carver->position() * size, ctx.carver->total() * size, found};
    }
    std::uint64_t plannedbytes(const RUNCONTEXT& ctx) const override
    {
        // From the sweep's first block on, what the starts noted will have
        // it read; without a sweep every cluster is read.
        if (ctx.starts) {
            look(ctx);
            return plan.total();
        }
        const carve::CARVEAREA planned = area(ctx);
        return planned.clusters * planned.disk.clustersize();
    }
    void count(const RUNCONTEXT& ctx, RUNREPORT& r) const override
    {
        if (made)
            r.carving += ctx.carver->counts();
    }

private:
    void look(const RUNCONTEXT& ctx) const
    {
        plan.see(area(ctx), *ctx.starts, ctx.starts->swept(), ctx.starts->ended());
    }
    std::function<carve::CARVEAREA(const RUNCONTEXT&)> area;
    bool made = false;
    mutable carve::READPLAN plan;  // taken in as the sweep goes
};

}  // namespace

std::unique_ptr<PHASE> carving(std::function<carve::CARVEAREA(const RUNCONTEXT&)> area)
{
    return std::make_unique<CARVING>(std::move(area));
}

carve::CARVEAREA fatarea(const RUNCONTEXT& ctx) { return ctx.fatcarvearea(); }

}  // namespace phases
