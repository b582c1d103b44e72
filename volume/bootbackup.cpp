// Falling back on the FAT32 backup boot sector.
#include "volume/bootbackup.h"

#include "model/kovcore.h"
#include "model/littleendian.h"
#include "volume/bootsector.h"

#include <algorithm>

namespace {

// Where the reserved sectors may hold a backup: the first 64 KiB, enough
// for sector 6 at every sector size and for the usual reserved areas.
constexpr std::uint32_t backupwindow = 64 << 10;

}  // namespace

bool readbootsector(platform::volhandle handle, std::uint32_t sectorbytes, BOOTSECTOR* out,
                    std::uint32_t (*classify)(const unsigned char* sector))
{
    out->bytes.assign(std::max<std::uint32_t>(sectorbytes, 512), 0);
    out->sector = 0;
    if (!KOVCore::readasector(handle, sectorbytes, 0, out->bytes.data()))
        return false;
    out->fstype = classify(out->bytes.data());
    if (out->fstype != 3 || sectorbytes == 0 || sectorbytes > backupwindow)
        return true;
    // Read the window whole when the source holds it, else sector by
    // sector as far as it goes.
    std::vector<unsigned char> window(backupwindow, 0);
    std::uint32_t have = backupwindow;
    if (!platform::readat(handle, 0, backupwindow, window.data())) {
        have = 0;
        while (have + sectorbytes <= backupwindow && platform::readat(handle, have, sectorbytes, window.data() + have))
            have += sectorbytes;
    }
    for (std::uint32_t at = 512; at + 512 <= have; at += 512) {
        const unsigned char* s = window.data() + at;
        if (classify(s) != 1)
            continue;
        const std::uint64_t own = le16(s + bootfield::backupsector);
        if (own == 0 || own * le16(s + bootfield::bytespersector) != at)
            continue;
        std::fill(out->bytes.begin(), out->bytes.end(), 0);
        std::copy_n(s, std::min<std::size_t>(out->bytes.size(), have - at), out->bytes.begin());
        out->fstype = 1;
        out->sector = own;
        return true;
    }
    return true;
}

QString backupnote(std::uint64_t sector)
{
    return QStringLiteral("sector 0 is not a FAT boot sector: using the FAT32 backup boot sector at sector %1").arg(sector);
}
