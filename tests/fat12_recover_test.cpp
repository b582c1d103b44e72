// FAT12 volumes made by mkfs.fat -F 12 and mtools (floppies, small cards, 512 B
// to 8 KiB clusters): whole recoveries, the packed table read cached, sector
// by sector and across sector ends, listings, partitions, found layouts, and
// hostile tables and boot sectors that must end fast with a clear result.
#include "support/kovrecoverrun.h"
#include "support/badblockdevice.h"
#include "support/fatbuilder.h"
#include "support/mtoolsimage.h"
#include "support/recordingcore.h"
#include "support/skip.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <utility>

using namespace testsupport;

namespace {

// Every file below dir by its contents (several files may share them).
std::multiset<QByteArray> contentsbelow(const QString& dir)
{
    std::multiset<QByteArray> out;
    for (const auto& [path, bytes] : filetree(dir))
        out.insert(bytes);
    return out;
}

// Entry n of a FAT12 table at byte offset fat of image.
std::uint32_t get12(const QByteArray& image, std::uint64_t fat, std::uint32_t n)
{
    const auto* p = reinterpret_cast<const unsigned char*>(image.constData()) + fat + n + n / 2;
    const std::uint32_t pair = p[0] | std::uint32_t(p[1]) << 8;
    return n % 2 == 0 ? pair & 0xFFF : pair >> 4;
}

void put12(QByteArray& image, std::uint64_t fat, std::uint32_t n, std::uint32_t value)
{
    auto* p = reinterpret_cast<unsigned char*>(image.data()) + fat + n + n / 2;
    if (n % 2 == 0) {
        p[0] = std::uint8_t(value);
        p[1] = std::uint8_t((p[1] & 0xF0) | ((value >> 8) & 0x0F));
    } else {
        p[0] = std::uint8_t((p[0] & 0x0F) | ((value << 4) & 0xF0));
        p[1] = std::uint8_t(value >> 4);
    }
}

struct Geometry {
    std::uint32_t sectorbytes, reserved, fats, fatsectors, rootentries, spc;
    std::uint64_t fatstart() const { return std::uint64_t(reserved) * sectorbytes; }
    std::uint64_t datastart() const
    {
        return fatstart() + std::uint64_t(fats) * fatsectors * sectorbytes + rootentries * 32u;
    }
};

Geometry geometry(const QByteArray& image)
{
    const auto* b = reinterpret_cast<const unsigned char*>(image.constData());
    return {get16(b + 11), get16(b + 14), b[16], get16(b + 22), get16(b + 17), b[13]};
}

// Sets entry n in every FAT copy.
void patchfat(QByteArray& image, std::uint32_t n, std::uint32_t value)
{
    const Geometry g = geometry(image);
    for (std::uint32_t k = 0; k < g.fats; ++k)
        put12(image, g.fatstart() + std::uint64_t(k) * g.fatsectors * g.sectorbytes, n, value);
}

struct Card {
    const char* name;
    std::uint64_t kib;
    int spc;
    QStringList extra;
};

void PrintTo(const Card& c, std::ostream* os) { *os << c.name; }

// A card as a camera and a user leave it: live files and folders, a live
// file fragmented around a hole, then files (long names, sizes about a
// cluster's edges) and a folder tree deleted with mdel and mdeltree, whose
// top folder spans two clusters apart on 512-byte clusters.
class Fat12Card : public ::testing::TestWithParam<Card> {
protected:
    QTemporaryDir dir;
    QString image;
    std::multiset<QByteArray> deleted;
    std::vector<QByteArray> live;
    std::map<QString, QByteArray> named;  // deleted root files by long name
    int cluster = 0;

    void put(const QString& fatpath, const QByteArray& data)
    {
        const QString local = dir.filePath("local.bin");
        ASSERT_TRUE(writefile(local, data));
        ASSERT_TRUE(mcopy(image, local, fatpath)) << lasterror();
    }

