// Photos written in pieces into the holes of a thinned-out card, then
// deleted (and, after "delete all", every small file too): with --verify
// the files that prove themselves claim their clusters and the photos are
// rebuilt around them. The card is bench/fragmented-card.py's, small.
#include "support/cardimage.h"
#include "support/kovrecoverrun.h"
#include "support/fatbuilder.h"
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

#include <string>
#include <tuple>

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

// (after "delete all", photos with restart markers)
class FragmentedCard : public ::testing::TestWithParam<std::tuple<bool, bool>> {};

TEST_P(FragmentedCard, PhotosComeBackExactAndNoSmallFileIsLost)
{
    const auto [deleteall, restart] = GetParam();
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString image = tmp.filePath(QStringLiteral("card.img"));
    const QString manifest = tmp.filePath(QStringLiteral("card.json"));
    QStringList args{QStringLiteral(KOV_BENCH_DIR "/fragmented-card.py"), QStringLiteral("make"), image, manifest,
                     QStringLiteral("--mib"), QStringLiteral("24"), QStringLiteral("--photos"), QStringLiteral("5"),
                     QStringLiteral("--photo-kib"), QStringLiteral("150-400")};
    if (deleteall)
        args << QStringLiteral("--delete-all");
    if (restart)
        args << QStringLiteral("--restart");
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

// Ten gzip files of two clusters each, nested: the heads of 1..9, then 10
// whole, then the tails of 9..1. File 10 proves itself in the walk; file n
// rebuilt from its start reads the head of n+1 in until n+1 has proved
// itself, so each round proves one more file, from the inside out, and the
// bound on the rounds decides how many come back.
TEST(FragmentedCard, RoundsAroundProvenFilesStopAtTheirBound)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString image = tmp.filePath(QStringLiteral("nested.img"));
    if (!makefat(image, 16, 16u << 20, 1))
        KOV_SKIP() << "needs mkfs.fat: " << lasterror();
    constexpr int files = 10;
    QList<QByteArray> gz;
    for (int n = 1; n <= files; ++n) {
        const QString raw = tmp.filePath(QStringLiteral("F%1").arg(n, 2, 10, QLatin1Char('0')));
        ASSERT_TRUE(writefile(raw, patterndata(620, std::uint32_t(n))));
        if (!runtool(QStringLiteral("gzip"), {QStringLiteral("-n"), raw}))
            KOV_SKIP() << "needs gzip: " << lasterror();
        gz.append(contents(raw + QStringLiteral(".gz")));
        ASSERT_GT(gz.back().size(), 512);
        ASSERT_LE(gz.back().size(), 1024);
        ASSERT_TRUE(mcopy(image, raw + QStringLiteral(".gz"), QStringLiteral("::/F%1.GZ").arg(n, 2, 10, QLatin1Char('0'))));
    }
    for (int n = 1; n <= files; ++n)
        ASSERT_TRUE(mdel(image, QStringLiteral("::/F%1.GZ").arg(n, 2, 10, QLatin1Char('0'))));

    const BootGeometry g = bootgeometry(image);
    ASSERT_EQ(g.clustersize, 512u);
    QFile img(image);
    ASSERT_TRUE(img.open(QIODevice::ReadWrite));
    const auto put = [&](std::uint32_t cluster, const QByteArray& bytes) {
        return img.seek(qint64(g.datastart + (cluster - 2) * g.clustersize)) && img.write(bytes) == bytes.size();
    };
    // Where each file's two clusters lie.
    const auto head = [](int n) { return std::uint32_t(1 + n); };
    const auto tail = [](int n) { return n == files ? std::uint32_t(2 + files) : std::uint32_t(2 + 2 * files - n); };
    for (int n = 1; n <= files; ++n) {
        ASSERT_TRUE(put(head(n), gz[n - 1].left(512)));
        ASSERT_TRUE(put(tail(n), gz[n - 1].mid(512).leftJustified(512, '\0')));
    }
    // The root's deleted entries point at the heads.
    const std::uint64_t root = g.fatstart + 2 * g.fatbytes;
    ASSERT_TRUE(img.seek(qint64(root)));
    QByteArray dir = img.read(qint64(g.datastart - root));
    int pointed = 0;
    for (qsizetype at = 0; at + 32 <= dir.size(); at += 32) {
        if (uchar(dir[at]) != 0xE5 || dir.mid(at + 3, 8) != QByteArray("     GZ "))
            continue;
        const int n = dir.mid(at + 1, 2).toInt();
        ASSERT_TRUE(n >= 1 && n <= files);
        put16(reinterpret_cast<unsigned char*>(dir.data()) + at + 26, std::uint16_t(head(n)));
        ++pointed;
    }
    ASSERT_EQ(pointed, files);
    ASSERT_TRUE(img.seek(qint64(root)) && img.write(dir) == dir.size());
    img.close();

    const QString out = tmp.filePath(QStringLiteral("out"));
    const CommandOutcome run = kovrecover({QStringLiteral("--verify"), image, out});
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    const QRegularExpressionMatch said =
        QRegularExpression(QStringLiteral(" (\\d+) files rebuilt around proven files")).match(QString::fromUtf8(run.err));
    ASSERT_TRUE(said.hasMatch()) << run.err.toStdString();
    constexpr int rounds = 8;
    EXPECT_EQ(said.captured(1).toInt(), rounds);
    QSet<QByteArray> outside;
    const QMap<QString, QByteArray> got = digests(out);
    for (auto it = got.begin(); it != got.end(); ++it)
        if (!it.key().startsWith(QLatin1String("damaged/")))
            outside.insert(it.value());
    for (int n = 1; n <= files; ++n) {
        const QByteArray want = QCryptographicHash::hash(gz[n - 1], QCryptographicHash::Sha256).toHex();
        EXPECT_EQ(outside.contains(want), n >= files - rounds) << "file " << n;
    }
}

INSTANTIATE_TEST_SUITE_P(Cards, FragmentedCard, ::testing::Combine(::testing::Bool(), ::testing::Bool()),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param) ? "DeleteAll" : "PhotosDeleted") +
                                    (std::get<1>(info.param) ? "Restart" : "");
                         });

}  // namespace
