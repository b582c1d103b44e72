#include "rebuild/aroundproven.h"

#include <algorithm>

namespace rebuild {

std::vector<DATARUN> aroundtaken(const KOVCore& core, std::uint32_t startcluster, std::uint64_t size,
                                 const std::function<bool(std::uint64_t lcn)>& taken)
{
    std::vector<DATARUN> runs;
    const std::uint64_t clustersize = core.diskparm.clustersize();
    const std::uint64_t limit = std::min(core.fatentries, core.clusterend);
    if (size == 0 || clustersize == 0 || startcluster < 2 || startcluster >= limit)
        return runs;
    const std::uint64_t need = (size + clustersize - 1) / clustersize;
    const std::uint64_t span = need * 16 + 1024;
    const auto freefor = [&](std::uint64_t n) { return core.getfatentry(std::uint32_t(n)) == 0 && !taken(n - 2); };
    if (!freefor(startcluster))
        return runs;
    std::uint64_t got = 0, index = 0;
    for (std::uint64_t n = startcluster; n < limit && n - startcluster < span && got < need; ++n) {
        if (!freefor(n))
            continue;
        if (!runs.empty() && runs.back().lcn + runs.back().length == n - 2)
            ++runs.back().length;
        else
            runs.push_back(DATARUN{n - 2, 1, index});
        ++got;
        ++index;
    }
    if (got < need)
        runs.clear();
    return runs;
}

}  // namespace rebuild
