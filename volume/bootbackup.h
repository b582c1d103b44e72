// The boot sector a FAT volume is laid out from: sector 0, or, when sector 0
// is not a FAT boot sector, the FAT32 backup copy in the reserved sectors.
#pragma once

#include "platform/volumesource.h"

#include <QString>
#include <cstdint>
#include <vector>

struct BOOTSECTOR {
    std::vector<unsigned char> bytes;  // at least 512 bytes when read
    std::uint32_t fstype = 3;          // as KOVCore::classifydbr
    // The sector the bytes come from, in the backup's own sector size; 0
    // for sector 0.
    std::uint64_t sector = 0;
    bool unread = false;  // sector 0 could not be read
    bool backup() const { return sector != 0; }
};

// Reads the volume's boot sector through handle (sectorbytes: the source's
// sector size). Sector 0 is taken as it is unless it is neither a FAT, NTFS
// nor exFAT boot sector; then the first sector of the first 64 KiB that the
// same classifier calls FAT32 and whose backup field names its own position
// (normally sector 6) stands in for it, as it does for a sector 0 that
// cannot be read. False when sector 0 cannot be read and no backup stands in.
bool readbootsector(platform::volhandle handle, std::uint32_t sectorbytes, BOOTSECTOR* out);

// The note a front end shows for a boot sector taken from the backup at
// sector (unread: sector 0 could not be read).
QString backupnote(std::uint64_t sector, bool unread = false);
