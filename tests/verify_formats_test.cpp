// The content checks on real files of each format, whole and damaged the
// ways a recovery damages them: cut short, a foreign cluster in the middle,
// rebuilt from a wrong start cluster.
#include "support/formatfiles.h"
#include "support/mtoolsimage.h"
#include "support/skip.h"
#include "support/verdicts.h"

#include "verify/verify.h"

#include <QHash>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <set>

using namespace testsupport;
using verify::verdict;

namespace {

constexpr int cluster = 4096;

QByteArray junk(int size, quint32 seed)
{
    QByteArray out(size, Qt::Uninitialized);
    QRandomGenerator random{seed};
    for (char& c : out)
        c = char(random.generate());
    return out;
}

enum class damage { truncated, foreigncluster, wrongstart };

QByteArray damaged(const QByteArray& whole, damage how)
{
    switch (how) {
    case damage::truncated:  // the chain was cut: the tail is missing
        return whole.left(whole.size() * 3 / 5);
    case damage::foreigncluster: {  // a reused cluster inside
        QByteArray out = whole;
        const int at = (whole.size() / 2) / cluster * cluster;
        out.replace(at, cluster, junk(cluster, 7));
        return out;
    }
    default:  // the start was one cluster off: the head is missing, foreign bytes follow
        return whole.mid(cluster) + junk(cluster, 9);
    }
}

struct FORMATCASE {
    const char* kind;
    // Damage the format's structure cannot show: a check that only reads
    // size fields cannot see foreign bytes among the pixels or samples,
    // and text cut short is still text.
    std::set<damage> invisible;
};

void PrintTo(const FORMATCASE& c, std::ostream* os) { *os << c.kind; }

class FormatVerdict : public ::testing::TestWithParam<FORMATCASE> {
protected:
    QTemporaryDir work;
    QByteArray whole;
    QString name;

