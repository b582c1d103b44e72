// kov_rawshot KIND SEED RAWBYTES RAW JPG: writes a full-size RAW file of
// KIND (cr2, nef, dng) with the structure cameras write and the camera's
// JPEG of the same shot (tests/support/rawfile.h), for bench/camera-card.py.
#include "support/mtoolsimage.h"
#include "support/rawfile.h"

#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 6) {
        std::fprintf(stderr, "usage: kov_rawshot KIND SEED RAWBYTES RAW JPG\n");
        return 2;
    }
    QTemporaryDir work;
    const testsupport::RAWSHOT shot = testsupport::rawshot(QString::fromLocal8Bit(argv[1]), work.path(), std::atoi(argv[2]),
                                                           std::uint32_t(std::strtoul(argv[3], nullptr, 10)));
    if (shot.raw.isNull()) {
        std::fprintf(stderr, "kov_rawshot: %s\n", testsupport::lasterror().c_str());
        return 1;
    }
    QFile raw(QString::fromLocal8Bit(argv[4]));
    QFile jpg(QString::fromLocal8Bit(argv[5]));
    return raw.open(QIODevice::WriteOnly) && raw.write(shot.raw) == shot.raw.size() && jpg.open(QIODevice::WriteOnly) &&
                   jpg.write(shot.jpeg) == shot.jpeg.size()
               ? 0
               : 1;
}
