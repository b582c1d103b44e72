// Classifying and parsing a boot sector.
#include "model/kovcore.h"
#include "model/littleendian.h"
#include "volume/bootsector.h"

#include <cstring>

namespace {

constexpr std::uint64_t fat16clusters = 4085;
constexpr std::uint64_t fat32clusters = 65525;

// FAT12 or FAT16 (5 or 2) for a boot sector with a fixed root area, 3 when
// its fields lay out no such volume. The cluster count decides, as every
// FAT reader does, except where the label says FAT16: small volumes made
// that way are read as FAT16 by the tools that made them, unless their table
// is sized for 12-bit entries only. labelbits 0: no label, only a boot
// signature, so the fields must be whole.
std::uint32_t fixedrootwidth(const unsigned char* sector, int labelbits)
{
    const std::uint64_t sectorbytes = le16(sector + bootfield::bytespersector);
    const std::uint64_t spc = sector[bootfield::sectorspercluster];
    const std::uint64_t rootentries = le16(sector + bootfield::rootentries);
    const std::uint64_t fatsectors = le16(sector + bootfield::sectorsperfat16);
    const std::uint64_t fats = sector[bootfield::fatcount];
    std::uint64_t total = le16(sector + bootfield::totalsectors16);
    if (total == 0)
        total = le32(sector + bootfield::totalsectors32);
    if (sectorbytes == 0 || spc == 0)
        return labelbits == 0 ? 3 : labelbits == 12 ? 5 : 2;
    // A table of no sectors: whatever the label says, no chain can be
    // read through it, and the layout search is what may find the volume.
    if (fatsectors == 0)
        return 3;
    const std::uint64_t system = std::uint64_t(le16(sector + bootfield::reservedsectors)) + fats * fatsectors +
                                 (rootentries * 32 + sectorbytes - 1) / sectorbytes;
    const std::uint64_t clusters = total > system ? (total - system) / spc : 0;
    const bool jumps = sector[0] == 0xEB || sector[0] == 0xE9;
    const bool media = sector[bootfield::media] == 0xF0 || sector[bootfield::media] >= 0xF8;
    if (labelbits == 0 && (!jumps || !media || rootentries == 0 || fatsectors == 0 || fats == 0 || clusters == 0 ||
                           clusters >= fat32clusters || (spc & (spc - 1)) != 0))
        return 3;
    // A table with room for 12-bit entries of every cluster but not for
    // 16-bit ones is FAT12 whatever the label says.
    const std::uint64_t tablebytes = fatsectors * sectorbytes;
    if (labelbits == 16)
        return clusters < fat16clusters && tablebytes < (clusters + 2) * 2 && tablebytes * 2 >= (clusters + 2) * 3
                   ? 5
                   : 2;
    // A count the table has no room for even in 12 bits comes from a
    // damaged total: the FAT12 label decides.
    if (labelbits == 12 && tablebytes * 2 < (clusters + 2) * 3)
        return 5;
    return clusters < fat16clusters ? 5 : 2;
}

}  // namespace

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
        type = fixedrootwidth(sector, 16);
    else if (std::memcmp(sector + bootfield::fat16label, "FAT12", 5) == 0)
        type = fixedrootwidth(sector, 12);
    else if (sector[510] == 0x55 && sector[511] == 0xAA)
        type = fixedrootwidth(sector, 0);
    // FAT sectors are 512, 1024, 2048 or 4096 bytes. Any other size would
    // divide by zero (0) or let table entries straddle sector ends: such a
    // volume is not FAT for us; neither is one without a cluster size.
    const std::uint16_t sectorbytes = le16(sector + bootfield::bytespersector);
    if (type != 3 && ((sectorbytes != 512 && sectorbytes != 1024 && sectorbytes != 2048 && sectorbytes != 4096) ||
                      sector[bootfield::sectorspercluster] == 0))
        type = 3;
    return type;
}

QString KOVCore::fstypename(std::uint32_t type)
{
    switch (type) {
    case 1: return QStringLiteral("FAT32");
    case 2: return QStringLiteral("FAT16");
    case 4: return QStringLiteral("exFAT");
    case 5: return QStringLiteral("FAT12");
    default: return {};
    }
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
    if (type == 2 || type == 5) {
        out->sectorsperfat = le16(sector + bootfield::sectorsperfat16);
        out->rootcluster = 2;
        out->rootentries = le16(sector + bootfield::rootentries);
    }
    out->fstype = type;
}
