// Whole runs on images cut short: inside the FAT, inside a directory, and
// inside a file's data. Nothing past the end is ever made up: what lies
// before the cut is used, what lies after it is reported when a file needs
// it, and every run ends with the image untouched.
#include "support/fatbuilder.h"
#include "support/mtoolsimage.h"
#include "support/qtprint.h"
#include "support/recordingcore.h"
#include "support/wholerun.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace testsupport;

namespace {

using Outcome = RunOutcome;

class Truncated : public ::testing::TestWithParam<int> {
protected:
    QTemporaryDir tmp;
    int runs = 0;

    bool fat32() const { return GetParam() == 32; }
    FatLayout layout(std::uint64_t bytes = 1u << 20) const
    {
        return fat32() ? fat32layout(bytes) : fat16layout(bytes);
    }

    // Saves the first cut bytes of the image and recovers them into a fresh
    // directory.
    Outcome recovercut(const FatBuilder& b, std::uint64_t cut)
    {
        const QString image = tmp.filePath(QStringLiteral("v%1.img").arg(runs));
        const QString out = tmp.filePath(QStringLiteral("out%1").arg(runs++));
        if (!b.save(image, cut) || QFileInfo(image).size() != qint64(cut)) {
            ADD_FAILURE() << "cannot write the image";
            return {};
        }
        return wholerun(image, out);
    }

    static std::uint64_t fatstart(const FatBuilder& b)
    {
        return std::uint64_t(b.layout().reservedsectors) * b.layout().bytespersector;
    }
};

}  // namespace

// ---- inside the FAT ----

TEST_P(Truncated, InsideTheFirstFatNothingIsReadAndTheRunEnds)
{
    FatBuilder b(layout());
    b.addfile(0, 0, shortname("GONE.BIN"), patterndata(900, 1), 100);
    b.deleteentry(0, 0);
    // Half of the first table: it cannot be cached; the entries before the
    // cut are looked up one sector at a time; the root lies past the end.
    const std::uint64_t cut = fatstart(b) + std::uint64_t(b.layout().sectorsperfat) * 512 / 2 + 100;
    const Outcome o = recovercut(b, cut);
    expectended(o);
    EXPECT_TRUE(o.files.isEmpty()) << o.files.keys().join('|');
    EXPECT_TRUE(o.warnings.isEmpty()) << o.warnings.join('|');
    EXPECT_EQ(o.stats.entries, 0u);
}

// ---- inside a directory ----

TEST_P(Truncated, InsideADirectoryTheSlotsBeforeTheCutAreWalked)
{
    // A subdirectory of two 2048-byte clusters at the end of the data in
    // use; the cut falls in the second sector of its second cluster. Slots
    // in the sectors before the cut are found, the ones after it are not.
    FatLayout l = layout(2u << 20);
    l.sectorspercluster = 4;
    FatBuilder b(l);
    const QByteArray a = patterndata(3000, 3);
    const QByteArray inner1 = patterndata(2500, 4);
    const QByteArray inner2 = patterndata(100, 5);
    b.addfile(0, 0, shortname("A.BIN"), a, 100);
    b.deleteentry(0, 0);
    const std::uint32_t sub = b.adddir(0, 1, shortname("SUB"), 300);
    b.addfile(sub, 2, shortname("INNER1.BIN"), inner1, 110);
    b.deleteentry(sub, 2);
    const int perclus = int(b.clusterbytes() / 32);
    b.addfile(sub, perclus, shortname("INNER2.BIN"), inner2, 120);  // first sector of the second cluster
    b.deleteentry(sub, perclus);
    b.addfile(sub, perclus + 60, shortname("LATE.BIN"), patterndata(100, 6), 130);  // its last sector
    b.deleteentry(sub, perclus + 60);
    const std::uint64_t second = b.slotoffset(sub, perclus);
    ASSERT_EQ(second % b.clusterbytes(), b.clusteroffset(2) % b.clusterbytes()) << "slot must start a cluster";

    const Outcome o = recovercut(b, second + 512 + 100);
    expectended(o);
    EXPECT_EQ(o.files, (QMap<QString, QByteArray>{{"k.BIN", a}, {"kNNER1.BIN", inner1}, {"kNNER2.BIN", inner2}}));
    EXPECT_TRUE(o.warnings.isEmpty()) << o.warnings.join('|');
}

