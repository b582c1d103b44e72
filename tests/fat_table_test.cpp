// The FAT table and its chains: entry lookups from the cached table and from
// the volume, the sector arithmetic behind the uncached ones, and the chain
// walk on images made by mkfs.fat/mtools and on crafted tables.
#include "support/fatbuilder.h"
#include "support/mtoolsimage.h"
#include "support/recordingcore.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <ostream>

using namespace testsupport;

static void PrintTo(const DATARUN& r, std::ostream* os)
{
    *os << "{lcn " << r.lcn << ", length " << r.length << ", vcn " << r.vcn << "}";
}

namespace {

using Runs = std::vector<DATARUN>;

QByteArray readall(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Entry n of the first FAT straight from the image bytes.
std::uint32_t ondisk(const QByteArray& image, const KOVCore& core, std::uint32_t n)
{
    const auto* p = reinterpret_cast<const unsigned char*>(image.constData()) +
                    std::uint64_t(core.dbrparm.reservedsectors) * core.dbrparm.bytespersector +
                    std::uint64_t(n) * (core.fatbits / 8);
    return core.fatbits == 32 ? get32(p) : get16(p);
}

class FatTable : public ::testing::Test {
protected:
    QTemporaryDir dir;
    RecordingCore core;

    QString open(const FatBuilder& b, const char* name, std::uint64_t truncateto = ~std::uint64_t(0))
    {
        const QString path = dir.filePath(name);
        EXPECT_TRUE(b.save(path, truncateto));
        core.openimage(path);
        return path;
    }

    // A small volume with live, fragmented and deleted files, made by the
    // real tools.
    QString toolimage(int fatbits)
    {
        const QString image = dir.filePath(fatbits == 16 ? "t16.img" : "t32.img");
        const QString local = dir.filePath("local.bin");
        EXPECT_TRUE(makefat(image, fatbits, fatbits == 16 ? 20u << 20 : 40u << 20, 1)) << lasterror();
        for (int i = 0; i < 6; ++i) {
            EXPECT_TRUE(writefile(local, patterndata(700u * (i + 1), i)));
            EXPECT_TRUE(mcopy(image, local, QStringLiteral("F%1.BIN").arg(i))) << lasterror();
        }
        EXPECT_TRUE(mmd(image, "SUB")) << lasterror();
        EXPECT_TRUE(mdel(image, "F1.BIN")) << lasterror();
        if (fatbits == 32) {
            EXPECT_TRUE(resetfsinfohint(image)) << lasterror();
        }
        EXPECT_TRUE(writefile(local, patterndata(9000, 77)));
        EXPECT_TRUE(mcopy(image, local, "SUB/BIG.BIN")) << lasterror();
        return image;
    }
};

void samelookups(RecordingCore& core, const QString& image)
{
    ASSERT_TRUE(core.warnings.isEmpty()) << core.warnings.join(';').toStdString();
    ASSERT_NE(core.fat, nullptr);
    ASSERT_GT(core.fatentries, 1000u);
    const QByteArray bytes = readall(image);
    std::vector<std::uint32_t> cached(core.fatentries);
    int used = 0;
    for (std::uint32_t n = 0; n < core.fatentries; ++n) {
        cached[n] = core.getfatentry(n);
        ASSERT_EQ(cached[n], ondisk(bytes, core, n)) << "entry " << n;
        used += n >= 2 && cached[n] != 0;
    }
    // Enough of the table is in use for the comparison to mean something.
    EXPECT_GT(used, 20);
    core.fat.reset();
    for (std::uint32_t n = 0; n < core.fatentries; ++n)
        ASSERT_EQ(core.getfatentry(n), cached[n]) << "entry " << n;
}

}  // namespace

TEST_F(FatTable, CachedAndUncachedLookupsAgreeFat16)
{
    const QString image = toolimage(16);
    core.openimage(image);
    EXPECT_EQ(core.fatbits, 16u);
    samelookups(core, image);
}

TEST_F(FatTable, CachedAndUncachedLookupsAgreeFat32)
{
    const QString image = toolimage(32);
    core.openimage(image);
    EXPECT_EQ(core.fatbits, 32u);
    samelookups(core, image);
}

TEST_F(FatTable, Fat32EntriesAreNotMasked)
{
    FatBuilder b(fat32layout(4u << 20));
    b.setfat(10, 0xF000000Bu);
    b.setfat(11, 0x1FFFFFFFu);
    b.setfat(12, 0x0FFFFFF8u);
    open(b, "mask.img");
    for (bool cached : {true, false}) {
        if (!cached)
            core.fat.reset();
        EXPECT_EQ(core.getfatentry(10), 0xF000000Bu) << cached;
        EXPECT_EQ(core.getfatentry(11), 0x1FFFFFFFu) << cached;
        EXPECT_EQ(core.getfatentry(12), 0x0FFFFFF8u) << cached;
        EXPECT_EQ(core.getfatentry(13), 0u) << cached;
    }
}

TEST_F(FatTable, SectorAndPositionOfAnEntry)
{
    struct Case {
        int fatbits;
        std::uint16_t bytespersector;
    };
    for (const Case c : {Case{16, 512}, Case{16, 4096}, Case{32, 512}, Case{32, 4096}}) {
        SCOPED_TRACE(testing::Message() << "FAT" << c.fatbits << " with " << c.bytespersector << "-byte sectors");
        FatLayout lay = c.fatbits == 16 ? fat16layout(8u << 20) : fat32layout(40u << 20);
        lay.bytespersector = c.bytespersector;
        lay.totalsectors = (c.fatbits == 16 ? 8u << 20 : 40u << 20) / c.bytespersector;
        lay.reservedsectors = c.fatbits == 16 ? 4 : 32;
        lay.sectorsperfat = 8;  // room for the sample on every geometry
        FatBuilder b(lay);
        const std::uint32_t perSector = c.bytespersector / (c.fatbits / 8);
        // Both sides of every sector boundary the sample reaches.
        std::vector<std::uint32_t> sample{3, perSector - 1, perSector, perSector + 1, 2 * perSector - 1,
                                          2 * perSector, 5 * perSector + 7, b.lastcluster()};
        for (std::uint32_t n : sample)
            b.setfat(n, ((n * 2654435761u) & (c.fatbits == 16 ? 0xFFEEu : 0x0FFFFFEEu)) | 1);
        const QString path = open(b, c.fatbits == 16 ? "a16.img" : "a32.img");
        const QByteArray bytes = readall(path);
        ASSERT_EQ(core.diskparm.fatstartsector, lay.reservedsectors);

        EXPECT_EQ(core.getfatentrysetor(perSector - 1), lay.reservedsectors);
        EXPECT_EQ(core.getfatentryoffsetinsector(perSector - 1), perSector - 1);
        EXPECT_EQ(core.getfatentrysetor(perSector), lay.reservedsectors + 1u);
        EXPECT_EQ(core.getfatentryoffsetinsector(perSector), 0u);
        EXPECT_EQ(core.getfatentrysetor(5 * perSector + 7), lay.reservedsectors + 5u);
        EXPECT_EQ(core.getfatentryoffsetinsector(5 * perSector + 7), 7u);
        for (std::uint32_t n : sample) {
            const std::uint64_t at = core.getfatentrysetor(n) * c.bytespersector +
                                     std::uint64_t(core.getfatentryoffsetinsector(n)) * (c.fatbits / 8);
            const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData()) + at;
            EXPECT_EQ(c.fatbits == 32 ? get32(p) : get16(p), b.fat(n)) << "entry " << n;
        }
    }
}

