#include "layout/earlier.h"

#include "deep/dirslots.h"
#include "model/kovcore.h"
#include "output/clusterclaims.h"

namespace layout {

bool samelayout(const KOVCore& core, const FOUNDLAYOUT& found)
{
    return found.clustersize == core.diskparm.clustersize() &&
           found.datastart == core.diskparm.firstdatasector * core.diskparm.bytespersector;
}

bool insideearlierdirectory(const KOVCore& core, const FOUNDLAYOUT& earlier, std::uint64_t lcn)
{
    const std::uint64_t at = core.diskparm.clusterposition(lcn);
    if (earlier.clustersize == 0 || at < earlier.datastart)
        return false;
    const std::uint64_t k = (at - earlier.datastart) / earlier.clustersize;
    if (k >= earlier.clusters)
        return false;
    std::vector<unsigned char> cluster(earlier.clustersize);
    if (!platform::readat(core.hdisk, earlier.datastart + k * earlier.clustersize, std::uint32_t(cluster.size()),
                          cluster.data()))
        return false;
    return deep::directoryslots(cluster.data(), cluster.size(), deep::SLOTRULES{earlier.fat32, slotbound(earlier)}) != 0;
}

std::vector<DATARUN> overwritten(const KOVCore& core, const ClusterClaims& claims, const FOUNDLAYOUT& earlier)
{
    std::vector<DATARUN> runs;
    const std::uint64_t size = core.diskparm.clustersize();
    const std::uint64_t start = core.diskparm.firstdatasector * core.diskparm.bytespersector;
    if (size == 0 || earlier.clustersize == 0)
        return runs;
    auto taken = [&](std::uint64_t lcn) {
        const std::uint64_t from = earlier.datastart + lcn * earlier.clustersize;
        const std::uint64_t to = from + earlier.clustersize;  // one past
        if (from < start)
            return true;
        // Every current cluster the old one overlaps (one, or a few when
        // the old clusters are larger).
        for (std::uint64_t n = (from - start) / size; n * size + start < to; ++n)
            if (core.inuse(n) || claims.test(n))
                return true;
        return false;
    };
    for (std::uint64_t lcn = 0; lcn < earlier.clusters; ++lcn) {
        if (taken(lcn))
            appendcluster(runs, lcn);
    }
    return runs;
}

}  // namespace layout
