// The camera formats' checks on real cameras' files (tests/data/camera:
// cut-down samples with the structure the cameras wrote) and on full-size
// files of the same structure: what verifies, what one changed byte of a
// structure does, and where carving ends each.
#include "support/formatfiles.h"
#include "support/mtoolsimage.h"
#include "support/rawfile.h"
#include "support/skip.h"

#include "verify/verify.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace testsupport;
using verify::verdict;

namespace {

QByteArray sample(const char* name)
{
    QFile f(QFileInfo(QStringLiteral(__FILE__)).dir().filePath(QStringLiteral("data/camera/") + QLatin1String(name)));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

verify::bytes view(const QByteArray& b) { return {reinterpret_cast<const unsigned char*>(b.constData()), std::size_t(b.size())}; }

verdict verdictof(const QByteArray& data, const QString& name) { return verify::verdictof(view(data), name); }

struct SAMPLECASE {
    const char* name;
    verify::family f;
    verdict v;
    const char* why;  // what a sample that is not whole lacks
};

void PrintTo(const SAMPLECASE& c, std::ostream* os) { *os << c.name; }

class CameraSample : public ::testing::TestWithParam<SAMPLECASE> {};

TEST_P(CameraSample, VerdictFollowsWhatTheCutDownSampleStillHolds)
{
    const QByteArray data = sample(GetParam().name);
    ASSERT_FALSE(data.isEmpty()) << GetParam().name;
    // Known by their first bytes, whatever the name.
    EXPECT_EQ(verify::identify(view(data), QStringLiteral("x.bin")), GetParam().f);
    EXPECT_EQ(verdictof(data, QString::fromLatin1(GetParam().name)), GetParam().v) << GetParam().why;
}

INSTANTIATE_TEST_SUITE_P(
    Samples, CameraSample,
    ::testing::Values(
        SAMPLECASE{"ExifTool.tif", verify::family::tiff, verdict::verified, ""},
        SAMPLECASE{"PhaseOne.iiq", verify::family::tiff, verdict::verified, ""},
        SAMPLECASE{"FujiFilm.raf", verify::family::raf, verdict::verified, ""},
        SAMPLECASE{"CanonRaw.cr3", verify::family::mp4, verdict::verified, ""},
        SAMPLECASE{"M2TS.mts", verify::family::ts, verdict::verified, ""},
        SAMPLECASE{"CanonRaw.cr2", verify::family::tiff, verdict::damaged, "IFD0's JPEG preview is 26 bytes of text"},
        SAMPLECASE{"Nikon.nef", verify::family::tiff, verdict::damaged, "the SubIFD's JPEG preview is text"},
        SAMPLECASE{"DNG.dng", verify::family::tiff, verdict::damaged, "the YCbCr JPEG previews are text"},
        SAMPLECASE{"Panasonic.rw2", verify::family::tiff, verdict::damaged,
                   "the raw strip is named 20 MB long, 22 bytes are left"},
        SAMPLECASE{"CanonRaw.crw", verify::family::crw, verdict::damaged, "the root's JPEG is 29 bytes of text"}));

// Where a little- or big-endian TIFF's IFD0 lies, and the value field of
// one of its tags.
struct IFD0 {
    const QByteArray& d;
    bool big() const { return d[0] == 'M'; }
    quint32 u(qsizetype at, int n) const
    {
        quint32 v = 0;
        for (int i = 0; i < n; ++i)
            v |= quint32(quint8(d[at + (big() ? n - 1 - i : i)])) << (8 * i);
        return v;
    }
    qsizetype at() const { return qsizetype(u(4, 4)); }
    qsizetype field(quint32 tag) const
    {
        for (quint32 i = 0; i < u(at(), 2); ++i)
            if (u(at() + 2 + 12 * i, 2) == tag)
                return at() + 2 + 12 * i + 8;
        return -1;
    }
    // The byte of the 32-bit value at field that holds its bits from 8 * shift.
    qsizetype byteof(qsizetype field, int shift) const { return field + (big() ? 3 - shift : shift); }
};

struct CHANGE {
    const char* what;
    int tag;  // 0: IFD0's entry count
    int shift;
    int delta;
    // The IIQ sample leaves bytes free around its strips: a strip moved a
    // byte into them is as sound as before.
    bool iiq = true;
};

void PrintTo(const CHANGE& c, std::ostream* os) { *os << c.what; }

// One byte of a strip offset or of the IFD count changed, in real TIFFs
// and in full-size RAW files of the cameras' structure.
class OneChangedByte : public ::testing::TestWithParam<CHANGE> {};

TEST_P(OneChangedByte, MakesTheFileDamaged)
{
    QTemporaryDir work;
    QList<QPair<QString, QByteArray>> files{{QStringLiteral("ExifTool.tif"), sample("ExifTool.tif")},
                                            {QStringLiteral("PhaseOne.iiq"), sample("PhaseOne.iiq")}};
    for (const char* kind : {"cr2", "nef", "dng"}) {
        const RAWSHOT shot = rawshot(QLatin1String(kind), work.path(), 3, 1u << 20);
        if (shot.raw.isNull())
            KOV_SKIP() << "cannot make a " << kind << " file: " << lasterror();
        files.append({QStringLiteral("shot.") + QLatin1String(kind), shot.raw});
    }
    for (const auto& [name, whole] : files) {
        if (!GetParam().iiq && name.endsWith(QLatin1String(".iiq")))
            continue;
        ASSERT_FALSE(whole.isEmpty()) << name.toStdString();
        ASSERT_EQ(verdictof(whole, name), verdict::verified) << name.toStdString();
        QByteArray changed = whole;
        const IFD0 ifd{changed};
        const CHANGE c = GetParam();
        const qsizetype at = c.tag == 0 ? (ifd.big() ? ifd.at() + 1 : ifd.at()) : ifd.byteof(ifd.field(quint32(c.tag)), c.shift);
        ASSERT_GT(at, 0) << name.toStdString();
        changed[at] = char(quint8(changed[at]) + c.delta);
        EXPECT_EQ(verdictof(changed, name), verdict::damaged) << name.toStdString() << ": " << c.what;
    }
}

INSTANTIATE_TEST_SUITE_P(Structure, OneChangedByte,
                         ::testing::Values(CHANGE{"strip offset low byte +1", 273, 0, 1, false},
                                           CHANGE{"strip offset third byte +1", 273, 2, 1},
                                           CHANGE{"IFD count +1", 0, 0, 1}, CHANGE{"IFD count -1", 0, 0, -1}));

// Carving's end of each full-size kind with the clusters after it holding
// another file: exactly the file, found once the first clusters are read.
TEST(CameraExtent, EndsWhereTheRawFileEnds)
{
    QTemporaryDir work;
    for (const char* kind : {"cr2", "nef", "dng"}) {
        const RAWSHOT shot = rawshot(QLatin1String(kind), work.path(), 5, 3u << 20);
        if (shot.raw.isNull())
            KOV_SKIP() << "cannot make a " << kind << " file: " << lasterror();
        EXPECT_EQ(verify::tiffkind(view(shot.raw)), kind);
        const QByteArray card = shot.raw + shot.jpeg + QByteArray(1 << 16, '\xA5');
        const verify::EXTENT first = verify::extent(verify::family::tiff, view(card.left(16384)), 4096);
        EXPECT_GE(first.want, std::size_t(shot.raw.size())) << kind;
        const verify::EXTENT whole = verify::extent(verify::family::tiff, view(card), 4096);
        EXPECT_EQ(whole.v, verdict::verified) << kind;
        EXPECT_EQ(whole.end, std::size_t(shot.raw.size())) << kind;
        EXPECT_EQ(verdictof(shot.jpeg, QStringLiteral("shot.jpg")), verdict::verified);
        // A stream whose next cluster (512 bytes on) begins as a photo: the
        // packet across the boundary is the photo's, the stream ends before it.
        const QByteArray cut = sample("M2TS.mts").left(512) + shot.jpeg;
        const verify::EXTENT stream = verify::extent(verify::family::ts, view(cut), 512);
        EXPECT_EQ(stream.v, verdict::verified);
        EXPECT_EQ(stream.end, 2u * 192u);
    }
    for (const char* name : {"FujiFilm.raf", "M2TS.mts"}) {
        const QByteArray s = sample(name);
        ASSERT_FALSE(s.isEmpty()) << name;
        const QByteArray card = s + QByteArray(4096, '\0');
        const verify::family f = verify::identify(view(s), QString::fromLatin1(name));
        EXPECT_EQ(verify::extent(f, view(card), 512).end, std::size_t(s.size())) << name;
    }
}

// Changed bytes of the other camera formats' structures.
TEST(CameraDamage, RafCrwAndStreamStructures)
{
    QByteArray raf = sample("FujiFilm.raf");
    ASSERT_FALSE(raf.isEmpty());
    raf[90] = char(raf[90] + 1);  // the JPEG's length runs into the metadata
    EXPECT_EQ(verdictof(raf, QStringLiteral("x.raf")), verdict::damaged);
    QByteArray stream = sample("M2TS.mts");
    stream[3 * 192 + 4] = 0x46;  // a sync byte
    EXPECT_EQ(verdictof(stream, QStringLiteral("x.mts")), verdict::damaged);
    EXPECT_EQ(verdictof(sample("M2TS.mts").chopped(1), QStringLiteral("x.mts")), verdict::damaged);
}

}  // namespace
