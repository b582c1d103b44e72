// kov-recover --deep --carve on a photographer's card made with mkfs.fat
// and mtools: full-size RAW files of CR2, NEF and DNG structure with their
// JPEGs, and a camcorder stream (GStreamer's M2TS), quick-formatted and
// shot on again.
#include "support/formatfiles.h"
#include "support/kovrecoverrun.h"
#include "support/mtoolsimage.h"
#include "support/rawfile.h"
#include "support/skip.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimeZone>
#include <gtest/gtest.h>

#include <map>

using namespace testsupport;

namespace {

// The card quick-formatted with nothing written after, then carved: the
// files carving gave back by path. Empty (with a failure) when a step fails.
std::map<QString, QByteArray> quickformatandcarve(const QString& image, const QString& out)
{
    if (!runtool(QStringLiteral("mkfs.fat"),
                 {QStringLiteral("-F"), QStringLiteral("32"), QStringLiteral("-s"), QStringLiteral("8"), image})) {
        ADD_FAILURE() << lasterror();
        return {};
    }
    const CommandOutcome run = kovrecover({QStringLiteral("--carve"), image, out});
    EXPECT_EQ(run.status, 0) << run.err.toStdString();
    return filetree(out);
}

TEST(PhotographersCard, EveryIntactRawJpegAndStreamComesBackAndPairsShareAName)
{
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("card.img"));
    const QString local = dir.filePath(QStringLiteral("local"));
    ASSERT_TRUE(makefat(image, 32, 320u << 20, 8)) << lasterror();
    ASSERT_TRUE(mmd(image, QStringLiteral("DCIM"))) << lasterror();
    ASSERT_TRUE(mmd(image, QStringLiteral("DCIM/100CAMRA"))) << lasterror();
    // Its folder among the first clusters, which the new shot takes; the stream at the end.
    ASSERT_TRUE(mmd(image, QStringLiteral("PRIVATE"))) << lasterror();
    std::map<QByteArray, QString> old;  // bytes -> name on the card
    std::map<QByteArray, int> seedof;
    const char* kinds[] = {"cr2", "nef", "dng", "cr2", "nef", "dng"};
    for (int i = 0; i < 6; ++i) {
        const RAWSHOT shot = rawshot(QLatin1String(kinds[i]), dir.path(), i + 1, (8u << 20) + (std::uint32_t(i) << 19));
        if (shot.raw.isNull())
            KOV_SKIP() << "cannot make a " << kinds[i] << " file: " << lasterror();
        for (const auto& [bytes, ext] : {std::pair{shot.raw, QString::fromLatin1(kinds[i]).toUpper()},
                                         std::pair{shot.jpeg, QStringLiteral("JPG")}}) {
            const QString name = QStringLiteral("IMG_%1.%2").arg(i + 1, 4, 10, QLatin1Char('0')).arg(ext);
            ASSERT_TRUE(writefile(local, bytes));
            ASSERT_TRUE(mcopy(image, local, QStringLiteral("DCIM/100CAMRA/") + name)) << lasterror();
            old[bytes] = name;
            seedof[bytes] = i + 1;
        }
    }
    const QString stream = dir.filePath(QStringLiteral("clip.mts"));
    if (!runtool(QStringLiteral("gst-launch-1.0"),
                 {QStringLiteral("-q"), QStringLiteral("audiotestsrc"), QStringLiteral("num-buffers=3000"),
                  QStringLiteral("!"), QStringLiteral("lamemp3enc"), QStringLiteral("!"), QStringLiteral("mpegaudioparse"),
                  QStringLiteral("!"), QStringLiteral("mpegtsmux"),
                  QStringLiteral("m2ts-mode=true"), QStringLiteral("!"), QStringLiteral("filesink"),
                  QStringLiteral("location=") + stream}))
        KOV_SKIP() << "cannot make an M2TS stream: " << lasterror();
    ASSERT_TRUE(mcopy(image, stream, QStringLiteral("PRIVATE/00000.MTS"))) << lasterror();
    old[contents(stream)] = QStringLiteral("00000.MTS");

