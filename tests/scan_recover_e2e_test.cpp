// Whole recoveries with kov-recover over images made by mkfs.fat and mtools:
// what comes back, byte for byte, what does not, and what a second run does.
#include "support/kovrecoverrun.h"
#include "support/fatbuilder.h"
#include "support/mtoolsimage.h"
#include "support/qtprint.h"
#include "support/recordingcore.h"
#include "support/skip.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <map>

#include <unistd.h>

using namespace testsupport;

namespace {

using Outcome = CommandOutcome;

QStringList filesin(const QString& dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
}

// An image with files of many sizes in nested directories, some deleted
// with mdel, one tree with mdeltree, and one deleted file overwritten by a
// later write. expected maps recovered names to contents.
class RecoverImage : public ::testing::TestWithParam<int> {
protected:
    QTemporaryDir dir;
    QString image;
    std::map<QString, QByteArray> expected;
    QStringList live;
    int clusterbytes = 0;

    void put(const QString& fatpath, const QByteArray& data)
    {
        const QString local = dir.filePath("local.bin");
        ASSERT_TRUE(writefile(local, data));
        ASSERT_TRUE(mcopy(image, local, fatpath)) << lasterror();
    }

    void SetUp() override
    {
        const int bits = GetParam();
        image = dir.filePath(QString("fat%1.img").arg(bits));
        clusterbytes = bits == 16 ? 2048 : 512;
        ASSERT_TRUE(makefat(image, bits, bits == 16 ? 64u << 20 : 80u << 20, clusterbytes / 512)) << lasterror();
        ASSERT_TRUE(mmd(image, "DOCS")) << lasterror();
        ASSERT_TRUE(mmd(image, "DOCS/OLD")) << lasterror();
        ASSERT_TRUE(mmd(image, "PICS")) << lasterror();

        const struct {
            const char* path;
            int size;
            bool remove;
        } files[] = {
            {"ONE.TXT", 1, true},
            {"EMPTY.TXT", 0, true},
            {"DOCS/EXACT.BIN", clusterbytes, true},
            {"DOCS/OVER.BIN", clusterbytes + 1, true},
            {"DOCS/KEEP.TXT", 3000, false},
            {"DOCS/OLD/REPORT.DOC", 70000, true},
            {"PICS/BIG.JPG", 3 << 20, true},
            {"PICS/LIVE.JPG", 50000, false},
            {"PICS/TRIP", -1, false},
            {"PICS/TRIP/A1.JPG", 9000, false},
            {"PICS/TRIP/A2.JPG", 12345, false},
        };
        std::uint32_t seed = 10;
        for (const auto& f : files) {
            if (f.size < 0) {
                // Made after the first files, so that its cluster lies above
                // the ones a later write reuses.
                ASSERT_TRUE(mmd(image, f.path)) << lasterror();
                continue;
            }
            const QByteArray data = patterndata(std::uint64_t(f.size), seed++);
            put(f.path, data);
            const QString base = QString(f.path).section('/', -1);
            if (f.remove && f.size > 0)
                expected["k" + base.mid(1)] = data;
            if (!f.remove && !QString(f.path).startsWith("PICS/TRIP/"))
                live << base;
        }
        for (const auto& f : files) {
            if (f.remove) {
                ASSERT_TRUE(mdel(image, f.path)) << lasterror();
            }
        }
        // The whole trip goes: its files come back from the deleted directory,
        // under names whose first letter was never erased but is replaced.
        expected["k1.JPG"] = patterndata(9000, 18);
        expected["k2.JPG"] = patterndata(12345, 19);
        ASSERT_TRUE(mdeltree(image, "PICS/TRIP")) << lasterror();
        // A later write takes the lowest free clusters: those of ONE.TXT,
        // EXACT.BIN and the first of OVER.BIN, which are then lost.
        if (bits == 32) {
            ASSERT_TRUE(resetfsinfohint(image)) << lasterror();
        }
        put("NEW.DAT", patterndata(std::uint64_t(3 * clusterbytes), 99));
        live << "NEW.DAT";
        for (const char* lost : {"kNE.TXT", "kXACT.BIN", "kVER.BIN"})
            expected.erase(lost);
    }
};

}  // namespace