TEST(TruncatedRoot, InsideTheFat16RootItsFirstSectorsAreWalked)
{
    // The cut falls in the third sector of the fixed root: the slots of the
    // first two sectors are found, but the data area lies past the end, so
    // no cluster exists for the deleted file there to be rebuilt on.
    QTemporaryDir tmp;
    FatBuilder b(fat16layout(1u << 20));
    b.addfile(0, 0, shortname("EARLY.BIN"), patterndata(700, 7), 100);
    b.deleteentry(0, 0);
    b.addfile(0, 1, shortname("FIRST.BIN"), patterndata(700, 9), 120);
    b.addfile(0, 40, shortname("LATE.BIN"), patterndata(700, 8), 110);
    b.deleteentry(0, 40);
    b.addfile(0, 41, shortname("AFTER.BIN"), patterndata(700, 10), 130);
    const std::uint64_t root = b.slotoffset(0, 0);
    const QString image = tmp.filePath("root.img");
    ASSERT_TRUE(b.save(image, root + 2 * 512 + 200));
    const RunOutcome o = wholerun(image, tmp.filePath("out"), [](const KOVCore& opened) {
        // The walk hands out the live file of the sectors read; the
        // deleted one has no cluster to be rebuilt on.
        QStringList found;
        FILEPARM walk = opened.rootdir;
        FILEPARM entry;
        entry.dialog = walk.dialog;
        while (walk.getnextfile(entry, 0) > 0)
            found.append(QString::fromLatin1(entry.namebytes()));
        EXPECT_EQ(found, QStringList({"FIRST.BIN"}));
    });
    expectended(o);
    EXPECT_TRUE(o.files.isEmpty());
    EXPECT_TRUE(o.warnings.isEmpty());
}

// ---- inside a file's data ----

TEST_P(Truncated, InsideAFileItsClustersBeforeTheCutAreSavedAndTheRunGoesOn)
{
    FatBuilder b(layout(4u << 20));
    // Before the cut: a small deleted file, saved whole. Across the cut: a
    // deleted file of 1.5 MiB whose clusters run past the end (more than
    // one 1 MiB step of the save), cut to the whole clusters before it.
    // After it in the directory: another deleted file before the cut.
    const QByteArray small = patterndata(1000, 9);
    const QByteArray big = patterndata(1536 * 1024, 10);
    const QByteArray after = patterndata(2000, 11);
    b.addfile(0, 0, shortname("SMALL.BIN"), small, 100);
    b.deleteentry(0, 0);
    const std::uint32_t bigstart = b.addfile(0, 1, shortname("BIG.BIN"), big, 200);
    b.deleteentry(0, 1);
    b.addfile(0, 2, shortname("AFTER.BIN"), after, 150);
    b.deleteentry(0, 2);
    // The cut: 2100 whole clusters of BIG, then half a cluster.
    const std::uint64_t cut = b.clusteroffset(bigstart + 2100) + 256;

    const Outcome o = recovercut(b, cut);
    expectended(o);
    EXPECT_EQ(o.files, (QMap<QString, QByteArray>{
                           {"kMALL.BIN", small}, {"kIG.BIN", big.left(2100 * 512)}, {"kFTER.BIN", after}}));
    EXPECT_TRUE(o.warnings.isEmpty()) << o.warnings.join('|');
    EXPECT_EQ(o.stats.saved, 3u);
}

TEST_P(Truncated, InsideTheLastClusterOfAFileNothingIsMadeUp)
{
    // The file's last cluster is cut in its middle: that cluster does not
    // exist whole, so the file is cut to its earlier clusters, even though
    // its last bytes lie before the cut.
    FatBuilder b(layout());
    const QByteArray data = patterndata(1100, 12);  // 3 clusters, 76 bytes in the last
    const std::uint32_t s = b.addfile(0, 0, shortname("TAIL.BIN"), data, 300);
    b.deleteentry(0, 0);
    const Outcome o = recovercut(b, b.clusteroffset(s + 2) + 300);
    expectended(o);
    EXPECT_EQ(o.files, (QMap<QString, QByteArray>{{"kAIL.BIN", data.left(1024)}}));
    EXPECT_TRUE(o.warnings.isEmpty()) << o.warnings.join('|');
}

INSTANTIATE_TEST_SUITE_P(Widths, Truncated, ::testing::Values(16, 32),
                         [](const auto& info) { return "Fat" + std::to_string(info.param); });
