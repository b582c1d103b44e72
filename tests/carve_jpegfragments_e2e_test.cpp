// Photos written in pieces into the holes of a thinned-out card, deleted,
// their entries blanked: only carving can find them, pieced together from
// the clusters after each break, and only where restart markers number on
// across every splice. The card is bench/fragmented-card.py's, small. And
// what a search for pieces holds and reads, on exFAT cards with large clusters.
#include "support/carvecards.h"
#include "support/exfatimage.h"
#include "support/formatfiles.h"
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
#include <QtEndian>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

extern char** environ;

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

// Peak resident memory of one kov-recover run, in bytes; -1 when it did not
// exit with status 0.
long long peakrss(const QStringList& args)
{
    std::vector<std::string> words{KOV_RECOVER_BIN};
    for (const QString& a : args)
        words.push_back(a.toStdString());
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, argv[0], &quiet, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&quiet);
    int status = 0;
    rusage use{};
    if (spawned != 0 || wait4(pid, &status, 0, &use) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return use.ru_maxrss * 1024LL;
}

// data written from the start of exFAT cluster number cluster on, as the
// boot sector of image places it; false when image is no exFAT volume.
bool writecluster(const QString& image, std::uint32_t cluster, const QByteArray& data)
{
    QFile f(image);
    if (!f.open(QIODevice::ReadWrite))
        return false;
    const QByteArray boot = f.read(512);
    if (boot.size() != 512 || boot.mid(3, 8) != "EXFAT   ")
        return false;
    const qint64 heap = qint64(qFromLittleEndian<quint32>(boot.constData() + 88)) << boot[108];
    return f.seek(heap + (qint64(cluster - 2) << (boot[108] + boot[109]))) && f.write(data) == data.size();
}

// A JPEG whose decode fails, with 40 free clusters of 32 MiB after it: the
// search for its next piece reads a cluster at a time, and its headers are
// given up within the file's bound, where 32 clusters read ahead or every
// free cluster taken for headers would hold more than a gibibyte.
TEST(SplicedPhotosBounds, LargeClustersReadWithinTheFileBound)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString image = tmp.filePath(QStringLiteral("card.img"));
    constexpr std::uint32_t cs = 32u << 20;
    if (!makeexfat(image, 48ull * cs, cs))
        KOV_SKIP() << "needs mkfs.exfat: " << lasterror();
    QByteArray photo = formatfile(QStringLiteral("jpg"), tmp.path(), 7);
    if (photo.isNull())
        KOV_SKIP() << "needs ImageMagick: " << lasterror();
    // Foreign bytes over its middle: the EOI stays, the decode breaks.
    std::mt19937 noise(7);
    for (qsizetype i = photo.size() / 3; i < 2 * photo.size() / 3; ++i)
        photo[i] = char(noise());
    // Past the bitmap, the up-case table and the root (clusters 2 to 4).
    ASSERT_TRUE(writecluster(image, 8, photo));

    const long long peak = peakrss({QStringLiteral("--deep"), QStringLiteral("--carve"), QStringLiteral("--verify"),
                                    image, tmp.filePath(QStringLiteral("out"))});
    ASSERT_GT(peak, 0) << "kov-recover failed";
    EXPECT_LT(peak, 1ll << 30);
}

// Five photos with restart markers, each in two pieces: their first pieces
// side by side, their second ones 1,000 free clusters of 512 KiB on. Each
// search for a second piece reads about 500 MiB: what the pieced-together
// photos read beyond their own bytes counts against what carving may spend,
// so the last starts are not read on, where five searches would read all.
TEST(SplicedPhotosBounds, SearchesThatSucceedAreChargedWhatTheyRead)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString image = tmp.filePath(QStringLiteral("card.img"));
    constexpr std::uint32_t cs = 512u << 10;
    if (!makeexfat(image, 600ull << 20, cs))
        KOV_SKIP() << "needs mkfs.exfat: " << lasterror();
    constexpr int photos = 5;
    constexpr std::uint32_t gap = 1000;
    QSet<QByteArray> exact;
    for (int k = 0; k < photos; ++k) {
        const QByteArray photo = restartjpeg(tmp.path(), k + 1, 2400, 1800);
        if (photo.isNull())
            KOV_SKIP() << "needs ImageMagick and cjpeg: " << lasterror();
        ASSERT_TRUE(photo.size() > qsizetype(cs) && photo.size() <= 2 * qsizetype(cs)) << photo.size();
        ASSERT_TRUE(writecluster(image, 8 + k, photo.left(cs)));
        ASSERT_TRUE(writecluster(image, 8 + photos + gap + k, photo.mid(cs)));
        exact.insert(photo);
    }
    const QString out = tmp.filePath(QStringLiteral("out"));
    const CommandOutcome run =
        kovrecover({QStringLiteral("--deep"), QStringLiteral("--carve"), QStringLiteral("--verify"), image, out});
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    int back = 0;
    QDirIterator it(out, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile f(it.next());
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        const bool known = exact.contains(f.readAll());
        EXPECT_TRUE(known) << "equals no photo: " << f.fileName().toStdString();
        back += known;
    }
    EXPECT_GE(back, 1) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains("not read on past their first clusters")) << run.err.toStdString();
}

}  // namespace
