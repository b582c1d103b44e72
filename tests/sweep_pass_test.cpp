// One sequential pass over the source for the deep run: the blocks cover it
// in order whatever its size, holes are not read, clusters that straddle
// two blocks are put together, the source is read once, and the files are
// the same as when each phase reads on its own (KOV_SWEEP=0).
#include "support/badblockdevice.h"
#include "support/cardimage.h"
#include "support/exfatimage.h"
#include "support/formatfiles.h"
#include "support/kovrecoverrun.h"
#include "support/mtoolsimage.h"
#include "support/skip.h"
#include "support/tmpfs.h"
#include "sweep/clusterfeed.h"
#include "sweep/sweep.h"

#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;

namespace {

// Every byte a sweep hands out, at its position.
class COPYING : public SWEEPVISITOR {
public:
    QByteArray seen;
    std::uint64_t holes = 0;
    void block(const SWEEPBLOCK& b) override
    {
        EXPECT_EQ(b.at, std::uint64_t(seen.size()));
        seen.append(reinterpret_cast<const char*>(b.bytes), qsizetype(b.n));
    }
    void hole(std::uint64_t at, std::uint64_t n) override
    {
        EXPECT_EQ(at, std::uint64_t(seen.size()));
        seen.append(qsizetype(n), '\0');
        holes += n;
    }
};

struct Swept {
    COPYING copy;
    std::uint64_t read = 0;
    std::map<std::uint64_t, QByteArray> clusters;
};

// Sweeps file whole, with a cluster feed of clusters of size bytes from
// first on, the odd ones eligible.
void sweepfile(const QString& file, std::uint64_t first, std::uint64_t size, Swept* s)
{
    const platform::volhandle h = platform::openpath(file);
    ASSERT_NE(h, platform::invalidhandle());
    const std::uint64_t bytes = std::uint64_t(QFileInfo(file).size());
    CLUSTERFEED feed(
        first, size, (bytes - first) / size, [](std::uint64_t lcn) { return lcn % 2 == 1; },
        [&](std::uint64_t lcn, const unsigned char* c) {
            s->clusters[lcn] = QByteArray(reinterpret_cast<const char*>(c), qsizetype(size));
        });
    SWEEP sweep(h, bytes);
    sweep.add(&s->copy);
    sweep.add(&feed);
    int steps = 0;
    while (sweep.step())
        ++steps;
    EXPECT_GT(steps, 1) << "one block a step";
    s->read = sweep.bytesread();
    EXPECT_EQ(sweep.holebytes(), s->copy.holes);
    platform::closesource(h);
}

QByteArray envrun(const QStringList& args, const QString& key, const QString& value, int* status,
                  const QString& key2 = {}, const QString& value2 = {})
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(key, value);
    if (!key2.isEmpty())
        env.insert(key2, value2);
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(KOV_RECOVER_BIN), args);
    p.waitForFinished(300000);
    *status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return p.readAllStandardError();
}

bool hasstrace() { return !QStandardPaths::findExecutable(QStringLiteral("strace")).isEmpty(); }

// The bytes kov-recover args image out pread from image (strace, which
// hasstrace()), with env set; false when the run fails.
bool tracedbytes(const QStringList& args, const QString& image, const QString& out,
                 const std::pair<QString, QString>& env, std::uint64_t* bytes)
{
    const QString strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
    QProcess p;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    // LeakSanitizer cannot run under ptrace: without this a sanitizer build
    // fails every traced run.
    e.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
    if (!env.first.isEmpty())
        e.insert(env.first, env.second);
    p.setProcessEnvironment(e);
    const QString log = out + ".strace";
    p.start(strace, QStringList{"-f", "-y", "-e", "trace=pread64", "-o", log, KOV_RECOVER_BIN} + args +
                        QStringList{image, out});
    if (!p.waitForFinished(300000) || p.exitCode() != 0)
        return false;
    const QString name = QFileInfo(image).fileName();
    *bytes = 0;
    const QRegularExpression read(QStringLiteral("pread64\\(\\d+<([^>]*)>.*= (\\d+)$"));
    for (const QByteArray& line : contents(log).split('\n'))
        if (const auto r = read.match(QString::fromUtf8(line)); r.hasMatch() && r.captured(1).endsWith(name))
            *bytes += r.captured(2).toULongLong();
    QFile::remove(log);
    return true;
}

// A FAT32 card with a document tree, photos and real files of carved
// formats (formatted: one of them 20 MiB), some deleted, then formatted over (reformat: with twice the
// cluster size) and written on; zeroed: its system area gone too. exfat:
// an exFAT card of folders and photos quick-formatted and written on.
enum class Card { formatted, reformatted, zeroed, exfat };

