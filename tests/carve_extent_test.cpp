// Where carving finds a real file's end when the bytes go on past it, as
// they do on a volume: the clusters after a file hold zeros, an older
// file's bytes, or the next file from the next cluster on.
#include "support/formatfiles.h"
#include "support/mtoolsimage.h"
#include "support/rawfile.h"
#include "support/skip.h"
#include "support/verdicts.h"

#include "carve/signatures.h"
#include "verify/verify.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtEndian>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstring>

using namespace testsupport;

namespace {

constexpr int cluster = 4096;

QByteArray junk(qsizetype size, quint32 seed)
{
    QByteArray out(size, Qt::Uninitialized);
    QRandomGenerator random{seed};
    for (char& c : out)
        c = char(random.generate());
    return out;
}

verify::bytes view(const QByteArray& b) { return {reinterpret_cast<const unsigned char*>(b.constData()), std::size_t(b.size())}; }

class CarveExtent : public ::testing::TestWithParam<const char*> {
protected:
    QTemporaryDir work;
    QByteArray whole;
    QByteArray next;  // another file of the kind
    verify::family kind = verify::family::none;

    void SetUp() override
    {
        whole = formatfile(QString::fromLatin1(GetParam()), work.path(), 1);
        next = formatfile(QString::fromLatin1(GetParam()), work.path(), 2);
        if (whole.isNull() || next.isNull())
            KOV_SKIP() << "cannot make a " << GetParam() << " file: " << lasterror();
        kind = carve::startfamily(view(whole.left(carve::headbytes)));
    }
    verify::EXTENT extentof(const QByteArray& bytes) const { return verify::extent(kind, view(bytes), cluster); }
};

TEST_P(CarveExtent, EndsWhereTheFileEndsWhateverFollows)
{
    ASSERT_NE(kind, verify::family::none) << "not told as a start";
    ASSERT_EQ(verify::check(kind, view(whole), cluster), verify::verdict::verified);
    const qsizetype slack = (cluster - whole.size() % cluster) % cluster;
    const QByteArray zeros(2 * cluster, '\0');
    const std::pair<const char*, QByteArray> cases[] = {
        {"zeros", whole + zeros},
        {"an older file's bytes", whole + junk(3 * cluster, 5)},
        {"slack, then the next file at the next cluster", whole + junk(slack, 6) + next + zeros},
        {"zeros, then the next file at the next cluster", whole + QByteArray(slack, '\0') + next + zeros},
    };
    for (const auto& [what, bytes] : cases) {
        const verify::EXTENT found = extentof(bytes);
        EXPECT_EQ(found.v, verify::verdict::verified) << what;
        EXPECT_EQ(found.end, std::size_t(whole.size())) << what;
    }
}

TEST_P(CarveExtent, CutShortWantsMore)
{
    const QByteArray cut = whole.left(whole.size() * 3 / 5);
    const verify::EXTENT found = extentof(cut);
    EXPECT_GT(found.want, std::size_t(cut.size()));
    EXPECT_FALSE(found.v == verify::verdict::verified && found.want == 0);
}

// A Samsung phone's trailer after the EOI: a block (its header, name and
// data), then the directory "SEFH" naming it, the directory's length and
// "SEFT". The photo ends with the trailer, wherever the window ends.
// Carving checks a photo over the bytes its extent found, taking over the
// decode the extent made: the verdict is the one a fresh check gives, and
// a recall proves nothing of other bytes.
TEST(CarveRecall, ACheckTakingOverTheExtentsDecodeGivesTheFreshVerdict)
{
    QTemporaryDir work;
    const QByteArray photo = formatfile(QStringLiteral("jpg"), work.path(), 3);
    if (photo.isNull())
        KOV_SKIP() << "cannot make a jpg file: " << lasterror();
    const QByteArray held = photo + junk(3 * cluster, 9);
    verify::RECALL recall;
    const verify::EXTENT found = verify::extent(verify::family::jpeg, view(held), cluster, &recall);
    ASSERT_EQ(found.v, verify::verdict::verified);
    ASSERT_EQ(found.end, std::size_t(photo.size()));
    EXPECT_EQ(recall.end, std::size_t(photo.size()));
    // Up to the end, and past it into foreign bytes (no padding).
    for (const std::size_t n : {found.end, found.end + 100}) {
        const verify::bytes data = view(held).first(n);
        verify::RECALL again = recall;
        EXPECT_EQ(verify::check(verify::family::jpeg, data, cluster, &again), verify::check(verify::family::jpeg, data, cluster))
            << n << " bytes";
    }
    // The photo cut off and zero-filled to its size, at another address:
    // decoded, not recalled.
    const QByteArray broken = photo.left(photo.size() * 3 / 5) + QByteArray(photo.size() * 2 / 5 + 10, '\0');
    verify::RECALL other = recall;
    const verify::verdict fresh = verify::check(verify::family::jpeg, view(broken), cluster);
    EXPECT_NE(fresh, verify::verdict::verified);
    EXPECT_EQ(verify::check(verify::family::jpeg, view(broken), cluster, &other), fresh);
}

TEST(CarveExtentSamsung, PhotoEndsAfterItsTrailer)
{
    QTemporaryDir work;
    const QByteArray photo = formatfile(QStringLiteral("jpg"), work.path(), 3);
    if (photo.isNull())
        KOV_SKIP() << "needs ImageMagick: " << lasterror();
    const auto le32 = [](quint32 v) { return QByteArray(reinterpret_cast<const char*>(&v), 4); };
    const QByteArray block = QByteArray("\0\0\x01\x0a", 4) + le32(14) + "Image_UTC_Data" + "1526564937463";
    const QByteArray directory = "SEFH" + le32(0x6a) + le32(1) + QByteArray("\0\0\x01\x0a", 4) +
                                 le32(quint32(block.size())) + le32(quint32(block.size()));
    const QByteArray whole = photo + block + directory + le32(quint32(directory.size())) + "SEFT";
    ASSERT_EQ(verify::check(verify::family::jpeg, view(whole), cluster), verify::verdict::verified);
    const qsizetype slack = (cluster - whole.size() % cluster) % cluster;
    for (const QByteArray& after : {QByteArray(2 * cluster, '\0'), junk(slack, 4) + photo}) {
        const verify::EXTENT found = verify::extent(verify::family::jpeg, view(whole + after), cluster);
        EXPECT_EQ(found.v, verify::verdict::verified);
        EXPECT_EQ(found.end, std::size_t(whole.size()));
    }
    // Carved, the trailer is not proven by the image's decode: when a cluster
    // begins in it, the photo is plausible; when it shares the image's last
    // cluster, verified.
    EXPECT_EQ(verify::carvedverdict(verify::family::jpeg, view(whole), std::uint32_t(photo.size())),
              verify::verdict::plausible);
    EXPECT_EQ(verify::carvedverdict(verify::family::jpeg, view(whole), std::uint32_t(whole.size())),
              verify::verdict::verified);
    // The window ends inside the trailer: more bytes are wanted.
    const QByteArray cut = whole.left(photo.size() + block.size());
    EXPECT_GT(verify::extent(verify::family::jpeg, view(cut), cluster).want, std::size_t(cut.size()));
}

INSTANTIATE_TEST_SUITE_P(Formats, CarveExtent,
                         ::testing::Values("jpg", "pjpg", "exifjpg", "png", "gif", "bmp", "zip", "zip64", "gz", "pdf",
                                           "wav", "mp3id3", "avi", "mov", "mp4", "doc", "heic"),
                         [](const auto& info) { return std::string(info.param); });

// The files whose structure lies anywhere in them (and transport streams),
// read on demand through small reads as a carver reads one too large to hold: the same end and
// the same verdict (check() over the bytes up to the end) as held whole,
// whatever follows them and when they are cut short.
QByteArray cameradata(const char* name)
{
    QFile f(QFileInfo(QStringLiteral(__FILE__)).dir().filePath(QStringLiteral("data/camera/") + QLatin1String(name)));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// ImageMagick's TIFF: a page of noise in strips, a second page after it.
QByteArray magicktiff(const QString& dir, int seed, const char* size)
{
    const QString out = QDir(dir).filePath(QStringLiteral("m%1.tif").arg(seed));
    const bool made = runtool(QStringLiteral("convert"),
                              {QStringLiteral("-seed"), QString::number(seed), QStringLiteral("-size"),
                               QLatin1String(size), QStringLiteral("xc:"), QStringLiteral("+noise"),
                               QStringLiteral("Random"), QStringLiteral("-depth"), QStringLiteral("8"),
                               QStringLiteral("("), QStringLiteral("-size"), QStringLiteral("300x200"),
                               QStringLiteral("plasma:fractal"), QStringLiteral(")"), QStringLiteral("-compress"),
                               QStringLiteral("none"), out});
    return made ? contents(out) : QByteArray();
}

// ImageMagick's tall TIFF pages of one row per strip: more strips than a
// walk holds before it first sorts them.
QByteArray tallstrips(const QString& dir, int seed)
{
    const QString out = QDir(dir).filePath(QStringLiteral("t%1.tif").arg(seed));
    const bool made = runtool(QStringLiteral("convert"),
                              {QStringLiteral("-seed"), QString::number(seed), QStringLiteral("-size"),
                               QStringLiteral("8x16000"), QStringLiteral("xc:"), QStringLiteral("+noise"),
                               QStringLiteral("Random"), QStringLiteral("-duplicate"), QStringLiteral("9"),
                               QStringLiteral("-depth"), QStringLiteral("8"),
                               QStringLiteral("-define"), QStringLiteral("tiff:rows-per-strip=1"),
                               QStringLiteral("-compress"), QStringLiteral("none"), out});
    return made ? contents(out) : QByteArray();
}

quint32 le32at(const QByteArray& b, qsizetype at)
{
    quint32 v = 0;
    std::memcpy(&v, b.constData() + at, 4);
    return v;
}

// Archives of the shapes a streamed check must take as the bytes held
// whole are: zip's and gzip's own, an APK's signing block between the
// entries and the central directory (the end record's offset moved past
// it), a first member that inflates to far more than 32 times its bytes
// (a log) and, alone, the same member as a bomb.
QByteArray archivefile(const QString& kind, const QString& workdir, int seed)
{
    if (kind == QLatin1String("zip") || kind == QLatin1String("gz"))
        return formatfile(kind, workdir, seed);
    const QDir dir(workdir);
    const QString log = dir.filePath(QStringLiteral("a%1.log").arg(seed));
    const QString data = dir.filePath(QStringLiteral("a%1.bin").arg(seed));
    const bool bomb = kind.endsWith(QLatin1String("bomb"));
    if ((kind.endsWith(QLatin1String("log")) || bomb) &&
        (!writefile(log, QByteArray((bomb ? 64 : 40) << 20, '\0')) || !writefile(data, junk(2 << 20, quint32(seed)))))
        return {};
    const QStringList members = bomb ? QStringList{log} : QStringList{log, data};
    if (kind.startsWith(QLatin1String("gz"))) {
        QByteArray out;
        for (const QString& m : members) {
            QByteArray member;
            if (!runtool(QStringLiteral("gzip"), {QStringLiteral("-c"), QStringLiteral("-n"), m}, &member))
                return {};
            out += member;
        }
        return out;
    }
    if (kind == QLatin1String("zipgap")) {
        QByteArray zip = formatfile(QStringLiteral("zip"), workdir, seed);
        const qsizetype end = zip.lastIndexOf(QByteArray("PK\x05\x06", 4));
        if (zip.isNull() || end < 0)
            return {};
        const quint32 directory = le32at(zip, end + 16);
        const quint64 size = 4096 - 8;
        QByteArray block = QByteArray(reinterpret_cast<const char*>(&size), 8) + junk(4096 - 32, quint32(seed)) +
                           QByteArray(reinterpret_cast<const char*>(&size), 8) + "APK Sig Block 42";
        zip.insert(directory, block);
        const quint32 moved = directory + quint32(block.size());
        zip.replace(end + block.size() + 16, 4, QByteArray(reinterpret_cast<const char*>(&moved), 4));
        return zip;
    }
    const QString out = dir.filePath(QStringLiteral("a%1.zip").arg(seed));
    return runtool(QStringLiteral("zip"), QStringList{QStringLiteral("-q"), QStringLiteral("-X"), QStringLiteral("-j"), out} + members)
               ? contents(out)
               : QByteArray();
}

QByteArray walkfile(const QString& kind, const QString& dir, int seed)
{
    if (kind == QLatin1String("tif"))
        return magicktiff(dir, seed, "900x700");
    if (kind == QLatin1String("tifstrips"))
        return tallstrips(dir, seed);
    if (kind.startsWith(QLatin1String("zip")) || kind.startsWith(QLatin1String("gz")))
        return archivefile(kind, dir, seed);
    if (kind == QLatin1String("cr2") || kind == QLatin1String("nef") || kind == QLatin1String("dng"))
        return rawshot(kind, dir, seed, 600000).raw;
    if (kind.startsWith(QLatin1String("sample:")))
        return cameradata(kind.mid(7).toLatin1().constData());
    return formatfile(kind, dir, seed);
}

class StreamedWalk : public ::testing::TestWithParam<const char*> {
protected:
    QTemporaryDir work;
    QByteArray whole;
    QByteArray next;
    verify::family kind = verify::family::none;
    std::size_t largestread = 0;

    void SetUp() override
    {
        whole = walkfile(QString::fromLatin1(GetParam()), work.path(), 1);
        next = walkfile(QString::fromLatin1(GetParam()), work.path(), 2);
        if (whole.isNull() || next.isNull())
            KOV_SKIP() << "cannot make a " << GetParam() << " file: " << lasterror();
        kind = verify::identify(view(whole.left(64)), QString());
    }
    // As a carver would judge the bytes held: the extent, its verdict check()'s.
    static verify::EXTENT held(verify::family f, const QByteArray& bytes)
    {
        verify::EXTENT e = verify::extent(f, view(bytes), cluster);
        if (e.v == verify::verdict::verified)
            e.v = verify::check(f, view(bytes).first(e.end), cluster);
        return e;
    }
    verify::EXTENT streamed(const QByteArray& bytes)
    {
        return verify::streamedextent(
            kind, std::uint64_t(bytes.size()),
            [&](std::uint64_t at, std::size_t n, unsigned char* to) {
                largestread = std::max(largestread, n);
                if (at > std::uint64_t(bytes.size()) || n > std::uint64_t(bytes.size()) - at)
                    return false;
                std::memcpy(to, bytes.constData() + at, n);
                return true;
            },
            cluster);
    }
};

TEST_P(StreamedWalk, FindsTheEndAndVerdictOfTheBytesHeldWhole)
{
    ASSERT_TRUE(verify::streamable(kind)) << GetParam();
    const qsizetype slack = (cluster - whole.size() % cluster) % cluster;
    const std::pair<const char*, QByteArray> cases[] = {
        {"alone", whole},
        {"zeros after", whole + QByteArray(2 * cluster, '\0')},
        {"an older file's bytes after", whole + junk(3 * cluster, 5)},
        {"the next file at the next cluster", whole + junk(slack, 6) + next + QByteArray(cluster, '\0')},
        {"cut short", whole.left(whole.size() * 3 / 5)},
        {"its first half", whole.left(whole.size() / 2) + junk(whole.size() / 2, 7)},
    };
    for (const auto& [what, bytes] : cases) {
        const verify::EXTENT expected = held(kind, bytes);
        const verify::EXTENT found = streamed(bytes);
        EXPECT_EQ(found.v, expected.v) << what;
        EXPECT_EQ(found.end, expected.end) << what;
        EXPECT_EQ(found.want, expected.want) << what;
    }
    // The pages and pieces a walk reads, and a TIFF's previews.
    EXPECT_LE(largestread, std::size_t(1) << 20);
}

INSTANTIATE_TEST_SUITE_P(Files, StreamedWalk,
                         ::testing::Values("tif", "tifstrips", "cr2", "nef", "dng", "sample:ExifTool.tif", "sample:PhaseOne.iiq",
                                           "sample:CanonRaw.cr2", "sample:Nikon.nef", "sample:DNG.dng",
                                           "sample:Panasonic.rw2", "pdf", "pdfupdate", "doc", "m2ts",
                                           "sample:M2TS.mts"),
                         [](const auto& info) {
                             std::string name = info.param;
                             std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
                             return name;
                         });

// Archives read once through a buffer: the verdict and end a check of the
// bytes held whole gives, whatever follows them; the logs and blocks are
// whole, the bombs too costly, as held.
class StreamedArchive : public StreamedWalk {};

TEST_P(StreamedArchive, TakesWhatTheCheckOfTheBytesHeldWholeTakes)
{
    const bool bomb = QByteArray(GetParam()).endsWith("bomb");
    const qsizetype slack = (cluster - whole.size() % cluster) % cluster;
    const std::pair<const char*, QByteArray> cases[] = {
        {"alone", whole},
        {"an older file's bytes after", whole + junk(3 * cluster, 5)},
        {"the next file at the next cluster", whole + QByteArray(slack, '\0') + next + QByteArray(cluster, '\0')},
    };
    for (const auto& [what, bytes] : cases) {
        const verify::EXTENT expected = held(kind, bytes);
        const verify::EXTENT found = streamed(bytes);
        EXPECT_EQ(expected.v, bomb ? verify::verdict::unchecked : verify::verdict::verified) << what;
        EXPECT_EQ(found.v, expected.v) << what;
        if (!bomb) {
            EXPECT_EQ(found.end, std::size_t(whole.size())) << what;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Archives, StreamedArchive,
                         ::testing::Values("zip", "zipgap", "ziplog", "zipbomb", "gz", "gzlog", "gzbomb"),
                         [](const auto& info) { return std::string(info.param); });

// A TIFF of more strips than a check may hold, each apart from the next:
// too costly, held or read on demand; the same strips side by side are
// one run of bytes, and checked.
TEST(StreamedWalkReads, StripsPastWhatIsHeldAreTooCostlyUnlessSideBySide)
{
    constexpr quint32 strips = (1u << 19) + 4096;
    for (const quint32 gap : {1u, 0u}) {
        const quint32 offsets = 8 + 2 + 12 * 4 + 4;
        const quint32 lengths = offsets + 4 * strips;
        const quint32 first = lengths + 4 * strips;
        QByteArray tiff("II*\0\x08\0\0\0", 8);
        const auto add16 = [&](quint32 v) { tiff.append(char(v & 0xff)).append(char(v >> 8 & 0xff)); };
        const auto add32 = [&](quint32 v) { add16(v & 0xffff), add16(v >> 16); };
        const auto entry = [&](quint32 tag, quint32 type, quint32 count, quint32 value) {
            add16(tag), add16(type), add32(count), add32(value);
        };
        add16(4);
        entry(256, 4, 1, 1);
        entry(257, 4, 1, strips);
        entry(273, 4, strips, offsets);
        entry(279, 4, strips, lengths);
        add32(0);
        for (quint32 i = 0; i < strips; ++i)
            add32(first + i * (1 + gap));
        for (quint32 i = 0; i < strips; ++i)
            add32(1);
        tiff += junk(qsizetype(strips) * (1 + gap), 8);
        const verify::bytes whole = view(tiff);
        const verify::verdict expected = gap ? verify::verdict::unchecked : verify::verdict::verified;
        EXPECT_EQ(verify::check(verify::family::tiff, whole, cluster), expected) << "gap " << gap;
        const verify::EXTENT found = verify::streamedextent(
            verify::family::tiff, whole.size(),
            [&](std::uint64_t at, std::size_t n, unsigned char* to) {
                if (at > whole.size() || n > whole.size() - at)
                    return false;
                std::memcpy(to, whole.data() + at, n);
                return true;
            },
            cluster);
        EXPECT_EQ(found.v, expected) << "gap " << gap;
        if (!gap) {
            EXPECT_EQ(found.end, whole.size());
        }
    }
}

// A last box of size 0 runs to the end of the file, which the bytes after
// it do not show: never a file cut at its header. The same boxes with the
// box's size are one.
TEST(StreamedWalkEnds, BoxOfSizeZeroLeavesTheEndUnknown)
{
    QTemporaryDir work;
    const QByteArray movie = formatfile(QStringLiteral("mp4"), work.path(), 1);
    if (movie.isNull())
        KOV_SKIP() << "cannot make an mp4 file: " << lasterror();
    QMap<QByteArray, QByteArray> boxes;
    for (qsizetype at = 0; at + 8 <= movie.size();) {
        const quint32 size = qFromBigEndian<quint32>(movie.constData() + at);
        if (size < 8)
            break;
        boxes[movie.mid(at + 4, 4)] = movie.mid(at, size);
        at += size;
    }
    ASSERT_TRUE(boxes.contains("ftyp") && boxes.contains("moov") && boxes.contains("mdat"));
    QByteArray open = boxes["mdat"];
    open.replace(0, 4, QByteArray(4, '\0'));
    const QByteArray after = junk(3 * cluster, 3);
    for (const bool sized : {true, false}) {
        const QByteArray file = boxes["ftyp"] + boxes["moov"] + (sized ? boxes["mdat"] : open);
        const QByteArray bytes = file + after;
        const verify::EXTENT held = verify::extent(verify::family::mp4, view(bytes), cluster);
        const verify::EXTENT found = verify::streamedextent(
            verify::family::mp4, std::uint64_t(bytes.size()),
            [&](std::uint64_t at, std::size_t n, unsigned char* to) {
                if (at > std::uint64_t(bytes.size()) || n > std::uint64_t(bytes.size()) - at)
                    return false;
                std::memcpy(to, bytes.constData() + at, n);
                return true;
            },
            cluster);
        for (const verify::EXTENT& e : {held, found}) {
            if (sized) {
                EXPECT_EQ(e.v, verify::verdict::verified);
                EXPECT_EQ(e.end, std::size_t(file.size()));
            } else {
                EXPECT_NE(e.v, verify::verdict::verified);
            }
        }
    }
}

// A file read on demand reads its structure, not its data: a TIFF of large
// strips is walked through a few pages.
TEST(StreamedWalkReads, LargeStripsAreNotRead)
{
    QTemporaryDir work;
    const QByteArray tiff = magicktiff(work.path(), 3, "2000x1500");
    if (tiff.isNull())
        KOV_SKIP() << "needs ImageMagick: " << lasterror();
    std::uint64_t read = 0;
    const verify::EXTENT found = verify::streamedextent(
        verify::family::tiff, std::uint64_t(tiff.size()),
        [&](std::uint64_t at, std::size_t n, unsigned char* to) {
            read += n;
            std::memcpy(to, tiff.constData() + at, n);
            return true;
        },
        cluster);
    EXPECT_EQ(found.v, verify::verdict::verified);
    EXPECT_EQ(found.end, std::size_t(tiff.size()));
    EXPECT_LT(read, std::uint64_t(tiff.size()) / 4);
}

// A read that fails proves nothing: damaged, as a short file is.
TEST(StreamedWalkReads, AFailedReadIsDamaged)
{
    QTemporaryDir work;
    for (const char* kind : {"tif", "pdf", "doc"}) {
        const QByteArray file = walkfile(QLatin1String(kind), work.path(), 4);
        if (file.isNull())
            KOV_SKIP() << "cannot make a " << kind << " file: " << lasterror();
        const verify::family f = verify::identify(view(file.left(64)), QString());
        const verify::EXTENT found = verify::streamedextent(
            f, std::uint64_t(file.size()),
            [&](std::uint64_t at, std::size_t n, unsigned char* to) {
                if (at + n > std::uint64_t(file.size()) / 2)
                    return false;
                std::memcpy(to, file.constData() + at, n);
                return true;
            },
            cluster);
        EXPECT_EQ(found.v, verify::verdict::damaged) << kind;
    }
}

}  // namespace
