// The 32-byte short directory entry, read by byte offset.
#pragma once

#include "model/littleendian.h"

#include <cstdint>

namespace dirfield {
constexpr int name = 0;           // 8 bytes, space padded; byte 0 marks the slot
constexpr int ext = 8;            // 3 bytes
constexpr int attr = 11;          // 0x10 directory; exactly 0x0F long-name slot
constexpr int crttimetenth = 13;  // 10 ms units
constexpr int crttime = 14;
constexpr int crtdate = 16;
constexpr int fstclushi = 20;     // FAT32 only
constexpr int wrttime = 22;
constexpr int wrtdate = 24;
constexpr int fstcluslo = 26;
constexpr int filesize = 28;
}  // namespace dirfield

constexpr unsigned char slotempty = 0x00;
constexpr unsigned char slotdeleted = 0xE5;
constexpr unsigned char attrdirectory = 0x10;
constexpr unsigned char attrlongname = 0x0F;

struct DIRENTRYBYTES {
    unsigned char bytes[32];
    std::uint16_t word(int offset) const { return le16(bytes + offset); }
    std::uint32_t dword(int offset) const { return le32(bytes + offset); }
};
// The two volume kinds share the layout; separate types keep the two
// name overloads apart.
struct FAT32DIRENTRY : DIRENTRYBYTES {};
struct FAT16DIRENTRY : DIRENTRYBYTES {};
