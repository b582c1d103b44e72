// Directory clusters found among raw clusters: which clusters parse as
// directory slots, and the names that directory entries give.
#pragma once

#include <QString>
#include <cstdint>

namespace deep {

// The layout facts a slot test needs.
struct SLOTRULES {
    bool fat32 = true;
    std::uint64_t fatentries = 0;  // start clusters must lie below this
};

// The count of slots up to the last used one when the cluster (size bytes,
// a multiple of 32) parses as a directory cluster: its first slot is used,
// every used slot is a valid short or long-name slot, and everything after
// the first empty slot is zero. 0 otherwise (all-zero clusters included).
// A valid short slot has a name of legal bytes, real dates and times, no
// reserved attribute bit, nothing in byte 12 but the lower-case flags, a
// start cluster below fatentries, and, as a file, a size that fits in
// fatentries - 2 clusters of size bytes and a start of 2 or more when the
// size is not 0 (on FAT32 a deleted entry without its high word may keep
// any low word); a label (attribute 0x08 alone) and a directory have size
// 0, a label start 0.
std::uint32_t directoryslots(const unsigned char* cluster, std::uint64_t size, const SLOTRULES& rules);

// True for the "." (dots 1) or ".." (dots 2) entry.
bool dotentry(const unsigned char* slot, int dots);

// Start cluster of a short entry (the high word only on FAT32).
std::uint32_t entrystart(const unsigned char* slot, bool fat32);

// The name the short entry at table[index] gives the directory it points
// at: its long name when the long-name slots right before it match it by
// checksum (for an erased entry, with the first byte the long name
// supplies), else its short name with an erased first byte as 'k'. Made
// safe like a recovered file name; "." and ".." and empty names come back
// empty.
QString directoryname(const unsigned char* table, std::uint32_t index);

// A directory name from the volume made safe for the output directory:
// bytes that cannot stand in a file name become '_', control characters
// their pictures (visiblecontrol); "", "." and "..",
// and names longer than the output file system takes, come back empty.
QString safedirectoryname(const QString& name);

}  // namespace deep
