// The exfat engine through its own API, on images made by mkfs.exfat and
// written through the exfat FUSE driver (contiguous and fragmented files,
// deleted folders, long and non-ASCII names, cluster sizes 4 to 128 KiB, a
// quick format), and on what our ExfatPatch makes of them for the cases the
// driver never leaves (a FAT chain that still holds, a bad set checksum,
// hostile fields).
#include "exfat/freeclusters.h"
#include "exfat/volume.h"
#include "exfat/walk.h"
#include "model/kovcore.h"
#include "partitions/partitiontable.h"
#include "scan/recoveredname.h"
#include "support/exfatimage.h"
#include "support/exfatsave.h"
#include "support/fatbuilder.h"
#include "support/kovrecoverrun.h"
#include "support/mtoolsimage.h"
#include "support/skip.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <map>
#include <set>

using namespace testsupport;

namespace {

bool hasnote(const ExfatOutcome& o, const QString& part)
{
    return std::any_of(o.notes.cbegin(), o.notes.cend(), [&](const QString& n) { return n.contains(part); });
}

const QString longname = QString(251, QChar(u'n')) + ".dat";           // 255 characters
const QString unicodename = QString::fromUtf8("Ünïcødé 写真 ✓ €.jpg");  // not ASCII

// A volume written and deleted through the FUSE driver; expected maps the
// output path of each deleted file that must come back to its bytes.
class FuseVolume : public ::testing::TestWithParam<std::uint32_t> {
protected:
    QTemporaryDir dir;
    QString image;
    std::map<QString, QByteArray> expected;
    std::uint32_t cluster = 0;

