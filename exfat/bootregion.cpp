#include "exfat/bootregion.h"

#include "model/littleendian.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace exfat {

namespace {

std::uint64_t le64(const unsigned char* p) { return std::uint64_t(le32(p)) | std::uint64_t(le32(p + 4)) << 32; }

constexpr std::uint32_t maxclustercount = 0xFFFFFFF5;  // 2^32 - 11

// Sector sizes of 512 to 4096 bytes, clusters of at most 32 MiB.
bool shiftsvalid(const unsigned char* sector)
{
    const unsigned sectorshift = sector[bootfield::sectorshift];
    const unsigned clustershift = sector[bootfield::clustershift];
    return sectorshift >= 9 && sectorshift <= 12 && clustershift <= 25 - sectorshift;
}

}  // namespace

DISKPARM EXFATLAYOUT::disk(platform::volhandle handle) const
{
    DISKPARM d;
    d.hdisk = handle;
    d.bytespersector = std::uint16_t(sectorbytes());
    d.sectorspercluster = 1u << clustershift;
    d.firstdatasector = heapoffset;
    d.fatstartsector = fatoffset;
    return d;
}

std::uint32_t bootchecksum(const unsigned char* region, std::uint32_t sectorbytes)
{
    std::uint32_t sum = 0;
    const std::uint64_t bytes = std::uint64_t(sectorbytes) * 11;
    for (std::uint64_t i = 0; i < bytes; ++i) {
        if (i == bootfield::volumeflags || i == bootfield::volumeflags + 1 || i == bootfield::percentinuse)
            continue;
        sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + region[i];
    }
    return sum;
}

QString parseregion(const unsigned char* region, std::uint64_t regionbytes, EXFATLAYOUT* out, bool checksum)
{
    if (regionbytes < 512 || std::memcmp(region + bootfield::name, "EXFAT   ", 8) != 0)
        return QStringLiteral("no exFAT name in the boot sector");
    if (!shiftsvalid(region))
        return QStringLiteral("bytes per sector or sectors per cluster out of range");
    for (int i = bootfield::mustbezero; i < 64; ++i)
        if (region[i] != 0)
            return QStringLiteral("bytes 11 to 63 of the boot sector are not zero");
    if (region[510] != 0x55 || region[511] != 0xAA)
        return QStringLiteral("no boot signature");
    EXFATLAYOUT l;
    l.sectorshift = region[bootfield::sectorshift];
    l.clustershift = region[bootfield::clustershift];
    const std::uint32_t sectorbytes = l.sectorbytes();
    if (regionbytes < std::uint64_t(sectorbytes) * bootregionsectors)
        return QStringLiteral("the boot region cannot be read whole");
    const std::uint32_t sum = bootchecksum(region, sectorbytes);
    const unsigned char* sumsector = region + std::uint64_t(sectorbytes) * 11;
    for (std::uint32_t i = 0; checksum && i < sectorbytes; i += 4)
        if (le32(sumsector + i) != sum)
            return QStringLiteral("the boot region fails its checksum");
    l.fatcount = region[bootfield::fatcount];
    l.volumelength = le64(region + bootfield::volumelength);
    l.fatoffset = le32(region + bootfield::fatoffset);
    l.fatlength = le32(region + bootfield::fatlength);
    l.heapoffset = le32(region + bootfield::heapoffset);
    l.clustercount = le32(region + bootfield::clustercount);
    l.rootcluster = le32(region + bootfield::rootcluster);
    l.serial = le32(region + bootfield::serial);
    l.volumeflags = le16(region + bootfield::volumeflags);
    if (l.fatcount != 1 && l.fatcount != 2)
        return QStringLiteral("%1 FATs").arg(l.fatcount);
    // The FAT after both boot regions, the heap after every FAT, the heap
    // inside the volume, and one FAT entry for every cluster.
    const std::uint64_t fatend = std::uint64_t(l.fatoffset) + std::uint64_t(l.fatlength) * l.fatcount;
    const std::uint64_t heapsectors = std::uint64_t(l.clustercount) << l.clustershift;
    if (l.fatoffset < 2 * bootregionsectors || l.fatlength == 0 || l.heapoffset < fatend ||
        l.clustercount == 0 || l.clustercount > maxclustercount ||
        l.volumelength < std::uint64_t(l.heapoffset) + heapsectors ||
        (std::uint64_t(l.clustercount) + 2) * 4 > std::uint64_t(l.fatlength) * sectorbytes)
        return QStringLiteral("the FAT, cluster heap and volume lengths do not fit together");
    if (l.rootcluster < 2 || l.rootcluster - 2 >= l.clustercount)
        return QStringLiteral("the root directory cluster %1 lies outside the cluster heap").arg(l.rootcluster);
    *out = l;
    return QString();
}

QString readbootregion(platform::volhandle handle, std::uint64_t sourcebytes, EXFATLAYOUT* out)
{
    std::vector<unsigned char> region(std::size_t(4096) * bootregionsectors);
    // The main region's own sector size, else each size the backup may have.
    auto readregion = [&](std::uint64_t position, std::uint32_t sectorbytes) {
        const std::uint32_t bytes = sectorbytes * bootregionsectors;
        if (sourcebytes != 0 && (position > sourcebytes || sourcebytes - position < bytes))
            return false;
        return platform::readat(handle, position, bytes, region.data());
    };
    // The main region, then the backup, first with their checksums, then,
    // as a copy whose checksum sector alone went bad is still a sound
    // layout, without.
    QString mainreason = QStringLiteral("the boot sector cannot be read");
    for (const bool checksum : {true, false}) {
        if (platform::readat(handle, 0, 512, region.data())) {
            const std::uint32_t sectorbytes =
                shiftsvalid(region.data()) ? 1u << region[bootfield::sectorshift] : 512;
            const QString why = readregion(0, sectorbytes) ? parseregion(region.data(), region.size(), out, checksum)
                                                           : QStringLiteral("the boot region cannot be read");
            if (why.isEmpty()) {
                out->checksumfailed = !checksum;
                return QString();
            }
            if (checksum)
                mainreason = why;
        }
        for (std::uint32_t shift = 9; shift <= 12; ++shift) {
            const std::uint32_t sectorbytes = 1u << shift;
            if (!readregion(std::uint64_t(sectorbytes) * bootregionsectors, sectorbytes) ||
                region[bootfield::sectorshift] != shift)
                continue;
            if (parseregion(region.data(), region.size(), out, checksum).isEmpty()) {
                out->frombackup = true;
                out->checksumfailed = !checksum;
                return QString();
            }
        }
    }
    return mainreason + QStringLiteral(", and the backup boot region cannot stand in for it");
}

}  // namespace exfat
