// Whole runs on volumes whose allocation table is damaged: chains that loop
// or cross, links and entries past the table, a table of size 0 and a table
// larger than the volume. Every run must end, save only what it can vouch
// for, say what failed, and leave the image untouched.
#include "support/fatbuilder.h"
#include "support/mtoolsimage.h"
#include "support/qtprint.h"
#include "support/recordingcore.h"
#include "support/wholerun.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QMap>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

using namespace testsupport;

namespace {

using Outcome = RunOutcome;

class DamagedFat : public ::testing::TestWithParam<int> {
protected:
    QTemporaryDir tmp;
    int runs = 0;

    bool fat32() const { return GetParam() == 32; }
    FatLayout layout() const { return fat32() ? fat32layout(1u << 20) : fat16layout(1u << 20); }

    Outcome recover(const FatBuilder& b)
    {
        const QString image = tmp.filePath(QStringLiteral("v%1.img").arg(runs));
        if (!b.save(image)) {
            ADD_FAILURE() << "cannot write the image";
            return {};
        }
        return recoverimage(image);
    }

    Outcome recoverimage(const QString& image)
    {
        return wholerun(image, tmp.filePath(QStringLiteral("out%1").arg(runs++)));
    }
};

}  // namespace

// ---- chains that loop ----

TEST_P(DamagedFat, LoopInALiveChainEndsAndItsClustersStayLive)
{
    FatBuilder b(layout());
    const std::uint32_t loop = b.addfile(0, 0, shortname("LOOP.BIN"), patterndata(1536, 1), 100);
    b.setfat(loop + 2, loop);  // third cluster links back to the first
    const QByteArray gone = patterndata(1000, 2);
    b.addfile(0, 1, shortname("GONE.BIN"), gone, 200);
    b.deleteentry(0, 1);
    // A deleted entry whose start cluster lies on the loop: its data is the
    // live file's, never to be saved as its own.
    FatBuilder::Entry e;
    e.name83 = QByteArray("\xE5NLOOP  BIN", 11);
    e.startcluster = loop + 1;
    e.size = 1000;
    b.putentry(0, 2, e);

    const Outcome o = recover(b);
    expectended(o);
    EXPECT_EQ(o.files.keys(), QStringList({"kONE.BIN"}));
    EXPECT_EQ(o.files.value("kONE.BIN"), gone);
    EXPECT_TRUE(o.warnings.isEmpty()) << o.warnings.join('|');
    EXPECT_EQ(o.stats.saved, 1u);
}

TEST_P(DamagedFat, SelfLinkedRootOrDirectoryIsReadOnce)
{
    // A directory whose first cluster links to itself has one cluster of
    // contents: a walk that went round would save each deleted file in it
    // once per lap.
    FatBuilder b(layout());
    const std::uint32_t d = b.adddir(0, 0, shortname("RING"));
    const QByteArray inner = patterndata(700, 3);
    b.addfile(d, 2, shortname("INNER.BIN"), inner, 300);
    b.deleteentry(d, 2);
    const QByteArray top = patterndata(900, 4);
    b.addfile(0, 1, shortname("TOP.BIN"), top, 400);
    b.deleteentry(0, 1);
    b.setfat(d, d);
    if (fat32())
        b.setfat(b.layout().rootcluster, b.layout().rootcluster);

    const Outcome o = recover(b);
    expectended(o);
    EXPECT_EQ(o.files, (QMap<QString, QByteArray>{{"kNNER.BIN", inner}, {"kOP.BIN", top}}));
    EXPECT_TRUE(o.warnings.isEmpty()) << o.warnings.join('|');
}

// ---- cross-linked chains ----

TEST_P(DamagedFat, CrossLinkedChainsProtectEveryClusterTheyShare)
{
    FatBuilder b(layout());
    // A: 100 101 102; B: 110 -> 101 (merges into A's chain).
    b.addfilechain(0, 0, shortname("A.BIN"), patterndata(1536, 5), {100, 101, 102});
    b.addfilechain(0, 1, shortname("B.BIN"), patterndata(1024, 6), {110, 101, 102});
    // A live chain cut short by a free entry still owns its last cluster.
    b.addfilechain(0, 2, shortname("C.BIN"), patterndata(1024, 7), {120, 121});
    b.setfat(121, 0);
    FatBuilder::Entry e;
    e.size = 500;
    e.name83 = QByteArray("\xE5" "ONB    BIN", 11);  // on A and B's shared cluster
    e.startcluster = 101;
    b.putentry(0, 3, e);
    e.name83 = QByteArray("\xE5" "ONC    BIN", 11);  // on C's freed last cluster
    e.startcluster = 121;
    b.putentry(0, 4, e);
    // Two deleted entries cross-linked to the same free clusters: each is
    // rebuilt on them and saved under its own name.
    const QByteArray shared = patterndata(1200, 8);
    b.addfile(0, 5, shortname("TWIN1.BIN"), shared, 130);
    b.deleteentry(0, 5);
    e.name83 = QByteArray("\xE5" "WIN2   BIN", 11);
    e.startcluster = 130;
    e.size = 600;
    b.putentry(0, 6, e);

    const Outcome o = recover(b);
    expectended(o);
    EXPECT_EQ(o.files, (QMap<QString, QByteArray>{{"kWIN1.BIN", shared}, {"kWIN2.BIN", shared.left(600)}}));
    EXPECT_TRUE(o.warnings.isEmpty()) << o.warnings.join('|');
}

