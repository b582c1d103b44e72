// What kov-recover --carve calls the files it carves from cards made to
// pass wrong bytes as good: two photos spliced where a restart marker ends
// at a cluster boundary, a BMP and a WAV with foreign clusters inside, and
// a photo with a ZIP appended.
#include "support/cardimage.h"
#include "support/carvecards.h"
#include "support/formatfiles.h"
#include "support/kovrecoverrun.h"
#include "support/mtoolsimage.h"
#include "support/skip.h"
#include "support/verdicts.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <map>

using namespace testsupport;

namespace {

constexpr int cluster = 4096;

// An empty FAT32 card with 4 KiB clusters whose free clusters from the
// eighth on hold the pieces, each from a cluster of its own.
struct CARD {
    QString image;
    std::map<qint64, QByteArray> placed;  // by start cluster

    bool make(const QString& dir, const QList<QByteArray>& pieces)
    {
        image = dir + QStringLiteral("/card.img");
        if (!makefat(image, 32, 272u << 20, 8))
            return false;
        const BootGeometry g = bootgeometry(image);
        if (g.clustersize != cluster)
            return false;
        QFile f(image);
        if (!f.open(QIODevice::ReadWrite))
            return false;
        qint64 start = 10;
        for (const QByteArray& piece : pieces) {
            if (!f.seek(qint64(g.datastart) + (start - 2) * cluster) || f.write(piece) != piece.size())
                return false;
            placed[start] = piece;
            start += (piece.size() + cluster - 1) / cluster + 4;
        }
        return true;
    }
};

// The --list --json records of the carved files, by start cluster.
std::map<qint64, QJsonObject> carvedrecords(const QByteArray& out)
{
    std::map<qint64, QJsonObject> records;
    for (const QByteArray& line : out.split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (o.contains(QStringLiteral("type")))
            records[o[QStringLiteral("start")].toInteger()] = o;
    }
    return records;
}

verify::bytes view(const QByteArray& b)
{
    return {reinterpret_cast<const unsigned char*>(b.constData()), std::size_t(b.size())};
}

// Photo A's first four clusters, then photo B's from that boundary on,
// both from one encoder with a restart marker after each row of MCUs and
// the same marker ending at the boundary (0xFF fill before it): the splice
// decodes whole, restart numbers and MCU count running on.
TEST(CarveSplice, PhotosSplicedAtARestartMarkerAreNotCalledVerified)
{
    QTemporaryDir dir;
    const QByteArray a = restartjpeg(dir.path(), 1, 480, 360);
    const QByteArray b = restartjpeg(dir.path(), 2, 480, 360);
    if (a.isNull() || b.isNull())
        KOV_SKIP() << "needs ImageMagick and cjpeg: " << lasterror();
    const qsizetype boundary = 4 * cluster;
    int index = -1;
    for (int k = 0; k < restartends(a).size() && k < restartends(b).size(); ++k)
        if (restartends(a)[k] <= boundary && restartends(b)[k] <= boundary)
            index = k;
    ASSERT_GE(index, 0);
    const QByteArray filleda = fillrestart(a, index, boundary);
    const QByteArray filledb = fillrestart(b, index, boundary);
    const QByteArray spliced = filleda.left(boundary) + filledb.mid(boundary);
    // The splice is one no decoder tells from a photo.
    const QString splicedpath = dir.filePath(QStringLiteral("spliced.jpg"));
    ASSERT_TRUE(writefile(splicedpath, spliced));
    ASSERT_TRUE(runtool(QStringLiteral("djpeg"), {QStringLiteral("-outfile"), QStringLiteral("/dev/null"), splicedpath}))
        << lasterror();
    ASSERT_EQ(verdictof(spliced, QStringLiteral("x.jpg"), cluster), verify::verdict::verified);
    // A restart photo whose markers all end away from cluster boundaries
    // is still proven whole.
    bool clear = true;
    for (const qsizetype end : restartends(a))
        clear = clear && end % cluster > 2;
    ASSERT_TRUE(clear) << "the control photo has a marker at a cluster boundary";

    CARD card;
    ASSERT_TRUE(card.make(dir.path(), {spliced, a})) << lasterror();
    const CommandOutcome list = kovrecover({QStringLiteral("--list"), QStringLiteral("--json"), QStringLiteral("--carve"),
                                            QStringLiteral("--verify"), card.image});
    ASSERT_EQ(list.status, 0) << list.err.toStdString();
    const std::map<qint64, QJsonObject> records = carvedrecords(list.out);
    ASSERT_EQ(records.size(), 2u) << list.out.toStdString();
    const auto& [splicestart, splicerecord] = *records.begin();
    EXPECT_EQ(splicestart, card.placed.begin()->first);
    EXPECT_EQ(splicerecord[QStringLiteral("size")].toInteger(), spliced.size());
    EXPECT_EQ(splicerecord[QStringLiteral("verdict")].toString().toStdString(), "plausible");
    EXPECT_EQ(records.rbegin()->second[QStringLiteral("verdict")].toString().toStdString(), "verified");
}

// A photo whose Exif thumbnail holds a cluster of another photo's (512-byte
// clusters): the main image still decodes; the thumbnail does not.
TEST(CarveSplice, PhotoWithAForeignClusterInItsThumbnailIsNotCalledVerified)
{
    QTemporaryDir dir;
    const QByteArray photo = formatfile(QStringLiteral("exifjpg"), dir.path(), 1);
    const QByteArray other = formatfile(QStringLiteral("exifjpg"), dir.path(), 2);
    if (photo.isNull() || other.isNull())
        KOV_SKIP() << "needs ImageMagick: " << lasterror();
    const qsizetype thumbnail = photo.indexOf("\xFF\xD8", 2);
    ASSERT_GT(thumbnail, 0);
    const qsizetype at = (thumbnail / 512 + 2) * 512;
    QByteArray spliced = photo;
    spliced.replace(at, 512, other.mid(at, 512));
    ASSERT_NE(spliced, photo);
    ASSERT_EQ(verdictof(spliced, QStringLiteral("x.jpg"), 512), verify::verdict::verified);
    EXPECT_EQ(verify::carvedverdict(verify::family::jpeg, view(spliced), 512), verify::verdict::plausible);
    EXPECT_EQ(verify::carvedverdict(verify::family::jpeg, view(photo), 512), verify::verdict::verified);
}

// A file carved from its first cluster on with two clusters of another
// file of its kind inside it and its own last two clusters gone: its size
// fields and chunk sizes still hold.
class CarveFragmented : public ::testing::TestWithParam<const char*> {};

TEST_P(CarveFragmented, ForeignClustersInsideLeaveItPlausibleNotVerified)
{
    QTemporaryDir dir;
    const QString kind = QString::fromLatin1(GetParam());
    const QByteArray file = formatfile(kind, dir.path(), 1);
    const QByteArray other = formatfile(kind, dir.path(), 2);
    if (file.isNull() || other.isNull())
        KOV_SKIP() << "cannot make a " << GetParam() << " file: " << lasterror();
    const QByteArray fragmented = withforeignclusters(file, other, 3, cluster);
    ASSERT_FALSE(fragmented.isNull()) << "the file is shorter than six clusters";
    ASSERT_EQ(verdictof(fragmented, QStringLiteral("x.") + kind, cluster), verify::verdict::verified);

    CARD card;
    ASSERT_TRUE(card.make(dir.path(), {fragmented})) << lasterror();
    const CommandOutcome list = kovrecover({QStringLiteral("--list"), QStringLiteral("--json"), QStringLiteral("--carve"),
                                            QStringLiteral("--verify"), card.image});
    ASSERT_EQ(list.status, 0) << list.err.toStdString();
    const std::map<qint64, QJsonObject> records = carvedrecords(list.out);
    ASSERT_EQ(records.size(), 1u) << list.out.toStdString();
    EXPECT_EQ(records.begin()->second[QStringLiteral("verdict")].toString().toStdString(), "plausible");

    // Saved where carved files go, and said so in the summaries.
    const QString out = dir.filePath(QStringLiteral("out"));
    const CommandOutcome run = kovrecover({QStringLiteral("--carve"), QStringLiteral("--verify"), card.image, out});
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    const std::map<QString, QByteArray> saved = filetree(out);
    ASSERT_EQ(saved.size(), 1u) << run.err.toStdString();
    EXPECT_EQ(saved.begin()->first, QStringLiteral("lost/carved/%1/f%2.%1").arg(kind).arg(card.placed.begin()->first, 7, 10,
                                                                                         QLatin1Char('0')));
    EXPECT_TRUE(saved.begin()->second == fragmented);
    EXPECT_TRUE(run.err.contains("1 files carved (1 plausible")) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains("0 verified, 0 unchecked, 0 damaged, 1 plausible")) << run.err.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Formats, CarveFragmented, ::testing::Values("bmp", "wav"));