    void SetUp() override
    {
        const Card& c = GetParam();
        image = dir.filePath("card.img");
        cluster = 512 * c.spc;
        ASSERT_TRUE(makefat(image, 12, c.kib << 10, c.spc, c.extra)) << lasterror();
        ASSERT_TRUE(mmd(image, "DCIM") && mmd(image, "DCIM/100CANON") && mmd(image, "GONE") &&
                    mmd(image, "GONE/SUB"))
            << lasterror();
        std::uint32_t seed = 1;
        auto keep = [&](const QString& path, int bytes) {
            live.push_back(patterndata(bytes, seed++));
            put(path, live.back());
        };
        keep("KEEP.TXT", 700);
        keep("Live photo with a long name.jpg", 3 * cluster + 5);
        keep("DCIM/100CANON/IMG_0001.JPG", 2 * cluster);
        // HOLE's clusters are taken again by FRAG, which then runs on past
        // AFTER: a live chain with a jump.
        put("HOLE.BIN", patterndata(2 * cluster, 900));
        keep("AFTER.BIN", cluster + 1);
        ASSERT_TRUE(mdel(image, "HOLE.BIN")) << lasterror();
        keep("FRAG.BIN", 5 * cluster - 3);
        const int sizes[] = {1, cluster - 1, cluster, cluster + 1, 4 * cluster + 100, 12000};
        QStringList gone;
        for (int i = 0; i < 6; ++i) {
            const QString name = QStringLiteral("Deleted file number %1 with a long name.bin").arg(i);
            const QByteArray data = patterndata(sizes[i], 100 + i);
            put(name, data);
            named[name] = data;
            deleted.insert(data);
            gone << name;
        }
        for (int i = 0; i < 3; ++i) {
            const QByteArray data = patterndata(cluster * (i + 1) + 7, 200 + i);
            put(QString::fromLatin1(i == 2 ? "GONE/SUB/F%1.DAT" : "GONE/F%1.DAT").arg(i), data);
            deleted.insert(data);
        }
        // Long names enough to fill GONE's first cluster on small
        // clusters: it grows into a cluster past the files above.
        for (int i = 0; i < 6; ++i) {
            const QByteArray data = patterndata(700 + i, 400 + i);
            put(QStringLiteral("GONE/Gone picture number %1.jpg").arg(i), data);
            deleted.insert(data);
        }
        const QByteArray deep = patterndata(2 * cluster + 9, 300);
        put("GONE/SUB/Deep file.txt", deep);
        deleted.insert(deep);
        for (const QString& name : gone)
            ASSERT_TRUE(mdel(image, name)) << lasterror();
        ASSERT_TRUE(mdeltree(image, "GONE")) << lasterror();
    }
};

}  // namespace

TEST_P(Fat12Card, EveryDeletedFileComesBackExactAndNothingElse)
{
    const QString out = dir.filePath("out");
    const CommandOutcome o = kovrecover({"--original-names", image, out});
    ASSERT_EQ(o.status, 0) << o.err.toStdString();
    EXPECT_EQ(contentsbelow(out), deleted) << o.err.toStdString();
    for (const auto& [name, data] : named)
        EXPECT_EQ(contents(out + "/" + name), data) << name.toStdString();
}

TEST_P(Fat12Card, DeepScanWritesNoLiveFile)
{
    const QString out = dir.filePath("deep");
    const CommandOutcome o = kovrecover({"--deep", image, out});
    ASSERT_EQ(o.status, 0) << o.err.toStdString();
    const std::multiset<QByteArray> got = contentsbelow(out);
    for (const QByteArray& d : deleted)
        EXPECT_EQ(got.count(d), 1u);
    for (const QByteArray& l : live)
        EXPECT_EQ(got.count(l), 0u) << "a live file was written";
    const CommandOutcome v = kovrecover({"--list-volumes", image});
    EXPECT_EQ(v.status, 0);
    EXPECT_TRUE(v.out.startsWith("0\t0\t" + QByteArray::number(GetParam().kib << 10) + "\tFAT12\t")) << v.out.data();
}

INSTANTIATE_TEST_SUITE_P(
    Cards, Fat12Card,
    ::testing::Values(Card{"Floppy1440", 1440, 1, {}}, Card{"FloppyOneFatGeometry", 1440, 1, {"-f", "1", "-g", "2/18"}},
                      Card{"Card4MiB1KiB", 4096, 2, {}}, Card{"Card8MiB2KiB", 8192, 4, {}},
                      Card{"Card12MiB4KiB", 12288, 8, {}}, Card{"Card16MiB8KiB", 16384, 16, {"-f", "2"}}),
    [](const ::testing::TestParamInfo<Card>& info) { return std::string(info.param.name); });

