// Classifying and parsing a boot sector.
#include "model/kovcore.h"
#include "model/littleendian.h"
#include "volume/bootsector.h"

#include <cstring>

std::uint32_t KOVCore::classifydbr(const unsigned char* sector)
{
    if (std::memcmp(sector + bootfield::ntfssignature, "NTFS", 4) == 0)
        return 0;
    // exFAT names itself where FAT's jump ends; its other fields lie where
    // FAT's labels would, so it is told first.
    if (std::memcmp(sector + bootfield::exfatname, "EXFAT   ", 8) == 0) {
        const unsigned sectorshift = sector[bootfield::exfatsectorshift];
        const unsigned clustershift = sector[bootfield::exfatclustershift];
        return sectorshift >= 9 && sectorshift <= 12 && clustershift <= 25 - sectorshift ? 4 : 3;
    }
    std::uint32_t type = 3;
    if (std::memcmp(sector + bootfield::fat32label, "FAT32", 5) == 0)
        type = 1;
    else if (std::memcmp(sector + bootfield::fat16label, "FAT16", 5) == 0)
        type = 2;
    // FAT sectors are 512, 1024, 2048 or 4096 bytes. Any other size would
    // divide by zero (0) or let table entries straddle sector ends: such a
    // volume is not FAT for us; neither is one without a cluster size.
    const std::uint16_t sectorbytes = le16(sector + bootfield::bytespersector);
    if (type != 3 && ((sectorbytes != 512 && sectorbytes != 1024 && sectorbytes != 2048 && sectorbytes != 4096) ||
                      sector[bootfield::sectorspercluster] == 0))
        type = 3;
    return type;
}

void KOVCore::parsedbr(const unsigned char* sector, DBRPARM* out)
{
    out->sectorspercluster = sector[bootfield::sectorspercluster];
    out->bytespersector = le16(sector + bootfield::bytespersector);
    out->totalsectors = le32(sector + bootfield::totalsectors32);
    if (out->totalsectors == 0)
        out->totalsectors = le16(sector + bootfield::totalsectors16);
    out->reservedsectors = le16(sector + bootfield::reservedsectors);
    out->fatcount = sector[bootfield::fatcount];
    out->media = sector[bootfield::media];
    out->sectorsperfat = le32(sector + bootfield::sectorsperfat32);
    out->rootcluster = le32(sector + bootfield::rootcluster);
    const std::uint32_t type = classifydbr(sector);
    if (type == 2) {
        out->sectorsperfat = le16(sector + bootfield::sectorsperfat16);
        out->rootcluster = 2;
        out->rootentries = le16(sector + bootfield::rootentries);
    }
    out->fstype = type;
}
