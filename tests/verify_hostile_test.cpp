// The content checks on real files bent the ways a hostile or unlucky
// volume bends them: more work than the bytes warrant, a shorter file
// followed by zeros, structures that rightly follow the end of an image,
// archive entries the check cannot read, and the cheap facts a caller
// tests before reading a candidate whole.
#include "support/formatfiles.h"
#include "support/mtoolsimage.h"
#include "support/skip.h"
#include "support/verdicts.h"

#include "verify/verify.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstring>

using namespace testsupport;
using verify::verdict;

namespace {

QByteArray readall(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void putle32(QByteArray& d, qsizetype at, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        d[at + i] = char(v >> (8 * i));
}

// The marker segments of a JPEG up to its EOI: (marker, start, end), a
// scan's end being the end of its entropy-coded data.
struct SEGMENT {
    int marker;
    qsizetype start, end;
};
std::vector<SEGMENT> segments(const QByteArray& jpeg)
{
    std::vector<SEGMENT> out;
    qsizetype at = 2;
    while (at + 4 <= jpeg.size() && quint8(jpeg[at]) == 0xFF) {
        const int marker = quint8(jpeg[at + 1]);
        if (marker == 0xD9)
            break;
        qsizetype end = at + 2 + (quint8(jpeg[at + 2]) << 8 | quint8(jpeg[at + 3]));
        if (marker == 0xDA)
            while (end + 1 < jpeg.size() &&
                   !(quint8(jpeg[end]) == 0xFF && jpeg[end + 1] != 0 && (quint8(jpeg[end + 1]) & 0xF8) != 0xD0))
                ++end;
        out.push_back({marker, at, end});
        at = end;
    }
    return out;
}

class Work : public ::testing::Test {
protected:
    QTemporaryDir work;
    QString path(const QString& name) const { return QDir(work.path()).filePath(name); }
    QByteArray make(const QString& kind, int seed = 1) { return formatfile(kind, work.path(), seed); }
};

// --- Cost: refused work is "unchecked", never "damaged" or a hang ---------

using VerifyCost = Work;

// A progressive JPEG whose first AC scan of the luma is repeated 1,000
// times: each repeat is valid and reads every block of a 1200 x 1200 image
// again from a few bytes.
TEST_F(VerifyCost, RepeatedProgressiveScansAreUnchecked)
{
    const QString flat = path(QStringLiteral("flat.jpg"));
    const QString script = path(QStringLiteral("scans.txt"));
    QByteArray progressive;
    if (!runtool(QStringLiteral("convert"), {QStringLiteral("-size"), QStringLiteral("1200x1200"),
                                             QStringLiteral("xc:#806040"), QStringLiteral("-strip"), flat}) ||
        !writefile(script, "0,1,2: 0-0, 0, 0;\n0: 1-63, 0, 0;\n1: 1-63, 0, 0;\n2: 1-63, 0, 0;\n") ||
        !runtool(QStringLiteral("jpegtran"), {QStringLiteral("-scans"), script, flat}, &progressive))
        KOV_SKIP() << "needs ImageMagick and jpegtran: " << lasterror();
    ASSERT_EQ(verdictof(progressive, QStringLiteral("a.jpg")), verdict::verified);
    std::vector<SEGMENT> parts = segments(progressive);
    std::vector<SEGMENT> scans;
    std::copy_if(parts.begin(), parts.end(), std::back_inserter(scans), [](const SEGMENT& s) { return s.marker == 0xDA; });
    ASSERT_GE(scans.size(), 2u);
    // The second scan with the tables written just before it.
    const QByteArray repeat = progressive.mid(scans[0].end, scans[1].end - scans[0].end);
    const QByteArray hostile = progressive.left(scans[1].end) + repeat.repeated(1000) + progressive.mid(scans[1].end);
    EXPECT_EQ(verdictof(hostile, QStringLiteral("a.jpg")), verdict::unchecked);
}

// A progressive JPEG whose frame header asks for 65500 x 65500 pixels in
// four components: more coefficient memory than a check may take.
TEST_F(VerifyCost, ProgressiveImageTooLargeForMemoryIsUnchecked)
{
    const QString small = path(QStringLiteral("cmyk.jpg"));
    if (!runtool(QStringLiteral("convert"), {QStringLiteral("-size"), QStringLiteral("16x16"), QStringLiteral("xc:gray50"),
                                             QStringLiteral("-colorspace"), QStringLiteral("CMYK"), QStringLiteral("-interlace"),
                                             QStringLiteral("JPEG"), QStringLiteral("-strip"), small}))
        KOV_SKIP() << "needs ImageMagick: " << lasterror();
    QByteArray jpeg = readall(small);
    bool patched = false;
    for (const SEGMENT& s : segments(jpeg)) {
        if (s.marker == 0xC2) {
            jpeg[s.start + 5] = jpeg[s.start + 7] = char(0xFF);
            jpeg[s.start + 6] = jpeg[s.start + 8] = char(0xDC);
            patched = true;
        }
    }
    ASSERT_TRUE(patched) << "no progressive frame header";
    EXPECT_EQ(verdictof(jpeg, QStringLiteral("a.jpg")), verdict::unchecked);
}

// 16 MiB of zeros deflated by gzip and by zip inflate far beyond the cap
// their size sets (a bomb): unchecked, where the whole inflate would have
// said verified.
TEST_F(VerifyCost, ArchivesInflatingFarBeyondTheirSizeAreUnchecked)
{
    const QString zeros = path(QStringLiteral("zeros.bin"));
    QByteArray gz;
    if (!writefile(zeros, QByteArray(16 << 20, '\0')) ||
        !runtool(QStringLiteral("gzip"), {QStringLiteral("-c"), QStringLiteral("-n"), zeros}, &gz) ||
        !runtool(QStringLiteral("zip"), {QStringLiteral("-q"), QStringLiteral("-X"), QStringLiteral("-j"),
                                         path(QStringLiteral("zeros.zip")), zeros}))
        KOV_SKIP() << "needs gzip and zip: " << lasterror();
    EXPECT_EQ(verdictof(gz, QStringLiteral("a.gz")), verdict::unchecked);
    EXPECT_EQ(verdictof(readall(path(QStringLiteral("zeros.zip"))), QStringLiteral("a.zip")), verdict::unchecked);
}

// --- ZIP entries ------------------------------------------------------------

using VerifyZip = Work;

// The central directory names one local entry three times: overlapping
// ranges, damage (and a bomb when there are thousands).
TEST_F(VerifyZip, EntriesSharingOneRangeAreDamaged)
{
    QByteArray zip = make(QStringLiteral("zip"));
    if (zip.isNull())
        KOV_SKIP() << "needs zip: " << lasterror();
    const qsizetype end = zip.lastIndexOf("PK\x05\x06");
    const qsizetype cd = qsizetype(quint32(quint8(zip[end + 16]) | quint8(zip[end + 17]) << 8 |
                                           quint8(zip[end + 18]) << 16 | quint32(quint8(zip[end + 19])) << 24));
    const qsizetype first = zip.indexOf("PK\x01\x02", cd + 4);  // the second entry
    ASSERT_GT(first, cd);
    const QByteArray one = zip.mid(cd, first - cd);
    QByteArray record = zip.mid(end, 22);
    const QByteArray directory = one.repeated(3);
    record[8] = record[10] = 3;
    record[9] = record[11] = 0;
    putle32(record, 12, quint32(directory.size()));
    EXPECT_EQ(verdictof(zip.left(cd) + directory + record, QStringLiteral("a.zip")), verdict::damaged);
}

// Sizes of all ones without the ZIP64 field that should hold them: the
// check once skipped every CRC of the archive for them.
TEST_F(VerifyZip, AllOnesSizesWithoutZip64FieldAreDamaged)
{
    QByteArray zip = make(QStringLiteral("zip"));
    if (zip.isNull())
        KOV_SKIP() << "needs zip: " << lasterror();
    for (qsizetype at = zip.indexOf("PK\x01\x02"); at >= 0; at = zip.indexOf("PK\x01\x02", at + 4)) {
        putle32(zip, at + 20, 0xFFFFFFFF);
        putle32(zip, at + 24, 0xFFFFFFFF);
    }
    EXPECT_EQ(verdictof(zip, QStringLiteral("a.zip")), verdict::damaged);
}

// Entries the check cannot read (another method, encryption) leave the
// archive unchecked, not verified.
TEST_F(VerifyZip, EntriesWithoutACheckLeaveTheArchiveUnchecked)
{
    const QString text = path(QStringLiteral("t.txt"));
    if (!writefile(text, QByteArray("a line of text, again and again\n").repeated(400)))
        FAIL() << lasterror();
    const std::pair<const char*, QStringList> ways[] = {
        {"bzip2", {QStringLiteral("-Z"), QStringLiteral("bzip2")}},
        {"encrypted", {QStringLiteral("-P"), QStringLiteral("secret")}},
    };
    for (const auto& [label, options] : ways) {
        const QString out = path(QString::fromLatin1(label) + QStringLiteral(".zip"));
        if (!runtool(QStringLiteral("zip"), options + QStringList{QStringLiteral("-q"), QStringLiteral("-j"), out, text}))
            KOV_SKIP() << "zip cannot write " << label << ": " << lasterror();
        EXPECT_EQ(verdictof(readall(out), QStringLiteral("a.zip")), verdict::unchecked) << label;
    }
}

// --- Padding after the end ---------------------------------------------------

struct PADCASE {
    const char* kind;
    int zeros;
    std::uint32_t cluster;
    verdict expected;
};
void PrintTo(const PADCASE& c, std::ostream* os) { *os << c.kind << " + " << c.zeros << " zeros, cluster " << c.cluster; }

class VerifyPadding : public ::testing::TestWithParam<PADCASE> {};

// A short run of zeros is a writer's padding; a longer one is the tail of a
// shorter, foreign file at a wrong start (a 9 KB photo plus 68 KB of zeros).
TEST_P(VerifyPadding, OnlyAShortRunOfZerosFollows)
{
    QTemporaryDir work;
    const QString kind = QString::fromLatin1(GetParam().kind);
    const QByteArray whole = formatfile(kind, work.path(), 1);
    if (whole.isNull())
        KOV_SKIP() << "cannot make a " << GetParam().kind << " file: " << lasterror();
    EXPECT_EQ(verdictof(whole + QByteArray(GetParam().zeros, '\0'), QStringLiteral("a.") + kind, GetParam().cluster),
              GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Runs, VerifyPadding,
                         ::testing::Values(PADCASE{"jpg", 100, 0, verdict::verified},
                                           PADCASE{"jpg", 68 * 1024, 0, verdict::damaged},
                                           PADCASE{"jpg", 600, 512, verdict::damaged},
                                           PADCASE{"jpg", 600, 4096, verdict::verified},
                                           PADCASE{"jpg", 5000, 32768, verdict::damaged},
                                           PADCASE{"gz", 100, 0, verdict::verified},
                                           PADCASE{"gz", 8 * 1024, 0, verdict::damaged}));

// --- What may follow a JPEG's EOI -------------------------------------------

using VerifyJpegTrailer = Work;

// Samsung's trailer: blocks, then the directory "SEFH" naming each block by
// its distance back from the directory, then the directory's length and
// "SEFT".
QByteArray samsungtrailer(const QByteArray& movie)
{
    QByteArray block("\0\0\x30\x0a", 4);
    QByteArray length(4, '\0');
    putle32(length, 0, 16);
    block += length + "MotionPhoto_Data" + movie;
    QByteArray directory("SEFH\x6a\0\0\0\x01\0\0\0", 12);
    QByteArray entry("\0\0\x30\x0a", 4);
    entry += QByteArray(8, '\0');
    putle32(entry, 4, quint32(block.size()));
    putle32(entry, 8, quint32(block.size()));
    directory += entry;
    QByteArray tail(4, '\0');
    putle32(tail, 0, quint32(directory.size()));
    return block + directory + tail + "SEFT";
}

TEST_F(VerifyJpegTrailer, KnownStructuresAfterTheImage)
{
    const QByteArray photo = make(QStringLiteral("jpg"), 1);
    const QByteArray preview = make(QStringLiteral("jpg"), 2);
    const QByteArray movie = make(QStringLiteral("mp4"), 1);
    if (photo.isNull() || preview.isNull() || movie.isNull())
        KOV_SKIP() << "needs ImageMagick and GStreamer: " << lasterror();
    QByteArray foreign = preview;
    foreign.replace(preview.size() / 2, 512, QByteArray(512, 'x'));
    const std::pair<const char*, std::pair<QByteArray, verdict>> cases[] = {
        {"a second image (MPF preview)", {photo + preview, verdict::verified}},
        {"a Motion Photo movie", {photo + movie, verdict::verified}},
        {"a preview and a movie", {photo + preview + movie, verdict::verified}},
        {"a Samsung trailer", {photo + samsungtrailer(movie), verdict::verified}},
        {"a movie, then a short padding", {photo + movie + QByteArray(64, '\0'), verdict::verified}},
        {"a movie cut short", {photo + movie.left(movie.size() - 100), verdict::damaged}},
        {"a damaged preview", {photo + foreign, verdict::damaged}},
        {"a trailer with a wrong length", {photo + samsungtrailer(movie).mid(1), verdict::damaged}},
        {"text", {photo + QByteArray("vendor data").repeated(20), verdict::damaged}},
    };
    for (const auto& [label, c] : cases)
        EXPECT_EQ(verdictof(c.first, QStringLiteral("a.jpg")), c.second) << label;
}

// A JFIF segment of version 2.01: libjpeg warns about the version and
// decodes the same data.
TEST_F(VerifyJpegTrailer, HarmlessWarningIsNoDamage)
{
    QByteArray photo = make(QStringLiteral("jpg"));
    if (photo.isNull())
        KOV_SKIP() << "needs ImageMagick: " << lasterror();
    ASSERT_EQ(photo.mid(6, 5), QByteArray("JFIF\0", 5)) << "ImageMagick writes JFIF first";
    photo[11] = 2;
    photo[12] = 1;
    EXPECT_EQ(verdictof(photo, QStringLiteral("a.jpg")), verdict::verified);
}

// --- Intact files of kinds the checks once judged damaged ---------------------

using VerifyIntact = Work;

TEST_F(VerifyIntact, HeifAndAvifImages)
{
    for (const char* kind : {"heic", "avif"}) {
        const QByteArray image = make(QString::fromLatin1(kind));
        if (image.isNull())
            KOV_SKIP() << "ImageMagick cannot write " << kind << ": " << lasterror();
        const QString name = QStringLiteral("a.") + QString::fromLatin1(kind);
        EXPECT_EQ(verdictof(image, name), verdict::verified) << kind;
        EXPECT_EQ(verdictof(image.left(image.size() - 10), name), verdict::damaged) << kind;
    }
}

// Tags a tagger adds around MPEG audio: APEv2 at the end (mutagen), and a
// second ID3v2 tag put before the first.
TEST_F(VerifyIntact, Mp3WithMoreTags)
{
    const QByteArray mp3 = make(QStringLiteral("mp3"));
    if (mp3.isNull())
        KOV_SKIP() << "needs sox and lame: " << lasterror();
    const QString tagged = path(QStringLiteral("ape.mp3"));
    if (!writefile(tagged, mp3) ||
        !runtool(QStringLiteral("/usr/bin/python3"),
                 {QStringLiteral("-c"),
                  QStringLiteral("import sys, mutagen.apev2 as a; t = a.APEv2(); t['Title'] = 'Lost'; t.save(sys.argv[1])"),
                  tagged}))
        KOV_SKIP() << "needs python3-mutagen: " << lasterror();
    const QByteArray ape = readall(tagged);
    ASSERT_TRUE(ape.contains("APETAGEX"));
    EXPECT_EQ(verdictof(ape, QStringLiteral("a.mp3")), verdict::verified);
    EXPECT_EQ(verdictof(ape.left(ape.size() - 40) + ape.right(32), QStringLiteral("a.mp3")), verdict::damaged);

    const QString id3 = path(QStringLiteral("id3.mp3"));
    if (!writefile(id3, mp3) ||
        !runtool(QStringLiteral("lame"), {QStringLiteral("--quiet"), QStringLiteral("--tt"), QStringLiteral("Lost"),
                                          QStringLiteral("--id3v2-only"), QStringLiteral("-b"), QStringLiteral("64"),
                                          path(QStringLiteral("s1.wav")), id3}))
        KOV_SKIP() << "needs lame: " << lasterror();
    const QByteArray once = readall(id3);
    ASSERT_TRUE(once.startsWith("ID3"));
    const int tag = 10 + (once[6] << 21 | once[7] << 14 | once[8] << 7 | once[9]);
    EXPECT_EQ(verdictof(once.left(tag) + once, QStringLiteral("a.mp3")), verdict::verified);
}

// An AVI past 1 GiB goes on in "RIFF AVIX" parts (OpenDML); GStreamer's
// avimux writes them only past that size, so the second part is made here.
TEST_F(VerifyIntact, OpenDmlAvi)
{
    const QByteArray avi = make(QStringLiteral("avi"));
    if (avi.isNull())
        KOV_SKIP() << "needs GStreamer: " << lasterror();
    QByteArray frame("00dc", 4);
    QByteArray size(4, '\0');
    putle32(size, 0, 1001);
    frame += size + QByteArray(1001, 'f') + QByteArray(1, '\0');
    QByteArray movi = "LIST" + QByteArray(4, '\0') + "movi" + frame;
    putle32(movi, 4, quint32(movi.size() - 8));
    QByteArray part = "RIFF" + QByteArray(4, '\0') + "AVIX" + movi;
    putle32(part, 4, quint32(part.size() - 8));
    EXPECT_EQ(verdictof(avi + part, QStringLiteral("a.avi")), verdict::verified);
    QByteArray wrong = part;
    putle32(wrong, 4, quint32(part.size() - 4));
    EXPECT_EQ(verdictof(avi + wrong + "jUNK", QStringLiteral("a.avi")), verdict::damaged);
}

// --- The cheap facts before a whole read ----------------------------------------

struct READS {
    const QByteArray& data;
    int count = 0;
    std::uint64_t bytes = 0;
    verify::reader reader()
    {
        return [this](std::uint64_t offset, std::span<unsigned char> into) {
            ++count;
            bytes += into.size();
            if (offset > std::uint64_t(data.size()) || std::uint64_t(data.size()) - offset < into.size())
                return false;
            if (!into.empty())
                std::memcpy(into.data(), data.constData() + offset, into.size());
            return true;
        };
    }
};

bool mayverify(const QByteArray& data, const QString& name, READS* reads = nullptr)
{
    READS own{data};
    READS& r = reads ? *reads : own;
    const verify::family f = verify::familyofextension(name);
    return verify::mayverify(f, std::uint64_t(data.size()), r.reader());
}

class VerifyBeforeWholeRead : public ::testing::TestWithParam<const char*> {};

// Every whole file passes with a few small reads; cut short (as a start
// one cluster early leaves it) or led by junk it is ruled out.
TEST_P(VerifyBeforeWholeRead, WholeFilesPassCutOrForeignOnesDoNot)
{
    QTemporaryDir work;
    const QString kind = QString::fromLatin1(GetParam());
    const QByteArray whole = formatfile(kind, work.path(), 1);
    if (whole.isNull())
        KOV_SKIP() << "cannot make a " << GetParam() << " file: " << lasterror();
    const QString name = QStringLiteral("a.") + (kind == QLatin1String("zip64") ? QStringLiteral("zip") : kind);
    ASSERT_EQ(verdictof(whole, name), verdict::verified);
    READS reads{whole};
    EXPECT_TRUE(mayverify(whole, name, &reads));
    EXPECT_LE(reads.count, 70);
    EXPECT_LT(reads.bytes, std::uint64_t(whole.size()));
    EXPECT_FALSE(mayverify(whole.left(whole.size() - 4096), name)) << "cut short";
    EXPECT_FALSE(mayverify(QByteArray(4096, 'j') + whole, name)) << "foreign start";
}

INSTANTIATE_TEST_SUITE_P(Formats, VerifyBeforeWholeRead,
                         ::testing::Values("png", "gif", "bmp", "zip", "zip64", "pdf", "wav", "avi", "mov", "mp4"),
                         [](const auto& info) { return std::string(info.param); });

// canbegin tells the families that once took anything by their first bytes.
TEST(VerifyCanBegin, SignaturesOfEveryFamily)
{
    const QByteArray junk = QByteArray("\x01\x02junk junk junk\x00", 16);
    for (const verify::family f : {verify::family::zip, verify::family::mp4, verify::family::mp3, verify::family::text})
        EXPECT_FALSE(verify::canbegin(f, verify::bytes(reinterpret_cast<const unsigned char*>(junk.constData()), 16)))
            << int(f);
}

}  // namespace