// Every entry of a packed table, from the cache, sector by sector (one in
// three of a sector's last entries has its high bits in the next sector)
// and straight from the image's bytes, on a card whose table is in use
// across its sector ends.
TEST(Fat12Table, CachedUncachedAndImageBytesAgreeAcrossSectorEnds)
{
    QTemporaryDir dir;
    const QString image = dir.filePath("t.img"), local = dir.filePath("l.bin");
    ASSERT_TRUE(makefat(image, 12, 2u << 20, 1)) << lasterror();
    for (int i = 0; i < 70; ++i) {
        ASSERT_TRUE(writefile(local, patterndata(512u * (i % 5 + 1) * 10 + 3, i)));
        ASSERT_TRUE(mcopy(image, local, QStringLiteral("F%1.BIN").arg(i))) << lasterror();
    }
    for (int i = 0; i < 12; i += 3)
        ASSERT_TRUE(mdel(image, QStringLiteral("F%1.BIN").arg(i))) << lasterror();
    ASSERT_TRUE(writefile(local, patterndata(512u * 200, 99)));
    ASSERT_TRUE(mcopy(image, local, "FRAG.BIN")) << lasterror();
    const QByteArray bytes = contents(image);
    const Geometry g = geometry(bytes);

    RecordingCore core;
    core.openimage(image);
    ASSERT_TRUE(core.warnings.isEmpty()) << core.warnings.join(';').toStdString();
    ASSERT_EQ(core.fatbits, 12u);
    ASSERT_EQ(core.fatentries, std::uint64_t(g.fatsectors) * 512 * 2 / 3);
    std::vector<std::uint32_t> cached(core.fatentries);
    int straddling = 0;
    for (std::uint32_t n = 0; n < core.fatentries; ++n) {
        cached[n] = core.getfatentry(n);
        ASSERT_EQ(cached[n], get12(bytes, g.fatstart(), n)) << n;
        const std::uint64_t at = n + n / 2;
        EXPECT_EQ(core.getfatentrysetor(n), g.reserved + at / 512) << n;
        EXPECT_EQ(core.getfatentryoffsetinsector(n), at % 512) << n;
        straddling += at % 512 == 511 && n >= 2 && cached[n] != 0;
    }
    EXPECT_GE(straddling, 3) << "too few straddling entries in use for the test to mean anything";
    core.fat.reset();
    for (std::uint32_t n = 0; n < core.fatentries; ++n)
        ASSERT_EQ(core.getfatentry(n), cached[n]) << "uncached entry " << n;
    // mtools' chain of the fragmented file, as its bytes say.
    const QByteArray frag = mtype(image, "FRAG.BIN");
    ASSERT_EQ(frag, patterndata(512u * 200, 99));
}

// A table's head: media byte and end-of-chain mark packed in three bytes;
// end-of-chain 0xFF8-0xFFF and bad cluster 0xFF7 end a chain.
TEST(Fat12Table, HeadEndsAndBadCluster)
{
    const unsigned char head[] = {0xF0, 0xFF, 0xFF};
    EXPECT_TRUE(KOVCore::fathead(head, 12, 0xF0));
    EXPECT_FALSE(KOVCore::fathead(head, 12, 0xF8));
    const unsigned char wrong[] = {0xF0, 0xFF, 0x0F};
    EXPECT_FALSE(KOVCore::fathead(wrong, 12, 0xF0));

    QTemporaryDir dir;
    const QString image = dir.filePath("e.img"), local = dir.filePath("l.bin");
    ASSERT_TRUE(makefat(image, 12, 1440u << 10, 1)) << lasterror();
    ASSERT_TRUE(writefile(local, patterndata(5 * 512, 1)) && mcopy(image, local, "A.BIN")) << lasterror();
    QByteArray bytes = contents(image);
    RecordingCore core;
    for (const std::uint32_t end : {0xFF7u, 0xFF8u, 0xFFCu, 0xFFFu}) {
        patchfat(bytes, 4, end);  // A.BIN is clusters 2..6
        ASSERT_TRUE(writefile(image, bytes));
        core.openimage(image);
        const std::vector<DATARUN> runs = core.fatgetdatarun(2);
        ASSERT_EQ(runs.size(), 1u) << std::hex << end;
        EXPECT_EQ(runs[0].length, 3u) << std::hex << end;
    }
}