    // Quick-formatted and shot on: a new pair over the first old files.
    ASSERT_TRUE(runtool(QStringLiteral("mkfs.fat"), {QStringLiteral("-F"), QStringLiteral("32"), QStringLiteral("-s"),
                                                     QStringLiteral("8"), image}))
        << lasterror();
    ASSERT_TRUE(mmd(image, QStringLiteral("DCIM"))) << lasterror();
    const RAWSHOT fresh = rawshot(QStringLiteral("cr2"), dir.path(), 40, 9u << 20);
    ASSERT_FALSE(fresh.raw.isNull()) << lasterror();
    ASSERT_TRUE(writefile(local, fresh.raw));
    ASSERT_TRUE(mcopy(image, local, QStringLiteral("DCIM/IMG_0040.CR2"))) << lasterror();
    ASSERT_TRUE(writefile(local, fresh.jpeg));
    ASSERT_TRUE(mcopy(image, local, QStringLiteral("DCIM/IMG_0040.JPG"))) << lasterror();

    // Intact: still whole from the first byte of a cluster.
    const QByteArray card = contents(image);
    const qint64 data = card.indexOf(fresh.raw);
    ASSERT_GT(data, 0);
    std::map<QByteArray, QString> intact;
    for (const auto& [bytes, name] : old)
        for (qint64 at = card.indexOf(bytes, data); at >= 0; at = card.indexOf(bytes, at + 1))
            if ((at - data) % 4096 == 0) {
                intact[bytes] = name;
                break;
            }
    ASSERT_TRUE(intact.count(contents(stream))) << "the stream was overwritten";
    ASSERT_LT(intact.size(), old.size()) << "the new pair overwrote no old file";
    ASSERT_GE(intact.size(), old.size() - 3);

    const QString out = dir.filePath(QStringLiteral("out"));
    const CommandOutcome run = kovrecover({QStringLiteral("--deep"), QStringLiteral("--carve"), image, out});
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    std::map<QByteArray, QString> carved;  // bytes -> path in the output
    for (const auto& [path, bytes] : filetree(out))
        if (path.startsWith(QLatin1String("lost/carved/"))) {
            EXPECT_TRUE(old.count(bytes)) << path.toStdString() << ": carved bytes that no old file had";
            carved[bytes] = path;
        }
    for (const auto& [bytes, name] : intact) {
        ASSERT_TRUE(carved.count(bytes)) << name.toStdString() << " not back byte for byte";
        const QString path = carved.at(bytes);
        const QString ext = QFileInfo(name).suffix().toLower();
        EXPECT_EQ(QFileInfo(path).suffix(), ext == QLatin1String("jpg") ? QStringLiteral("jpg") : ext) << path.toStdString();
        if (!seedof.count(bytes))
            continue;
        // The photo's time, and its other half beside it under the same name.
        const QDateTime taken =
            QDateTime(QDate(2021, 5, 1), QTime(10, 0), QTimeZone::utc()).addSecs(3 * seedof.at(bytes));
        EXPECT_EQ(QFileInfo(out + QLatin1Char('/') + path).lastModified().toUTC(), taken) << path.toStdString();
        for (const auto& [other, othername] : intact) {
            if (other == bytes || QFileInfo(othername).completeBaseName() != QFileInfo(name).completeBaseName())
                continue;
            EXPECT_EQ(QFileInfo(carved.at(other)).path() + QLatin1Char('/') + QFileInfo(carved.at(other)).completeBaseName(),
                          QFileInfo(path).path() + QLatin1Char('/') + QFileInfo(path).completeBaseName())
                    << name.toStdString() << " and " << othername.toStdString();
        }
    }
}

