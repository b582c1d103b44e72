// Small value types shared by the volume, FAT and file layers.
#pragma once

#include "platform/volumesource.h"

#include <cstdint>
#include <vector>

// One extent of a file: clusters lcn .. lcn+length-1 of the data area
// (lcn = FAT cluster number - 2) hold file clusters vcn .. vcn+length-1.
struct DATARUN {
    std::uint64_t lcn = 0;
    std::uint64_t length = 0;
    std::uint64_t vcn = 0;
    bool operator==(const DATARUN&) const = default;
};

// Adds cluster lcn as the next file cluster of runs: the last run grows
// when lcn follows it, else a run begins.
inline void appendcluster(std::vector<DATARUN>& runs, std::uint64_t lcn)
{
    if (!runs.empty() && runs.back().lcn + runs.back().length == lcn) {
        ++runs.back().length;
        return;
    }
    const std::uint64_t vcn = runs.empty() ? 0 : runs.back().vcn + runs.back().length;
    runs.push_back({lcn, 1, vcn});
}

// What a content reader needs to reach the volume; always passed by value.
struct DISKPARM {
    platform::volhandle hdisk = nullptr;
    std::uint32_t sectorspercluster = 0;
    std::uint16_t bytespersector = 0;
    std::uint64_t firstdatasector = 0;
    std::uint64_t fatstartsector = 0;

    // Cluster size in bytes (0 when the layout is unset).
    std::uint64_t clustersize() const { return std::uint64_t(sectorspercluster) * bytespersector; }
    // Byte position of data-area cluster lcn.
    std::uint64_t clusterposition(std::uint64_t lcn) const
    {
        return lcn * clustersize() + firstdatasector * bytespersector;
    }
};

// The parsed boot sector. fstype: 0 NTFS, 1 FAT32, 2 FAT16, 3 anything else,
// 4 exFAT (laid out by exfat/, never by the FAT engine), 5 FAT12.
struct DBRPARM {
    std::uint16_t bytespersector = 0;
    std::uint32_t sectorspercluster = 0;
    std::uint64_t totalsectors = 0;
    std::uint16_t reservedsectors = 0;
    std::uint8_t fatcount = 0;
    std::uint32_t sectorsperfat = 0;
    std::uint32_t rootcluster = 0;
    std::uint16_t rootentries = 0;
    std::uint8_t media = 0;  // also the low byte of a sound FAT's entry 0
    std::uint32_t fstype = 3;

    // FAT12 and FAT16 keep their root in a fixed area before the data.
    bool fixedroot() const { return fstype == 2 || fstype == 5; }
    bool fatvolume() const { return fstype == 1 || fixedroot(); }
};

// The part of the platform's drive geometry that is used: the sector size
// of the boot-sector read.
struct DISKGEOMETRY {
    std::uint32_t BytesPerSector = 0;
};