TEST_P(RecoverImage, DeletedFilesComeBackByteForByte)
{
    const QByteArray before = sha256(image);
    const QString out = dir.filePath("out");
    const Outcome o = kovrecover({image, out});
    ASSERT_EQ(o.status, 0) << o.err.constData();
    EXPECT_EQ(sha256(image), before);

    const QStringList saved = filesin(out);
    for (const QString& name : live) {
        EXPECT_FALSE(saved.contains("k" + name.mid(1))) << name << " is live";
    }
    // Nothing else: not the empty file, not the ones whose clusters NEW.DAT
    // took, not a live one.
    QStringList names;
    for (const auto& [name, data] : expected) {
        names << name;
        EXPECT_EQ(contents(out + "/" + name), data) << name;
        // The entry's last-write time: the tools' clock.
        EXPECT_EQ(QFileInfo(out + "/" + name).lastModified().toSecsSinceEpoch(), tooloptions().now) << name;
    }
    EXPECT_EQ(saved, names);
    EXPECT_EQ(names, QStringList({"k1.JPG", "k2.JPG", "kEPORT.DOC", "kIG.JPG"}));
}

TEST_P(RecoverImage, ASecondRunAddsNumberedCopiesAndOverwritesNothing)
{
    const QString out = dir.filePath("out");
    ASSERT_EQ(kovrecover({image, out}).status, 0);
    const QStringList first = filesin(out);
    ASSERT_FALSE(first.isEmpty());
    std::map<QString, QByteArray> before;
    for (const QString& name : first)
        before[name] = contents(out + "/" + name);

    ASSERT_EQ(kovrecover({image, out}).status, 0);
    const QStringList second = filesin(out);
    EXPECT_EQ(second.size(), 2 * first.size());
    for (const QString& name : first) {
        EXPECT_TRUE(second.contains(name + "(1)")) << name.toStdString();
        EXPECT_EQ(contents(out + "/" + name), before[name]);
        EXPECT_EQ(contents(out + "/" + name + "(1)"), before[name]);
    }
}

TEST_P(RecoverImage, ListingNamesWhatARunSavesAndWritesNothing)
{
    const Outcome listing = kovrecover({"--list", image});
    ASSERT_EQ(listing.status, 0) << listing.err.constData();
    const QString out = dir.filePath("out");
    ASSERT_EQ(kovrecover({image, out}).status, 0);
    QStringList listed;
    for (const QByteArray& line : listing.out.split('\n')) {
        if (line.isEmpty())
            continue;
        const QList<QByteArray> fields = line.split('\t');
        ASSERT_EQ(fields.size(), 5) << line.constData();
        listed << QString::fromUtf8(fields[0]);
        EXPECT_EQ(fields[1].toLongLong(), QFileInfo(out + "/" + listed.last()).size());
        EXPECT_EQ(fields[2], "9/13,2020");  // the tools' clock, SOURCE_DATE_EPOCH
    }
    listed.sort();
    EXPECT_EQ(listed, filesin(out));
}

INSTANTIATE_TEST_SUITE_P(Fat, RecoverImage, ::testing::Values(16, 32),
                         [](const auto& info) { return "Fat" + std::to_string(info.param); });

TEST(RecoverCommand, UsageAndSourceErrorsHaveTheirOwnStatus)
{
    QTemporaryDir dir;
    EXPECT_EQ(kovrecover({}).status, 2);
    EXPECT_EQ(kovrecover({"--bogus"}).status, 2);
    EXPECT_EQ(kovrecover({"--list", "a", "b"}).status, 2);
    const Outcome help = kovrecover({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(help.out.contains("OUTDIR"));
    EXPECT_EQ(kovrecover({"--version"}).status, 0);

    const Outcome missing = kovrecover({dir.filePath("missing.img"), dir.filePath("out")});
    EXPECT_EQ(missing.status, 3);
    EXPECT_TRUE(missing.err.contains("disk open error!"));
    const QString junk = dir.filePath("junk.img");
    ASSERT_TRUE(writefile(junk, QByteArray(8192, '\x11')));
    const Outcome notfat = kovrecover({junk, dir.filePath("out")});
    EXPECT_EQ(notfat.status, 3);
    EXPECT_TRUE(notfat.err.contains("not a FAT12, FAT16, FAT32 or exFAT volume"));
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("out")));
}