    void SetUp() override
    {
        const QString kind = QString::fromLatin1(GetParam().kind);
        static const QHash<QString, QString> extensions{{QStringLiteral("cp1252"), QStringLiteral("txt")},
                                                        {QStringLiteral("utf16"), QStringLiteral("txt")},
                                                        {QStringLiteral("pjpg"), QStringLiteral("jpg")},
                                                        {QStringLiteral("zip64"), QStringLiteral("zip")}};
        name = QStringLiteral("file.") + extensions.value(kind, kind);
        whole = formatfile(QString::fromLatin1(GetParam().kind), work.path(), 1);
        if (whole.isNull())
            KOV_SKIP() << "cannot make a " << GetParam().kind << " file: " << lasterror();
        ASSERT_GE(whole.size(), 3 * cluster) << "too small to damage in the middle";
    }
};

TEST_P(FormatVerdict, WholeFileIsVerified)
{
    EXPECT_EQ(verdictof(whole, name), verdict::verified);
    // A second file of the kind made the same way: nothing depends on one sample.
    EXPECT_EQ(verdictof(formatfile(QString::fromLatin1(GetParam().kind), work.path(), 2), name), verdict::verified);
}

TEST_P(FormatVerdict, DamagedFileIsDamaged)
{
    const std::pair<damage, const char*> ways[] = {
        {damage::truncated, "truncated"}, {damage::foreigncluster, "foreign cluster"}, {damage::wrongstart, "wrong start"}};
    for (const auto& [how, label] : ways) {
        if (GetParam().invisible.count(how))
            continue;
        EXPECT_EQ(verdictof(damaged(whole, how), name), verdict::damaged) << label;
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, FormatVerdict,
                         ::testing::Values(FORMATCASE{"jpg", {}}, FORMATCASE{"png", {}}, FORMATCASE{"gif", {}},
                                           FORMATCASE{"bmp", {damage::foreigncluster}}, FORMATCASE{"zip", {}},
                                           FORMATCASE{"gz", {}}, FORMATCASE{"pdf", {damage::foreigncluster}},
                                           FORMATCASE{"wav", {damage::foreigncluster}}, FORMATCASE{"mp3", {}},
                                           FORMATCASE{"avi", {damage::foreigncluster}},
                                           FORMATCASE{"mov", {damage::foreigncluster}},
                                           FORMATCASE{"mp4", {damage::foreigncluster}},
                                           FORMATCASE{"doc", {damage::foreigncluster}},
                                           FORMATCASE{"txt", {damage::truncated}},
                                           FORMATCASE{"cp1252", {damage::truncated}},
                                           FORMATCASE{"utf16", {damage::truncated}}, FORMATCASE{"pjpg", {}},
                                           FORMATCASE{"zip64", {}}),
                         [](const auto& info) { return std::string(info.param.kind); });

// The contents decide before the name does; the name decides for bytes no
// signature names; no check for an unknown type.
TEST(FormatIdentify, ContentsFirstThenExtension)
{
    QTemporaryDir work;
    const QByteArray png = formatfile(QStringLiteral("png"), work.path(), 3);
    const QByteArray jpg = formatfile(QStringLiteral("jpg"), work.path(), 3);
    if (png.isNull() || jpg.isNull())
        KOV_SKIP() << "needs ImageMagick: " << lasterror();
    EXPECT_EQ(verdictof(png, QStringLiteral("IMG_0001.JPG")), verdict::verified);
    EXPECT_EQ(verdictof(jpg, QStringLiteral("kEPORT.DAT")), verdict::verified);
    // Junk under a photo's name is a damaged photo; under an unknown name, unchecked.
    EXPECT_EQ(verdictof(junk(3 * cluster, 5), QStringLiteral("kMG_0001.JPG")), verdict::damaged);
    EXPECT_EQ(verdictof(junk(3 * cluster, 5), QStringLiteral("kOVE.DAT")), verdict::unchecked);
    EXPECT_EQ(verdictof(QByteArray(3 * cluster, '\0'), QStringLiteral("kOTES.TXT")), verdict::damaged);
}

// Size fields chosen so that a careless product wraps to a fit: a BMP whose
// rows times height is exactly 2^64 bytes.
TEST(FormatHostileFields, BmpRowsTimesHeightThatWrapsIsDamaged)
{
    QTemporaryDir work;
    QByteArray bmp = formatfile(QStringLiteral("bmp"), work.path(), 3);
    if (bmp.isNull())
        KOV_SKIP() << "needs ImageMagick: " << lasterror();
    ASSERT_GE(quint32(quint8(bmp[14])), 40u) << "a header with 32-bit width and height";
    auto put = [&](int at, quint32 v) {
        for (int i = 0; i < 4; ++i)
            bmp[at + i] = char(v >> (8 * i));
    };
    put(18, 0x80000000u);  // width 2^31: rows of 2^33 bytes at 32 bits
    put(22, 0x80000000u);  // height 2^31
    bmp[28] = 32;
    bmp[29] = 0;
    put(30, 0);  // uncompressed
    EXPECT_EQ(verdictof(bmp, QStringLiteral("a.bmp")), verdict::damaged);
}

// A GIF's header and colour table and then its trailer, without the image:
// fourteen bytes of junk after a signature can make one.
TEST(FormatHostileFields, GifWithoutAnImageIsDamaged)
{
    QTemporaryDir work;
    const QByteArray gif = formatfile(QStringLiteral("gif"), work.path(), 5);
    if (gif.isNull())
        KOV_SKIP() << "needs ImageMagick: " << lasterror();
    ASSERT_EQ(verdictof(gif, QStringLiteral("a.gif")), verdict::verified);
    const qsizetype table = (quint8(gif[10]) & 0x80) ? 3 << ((quint8(gif[10]) & 7) + 1) : 0;
    EXPECT_EQ(verdictof(gif.left(13 + table) + ';', QStringLiteral("a.gif")), verdict::damaged);
}

// Single-byte text: DOS box drawing in CP-437 and accents in CP-1252 are
// text; control bytes are not.
TEST(FormatIdentify, SingleByteText)
{
    const QByteArray box = QByteArray("\xC9\xCD\xCD\xBB Men\x81 \xC8\xCD\xCD\xBC\r\n").repeated(50);
    EXPECT_EQ(verdictof(box, QStringLiteral("MENU.TXT")), verdict::verified);
    EXPECT_EQ(verdictof(QByteArray("caf\xE9 cr\xE8me\n").repeated(50), QStringLiteral("a.csv")), verdict::verified);
    EXPECT_EQ(verdictof(QByteArray("abc\x02\x03").repeated(50), QStringLiteral("a.csv")), verdict::damaged);
    EXPECT_EQ(verdictof(QByteArray(5000, '\xFF'), QStringLiteral("a.txt")), verdict::damaged);
}

}  // namespace
