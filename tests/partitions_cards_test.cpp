// Whole-card images: FAT volumes inside MBR and GPT tables made by sfdisk,
// formatted by mkfs.fat --offset and filled by mtools through IMAGE@@OFFSET;
// the same card behind a whole-disk loop device; damaged tables.
#include "model/kovcore.h"
#include "partitions/partitiontable.h"
#include "support/cardimage.h"
#include "support/fatbuilder.h"
#include "support/kovrecoverrun.h"
#include "support/loopdevice.h"
#include "support/mtoolsimage.h"
#include "support/qtprint.h"
#include "support/recordingcore.h"
#include "support/skip.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <zlib.h>

using namespace testsupport;

namespace {

struct Volume {
    int partition;
    std::uint64_t startsector;  // 512-byte sectors
    std::uint64_t sectors;
    int fatbits;
};

struct Layout {
    const char* name;
    std::uint64_t mebibytes;  // image size
    const char* table;        // sfdisk script
    QList<Volume> volumes;    // in table order
};

const Layout layouts[] = {
    {"MbrFat32At1MiB", 40, "label: dos\nstart=2048, type=c\n", {{1, 2048, 79872, 32}}},
    {"MbrFat16PrimaryFat32Logical", 64,
     "label: dos\nstart=2048, size=32768, type=6\ntype=5\nstart=40960, type=b\n",
     {{1, 2048, 32768, 16}, {5, 40960, 90112, 32}}},
    {"GptBasicData", 40, "label: gpt\nstart=2048, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\n",
     {{1, 2048, 77824, 32}}},
};

void PrintTo(const Layout& layout, std::ostream* os) { *os << layout.name; }

// What a volume's deleted file holds and what it comes back as.
QByteArray deleteddata(int partition) { return patterndata(70000 + std::uint64_t(partition) * 1000, 40u + partition); }
const QString recoveredname = QStringLiteral("kHOTO.JPG");

QString atoffset(const QString& image, const Volume& v)
{
    return image + "@@" + QString::number(v.startsector * 512);
}

// Makes the card: table, volumes, then on each volume a live file and a
// deleted PHOTO.JPG.
bool makecard(const QString& image, const Layout& layout, const QString& scratch)
{
    QFile f(image);
    if (!f.open(QIODevice::WriteOnly) || !f.resize(qint64(layout.mebibytes << 20)))
        return false;
    f.close();
    QProcess sfdisk;
    sfdisk.start("sfdisk", {"-q", image});
    sfdisk.write(layout.table);
    sfdisk.closeWriteChannel();
    if (!sfdisk.waitForFinished(60000) || sfdisk.exitCode() != 0)
        return false;
    const QString local = scratch + "/staged";
    for (const Volume& v : layout.volumes) {
        if (!runtool("mkfs.fat", {"-F", QString::number(v.fatbits), "-s", "1", "-i", "1234ABCD", "-n",
                                  QString("VOL%1").arg(v.partition), "--offset", QString::number(v.startsector),
                                  image, QString::number(v.sectors / 2)}))
            return false;
        if (!writefile(local, patterndata(5000, 7)) || !mcopy(atoffset(image, v), local, "LIVE.TXT") ||
            !writefile(local, deleteddata(v.partition)) || !mcopy(atoffset(image, v), local, "PHOTO.JPG") ||
            !mdel(atoffset(image, v), "PHOTO.JPG"))
            return false;
    }
    return true;
}

using Outcome = CommandOutcome;

// The --list-volumes line of a volume.
QByteArray listline(const Volume& v)
{
    return QString("%1\t%2\t%3\tFAT%4\tVOL%1\n")
        .arg(v.partition)
        .arg(v.startsector * 512)
        .arg(v.sectors * 512)
        .arg(v.fatbits)
        .toLatin1();
}

class Card : public ::testing::TestWithParam<Layout> {
protected:
    QTemporaryDir dir;
    QString image;
    void SetUp() override
    {
        image = dir.filePath("card.img");
        ASSERT_TRUE(makecard(image, GetParam(), dir.path())) << lasterror();
    }
    void TearDown() override
    {
        platform::setimagefiles({});
        platform::setblockdevicesenabled(false);
    }
};

// Every volume of the card in table order, each recovered through its own
// drive root.
void expectvolumes(RecordingCore& core, const QString& path, const QList<Volume>& want, const QString& outdir)
{
    QList<platform::VolumeSource> found;
    for (const platform::VolumeSource& s : core.volumes)
        if (s.path == path)
            found.append(s);
    ASSERT_EQ(found.size(), want.size());
    for (qsizetype i = 0; i < want.size(); ++i) {
        const platform::VolumeSource& s = found[i];
        EXPECT_EQ(s.partition, want[i].partition);
        EXPECT_EQ(s.offset, want[i].startsector * 512);
        EXPECT_EQ(s.size, want[i].sectors * 512);
        const QString out = outdir + "/" + QString::number(s.partition);
        ASSERT_TRUE(QDir().mkpath(out));
        core.initdisk(s.root);
        ASSERT_GE(core.runtoend(out), 0);
        EXPECT_EQ(QDir(out).entryList(QDir::Files), QStringList{recoveredname});
        EXPECT_EQ(contents(out + "/" + recoveredname), deleteddata(s.partition)) << s.partition;
    }
    EXPECT_TRUE(core.warnings.isEmpty()) << core.warnings.join("; ");
}

}  // namespace