// Two shots of one second by one camera (a burst without sub-seconds in
// its EXIF), the first one's JPEG gone: the JPEG is the second shot's,
// written right after its RAW, and goes beside it, not beside the first.
TEST(PhotographersCard, AJpegPairsWithTheRawWrittenJustBeforeIt)
{
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("card.img"));
    const QString local = dir.filePath(QStringLiteral("local"));
    ASSERT_TRUE(makefat(image, 32, 320u << 20, 8)) << lasterror();
    const RAWSHOT first = rawshot(QStringLiteral("cr2"), dir.path(), 9, 2u << 20);
    const RAWSHOT second = rawshot(QStringLiteral("cr2"), dir.path(), 9, 3u << 20);
    if (first.raw.isNull() || second.raw.isNull())
        KOV_SKIP() << "cannot make a cr2 file: " << lasterror();
    int n = 0;
    for (const QByteArray& bytes : {first.raw, second.raw, second.jpeg}) {
        ASSERT_TRUE(writefile(local, bytes));
        ASSERT_TRUE(mcopy(image, local, QStringLiteral("IMG_%1.X").arg(++n))) << lasterror();
    }
    std::map<QByteArray, QString> carved;
    for (const auto& [path, bytes] : quickformatandcarve(image, dir.filePath(QStringLiteral("out"))))
        carved[bytes] = QFileInfo(path).path() + QLatin1Char('/') + QFileInfo(path).completeBaseName();
    ASSERT_TRUE(carved.count(first.raw) && carved.count(second.raw) && carved.count(second.jpeg));
    EXPECT_EQ(carved.at(second.jpeg).toStdString(), carved.at(second.raw).toStdString());
    EXPECT_NE(carved.at(first.raw).toStdString(), carved.at(second.raw).toStdString());
}

// A camera's JPEG with an Exif segment of the shot the CanonRaw.cr3 sample
// is (DateTimeOriginal, SubSecTimeOriginal, BodySerialNumber), and the
// sample: carved, the JPEG goes beside the CR3.
TEST(PhotographersCard, ACr3AndItsJpegShareAName)
{
    QFile sample(QFileInfo(QStringLiteral(__FILE__)).dir().filePath(QStringLiteral("data/camera/CanonRaw.cr3")));
    ASSERT_TRUE(sample.open(QIODevice::ReadOnly));
    const QByteArray cr3 = sample.readAll();
    QTemporaryDir dir;
    const QByteArray photo = formatfile(QStringLiteral("jpg"), dir.path(), 4);
    if (photo.isNull())
        KOV_SKIP() << "cannot make a JPEG: " << lasterror();
    const auto le = [](quint32 v, int n) {
        QByteArray b;
        for (int i = 0; i < n; ++i)
            b += char(v >> (8 * i) & 0xFF);
        return b;
    };
    // IFD0 naming the EXIF IFD at 26, whose values lie from 68 on.
    const QByteArray tiff = QByteArray("II*\0", 4) + le(8, 4) + le(1, 2) + le(0x8769, 2) + le(4, 2) + le(1, 4) + le(26, 4) +
                            le(0, 4) + le(3, 2) + le(0x9003, 2) + le(2, 2) + le(20, 4) + le(68, 4) + le(0x9291, 2) +
                            le(2, 2) + le(3, 4) + QByteArray("21\0\0", 4) + le(0xA431, 2) + le(2, 2) + le(13, 4) +
                            le(88, 4) + le(0, 4) + QByteArray("2018:02:21 12:08:56\0", 20) +
                            QByteArray("613040000565\0", 13);
    const QByteArray app1 = QByteArray("Exif\0\0", 6) + tiff;
    const QByteArray jpeg = photo.left(2) + "\xFF\xE1" + char((app1.size() + 2) >> 8) + char((app1.size() + 2) & 0xFF) +
                            app1 + photo.mid(2);
    const QString image = dir.filePath(QStringLiteral("card.img"));
    const QString local = dir.filePath(QStringLiteral("local"));
    ASSERT_TRUE(makefat(image, 32, 320u << 20, 8)) << lasterror();
    for (const auto& [bytes, name] : {std::pair{cr3, QStringLiteral("IMG_0001.CR3")}, std::pair{jpeg, QStringLiteral("IMG_0001.JPG")}}) {
        ASSERT_TRUE(writefile(local, bytes));
        ASSERT_TRUE(mcopy(image, local, name)) << lasterror();
    }
    std::map<QByteArray, QString> carved;
    for (const auto& [path, bytes] : quickformatandcarve(image, dir.filePath(QStringLiteral("out"))))
        carved[bytes] = path;
    ASSERT_TRUE(carved.count(cr3) && carved.count(jpeg));
    EXPECT_EQ(QFileInfo(carved.at(cr3)).suffix(), QStringLiteral("cr3"));
    EXPECT_EQ(QFileInfo(carved.at(jpeg)).completeBaseName().toStdString(),
              QFileInfo(carved.at(cr3)).completeBaseName().toStdString());
    EXPECT_EQ(QFileInfo(carved.at(jpeg)).path().toStdString(), QFileInfo(carved.at(cr3)).path().toStdString());
}

}  // namespace
