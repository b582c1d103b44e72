// Opening and laying out the chosen volume.
#include "model/kovcore.h"
#include "volume/bootbackup.h"

#include <algorithm>
#include <new>

void KOVCore::initdisk(const QString& root)
{
    if (!minutetable && !memorywarned) {
        memorywarned = true;
        showwarning(QStringLiteral("cannot allocate memory!"));
    }
    const QChar letter = root.isEmpty() ? QChar() : root.at(0);

    if (hdisk != nullptr)
        platform::closesource(hdisk);
    hdisk = platform::opensource(letter);
    sourcebytes = platform::sourceforletter(letter).size;
    // Whatever fails below, nothing of the previous volume may stay usable:
    // its layout read through the new handle would walk the old
    // directories at the old offsets of another device.
    dropvolume();
    if (hdisk == platform::invalidhandle()) {
        showwarning(QStringLiteral("disk open error!"));
        return;
    }
    std::uint32_t sectorbytes = 0;
    if (!platform::sectorsize(hdisk, &sectorbytes)) {
        showwarning(QStringLiteral("get disk geometry error"));
        return;
    }
    geometry.BytesPerSector = sectorbytes;
    // A boot sector that cannot be read is treated like a failed geometry
    // query: parsing stale bytes would lay out a volume that is not there.
    BOOTSECTOR boot;
    if (!readbootsector(hdisk, sectorbytes, &boot)) {
        showwarning(QStringLiteral("get disk geometry error"));
        return;
    }
    parsedbr(boot.bytes.data(), &dbrparm);
    if (boot.backup())
        volumenotes.append(backupnote(boot.sector, boot.unread));

    diskparm.hdisk = hdisk;
    diskparm.bytespersector = dbrparm.bytespersector;
    diskparm.sectorspercluster = dbrparm.sectorspercluster;

    if (dbrparm.fatvolume()) {
        const bool fat32 = dbrparm.fstype == 1;
        // Sums and products of the layout are 32-bit, as on disk.
        const std::uint32_t fatsectors = dbrparm.sectorsperfat * dbrparm.fatcount;
        std::uint32_t rootsectors = 0;
        if (!fat32)
            rootsectors = (std::uint32_t(dbrparm.rootentries) * 32 + dbrparm.bytespersector - 1) /
                          dbrparm.bytespersector;
        diskparm.firstdatasector =
            std::uint32_t(dbrparm.reservedsectors + fatsectors + rootsectors);
        fatbits = fat32 ? 32 : dbrparm.fstype == 5 ? 12 : 16;
        fat.reset();
        fat = getfat();

        // Only clusters that can hold data get a bit: a boot sector that
        // claims far more sectors than the source holds costs nothing.
        clusterend = dataclusterend();
        const std::uint64_t clusters = clusterend - 2;
        if (!bitmap.resize(clusters)) {
            // Without a bitmap every cluster counts as used: nothing is
            // rebuilt onto clusters we cannot vouch for.
            showwarning(QStringLiteral("cannot allocate memory!"));
        }
    } else {
        diskparm.firstdatasector = 0;
        diskparm.fatstartsector = 0;
        fatbits = 32;
    }

    if (dbrparm.fatvolume()) {
        rootdir.clear();
        rootdir.dialog = this;
        getfatroot(rootdir);
        if (dbrparm.fstype == 1)
            setbitmap(rootdir.dataruns);
        curfile = rootdir;
        curdir = rootdir;
        collecting = false;
        saving = false;
        restartwalk();
    }
    setbuttontext(QStringLiteral("Recover"));
}

void KOVCore::dropvolume()
{
    dbrparm = DBRPARM();
    diskparm = DISKPARM();
    volumenotes.clear();
    fatcopy = 1;
    fatless = false;
    fat.reset();
    fatbits = 32;
    fatentries = 0;
    bitmap.clear();
    rootdir.clear();
    curdir.clear();
    curfile.clear();
    collecting = false;
    saving = false;
    entereddirs.clear();
    lookuphandle = nullptr;
    lookupok = false;
    clusterend = 2;
}

std::uint64_t KOVCore::dataclusterend() const
{
    const std::uint64_t sectorbytes = diskparm.bytespersector;
    const std::uint64_t spc = diskparm.sectorspercluster;
    const std::uint64_t first = diskparm.firstdatasector;
    if (sectorbytes == 0 || spc == 0)
        return 2;
    std::uint64_t end = fatentries;
    // The volume's own sectors.
    const std::uint64_t total = dbrparm.totalsectors;
    end = std::min(end, 2 + (total > first ? (total - first) / spc : 0));
    if (sourcebytes != 0) {
        // Whole clusters inside the source, ...
        const std::uint64_t sourcesectors = sourcebytes / sectorbytes;
        end = std::min(end, 2 + (sourcesectors > first ? (sourcesectors - first) / spc : 0));
        // ... and FAT entries inside it (a layout whose sums wrapped can
        // put the table after the data).
        const std::uint64_t fatbyte = diskparm.fatstartsector * sectorbytes;
        end = std::min(end, sourcebytes > fatbyte ? (sourcebytes - fatbyte) * 8 / fatbits : 0);
    }
    return std::max<std::uint64_t>(end, 2);
}