TEST_F(FatTable, UnreadableSectorIsNeverFree)
{
    for (int fatbits : {16, 32}) {
        SCOPED_TRACE(fatbits);
        FatBuilder b(fatbits == 16 ? fat16layout(4u << 20) : fat32layout(4u << 20));
        const std::uint32_t perSector = 512 / (fatbits / 8);
        // A chain that runs from the first FAT sector into the second one.
        std::vector<std::uint32_t> list;
        for (std::uint32_t c = perSector - 4; c <= perSector + 3; ++c)
            list.push_back(c);
        b.chain(list);
        // The image ends half way into the second sector of the first FAT.
        const std::uint64_t fatstart = std::uint64_t(b.layout().reservedsectors) * 512;
        open(b, fatbits == 16 ? "cut16.img" : "cut32.img", fatstart + 512 + 100);
        ASSERT_EQ(core.fat, nullptr);  // the whole table cannot be read
        // No data cluster lies in what is left; take them as if they did, to
        // see how unreadable entries alone are treated.
        core.clusterend = core.fatentries;
        EXPECT_EQ(core.fatentries, std::uint64_t(b.layout().sectorsperfat) * 512 / (fatbits / 8));

        EXPECT_EQ(core.getfatentry(perSector - 4), perSector - 3);
        EXPECT_EQ(core.getfatentry(perSector - 10), 0u);  // readable and free
        const std::uint32_t unknown = core.getfatentry(perSector + 20);
        EXPECT_GT(unknown, 0x0FFFFFFEu);
        EXPECT_EQ(core.getfatentry(perSector), unknown);
        // The chain ends at the first cluster whose entry cannot be read.
        EXPECT_EQ(core.fatgetdatarun(perSector - 4), (Runs{{perSector - 6, 5, 0}}));
        // Nothing is rebuilt onto a cluster that cannot be vouched for.
        EXPECT_TRUE(core.fatrecoverdatarun(perSector + 20, 512).empty());
        EXPECT_EQ(core.fatrecoverdatarun(perSector - 10, 4 * 512), (Runs{{perSector - 12, 4, 0}}));
        EXPECT_EQ(core.fatrecoverdatarun(perSector - 2, 4 * 512).size(), 0u);  // allocated start
        EXPECT_EQ(core.fatrecoverdatarun(perSector - 20, 30 * 512), (Runs{{perSector - 22, 16, 0}}));
    }
}