TEST_P(Card, EachVolumeIsADriveRootInTableOrderAndGivesBackItsFile)
{
    RecordingCore core;
    platform::setblockdevicesenabled(false);
    platform::setimagefiles({image});
    ASSERT_EQ(core.getallvol(), GetParam().volumes.size());
    EXPECT_EQ(core.volumes.first().root, "C:\\");
    EXPECT_EQ(core.volumes.last().root, QString(QChar(char16_t(u'C' + GetParam().volumes.size() - 1))) + ":\\");
    expectvolumes(core, image, GetParam().volumes, dir.filePath("out"));
}

TEST_P(Card, CommandLineListsNamesAndPicksVolumes)
{
    const QList<Volume>& volumes = GetParam().volumes;
    const Outcome listed = kovrecover({"--list-volumes", image});
    ASSERT_EQ(listed.status, 0) << listed.err.constData();
    QByteArray want;
    for (const Volume& v : volumes)
        want += listline(v);
    EXPECT_EQ(listed.out, want);
    EXPECT_TRUE(listed.err.isEmpty()) << listed.err.constData();

    const Outcome whole = kovrecover({image, dir.filePath("whole")});
    if (volumes.size() == 1) {
        EXPECT_EQ(whole.status, 0) << whole.err.constData();
        EXPECT_EQ(contents(dir.filePath("whole/") + recoveredname), deleteddata(1));
    } else {
        EXPECT_EQ(whole.status, 3);
        for (const Volume& v : volumes)
            EXPECT_TRUE(whole.err.contains(QString("%1:%2\t").arg(image).arg(v.partition).toLocal8Bit()))
                << whole.err.constData();
        EXPECT_FALSE(QFileInfo::exists(dir.filePath("whole")));
    }
    const Volume& last = volumes.last();
    const Outcome named = kovrecover({QString("%1:%2").arg(image).arg(last.partition), dir.filePath("named")});
    EXPECT_EQ(named.status, 0) << named.err.constData();
    EXPECT_EQ(contents(dir.filePath("named/") + recoveredname), deleteddata(last.partition));
    EXPECT_EQ(kovrecover({image + ":9", dir.filePath("nine")}).status, 3);
    // A file whose own name ends in :N is that file, not a partition of another.
    ASSERT_TRUE(QFile::copy(image, image + ":9"));
    EXPECT_EQ(kovrecover({"--list-volumes", image + ":9"}).out, want);
}

TEST_P(Card, Fat32PartitionWithoutItsBootSectorIsReadFromItsBackup)
{
    // Sector 0 of every FAT32 volume zeroed: each is still a volume of the
    // card, laid out from the backup in its reserved sectors.
    QList<Volume> fat32;
    for (const Volume& v : GetParam().volumes)
        if (v.fatbits == 32) {
            ASSERT_TRUE(overwrite(image, v.startsector * 512, 512));
            fat32.append(v);
        }
    const Outcome listed = kovrecover({"--list-volumes", image});
    ASSERT_EQ(listed.status, 0) << listed.err.constData();
    for (const Volume& v : fat32) {
        EXPECT_TRUE(listed.out.contains(listline(v))) << listed.out.constData();
        const QString out = dir.filePath(QString("backup%1").arg(v.partition));
        const Outcome o = kovrecover({QString("%1:%2").arg(image).arg(v.partition), out});
        EXPECT_EQ(o.status, 0) << o.err.constData();
        EXPECT_TRUE(o.err.contains("backup boot sector at sector 6")) << o.err.constData();
        EXPECT_EQ(contents(out + "/" + recoveredname), deleteddata(v.partition));
    }
}