// ---- links and entries past the table ----

TEST_P(DamagedFat, LinksAndEntriesPastTheTableAreNotFollowed)
{
    FatBuilder b(layout());
    const std::uint32_t entries = b.layout().sectorsperfat * b.layout().bytespersector / (fat32() ? 4 : 2);
    // A live chain whose second link names a cluster past the table.
    const std::uint32_t s = b.addfile(0, 0, shortname("JUMP.BIN"), patterndata(1024, 9), 100);
    b.setfat(s + 1, entries + 5);
    // Entries whose start clusters lie past the table, live and deleted.
    FatBuilder::Entry e;
    e.size = 512;
    e.name83 = shortname("FAR.BIN");
    e.startcluster = entries + 1;
    b.putentry(0, 1, e);
    e.name83 = QByteArray("\xE5" "ARDEL  BIN", 11);
    b.putentry(0, 2, e);
    e.name83 = shortname("FARDIR");
    e.attr = 0x10;
    e.startcluster = entries;
    b.putentry(0, 3, e);
    // A deleted file right after the live chain is still recovered.
    const QByteArray near = patterndata(800, 10);
    b.addfile(0, 4, shortname("NEAR.BIN"), near, s + 2);
    b.deleteentry(0, 4);

    const Outcome o = recover(b);
    expectended(o);
    EXPECT_EQ(o.files, (QMap<QString, QByteArray>{{"kEAR.BIN", near}}));
    EXPECT_TRUE(o.warnings.isEmpty()) << o.warnings.join('|');
}

TEST_P(DamagedFat, DeletedFileRunningOffTheVolumeIsCutAtTheLastCluster)
{
    // The table has more entries than the volume has clusters (its last
    // sector is only partly used): a deleted file of absurd size is rebuilt
    // over the free entries up to the last cluster, not up to the table's
    // end, and saved whole at that length.
    FatBuilder b(layout());
    const std::uint32_t entries = b.layout().sectorsperfat * b.layout().bytespersector / (fat32() ? 4 : 2);
    ASSERT_GT(entries, b.lastcluster() + 1) << "the table must reach past the volume";
    const std::uint32_t start = b.lastcluster() - 9;
    QByteArray readable;
    for (std::uint32_t c = start; c <= b.lastcluster(); ++c) {
        const QByteArray data = patterndata(b.clusterbytes(), c);
        b.writecluster(c, data);
        readable += data;
    }
    FatBuilder::Entry e;
    e.name83 = QByteArray("\xE5" "UGE    BIN", 11);
    e.startcluster = start;
    e.size = 0xFFFFFFFF;
    b.putentry(0, 0, e);

    const Outcome o = recover(b);
    expectended(o);
    EXPECT_EQ(o.files, (QMap<QString, QByteArray>{{"kUGE.BIN", readable}}));
    EXPECT_TRUE(o.warnings.isEmpty()) << o.warnings.join('|');
    EXPECT_EQ(o.stats.saved, 1u);
}

// ---- the table's size field ----

TEST_P(DamagedFat, TableOfSizeZeroRecoversNothingAndEnds)
{
    FatBuilder b(layout());
    b.addfile(0, 0, shortname("LIVE.BIN"), patterndata(700, 11), 100);
    b.addfile(0, 1, shortname("GONE.BIN"), patterndata(900, 12), 200);
    b.deleteentry(0, 1);
    // The undamaged volume recovers the file: the damage is what stops it.
    const Outcome good = recover(b);
    expectended(good);
    ASSERT_EQ(good.files.keys(), QStringList({"kONE.BIN"}));

    if (fat32())
        put32(b.bytes().data() + 36, 0);
    else
        put16(b.bytes().data() + 22, 0);
    const Outcome o = recover(b);
    // FAT16 keeps its table's size in the one field: without it no volume
    // is laid out (the layout search may find one).
    if (fat32())
        expectended(o);
    else
        EXPECT_FALSE(o.listed);
    EXPECT_TRUE(o.files.isEmpty()) << o.files.keys().join('|');
    EXPECT_TRUE(o.warnings.isEmpty()) << o.warnings.join('|');
    EXPECT_EQ(o.stats.entries, 0u);
}

