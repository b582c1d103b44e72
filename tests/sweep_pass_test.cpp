// One sequential pass over the source for the deep run: the blocks cover it
// in order whatever its size, holes are not read, clusters that straddle
// two blocks are put together, the source is read once, and the files are
// the same as when each phase reads on its own (KOV_SWEEP=0).
#include "support/cardimage.h"
#include "support/exfatimage.h"
#include "support/formatfiles.h"
#include "support/kovrecoverrun.h"
#include "support/mtoolsimage.h"
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

QByteArray envrun(const QStringList& args, const QString& key, const QString& value, int* status)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(key, value);
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(KOV_RECOVER_BIN), args);
    p.waitForFinished(300000);
    *status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return p.readAllStandardError();
}

// A FAT32 card with a document tree, photos and real files of carved
// formats, some deleted, then formatted over (reformat: with twice the
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

    const QString strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
    if (strace.isEmpty())
        GTEST_SKIP() << "no strace to count the bytes read";
    QProcess p;
    // LeakSanitizer cannot run under ptrace: without this a sanitizer build
    // fails every traced run.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ASAN_OPTIONS"), QStringLiteral("detect_leaks=0"));
    p.setProcessEnvironment(env);
    const QString log = tmp.filePath("strace.log");
    p.start(strace, QStringList{"-f", "-y", "-e", "trace=pread64", "-o", log, KOV_RECOVER_BIN} + args +
                        QStringList{image, tmp.filePath("traced")});
    ASSERT_TRUE(p.waitForFinished(300000));
    ASSERT_EQ(p.exitCode(), 0);
    std::uint64_t fromimage = 0;
    const QRegularExpression read(QStringLiteral("pread64\\(\\d+<([^>]*)>.*= (\\d+)$"));
    for (const QByteArray& line : contents(log).split('\n'))
        if (const auto r = read.match(QString::fromUtf8(line)); r.hasMatch() && r.captured(1).endsWith("card.img"))
            fromimage += r.captured(2).toULongLong();
    std::uint64_t saved = 0;
    for (const auto& [path, data] : swept)
        saved += std::uint64_t(data.size());
    // Each phase reading on its own read the card two or three times over.
    EXPECT_LE(fromimage, size + 2 * saved + (8u << 20)) << "card " << size << ", saved " << saved;
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
