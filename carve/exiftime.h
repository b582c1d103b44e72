// The moment a photo was taken, from its EXIF data.
#pragma once

#include "verify/verify.h"

#include <cstdint>
#include <optional>

namespace carve {

// DateTimeOriginal (the EXIF sub-IFD's tag 0x9003, "YYYY:MM:DD HH:MM:SS",
// local time) of a JPEG's APP1 Exif segment, as a FAT last-write stamp
// (date << 32 | time, two-second steps); none when the photo has none, or
// one outside FAT's years 1980 to 2107. *oddsecond, when given, tells
// the second the two-second step leaves out.
std::optional<std::uint64_t> exiftakentime(verify::bytes jpeg, bool* oddsecond = nullptr);

}  // namespace carve
