// Whole runs on volumes whose boot sector is damaged: zero and absurd
// values in every field the layout uses, 4096-byte sectors, and volumes
// smaller than their layout. A boot sector that cannot be laid out is
// refused; every other run ends, saves what its layout leads to, reports
// what failed, and leaves the image untouched.
#include "support/fatbuilder.h"
#include "support/mtoolsimage.h"
#include "support/qtprint.h"
#include "support/recordingcore.h"
#include "support/wholerun.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <functional>

using namespace testsupport;

namespace {

using Outcome = RunOutcome;

// Boot sector fields of the layout.
namespace field {
constexpr int bytespersector = 11;
constexpr int sectorspercluster = 13;
constexpr int reservedsectors = 14;
constexpr int fatcount = 16;
constexpr int rootentries = 17;
constexpr int totalsectors16 = 19;
constexpr int sectorsperfat16 = 22;
constexpr int totalsectors32 = 32;
constexpr int sectorsperfat32 = 36;
constexpr int rootcluster = 44;
}  // namespace field

class DamagedBoot : public ::testing::TestWithParam<int> {
protected:
    QTemporaryDir tmp;
    int runs = 0;
    int images = 0;
    const QByteArray live = patterndata(1000, 1);
    const QByteArray gone = patterndata(900, 2);

    bool fat32() const { return GetParam() == 32; }

    // The volume every case damages: a live file on clusters 100-101 and a
    // deleted one on 200-201, on 1 MiB with 512-byte sectors and clusters.
    FatBuilder base() const
    {
        FatBuilder b(fat32() ? fat32layout(1u << 20) : fat16layout(1u << 20));
        b.addfile(0, 0, shortname("LIVE.BIN"), live, 100);
        b.addfile(0, 1, shortname("GONE.BIN"), gone, 200);
        b.deleteentry(0, 1);
        return b;
    }

    QString save(const FatBuilder& b, std::uint64_t truncateto = ~std::uint64_t(0))
    {
        const QString image = tmp.filePath(QStringLiteral("v%1.img").arg(images++));
        EXPECT_TRUE(b.save(image, truncateto));
        return image;
    }

    Outcome recoverimage(const QString& image)
    {
        return wholerun(image, tmp.filePath(QStringLiteral("out%1").arg(runs++)));
    }

    Outcome recover(const FatBuilder& b) { return recoverimage(save(b)); }
};

void put8(std::vector<unsigned char>& image, int offset, std::uint8_t v) { image[std::size_t(offset)] = v; }
void put16at(std::vector<unsigned char>& image, int offset, std::uint16_t v) { put16(image.data() + offset, v); }
void put32at(std::vector<unsigned char>& image, int offset, std::uint32_t v) { put32(image.data() + offset, v); }

}  // namespace

TEST_P(DamagedBoot, UndamagedBaseRecoversTheDeletedFile)
{
    const Outcome o = recover(base());
    expectended(o);
    EXPECT_EQ(o.files, (QMap<QString, QByteArray>{{"kONE.BIN", gone}}));
    EXPECT_TRUE(o.warnings.isEmpty()) << o.warnings.join('|');
}

// ---- zero and absurd values in every field of the layout ----

namespace {

// What a damaged boot sector leads to.
enum class Expect {
    refused,    // not listed: no layout can be made of it
    nothing,    // the run ends having saved nothing, silently
    recovered,  // the deleted file is saved whole, as on the undamaged volume
    misplaced,  // the deleted file is saved from where the damaged layout puts it
};

struct BootCase {
    const char* name;
    int width;  // 0: both
    std::function<void(std::vector<unsigned char>&)> damage;
    Expect expect;
    // For misplaced: the sector where the damaged layout's data area begins
    // and its cluster size in bytes, from the undamaged layout's sector
    // counts (reserved, FAT, root).
    std::function<std::uint64_t(const FatLayout&)> datasector = nullptr;
    std::uint64_t clusterbytes = 512;
};

std::uint64_t rootsectors(const FatLayout& l) { return l.fatbits == 16 ? std::uint64_t(l.rootentries) * 32 / 512 : 0; }

}  // namespace

