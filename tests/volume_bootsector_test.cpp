// Boot sectors: classification on crafted sectors, and parsing of what
// mkfs.fat wrote compared with what it was told.
#include "support/fatbuilder.h"
#include "support/mtoolsimage.h"
#include "support/recordingcore.h"
#include "volume/bootsector.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstring>

using namespace testsupport;

namespace {

struct Sector {
    unsigned char bytes[512] = {};
    Sector()
    {
        put16(bytes + 11, 512);
        bytes[13] = 4;
        put16(bytes + 22, 1);  // a FAT12 or FAT16 table of one sector
    }
    Sector& label(int offset, const char* text)
    {
        std::memcpy(bytes + offset, text, std::strlen(text));
        return *this;
    }
};

QByteArray sector0(const QString& image)
{
    QFile f(image);
    return f.open(QIODevice::ReadOnly) ? f.read(512) : QByteArray();
}

DBRPARM parse(const QString& image)
{
    const QByteArray boot = sector0(image);
    DBRPARM p;
    if (boot.size() == 512)
        KOVCore::parsedbr(reinterpret_cast<const unsigned char*>(boot.constData()), &p);
    return p;
}

}  // namespace

TEST(BootSectorType, SignaturesInOrder)
{
    EXPECT_EQ(KOVCore::classifydbr(Sector().label(82, "FAT32").bytes), 1u);
    EXPECT_EQ(KOVCore::classifydbr(Sector().label(54, "FAT16").bytes), 2u);
    // NTFS wins over any FAT label; FAT32 wins over FAT16.
    EXPECT_EQ(KOVCore::classifydbr(Sector().label(3, "NTFS").label(82, "FAT32").label(54, "FAT16").bytes), 0u);
    EXPECT_EQ(KOVCore::classifydbr(Sector().label(82, "FAT32").label(54, "FAT16").bytes), 1u);
    EXPECT_EQ(KOVCore::classifydbr(Sector().label(54, "FAT12").bytes), 5u);
    EXPECT_EQ(KOVCore::classifydbr(Sector().label(54, "FAT  ").bytes), 3u);
    EXPECT_EQ(KOVCore::classifydbr(Sector().bytes), 3u);
    // A table of no sectors lays out no FAT12 or FAT16 volume, whatever the
    // label; FAT32 keeps its table's size elsewhere.
    for (const char* label : {"FAT12", "FAT16"}) {
        Sector notable;
        put16(notable.label(54, label).bytes + 22, 0);
        EXPECT_EQ(KOVCore::classifydbr(notable.bytes), 3u) << label;
    }
    Sector fat32;
    put16(fat32.label(82, "FAT32").bytes + 22, 0);
    EXPECT_EQ(KOVCore::classifydbr(fat32.bytes), 1u);
}

TEST(BootSectorType, FatLabelWithoutSectorOrClusterSizeIsNotFat)
{
    Sector nocluster;
    nocluster.label(82, "FAT32").bytes[13] = 0;
    EXPECT_EQ(KOVCore::classifydbr(nocluster.bytes), 3u);
    // Only the four FAT sector sizes lay out a volume.
    for (const std::uint16_t size : {0, 1, 32, 256, 510, 511, 513, 768, 8192, 65535, 512, 1024, 2048, 4096}) {
        const bool fat = size == 512 || size == 1024 || size == 2048 || size == 4096;
        Sector fat16, fat32;
        put16(fat16.label(54, "FAT16").bytes + 11, size);
        put16(fat32.label(82, "FAT32").bytes + 11, size);
        EXPECT_EQ(KOVCore::classifydbr(fat16.bytes), fat ? 2u : 3u) << size;
        EXPECT_EQ(KOVCore::classifydbr(fat32.bytes), fat ? 1u : 3u) << size;
    }
}

TEST(BootSectorParse, Fat16FieldsOverrideTheFat32Ones)
{
    Sector s;
    s.label(54, "FAT16");
    put16(s.bytes + 14, 4);
    s.bytes[16] = 2;
    put16(s.bytes + 17, 512);
    put16(s.bytes + 19, 40000);
    put16(s.bytes + 22, 40);
    put32(s.bytes + 36, 999);  // a FAT32 field a FAT16 volume must not use
    put32(s.bytes + 44, 77);
    DBRPARM p;
    KOVCore::parsedbr(s.bytes, &p);
    EXPECT_EQ(p.fstype, 2u);
    EXPECT_EQ(p.totalsectors, 40000u);  // 32-bit form is 0
    EXPECT_EQ(p.sectorsperfat, 40u);
    EXPECT_EQ(p.rootcluster, 2u);
    EXPECT_EQ(p.rootentries, 512);

    put32(s.bytes + 32, 123456);  // the 32-bit total wins when set
    KOVCore::parsedbr(s.bytes, &p);
    EXPECT_EQ(p.totalsectors, 123456u);
}

class MkfsBootSector : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString path(const char* name) { return dir.filePath(name); }
};