TEST_P(Card, WholeDiskLoopDeviceWithoutPartitionsIsExpanded)
{
    const QString dev = attachloop(image);
    if (dev.isEmpty())
        KOV_SKIP() << "this machine refuses loop devices";
    RecordingCore core;
    platform::setblockdevicesenabled(true);
    platform::setimagefiles({});
    core.getallvol();
    expectvolumes(core, dev, GetParam().volumes, dir.filePath("out"));
    detachloop(dev);
}

INSTANTIATE_TEST_SUITE_P(Layouts, Card, ::testing::ValuesIn(layouts),
                         [](const auto& info) { return std::string(info.param.name); });

namespace {

// A damage done to a freshly made card, and what reading it must give.
struct Damage {
    const char* name;
    const Layout* layout;
    // (image path) -> true when the damage could be done
    bool (*apply)(const QString&);
    QList<int> listed;     // partitions --list-volumes shows, in order
    const char* note;      // what stderr says was skipped or mended
};

bool patch(const QString& image, qint64 pos, const QByteArray& bytes)
{
    QFile f(image);
    return f.open(QIODevice::ReadWrite) && f.seek(pos) && f.write(bytes) == bytes.size();
}

QByteArray le32(std::uint32_t v)
{
    QByteArray out(4, '\0');
    for (int i = 0; i < 4; ++i)
        out[i] = char((v >> (8 * i)) & 0xFF);
    return out;
}

// An MBR partition entry's start and size fields.
qint64 mbrentry(int index) { return 446 + 16 * index; }

const Layout twoprimaries = {"TwoPrimaries", 48,
                             "label: dos\nstart=2048, size=32768, type=6\nstart=40960, size=32768, type=e\n",
                             {{1, 2048, 32768, 16}, {2, 40960, 32768, 16}}};
// Three small logical partitions; sfdisk puts each EBR after the first
// 2048 sectors before its partition.
const Layout threelogicals = {
    "ThreeLogicals", 40,
    "label: dos\ntype=5\nstart=4096, size=16384, type=6\nstart=22528, size=16384, type=6\nstart=40960, type=6\n",
    {{5, 4096, 16384, 16}, {6, 22528, 16384, 16}, {7, 40960, 40960, 16}}};

const Damage damages[] = {
    {"TruncatedAtTheLogical", &layouts[1], [](const QString& i) { return QFile::resize(i, 20 << 20); }, {1},
     "partition 5 starts past the end of the disk: skipped"},
    {"TruncatedInsideTheLogical", &layouts[1], [](const QString& i) { return QFile::resize(i, 40 << 20); },
     {1, 5}, "partition 5 runs past the end of the disk: only its first 20971520 of 46137344 bytes"},
    // Partition 1 grows over partition 2; entry 3 repeats entry 2.
    {"Overlapping", &twoprimaries,
     [](const QString& i) {
         QFile f(i);
         QByteArray second;
         if (f.open(QIODevice::ReadOnly) && f.seek(mbrentry(1)))
             second = f.read(16);
         return second.size() == 16 && patch(i, mbrentry(0) + 12, le32(60000)) && patch(i, mbrentry(2), second);
     },
     {1, 2}, "partitions 1 and 2 overlap"},
    // The last EBR links back to the second one.
    {"ExtendedChainLoops", &threelogicals,
     [](const QString& i) {
         const qint64 ebr3 = (40960 - 2048) * 512;
         QByteArray sig;
         QFile f(i);
         if (f.open(QIODevice::ReadOnly) && f.seek(ebr3 + 510))
             sig = f.read(2);
         f.close();
         const QByteArray link = QByteArray(4, '\0') + QByteArray(1, '\x05') + QByteArray(3, '\0') +
                                 le32(22528 - 2048 - 2048) + le32(30000);
         return sig == QByteArray("\x55\xAA") && patch(i, ebr3 + mbrentry(1), link);
     },
     {5, 6, 7}, ""},
    // The stored CRC of the primary header no longer matches it.
    {"GptPrimaryHeaderBadCrc", &layouts[2], [](const QString& i) { return patch(i, 512 + 16, "\xde\xad"); },
     {1}, "the primary GPT header is damaged; the backup header at the end of the disk was used"},
};

void PrintTo(const Damage& damage, std::ostream* os) { *os << damage.name; }

class DamagedTable : public ::testing::TestWithParam<Damage> {};

}  // namespace

