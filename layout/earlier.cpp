#include "layout/earlier.h"

#include "deep/dirslots.h"
#include "model/kovcore.h"
#include "output/clusterclaims.h"

#include <algorithm>

namespace layout {

bool samelayout(const KOVCore& core, const FOUNDLAYOUT& found)
{
    return found.clustersize == core.diskparm.clustersize() &&
           found.datastart == core.diskparm.firstdatasector * core.diskparm.bytespersector;
}

EARLIERDIRECTORIES::EARLIERDIRECTORIES(const KOVCore& owner, const FOUNDLAYOUT& found) : core(owner), earlier(found) {}

bool EARLIERDIRECTORIES::inside(std::uint64_t lcn)
{
    const std::uint64_t at = core.diskparm.clusterposition(lcn);
    const std::uint64_t size = core.diskparm.clustersize();
    if (earlier.clustersize == 0 || at < earlier.datastart)
        return false;
    const std::uint64_t k = (at - earlier.datastart) / earlier.clustersize;
    const std::uint64_t begins = earlier.datastart + k * earlier.clustersize;
    if (k >= earlier.clusters)
        return false;
    if (size <= earlier.clustersize ? at + size > begins + earlier.clustersize : at != begins)
        return false;
    if (k != cachedcluster) {
        cachedcluster = k;
        cluster.resize(earlier.clustersize);
        cachedparses =
            platform::readat(core.hdisk, begins, std::uint32_t(cluster.size()), cluster.data()) &&
            deep::directoryslots(cluster.data(), cluster.size(), deep::SLOTRULES{earlier.fat32, slotbound(earlier)}) != 0;
    }
    return cachedparses;
}

FOUNDLAYOUT currentlayout(const KOVCore& core)
{
    FOUNDLAYOUT f;
    f.clustersize = core.diskparm.clustersize();
    f.datastart = core.diskparm.firstdatasector * core.diskparm.bytespersector;
    f.clusters = core.bitmapclusters();
    f.fat32 = core.fatbits == 32;
    f.fat12 = core.fatbits == 12;
    if (f.fat32)
        f.rootcluster = core.dbrparm.rootcluster;
    else
        f.rootbytes = std::uint64_t(core.dbrparm.rootentries) * 32;
    return f;
}

namespace {

// The clusters of other that share a byte with a cluster of core's layout
// for which taken is true, or (with systemarea) begin before its data start.
std::vector<DATARUN> overlaps(const KOVCore& core, const std::function<bool(std::uint64_t)>& taken,
                              const FOUNDLAYOUT& other, bool systemarea)
{
    std::vector<DATARUN> runs;
    const std::uint64_t size = core.diskparm.clustersize();
    const std::uint64_t start = core.diskparm.firstdatasector * core.diskparm.bytespersector;
    if (size == 0 || other.clustersize == 0)
        return runs;
    const auto hit = [&](std::uint64_t lcn) {
        const std::uint64_t from = other.datastart + lcn * other.clustersize;
        const std::uint64_t to = from + other.clustersize;  // one past
        if (from < start && systemarea)
            return true;
        if (to <= start)
            return false;
        // Every current cluster the other one overlaps (one, or a few when
        // the other's clusters are larger).
        for (std::uint64_t n = from < start ? 0 : (from - start) / size; n * size + start < to; ++n)
            if (taken(n))
                return true;
        return false;
    };
    for (std::uint64_t lcn = 0; lcn < other.clusters; ++lcn)
        if (hit(lcn))
            appendcluster(runs, lcn);
    return runs;
}

}  // namespace

std::vector<DATARUN> overwritten(const KOVCore& core, const ClusterClaims& claims, const FOUNDLAYOUT& earlier)
{
    return overlaps(core, [&](std::uint64_t n) { return core.inuse(n) || claims.test(n); }, earlier, true);
}

std::vector<DATARUN> overlapping(const KOVCore& core, const std::function<bool(std::uint64_t lcn)>& taken,
                                 const FOUNDLAYOUT& other)
{
    return overlaps(core, taken, other, false);
}

}  // namespace layout