// *why set when the machine cannot mount exFAT.
bool makeexfatcard(const QString& image, const QString& work, std::string* why)
{
    if (!makeexfat(image, 48ull << 20, 4096))
        return false;
    {
        ExfatMount m(image);
        if (!m.ok()) {
            *why = m.why().toStdString();
            return true;
        }
        if (!m.mkdir("DCIM") || !m.mkdir("DOCS") || !m.mkdir("DOCS/2020"))
            return false;
        for (int k = 0; k < 6; ++k) {
            const QByteArray photo = formatfile(QStringLiteral("jpg"), work, 20 + k);
            if (photo.isNull() || !m.write(QStringLiteral("DCIM/IMG_%1.JPG").arg(k), photo) ||
                !m.write(QStringLiteral("DOCS/2020/note%1.txt").arg(k), patterndata(9000 + 700 * k, k)))
                return false;
        }
        if (!m.remove("DCIM/IMG_2.JPG") || !m.unmount())
            return false;
    }
    if (!makeexfat(image, 48ull << 20, 4096))
        return false;
    ExfatMount m(image);
    return m.ok() && m.write("NEW.TXT", patterndata(5000, 77)) && m.unmount();
}

bool makeformattedcard(const QString& image, const QString& work, Card kind, std::string* why)
{
    if (kind == Card::exfat)
        return makeexfatcard(image, work, why);
    QList<CardFile> files;
    if (!makecard(image, 32, 72ull << 20, 1, 60, &files))
        return false;
    int seed = 3;
    for (const QString& type : {QStringLiteral("jpg"), QStringLiteral("png"), QStringLiteral("zip")}) {
        const QByteArray data = formatfile(type, work, seed++);
        const QString local = work + QStringLiteral("/f.") + type;
        if (data.isNull() || !writefile(local, data) ||
            !mcopy(image, local, QStringLiteral("::/OLD%1.%2").arg(seed).arg(type)))
            return false;
    }
    if (kind == Card::formatted) {
        // Past carving's first read from its start: its walk and its saving
        // are served from the spool too.
        const QString big = work + "/big.bin", zip = work + "/big.zip";
        if (!writefile(big, patterndata(20u << 20, 5)) ||
            !runtool(QStringLiteral("zip"), {"-q", "-0", "-j", zip, big}) || !mcopy(image, zip, "::/OLDBIG.ZIP"))
            return false;
    }
    if (kind == Card::zeroed)
        return overwrite(image, 0, bootgeometry(image).datastart);
    const QString spc = kind == Card::reformatted ? QStringLiteral("2") : QStringLiteral("1");
    if (!runtool(QStringLiteral("mkfs.fat"), {"-F", "32", "-s", spc, "-i", "1234ABCE", image}))
        return false;
    const QByteArray shot = formatfile(QStringLiteral("jpg"), work, 99);
    return !shot.isNull() && writefile(work + "/new.jpg", shot) && mcopy(image, work + "/new.jpg", "::/NEW.JPG");
}

// The run's options: the deep scan, with carving, or carving alone.
enum class Run { deep, carved, carvedonly };

class SweepCards : public ::testing::TestWithParam<std::tuple<Card, Run>> {
protected:
    QTemporaryDir tmp;
};

}  // namespace

// A source of two blocks and 700 bytes (no whole last sector): every byte
// handed out once at its place, and clusters that cross a block's end
// (from byte 1536 on) put together.
TEST(SweepPass, CoversASourceOfAnyLengthInOrderWithClustersAcrossBlocks)
{
    QTemporaryDir tmp;
    const QString file = tmp.filePath("odd.img");
    const QByteArray data = patterndata(2 * SWEEP::blockbytes + 700, 7);
    ASSERT_TRUE(writefile(file, data));
    Swept s;
    sweepfile(file, 1536, 64 << 10, &s);
    EXPECT_EQ(s.copy.seen, data);
    EXPECT_EQ(s.read, std::uint64_t(data.size()));
    const std::uint64_t count = (std::uint64_t(data.size()) - 1536) / (64 << 10);
    ASSERT_EQ(s.clusters.size(), std::size_t(count / 2));
    for (const auto& [lcn, bytes] : s.clusters) {
        EXPECT_EQ(lcn % 2, 1u);
        EXPECT_EQ(bytes, data.mid(qsizetype(1536 + lcn * (64 << 10)), 64 << 10)) << "cluster " << lcn;
    }
}

