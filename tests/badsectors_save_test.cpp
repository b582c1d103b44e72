// A whole recovery of a FAT16 card, through a real block device with
// unreadable sectors in a deleted file and in a folder's cluster.
#include "support/badblockdevice.h"
#include "support/kovrecoverrun.h"
#include "support/mtoolsimage.h"
#include "support/skip.h"

#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <map>

#include <sys/stat.h>

using namespace testsupport;

namespace {

// 20 deleted files in a folder; the folder's first sector holds ".",
// "..", F0 .. F13. Unreadable: the folder's first sector and two sectors
// 8 KiB into F16.
class UnreadableSectors : public ::testing::Test {
protected:
    void SetUp() override
    {
        QString why;
        if (!BadBlockDevice::available(&why))
            KOV_SKIP() << why.toStdString();
        image = dir.filePath("card.img");
        const QString local = dir.filePath("f.bin");
        ASSERT_TRUE(makefat(image, 16, 32u << 20, 8)) << lasterror();
        ASSERT_TRUE(mmd(image, "DIR")) << lasterror();
        for (int i = 0; i < 20; ++i) {
            data.push_back(patterndata(40000 + 512 * i, 100 + i));
            ASSERT_TRUE(writefile(local, data.back()) && mcopy(image, local, QStringLiteral("DIR/F%1.BIN").arg(i)))
                << lasterror();
        }
        for (int i = 0; i < 20; ++i)
            ASSERT_TRUE(mdel(image, QStringLiteral("DIR/F%1.BIN").arg(i))) << lasterror();
        const QByteArray raw = contents(image);
        const qsizetype folder = raw.indexOf(QByteArray(".          \x10", 12));
        const qsizetype hit = raw.indexOf(data[16]);
        ASSERT_TRUE(folder > 0 && folder % 512 == 0 && hit > 0 && hit % 512 == 0);
        bad = {{std::uint64_t(folder) / 512, std::uint64_t(folder) / 512},
               {std::uint64_t(hit) / 512 + 16, std::uint64_t(hit) / 512 + 17}};
    }

    // What every run of this card leaves and says, however it reads it.
    void expectrecovered(const QString& out, const CommandOutcome& o)
    {
        EXPECT_EQ(o.status, 0) << o.err.toStdString();
        std::map<QString, QByteArray> expected;
        for (int i = 14; i < 20; ++i)
            expected[QStringLiteral("k%1.BIN").arg(i)] = data[std::size_t(i)];
        QByteArray holed = data[16];
        holed.replace(8192, 1024, QByteArray(1024, '\0'));
        expected.erase(QStringLiteral("k16.BIN"));
        // Set apart at the top of damaged/, as a damaged verdict is.
        expected[QStringLiteral("damaged/k16.BIN")] = holed;
        auto got = filetree(out);
        got.erase(QStringLiteral("unreadable.map"));
        EXPECT_EQ(got.size(), expected.size()) << o.err.toStdString();
        for (const auto& [name, bytes] : expected)
            EXPECT_TRUE(got.count(name) && got.at(name) == bytes) << name.toStdString() << "\n" << o.err.toStdString();
        EXPECT_TRUE(o.err.contains("unreadable bytes 8192-9215 (zeros)")) << o.err.toStdString();
        EXPECT_TRUE(o.err.contains("; 3 unreadable sectors, 1 files with unreadable parts (zeros, in damaged/)"))
            << o.err.toStdString();
    }

    // The sectors a mapfile marks with status, by ddrescuelog.
    static QByteArray blocks(const QString& map, char status)
    {
        QByteArray listed;
        runtool(QStringLiteral("ddrescuelog"), {QStringLiteral("-b512"), QStringLiteral("--list-blocks=") + status, map},
                &listed);
        return listed;
    }