TEST(RecoverCommand, OutputDirectoryThatCannotBeCreated)
{
    QTemporaryDir dir;
    const QString image = dir.filePath("f.img");
    ASSERT_TRUE(makefat(image, 16, 20u << 20, 1)) << lasterror();
    const QString blocker = dir.filePath("file");
    ASSERT_TRUE(writefile(blocker, "x"));
    const Outcome o = kovrecover({image, blocker + "/out"});
    EXPECT_EQ(o.status, 4);
    EXPECT_TRUE(o.err.contains("Can not create the directory to save the recovered files!"));
}

TEST(RecoverCommand, ZeroedHighWordsAreEstimatedFromLiveFilesOfTheSameMinute)
{
    // Files past cluster 65535 have a high start word of 1. A volume that
    // erased it on deletion leaves 0; the minute table, filled from the live
    // file made in the same minute, gives it back.
    QTemporaryDir dir;
    const QString image = dir.filePath("high.img");
    ASSERT_TRUE(makefat(image, 32, 80u << 20, 1)) << lasterror();
    const QString local = dir.filePath("l.bin");
    ASSERT_TRUE(writefile(local, patterndata(34u << 20, 1)));
    ASSERT_TRUE(mcopy(image, local, "FILLER.BIN")) << lasterror();
    ASSERT_TRUE(writefile(local, patterndata(5000, 2)));
    ASSERT_TRUE(mcopy(image, local, "LIVE.TXT")) << lasterror();
    const QByteArray lost = patterndata(40000, 3);
    ASSERT_TRUE(writefile(local, lost));
    ASSERT_TRUE(mcopy(image, local, "LOST.DAT")) << lasterror();
    ASSERT_TRUE(mdel(image, "LOST.DAT")) << lasterror();

    // Zero the high word (offset 20) of the deleted entry in the root.
    QFile f(image);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    QByteArray all = f.readAll();
    const qsizetype at = all.indexOf(QByteArray("\xE5OST    DAT", 11));
    ASSERT_GT(at, 0);
    ASSERT_EQ(at % 32, 0);
    ASSERT_EQ(get16(reinterpret_cast<const unsigned char*>(all.constData()) + at + 20), 1);
    all[at + 20] = 0;
    all[at + 21] = 0;
    f.seek(0);
    f.write(all);
    f.close();

    const QString out = dir.filePath("out");
    ASSERT_EQ(kovrecover({image, out}).status, 0);
    EXPECT_EQ(contents(out + "/kOST.DAT"), lost);
}

TEST(RecoverCommand, AFileThatCannotBeSavedGivesStatusOne)
{
    // The output takes no file over 2 KiB (a file-size limit): the small
    // file comes back whole, the large one is reported, removed, and the run
    // goes on to its end.
    QTemporaryDir dir;
    FatBuilder b(fat16layout(1u << 20));
    const QByteArray small = patterndata(1500, 1);
    b.addfile(0, 0, shortname("BIG.BIN"), patterndata(3000, 2), 300);
    b.addfile(0, 1, shortname("SMALL.BIN"), small, 100);
    b.deleteentry(0, 0);
    b.deleteentry(0, 1);
    const QString image = dir.filePath("two.img");
    ASSERT_TRUE(b.save(image));
    const QString out = dir.filePath("out");
    QProcess p;
    p.setChildProcessModifier([] {
        const rlimit limit{2048, 2048};
        setrlimit(RLIMIT_FSIZE, &limit);
    });
    p.start(QStringLiteral(KOV_RECOVER_BIN), {image, out});
    ASSERT_TRUE(p.waitForFinished(300000));
    const QString err = QString::fromLocal8Bit(p.readAllStandardError());
    EXPECT_EQ(p.exitCode(), 1) << err.toStdString();
    EXPECT_TRUE(err.contains("Can not write file. Please check if the disk is full.")) << err.toStdString();
    EXPECT_EQ(filesin(out), QStringList({"kMALL.BIN"}));
    EXPECT_EQ(contents(out + "/kMALL.BIN"), small);
}