    void SetUp() override
    {
        cluster = GetParam();
        image = dir.filePath("volume.img");
        ASSERT_TRUE(makeexfat(image, 64u << 20, cluster)) << lasterror();
    }
};

TEST_P(FuseVolume, DeletedFilesComeBackWholeUnderTheirFullNames)
{
    ExfatMount m(image);
    if (!m.ok()) {
        KOV_SKIP() << m.why().toStdString();
    }
    const struct {
        QString path;
        std::uint64_t size;
    } files[] = {
        {"one.txt", 1},
        {"exact.bin", cluster},
        {"over.bin", cluster + 1ull},
        {"big.bin", 9ull * cluster + 77},
        {unicodename, 3000},
        {longname, 2ull * cluster},
        {"trip/day1/a.jpg", 50000},
        {"trip/day1/b.jpg", cluster * 3ull},
        {"trip/notes.txt", 700},
        {"keep.txt", 5000},
    };
    ASSERT_TRUE(m.mkdir("trip") && m.mkdir("trip/day1") && m.mkdir("kept"));
    std::uint32_t seed = 1;
    for (const auto& f : files) {
        const QByteArray data = patterndata(f.size, seed++);
        ASSERT_TRUE(m.write(f.path, data)) << f.path.toStdString();
        if (f.path != "keep.txt")
            expected[f.path] = data;
    }
    // Interleaved appends fragment frag.bin around live.bin, which stays.
    QByteArray frag;
    for (int i = 0; i < 4; ++i) {
        const QByteArray piece = patterndata(cluster, 100 + i);
        frag += piece;
        ASSERT_TRUE(m.write("frag.bin", piece, true) && m.write("live.bin", patterndata(cluster, 200 + i), true));
    }
    expected["frag.bin"] = frag;
    // An odd second: the driver keeps it in the 10 ms field.
    const QDateTime stamp(QDate(2021, 5, 6), QTime(7, 8, 9), Qt::UTC);
    ASSERT_TRUE(runtool("touch", {"-d", "@" + QString::number(stamp.toSecsSinceEpoch()), m.path("one.txt")}));
    // A deleted file whose clusters a later file takes (the driver takes the
    // lowest free ones) does not come back.
    ASSERT_TRUE(m.write("reused.bin", patterndata(4ull * cluster, 300)));
    ASSERT_TRUE(m.remove("reused.bin"));
    ASSERT_TRUE(m.write("later.bin", patterndata(4ull * cluster, 301)));
    // Deleted files of live folders are saved flat: equal names take "(n)"
    // (the root is walked first).
    const QByteArray same[] = {patterndata(1234, 700), patterndata(4321, 701)};
    ASSERT_TRUE(m.write("same.txt", same[0]) && m.write("kept/same.txt", same[1]));
    ASSERT_TRUE(m.remove("same.txt") && m.remove("kept/same.txt"));
    expected["same.txt"] = same[0];
    expected[numberedname("same.txt", 1)] = same[1];
    for (const auto& [path, data] : expected) {
        if (!path.startsWith("trip/") && !path.startsWith("same.txt")) {
            ASSERT_TRUE(m.remove(path)) << path.toStdString();
        }
    }
    ASSERT_TRUE(m.remove("trip"));
    ASSERT_TRUE(m.unmount());

    const QString out = dir.filePath("out");
    const ExfatOutcome o = exfatrecover(image, out);
    ASSERT_TRUE(o.error.isEmpty()) << o.error.toStdString();
    EXPECT_EQ(o.failed, 0);
    std::map<QString, QByteArray> got = filetree(out);
    EXPECT_EQ(got, expected) << o.notes.join('\n').toStdString();
    for (const ExfatRecord& f : o.files)
        EXPECT_EQ(f.rebuild, f.name == "frag.bin" ? exfat::REBUILD::freeclusters : exfat::REBUILD::contiguous)
            << f.name.toStdString();
    EXPECT_EQ(QFileInfo(out + "/one.txt").lastModified().toUTC(), stamp);

    // kov-recover saves the same files through its own save path, and
    // lists them with their NoFatChain flag.
    const QString cli = dir.filePath("cli");
    const CommandOutcome run = kovrecover({image, cli});
    EXPECT_EQ(run.status, 0) << run.err.toStdString();
    EXPECT_EQ(filetree(cli), expected) << run.err.toStdString();

    EXPECT_EQ(QFileInfo(cli + "/one.txt").lastModified().toUTC(), stamp);
    const CommandOutcome listed = kovrecover({"--list", "--json", image});
    ASSERT_EQ(listed.status, 0) << listed.err.toStdString();
    // A listing chooses no "(n)": both same.txt are listed as such.
    std::multiset<std::pair<QString, qint64>> wanted, listedfiles;
    for (const auto& [path, data] : expected)
        wanted.emplace(path.startsWith("same.txt") ? "same.txt" : path, data.size());
    for (const QByteArray& line : listed.out.split('\n')) {
        if (line.isEmpty())
            continue;
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        const QString path = o.value("dir").toString() + o.value("name").toString();
        listedfiles.emplace(path, o.value("size").toInteger());
        ASSERT_TRUE(o.contains("nofatchain")) << line.toStdString();
        EXPECT_EQ(o.value("nofatchain").toBool(), path != "frag.bin") << line.toStdString();
    }
    EXPECT_EQ(listedfiles, wanted);

    // With --verify the .jpg and .txt files, whose random bytes are neither
    // JPEG nor text, are set apart in damaged/ (below their folder path);
    // the .bin files, which no check knows, stay where they were.
    const QString checked = dir.filePath("verify");
    const CommandOutcome verified = kovrecover({"--verify", image, checked});
    EXPECT_EQ(verified.status, 0) << verified.err.toStdString();
    std::map<QString, QByteArray> sorted;
    for (const auto& [path, data] : expected)
        sorted[(path.contains(".jpg") || path.contains(".txt") ? "damaged/" : "") + path] = data;
    EXPECT_EQ(filetree(checked), sorted) << verified.err.toStdString();
}

INSTANTIATE_TEST_SUITE_P(ClusterSizes, FuseVolume, ::testing::Values(4096u, 32768u, 131072u),
                         [](const auto& info) { return std::to_string(info.param / 1024) + "KiB"; });

// What the driver leaves on deletion, on which the engine relies.
TEST(ExfatFuseDeletion, ClearsInUseBitsBitmapAndChainAndKeepsTheRest)
{
    QTemporaryDir dir;
    const QString image = dir.filePath("v.img");
    ASSERT_TRUE(makeexfat(image, 32u << 20, 4096)) << lasterror();
    {
        ExfatMount m(image);
        if (!m.ok()) {
            KOV_SKIP() << m.why().toStdString();
        }
        ASSERT_TRUE(m.write("flat.bin", patterndata(10000, 1)));
        for (int i = 0; i < 2; ++i)
            ASSERT_TRUE(m.write("frag.bin", patterndata(4096, 2), true) && m.write("x", patterndata(4096, 3), true));
        ASSERT_TRUE(m.unmount());
    }
    ExfatPatch before(image);
    const std::uint64_t flat = before.findset("flat.bin");
    const std::uint64_t frag = before.findset("frag.bin");
    ASSERT_TRUE(flat && frag);
    const std::uint32_t fragfirst = get32(before.at(frag + 52));
    ASSERT_EQ(*before.at(frag + 33) & 2, 0) << "frag.bin is chained";
    ASSERT_NE(before.fat(fragfirst), 0u);
    {
        ExfatMount m(image);
        ASSERT_TRUE(m.ok() && m.remove("flat.bin") && m.remove("frag.bin") && m.unmount());
    }
    ExfatPatch after(image);
    for (const std::uint64_t set : {flat, frag})
        for (int k = 0; k < 3; ++k)
            EXPECT_EQ(*after.at(set + 32 * k), *before.at(set + 32 * k) & 0x7F);
    EXPECT_EQ(QByteArray(reinterpret_cast<char*>(after.at(flat + 32)) + 1, 31),
              QByteArray(reinterpret_cast<char*>(before.at(flat + 32)) + 1, 31))
        << "stream extension kept";
    EXPECT_FALSE(after.bit(fragfirst));
    EXPECT_FALSE(after.bit(get32(after.at(flat + 52))));
    EXPECT_EQ(after.fat(fragfirst), 0u) << "chain cleared";
}

// Entry timestamps: the 10 ms part (up to 1.99 s) and the UTC offset in
// quarter hours, east and west; without a valid offset the stamp is local
// time (UTC in the tests).
TEST(ExfatTime, TenMillisecondPartAndUtcOffset)
{
    // 2020-09-13 12:26:40 as a DOS stamp.
    const std::uint32_t stamp = std::uint32_t(fatdate(2020, 9, 13)) << 16 | fattime(12, 26, 40);
    const struct {
        std::uint8_t tenms, offset;
        QDateTime utc;
    } cases[] = {
        {0, 0x00, QDateTime(QDate(2020, 9, 13), QTime(12, 26, 40), Qt::UTC)},
        {123, 0x80, QDateTime(QDate(2020, 9, 13), QTime(12, 26, 41, 230), Qt::UTC)},
        {199, 0x88, QDateTime(QDate(2020, 9, 13), QTime(10, 26, 41, 990), Qt::UTC)},  // +2:00
        {0, 0xF0, QDateTime(QDate(2020, 9, 13), QTime(16, 26, 40), Qt::UTC)},          // -4:00
    };
    for (const auto& c : cases)
        EXPECT_EQ(exfat::EXFATTIME({stamp, c.tenms, c.offset}).utc(), c.utc) << int(c.tenms) << " " << int(c.offset);
    EXPECT_FALSE(exfat::EXFATTIME({stamp, 200, 0x80}).utc().has_value());
    EXPECT_FALSE(exfat::EXFATTIME({0, 0, 0x80}).utc().has_value());  // day and month 0
}

// Volumes patched by our builder: one case each, what must come back and
// the note the walk gives.
struct PatchCase {
    const char* name;
    std::function<void(ExfatPatch&, std::uint64_t set, std::uint32_t first)> patch;
    // What gone.bin comes back as, from what it held; null: not at all.
    std::function<QByteArray(const QByteArray& data)> expect;
    const char* note;  // part of a note the walk must give; "" none
};

QByteArray whole(const QByteArray& data) { return data; }
QByteArray none(const QByteArray&) { return QByteArray(); }

void PrintTo(const PatchCase& c, std::ostream* os) { *os << c.name; }

class Patched : public ::testing::TestWithParam<PatchCase> {};

TEST_P(Patched, SettlesTheCaseWithAClearOutcome)
{
    QTemporaryDir dir;
    const QString image = dir.filePath("v.img");
    ASSERT_TRUE(makeexfat(image, 16u << 20, 4096)) << lasterror();
    ExfatPatch p(image);
    ASSERT_TRUE(p.ok());
    // gone.bin: a deleted chained file on clusters 40, 42, 41 (a chain the
    // free-cluster rebuild would read in the wrong order), live.bin on 43.
    const QByteArray data = patterndata(3 * 4096, 5);
    const std::uint32_t order[] = {40, 42, 41};
    for (int i = 0; i < 3; ++i)
        p.writecluster(order[i], data.mid(i * 4096, 4096));
    p.setfat(40, 42);
    p.setfat(42, 41);
    p.setfat(41, 0xFFFFFFFF);
    std::uint64_t at = p.clusteroffset(p.rootcluster());
    while (*p.at(at) != 0)
        at += 32;
    const std::uint64_t set = at;
    at += 32 * p.writeset(at, "gone.bin", false, false, false, 40, data.size(), data.size());
    at += 32 * p.writeset(at, "live.bin", true, false, true, 43, 4096, 4096);
    p.setbit(43, true);
    // Stray deleted entries up to the end of the root's cluster, which the
    // walk passes over.
    for (; at < p.clusteroffset(p.rootcluster()) + p.clusterbytes; at += 32)
        *p.at(at) = 0x40;
    GetParam().patch(p, set, 40);
    ASSERT_TRUE(p.save());

    const QString out = dir.filePath("out");
    const ExfatOutcome o = exfatrecover(image, out);
    ASSERT_TRUE(o.error.isEmpty()) << o.error.toStdString();
    const std::map<QString, QByteArray> got = filetree(out);
    const std::map<QString, QByteArray> want =
        GetParam().expect(data).isNull() ? std::map<QString, QByteArray>{}
                                         : std::map<QString, QByteArray>{{"gone.bin", GetParam().expect(data)}};
    EXPECT_EQ(got, want) << o.notes.join('\n').toStdString();
    EXPECT_TRUE(!*GetParam().note || hasnote(o, GetParam().note)) << o.notes.join('\n').toStdString();
}

const PatchCase patchcases[] = {
    {"ChainThatHolds", [](ExfatPatch&, std::uint64_t, std::uint32_t) {}, whole, ""},
    {"ValidLengthShortOfDataLength",
     [](ExfatPatch& p, std::uint64_t set, std::uint32_t) {
         put32(p.at(set + 40), 5000);
         *p.at(set) |= 0x80;
         p.fixchecksum(set);
         *p.at(set) &= 0x7F;
     },
     [](const QByteArray& data) { return data.left(5000) + QByteArray(data.size() - 5000, 0); }, ""},
    {"MainBootRegionDamaged", [](ExfatPatch& p, std::uint64_t, std::uint32_t) { *p.at(100) ^= 0xFF; }, whole,
     "the backup boot region was used"},
    {"BadChecksum", [](ExfatPatch& p, std::uint64_t set, std::uint32_t) { *p.at(set + 64 + 2) ^= 1; }, none,
     "its set checksum does not match"},
    {"NameLengthPastItsEntries",
     [](ExfatPatch& p, std::uint64_t set, std::uint32_t) {
         *p.at(set + 32 + 3) = 40;
         *p.at(set) |= 0x80;
         p.fixchecksum(set);
         *p.at(set) &= 0x7F;
     },
     none, "a name length of 40 past its 1 name entries"},
    {"SecondaryCountPastTheDirectory",
     [](ExfatPatch& p, std::uint64_t set, std::uint32_t) {
         // The last set of the root's only cluster claims 200 secondaries.
         const std::uint64_t last = p.clusteroffset(p.rootcluster()) + p.clusterbytes - 64;
         p.writeset(last - 32, "x", true, false, true, 50, 1, 1);
         *p.at(last - 32 + 1) = 200;
         (void)set;
     },
     whole, "200 secondary entries run past the end of the directory"},
    {"FirstClusterPastTheHeap",
     [](ExfatPatch& p, std::uint64_t set, std::uint32_t) {
         put32(p.at(set + 52), 0x7FFFFFF0);
         *p.at(set) |= 0x80;
         p.fixchecksum(set);
         *p.at(set) &= 0x7F;
     },
     none, "first cluster 2147483632 lies outside the cluster heap"},
    {"LoopInTheChainFallsBackOnFreeClusters",
     [](ExfatPatch& p, std::uint64_t, std::uint32_t) {
         // 40 -> 41 -> 40: the chain does not hold, and the free clusters
         // from 40 on are read in their order instead.
         p.setfat(41, 40);
         p.setfat(40, 41);
     },
     [](const QByteArray& d) { return d.left(4096) + d.mid(8192) + d.mid(4096, 4096); }, ""},
    {"RootChainLoop",
     [](ExfatPatch& p, std::uint64_t, std::uint32_t) { p.setfat(p.rootcluster(), p.rootcluster()); }, whole,
     "the root directory's cluster chain loops"},
    {"ClusterInUse", [](ExfatPatch& p, std::uint64_t, std::uint32_t) { p.setbit(40, true); }, none,
     "its first cluster 40 is in use"},
    {"FoldersSharingAClusterReadItOnce",
     [](ExfatPatch& p, std::uint64_t set, std::uint32_t) {
         // gone.bin's set moves into cluster 61, which live folder a (60
         // and 61) and live folder b (61) both hold: one set, one file.
         std::copy(p.at(set), p.at(set + 96), p.at(p.clusteroffset(61)));
         for (int k = 0; k < 3; ++k)
             *p.at(set + 32 * k) = 0x40;
         std::fill(p.at(p.clusteroffset(60)), p.at(p.clusteroffset(61)), 0x40);
         p.setbit(60, true);
         p.setbit(61, true);
         p.writeset(set + 192, "a", true, true, true, 60, 8192, 8192);
         p.writeset(set + 288, "b", true, true, true, 61, 4096, 4096);
     },
     whole, "cluster 61 of the folder was read already as a folder's"},
    {"FileOfAFolderMoreThan128LevelsDown",
     [](ExfatPatch& p, std::uint64_t set, std::uint32_t) {
         // 130 nested live folders on clusters 100 to 229; gone.bin's set
         // moves into the deepest.
         constexpr std::uint32_t top = 100, levels = 130;
         std::copy(p.at(set), p.at(set + 96), p.at(p.clusteroffset(top + levels - 1)));
         for (int k = 0; k < 3; ++k)
             *p.at(set + 32 * k) = 0x40;
         p.writeset(set + 192, "d", true, true, true, top, 4096, 4096);
         for (std::uint32_t c = top; c < top + levels; ++c) {
             p.setbit(c, true);
             if (c + 1 < top + levels)
                 p.writeset(p.clusteroffset(c), "d", true, true, true, c + 1, 4096, 4096);
         }
     },
     whole, "folders more than 128 levels down"},
};

INSTANTIATE_TEST_SUITE_P(Cases, Patched, ::testing::ValuesIn(patchcases),
                         [](const auto& info) { return std::string(info.param.name); });

// After a quick format (mkfs.exfat again over the image) the walk finds
// nothing, and the deep scan brings the files back from the old entry sets
// in their folders: a top folder, whose set lay in the old root, as
// dirNNNNN; the folders below it by name.
TEST(ExfatQuickFormat, DeepScanBringsBackTheFilesInTheirFolders)
{
    QTemporaryDir dir;
    const QString image = dir.filePath("card.img");
    ASSERT_TRUE(makeexfat(image, 64u << 20, 4096)) << lasterror();
    std::map<QString, QByteArray> files;  // path below the top folder -> bytes
    {
        ExfatMount m(image);
        if (!m.ok()) {
            KOV_SKIP() << m.why().toStdString();
        }
        ASSERT_TRUE(m.mkdir("DCIM") && m.mkdir("DCIM/100CANON") && m.mkdir("docs") && m.mkdir("docs/a") &&
                    m.mkdir("docs/a/b"));
        for (int i = 0; i < 60; ++i)
            files[QString("100CANON/IMG_%1.JPG").arg(i, 4, 10, QChar('0'))] = patterndata(20000 + 7919 * i, 400 + i);
        for (int i = 0; i < 12; ++i)
            files[QString("a/b/") + longname.left(40 + i) + QString::number(i)] = patterndata(3000 + 100 * i, 500 + i);
        files["a/" + unicodename] = patterndata(9000, 600);
        for (const auto& [path, data] : files)
            ASSERT_TRUE(m.write((path.startsWith("100CANON") ? "DCIM/" : "docs/") + path, data)) << path.toStdString();
        ASSERT_TRUE(m.unmount());
    }
    ASSERT_TRUE(makeexfat(image, 64u << 20, 4096)) << lasterror();

    const QString out = dir.filePath("out");
    const ExfatOutcome o = exfatrecover(image, out, true);
    ASSERT_TRUE(o.error.isEmpty()) << o.error.toStdString();
    EXPECT_EQ(o.counts.deletedsets, 0u);
    // Through the engine's API, then through kov-recover --deep.
    const QString cli = dir.filePath("cli");
    const CommandOutcome run = kovrecover({"--deep", image, cli});
    EXPECT_EQ(run.status, 0) << run.err.toStdString();
    for (const QString& top : {out, cli}) {
        std::map<QString, QByteArray> got;
        for (const auto& [path, data] : filetree(top)) {
            // lost/dirNNNNN/<path below the top folder>
            const QStringList parts = path.split('/');
            ASSERT_GE(parts.size(), 3) << path.toStdString();
            EXPECT_EQ(parts[0], "lost");
            EXPECT_TRUE(parts[1].startsWith("dir")) << path.toStdString();
            got[parts.mid(2).join('/')] = data;
        }
        for (const auto& [path, data] : files)
            EXPECT_EQ(got.count(path) ? got[path] : QByteArray(), data) << path.toStdString();
        EXPECT_EQ(got.size(), files.size()) << o.notes.join('\n').toStdString() << run.err.toStdString();
    }
}

// A deleted set that begins at the end of one read of the deep scan (4 MiB,
// 1024 clusters of 4 KiB from the first free one) and ends in the next is
// carried into the next and found.
class ExfatSetAcrossReads : public ::testing::TestWithParam<int> {};

TEST_P(ExfatSetAcrossReads, IsFoundAndItsFileSaved)
{
    QTemporaryDir dir;
    const QString image = dir.filePath("card.img");
    ASSERT_TRUE(makeexfat(image, 32u << 20, 4096)) << lasterror();
    ExfatPatch p(image);
    ASSERT_TRUE(p.ok());
    std::uint32_t first = 2;
    while (first < p.heapclusters() + 2 && p.bit(first))
        ++first;
    const std::uint32_t second = first + 1024;  // where the second read begins
    const QByteArray data = patterndata(6000, 77);
    p.writecluster(second + 100, data);
    p.writecluster(second + 101, data.mid(4096));
    ASSERT_EQ(p.writeset(p.clusteroffset(second) - std::uint64_t(GetParam()), "SPLIT.BIN", false, false, true,
                         second + 100, 6000, 6000),
              3);
    ASSERT_TRUE(p.save());

    const QString out = dir.filePath("out");
    const ExfatOutcome o = exfatrecover(image, out, true);
    ASSERT_TRUE(o.error.isEmpty()) << o.error.toStdString();
    std::vector<QString> found;
    for (const auto& [path, bytes] : filetree(out))
        if (path.endsWith("/SPLIT.BIN") && bytes == data)
            found.push_back(path);
    EXPECT_EQ(found.size(), 1u) << o.notes.join('\n').toStdString();
}

// The File entry alone, or File and Stream, before the end of the read.
INSTANTIATE_TEST_SUITE_P(Split, ExfatSetAcrossReads, ::testing::Values(32, 64));

// exFAT is told apart from FAT by the boot-sector classification, bare or
// inside a card's partition table (MBR type 7), and listed as exFAT with
// the label of its root directory.
TEST(ExfatClassification, ListedAsExfatBareAndInsideACard)
{
    QTemporaryDir dir;
    const QString volume = dir.filePath("volume.img");
    ASSERT_TRUE(makeexfat(volume, 16u << 20, 4096, {"-L", "HOLIDAY"})) << lasterror();
    const QByteArray boot = contents(volume).left(512);
    EXPECT_EQ(KOVCore::classifydbr(reinterpret_cast<const unsigned char*>(boot.constData())), 4u);
    const CommandOutcome bare = kovrecover({"--list-volumes", volume});
    EXPECT_EQ(bare.status, 0) << bare.err.toStdString();
    EXPECT_EQ(bare.out, QByteArray("0\t0\t16777216\texFAT\tHOLIDAY\n"));

    // The volume as partition 1 of an MBR card, at 1 MiB.
    const QString card = dir.filePath("card.img");
    QFile f(card);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.resize(qint64(20u << 20)));
    f.close();
    QProcess sfdisk;
    sfdisk.start("sfdisk", {"-q", card});
    sfdisk.write("label: dos\nstart=2048, size=32768, type=7\n");
    sfdisk.closeWriteChannel();
    ASSERT_TRUE(sfdisk.waitForFinished(60000) && sfdisk.exitCode() == 0);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite) && f.seek(1 << 20) && f.write(contents(volume)) == 16 << 20);
    f.close();
    platform::VolumeSource whole;
    whole.path = card;
    whole.size = 20u << 20;
    QStringList notes;
    const QList<partitions::FATVOLUME> inside = partitions::fatvolumes(whole, KOVCore::classifydbr, &notes);
    ASSERT_EQ(inside.size(), 1) << notes.join('\n').toStdString();
    EXPECT_EQ(inside[0].fstype, 4u);
    const CommandOutcome listed = kovrecover({"--list-volumes", card});
    EXPECT_EQ(listed.status, 0) << listed.err.toStdString();
    EXPECT_EQ(listed.out, QByteArray("1\t1048576\t16777216\texFAT\tHOLIDAY\n"));
    // An empty volume: a run that finds nothing, and ends well.
    const CommandOutcome run = kovrecover({card, dir.filePath("out")});
    EXPECT_EQ(run.status, 0) << run.err.toStdString();
    EXPECT_TRUE(QDir(dir.filePath("out")).isEmpty());
}

}  // namespace

