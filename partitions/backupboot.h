// The FAT32 backup boot sector in a source's reserved sectors (normally
// sector 6), for a source whose sector 0 is not a boot sector. Here, below
// the volume code, so that a partition of a card is judged by it as a bare
// volume is laid out from it.
#pragma once

#include "partitions/partitiontable.h"

#include <cstdint>
#include <vector>

namespace partitions {

// Where the reserved sectors may hold a backup: the first 64 KiB, enough
// for sector 6 at every sector size and for the usual reserved areas.
constexpr std::uint32_t backupwindow = 64 << 10;

// The first 512-byte position in the source's first backupwindow bytes
// whose sector classify calls FAT32 and whose backup field names that very
// position (in its own sector size): its sector number, its bytes in *out
// (as many as out holds, zero past what the source has). 0, and out
// untouched, when there is none or sectorbytes is 0 or above the window.
std::uint64_t findbackupboot(platform::volhandle handle, std::uint32_t sectorbytes, CLASSIFIER classify,
                             std::vector<unsigned char>* out);

}  // namespace partitions
