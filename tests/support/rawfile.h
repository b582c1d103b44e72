// Camera RAW files of full size with the structure cameras write, and the
// JPEG the camera wrote of the same shot: for carving tests and the
// photographer's card bench. The previews are real JPEGs (ImageMagick),
// the raw strip is noise.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>

namespace testsupport {

struct RAWSHOT {
    QByteArray raw;   // the RAW file
    QByteArray jpeg;  // the camera's JPEG: an Exif segment with the same time and serial
};

// kind "cr2": "II*" + "CR" at byte 8, IFD0 a JPEG preview strip, IFD1 a
// JPEG thumbnail, IFD3 the raw strip; "nef": IFD0 an RGB thumbnail strip
// and SubIFDs for a JPEG preview and the raw strip; "dng" (big-endian):
// IFD0 with DNGVersion and an RGB thumbnail, SubIFDs for the raw strip and
// a JPEG-compressed YCbCr preview. Each has an EXIF IFD with
// DateTimeOriginal (2021-05-01 10:00:00 plus seed * 3 seconds) and
// BodySerialNumber, and ends with its raw strip of rawbytes. Made in
// workdir; a null RAW when ImageMagick fails (lasterror()).
RAWSHOT rawshot(const QString& kind, const QString& workdir, int seed, std::uint32_t rawbytes);

}  // namespace testsupport