    QTemporaryDir dir;
    QString image;
    std::vector<QByteArray> data;
    std::vector<SectorRange> bad;
};

TEST_F(UnreadableSectors, AFileIsSavedWholeInDamagedAFolderKeepsItsReadableSectorsAndTheMapSaysWhich)
{
    BadBlockDevice dev(image, bad);
    ASSERT_TRUE(dev.ok()) << dev.why().toStdString();
    const QString out = dir.filePath("out");
    const CommandOutcome o = kovrecover({dev.path(), out});
    expectrecovered(out, o);
    for (const auto& [sector, times] : dev.counts().asked)
        EXPECT_LE(times, 2u) << "sector " << sector;

    const QByteArray expected = QByteArray::number(qulonglong(bad[0].first)) + "\n" +
                                QByteArray::number(qulonglong(bad[1].first)) + "\n" +
                                QByteArray::number(qulonglong(bad[1].last)) + "\n";
    EXPECT_EQ(blocks(out + "/unreadable.map", '-'), expected);
    // What the run read is finished, the rest not tried.
    EXPECT_TRUE(blocks(out + "/unreadable.map", '+').startsWith("0\n"));
    EXPECT_FALSE(blocks(out + "/unreadable.map", '?').isEmpty());
    // A second run never replaces the first one's map.
    const CommandOutcome again = kovrecover({dev.path(), out});
    EXPECT_EQ(blocks(out + "/unreadable(1).map", '-'), expected) << again.err.toStdString();
}

TEST_F(UnreadableSectors, AnImageMadeByDdrescueIsReadWithItsMap)
{
    if (QStandardPaths::findExecutable(QStringLiteral("ddrescue")).isEmpty())
        KOV_SKIP() << "no ddrescue (gddrescue)";
    const QString copy = dir.filePath("copy.img"), map = dir.filePath("copy.map");
    {
        BadBlockDevice dev(image, bad);
        ASSERT_TRUE(dev.ok()) << dev.why().toStdString();
        ASSERT_TRUE(runtool(QStringLiteral("ddrescue"), {QStringLiteral("-d"), QStringLiteral("-r1"), dev.path(), copy, map}))
            << lasterror();
    }
    // Where ddrescue rescued nothing the image holds its zeros, or whatever
    // the file held before: make them look like data, never to be taken.
    {
        QFile f(copy);
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        for (const SectorRange& r : bad)
            for (std::uint64_t s = r.first; s <= r.last; ++s)
                ASSERT_TRUE(f.seek(qint64(s * 512)) && f.write(QByteArray(512, 'X')) == 512);
    }
    const QString out = dir.filePath("out");
    expectrecovered(out, kovrecover({QStringLiteral("--mapfile"), map, copy, out}));
    EXPECT_EQ(blocks(out + "/unreadable.map", '-'), blocks(map, '-'));
    const CommandOutcome listed = kovrecover({QStringLiteral("--list"), QStringLiteral("--json"), QStringLiteral("--mapfile"), map, copy});
    EXPECT_TRUE(listed.out.contains(R"("unreadable":[{"length":1024,"offset":8192}])")) << listed.out.toStdString();
    EXPECT_EQ(listed.out.count("unreadable"), 1) << listed.out.toStdString();
    const CommandOutcome wrong = kovrecover({QStringLiteral("--mapfile"), image, copy, dir.filePath("out2")});
    EXPECT_EQ(wrong.status, 2);
    EXPECT_TRUE(wrong.err.contains("not a GNU ddrescue mapfile")) << wrong.err.toStdString();
    // A FIFO would wait for a writer for ever.
    const QString fifo = dir.filePath("map.fifo");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const CommandOutcome waiting = kovrecover({QStringLiteral("--mapfile"), fifo, copy, dir.filePath("out3")});
    EXPECT_EQ(waiting.status, 2);
    EXPECT_TRUE(waiting.err.contains("not a GNU ddrescue mapfile")) << waiting.err.toStdString();
}

// Sector 0 unreadable: FAT32's backup boot sector stands in, and no handle
// of the run asks the card for sector 0 again; with the backup unreadable
// too, the run says which sector it could not read.
TEST(UnreadableBootSector, TheBackupStandsInAndWithoutItTheRunSaysWhy)
{
    QString why;
    if (!BadBlockDevice::available(&why))
        KOV_SKIP() << why.toStdString();
    QTemporaryDir dir;
    const QString image = dir.filePath("card.img"), local = dir.filePath("f.bin");
    const QByteArray lost = patterndata(70000, 9);
    ASSERT_TRUE(makefat(image, 32, 40u << 20, 1) && writefile(local, lost) && mcopy(image, local, "LOST.BIN") &&
                mdel(image, "LOST.BIN"))
        << lasterror();
    struct CASE {
        std::vector<SectorRange> bad;
        int status;
        const char* said;
    };
    for (const CASE& c : {CASE{{{0, 0}}, 0, "sector 0 cannot be read: using the FAT32 backup boot sector at sector 6"},
                          CASE{{{0, 0}, {6, 6}}, 3, "its boot sector, sector 0, cannot be read"}}) {
        BadBlockDevice dev(image, c.bad);
        ASSERT_TRUE(dev.ok()) << dev.why().toStdString();
        const QString out = dir.filePath(QStringLiteral("out%1").arg(c.bad.size()));
        const CommandOutcome o = kovrecover({QStringLiteral("--deep"), dev.path(), out});
        EXPECT_EQ(o.status, c.status) << o.err.toStdString();
        EXPECT_TRUE(o.err.contains(c.said)) << o.err.toStdString();
        for (const auto& [sector, times] : dev.counts().asked)
            EXPECT_LE(times, 2u) << "sector " << sector;
        if (c.status == 0) {
            EXPECT_EQ(contents(out + "/kOST.BIN"), lost) << o.err.toStdString();
        }
    }
}

}  // namespace