TEST_F(FatTable, UncachedEntryThatLeavesItsSectorIsUnknown)
{
    for (int fatbits : {16, 32}) {
        SCOPED_TRACE(fatbits);
        FatBuilder b(fatbits == 16 ? fat16layout(4u << 20) : fat32layout(4u << 20));
        open(b, fatbits == 16 ? "s16.img" : "s32.img");
        // A 511-byte sector, as a boot sector of any size would give the
        // lookup: the last entry of the first sector runs one byte past it.
        core.fat.reset();
        core.diskparm.bytespersector = 511;
        const std::uint32_t last = 510 / (fatbits / 8);
        EXPECT_EQ(core.getfatentry(last - 1), 0u);
        EXPECT_EQ(core.getfatentry(last), 0xFFFFFFFFu);
    }
}

// Chains on crafted tables, FAT16 and FAT32, read cached and uncached.
class FatChain : public ::testing::TestWithParam<int> {
protected:
    QTemporaryDir dir;
    RecordingCore core;
    FatBuilder b{GetParam() == 16 ? fat16layout(4u << 20) : fat32layout(4u << 20)};
    std::vector<std::pair<std::uint32_t, Runs>> expected;

    void open()
    {
        const QString path = dir.filePath("chain.img");
        ASSERT_TRUE(b.save(path));
        core.openimage(path);
        ASSERT_TRUE(core.warnings.isEmpty());
        ASSERT_NE(core.fat, nullptr);
    }
    void expect(std::uint32_t start, const Runs& runs) { expected.emplace_back(start, runs); }
    void check()
    {
        for (bool cached : {true, false}) {
            if (!cached)
                core.fat.reset();
            for (const auto& [start, runs] : expected)
                EXPECT_EQ(core.fatgetdatarun(start), runs) << "start " << start << (cached ? " cached" : " uncached");
        }
    }
};

TEST_P(FatChain, StretchesInChainOrder)
{
    b.chain({5, 6, 7});
    b.chain({20, 21, 22, 25, 26});
    b.chain({30});
    b.chain({43, 44, 40, 41});          // a jump backwards
    b.chain({50, 51, 54, 52, 53, 60});  // continues right after an earlier stretch
    open();
    expect(5, {{3, 3, 0}});
    expect(20, {{18, 3, 0}, {23, 2, 3}});
    expect(30, {{28, 1, 0}});
    expect(43, {{41, 2, 0}, {38, 2, 2}});
    expect(50, {{48, 2, 0}, {52, 1, 2}, {50, 2, 3}, {58, 1, 5}});
    check();
}

TEST_P(FatChain, FreeAndReservedValuesEndTheChain)
{
    b.setfat(5, 6);
    b.setfat(6, 0);  // a freed cluster inside a chain
    b.setfat(10, 0);
    b.setfat(12, 1);
    b.setfat(15, 16);
    b.setfat(16, 20);
    b.setfat(20, 1);
    open();
    expect(5, {{3, 2, 0}});
    expect(10, {{8, 1, 0}});
    expect(12, {{10, 1, 0}});
    expect(15, {{13, 2, 0}, {18, 1, 2}});
    check();
}