TEST_P(DamagedBoot, ZeroAndAbsurdLayoutFields)
{
    using I = std::vector<unsigned char>;
    const std::vector<BootCase> cases = {
        // A sector or cluster size of 0 cannot be laid out.
        {"bytes per sector 0", 0, [](I& i) { put16at(i, field::bytespersector, 0); }, Expect::refused},
        {"sectors per cluster 0", 0, [](I& i) { put8(i, field::sectorspercluster, 0); }, Expect::refused},
        // Sector sizes FAT does not have; 510 and 511 would let table
        // entries straddle the end of a sector.
        {"bytes per sector 1", 0, [](I& i) { put16at(i, field::bytespersector, 1); }, Expect::refused},
        {"bytes per sector 32", 0, [](I& i) { put16at(i, field::bytespersector, 32); }, Expect::refused},
        {"bytes per sector 510", 0, [](I& i) { put16at(i, field::bytespersector, 510); }, Expect::refused},
        {"bytes per sector 511", 0, [](I& i) { put16at(i, field::bytespersector, 511); }, Expect::refused},
        {"bytes per sector 65535", 0, [](I& i) { put16at(i, field::bytespersector, 0xFFFF); }, Expect::refused},
        // Huge sectors put the root past the image or on empty clusters.
        {"bytes per sector 4096", 0, [](I& i) { put16at(i, field::bytespersector, 4096); }, Expect::nothing},
        // Clusters of 3 sectors: the file is read from its cluster number
        // times 1536 bytes into the (unchanged) data area.
        {"sectors per cluster 3", 0, [](I& i) { put8(i, field::sectorspercluster, 3); }, Expect::misplaced,
         [](const FatLayout& l) { return l.reservedsectors + l.fatcount * l.sectorsperfat + rootsectors(l); }, 1536},
        // 255 sectors per cluster: the bitmap has 2048 / 255 = 8 clusters;
        // the deleted file lies past them and counts as used.
        {"sectors per cluster 255", 0, [](I& i) { put8(i, field::sectorspercluster, 0xFF); }, Expect::nothing},
        // No reserved sectors: the FAT16 table starts on the boot sector
        // (its entries for the file are zero, so free) and the data area
        // moves 4 sectors down; the FAT32 root lands on the table.
        {"reserved sectors 0 (FAT16)", 16, [](I& i) { put16at(i, field::reservedsectors, 0); }, Expect::misplaced,
         [](const FatLayout& l) { return l.fatcount * l.sectorsperfat + rootsectors(l); }},
        {"reserved sectors 0 (FAT32)", 32, [](I& i) { put16at(i, field::reservedsectors, 0); }, Expect::nothing},
        {"reserved sectors 65535", 0, [](I& i) { put16at(i, field::reservedsectors, 0xFFFF); }, Expect::nothing},
        // No FAT copies: the FAT16 root region starts on the table and runs
        // on into the real root, whose entries are found; the data area
        // moves down by both tables. The FAT32 root cluster lands on the
        // table, where no slot is valid.
        {"FAT count 0 (FAT16)", 16, [](I& i) { put8(i, field::fatcount, 0); }, Expect::misplaced,
         [](const FatLayout& l) { return l.reservedsectors + rootsectors(l); }},
        {"FAT count 0 (FAT32)", 32, [](I& i) { put8(i, field::fatcount, 0); }, Expect::nothing},
        {"FAT count 255", 0, [](I& i) { put8(i, field::fatcount, 0xFF); }, Expect::nothing},
        // The table's size (more in DamagedFat): 0 lays out no FAT16 volume
        // and gives FAT32 no entries; the largest FAT32 value wraps the
        // data area's start to sector 30, in the reserved sectors, where
        // the root cluster holds nothing.
        {"sectors per FAT 0 (FAT16)", 16, [](I& i) { put16at(i, field::sectorsperfat16, 0); }, Expect::refused},
        {"sectors per FAT 0 (FAT32)", 32, [](I& i) { put32at(i, field::sectorsperfat32, 0); }, Expect::nothing},
        {"sectors per FAT 65535", 16, [](I& i) { put16at(i, field::sectorsperfat16, 0xFFFF); }, Expect::nothing},
        {"sectors per FAT 2^32-1", 32, [](I& i) { put32at(i, field::sectorsperfat32, 0xFFFFFFFF); },
         Expect::nothing},
        {"root entries 0", 16, [](I& i) { put16at(i, field::rootentries, 0); }, Expect::nothing},
        // 65535 root entries: the root region runs to the image's end (the
        // data clusters read as slots) and the data area starts past it, so
        // no cluster exists to rebuild the file on.
        {"root entries 65535", 16, [](I& i) { put16at(i, field::rootentries, 0xFFFF); }, Expect::nothing},
        // No sectors: the bitmap is empty, so every cluster counts as used.
        {"total sectors 0", 0, [](I& i) { put16at(i, field::totalsectors16, 0); put32at(i, field::totalsectors32, 0); },
         Expect::nothing},
        // 2^32 - 1 sectors: the clusters past the image's end get no
        // bitmap bits and hold nothing.
        {"total sectors 2^32-1", 0,
         [](I& i) { put16at(i, field::totalsectors16, 0); put32at(i, field::totalsectors32, 0xFFFFFFFF); },
         Expect::recovered},
        {"root cluster 0", 32, [](I& i) { put32at(i, field::rootcluster, 0); }, Expect::nothing},
        {"root cluster 1", 32, [](I& i) { put32at(i, field::rootcluster, 1); }, Expect::nothing},
        // The root on a live file's cluster: its data are no valid slots.
        {"root cluster on a file", 32, [](I& i) { put32at(i, field::rootcluster, 100); }, Expect::nothing},
        {"root cluster at the table's end", 32, [](I& i) { put32at(i, field::rootcluster, 2048); }, Expect::nothing},
        {"root cluster 0x0FFFFFFF", 32, [](I& i) { put32at(i, field::rootcluster, 0x0FFFFFFF); }, Expect::nothing},
        {"root cluster 0xFFFFFFFF", 32, [](I& i) { put32at(i, field::rootcluster, 0xFFFFFFFF); }, Expect::nothing},
    };
    for (const BootCase& c : cases) {
        if (c.width != 0 && c.width != GetParam())
            continue;
        SCOPED_TRACE(c.name);
        FatBuilder b = base();
        ASSERT_EQ(b.layout().sectorsperfat * 512 / (fat32() ? 4 : 2), 2048u) << "the cases assume 2048 entries";
        c.damage(b.bytes());
        if (fat32()) {
            // The same damage in the backup boot sector at sector 6: a
            // sound backup would stand in for sector 0 (DamagedSystem).
            std::vector<unsigned char> backup(b.bytes().begin() + 6 * 512, b.bytes().begin() + 7 * 512);
            c.damage(backup);
            std::copy(backup.begin(), backup.end(), b.bytes().begin() + 6 * 512);
        }
        const QString image = save(b);
        const Outcome o = recoverimage(image);
        if (c.expect == Expect::refused) {
            EXPECT_FALSE(o.listed);
            EXPECT_TRUE(o.files.isEmpty());
            EXPECT_TRUE(o.warnings.isEmpty()) << o.warnings.join('|');
            continue;
        }
        expectended(o);
        switch (c.expect) {
        case Expect::nothing:
            EXPECT_TRUE(o.files.isEmpty()) << o.files.keys().join('|');
            EXPECT_TRUE(o.warnings.isEmpty()) << o.warnings.join('|');
            break;
        case Expect::recovered:
            EXPECT_EQ(o.files, (QMap<QString, QByteArray>{{"kONE.BIN", gone}}));
            EXPECT_TRUE(o.warnings.isEmpty()) << o.warnings.join('|');
            break;
        case Expect::misplaced: {
            QFile f(image);
            ASSERT_TRUE(f.open(QIODevice::ReadOnly));
            // Start cluster 200 is data-area cluster 198.
            ASSERT_TRUE(f.seek(qint64(c.datasector(b.layout()) * 512 + 198 * c.clusterbytes)));
            const QByteArray there = f.read(gone.size());
            ASSERT_EQ(there.size(), gone.size());
            EXPECT_EQ(o.files, (QMap<QString, QByteArray>{{"kONE.BIN", there}}));
            EXPECT_NE(there, gone);
            EXPECT_TRUE(o.warnings.isEmpty()) << o.warnings.join('|');
            break;
        }
        default:
            break;
        }
    }
}