TEST_P(DamagedTable, ListsWhatCanBeReadAndSaysWhatWasSkipped)
{
    const Damage& damage = GetParam();
    QTemporaryDir dir;
    const QString image = dir.filePath("card.img");
    ASSERT_TRUE(makecard(image, *damage.layout, dir.path())) << lasterror();
    ASSERT_TRUE(damage.apply(image));

    const Outcome listed = kovrecover({"--list-volumes", image});
    ASSERT_EQ(listed.status, 0) << listed.err.constData();
    QList<int> numbers;
    for (const QByteArray& line : listed.out.split('\n'))
        if (!line.isEmpty())
            numbers.append(line.split('\t').first().toInt());
    EXPECT_EQ(numbers, damage.listed);
    if (*damage.note) {
        EXPECT_TRUE(listed.err.contains(damage.note)) << listed.err.constData();
    } else {
        EXPECT_TRUE(listed.err.isEmpty()) << listed.err.constData();
    }

    // What is listed still gives back its file.
    const int last = damage.listed.last();
    const QString out = dir.filePath("out");
    const Outcome run = kovrecover({QString("%1:%2").arg(image).arg(last), out});
    EXPECT_EQ(run.status, 0) << run.err.constData();
    EXPECT_EQ(contents(out + "/" + recoveredname), deleteddata(last));
}

INSTANTIATE_TEST_SUITE_P(Tables, DamagedTable, ::testing::ValuesIn(damages),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CardSameDevice, OutputOnAPartitionOfTheCardsLoopDeviceIsRefused)
{
    QTemporaryDir dir;
    const QString image = dir.filePath("card.img");
    // Partition 1 is the FAT source; an ext2 file system in partition 2 stands
    // in for a mounted one where the kernel has no vfat driver.
    const Layout layout = {"FatAndExt2", 64, "label: dos\nstart=2048, size=32768, type=6\nstart=40960, type=83\n",
                           {{1, 2048, 32768, 16}}};
    ASSERT_TRUE(makecard(image, layout, dir.path())) << lasterror();
    if (QProcess::execute("mkfs.ext2", {"-q", "-F", "-E", "offset=" + QString::number(40960 * 512), image,
                                        "8M"}) != 0)
        KOV_SKIP() << "mkfs.ext2 is not available";
    const QString mnt = dir.filePath("mnt");
    QDir().mkpath(mnt);
    QStringList untried;
    for (const QStringList& how : {QStringList{"-P"}, QStringList{"-o", QString::number(40960 * 512)}}) {
        const QString dev = attachloop(image, how);
        if (dev.isEmpty())
            KOV_SKIP() << "this machine refuses loop devices";
        // With -P the file system is in the kernel's partition 2 of the loop
        // device; with -o it is the loop device itself.
        QString fs = dev;
        if (how.first() == "-P") {
            const QString sys = "/sys/class/block/" + QFileInfo(dev).fileName() + "p2/dev";
            // Some kernels read the table only when asked again.
            if (!QFileInfo::exists(sys))
                QProcess::execute("partx", {"-a", dev});
            const QStringList majmin = QString::fromLatin1(contents(sys)).trimmed().split(':');
            fs = dir.filePath("p2");
            if (majmin.size() != 2 || QProcess::execute("mknod", {fs, "b", majmin[0], majmin[1]}) != 0) {
                untried << "-P (the kernel made no partition devices)";
                detachloop(dev);
                continue;
            }
        }
        if (QProcess::execute("mount", {"-o", "ro", fs, mnt}) != 0) {
            detachloop(dev);
            KOV_SKIP() << "this machine refuses mounts";
        }
        const Outcome run = kovrecover({image + ":1", mnt + "/out"});
        EXPECT_EQ(run.status, 4) << how.join(' ').toStdString() << run.err.constData();
        QProcess::execute("umount", {mnt});
        detachloop(dev);
    }
    if (!untried.isEmpty())
        std::printf("not tried here: %s\n", qPrintable(untried.join(", ")));
}

