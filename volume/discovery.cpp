// Finding the FAT12, FAT16, FAT32 and exFAT sources and reading their boot sectors.
#include "model/kovcore.h"
#include "partitions/partitiontable.h"
#include "volume/bootbackup.h"

#include <algorithm>

#include <QByteArray>
#include <new>

int KOVCore::getallvol()
{
    int count = 0;
    // Whole-card images and unsplit disks become the FAT volumes inside
    // their partition tables before the letters are given out. What a
    // damaged table made us skip shows in the list by its absence.
    QStringList skipped;
    const QList<platform::VolumeSource> sources =
        platform::assignletters(partitions::expandsources(platform::rawsources(), classifydbr, &skipped));
    for (const platform::VolumeSource& source : sources) {
        const QByteArray root = source.root.toLatin1();
        if (root.startsWith('A') || root.startsWith('a'))
            continue;  // never probed
        // A device reached through udisks2 is opened only when used: its
        // type is what udisks2 found.
        std::uint64_t backup = 0;
        const int type =
            source.udisksobject.isEmpty() ? partitiontype(root.constData(), &backup) : source.udiskstype;
        if (partitions::recoverabletype(std::uint32_t(type))) {
            platform::VolumeSource shown = source;
            shown.kind = fstypename(std::uint32_t(type));
            if (backup != 0)
                shown.note = backupnote(backup);
            addvolumeitem(shown);
            ++count;
        }
    }
    return count;
}

int KOVCore::partitiontype(const char* root, std::uint64_t* backupsector)
{
    unsigned char* buffer = nullptr;
    if (readdbr(root, buffer, backupsector) != 0)
        return 3;
    const int type = int(classifydbr(buffer));
    delete[] buffer;
    return type;
}

int KOVCore::readdbr(const char* root, unsigned char*& buffer, std::uint64_t* backupsector)
{
    buffer = nullptr;
    if (backupsector)
        *backupsector = 0;
    const platform::volhandle handle = platform::opensource(QChar::fromLatin1(root[0]));
    if (handle == platform::invalidhandle())
        return 1;
    std::uint32_t sectorbytes = 0;
    if (!platform::sectorsize(handle, &sectorbytes)) {
        platform::closesource(handle);
        return 2;
    }
    geometry.BytesPerSector = sectorbytes;
    // The classifier reads up to byte 86 of the buffer, whatever the device
    // reports as its sector size.
    BOOTSECTOR boot;
    buffer = new (std::nothrow) unsigned char[std::max<std::uint32_t>(sectorbytes, 512)]();
    if (!buffer || !readbootsector(handle, sectorbytes, &boot)) {
        delete[] buffer;
        buffer = nullptr;
        platform::closesource(handle);
        return 3;
    }
    std::copy(boot.bytes.begin(), boot.bytes.end(), buffer);
    if (backupsector)
        *backupsector = boot.sector;
    platform::closesource(handle);
    return 0;
}