namespace {

// The bitmap's free clusters found from every start, past whole bytes of
// allocated ones, as one by one: stretches of many lengths and offsets.
TEST(ExfatBitmap, NextUnallocatedAgreesWithEachBit)
{
    QTemporaryDir dir;
    const QString image = dir.filePath("bits.img");
    ASSERT_TRUE(makeexfat(image, 8u << 20, 4096)) << lasterror();
    {
        ExfatPatch p(image);
        ASSERT_TRUE(p.ok());
        std::uint32_t c = 10;
        for (std::uint32_t run = 1; c + run < 1200; run = run * 3 / 2 + 1) {
            for (std::uint32_t i = 0; i < run; ++i)
                p.setbit(c + i, true);
            c += run + 1 + run % 3;  // one to three free clusters between
        }
        ASSERT_TRUE(p.save());
    }
    const platform::volhandle h = platform::opensource(platform::VolumeSource{QString(), image, 8u << 20});
    ASSERT_NE(h, platform::invalidhandle());
    exfat::EXFATVOLUME volume;
    ASSERT_TRUE(volume.open(h, 8u << 20).isEmpty());
    const std::uint64_t end = std::uint64_t(volume.heapclusters()) + 2;
    for (std::uint64_t from = 2; from < end; ++from) {
        std::uint64_t free = from;
        while (free < end && volume.allocated(free))
            ++free;
        ASSERT_EQ(volume.nextunallocated(from, end), free) << "from " << from;
        ASSERT_EQ(volume.nextunallocated(from, 700), from >= 700 ? 700 : std::min<std::uint64_t>(free, 700))
            << "from " << from;
    }
    platform::closesource(h);
}

}  // namespace

