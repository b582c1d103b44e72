// --image over a real block device with unreadable sectors: a deep run
// reads the whole card, so its image is the card wherever it can be read,
// and the image with its map recovers what the card did.
#include "support/badblockdevice.h"
#include "support/kovrecoverrun.h"
#include "support/mtoolsimage.h"
#include "support/skip.h"
#include "support/tmpfs.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <map>

using namespace testsupport;

namespace {

// The output tree without its maps.
std::map<QString, QByteArray> filesbelow(const QString& dir)
{
    std::map<QString, QByteArray> out = filetree(dir);
    std::erase_if(out, [](const auto& file) { return file.first.endsWith(QStringLiteral(".map")); });
    return out;
}

QByteArray blocks(const QString& map, char status)
{
    QByteArray listed;
    runtool(QStringLiteral("ddrescuelog"), {QStringLiteral("-b512"), QStringLiteral("--list-blocks=") + status, map},
            &listed);
    return listed;
}

struct CARD {
    int fatbits;
    std::uint64_t bytes;
    int sectorspercluster;
};

// Deleted files in a folder; unreadable: two sectors inside one of them,
// one inside another, and a sector of the second FAT.
class ImageWhileReading : public ::testing::TestWithParam<CARD> {
protected:
    void SetUp() override
    {
        QString why;
        if (!BadBlockDevice::available(&why))
            KOV_SKIP() << why.toStdString();
        if (QStandardPaths::findExecutable(QStringLiteral("ddrescuelog")).isEmpty())
            KOV_SKIP() << "no ddrescuelog (gddrescue)";
        const CARD c = GetParam();
        card = dir.filePath("card.img");
        const QString local = dir.filePath("f.bin");
        ASSERT_TRUE(makefat(card, c.fatbits, c.bytes, c.sectorspercluster)) << lasterror();
        ASSERT_TRUE(mmd(card, "DIR")) << lasterror();
        std::vector<QByteArray> data;
        for (int i = 0; i < 12; ++i) {
            data.push_back(patterndata(30000 + 1536 * i, 200 + i));
            ASSERT_TRUE(writefile(local, data.back()) && mcopy(card, local, QStringLiteral("DIR/F%1.BIN").arg(i)))
                << lasterror();
        }
        for (int i = 0; i < 12; i += 2)
            ASSERT_TRUE(mdel(card, QStringLiteral("DIR/F%1.BIN").arg(i))) << lasterror();
        raw = contents(card);
        const auto u16 = [&](int at) { return std::uint64_t(std::uint8_t(raw[at])) | std::uint64_t(std::uint8_t(raw[at + 1])) << 8; };
        const std::uint64_t fatsectors = u16(22) != 0 ? u16(22) : u16(36) | u16(38) << 16;
        const std::uint64_t secondfat = u16(14) + fatsectors;
        const qsizetype a = raw.indexOf(data[4]), b = raw.indexOf(data[7]);
        ASSERT_TRUE(a > 0 && a % 512 == 0 && b > 0 && b % 512 == 0);
        bad = {{secondfat + 1, secondfat + 1},
               {std::uint64_t(a) / 512 + 20, std::uint64_t(a) / 512 + 21},
               {std::uint64_t(b) / 512 + 9, std::uint64_t(b) / 512 + 9}};
    }

    bool isbad(std::uint64_t sector) const
    {
        for (const SectorRange& r : bad)
            if (sector >= r.first && sector <= r.last)
                return true;
        return false;
    }

    QTemporaryDir dir;
    QString card;
    QByteArray raw;
    std::vector<SectorRange> bad;
};

TEST_P(ImageWhileReading, ADeepRunImagesTheWholeCardAndTheImageRecoversTheSame)
{
    const QString image = dir.filePath("copy.img"), out = dir.filePath("out"), again = dir.filePath("again");
    {
        BadBlockDevice dev(card, bad);
        ASSERT_TRUE(dev.ok()) << dev.why().toStdString();
        const CommandOutcome o = kovrecover({QStringLiteral("--deep"), QStringLiteral("--image"), image, dev.path(), out});
        ASSERT_EQ(o.status, 0) << o.err.toStdString();
        EXPECT_TRUE(o.err.contains("the image of what was read: " + image.toUtf8())) << o.err.toStdString();
        for (const auto& [sector, times] : dev.counts().asked)
            EXPECT_LE(times, 2u) << "sector " << sector;
    }
    const QByteArray copy = contents(image);
    ASSERT_EQ(copy.size(), raw.size());
    std::uint64_t differ = 0;
    for (std::uint64_t s = 0; s < std::uint64_t(raw.size()) / 512; ++s) {
        const QByteArray want = isbad(s) ? QByteArray(512, '\0') : raw.mid(qsizetype(s * 512), 512);
        differ += copy.mid(qsizetype(s * 512), 512) != want ? 1 : 0;
    }
    EXPECT_EQ(differ, 0u);
    // The card's zeros are left as holes: the card is mostly free.
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(image).constData(), &st), 0);
    EXPECT_LT(std::uint64_t(st.st_blocks) * 512, std::uint64_t(raw.size()) / 2);
    // Every sector tried: the readable ones finished, the bad ones as the
    // run's own map says.
    const QString map = image + ".map";
    EXPECT_EQ(blocks(map, '?'), QByteArray());
    EXPECT_EQ(blocks(map, '-'), blocks(out + "/unreadable.map", '-'));
    EXPECT_EQ(blocks(map, '-').count('\n'), 4);

    const CommandOutcome second = kovrecover({QStringLiteral("--deep"), QStringLiteral("--mapfile"), map, image, again});
    EXPECT_EQ(second.status, 0) << second.err.toStdString();
    const auto first = filesbelow(out);
    EXPECT_FALSE(first.empty());
    EXPECT_TRUE(std::any_of(first.begin(), first.end(), [](const auto& f) { return f.first.startsWith("damaged/"); }));
    EXPECT_EQ(filesbelow(again), first) << second.err.toStdString();
}

