// A glance at the free clusters for what the deep scan would find: a plain
// run on a quick-formatted card sees a FAT with almost no chains, while
// the old folders still lie in the data area. A sample, not a scan.
#pragma once

#include <cstdint>

class KOVCore;

namespace deep {

struct DIRSAMPLE {
    std::uint64_t clusters = 0;  // data clusters of the volume
    std::uint64_t inuse = 0;     // of them, marked in the bitmap
    std::uint64_t read = 0;      // free clusters read for the sample
    std::uint64_t folders = 0;   // of them, the first cluster of a folder
    // Almost no chains (at most 1 cluster in 50 in use) over free clusters
    // that hold folders: what a quick format leaves.
    bool formatted() const { return folders != 0 && inuse * 50 <= clusters; }
};

// The bitmap's count of the core's laid-out volume (after the collecting
// walk), and, only when at most 1 cluster in 50 is in use, the free
// clusters among the first samplehead of the data area (where a card's
// folders are made first) and samplespread more spread evenly over the
// rest, each read once and taken for a folder's first cluster when it
// opens with its "." and ".." entries and parses as directory slots.
DIRSAMPLE sampledirectories(const KOVCore& core);

constexpr std::uint64_t samplehead = 64;
constexpr std::uint64_t samplespread = 64;

}  // namespace deep