// A sparse image with data only near its end: the holes are not read, yet
// every byte (zeros in the holes) is handed out in place.
TEST(SweepPass, PassesOverTheHolesOfASparseImage)
{
    QTemporaryDir tmp;
    const QString file = tmp.filePath("sparse.img");
    const std::uint64_t size = 64ull << 20, at = size - (3 << 20) + 4096;
    const QByteArray tail = patterndata(1 << 20, 9);
    {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_TRUE(f.resize(qint64(size)));
        ASSERT_TRUE(f.seek(qint64(at)));
        ASSERT_EQ(f.write(tail), tail.size());
    }
    struct stat st;
    ASSERT_EQ(stat(QFile::encodeName(file).constData(), &st), 0);
    if (std::uint64_t(st.st_blocks) * 512 >= size / 2)
        GTEST_SKIP() << "the file system of " << tmp.path().toStdString() << " keeps no holes";
    Swept s;
    sweepfile(file, 0, 4096, &s);
    ASSERT_EQ(std::uint64_t(s.copy.seen.size()), size);
    EXPECT_EQ(s.copy.seen.mid(qsizetype(at), tail.size()), tail);
    EXPECT_EQ(s.copy.seen.left(qsizetype(at)), QByteArray(qsizetype(at), '\0'));
    EXPECT_EQ(s.copy.seen.mid(qsizetype(at) + tail.size()), QByteArray(qsizetype(size - at) - tail.size(), '\0'));
    EXPECT_LE(s.read, std::uint64_t(st.st_blocks) * 512);
    EXPECT_GE(s.read, std::uint64_t(tail.size()));
    // The data's clusters are looked at; those of the holes are not.
    for (const auto& [lcn, bytes] : s.clusters)
        EXPECT_TRUE(lcn * 4096 + 4096 > at && lcn * 4096 < at + tail.size()) << "cluster " << lcn;
    EXPECT_FALSE(s.clusters.empty());
}

// The files of a deep or carving run are the same with and without the
// sweep, and with it the sweep reads the card once (its counter), the
// whole run at most the card and what it saves and carves (strace's count
// of the bytes read from the image).
TEST_P(SweepCards, SameFilesAndTheCardReadOnce)
{
    const auto [kind, run] = GetParam();
    const QString image = tmp.filePath("card.img");
    std::string why;
    ASSERT_TRUE(makeformattedcard(image, tmp.path(), kind, &why)) << lasterror();
    if (!why.empty())
        GTEST_SKIP() << why;
    if (kind == Card::zeroed && run == Run::carvedonly)
        GTEST_SKIP() << "with its system area gone only the deep scan finds the volume";
    QStringList args;
    if (run != Run::carvedonly)
        args << "--deep";
    if (run != Run::deep)
        args << "--carve";
    int status = -1;
    envrun(args + QStringList{image, tmp.filePath("apart")}, "KOV_SWEEP", "0", &status);
    ASSERT_EQ(status, 0);
    const QByteArray err = envrun(args + QStringList{image, tmp.filePath("swept")}, "KOV_SWEEP_COUNTS", "1", &status);
    ASSERT_EQ(status, 0) << err.constData();
    const auto swept = filetree(tmp.filePath("swept"));
    EXPECT_EQ(swept, filetree(tmp.filePath("apart")));
    EXPECT_FALSE(swept.empty());
    const std::uint64_t size = std::uint64_t(QFileInfo(image).size());
    const QRegularExpressionMatch m =
        QRegularExpression(QStringLiteral("sweep: (\\d+) bytes read of (\\d+)")).match(QString::fromUtf8(err));
    ASSERT_TRUE(m.hasMatch()) << err.constData();
    EXPECT_EQ(m.captured(2).toULongLong(), size);
    EXPECT_LE(m.captured(1).toULongLong(), size);

    if (!hasstrace())
        GTEST_SKIP() << "no strace to count the bytes read";
    std::uint64_t unspooled = 0;
    ASSERT_TRUE(tracedbytes(args, image, tmp.filePath("unspooled"), {"KOV_SPOOL", "0"}, &unspooled));
    std::uint64_t fromimage = 0;
    ASSERT_TRUE(tracedbytes(args, image, tmp.filePath("traced"), {}, &fromimage));
    std::uint64_t saved = 0;
    for (const auto& [path, data] : swept)
        saved += std::uint64_t(data.size());
    EXPECT_EQ(filetree(tmp.filePath("traced")), swept);
    // Each phase reading on its own read the card two or three times over;
    // without the spool the lost files and carving's judging read again
    // what the sweep saw.
    EXPECT_LE(unspooled, size + 2 * saved + (8u << 20)) << "card " << size << ", saved " << saved;
    EXPECT_LE(fromimage, size + size / 10 + (1u << 20)) << "card " << size << ", without the spool " << unspooled;
    // A sparse card's data, its large file among it, read once: the
    // file's walk to its end and its saving are served from the spool.
    // Without its system area, the layout search before the run reads the
    // data once more, but no hole.
    const std::uint64_t data = m.captured(1).toULongLong();
    const std::uint64_t passes = kind == Card::formatted ? 1 : kind == Card::zeroed ? 2 : 0;
    if (passes != 0) {
        EXPECT_LE(fromimage, passes * data + data / 10 + (1u << 20)) << "data " << data << ", saved " << saved;
    }
    // The same reads, so what the spool served is what the card was no
    // longer asked for; and where the phases read again, it served.
    const QRegularExpressionMatch k =
        QRegularExpression(QStringLiteral("spool: (\\d+) bytes kept, (\\d+) served")).match(QString::fromUtf8(err));
    ASSERT_TRUE(k.hasMatch()) << err.constData();
    const std::uint64_t served = k.captured(2).toULongLong();
    EXPECT_LE(fromimage + served, unspooled + (1u << 20)) << "served " << served;
    EXPECT_GE(fromimage + served + (1u << 20), unspooled) << "served " << served;
    if (unspooled > size + (1u << 20)) {
        EXPECT_GT(served, 0u);
    }
}

