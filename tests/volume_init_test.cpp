// Volume initialisation: layout values from crafted boot sectors, the state
// after real images, replacing one volume by another, and the failures.
#include "support/fatbuilder.h"
#include "support/mtoolsimage.h"
#include "support/recordingcore.h"
#include "support/skip.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

using namespace testsupport;

namespace {

struct Boot {
    int fatbits = 32;
    std::uint16_t bytespersector = 512;
    std::uint8_t sectorspercluster = 8;
    std::uint16_t reservedsectors = 32;
    std::uint8_t fatcount = 2;
    std::uint32_t sectorsperfat = 1000;
    std::uint16_t rootentries = 0;
    std::uint32_t totalsectors = 1000001;
};

// A boot sector alone at the head of a small file: enough for the layout,
// while every read past the file's end fails.
bool writeboot(const QString& path, const Boot& b, qint64 filesize = 64 * 1024)
{
    unsigned char s[512] = {};
    s[0] = 0xEB;
    s[1] = 0x58;
    s[2] = 0x90;
    put16(s + 11, b.bytespersector);
    s[13] = b.sectorspercluster;
    put16(s + 14, b.reservedsectors);
    s[16] = b.fatcount;
    put16(s + 17, b.rootentries);
    s[21] = 0xF8;
    put32(s + 32, b.totalsectors);
    if (b.fatbits == 16) {
        put16(s + 22, std::uint16_t(b.sectorsperfat));
        std::memcpy(s + 54, "FAT16   ", 8);
    } else {
        put32(s + 36, b.sectorsperfat);
        put32(s + 44, 2);
        std::memcpy(s + 82, "FAT32   ", 8);
    }
    s[510] = 0x55;
    s[511] = 0xAA;
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           f.write(reinterpret_cast<const char*>(s), 512) == 512 && f.resize(filesize);
}

QByteArray readall(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

std::vector<QByteArray> rootnames(KOVCore& core)
{
    std::vector<QByteArray> names;
    FILEPARM root = core.rootdir;
    FILEPARM e;
    e.dialog = &core;
    while (root.getnextfile(e, 1) > 0)
        names.push_back(e.namebytes());
    return names;
}

bool bitmapzero(const KOVCore& core)
{
    return !core.bitmap.empty() && std::all_of(core.bitmap.data(), core.bitmap.data() + core.bitmap.bytes(),
                                      [](unsigned char b) { return b == 0; });
}

// True when the bitmap marks exactly the clusters of the runs.
bool bitmapholds(const KOVCore& core, const std::vector<DATARUN>& runs)
{
    if (core.bitmap.empty())
        return false;
    std::uint64_t want = 0;
    for (const DATARUN& r : runs) {
        want += r.length;
        for (std::uint64_t i = 0; i < r.length; ++i)
            if (!core.inuse(r.lcn + i))
                return false;
    }
    std::uint64_t set = 0;
    for (std::uint64_t i = 0; i < core.bitmap.bytes() * 8; ++i)
        set += (core.bitmap.data()[i / 8] >> (i % 8)) & 1;
    return set == want;
}

class VolumeInit : public ::testing::Test {
protected:
    QTemporaryDir dir;
    RecordingCore core;

    QString boot(const Boot& b, const char* name = "boot.img", qint64 filesize = 64 * 1024)
    {
        const QString path = dir.filePath(name);
        EXPECT_TRUE(writeboot(path, b, filesize));
        return path;
    }
    QString toolimage(int fatbits, const char* name, const QStringList& files)
    {
        const QString image = dir.filePath(name);
        EXPECT_TRUE(makefat(image, fatbits, fatbits == 16 ? 20u << 20 : 40u << 20, 1)) << lasterror();
        int seed = 0;
        for (const QString& f : files) {
            const QString local = dir.filePath("local.bin");
            EXPECT_TRUE(writefile(local, patterndata(1000 + 300 * seed, seed)));
            ++seed;
            EXPECT_TRUE(mcopy(image, local, f)) << lasterror();
        }
        return image;
    }
};

}  // namespace

TEST_F(VolumeInit, Fat32Layout)
{
    core.openimage(boot(Boot{}));
    EXPECT_TRUE(core.warnings.isEmpty()) << core.warnings.join(';').toStdString();
    EXPECT_EQ(core.dbrparm.fstype, 1u);
    EXPECT_EQ(core.diskparm.fatstartsector, 32u);
    EXPECT_EQ(core.diskparm.firstdatasector, 2032u);
    EXPECT_EQ(core.diskparm.bytespersector, 512);
    EXPECT_EQ(core.diskparm.sectorspercluster, 8u);
    EXPECT_EQ(core.diskparm.hdisk, core.hdisk);
    EXPECT_EQ(core.fatbits, 32u);
    EXPECT_EQ(core.fatentries, 1000u * 512 / 4);
    EXPECT_EQ(core.fat, nullptr);  // the file ends long before the FAT does
    // Nor does it hold any of the 124,746 data clusters claimed: no bits,
    // every cluster counts as used.
    EXPECT_EQ(core.clusterend, 2u);
    EXPECT_EQ(core.bitmap.bytes(), 0u);
    EXPECT_EQ(core.inuse(0), 1);
    // The root cluster's entry reads free here: a chain of that one cluster.
    EXPECT_EQ(core.rootdir.dataruns, (std::vector<DATARUN>{{0, 1, 0}}));
    EXPECT_EQ(core.buttontext, "Recover");

    // Sources as large as their volumes: 124,744 and 124,745 data clusters
    // after the 2032 sectors before the data area.
    for (const auto& [sectors, bytes] : {std::pair{999984u, 15593u}, std::pair{999992u, 15594u}}) {
        Boot whole;
        whole.totalsectors = sectors;
        core.openimage(boot(whole, "whole.img", qint64(sectors) * 512));
        EXPECT_EQ(core.clusterend, 2 + (sectors - 2032u) / 8);
        EXPECT_EQ(core.bitmap.bytes(), bytes);
        EXPECT_TRUE(bitmapholds(core, core.rootdir.dataruns));
    }
}

TEST_F(VolumeInit, Fat16Layout)
{
    Boot b;
    b.fatbits = 16;
    b.reservedsectors = 4;
    b.sectorsperfat = 200;
    b.rootentries = 512;
    core.openimage(boot(b));
    EXPECT_TRUE(core.warnings.isEmpty());
    EXPECT_EQ(core.dbrparm.fstype, 2u);
    EXPECT_EQ(core.diskparm.fatstartsector, 4u);
    EXPECT_EQ(core.diskparm.firstdatasector, 436u);
    EXPECT_EQ(core.fatbits, 16u);
    EXPECT_EQ(core.fatentries, 200u * 512 / 2);
    EXPECT_EQ(core.rootdir.size, 16384u);

    b.rootentries = 100;  // 3200 bytes: seven sectors
    core.openimage(boot(b, "r100.img"));
    EXPECT_EQ(core.diskparm.firstdatasector, 4u + 400 + 7);
    EXPECT_EQ(core.rootdir.size, 3200u);

    b.rootentries = 512;
    b.bytespersector = 4096;
    b.sectorspercluster = 1;
    core.openimage(boot(b, "s4k.img"));
    EXPECT_EQ(core.diskparm.firstdatasector, 4u + 400 + 4);
    EXPECT_EQ(core.fatentries, 200u * 4096 / 2);
    EXPECT_EQ(core.bitmap.bytes(), 0u);  // the data area lies past the 64 KiB file
}

TEST_F(VolumeInit, Fat16RootIsReadWhole)
{
    const QString image = toolimage(16, "f16.img", {"ONE.BIN", "TWO.BIN", "THREE.BIN"});
    core.openimage(image);
    ASSERT_EQ(core.dbrparm.rootentries, 512);
    ASSERT_EQ(core.rootdir.size, 16384u);
    ASSERT_TRUE(core.rootdir.dirbuf != nullptr);
    const std::uint64_t at = (std::uint64_t(core.dbrparm.reservedsectors) +
                              std::uint64_t(core.dbrparm.sectorsperfat) * core.dbrparm.fatcount) * 512;
    const QByteArray bytes = readall(image);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(core.rootdir.dirbuf.get()), 16384), bytes.mid(qsizetype(at), 16384));
    EXPECT_TRUE(core.rootdir.dataruns.empty());
    EXPECT_EQ(core.rootdir.startcluster, 2u);
    EXPECT_EQ(core.rootdir.namebytes(), "\\");
    EXPECT_EQ(core.rootdir.isdir, 1);
    EXPECT_EQ(core.diskparm.firstdatasector * 512, at + 16384);
    EXPECT_EQ(rootnames(core), (std::vector<QByteArray>{"ONE.BIN", "TWO.BIN", "THREE.BIN"}));
    // The walk starts at the root's first slot.
    EXPECT_EQ(core.curdir.entryindex, 0u);
    EXPECT_EQ(core.curdir.namebytes(), "\\");
    EXPECT_EQ(core.curfile.namebytes(), "\\");
    EXPECT_TRUE(bitmapzero(core));  // nothing of a FAT16 root lies in the data area
}