TEST(PartitionRange, ReadsStopAtTheEndOfThePartitionLikeAtTheEndOfADevice)
{
    QTemporaryDir dir;
    const QString image = dir.filePath("disk.img");
    const QByteArray data = patterndata(64 * 1024, 3);
    ASSERT_TRUE(writefile(image, data));
    platform::VolumeSource part;
    part.path = image;
    part.offset = 4096;
    part.size = 8192;
    part.partition = 1;
    const platform::volhandle h = platform::opensource(part);
    ASSERT_NE(h, platform::invalidhandle());
    QByteArray sector(512, '\0');
    auto* buf = reinterpret_cast<unsigned char*>(sector.data());
    ASSERT_TRUE(platform::readat(h, 0, 512, buf));
    EXPECT_EQ(sector, data.mid(4096, 512));
    ASSERT_TRUE(platform::readat(h, 8192 - 512, 512, buf));
    EXPECT_EQ(sector, data.mid(4096 + 8192 - 512, 512));
    EXPECT_FALSE(platform::readat(h, 8192 - 511, 512, buf));
    EXPECT_FALSE(platform::readat(h, 8192, 1, buf));
    EXPECT_FALSE(platform::readat(h, UINT64_MAX - 100, 512, buf));
    platform::closesource(h);

    // A partition that claims more than the file holds fails at the file's end.
    part.offset = 60 * 1024;
    const platform::volhandle beyond = platform::opensource(part);
    EXPECT_TRUE(platform::readat(beyond, 4096 - 512, 512, buf));
    EXPECT_FALSE(platform::readat(beyond, 4096, 512, buf));
    platform::closesource(beyond);
}

namespace {

void put32(QByteArray& bytes, qsizetype at, std::uint32_t v) { bytes.replace(at, 4, le32(v)); }

std::uint32_t crc(const QByteArray& bytes)
{
    return std::uint32_t(::crc32(0, reinterpret_cast<const Bytef*>(bytes.constData()), uInt(bytes.size())));
}

enum class Many { overlapping, repeated, logical };
const char* const manynames[] = {"Overlapping", "Repeated", "Logical"};
void PrintTo(Many kind, std::ostream* os) { *os << manynames[int(kind)]; }

bool sfdiskscript(const QString& image, const QString& script)
{
    QFile f(image);
    if (!f.open(QIODevice::WriteOnly) || !f.resize(48 << 20))
        return false;
    f.close();
    QProcess sfdisk;
    sfdisk.start("sfdisk", {"-q", image});
    sfdisk.write(script.toLatin1());
    sfdisk.closeWriteChannel();
    return sfdisk.waitForFinished(60000) && sfdisk.exitCode() == 0;
}

// count FAT32 volumes in one table, each with the boot sector of a volume
// made by mkfs.fat at sector 2048:
// - overlapping: GPT entries starting one sector apart, running to the end;
// - repeated: GPT entries all at sector 2048;
// - logical: a chain of EBRs in an extended partition, one every two
//   sectors, each followed by its logical partition, running to the end.
// sfdisk writes the GPT (with room for count entries) or the MBR; the GPT
// entries are then rewritten as copies of the first, with both arrays'
// and headers' checksums made again. The EBRs are written here: sfdisk
// makes 60 partitions at most.
bool manyentries(const QString& image, int count, Many kind)
{
    constexpr qint64 first = 2048;
    const QString script =
        kind == Many::logical
            ? QString("label: dos\nstart=%1, type=5\n").arg(first)
            : QString("label: gpt\ntable-length: %1\nstart=%2, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\n")
                  .arg(count)
                  .arg(first);
    const qint64 volume = kind == Many::logical ? first + 1 : first;
    if (!sfdiskscript(image, script) ||
        !runtool("mkfs.fat", {"-F", "32", "-s", "1", "-i", "1234ABCD", "--offset", QString::number(volume), image,
                              "40000"}))
        return false;
    QFile f(image);
    if (!f.open(QIODevice::ReadWrite) || !f.seek(volume * 512))
        return false;
    const QByteArray boot = f.read(512);
    const auto field = [](const QByteArray& h, int at) {
        return get32(reinterpret_cast<const unsigned char*>(h.constData()) + at);
    };
    if (kind == Many::logical) {
        const std::uint32_t extended = (48 << 11) - first;
        for (int k = 0; k < count; ++k) {
            QByteArray ebr(512, '\0');
            ebr[446 + 4] = char(0x0C);
            put32(ebr, 446 + 8, 1);
            put32(ebr, 446 + 12, extended - 2 * k - 1);
            if (k + 1 < count) {
                ebr[462 + 4] = char(0x05);
                put32(ebr, 462 + 8, 2 * (k + 1));
                put32(ebr, 462 + 12, 2);
            }
            ebr[510] = char(0x55);
            ebr[511] = char(0xAA);
            if (!f.seek((first + 2 * k) * 512) || f.write(ebr + boot) != 1024)
                return false;
        }
        return f.flush();
    }
    if (!f.seek(512))
        return false;
    const QByteArray primary = f.read(512);
    const qint64 backuplba = field(primary, 32) | qint64(field(primary, 36)) << 32;
    if (!f.seek(field(primary, 72) * 512))
        return false;
    const QByteArray entry = f.read(128);
    QByteArray entries;
    for (int i = 0; i < count; ++i) {
        QByteArray e = entry;
        put32(e, 16, std::uint32_t(i));  // a partition GUID of its own
        put32(e, 32, std::uint32_t(first + (kind == Many::repeated ? 0 : i)));
        entries += e;
        if (kind == Many::overlapping && i > 0 && (!f.seek((first + i) * 512) || f.write(boot) != 512))
            return false;
    }
    for (const qint64 at : {qint64(512), backuplba * 512}) {
        if (!f.seek(at))
            return false;
        QByteArray h = f.read(512);
        if (!f.seek(field(h, 72) * 512) || f.write(entries) != entries.size())
            return false;
        put32(h, 88, crc(entries));
        put32(h, 16, 0);
        put32(h, 16, crc(h.left(field(h, 12))));
        if (!f.seek(at) || f.write(h) != 512)
            return false;
    }
    return f.flush();
}

class ManyEntries : public ::testing::TestWithParam<Many> {};

}  // namespace

