#include "run/runcontext.h"

#include "exfat/exfatrun.h"
#include "run/runengine.h"

RUNCONTEXT::RUNCONTEXT(RunEngine& engine, RUNEVENTS& told) : core(engine), events(told) {}

RUNCONTEXT::~RUNCONTEXT() = default;

carve::CARVEAREA RUNCONTEXT::fatcarvearea() const
{
    carve::CARVEAREA area = carve::fatarea(core);
    if (deep) {
        // The directory clusters the deep scan kept are passed over too.
        const RunEngine* volume = &core;
        const deep::DEEPSCAN* scan = deep.get();
        area.taken = [volume, scan](std::uint64_t lcn) { return volume->inuse(lcn) || scan->keptdirectory(lcn); };
    }
    return area;
}
