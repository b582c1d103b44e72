// Falling back on the FAT32 backup boot sector.
#include "volume/bootbackup.h"

#include "model/kovcore.h"
#include "partitions/backupboot.h"

#include <algorithm>

bool readbootsector(platform::volhandle handle, std::uint32_t sectorbytes, BOOTSECTOR* out)
{
    out->bytes.assign(std::max<std::uint32_t>(sectorbytes, 512), 0);
    out->sector = 0;
    if (!KOVCore::readasector(handle, sectorbytes, 0, out->bytes.data()))
        return false;
    out->fstype = KOVCore::classifydbr(out->bytes.data());
    if (out->fstype != 3)
        return true;
    std::vector<unsigned char> backup(out->bytes.size(), 0);
    if (const std::uint64_t own = partitions::findbackupboot(handle, sectorbytes, KOVCore::classifydbr, &backup)) {
        out->bytes = std::move(backup);
        out->fstype = 1;
        out->sector = own;
    }
    return true;
}

QString backupnote(std::uint64_t sector)
{
    return QStringLiteral("sector 0 is not a FAT boot sector: using the FAT32 backup boot sector at sector %1").arg(sector);
}
