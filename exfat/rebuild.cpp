#include "exfat/rebuild.h"

#include "platform/volumesource.h"
#include "scan/recoveredname.h"

#include <algorithm>

namespace exfat {

namespace {

std::uint64_t fatstamp(const EXFATTIME& t) { return std::uint64_t(t.stamp >> 16) << 32 | (t.stamp & 0xFFFF); }

}  // namespace

QString findclusters(const EXFATVOLUME& volume, const USEDTEST& used, std::uint32_t first, std::uint64_t bytes,
                     std::uint64_t allocated, bool nofatchain, CHAIN* out, REBUILD* how)
{
    const std::uint64_t cluster = volume.clusterbytes();
    const std::uint64_t need = (bytes + cluster - 1) / cluster;
    if (need == 0) {
        *out = CHAIN();
        *how = nofatchain ? REBUILD::contiguous : REBUILD::chain;
        return QString();
    }
    if (!volume.inheap(first))
        return QStringLiteral("its first cluster %1 lies outside the cluster heap (clusters 2 to %2)")
            .arg(first)
            .arg(std::uint64_t(volume.heapclusters()) + 1);
    const std::uint64_t room = volume.heapclusters() - (first - 2);
    if (nofatchain) {
        if (need > room)
            return QStringLiteral("its %1 clusters from cluster %2 run past the end of the cluster heap")
                .arg(need)
                .arg(first);
        for (std::uint64_t c = first; c < first + need; ++c)
            if (used(std::uint32_t(c)))
                return QStringLiteral("its cluster %1 is in use").arg(c);
        *out = contiguous(first, need);
        *how = REBUILD::contiguous;
        return QString();
    }
    if (used(first))
        return QStringLiteral("its first cluster %1 is in use").arg(first);
    // The chain holds when it has the clusters of the allocation exactly,
    // ends there and none of them is taken.
    if (allocated <= volume.heapclusters()) {
        CHAIN chain = volume.follow(first, allocated);
        bool holds = chain.clusters == allocated && chain.end == CHAIN::END::ended;
        for (const DATARUN& run : chain.runs)
            for (std::uint64_t i = 0; holds && i < run.length; ++i)
                holds = !used(std::uint32_t(run.lcn + 2 + i));
        if (holds) {
            // Only the clusters up to the valid length are read.
            *out = prefix(chain, need);
            *how = REBUILD::chain;
            return QString();
        }
    }
    CHAIN rebuilt;
    rebuilt.end = CHAIN::END::ended;
    const std::uint64_t end = std::uint64_t(volume.heapclusters()) + 2;
    for (std::uint64_t c = first; c < end && rebuilt.clusters < need; ++c) {
        // Allocated clusters are in use: on a full card they are most of the heap.
        c = volume.nextunallocated(c, end);
        if (c >= end || used(std::uint32_t(c)))
            continue;
        appendcluster(rebuilt.runs, c - 2);
        ++rebuilt.clusters;
    }
    if (rebuilt.clusters < need)
        return QStringLiteral("the cluster heap ends before its %1 clusters from cluster %2 are found free")
            .arg(need)
            .arg(first);
    *out = std::move(rebuilt);
    *how = REBUILD::freeclusters;
    return QString();
}

QString rebuildfile(const EXFATVOLUME& volume, const USEDTEST& used, const ENTRYSET& set, const QString& folder,
                    EXFATFILE* out)
{
    const std::uint64_t cluster = volume.clusterbytes();
    const std::uint64_t allocated = set.datalength / cluster + (set.datalength % cluster != 0);
    if (allocated > volume.heapclusters())
        return QStringLiteral("a data length of %1 bytes, more than the cluster heap holds").arg(set.datalength);
    // A valid length past the data length is cut to it.
    const std::uint64_t valid = std::min(set.validlength, set.datalength);
    CHAIN chain;
    REBUILD how = REBUILD::contiguous;
    if (const QString why = findclusters(volume, used, set.firstcluster, valid, allocated, set.nofatchain(), &chain,
                                         &how);
        !why.isEmpty())
        return why;
    EXFATFILE f;
    f.file.dataruns = std::move(chain.runs);
    f.file.size = set.datalength;
    f.file.validsize = valid;
    f.file.startcluster = set.firstcluster;
    f.file.deleted = set.inuse ? 0 : 1;
    f.file.writetime = fatstamp(set.modified);
    f.file.createtime = std::uint64_t(set.created.stamp >> 16) << 32 | std::uint64_t(set.created.stamp & 0xFFFF) << 16 |
                        set.created.tenms;
    f.file.setname(set.name.toUtf8());
    if (const auto when = set.modified.utc())
        f.file.modifiedms = when->toMSecsSinceEpoch();
    f.name = set.name;
    f.folder = folder;
    f.created = set.created;
    f.modified = set.modified;
    f.accessed = set.accessed;
    f.firstcluster = set.firstcluster;
    f.validlength = valid;
    f.datalength = set.datalength;
    f.nofatchain = set.nofatchain();
    f.entryinuse = set.inuse;
    f.rebuild = how;
    *out = std::move(f);
    return QString();
}

QString foldername(const QString& name, std::uint32_t firstcluster)
{
    const QString safe = safename(name);
    return safe.isEmpty() || !platform::namefits(safe) ? QStringLiteral("dir%1").arg(firstcluster, 5, 10, QLatin1Char('0'))
                                                       : safe;
}

}  // namespace exfat
