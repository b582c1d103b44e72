#include "layout/adopt.h"

#include "model/kovcore.h"

#include <algorithm>
#include <new>

namespace layout {

bool adoptlayout(KOVCore& core, const FOUNDLAYOUT& found)
{
    constexpr std::uint64_t sector = 512;
    if (found.clustersize % sector != 0 || found.datastart % sector != 0 || found.clusters == 0 ||
        found.clustersize / sector > 0xFFFF)
        return false;
    const std::uint64_t clusters = std::min<std::uint64_t>(found.clusters, 0x0FFFFFF0 - 2);
    CLUSTERBITS bitmap;
    if (!bitmap.resize(clusters))
        return false;
    DBRPARM d;
    d.bytespersector = sector;
    d.sectorspercluster = std::uint32_t(found.clustersize / sector);
    d.totalsectors = found.datastart / sector + clusters * d.sectorspercluster;
    d.fstype = found.fat32 ? 1 : found.fat12 ? 5 : 2;
    core.dbrparm = d;
    core.diskparm.hdisk = core.hdisk;
    core.diskparm.bytespersector = sector;
    core.diskparm.sectorspercluster = d.sectorspercluster;
    core.diskparm.firstdatasector = found.datastart / sector;
    core.diskparm.fatstartsector = 0;
    core.fat.reset();
    core.fatless = true;
    core.fatbits = found.fat32 ? 32 : found.fat12 ? 12 : 16;
    core.fatentries = slotbound(found);
    core.clusterend = clusters + 2;
    core.bitmap = std::move(bitmap);
    core.volumenotes.append(found.describe());
    return true;
}

}  // namespace layout