// A spool of 64 KiB: what it cannot keep is read from the card as before,
// and the files are the same.
TEST(SweepSpool, ABudgetTooSmallLeavesTheReadsToTheCard)
{
    QTemporaryDir tmp;
    const QString image = tmp.filePath("card.img");
    std::string why;
    ASSERT_TRUE(makeformattedcard(image, tmp.path(), Card::formatted, &why)) << lasterror();
    if (!hasstrace())
        GTEST_SKIP() << "no strace to count the bytes read";
    const QStringList args{"--deep", "--carve"};
    std::uint64_t unspooled = 0, small = 0;
    ASSERT_TRUE(tracedbytes(args, image, tmp.filePath("unspooled"), {"KOV_SPOOL", "0"}, &unspooled));
    ASSERT_TRUE(tracedbytes(args, image, tmp.filePath("small"), {"KOV_SPOOL_BUDGET", "65536"}, &small));
    EXPECT_EQ(filetree(tmp.filePath("small")), filetree(tmp.filePath("unspooled")));
    EXPECT_GE(small + (1u << 20), unspooled);
    EXPECT_LE(small, unspooled + (1u << 20));
    int status = -1;
    const QByteArray err = envrun(args + QStringList{image, tmp.filePath("counted")}, "KOV_SPOOL_BUDGET", "65536",
                                  &status, "KOV_SWEEP_COUNTS", "1");
    ASSERT_EQ(status, 0) << err.constData();
    const QRegularExpressionMatch m = QRegularExpression(QStringLiteral("spool: (\\d+) bytes kept, (\\d+) served, (\\d+) refused, budget (\\d+)"))
                                          .match(QString::fromUtf8(err));
    ASSERT_TRUE(m.hasMatch()) << err.constData();
    EXPECT_LE(m.captured(1).toULongLong(), 65536u);
    EXPECT_GT(m.captured(3).toULongLong(), 0u);
    EXPECT_EQ(m.captured(4).toULongLong(), 65536u);
}

// An output disk with little more room than the files need: the scratch
// file gives its room back, and every file the run without it saves is
// saved.
TEST(SweepSpool, ASmallOutputDiskGetsEveryFile)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    QTemporaryDir tmp;
    const QString image = tmp.filePath("card.img");
    // A folder of 8 MiB, lost to a quick format: its files are saved after
    // the sweep, which has spooled them.
    ASSERT_TRUE(makefat(image, 32, 72ull << 20, 1)) << lasterror();
    ASSERT_TRUE(mmd(image, "::/DOCS")) << lasterror();
    for (int k = 0; k < 8; ++k) {
        const QString local = tmp.filePath(QStringLiteral("f%1.bin").arg(k));
        ASSERT_TRUE(writefile(local, patterndata(1 << 20, std::uint32_t(k + 1))));
        ASSERT_TRUE(mcopy(image, local, QStringLiteral("::/DOCS/F%1.BIN").arg(k))) << lasterror();
    }
    ASSERT_TRUE(runtool(QStringLiteral("mkfs.fat"), {"-F", "32", "-s", "1", "-i", "1234ABCF", image})) << lasterror();
    int status = -1;
    const QByteArray plain = envrun({"--deep", image, tmp.filePath("unspooled")}, "KOV_SPOOL", "0", &status);
    ASSERT_EQ(status, 0) << plain.constData();
    const auto want = filetree(tmp.filePath("unspooled"));
    qint64 bytes = 0;
    for (const auto& [name, data] : want)
        bytes += data.size();
    ASSERT_GE(bytes, 8 << 20);
    // Room for the files and 1 MiB for the file system, none for the spool too.
    testsupport::Tmpfs small(tmp.filePath("small"), QByteArray::number((bytes >> 10) + 1024) + "k");
    ASSERT_TRUE(small.ok());
    const QByteArray err =
        envrun({"--deep", image, tmp.filePath("small/out")}, "KOV_SWEEP_COUNTS", "1", &status);
    ASSERT_EQ(status, 0) << err.constData();
    EXPECT_TRUE(err.contains(", given back")) << err.constData();
    EXPECT_EQ(filetree(tmp.filePath("small/out")), want);
}

