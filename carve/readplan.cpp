#include "carve/readplan.h"

#include <algorithm>

namespace carve {

void READPLAN::see(const CARVEAREA& area, const STARTMAP& starts, std::uint64_t swept, bool done)
{
    const std::uint64_t first = area.disk.clusterposition(0);
    // Laid out anew (a layout found at the sweep's end): planned anew.
    if (area.disk.clustersize() != size || area.clusters != clusters || first != origin) {
        *this = READPLAN();
        size = area.disk.clustersize();
        clusters = area.clusters;
        origin = first;
    }
    if (size == 0 || complete)
        return;
    sweptclusters = swept > first ? std::min(clusters, (swept - first) / size) : 0;
    for (; seen < starts.starts(); ++seen) {
        const std::uint64_t at = starts.at(seen);
        if (at < first)
            continue;
        // The carver goes on at the first cluster that begins at or past it.
        const std::uint64_t lcn = (at - first + size - 1) / size;
        if (lcn >= clusters)
            break;
        if (pending && lcn == pendinglcn)
            continue;
        if (pending)
            cover(area, pendinglcn, lcn);
        pending = true;
        pendinglcn = lcn;
    }
    if (!done)
        return;
    complete = true;
    if (pending)
        cover(area, pendinglcn, pendinglcn);
    pending = false;
    // Past the starts the map could hold, the carver reads every free cluster.
    if (starts.capped() && starts.bound() > first)
        for (std::uint64_t lcn = std::max((starts.bound() - first) / size, reach); lcn < clusters;) {
            cover(area, lcn, clusters);
            lcn = std::max(lcn + 1, reach);
        }
}

void READPLAN::cover(const CARVEAREA& area, std::uint64_t lcn, std::uint64_t next)
{
    const auto free = [&area](std::uint64_t k) { return !(area.taken && area.taken(k)); };
    // A start in use is passed; the carver looks again from the next start.
    if (lcn >= clusters || !free(lcn))
        return;
    const std::uint64_t lo = std::max(lcn, reach);
    const std::uint64_t hi = std::min(clusters, lcn + std::max(std::max<std::uint64_t>(window / size, 1), next - lcn));
    std::uint64_t k = lo;
    while (k < hi && free(k))
        ++k;
    if (k <= lo)
        return;
    if (!runs.empty() && runs.back().hi == lo)
        runs.back().hi = k;
    else
        runs.push_back(RUN{lo, k, planned});
    planned += (k - lo) * size;
    reach = k;
}

std::uint64_t READPLAN::total() const
{
    if (complete)
        return planned;
    if (sweptclusters == 0)
        return clusters * size;
    // The rest of the card as the part swept so far.
    const std::uint64_t rest = clusters - sweptclusters;
    return planned + std::uint64_t(double(planned) * double(rest) / double(sweptclusters));
}

std::uint64_t READPLAN::before(std::uint64_t lcn) const
{
    const auto after = std::upper_bound(runs.begin(), runs.end(), lcn, [](std::uint64_t k, const RUN& r) { return k < r.lo; });
    if (after == runs.begin())
        return 0;
    const RUN& r = *(after - 1);
    return r.sumbefore + (std::min(lcn, r.hi) - r.lo) * size;
}

}  // namespace carve
