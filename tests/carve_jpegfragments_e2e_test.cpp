// Photos written in pieces into the holes of a thinned-out card, deleted,
// their entries blanked: only carving can find them, pieced together from
// the clusters after each break, and only where restart markers number on
// across every splice. The card is bench/fragmented-card.py's, small.
#include "support/kovrecoverrun.h"
#include "support/mtoolsimage.h"
#include "support/skip.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <string>

using namespace testsupport;

namespace {

QSet<QByteArray> values(const QJsonObject& o)
{
    QSet<QByteArray> s;
    for (auto it = o.begin(); it != o.end(); ++it)
        s.insert(it.value().toString().toLatin1());
    return s;
}

// (photos with restart markers)
class SplicedPhotos : public ::testing::TestWithParam<bool> {};

TEST_P(SplicedPhotos, ComeBackExactOnlyWhereRestartMarkersNumberOn)
{
    const bool restart = GetParam();
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString image = tmp.filePath(QStringLiteral("card.img"));
    const QString manifest = tmp.filePath(QStringLiteral("card.json"));
    QStringList args{QStringLiteral(KOV_BENCH_DIR "/fragmented-card.py"), QStringLiteral("make"), image, manifest,
                     QStringLiteral("--mib"), QStringLiteral("24"), QStringLiteral("--photos"), QStringLiteral("5"),
                     QStringLiteral("--photo-kib"), QStringLiteral("150-400"), QStringLiteral("--wipe-photo-entries")};
    if (restart)
        args << QStringLiteral("--restart");
    if (!runtool(QStringLiteral("python3"), args))
        KOV_SKIP() << "needs python3, mtools, ImageMagick and jpegtran: " << lasterror();
    QFile m(manifest);
    ASSERT_TRUE(m.open(QIODevice::ReadOnly));
    const QJsonObject o = QJsonDocument::fromJson(m.readAll()).object();
    const QSet<QByteArray> photos = values(o[QStringLiteral("photos")].toObject());
    const QSet<QByteArray> all =
        photos + values(o[QStringLiteral("deleted")].toObject()) + values(o[QStringLiteral("live")].toObject());
    ASSERT_EQ(photos.size(), 5);

    const QString out = tmp.filePath(QStringLiteral("out"));
    const CommandOutcome run =
        kovrecover({QStringLiteral("--deep"), QStringLiteral("--carve"), QStringLiteral("--verify"), image, out});
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    QSet<QByteArray> exact;
    QDirIterator it(out, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = path.mid(out.size() + 1);
        if (relative.startsWith(QLatin1String("damaged/")))
            continue;
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        const QByteArray digest = QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256).toHex();
        EXPECT_TRUE(all.contains(digest)) << "equals no original: " << relative.toStdString();
        if (photos.contains(digest))
            exact.insert(digest);
    }
    EXPECT_EQ(exact, restart ? photos : QSet<QByteArray>());

    // The listing names the pieces of each spliced photo; without restart
    // markers nothing carved has more than one run.
    const CommandOutcome list = kovrecover({QStringLiteral("--list"), QStringLiteral("--json"),
                                            QStringLiteral("--deep"), QStringLiteral("--carve"),
                                            QStringLiteral("--verify"), image});
    ASSERT_EQ(list.status, 0) << list.err.toStdString();
    int spliced = 0;
    for (const QByteArray& line : list.out.split('\n')) {
        const QJsonObject r = QJsonDocument::fromJson(line).object();
        if (r[QStringLiteral("type")].toString() != QLatin1String("jpg") ||
            r[QStringLiteral("runs")].toArray().size() < 2)
            continue;
        EXPECT_EQ(r[QStringLiteral("verdict")].toString(), QStringLiteral("verified"));
        ++spliced;
    }
    EXPECT_EQ(spliced, restart ? 5 : 0);
}

INSTANTIATE_TEST_SUITE_P(Cards, SplicedPhotos, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "Restart" : "NoRestart"); });

}  // namespace
