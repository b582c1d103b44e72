// Photos written in pieces into the holes of a thinned-out card, then
// deleted (and, after "delete all", every small file too): with --verify
// the files that prove themselves claim their clusters and the photos are
// rebuilt around them. The card is bench/fragmented-card.py's, small.
#include "support/kovrecoverrun.h"
#include "support/mtoolsimage.h"
#include "support/skip.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace testsupport;

namespace {

struct CARD {
    QSet<QByteArray> photos, deleted, all;  // SHA-256 in hex
};

// Output path below dir -> SHA-256 in hex.
QMap<QString, QByteArray> digests(const QString& dir)
{
    QMap<QString, QByteArray> out;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile f(path);
        if (f.open(QIODevice::ReadOnly))
            out.insert(path.mid(dir.size() + 1),
                       QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256).toHex());
    }
    return out;
}

QSet<QByteArray> values(const QJsonObject& o)
{
    QSet<QByteArray> s;
    for (auto it = o.begin(); it != o.end(); ++it)
        s.insert(it.value().toString().toLatin1());
    return s;
}

class FragmentedCard : public ::testing::TestWithParam<bool> {};

TEST_P(FragmentedCard, PhotosComeBackExactAndNoSmallFileIsLost)
{
    const bool deleteall = GetParam();
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString image = tmp.filePath(QStringLiteral("card.img"));
    const QString manifest = tmp.filePath(QStringLiteral("card.json"));
    QStringList args{QStringLiteral(KOV_BENCH_DIR "/fragmented-card.py"), QStringLiteral("make"), image, manifest,
                     QStringLiteral("--mib"), QStringLiteral("24"), QStringLiteral("--photos"), QStringLiteral("5"),
                     QStringLiteral("--photo-kib"), QStringLiteral("150-400")};
    if (deleteall)
        args << QStringLiteral("--delete-all");
    if (!runtool(QStringLiteral("python3"), args))
        KOV_SKIP() << "needs python3, mtools and ImageMagick: " << lasterror();
    QFile m(manifest);
    ASSERT_TRUE(m.open(QIODevice::ReadOnly));
    const QJsonObject o = QJsonDocument::fromJson(m.readAll()).object();
    CARD card{values(o[QStringLiteral("photos")].toObject()), values(o[QStringLiteral("deleted")].toObject()), {}};
    card.all = card.photos + card.deleted + values(o[QStringLiteral("live")].toObject());
    ASSERT_EQ(card.photos.size(), 5);

    const auto exact = [](const QMap<QString, QByteArray>& files, const QSet<QByteArray>& of, bool outsidedamaged) {
        QSet<QByteArray> got;
        for (auto it = files.begin(); it != files.end(); ++it)
            if (of.contains(it.value()) && (!outsidedamaged || !it.key().startsWith(QLatin1String("damaged/"))))
                got.insert(it.value());
        return got;
    };
    const QString plainout = tmp.filePath(QStringLiteral("plain"));
    const CommandOutcome plain = kovrecover({image, plainout});
    ASSERT_EQ(plain.status, 0) << plain.err.toStdString();
    const QMap<QString, QByteArray> plainfiles = digests(plainout);
    // The walk's rule alone: a photo rebuilt from its start runs into a
    // live cluster (dropped) or reads the other deleted files in.
    EXPECT_LT(exact(plainfiles, card.photos, false).size(), 5);

    for (const QStringList& options : {QStringList{QStringLiteral("--verify")},
                                       QStringList{QStringLiteral("--deep"), QStringLiteral("--carve"),
                                                   QStringLiteral("--verify")}}) {
        SCOPED_TRACE(options.join(QLatin1Char(' ')).toStdString());
        const QString out = tmp.filePath(options.join(QString()));
        const CommandOutcome run = kovrecover(QStringList(options) << image << out);
        ASSERT_EQ(run.status, 0) << run.err.toStdString();
        const QMap<QString, QByteArray> files = digests(out);
        EXPECT_EQ(exact(files, card.photos, true), card.photos);
        EXPECT_TRUE(exact(files, card.deleted, false).contains(exact(plainfiles, card.deleted, false)));
        const QRegularExpression rebuilt(QStringLiteral(" (\\d+) files rebuilt around proven files"));
        const QRegularExpressionMatch said = rebuilt.match(QString::fromUtf8(run.err));
        ASSERT_TRUE(said.hasMatch()) << run.err.toStdString();
        EXPECT_GT(said.captured(1).toInt(), 0);
        for (auto it = files.begin(); it != files.end(); ++it) {
            // Each photo once, under its own name: none that gave way left behind.
            if (it.key().contains(QLatin1String("kMG_"))) {
                EXPECT_TRUE(card.photos.contains(it.value()) && !it.key().contains(QLatin1Char('(')) &&
                            !it.key().startsWith(QLatin1String("damaged/")))
                    << it.key().toStdString();
            }
            if (!it.key().startsWith(QLatin1String("damaged/"))) {
                EXPECT_TRUE(card.all.contains(it.value())) << "equals no original: " << it.key().toStdString();
            }
        }
    }

    // The listing names the rebuilt photos and their runs.
    const CommandOutcome list = kovrecover({QStringLiteral("--list"), QStringLiteral("--json"),
                                            QStringLiteral("--verify"), image});
    ASSERT_EQ(list.status, 0) << list.err.toStdString();
    int rebuiltphotos = 0;
    for (const QByteArray& line : list.out.split('\n')) {
        const QJsonObject r = QJsonDocument::fromJson(line).object();
        if (r[QStringLiteral("rebuiltaround")].toBool()) {
            EXPECT_TRUE(r[QStringLiteral("name")].toString().startsWith(QLatin1String("kMG_")));
            EXPECT_EQ(r[QStringLiteral("verdict")].toString(), QStringLiteral("verified"));
            EXPECT_GT(r[QStringLiteral("runs")].toArray().size(), 1);
            ++rebuiltphotos;
        }
    }
    EXPECT_GT(rebuiltphotos, 0);
}

INSTANTIATE_TEST_SUITE_P(Cards, FragmentedCard, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "DeleteAll" : "PhotosDeleted"; });

}  // namespace
