// Byte offsets of the boot-sector fields the engine reads.
#pragma once

namespace bootfield {
constexpr int ntfssignature = 3;      // "NTFS", 4 bytes
constexpr int bytespersector = 11;    // 16 bits
constexpr int sectorspercluster = 13; // 8 bits
constexpr int reservedsectors = 14;   // 16 bits
constexpr int fatcount = 16;          // 8 bits
constexpr int rootentries = 17;       // 16 bits, FAT16
constexpr int totalsectors16 = 19;    // 16 bits
constexpr int sectorsperfat16 = 22;   // 16 bits
constexpr int totalsectors32 = 32;    // 32 bits
constexpr int sectorsperfat32 = 36;   // 32 bits
constexpr int rootcluster = 44;       // 32 bits, FAT32
constexpr int backupsector = 50;      // 16 bits, FAT32: where the backup boot sector lies
constexpr int media = 21;             // 8 bits, also the low byte of FAT entry 0
constexpr int fat16label = 54;        // "FAT16"
constexpr int fat32label = 82;        // "FAT32"
constexpr int exfatname = 3;          // "EXFAT   ", 8 bytes
constexpr int exfatsectorshift = 108; // 8 bits, 9..12
constexpr int exfatclustershift = 109;// 8 bits, sector shift + this <= 25
}  // namespace bootfield

// The smallest boot-sector buffer the parser may be given.
constexpr unsigned minbootsector = 90;
