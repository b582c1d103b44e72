#include "deep/dirsample.h"

#include "deep/dirslots.h"
#include "model/kovcore.h"

#include <algorithm>
#include <memory>
#include <new>

namespace deep {

DIRSAMPLE sampledirectories(const KOVCore& core)
{
    DIRSAMPLE s;
    const DISKPARM& disk = core.diskparm;
    const std::uint64_t clustersize = disk.clustersize();
    if (!core.volumeready() || core.bitmap.empty() || clustersize < 64 || clustersize % 32 != 0 || core.clusterend < 2)
        return s;
    s.clusters = core.bitmapclusters();
    s.inuse = core.bitmap.ones();
    s.inuse = std::min(s.inuse, s.clusters);
    if (s.inuse * 50 > s.clusters)
        return s;
    std::unique_ptr<unsigned char[]> cluster(new (std::nothrow) unsigned char[clustersize]);
    if (!cluster)
        return s;
    const SLOTRULES rules{core.dbrparm.fstype == 1, core.fatentries};
    const auto look = [&](std::uint64_t lcn) {
        if (core.inuse(lcn) != 0)
            return;
        ++s.read;
        if (platform::readat(disk.hdisk, disk.clusterposition(lcn), std::uint32_t(clustersize), cluster.get()) &&
            dotentry(cluster.get(), 1) && dotentry(cluster.get() + 32, 2) &&
            directoryslots(cluster.get(), clustersize, rules) != 0)
            ++s.folders;
    };
    const std::uint64_t head = std::min(samplehead, s.clusters);
    for (std::uint64_t lcn = 0; lcn < head; ++lcn)
        look(lcn);
    const std::uint64_t rest = s.clusters - head;
    for (std::uint64_t k = 0; k < std::min(samplespread, rest); ++k)
        look(head + rest * k / std::min(samplespread, rest));
    return s;
}

}  // namespace deep