TEST_P(DamagedBoot, CommandLineRefusesAVolumeWithoutSectorSize)
{
    FatBuilder b = base();
    put16at(b.bytes(), field::bytespersector, 0);
    if (fat32())
        put16at(b.bytes(), 6 * 512 + field::bytespersector, 0);  // and in the backup
    const QString image = save(b);
    const QByteArray before = sha256(image);
    const QString out = tmp.filePath("cli-out");
    QProcess p;
    p.start(QStringLiteral(KOV_RECOVER_BIN), {image, out});
    ASSERT_TRUE(p.waitForFinished(60000));
    EXPECT_EQ(p.exitCode(), 3);
    EXPECT_TRUE(p.readAllStandardError().contains("not a FAT12, FAT16, FAT32 or exFAT volume"));
    EXPECT_FALSE(QFileInfo::exists(out));
    EXPECT_EQ(sha256(image), before);
}

// ---- 4096-byte sectors ----

TEST_P(DamagedBoot, SectorsOf4096BytesAreLaidOutWithTheirOwnSize)
{
    // The image file reports 512-byte sectors; the layout must use the
    // boot sector's 4096.
    FatLayout l = fat32() ? fat32layout(8u << 20) : fat16layout(8u << 20);
    l.bytespersector = 4096;
    l.totalsectors = (8u << 20) / 4096;
    l.reservedsectors = fat32() ? 8 : 1;
    l.sectorspercluster = 1;
    FatBuilder b(l);
    const QByteArray one = patterndata(10000, 3);   // three clusters
    const QByteArray two = patterndata(4096, 4);    // exactly one
    b.addfile(0, 0, shortname("KEEP.BIN"), patterndata(5000, 5), 20);
    b.addfile(0, 1, shortname("ONE.BIN"), one, 30);
    b.addfile(0, 2, shortname("TWO.BIN"), two, 40);
    b.deleteentry(0, 1);
    b.deleteentry(0, 2);
    const Outcome o = recover(b);
    expectended(o);
    EXPECT_EQ(o.files, (QMap<QString, QByteArray>{{"kNE.BIN", one}, {"kWO.BIN", two}}));
    EXPECT_TRUE(o.warnings.isEmpty()) << o.warnings.join('|');
}

