// The cluster-usage bitmap, the rebuilding of deleted chains and the
// estimate of an erased FAT32 high word.
#include "model/kovcore.h"
#include "model/readableclusters.h"

#include <algorithm>

void KOVCore::setbitmap(const std::vector<DATARUN>& runs)
{
    const std::uint64_t bits = std::min(bitmap.size(), clusterend - 2);
    for (const DATARUN& run : runs) {
        // Clusters beyond the bitmap (a damaged volume) are left alone.
        if (run.lcn < bits)
            bitmap.setrun(run.lcn, std::min(run.length, bits - run.lcn));
    }
}

int KOVCore::inuse(std::uint64_t lcn) const
{
    if (!bitmap.covers(lcn) || lcn >= clusterend - 2)
        return 1;  // no such cluster: never vouch for it as free
    return bitmap.test(lcn) ? 1 : 0;
}

std::uint64_t KOVCore::readableclusters() const
{
    const DISKPARM& disk = diskparm;
    const std::uint64_t declared = std::min<std::uint64_t>(fatentries >= 2 ? fatentries - 2 : 0, bitmap.size());
    return ::readableclusters(declared, std::uint64_t(disk.firstdatasector) * disk.bytespersector, disk.clustersize(),
                              std::uint64_t(dbrparm.totalsectors) * disk.bytespersector, sourcebytes);
}

int KOVCore::clusterusage(const std::vector<DATARUN>& runs) const
{
    std::uint64_t total = 0;
    std::uint64_t used = 0;
    for (const DATARUN& run : runs) {
        total += run.length;
        for (std::uint64_t i = 0; i < run.length; ++i)
            used += std::uint64_t(inuse(run.lcn + i));
    }
    if (total == 0 || used == 0)
        return 0;
    return used >= total ? 2 : 1;
}

std::uint64_t KOVCore::gettotclustersize(const std::vector<DATARUN>& runs) const
{
    std::uint64_t clusters = 0;
    for (const DATARUN& run : runs)
        clusters += run.length;
    return clusters * diskparm.bytespersector * diskparm.sectorspercluster;
}

std::vector<DATARUN> KOVCore::fatrecoverdatarun(std::uint32_t startcluster, std::uint64_t size) const
{
    std::vector<DATARUN> runs;
    const std::uint64_t clustersize = diskparm.clustersize();
    // Clusters past the last one that exists hold no data (the FAT
    // usually has more entries than the volume has clusters, and a damaged
    // boot sector can claim 2^30 of them past the source's end): the file
    // is cut there, as at the end of the table.
    const std::uint64_t limit = std::min(fatentries, clusterend);
    if (size == 0 || clustersize == 0 || startcluster < 2 || startcluster >= limit ||
        getfatentry(startcluster) != 0)
        return runs;
    const std::uint64_t need = (size + clustersize - 1) / clustersize - 1;

    std::uint64_t here = startcluster;
    std::uint64_t first = startcluster;
    std::uint64_t taken = 0;
    std::uint64_t index = 0;
    for (;;) {
        while (here < limit && taken < need && getfatentry(std::uint32_t(here)) == 0) {
            ++here;
            ++taken;
        }
        // The last cluster is taken whatever its entry holds, if it exists.
        const std::uint64_t length = here - first + (taken == need && here < limit ? 1 : 0);
        if (length != 0)
            runs.push_back({first - 2, length, index});
        if (taken == need)
            return runs;
        while (here < limit && getfatentry(std::uint32_t(here)) != 0)
            ++here;
        first = here;
        index += length;
        if (here >= limit)
            return runs;
    }
}

std::uint16_t KOVCore::estimatestartclusterhigh(const FILEPARM* dir, const FAT32DIRENTRY* entry) const
{
    const std::uint16_t fallback = dir->clusterhigh;
    const std::uint16_t date = entry->word(dirfield::crtdate);
    if (!validdate(date) || !minutetable)
        return fallback;
    const std::optional<std::int64_t> key = minuteclock.key(date, entry->word(dirfield::crttime));
    if (!key || *key < 0 || *key >= minutecount)
        return fallback;
    const std::int32_t k = std::int32_t(*key);
    if (minutetable[k] != 0xFFFF)
        return minutetable[k];

    const std::int32_t belowslot = minuteindex.below(minutetable.get(), k);
    const std::int32_t aboveslot = minuteindex.above(minutetable.get(), k);
    if (belowslot >= 0 && aboveslot >= 0) {
        const std::uint16_t below = minutetable[belowslot];
        const std::uint16_t above = minutetable[aboveslot];
        if (below == above)
            return below;
        if (below == fallback)
            return below;
        if (above == fallback)
            return above;
        return std::uint16_t((std::uint32_t(below) + above) / 2);
    }
    if (belowslot >= 0)
        return minutetable[belowslot];
    if (aboveslot >= 0)
        return minutetable[aboveslot];
    return fallback;
}

void KOVCore::recordminute(std::uint64_t createtime, std::uint16_t high)
{
    const std::uint16_t date = std::uint16_t(createtime >> 32);
    const std::uint16_t time = std::uint16_t(createtime >> 16);
    if (!minutetable || 1980 + (date >> 9) > 2038)
        return;
    const std::optional<std::int64_t> key = minuteclock.key(date, time);
    if (!key || *key < 0 || *key >= minutecount)
        return;
    minutetable[std::int32_t(*key)] = high;
    minuteindex.mark(std::int32_t(*key));
}