namespace {

// A loop device and its partitions, detached at the end of the test.
struct LoopDevice {
    QString device;
    ~LoopDevice()
    {
        if (!device.isEmpty()) {
            runtool("partx", {"-d", device});
            runtool("losetup", {"-d", device});
        }
    }
    // Attaches image read-only; partitions asks for its partition table to
    // be read.
    bool attach(const QString& image, bool partitions = false)
    {
        QByteArray name;
        QStringList args{"-r", "-f", "--show"};
        if (partitions)
            args << "-P";
        if (!runtool("losetup", args << image, &name))
            return false;
        device = QString::fromLatin1(name).trimmed();
        // The kernel may leave the table unread; partx reads it then.
        const QString sysname = "/sys/class/block/" + device.section('/', -1);
        if (partitions && !QFileInfo::exists(sysname + "/" + device.section('/', -1) + "p1"))
            return runtool("partx", {"-a", device});
        return true;
    }
};

}  // namespace

// The source is a read-only loop device mounted as ext2 (the kernel may lack
// vfat): a mkfs.fat boot sector in the first sector, which ext2 leaves
// unused, makes it a FAT32 source too.
TEST(RecoverCommand, AnOutputDirectoryOnTheSourceGivesStatusFour)
{
    if (geteuid() != 0)
        KOV_SKIP() << "needs root for a loop device and a mount";
    QTemporaryDir dir;
    const QString image = dir.filePath("volume.img"), mnt = dir.filePath("mnt");
    ASSERT_TRUE(makefat(image, 32, 40u << 20, 1) && QDir().mkpath(mnt)) << lasterror();
    QFile file(image);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    const QByteArray boot = file.read(512);
    ASSERT_TRUE(runtool("mke2fs", {"-q", "-F", "-t", "ext2", image})) << lasterror();
    ASSERT_TRUE(file.seek(0) && file.write(boot) == 512 && file.flush());
    file.close();
    LoopDevice loop;
    if (!loop.attach(image))
        KOV_SKIP() << "this machine refuses loop devices: " << lasterror();
    if (!runtool("mount", {"-r", "-t", "ext2", loop.device, mnt}))
        KOV_SKIP() << "this machine refuses mounts: " << lasterror();
    for (const QString& source : {loop.device, image}) {
        const Outcome o = kovrecover({source, mnt + "/lost+found/out"});
        EXPECT_EQ(o.status, 4) << source.toStdString();
        EXPECT_TRUE(o.err.contains("Do not save recovered files on the same disk being recovered!"));
    }
    EXPECT_FALSE(QFileInfo::exists(mnt + "/lost+found/out"));
    EXPECT_TRUE(runtool("umount", {mnt})) << lasterror();
}

// ntfs-3g with windows_names refuses "?" and "*" in names, as the output
// disk of a Windows machine would: those files come back as kovrecoveredN.
TEST(RecoverCommand, NamesTheOutputRefusesComeBackAsKovrecovered)
{
    if (geteuid() != 0 || !QFileInfo::exists("/dev/fuse"))
        KOV_SKIP() << "needs root and /dev/fuse for an ntfs-3g mount";
    QTemporaryDir dir;
    FatBuilder b(fat16layout(1u << 20));
    const QByteArray question = patterndata(1500, 1), star = patterndata(700, 2), plain = patterndata(900, 3);
    b.addfile(0, 0, QByteArray("WHAT?   BIN", 11), question, 100);
    b.addfile(0, 1, QByteArray("A*B     TXT", 11), star, 200);
    b.addfile(0, 2, shortname("PLAIN.TXT"), plain, 300);
    for (int slot = 0; slot < 3; ++slot)
        b.deleteentry(0, slot);
    const QString image = dir.filePath("names.img"), ntfs = dir.filePath("ntfs.img"), mnt = dir.filePath("mnt");
    ASSERT_TRUE(b.save(image) && QDir().mkpath(mnt));
    ASSERT_TRUE(writefile(ntfs, QByteArray()) && QFile::resize(ntfs, 16 << 20));
    if (!runtool("mkntfs", {"-q", "-F", "-f", ntfs}) ||
        !runtool("ntfs-3g", {"-o", "windows_names", ntfs, mnt}))
        KOV_SKIP() << "cannot make or mount an NTFS file system: " << lasterror();
    const Outcome o = kovrecover({image, mnt + "/out"});
    const QStringList got = filesin(mnt + "/out");
    const QByteArray first = contents(mnt + "/out/kovrecovered0"), second = contents(mnt + "/out/kovrecovered1");
    const QByteArray third = contents(mnt + "/out/kLAIN.TXT");
    EXPECT_TRUE(runtool("umount", {mnt})) << lasterror();
    EXPECT_EQ(o.status, 0) << o.err.toStdString();
    EXPECT_EQ(got, QStringList({"kLAIN.TXT", "kovrecovered0", "kovrecovered1"}));
    EXPECT_EQ(first, question);
    EXPECT_EQ(second, star);
    EXPECT_EQ(third, plain);
}