TEST_P(FatChain, EndAndBadMarks)
{
    const bool fat32 = GetParam() == 32;
    const std::uint32_t marks32[] = {0x0FFFFFF7u, 0x0FFFFFF8u, 0x0FFFFFFBu, 0x0FFFFFFFu};
    const std::uint32_t marks16[] = {0xFFF0u, 0xFFF7u, 0xFFF8u, 0xFFFFu};
    std::uint32_t start = 100;
    for (int i = 0; i < 4; ++i, start += 10) {
        b.setfat(start, start + 1);
        b.setfat(start + 1, fat32 ? marks32[i] : marks16[i]);
        expect(start, {{start - 2, 2, 0}});
    }
    if (fat32) {
        // The reserved top bits make any value end the chain, even one whose
        // low 28 bits name the next cluster.
        b.setfat(200, 0x10000000u | 201);
        b.setfat(201, 0x0FFFFFFFu);
        b.setfat(210, 0xF0000000u | 211);
        b.setfat(211, 0x0FFFFFFFu);
        expect(200, {{198, 1, 0}});
        expect(210, {{208, 1, 0}});
    } else {
        // 0xFFEF is still a cluster number: followed, then stopped by the
        // entry count of this small table.
        b.setfat(200, 0xFFEF);
        expect(200, {{198, 1, 0}});
    }
    open();
    check();
}

TEST_P(FatChain, LoopsEndKeepingTheirRuns)
{
    b.setfat(5, 6);
    b.setfat(6, 7);
    b.setfat(7, 5);
    b.setfat(30, 30);  // points at itself
    b.setfat(40, 41);
    b.setfat(41, 50);
    b.setfat(50, 41);  // a tail that loops back into its middle
    // Loops over most of the table: 100 -> ... -> last -> 200, and
    // 60 -> 61 -> 62 -> 60 in between. Each chain ends before the first
    // cluster it repeats.
    const std::uint32_t last = b.lastcluster();
    for (std::uint32_t c = 100; c < last; ++c)
        b.setfat(c, c + 1);
    b.setfat(last, 200);
    b.setfat(60, 61);
    b.setfat(61, 62);
    b.setfat(62, 60);
    open();
    ASSERT_GT(3 * std::uint64_t(last - 199), core.fatentries);  // the loop covers over a third
    expect(5, {{3, 3, 0}});
    expect(30, {{28, 1, 0}});
    expect(40, {{38, 2, 0}, {48, 1, 2}});
    expect(60, {{58, 3, 0}});
    expect(100, {{98, last - 99, 0}});
    expect(300, {{298, last - 299, 0}, {198, 100, last - 299}});
    check();
}

INSTANTIATE_TEST_SUITE_P(Widths, FatChain, ::testing::Values(16, 32),
                         [](const auto& info) { return "Fat" + std::to_string(info.param); });

TEST_F(FatTable, Fat16ClusterFFEFIsFollowedWhereTheTableHasIt)
{
    // A table of 65536 entries on a small volume: entry 0xFFEF exists.
    FatLayout lay = fat16layout(4u << 20);
    lay.sectorsperfat = 256;
    FatBuilder b(lay);
    b.setfat(5, 0xFFEF);
    b.setfat(0xFFEF, 0xFFFF);
    b.setfat(6, 0xFFF0);
    open(b, "wide16.img");
    ASSERT_EQ(core.fatentries, 65536u);
    EXPECT_EQ(core.fatgetdatarun(5), (Runs{{3, 1, 0}, {0xFFED, 1, 1}}));
    EXPECT_EQ(core.fatgetdatarun(6), (Runs{{4, 1, 0}}));
}

TEST_F(FatTable, Fat32LowestEndMarkStopsAtTheEntryCount)
{
    // A table large enough that 0x0FFFFFF8 would be a real cluster does not
    // exist; the mark must not be taken for one either way.
    FatBuilder b(fat32layout(40u << 20));
    b.chain({70000, 70001, 70002});
    b.setfat(70002, 0x0FFFFFF8u);
    open(b, "low32.img");
    ASSERT_LT(core.fatentries, 0x0FFFFFF8u);
    EXPECT_EQ(core.fatgetdatarun(70000), (Runs{{69998, 3, 0}}));
}