namespace {

// The free-cluster index answers as a cluster-by-cluster look would: counts,
// next free and next taken cluster, and the first free clusters from a
// start, across blocks all free, all taken and mixed, before and after
// clusters are taken.
TEST(ExfatFreeClusters, AgreesWithEachClusterAcrossBlocksAndAfterTakes)
{
    constexpr std::uint64_t clusters = 4 * 4096 + 1000, end = clusters + 2;
    std::vector<bool> free(end, false);
    for (std::uint64_t c = 2; c < end; ++c) {
        const std::uint64_t block = (c - 2) / 4096;
        free[c] = block == 1 ? false : block == 2 ? true : (c * 2654435761u >> 7) % 3 != 0;
    }
    exfat::FREECLUSTERS index;
    ASSERT_TRUE(index.build(std::uint32_t(clusters), [&](std::uint32_t c) { return bool(free[c]); }));
    auto check = [&] {
        for (std::uint64_t from = 0; from < end + 2; from += (from + 4094) % 4096 < 3 || (from + 4094) % 4096 > 4092 ? 1 : 61) {
            for (const std::uint64_t to : {from + 1, from + 70, from + 4097, end}) {
                std::uint64_t count = 0, nextfree = to, nexttaken = to;
                for (std::uint64_t c = std::max<std::uint64_t>(from, 2); c < std::min(to, end); ++c) {
                    count += free[c];
                    nextfree = free[c] ? std::min(nextfree, c) : nextfree;
                    nexttaken = free[c] ? nexttaken : std::min(nexttaken, c);
                }
                ASSERT_EQ(index.count(from, to), count) << from << " " << to;
                ASSERT_EQ(index.nextfree(from, to), std::min(nextfree, std::min(to, end))) << from << " " << to;
                ASSERT_EQ(index.nexttaken(from, to), std::min(nexttaken, std::min(to, end))) << from << " " << to;
            }
            for (const std::uint64_t need : {std::uint64_t(1), std::uint64_t(90), std::uint64_t(6000), clusters}) {
                std::vector<DATARUN> want;
                for (std::uint64_t c = std::max<std::uint64_t>(from, 2), got = 0; c < end && got < need; ++c)
                    if (free[c]) {
                        appendcluster(want, c - 2);
                        ++got;
                    }
                ASSERT_EQ(index.first(from, need).runs, want) << from << " " << need;
            }
        }
    };
    check();
    const std::vector<DATARUN> taken = {{100, 5000, 0}, {3 * 4096 - 3, 9, 5000}, {clusters - 2, 50, 5009}};
    index.take(taken);
    for (const DATARUN& run : taken)
        for (std::uint64_t x = run.lcn; x < std::min(run.lcn + run.length, clusters); ++x)
            free[x + 2] = false;
    check();
}

}  // namespace