// 300 entries that all overlap, all start at one place, or lie in one chain
// of EBRs give a few notes (not one per pair), and keep every volume that
// is not a repeat, up to the first maxebrs EBRs of a chain.
TEST_P(ManyEntries, GiveFewNotesAndKeepTheirVolumes)
{
    const Many kind = GetParam();
    constexpr int count = 300;
    constexpr int ebrs = partitions::maxebrs;
    QTemporaryDir dir;
    const QString image = dir.filePath("many.img");
    ASSERT_TRUE(manyentries(image, count, kind)) << lasterror();
    platform::setimagefiles({image});
    QStringList notes;
    const QList<partitions::FATVOLUME> volumes =
        partitions::fatvolumes(platform::rawsources().value(0), KOVCore::classifydbr, &notes);
    platform::setimagefiles({});

    const int kept = kind == Many::repeated ? 1 : kind == Many::logical ? ebrs : count;
    ASSERT_EQ(volumes.size(), kept);
    const std::uint64_t last = kind == Many::logical ? 2048 + 2 * (ebrs - 1) + 1 : 2048 + (kept - 1);
    EXPECT_EQ(volumes.last().source.offset, last * 512);
    const int chainnote = kind == Many::logical ? 1 : 0;
    ASSERT_EQ(notes.size(), chainnote + partitions::notesperkind + 1) << notes.mid(0, 20).join('\n');
    if (chainnote) {
        EXPECT_TRUE(notes.first().endsWith(QString("the extended partitions hold more than %1 logical partitions: "
                                                   "those after the first %1 are not read")
                                               .arg(ebrs)))
            << notes.first();
    }
    const QString overlap = QString("partitions %1 and %2 overlap")
                                .arg(volumes.value(0).source.partition)
                                .arg(volumes.value(1).source.partition);
    EXPECT_TRUE(notes[chainnote].endsWith(kind == Many::repeated ? "partition 2 starts where partition 1 does: skipped"
                                                                 : overlap))
        << notes[chainnote];
    EXPECT_TRUE(notes.last().endsWith(
        QString("%1 more partitions %2")
            .arg((kind == Many::repeated ? count : kept) - 1 - partitions::notesperkind)
            .arg(kind == Many::repeated ? "start where an earlier one does: skipped" : "overlap another one")))
        << notes.last();
}

INSTANTIATE_TEST_SUITE_P(Kinds, ManyEntries, ::testing::Values(Many::overlapping, Many::repeated, Many::logical),
                         [](const auto& info) { return std::string(manynames[int(info.param)]); });
