#include "exfat/rebuild.h"

#include "platform/volumesource.h"
#include "scan/recoveredname.h"

#include <algorithm>

namespace exfat {

namespace {

std::uint64_t fatstamp(const EXFATTIME& t) { return std::uint64_t(t.stamp >> 16) << 32 | (t.stamp & 0xFFFF); }

}  // namespace

bool CHAINCHECKS::worthfollowing(std::uint32_t first, std::uint64_t allocated) const
{
    if (spent())
        return false;
    const auto s = seen.find(first);
    if (s == seen.end())
        return true;
    // It ran on past the clusters followed: only a longer allocation can
    // end with it. It stopped: only one of its length, had it ended.
    if (s->second.end == CHAIN::END::limit)
        return allocated > s->second.clusters;
    return allocated == s->second.clusters && s->second.end == CHAIN::END::ended;
}

void CHAINCHECKS::followed(std::uint32_t first, const CHAIN& chain, bool held)
{
    if (!held)
        wasted += chain.clusters;
    if (seen.size() >= seencap)
        seen.clear();
    seen[first] = {chain.clusters, chain.end};
}

QString findclusters(const EXFATVOLUME& volume, const FREECLUSTERS& free, CHAINCHECKS& chains, std::uint32_t first,
                     std::uint64_t bytes, std::uint64_t allocated, bool nofatchain, CHAIN* out, REBUILD* how)
{
    const std::uint64_t cluster = volume.clusterbytes();
    const std::uint64_t need = (bytes + cluster - 1) / cluster;
    if (need != 0 || allocated != 0) {
        if (!volume.inheap(first))
            return QStringLiteral("its first cluster %1 lies outside the cluster heap (clusters 2 to %2)")
                .arg(first)
                .arg(std::uint64_t(volume.heapclusters()) + 1);
    }
    if (need == 0) {
        // Zeros of the data length are all it holds; on another file's
        // cluster it was never this file's.
        if (allocated != 0 && !free.isfree(first))
            return QStringLiteral("its first cluster %1 is in use").arg(first);
        *out = CHAIN();
        *how = nofatchain ? REBUILD::contiguous : REBUILD::chain;
        return QString();
    }
    const std::uint64_t room = volume.heapclusters() - (first - 2);
    if (nofatchain) {
        if (need > room)
            return QStringLiteral("its %1 clusters from cluster %2 run past the end of the cluster heap")
                .arg(need)
                .arg(first);
        if (const std::uint64_t taken = free.nexttaken(first, first + need); taken < first + need)
            return QStringLiteral("its cluster %1 is in use").arg(taken);
        *out = contiguous(first, need);
        *how = REBUILD::contiguous;
        return QString();
    }
    if (!free.isfree(first))
        return QStringLiteral("its first cluster %1 is in use").arg(first);
    // The chain holds when it has the clusters of the allocation exactly,
    // ends there and every one is free (it stops at the first that is not).
    if (allocated <= volume.heapclusters() && chains.worthfollowing(first, allocated)) {
        const CHAIN chain = volume.follow(first, allocated, [&free](std::uint32_t c) { return !free.isfree(c); });
        const bool held = chain.clusters == allocated && chain.end == CHAIN::END::ended;
        chains.followed(first, chain, held);
        if (held) {
            // Only the clusters up to the valid length are read.
            *out = prefix(chain, need);
            *how = REBUILD::chain;
            return QString();
        }
    }
    // Counted before they are gathered: a set that cannot have them costs
    // no pass over the heap.
    const std::uint64_t end = std::uint64_t(volume.heapclusters()) + 2;
    if (free.count(first, end) < need)
        return QStringLiteral("the cluster heap ends before its %1 clusters from cluster %2 are found free")
            .arg(need)
            .arg(first);
    *out = free.first(first, need);
    *how = REBUILD::freeclusters;
    return QString();
}

QString rebuildfile(const EXFATVOLUME& volume, const FREECLUSTERS& free, CHAINCHECKS& chains, const ENTRYSET& set,
                    const QString& folder, EXFATFILE* out)
{
    const std::uint64_t cluster = volume.clusterbytes();
    const std::uint64_t allocated = set.datalength / cluster + (set.datalength % cluster != 0);
    if (allocated > volume.heapclusters())
        return QStringLiteral("a data length of %1 bytes, more than the cluster heap holds").arg(set.datalength);
    // A valid length past the data length is cut to it.
    const std::uint64_t valid = std::min(set.validlength, set.datalength);
    CHAIN chain;
    REBUILD how = REBUILD::contiguous;
    if (const QString why = findclusters(volume, free, chains, set.firstcluster, valid, allocated, set.nofatchain(),
                                         &chain, &how);
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