// Boot sectors on the 4,084/4,085-cluster edge, labelled or not: the
// cluster count decides, as in every FAT reader.
TEST(Fat12BootSector, ClusterCountDecidesAtTheEdge)
{
    // 1 reserved, 2 FATs of 12 sectors, 512 root entries (32 sectors).
    auto sector = [](std::uint32_t clusters, const char* label, std::uint16_t fatsectors = 12) {
        std::vector<unsigned char> s(512, 0);
        s[0] = 0xEB;
        put16(s.data() + 11, 512);
        s[13] = 1;
        put16(s.data() + 14, 1);
        s[16] = 2;
        put16(s.data() + 17, 512);
        put16(s.data() + 19, std::uint16_t(1 + 2 * fatsectors + 32 + clusters));
        s[21] = 0xF8;
        put16(s.data() + 22, fatsectors);
        if (label)
            std::memcpy(s.data() + 54, label, 8);
        s[510] = 0x55;
        s[511] = 0xAA;
        return s;
    };
    EXPECT_EQ(KOVCore::classifydbr(sector(4084, "FAT12   ").data()), 5u);
    EXPECT_EQ(KOVCore::classifydbr(sector(4085, "FAT12   ").data()), 2u);
    EXPECT_EQ(KOVCore::classifydbr(sector(4084, nullptr).data()), 5u);
    EXPECT_EQ(KOVCore::classifydbr(sector(4085, nullptr).data()), 2u);
    EXPECT_EQ(KOVCore::classifydbr(sector(4084, "FAT     ").data()), 5u);
    // A FAT16 label over a table too short for 16-bit entries; one long
    // enough stays FAT16.
    EXPECT_EQ(KOVCore::classifydbr(sector(4084, "FAT16   ").data()), 5u);
    EXPECT_EQ(KOVCore::classifydbr(sector(4084, "FAT16   ", 16).data()), 2u);
    // No label, and fields that lay out nothing: not FAT.
    std::vector<unsigned char> zero = sector(4084, nullptr);
    put16(zero.data() + 22, 0);
    EXPECT_EQ(KOVCore::classifydbr(zero.data()), 3u);
    std::vector<unsigned char> nojump = sector(4084, nullptr);
    nojump[0] = 0;
    EXPECT_EQ(KOVCore::classifydbr(nojump.data()), 3u);
    // A damaged total (2^32 - 1 sectors) claims more clusters than the
    // table holds in any width: the label decides.
    for (const auto& [label, type] : {std::pair{"FAT12   ", 5u}, {"FAT16   ", 2u}, {nullptr, 3u}}) {
        std::vector<unsigned char> huge = sector(4084, label);
        put16(huge.data() + 19, 0);
        std::memset(huge.data() + 32, 0xFF, 4);
        EXPECT_EQ(KOVCore::classifydbr(huge.data()), type) << (label ? label : "no label");
    }
}

// mkfs.fat's volume grown to exactly 4,084 and 4,085 clusters: the first is
// recovered as FAT12, the second listed as FAT16 (what its count makes it)
// and run to its end.
TEST(Fat12BootSector, VolumesOnTheEdgeEndWithAClearResult)
{
    QTemporaryDir dir;
    const QString image = dir.filePath("edge.img"), local = dir.filePath("l.bin");
    ASSERT_TRUE(makefat(image, 12, 4141u * 512, 1, {"-R", "1", "-r", "512"})) << lasterror();
    const QByteArray data = patterndata(3000, 5);
    ASSERT_TRUE(writefile(local, data) && mcopy(image, local, "GONE.BIN") && mdel(image, "GONE.BIN")) << lasterror();
    QByteArray bytes = contents(image);
    ASSERT_EQ(geometry(bytes).fatsectors, 12u);
    for (const std::uint32_t clusters : {4084u, 4085u}) {
        SCOPED_TRACE(clusters);
        put16(reinterpret_cast<unsigned char*>(bytes.data()) + 19, std::uint16_t(1 + 24 + 32 + clusters));
        bytes.resize(qsizetype(1 + 24 + 32 + clusters) * 512);
        ASSERT_TRUE(writefile(image, bytes));
        const CommandOutcome v = kovrecover({"--list-volumes", image});
        EXPECT_EQ(v.out.split('\t').value(3), clusters == 4084 ? "FAT12" : "FAT16");
        const QString out = dir.filePath(QStringLiteral("out%1").arg(clusters));
        const CommandOutcome o = kovrecover({image, out});
        EXPECT_TRUE(o.status == 0 || o.status == 1) << o.err.toStdString();
        if (clusters == 4084) {
            EXPECT_EQ(contents(out + "/kONE.BIN"), data) << o.err.toStdString();
        }
    }
}

