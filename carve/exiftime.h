// The moment a photo was taken, from its EXIF data.
#pragma once

#include "verify/verify.h"

#include <QByteArray>
#include <cstdint>
#include <optional>

namespace carve {

// DateTimeOriginal (the EXIF sub-IFD's tag 0x9003, "YYYY:MM:DD HH:MM:SS",
// local time) of a JPEG's APP1 Exif segment, as a FAT last-write stamp
// (date << 32 | time, two-second steps); none when the photo has none, or
// one outside FAT's years 1980 to 2107. *oddsecond, when given, tells
// the second the two-second step leaves out.
std::optional<std::uint64_t> exiftakentime(verify::bytes jpeg, bool* oddsecond = nullptr);

// A photo's EXIF time and what tells its camera, from a carved file of
// family f: a JPEG's Exif segment, a TIFF-structured RAW's own IFDs, a
// RAF's embedded JPEG, a CR3's metadata boxes.
struct PHOTOTIME {
    std::uint64_t stamp = 0;  // as exiftakentime's
    bool oddsecond = false;
    // DateTimeOriginal, SubSecTimeOriginal and the camera: its
    // BodySerialNumber, else Make and Model. A RAW and a JPEG the camera
    // wrote of one shot have the same key.
    QByteArray key;
};
std::optional<PHOTOTIME> phototime(verify::family f, verify::bytes file);

}  // namespace carve