// Block devices are listed as the machine has them: partitions, and whole
// disks without partitions; a disk with partitions only through them, and
// only what holds FAT.
TEST(RecoverCommand, BlockDevicesArePartitionsAndWholeDisksWithoutThem)
{
    if (geteuid() != 0)
        KOV_SKIP() << "needs root for loop devices";
    QTemporaryDir dir;
    // Partition 1 FAT16 (16 MiB), 2 FAT32 (42 MiB) with a deleted file, 3
    // Linux and empty.
    const QString p1 = dir.filePath("p1.img"), p2 = dir.filePath("p2.img"), disk = dir.filePath("disk.img");
    const QString plain = dir.filePath("plain.img"), local = dir.filePath("local");
    const QByteArray lost = patterndata(5000, 4);
    ASSERT_TRUE(makefat(p1, 16, 16u << 20, 1) && makefat(p2, 32, 42u << 20, 1) && makefat(plain, 16, 16u << 20, 1))
        << lasterror();
    ASSERT_TRUE(writefile(local, lost) && mcopy(p2, local, "LOST.DAT") && mdel(p2, "LOST.DAT")) << lasterror();
    QFile out(disk);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly) && out.resize(80 << 20));
    for (const auto& [part, sector] : {std::pair{p1, 2048}, std::pair{p2, 34816}}) {
        QFile in(part);
        ASSERT_TRUE(in.open(QIODevice::ReadOnly) && out.seek(qint64(sector) * 512));
        ASSERT_EQ(out.write(in.readAll()), in.size());
    }
    out.close();
    QProcess sfdisk;
    sfdisk.start("sfdisk", {"-q", disk});
    sfdisk.write("label: dos\nstart=2048, size=32768, type=6\nstart=34816, size=86016, type=c\n"
                 "start=120832, size=20480, type=83\n");
    sfdisk.closeWriteChannel();
    ASSERT_TRUE(sfdisk.waitForFinished(60000) && sfdisk.exitCode() == 0) << sfdisk.readAllStandardError().toStdString();

    LoopDevice partitioned, whole;
    if (!partitioned.attach(disk, true) || !whole.attach(plain))
        KOV_SKIP() << "this machine refuses loop devices or their partitions: " << lasterror();
    RecordingCore core;
    platform::setimagefiles({});
    platform::setblockdevicesenabled(true);
    core.getallvol();
    platform::setblockdevicesenabled(false);
    QStringList ours;
    for (const platform::VolumeSource& v : core.volumes)
        if (v.path.startsWith(partitioned.device) || v.path == whole.device)
            ours.append(v.path);
    ours.sort();
    const QString d = partitioned.device;
    QStringList want{d + "p1", d + "p2", whole.device};
    want.sort();
    EXPECT_EQ(ours, want);

    const QString outdir = dir.filePath("out");
    const Outcome o = kovrecover({d + "p2", outdir});
    EXPECT_EQ(o.status, 0) << o.err.toStdString();
    EXPECT_EQ(filesin(outdir), QStringList({"kOST.DAT"}));
    EXPECT_EQ(contents(outdir + "/kOST.DAT"), lost);
}