TEST_P(ImageWhileReading, AnImageFileIsNewAndOffTheSourceAndAFullDiskOnlyStopsImaging)
{
    BadBlockDevice dev(card, bad);
    ASSERT_TRUE(dev.ok()) << dev.why().toStdString();
    const QString taken = dir.filePath("taken.img");
    ASSERT_TRUE(writefile(taken, "keep"));
    for (const QString& file : {taken, dev.path()}) {
        const CommandOutcome o = kovrecover({QStringLiteral("--image"), file, dev.path(), dir.filePath("no")});
        EXPECT_EQ(o.status, 2) << o.err.toStdString();
        EXPECT_TRUE(o.err.contains("--image " + file.toUtf8())) << o.err.toStdString();
        EXPECT_FALSE(QFileInfo::exists(dir.filePath("no")));
    }
    EXPECT_EQ(contents(taken), "keep");
    // Refused before it began (the output folder is a file, the source no
    // volume): no image is left to stand in the next run's way.
    const QString left = dir.filePath("left.img");
    const QString notvolume = dir.filePath("zeros.img");
    ASSERT_TRUE(writefile(notvolume, QByteArray(1 << 20, '\0')));
    for (const auto& [source, outdir] : {std::pair{dev.path(), taken}, std::pair{notvolume, dir.filePath("none")}}) {
        const CommandOutcome o = kovrecover({QStringLiteral("--image"), left, source, outdir});
        EXPECT_NE(o.status, 0) << o.err.toStdString();
        EXPECT_FALSE(QFileInfo::exists(left)) << o.err.toStdString();
        EXPECT_FALSE(QFileInfo::exists(left + ".map")) << o.err.toStdString();
    }

    const QString small = dir.filePath("small");
    Tmpfs full(small, "64k");
    ASSERT_TRUE(full.ok());
    const QString out = dir.filePath("out"), image = small + "/copy.img";
    const CommandOutcome o = kovrecover({QStringLiteral("--deep"), QStringLiteral("--image"), image, dev.path(), out});
    EXPECT_EQ(o.status, 1) << o.err.toStdString();  // the image is not whole
    // Told once, as it happens: before the run's summary, which says it again.
    const qsizetype stopped = o.err.indexOf("kov-recover: imaging stopped: " + image.toUtf8() +
                                            " could not be written (No space left on device)");
    EXPECT_EQ(o.err.count("imaging stopped: "), 1) << o.err.toStdString();
    EXPECT_GE(stopped, 0) << o.err.toStdString();
    EXPECT_LT(stopped, o.err.indexOf(" files saved")) << o.err.toStdString();
    EXPECT_TRUE(o.err.contains("the image of what was read before imaging stopped (No space left on device): " +
                               image.toUtf8()))
        << o.err.toStdString();
    BadBlockDevice clean(card, bad);
    ASSERT_TRUE(clean.ok());
    const CommandOutcome plain = kovrecover({QStringLiteral("--deep"), clean.path(), dir.filePath("plain")});
    EXPECT_EQ(filesbelow(out), filesbelow(dir.filePath("plain"))) << o.err.toStdString();
}

TEST_P(ImageWhileReading, ARunThatDiesLeavesAMapThatTrustsNothingInTheImage)
{
    BadBlockDevice slow(card, bad, 2u << 20);
    ASSERT_TRUE(slow.ok()) << slow.why().toStdString();
    const QString image = dir.filePath("copy.img");
    QProcess run;
    run.start(QStringLiteral(KOV_RECOVER_BIN), {QStringLiteral("--deep"), QStringLiteral("--image"), image, slow.path(),
                                                dir.filePath("out")});
    // The map is made with the image, before the first read.
    for (int waited = 0; waited < 200 && !QFileInfo::exists(image + ".map"); ++waited)
        run.waitForFinished(50);
    ASSERT_EQ(run.state(), QProcess::Running) << run.readAllStandardError().toStdString();
    ::kill(pid_t(run.processId()), SIGKILL);
    run.waitForFinished();
    EXPECT_EQ(blocks(image + ".map", '+'), QByteArray());
    EXPECT_EQ(blocks(image + ".map", '?').count('\n'), qsizetype(GetParam().bytes / 512));
    // Its name stays the run's: the next run refuses it.
    const CommandOutcome again = kovrecover({QStringLiteral("--image"), image, slow.path(), dir.filePath("again")});
    EXPECT_EQ(again.status, 2) << again.err.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Cards, ImageWhileReading,
                         ::testing::Values(CARD{16, 32u << 20, 8}, CARD{32, 48u << 20, 1}),
                         [](const auto& info) { return "FAT" + std::to_string(info.param.fatbits); });

}  // namespace