TEST_F(VolumeInit, Fat32RootClustersAreMarked)
{
    FatBuilder b(fat32layout());
    b.addfile(0, 0, shortname("FIRST.BIN"), "x", 3);
    // Slot 40 lies in the root's third cluster; the chain grows around the
    // file's cluster: 2, 4, 5.
    b.addfile(0, 40, shortname("LAST.BIN"), "y", 100);
    ASSERT_EQ(b.fat(2), 4u);
    const QString path = dir.filePath("root.img");
    ASSERT_TRUE(b.save(path));
    core.openimage(path);
    EXPECT_EQ(core.rootdir.size, 3u * 512);
    EXPECT_EQ(core.rootdir.dataruns, (std::vector<DATARUN>{{0, 1, 0}, {2, 2, 1}}));
    EXPECT_EQ(core.inuse(0), 1);
    EXPECT_EQ(core.inuse(1), 0);  // the file's cluster
    EXPECT_EQ(core.inuse(2), 1);
    EXPECT_EQ(core.inuse(3), 1);
    EXPECT_TRUE(bitmapholds(core, core.rootdir.dataruns));
    EXPECT_EQ(rootnames(core), (std::vector<QByteArray>{"FIRST.BIN", "LAST.BIN"}));
}

TEST_F(VolumeInit, SecondVolumeReplacesTheFirst)
{
    const QString first = toolimage(32, "first.img", {"A32.BIN", "B32.BIN"});
    const QString second = toolimage(16, "second.img", {"X16.BIN"});
    core.openimage(first);
    ASSERT_EQ(rootnames(core), (std::vector<QByteArray>{"A32.BIN", "B32.BIN"}));
    const platform::volhandle oldhandle = core.hdisk;
    core.setbitmap({{0, 40, 0}});
    core.collecting = true;
    core.buttontext = "Pause";

    core.openimage(second);
    EXPECT_TRUE(core.warnings.isEmpty());
    unsigned char sector[512];
    EXPECT_FALSE(KOVCore::readasector(oldhandle, 512, 0, sector));  // the first volume was closed
    EXPECT_NE(core.hdisk, oldhandle);
    EXPECT_EQ(core.diskparm.hdisk, core.hdisk);
    EXPECT_EQ(core.dbrparm.fstype, 2u);
    EXPECT_EQ(core.fatbits, 16u);
    EXPECT_EQ(core.fatentries, std::uint64_t(core.dbrparm.sectorsperfat) * 512 / 2);
    ASSERT_NE(core.fat, nullptr);
    const QByteArray bytes = readall(second);
    const auto* fat = reinterpret_cast<const unsigned char*>(bytes.constData()) + core.dbrparm.reservedsectors * 512;
    for (std::uint32_t n = 0; n < 64; ++n)
        EXPECT_EQ(core.getfatentry(n), get16(fat + 2 * n)) << n;
    EXPECT_TRUE(bitmapzero(core));
    EXPECT_EQ(core.bitmap.bytes(), (core.dbrparm.totalsectors - core.diskparm.firstdatasector + 7) / 8);
    EXPECT_EQ(rootnames(core), std::vector<QByteArray>{"X16.BIN"});
    EXPECT_EQ(core.curdir.size, core.rootdir.size);
    EXPECT_EQ(core.curdir.startcluster, 2u);
    EXPECT_EQ(std::memcmp(core.curdir.dirbuf.get(), core.rootdir.dirbuf.get(), core.rootdir.size), 0);
    EXPECT_FALSE(core.collecting);
    EXPECT_FALSE(core.saving);
    EXPECT_EQ(core.buttontext, "Recover");
}