// Tables that lie: a live folder and a live file whose chains loop through
// entries packed across a sector's end, a FAT that covers a third of the
// clusters, one that claims more sectors than the volume holds, a root
// area of an odd number of entries. Each run ends with its status.
TEST(Fat12Hostile, LoopsAndOddTablesEndWithAClearResult)
{
    QTemporaryDir dir;
    const QString image = dir.filePath("h.img"), local = dir.filePath("l.bin");
    ASSERT_TRUE(makefat(image, 12, 1440u << 10, 1)) << lasterror();
    // Clusters 2..339 for FILL, then LOOP over 340..359 (entry 341 straddles
    // the FAT's first sector end), DIR's cluster, and a deleted file after.
    ASSERT_TRUE(writefile(local, patterndata(338 * 512, 1)) && mcopy(image, local, "FILL.BIN")) << lasterror();
    ASSERT_TRUE(writefile(local, patterndata(20 * 512, 2)) && mcopy(image, local, "LOOP.BIN")) << lasterror();
    ASSERT_TRUE(mmd(image, "DIR")) << lasterror();
    const QByteArray gone = patterndata(1000, 3);
    ASSERT_TRUE(writefile(local, gone) && mcopy(image, local, "DIR/GONE.BIN") && mdel(image, "DIR/GONE.BIN"))
        << lasterror();
    const QByteArray sound = contents(image);
    ASSERT_EQ(get12(sound, geometry(sound).fatstart(), 341), 342u);

    struct Case {
        const char* what;
        std::function<void(QByteArray&)> harm;
    };
    const Case cases[] = {
        {"file loops at a straddling entry", [](QByteArray& b) { patchfat(b, 342, 341); }},
        {"file loops back to its start", [](QByteArray& b) { patchfat(b, 359, 340); }},
        {"folder loops onto itself", [](QByteArray& b) { patchfat(b, 360, 360); }},
        {"FAT of one sector", [](QByteArray& b) { put16(reinterpret_cast<unsigned char*>(b.data()) + 22, 1); }},
        {"FAT past the volume", [](QByteArray& b) { put16(reinterpret_cast<unsigned char*>(b.data()) + 22, 3000); }},
        {"17 root entries", [](QByteArray& b) { put16(reinterpret_cast<unsigned char*>(b.data()) + 17, 17); }},
        {"every entry bad", [](QByteArray& b) {
             for (std::uint32_t n = 2; n < 2849; ++n)
                 patchfat(b, n, 0xFF7);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QByteArray bytes = sound;
        c.harm(bytes);
        ASSERT_TRUE(writefile(image, bytes));
        const QString out = dir.filePath(QStringLiteral("out-%1").arg(&c - cases));
        const CommandOutcome o = kovrecover({"--deep", image, out});
        EXPECT_TRUE(o.status == 0 || o.status == 1 || o.status == 3) << o.status << o.err.toStdString();
        EXPECT_TRUE(o.err.contains("files saved") || o.err.contains("FAT")) << o.err.toStdString();
        EXPECT_EQ(contents(image), bytes) << "the source was written";
    }
}

// A two-file floppy as published FAT test images are: one file live, one
// deleted, listed with its size and start, as JSON too, and the volume
// listed as FAT12 with its label.
TEST(Fat12Listing, TwoFileImage)
{
    QTemporaryDir dir;
    const QString image = dir.filePath("two.img"), local = dir.filePath("l.bin");
    ASSERT_TRUE(makefat(image, 12, 1440u << 10, 1, {"-n", "TWOFILES"})) << lasterror();
    ASSERT_TRUE(writefile(local, patterndata(1200, 1)) && mcopy(image, local, "kept.txt")) << lasterror();
    ASSERT_TRUE(writefile(local, patterndata(7000, 2)) && mcopy(image, local, "Deleted picture.jpg") &&
                mdel(image, "Deleted picture.jpg"))
        << lasterror();
    const CommandOutcome v = kovrecover({"--list-volumes", image});
    ASSERT_EQ(v.status, 0) << v.err.toStdString();
    EXPECT_EQ(v.out, "0\t0\t1474560\tFAT12\tTWOFILES\n");
    const CommandOutcome l = kovrecover({"--list", "--original-names", image});
    ASSERT_EQ(l.status, 0) << l.err.toStdString();
    EXPECT_EQ(l.out.count('\n'), 1) << l.out.data();
    EXPECT_TRUE(l.out.contains("Deleted picture.jpg")) << l.out.data();
    EXPECT_TRUE(l.out.contains("7000")) << l.out.data();
    const CommandOutcome j = kovrecover({"--list", "--json", image});
    ASSERT_EQ(j.status, 0) << j.err.toStdString();
    const QJsonObject record = QJsonDocument::fromJson(j.out.trimmed()).object();
    EXPECT_EQ(record.value("size").toInteger(), 7000);
    EXPECT_EQ(record.value("start").toInteger(), 5);  // kept.txt holds clusters 2..4
    const QString out = dir.filePath("out");
    const CommandOutcome o = kovrecover({"--verify", image, out});
    ASSERT_EQ(o.status, 0) << o.err.toStdString();
    EXPECT_EQ(contentsbelow(out), std::multiset<QByteArray>{patterndata(7000, 2)});
}

// A card image with an MBR: a FAT12 partition of type 0x01 and another
// whose type (0x83) says Linux but whose boot sector says FAT12.
TEST(Fat12Partitions, ByTypeOneAndByBootSector)
{
    QTemporaryDir dir;
    const QString card = dir.filePath("card.img"), part = dir.filePath("p.img"), local = dir.filePath("l.bin");
    ASSERT_TRUE(makefat(part, 12, 2u << 20, 2)) << lasterror();
    const QByteArray data = patterndata(4000, 7);
    ASSERT_TRUE(writefile(local, data) && mcopy(part, local, "GONE.BIN") && mdel(part, "GONE.BIN")) << lasterror();
    const QByteArray volume = contents(part);
    QByteArray bytes(6 << 20, '\0');
    bytes.replace(1 << 20, volume.size(), volume);
    bytes.replace(3 << 20, volume.size(), volume);
    ASSERT_TRUE(writefile(card, bytes));
    QProcess sfdisk;
    sfdisk.start("sfdisk", {"-q", card});
    sfdisk.write("label: dos\nstart=2048, size=4096, type=1\nstart=6144, size=4096, type=83\n");
    sfdisk.closeWriteChannel();
    ASSERT_TRUE(sfdisk.waitForFinished(60000) && sfdisk.exitCode() == 0) << sfdisk.readAllStandardError().data();
    const CommandOutcome v = kovrecover({"--list-volumes", card});
    ASSERT_EQ(v.status, 0) << v.err.toStdString();
    EXPECT_EQ(v.out, "1\t1048576\t2097152\tFAT12\tNO NAME\n2\t3145728\t2097152\tFAT12\tNO NAME\n");
    const QString out = dir.filePath("out");
    const CommandOutcome o = kovrecover({card + ":2", out});
    ASSERT_EQ(o.status, 0) << o.err.toStdString();
    EXPECT_EQ(contents(out + "/kONE.BIN"), data);
}

// A source of another file system is named for it; "no boot sector" only
// when there is none, and a FAT boot sector that lays out nothing (no
// cluster size, a table of no sectors) says so; the layout search of --deep
// and --list-volumes names it the same way, and finds the deleted file.
TEST(Fat12Sources, OtherFileSystemsAreNamedForWhatTheyAre)
{
    QTemporaryDir dir;
    struct Made {
        QString image;
        QByteArray says, searching, gone = {};
    };
    std::vector<Made> made;
    const QString ext4 = dir.filePath("ext4.img"), ntfs = dir.filePath("ntfs.img");
    ASSERT_TRUE(writefile(ext4, QByteArray()) && QFile::resize(ext4, 8 << 20));
    if (runtool("mkfs.ext4", {"-q", "-F", ext4}))
        made.push_back({ext4, "ext4 volume: kov-recover reads FAT12, FAT16, FAT32 and exFAT", "ext4 volume"});
    ASSERT_TRUE(writefile(ntfs, QByteArray()) && QFile::resize(ntfs, 8 << 20));
    if (runtool("mkntfs", {"-q", "-F", "-f", ntfs}))
        made.push_back({ntfs, "NTFS volume: kov-recover reads FAT12, FAT16, FAT32 and exFAT", "NTFS volume"});
    const QString junk = dir.filePath("junk.img");
    ASSERT_TRUE(writefile(junk, QByteArray(64 << 10, '\x11')));
    made.push_back({junk, "not a FAT12, FAT16, FAT32 or exFAT volume (no boot sector)", "no boot sector"});
    const QString local = dir.filePath("l.bin");
    // The cluster size (byte 13); the table's sectors (bytes 22-23).
    for (const auto& [field, width] : {std::pair{13, 1}, {22, 2}}) {
        const QString image = dir.filePath(QStringLiteral("field%1.img").arg(field));
        const QByteArray gone = patterndata(5000, field);
        // Three folders: enough for the layout search to agree on one.
        ASSERT_TRUE(makefat(image, 12, 1440u << 10, 1) && mmd(image, "A") && mmd(image, "B") && mmd(image, "D") &&
                    writefile(local, gone) && mcopy(image, local, "D/GONE.BIN") && mdel(image, "D/GONE.BIN"))
            << lasterror();
        QByteArray b = contents(image);
        b.replace(field, width, QByteArray(width, '\0'));
        ASSERT_TRUE(writefile(image, b));
        made.push_back({image, "not a FAT12, FAT16, FAT32 or exFAT volume (its boot sector lays out none)",
                        "its boot sector lays out none", gone});
    }
    if (made.size() < 5)
        std::printf("mkfs.ext4 or mkntfs could not run here: %s\n", lasterror().c_str());
    for (const Made& m : made) {
        SCOPED_TRACE(m.image.toStdString());
        const CommandOutcome o = kovrecover({m.image, dir.filePath("out")});
        EXPECT_EQ(o.status, 3);
        EXPECT_TRUE(o.err.contains(m.says)) << o.err.toStdString();
        EXPECT_FALSE(QFileInfo::exists(dir.filePath("out")));
        const QString deep = m.image + ".deep";
        for (const QStringList& args : {QStringList{"--list-volumes", m.image}, QStringList{"--deep", m.image, deep}}) {
            const CommandOutcome d = kovrecover(args);
            EXPECT_TRUE(d.err.contains(": " + m.searching + ": searching the layout")) << d.err.toStdString();
            EXPECT_EQ(d.err.contains("no boot sector"), m.searching == "no boot sector") << d.err.toStdString();
        }
        if (!m.gone.isEmpty()) {
            EXPECT_EQ(contentsbelow(deep).count(m.gone), 1u);
        }
    }
}

// A quick-formatted FAT12 card: the plain run finds nothing and its advice
// points at --deep; the deep scan brings the old files back.
TEST(Fat12Advice, AQuickFormattedCardIsSeen)
{
    QTemporaryDir dir;
    const QString image = dir.filePath("q.img"), local = dir.filePath("l.bin");
    ASSERT_TRUE(makefat(image, 12, 4u << 20, 2)) << lasterror();
    std::multiset<QByteArray> old;
    for (int d = 0; d < 4; ++d) {
        ASSERT_TRUE(mmd(image, QStringLiteral("D%1").arg(d))) << lasterror();
        for (int f = 0; f < 3; ++f) {
            old.insert(patterndata(1500u * (f + 1), d * 10 + f));
            ASSERT_TRUE(writefile(local, patterndata(1500u * (f + 1), d * 10 + f)) &&
                        mcopy(image, local, QStringLiteral("D%1/F%2.BIN").arg(d).arg(f)))
                << lasterror();
        }
    }
    ASSERT_TRUE(runtool("mkfs.fat", {"-F", "12", "-s", "2", "-i", "1234ABCD", image})) << lasterror();
    const CommandOutcome plain = kovrecover({image, dir.filePath("plain")});
    EXPECT_EQ(plain.status, 0) << plain.err.toStdString();
    EXPECT_TRUE(plain.err.contains("--deep")) << plain.err.toStdString();
    EXPECT_TRUE(plain.err.contains("formatted")) << plain.err.toStdString();
    const CommandOutcome deep = kovrecover({"--deep", image, dir.filePath("deep")});
    EXPECT_EQ(deep.status, 0) << deep.err.toStdString();
    EXPECT_EQ(contentsbelow(dir.filePath("deep")), old);
}

// No boot sector at all: the layout is found from the folders, with the
// fixed root area and fewer than 4,085 clusters that make it FAT12.
TEST(Fat12Layout, AFoundLayoutWithAFixedRootIsFat12)
{
    QTemporaryDir dir;
    const QString image = dir.filePath("l.img"), local = dir.filePath("l.bin");
    ASSERT_TRUE(makefat(image, 12, 4u << 20, 2)) << lasterror();
    std::multiset<QByteArray> files;
    for (int d = 0; d < 4; ++d) {
        ASSERT_TRUE(mmd(image, QStringLiteral("D%1").arg(d))) << lasterror();
        files.insert(patterndata(3000, d));
        ASSERT_TRUE(writefile(local, patterndata(3000, d)) && mcopy(image, local, QStringLiteral("D%1/F.BIN").arg(d)))
            << lasterror();
    }
    QByteArray bytes = contents(image);
    const Geometry g = geometry(bytes);
    bytes.replace(0, qsizetype(g.fatstart() + 2 * g.fatsectors * 512), QByteArray(qsizetype(g.fatstart() + 2 * g.fatsectors * 512), '\0'));
    ASSERT_TRUE(writefile(image, bytes));
    const CommandOutcome v = kovrecover({"--list-volumes", image});
    ASSERT_EQ(v.status, 0) << v.err.toStdString();
    EXPECT_TRUE(v.out.contains("\tFAT12 (found)\t")) << v.out.data();
    const CommandOutcome o = kovrecover({"--deep", image, dir.filePath("out")});
    ASSERT_EQ(o.status, 0) << o.err.toStdString();
    EXPECT_EQ(contentsbelow(dir.filePath("out")), files);
}

// The first FAT's head on an unreadable page of a real device (a read
// through the page cache fails its whole 4 KiB page): the second copy holds
// the table, and every deleted file comes back exact from it.
TEST(Fat12Damaged, FirstFatUnreadableSecondSound)
{
    QString why;
    if (!BadBlockDevice::available(&why))
        KOV_SKIP() << why.toStdString();
    QTemporaryDir dir;
    const QString image = dir.filePath("bad.img"), local = dir.filePath("l.bin");
    // 8 reserved sectors: the first FAT starts a page of its own; with 4 KiB
    // clusters its 12 sectors end in the page where the second begins.
    ASSERT_TRUE(makefat(image, 12, 16000u << 10, 8, {"-R", "8"})) << lasterror();
    std::multiset<QByteArray> gone;
    for (int i = 0; i < 4; ++i) {
        const QByteArray data = patterndata(4096 * i + 700, 70 + i);
        ASSERT_TRUE(writefile(local, data) && mcopy(image, local, QStringLiteral("F%1.BIN").arg(i))) << lasterror();
        if (i % 2 == 0)
            gone.insert(data);
    }
    ASSERT_TRUE(mdel(image, "F0.BIN") && mdel(image, "F2.BIN")) << lasterror();
    const Geometry g = geometry(contents(image));
    ASSERT_EQ(g.reserved, 8u);
    ASSERT_GE(g.fatsectors, 9u);
    BadBlockDevice dev(image, {{9, 9}});
    ASSERT_TRUE(dev.ok()) << dev.why().toStdString();
    const QString out = dir.filePath("out");
    const CommandOutcome o = kovrecover({dev.path(), out});
    EXPECT_EQ(o.status, 0) << o.err.toStdString();
    // Read with direct I/O the bad sector costs only itself: the head
    // stands, and the one sector comes from the second copy.
    EXPECT_TRUE(o.err.contains("1 sectors of the first FAT cannot be read: 1 taken from the second"))
        << o.err.toStdString();
    EXPECT_TRUE(QFile::remove(out + "/unreadable.map"));
    EXPECT_EQ(contentsbelow(out), gone);
}
