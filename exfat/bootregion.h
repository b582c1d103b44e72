// The exFAT boot region: the main one at sector 0, its backup at sector 12,
// each of twelve sectors whose last holds the checksum of the eleven before.
#pragma once

#include "model/diskparm.h"
#include "platform/volumesource.h"

#include <QString>
#include <cstdint>

namespace exfat {

// Byte offsets of the boot-sector fields read.
namespace bootfield {
constexpr int name = 3;              // "EXFAT   ", 8 bytes
constexpr int mustbezero = 11;       // 53 zero bytes up to 63
constexpr int volumelength = 72;     // 64 bits, sectors
constexpr int fatoffset = 80;        // 32 bits, sectors
constexpr int fatlength = 84;        // 32 bits, sectors
constexpr int heapoffset = 88;       // 32 bits, sectors
constexpr int clustercount = 92;     // 32 bits
constexpr int rootcluster = 96;      // 32 bits
constexpr int serial = 100;          // 32 bits
constexpr int volumeflags = 106;     // 16 bits, left out of the checksum
constexpr int sectorshift = 108;     // 8 bits, 9..12
constexpr int clustershift = 109;    // 8 bits, sector shift + this <= 25
constexpr int fatcount = 110;        // 8 bits, 1 or 2
constexpr int percentinuse = 112;    // 8 bits, left out of the checksum
}  // namespace bootfield

// Sectors of one boot region; the backup region follows the main one.
constexpr unsigned bootregionsectors = 12;

// The layout of an exFAT volume as its boot sector gives it.
struct EXFATLAYOUT {
    std::uint8_t sectorshift = 9;
    std::uint8_t clustershift = 0;
    std::uint8_t fatcount = 1;
    std::uint64_t volumelength = 0;  // sectors
    std::uint32_t fatoffset = 0;     // sectors
    std::uint32_t fatlength = 0;     // sectors
    std::uint32_t heapoffset = 0;    // sectors
    std::uint32_t clustercount = 0;  // clusters 2 .. clustercount + 1
    std::uint32_t rootcluster = 0;
    std::uint32_t serial = 0;
    std::uint16_t volumeflags = 0;
    bool frombackup = false;  // the main region failed and the backup was used
    bool checksumfailed = false;  // both regions fail their checksum; this one's fields hold

    std::uint32_t sectorbytes() const { return 1u << sectorshift; }
    std::uint64_t clusterbytes() const { return std::uint64_t(1) << (sectorshift + clustershift); }
    // Clusters are read like FAT's data area: lcn = cluster - 2 from the
    // heap's first sector.
    DISKPARM disk(platform::volhandle handle) const;
};

// The checksum of a boot region's first eleven sectors (sectorbytes each),
// VolumeFlags and PercentInUse left out.
std::uint32_t bootchecksum(const unsigned char* region, std::uint32_t sectorbytes);

// The layout from one boot region read whole (12 sectors of the size its
// sector 0 gives, at most 12 * 4096 bytes of room): empty reason when the
// name, the fields and (with checksum) the checksum sector hold, else why
// not.
QString parseregion(const unsigned char* region, std::uint64_t regionbytes, EXFATLAYOUT* out, bool checksum = true);

// Reads the boot region of the volume behind handle (sourcebytes long, 0
// when unknown), falling back on the backup region when the main one
// fails, and when both fail their checksum alone, on the fields of the
// main one (else the backup's) that hold. Empty reason on success; else
// why neither region can be used.
QString readbootregion(platform::volhandle handle, std::uint64_t sourcebytes, EXFATLAYOUT* out);

}  // namespace exfat