// A photo with a ZIP appended (cat photo.jpg archive.zip): the archive's
// offsets count from its own first byte, and its end record closes it.
TEST(CarvePolyglot, PhotoWithAZipAppendedIsCarvedWhole)
{
    QTemporaryDir dir;
    const QByteArray photo = formatfile(QStringLiteral("jpg"), dir.path(), 3);
    const QByteArray archive = formatfile(QStringLiteral("zip"), dir.path(), 3);
    if (photo.isNull() || archive.isNull())
        KOV_SKIP() << "needs ImageMagick and zip: " << lasterror();
    const QByteArray polyglot = photo + archive;
    ASSERT_NE(photo.size() % cluster, 0);
    // A file found through its entry is whole too; a cut archive is not.
    EXPECT_EQ(verdictof(polyglot, QStringLiteral("x.jpg"), cluster), verify::verdict::verified);
    EXPECT_EQ(verdictof(polyglot.left(polyglot.size() - 30), QStringLiteral("x.jpg"), cluster),
              verify::verdict::damaged);
    const verify::EXTENT end = verify::extent(verify::family::jpeg, view(polyglot + QByteArray(3 * cluster, '\0')), cluster);
    EXPECT_EQ(end.end, std::size_t(polyglot.size()));

    // The second one's archive lost its end: its photo is saved alone, and
    // the summary says what was left out.
    const QByteArray second = formatfile(QStringLiteral("jpg"), dir.path(), 4);
    ASSERT_FALSE(second.isNull()) << lasterror();
    CARD card;
    ASSERT_TRUE(card.make(dir.path(), {polyglot, second + archive.left(archive.size() - 100)})) << lasterror();
    const QString out = dir.filePath(QStringLiteral("out"));
    const CommandOutcome run = kovrecover({QStringLiteral("--carve"), QStringLiteral("--verify"), card.image, out});
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    const std::map<QString, QByteArray> saved = filetree(out);
    ASSERT_EQ(saved.size(), 2u) << run.err.toStdString();
    EXPECT_EQ(saved.begin()->second.size(), polyglot.size()) << saved.begin()->first.toStdString();
    EXPECT_TRUE(saved.begin()->second == polyglot);
    EXPECT_TRUE(saved.rbegin()->second == second);
    EXPECT_TRUE(run.err.contains("2 verified, 0 unchecked, 0 damaged")) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains("1 saved without the ZIP archive that follows them")) << run.err.toStdString();
}

}  // namespace