TEST(DamagedBootTools, Fat16With4096ByteSectorsFromMkfs)
{
    QTemporaryDir tmp;
    const QString image = tmp.filePath("s4096.img");
    ASSERT_TRUE(makefat(image, 16, 20u << 20, 1, {"-S", "4096"})) << lasterror();
    const QByteArray data = patterndata(30000, 6);
    ASSERT_TRUE(writefile(tmp.filePath("d"), data));
    ASSERT_TRUE(mcopy(image, tmp.filePath("d"), "GONE.DAT")) << lasterror();
    ASSERT_TRUE(mcopy(image, tmp.filePath("d"), "KEEP.DAT")) << lasterror();
    ASSERT_TRUE(mdel(image, "GONE.DAT")) << lasterror();
    const RunOutcome o = wholerun(image, tmp.filePath("out"),
                                  [](const KOVCore& core) { EXPECT_EQ(core.dbrparm.bytespersector, 4096); });
    expectended(o);
    EXPECT_EQ(o.files, (QMap<QString, QByteArray>{{"kONE.DAT", data}}));
    EXPECT_TRUE(o.warnings.isEmpty()) << o.warnings.join('|');
}

// ---- a volume smaller than its layout ----

TEST_P(DamagedBoot, VolumeSmallerThanItsLayoutSavesWhatItHolds)
{
    // The boot sector describes 4 MiB; the image ends after 1 MiB. A
    // deleted file inside the first MiB is recovered; one whose clusters lie
    // past the end has nothing to be rebuilt on.
    FatBuilder b(fat32() ? fat32layout(4u << 20) : fat16layout(4u << 20));
    const QByteArray inside = patterndata(1500, 7);
    b.addfile(0, 0, shortname("INSIDE.BIN"), inside, 300);
    b.addfile(0, 1, shortname("OUTSIDE.BIN"), patterndata(1500, 8), 6000);
    b.deleteentry(0, 0);
    b.deleteentry(0, 1);
    ASSERT_GT(b.clusteroffset(6000), 1u << 20);
    const Outcome o = recoverimage(save(b, 1u << 20));
    expectended(o);
    EXPECT_EQ(o.files, (QMap<QString, QByteArray>{{"kNSIDE.BIN", inside}}));
    EXPECT_TRUE(o.warnings.isEmpty()) << o.warnings.join('|');
    EXPECT_EQ(o.stats.saved, 1u);
}

TEST_P(DamagedBoot, VolumeEndingBeforeItsDataAreaSavesNothing)
{
    // Cut inside the second FAT copy: the root (FAT16 region or FAT32
    // cluster) is past the end, so no entry is ever read.
    FatBuilder b = base();
    const std::uint64_t cut =
        (std::uint64_t(b.layout().reservedsectors) + b.layout().sectorsperfat + 1) * b.layout().bytespersector;
    const Outcome o = recoverimage(save(b, cut));
    expectended(o);
    EXPECT_TRUE(o.files.isEmpty()) << o.files.keys().join('|');
    EXPECT_TRUE(o.warnings.isEmpty()) << o.warnings.join('|');
    EXPECT_EQ(o.stats.entries, 0u);
}

INSTANTIATE_TEST_SUITE_P(Widths, DamagedBoot, ::testing::Values(16, 32),
                         [](const auto& info) { return "Fat" + std::to_string(info.param); });