TEST_F(VolumeInit, FailedOpenLeavesNoWayToTheOldVolume)
{
    const QString image = toolimage(16, "f16.img", {"DATA.BIN"});
    core.openimage(image);
    FILEPARM root = core.rootdir;
    FILEPARM file;
    file.dialog = &core;
    ASSERT_GT(root.getnextfile(file, 1), 0);
    const int calls = core.buttoncalls;

    core.openimage(dir.filePath("missing.img"));
    EXPECT_EQ(core.warnings, QStringList{"disk open error!"});
    EXPECT_EQ(core.buttoncalls, calls);
    EXPECT_EQ(core.hdisk, platform::invalidhandle());
    unsigned char buffer[512];
    std::uint64_t got = 0;
    EXPECT_FALSE(file.readfile(core.diskparm, 0, 100, buffer, &got));
    core.fat.reset();
    EXPECT_GT(core.getfatentry(file.startcluster), 0x0FFFFFFEu);
}

TEST_F(VolumeInit, UnreadableBootSectorIsAGeometryError)
{
    const QString image = toolimage(16, "f16.img", {"DATA.BIN", "GONE.BIN"});
    ASSERT_TRUE(mdel(image, "::/GONE.BIN")) << lasterror();
    core.openimage(image);
    FILEPARM root = core.rootdir;
    FILEPARM file;
    file.dialog = &core;
    ASSERT_GT(root.getnextfile(file, 1), 0);
    const int calls = core.buttoncalls;

    const QString empty = dir.filePath("empty.img"), shortone = dir.filePath("short.img");
    ASSERT_TRUE(writefile(empty, {}));
    ASSERT_TRUE(writefile(shortone, QByteArray(300, '\x55')));
    const QString directory = dir.filePath("adir");
    ASSERT_TRUE(QDir().mkpath(directory));
    for (const QString& path : {empty, shortone, directory}) {
        SCOPED_TRACE(path.toStdString());
        core.warnings.clear();
        core.openimage(path);
        EXPECT_EQ(core.warnings, QStringList{"get disk geometry error"});
        EXPECT_EQ(core.buttoncalls, calls);
        // Nothing of the first volume is left to walk: a run saves nothing
        // and does not claim success.
        EXPECT_FALSE(core.volumeready());
        EXPECT_EQ(core.fat, nullptr);
        EXPECT_TRUE(core.bitmap.empty());
        EXPECT_EQ(core.curdir.dirbuf, nullptr);
        std::uint64_t got = 0;
        unsigned char buffer[512];
        EXPECT_FALSE(file.readfile(core.diskparm, 0, 100, buffer, &got));
        const QString out = dir.filePath("out");
        EXPECT_EQ(core.runtoend(out), 1);
        EXPECT_TRUE(QDir(out).isEmpty());
        EXPECT_TRUE(core.informations.isEmpty());
        EXPECT_EQ(core.warnings, QStringList{"get disk geometry error"});
    }
}