// Through a device with unreadable sectors (in the data the spool keeps
// and in free space): the same files and map with the spool as without,
// and no bad sector asked for more often.
TEST(SweepSpool, UnreadableSectorsAreNeitherKeptNorAskedMoreOften)
{
    QString why;
    if (!BadBlockDevice::available(&why))
        KOV_SKIP() << why.toStdString();
    QTemporaryDir tmp;
    const QString image = tmp.filePath("card.img");
    std::string noexfat;
    ASSERT_TRUE(makeformattedcard(image, tmp.path(), Card::formatted, &noexfat)) << lasterror();
    const QByteArray raw = contents(image);
    // A sector inside the first photo that begins a sector past the system area, and two in the middle of the card.
    qsizetype photo = -1;
    for (qsizetype at = raw.indexOf(QByteArray("\xff\xd8\xff", 3), 1 << 20); at >= 0;
         at = raw.indexOf(QByteArray("\xff\xd8\xff", 3), at + 1))
        if (at % 512 == 0) {
            photo = at;
            break;
        }
    ASSERT_GT(photo, 0);
    const std::uint64_t mid = std::uint64_t(raw.size()) / 2 / 512;
    const std::vector<SectorRange> bad{{std::uint64_t(photo) / 512 + 9, std::uint64_t(photo) / 512 + 9},
                                       {mid, mid + 1}, {mid + 4000, mid + 4000}};
    std::map<QString, std::map<std::uint64_t, std::uint32_t>> asked;
    std::map<QString, std::map<QString, QByteArray>> trees;
    for (const QString& spool : {QStringLiteral("0"), QStringLiteral("1")}) {
        BadBlockDevice dev(image, bad);
        ASSERT_TRUE(dev.ok()) << dev.why().toStdString();
        int status = -1;
        const QByteArray err = envrun({"--deep", "--carve", dev.path(), tmp.filePath("out" + spool)}, "KOV_SPOOL",
                                      spool, &status, "KOV_SWEEP_COUNTS", "1");
        ASSERT_EQ(status, 0) << err.constData();
        if (spool == QLatin1String("1")) {
            // The spool did keep and serve around the bad sectors.
            const QRegularExpressionMatch m =
                QRegularExpression(QStringLiteral("spool: (\\d+) bytes kept, (\\d+) served")).match(QString::fromUtf8(err));
            ASSERT_TRUE(m.hasMatch()) << err.constData();
            EXPECT_GT(m.captured(1).toULongLong(), 0u);
            EXPECT_GT(m.captured(2).toULongLong(), 0u);
        }
        asked[spool] = dev.counts().asked;
        trees[spool] = filetree(tmp.filePath("out" + spool));
    }
    EXPECT_EQ(trees["1"], trees["0"]);
    EXPECT_TRUE(trees["1"].count(QStringLiteral("unreadable.map")));
    for (const auto& [sector, times] : asked["1"])
        EXPECT_LE(times, asked["0"][sector]) << "sector " << sector;
}

INSTANTIATE_TEST_SUITE_P(Cards, SweepCards,
                         testing::Combine(testing::Values(Card::formatted, Card::reformatted, Card::zeroed, Card::exfat),
                                          testing::Values(Run::deep, Run::carved, Run::carvedonly)),
                         [](const auto& info) {
                             const Card c = std::get<0>(info.param);
                             return std::string(c == Card::formatted     ? "formatted"
                                                : c == Card::reformatted ? "reformatted"
                                                : c == Card::zeroed      ? "zeroed"
                                                                         : "exfat") +
                                    (std::get<1>(info.param) == Run::deep     ? "Deep"
                                     : std::get<1>(info.param) == Run::carved ? "Carved"
                                                                              : "CarvedOnly");
                         });
