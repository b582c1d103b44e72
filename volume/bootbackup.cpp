// Falling back on the FAT32 backup boot sector.
#include "volume/bootbackup.h"

#include "model/kovcore.h"
#include "partitions/backupboot.h"

#include <algorithm>

bool readbootsector(platform::volhandle handle, std::uint32_t sectorbytes, BOOTSECTOR* out)
{
    out->bytes.assign(std::max<std::uint32_t>(sectorbytes, 512), 0);
    out->sector = 0;
    out->unread = !KOVCore::readasector(handle, sectorbytes, 0, out->bytes.data());
    out->fstype = out->unread ? 3 : KOVCore::classifydbr(out->bytes.data());
    if (out->fstype != 3)
        return true;
    // A failing card's sector 0 may be the one that cannot be read: FAT32
    // keeps a copy for that.
    std::vector<unsigned char> backup(out->bytes.size(), 0);
    if (const std::uint64_t own = partitions::findbackupboot(handle, sectorbytes, KOVCore::classifydbr, &backup)) {
        out->bytes = std::move(backup);
        out->fstype = 1;
        out->sector = own;
    }
    return !out->unread || out->backup();
}

QString backupnote(std::uint64_t sector, bool unread)
{
    return QStringLiteral("sector 0 %1: using the FAT32 backup boot sector at sector %2")
        .arg(unread ? QStringLiteral("cannot be read") : QStringLiteral("is not a FAT boot sector"))
        .arg(sector);
}
