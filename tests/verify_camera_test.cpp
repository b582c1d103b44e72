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

namespace {

// v in n little-endian bytes.
QByteArray le(quint32 v, int n)
{
    QByteArray b;
    for (int i = 0; i < n; ++i)
        b += char(v >> (8 * i) & 0xFF);
    return b;
}

// A CRW whose root heap holds a real JPEG (with two bytes of padding), a
// raw data block and a directory that names the JPEG, by offset and
// length, once per entry of lengths.
QByteArray crwnaming(const QByteArray& jpeg, const QList<quint32>& lengths)
{
    QByteArray heap = jpeg + QByteArray(2 + jpeg.size() % 2, '\0');
    const quint32 raw = quint32(heap.size());
    heap += QByteArray(1000, '\x11');
    const quint32 directory = quint32(heap.size());
    heap += le(quint32(lengths.size() + 1), 2) + le(0x2005, 2) + le(1000, 4) + le(raw, 4);
    for (const quint32 length : lengths)
        heap += le(0x2007, 2) + le(length, 4) + le(0, 4);
    heap += le(directory, 4);
    return QByteArray("II") + le(26, 4) + QByteArray("HEAPCCDR") + le(0x10002, 4) + QByteArray(8, '\0') + heap;
}

}  // namespace

// A root that names its JPEG many times decodes it once; names that
// differ (each length another padding byte) and would decode more than
// twice the file's bytes are not decoded at all.
TEST(CameraCost, CrwJpegNamedOverAndOverIsDecodedOnce)
{
    QTemporaryDir work;
    const QByteArray jpeg = formatfile(QStringLiteral("jpg"), work.path(), 3);
    if (jpeg.isNull())
        KOV_SKIP() << "cannot make a JPEG: " << lasterror();
    const quint32 n = quint32(jpeg.size());
    EXPECT_EQ(verdictof(crwnaming(jpeg, {n}), QStringLiteral("x.crw")), verdict::verified);
    EXPECT_EQ(verdictof(crwnaming(jpeg, QList<quint32>(1000, n)), QStringLiteral("x.crw")), verdict::verified);
    EXPECT_EQ(verdictof(crwnaming(jpeg, {n, n + 1, n + 2}), QStringLiteral("x.crw")), verdict::unchecked);
}

// A camcorder's clips one after another, the first filling its last
// cluster (GStreamer's M2TS comes in 12 KiB units; the TS is cut to
// clusters): each carved stream ends where the next clip's first
// packets begin.
TEST(CameraExtent, StreamEndsWhereTheNextClipBegins)
{
    QTemporaryDir work;
    for (const bool m2ts : {true, false}) {
        const std::size_t unit = m2ts ? 12288 : 192512;  // packets and 4096-byte clusters meet
        QByteArray clips[2];
        for (int i = 0; i < 2; ++i) {
            const QString path = work.filePath(QStringLiteral("clip%1.ts").arg(i));
            if (!runtool(QStringLiteral("gst-launch-1.0"),
                         {QStringLiteral("-q"), QStringLiteral("audiotestsrc"), QStringLiteral("num-buffers=%1").arg(1500 + 300 * i),
                          QStringLiteral("!"), QStringLiteral("lamemp3enc"), QStringLiteral("!"), QStringLiteral("mpegaudioparse"),
                          QStringLiteral("!"), QStringLiteral("mpegtsmux"), QStringLiteral("m2ts-mode=%1").arg(m2ts),
                          QStringLiteral("!"), QStringLiteral("filesink"), QStringLiteral("location=") + path}))
                KOV_SKIP() << "cannot make a transport stream: " << lasterror();
            clips[i] = contents(path);
        }
        const QByteArray first = clips[0].left(qsizetype(std::size_t(clips[0].size()) / unit * unit));
        ASSERT_GT(first.size(), 0);
        const verify::EXTENT e = verify::extent(verify::family::ts, view(first + clips[1]), 4096);
        EXPECT_EQ(e.v, verdict::verified) << m2ts;
        EXPECT_EQ(e.end, std::size_t(first.size())) << m2ts;
        // One clip alone goes on to the end of the bytes there are.
        EXPECT_GT(verify::extent(verify::family::ts, view(clips[1]), 4096).want, std::size_t(clips[1].size())) << m2ts;
    }
}

namespace {

// A little-endian TIFF of a chain of ifds IFDs that all name the same
// arrays of strips (as IFDs may share arrays), each strip the same 2
// bytes at the end.
QByteArray sharedstrips(quint32 strips, int ifds)
{
    const quint32 ifdbytes = 2 + 2 * 12 + 4;
    const quint32 offsets = 8 + ifdbytes * quint32(ifds);
    const quint32 lengths = offsets + 4 * strips;
    const quint32 strip = lengths + 2 * strips;
    QByteArray t = QByteArray("II*\0", 4) + le(8, 4);
    for (int k = 0; k < ifds; ++k)
        t += le(2, 2) + le(273, 2) + le(4, 2) + le(strips, 4) + le(offsets, 4) + le(279, 2) + le(3, 2) + le(strips, 4) +
             le(lengths, 4) + le(k + 1 < ifds ? 8 + ifdbytes * quint32(k + 1) : 0, 4);
    for (quint32 i = 0; i < strips; ++i)
        t += le(strip, 4);
    for (quint32 i = 0; i < strips; ++i)
        t += le(2, 2);
    return t + "ok";
}

}  // namespace

// Strips named by every IFD of the chain are read once: the file is
// checked whatever the number of IFDs that share them.
TEST(CameraCost, SharedStripArraysAreWalkedOnce)
{
    for (const int ifds : {1, 256}) {
        const QByteArray t = sharedstrips(20000, ifds);
        EXPECT_EQ(verdictof(t, QStringLiteral("x.tif")), verdict::verified) << ifds;
        const verify::EXTENT e = verify::extent(verify::family::tiff, view(t + QByteArray(4096, '\x5A')), 4096);
        EXPECT_EQ(e.end, std::size_t(t.size())) << ifds;
    }
}