TEST_F(MkfsBootSector, Fat16AsFormatted)
{
    const QString image = path("f16.img");
    ASSERT_TRUE(makefat(image, 16, 32u << 20, 4, {"-R", "4", "-f", "2", "-r", "512"})) << lasterror();
    const DBRPARM p = parse(image);
    EXPECT_EQ(p.fstype, 2u);
    EXPECT_EQ(p.bytespersector, 512);
    EXPECT_EQ(p.sectorspercluster, 4u);
    EXPECT_EQ(p.reservedsectors, 4);
    EXPECT_EQ(p.fatcount, 2);
    EXPECT_EQ(p.rootentries, 512);
    EXPECT_EQ(p.rootcluster, 2u);
    EXPECT_EQ(p.totalsectors, (32u << 20) / 512);
    // The FAT covers every data cluster, and not many more.
    const std::uint64_t clusters = (p.totalsectors - 4 - 2 * p.sectorsperfat - 32) / 4;
    EXPECT_GE(p.sectorsperfat * 256u, clusters + 2);
    EXPECT_LT(p.sectorsperfat * 256u, clusters + 2 + 2 * 256);
}

TEST_F(MkfsBootSector, Fat32AsFormatted)
{
    const QString image = path("f32.img");
    ASSERT_TRUE(makefat(image, 32, 64u << 20, 1, {"-R", "32", "-f", "2"})) << lasterror();
    const DBRPARM p = parse(image);
    EXPECT_EQ(p.fstype, 1u);
    EXPECT_EQ(p.bytespersector, 512);
    EXPECT_EQ(p.sectorspercluster, 1u);
    EXPECT_EQ(p.reservedsectors, 32);
    EXPECT_EQ(p.fatcount, 2);
    EXPECT_EQ(p.rootcluster, 2u);
    EXPECT_EQ(p.totalsectors, (64u << 20) / 512);
    const std::uint64_t clusters = p.totalsectors - 32 - 2 * p.sectorsperfat;
    EXPECT_GE(p.sectorsperfat * 128u, clusters + 2);
    EXPECT_LT(p.sectorsperfat * 128u, clusters + 2 + 2 * 128);
}

TEST_F(MkfsBootSector, Fat32With4096ByteSectors)
{
    const QString image = path("f32-4k.img");
    ASSERT_TRUE(makefat(image, 32, 300u << 20, 1, {"-S", "4096"})) << lasterror();
    const DBRPARM p = parse(image);
    EXPECT_EQ(p.fstype, 1u);
    EXPECT_EQ(p.bytespersector, 4096);
    EXPECT_EQ(p.totalsectors, (300u << 20) / 4096);
}

TEST_F(MkfsBootSector, VolumeListOffersFat12Fat16AndFat32)
{
    const QString f32 = path("a32.img"), f12 = path("b12.img"), f16 = path("d16.img");
    ASSERT_TRUE(makefat(f32, 32, 40u << 20, 1)) << lasterror();
    ASSERT_TRUE(makefat(f12, 12, 2u << 20, 1)) << lasterror();
    ASSERT_TRUE(makefat(f16, 16, 20u << 20, 1)) << lasterror();
    platform::setblockdevicesenabled(false);
    platform::setimagefiles({f32, f12, path("missing.img"), f16});
    RecordingCore core;
    EXPECT_EQ(core.getallvol(), 3);
    ASSERT_EQ(core.volumes.size(), 3);
    EXPECT_EQ(core.volumes[0].root, "C:\\");
    EXPECT_EQ(core.volumes[0].path, f32);
    EXPECT_EQ(core.volumes[0].kind, "FAT32");
    EXPECT_EQ(core.volumes[1].root, "D:\\");
    EXPECT_EQ(core.volumes[1].path, f12);
    EXPECT_EQ(core.volumes[1].kind, "FAT12");
    EXPECT_EQ(core.volumes[2].root, "F:\\");  // E (missing) is left out
    EXPECT_EQ(core.volumes[2].path, f16);
    EXPECT_EQ(core.volumes[2].kind, "FAT16");
    EXPECT_EQ(core.partitiontype("D:\\"), 5);
    EXPECT_EQ(core.partitiontype("E:\\"), 3);
    unsigned char* buffer = reinterpret_cast<unsigned char*>(1);
    EXPECT_EQ(core.readdbr("E:\\", buffer), 1);
    EXPECT_EQ(buffer, nullptr);
    platform::setimagefiles({});
}

TEST_F(MkfsBootSector, NoFatSourceGivesZero)
{
    const QString junk = path("junk.img");
    ASSERT_TRUE(writefile(junk, QByteArray(4096, 'x')));
    const QString empty = path("empty.img");
    ASSERT_TRUE(writefile(empty, QByteArray()));
    platform::setblockdevicesenabled(false);
    platform::setimagefiles({junk, empty});
    RecordingCore core;
    EXPECT_EQ(core.getallvol(), 0);
    unsigned char* buffer = nullptr;
    EXPECT_EQ(core.readdbr("D:\\", buffer), 3);  // an empty file has no sector 0
    EXPECT_EQ(buffer, nullptr);
    platform::setimagefiles({});
}