TEST_F(VolumeInit, BootSectorNoLongerFat)
{
    const QString image = toolimage(16, "f16.img", {"DATA.BIN"});
    platform::setblockdevicesenabled(false);
    platform::setimagefiles({image});
    ASSERT_EQ(core.getallvol(), 1);
    core.initdisk("C:\\");
    ASSERT_EQ(core.dbrparm.fstype, 2u);
    core.buttontext = "Pause";
    const int calls = core.buttoncalls;

    // Reformatted behind our back: no FAT boot sector any more.
    if (!runtool("mkfs.ext4", {"-q", "-F", image}))
        KOV_SKIP() << "mkfs.ext4 cannot run here: " << lasterror();
    core.initdisk("C:\\");
    EXPECT_TRUE(core.warnings.isEmpty());
    EXPECT_EQ(core.dbrparm.fstype, 3u);
    EXPECT_EQ(core.fat, nullptr);
    EXPECT_EQ(core.diskparm.firstdatasector, 0u);
    EXPECT_EQ(core.diskparm.fatstartsector, 0u);
    EXPECT_EQ(core.fatbits, 32u);
    EXPECT_TRUE(core.bitmap.empty());
    EXPECT_EQ(core.buttontext, "Recover");
    EXPECT_EQ(core.buttoncalls, calls + 1);
    platform::setimagefiles({});
}