TEST_P(DamagedFat, TableLargerThanTheVolumeRecoversNothingAndEnds)
{
    FatBuilder b(layout());
    b.addfile(0, 0, shortname("GONE.BIN"), patterndata(900, 13), 200);
    b.deleteentry(0, 0);
    // The table cannot be cached (its read runs off the image), its entries
    // are looked up one sector at a time, and it claims millions of entries
    // (about 2^30 on FAT32).
    // The root's chain loops on itself: walking it must not take a read
    // per entry of the claimed table.
    if (fat32())
        b.setfat(b.layout().rootcluster, b.layout().rootcluster);
    if (fat32())
        put32(b.bytes().data() + 36, 0x00FFFFFF);
    else
        put16(b.bytes().data() + 22, 0xFFFF);

    const Outcome o = recover(b);
    expectended(o);
    EXPECT_TRUE(o.files.isEmpty()) << o.files.keys().join('|');
    EXPECT_TRUE(o.warnings.isEmpty()) << o.warnings.join('|');
}

// ---- a table that cannot be cached and claims millions of entries ----

TEST(DamagedFatSearch, RebuildingStopsAtTheEndOfTheSource)
{
    // No FAT copies and a 65535-sector table (32 MB) on a 1 MiB image: the
    // table cannot be cached and claims 16.7 million entries; the root
    // region starts on the table, so its first sectors are both. 50
    // deleted slots there each start on a free entry followed by used ones
    // (0xFFFF) up to the end of the image, so each rebuilding searches on
    // for a free cluster: through every entry the table claims, one
    // failed read each, unless the search stops where the source ends.
    QTemporaryDir tmp;
    FatBuilder b(fat16layout(1u << 20));
    constexpr int count = 51;
    std::vector<unsigned char>& img = b.bytes();
    const std::size_t table = std::size_t(b.layout().reservedsectors) * 512;
    img[16] = 0;                                                   // FAT count
    put16(img.data() + 17, count);                                 // root entries
    put16(img.data() + 22, 0xFFFF);                                // sectors per FAT
    std::fill(img.begin() + std::ptrdiff_t(table), img.end(), 0xFF);
    std::fill(img.begin() + std::ptrdiff_t(table), img.begin() + std::ptrdiff_t(table + 32), 0);
    for (int k = 1; k < count; ++k) {
        unsigned char* e = img.data() + table + std::size_t(k) * 32;
        std::fill(e, e + 32, 0);
        std::memcpy(e, QByteArray("\xE5" "GONE   BIN").constData(), 11);
        e[11] = 0x20;
        put16(e + 24, fatdate(2017, 1, 1));
        const std::uint16_t start = std::uint16_t(5000 + 10 * k);
        put16(e + 26, start);
        put32(e + 28, 4u << 20);
        put16(img.data() + table + std::size_t(start) * 2, 0);  // its entry: free
    }
    const QString image = tmp.filePath("search.img");
    ASSERT_TRUE(b.save(image));
    const RunOutcome o = wholerun(image, tmp.filePath("out"), [](const KOVCore& core) {
        EXPECT_EQ(core.fat, nullptr);
        EXPECT_EQ(core.fatentries, 0xFFFFu * 256);
    });
    expectended(o);
    // Each rebuilt file keeps its first cluster only, which lies past the
    // bitmap of the volume's 2048 sectors: counted as used, so dropped.
    EXPECT_TRUE(o.files.isEmpty()) << o.files.keys().join('|');
    EXPECT_TRUE(o.warnings.isEmpty()) << o.warnings.join('|');
}

TEST(DamagedFatSearch, FuzzInputWithAnUncachedTableEnds)
{
    // Found by the fuzz target (a timeout): a FAT16 boot sector with no FAT
    // copies, a 13140-sector table on a 94 KB image and 6484 root entries
    // laid over the table and the data. Twenty garbage slots read as
    // deleted files; each search for free clusters went through 3.4 million
    // claimed entries with one read each.
    QFile text(QFileInfo(QStringLiteral(__FILE__)).dir().filePath("data/fuzz-uncached-fat-timeout.b64"));
    ASSERT_TRUE(text.open(QIODevice::ReadOnly));
    const QByteArray bytes = qUncompress(QByteArray::fromBase64(text.readAll()));
    ASSERT_EQ(bytes.size(), 93975);
    QTemporaryDir tmp;
    const QString image = tmp.filePath("fuzz.img");
    ASSERT_TRUE(writefile(image, bytes));

    const RunOutcome o =
        wholerun(image, tmp.filePath("out"), [](const KOVCore& core) { EXPECT_EQ(core.fat, nullptr); });
    expectended(o);
    // The twenty files start past the image, on clusters that do not
    // exist: none is rebuilt.
    EXPECT_TRUE(o.files.isEmpty());
    EXPECT_TRUE(o.warnings.isEmpty()) << o.warnings.join('|').toStdString();
}

INSTANTIATE_TEST_SUITE_P(Widths, DamagedFat, ::testing::Values(16, 32),
                         [](const auto& info) { return "Fat" + std::to_string(info.param); });
