// Photos written in pieces into the holes of a thinned-out card, deleted,
// their entries blanked: only carving can find them, pieced together from
// the clusters after each break, and only where restart markers number on
// across every splice. The card is bench/fragmented-card.py's, small.
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
    QFile f(image);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    const QByteArray boot = f.read(512);
    ASSERT_EQ(boot.size(), 512);
    const std::uint32_t heap = qFromLittleEndian<quint32>(boot.constData() + 88);
    const std::uint64_t clusterbytes = 1ull << (boot[108] + boot[109]);
    ASSERT_EQ(clusterbytes, cs);
    // Past the bitmap, the up-case table and the root (clusters 2 to 4).
    ASSERT_TRUE(f.seek(qint64(heap) * 512 + 6ll * cs));
    ASSERT_EQ(f.write(photo), photo.size());
    f.close();

    const long long peak = peakrss({QStringLiteral("--deep"), QStringLiteral("--carve"), QStringLiteral("--verify"),
                                    image, tmp.filePath(QStringLiteral("out"))});
    ASSERT_GT(peak, 0) << "kov-recover failed";
    EXPECT_LT(peak, 1ll << 30);
}

}  // namespace