TEST_F(VolumeInit, LabelsThatWouldDivideByZeroAreNotFat)
{
    for (int fatbits : {16, 32}) {
        Boot b;
        b.fatbits = fatbits;
        b.rootentries = 512;
        b.sectorspercluster = 0;
        core.openimage(boot(b, "nocluster.img"));
        EXPECT_EQ(core.dbrparm.fstype, 3u) << fatbits;
        EXPECT_EQ(core.fat, nullptr);
        b.sectorspercluster = 8;
        b.bytespersector = 0;
        core.openimage(boot(b, "nosector.img"));
        EXPECT_EQ(core.dbrparm.fstype, 3u) << fatbits;
        EXPECT_EQ(core.buttontext, "Recover");
    }
    EXPECT_TRUE(core.warnings.isEmpty());
}

TEST_F(VolumeInit, MissingMinuteTableIsReportedOnce)
{
    const QString image = toolimage(32, "f32.img", {"DATA.BIN"});
    core.minutetable.reset();
    core.openimage(image);
    core.openimage(image);
    EXPECT_EQ(core.warnings, QStringList{"cannot allocate memory!"});
    EXPECT_EQ(core.dbrparm.fstype, 1u);  // and the volume is opened all the same
    EXPECT_EQ(rootnames(core), std::vector<QByteArray>{"DATA.BIN"});
}

TEST(VolumeInitMinutes, TableIsReadyAndOutlivesVolumes)
{
    ASSERT_EQ(QDateTime(QDate(2015, 6, 15), QTime(12, 0)).offsetFromUtc(), 0) << "local time must be UTC (TZ=UTC)";
    RecordingCore core;
    ASSERT_EQ(core.minutecount, 21038400);
    ASSERT_NE(core.minutetable, nullptr);
    EXPECT_TRUE(std::all_of(core.minutetable.get(), core.minutetable.get() + core.minutecount,
                            [](std::uint16_t v) { return v == 0xFFFF; }));
    core.recordminute(std::uint64_t(fatdate(2015, 6, 15)) << 32 | std::uint64_t(fattime(10, 30, 0)) << 16, 3);
    QTemporaryDir dir;
    const QString image = dir.filePath("v.img");
    ASSERT_TRUE(makefat(image, 32, 40u << 20, 1)) << lasterror();
    core.openimage(image);
    EXPECT_TRUE(core.warnings.isEmpty());
    FILEPARM d;
    FAT32DIRENTRY e{};
    put16(e.bytes + 16, fatdate(2015, 6, 15));
    put16(e.bytes + 14, fattime(10, 30, 0));
    d.clusterhigh = 9;
    EXPECT_EQ(core.estimatestartclusterhigh(&d, &e), 3);
}

TEST_F(VolumeInit, RootHighWordIsTheFallbackForAnErasedOne)
{
    // The root at cluster 70000 (high word 1), a subdirectory at 70050;
    // each holds, before any live entry, a deleted file past cluster 65535
    // whose high word was erased.
    FatLayout lay = fat32layout(48u << 20);
    lay.rootcluster = 70000;
    FatBuilder b(lay);
    const QByteArray inroot = patterndata(1500, 1), insub = patterndata(1800, 2);
    b.addfile(0, 0, shortname("ROOT.BIN"), inroot, 70100);
    const std::uint32_t sub = b.adddir(0, 1, shortname("SUB"), 70050);
    b.addfile(sub, 2, shortname("DEEP.BIN"), insub, 70200);
    b.deleteentry(0, 0, true, true);
    b.deleteentry(sub, 2, true, true);
    // Created in 2030, past the minute table: the estimate is the fallback.
    put16(b.bytes().data() + b.slotoffset(0, 0) + 16, fatdate(2030, 1, 1));
    put16(b.bytes().data() + b.slotoffset(sub, 2) + 16, fatdate(2030, 1, 1));
    const QString image = dir.filePath("high.img");
    ASSERT_TRUE(b.save(image));
    core.openimage(image);
    ASSERT_EQ(core.rootdir.startcluster, 70000u);
    const QString out = dir.filePath("out");
    ASSERT_TRUE(QDir().mkpath(out));
    EXPECT_GE(core.runtoend(out), 0);
    EXPECT_EQ(readall(out + "/kOOT.BIN"), inroot);
    EXPECT_EQ(readall(out + "/kEEP.BIN"), insub);
}
