// kov-recover --deep over volumes made by mkfs.fat and mtools: folders
// removed whole with mdeltree after they grew over several clusters, cards
// quick-formatted by a second mkfs.fat, and directory names that try to
// leave the output directory.
#include "deep/dirslots.h"
#include "support/kovrecoverrun.h"
#include "support/fatbuilder.h"
#include "support/mtoolsimage.h"
#include "support/qtprint.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <map>

using namespace testsupport;

namespace {

// Relative path -> contents of every file below dir.
std::map<QString, QByteArray> tree(const QString& dir)
{
    std::map<QString, QByteArray> files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile f(path);
        EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << path;
        files[QDir(dir).relativeFilePath(path)] = f.readAll();
    }
    return files;
}

QString parentname(const QString& path) { return path.section(QLatin1Char('/'), -2, -2); }

}  // namespace

// Folders filled one file at a time in turns, so that each grows over
// clusters far apart, then removed with mdeltree: every file comes back
// once, whole; those placed in a folder sit in one named after theirs; and
// everything the plain run saves, the deep run saves the same.
class DeepDeltree : public ::testing::TestWithParam<int> {};

TEST_P(DeepDeltree, EveryFileOnceInItsFolderAndThePlainRunKept)
{
    const int bits = GetParam();
    QTemporaryDir dir;
    const QString image = dir.filePath("tree.img");
    ASSERT_TRUE(makefat(image, bits, bits == 16 ? 24u << 20 : 40u << 20, 1)) << lasterror();
    const QStringList folders{"KEEP", "GONE", "GONE/Sub folder", "GONE/Sub folder/DEEP", "GONE/SUBB"};
    // What each deleted folder's name comes back as: its long name, or its
    // short name with the erased first byte as 'k'.
    const std::map<QString, QString> named{
        {"GONE", "kONE"}, {"Sub folder", "Sub folder"}, {"DEEP", "kEEP"}, {"SUBB", "kUBB"}};
    for (const QString& folder : folders)
        ASSERT_TRUE(mmd(image, folder)) << lasterror();
    std::map<QByteArray, QString> deleted;  // contents -> folder
    const QString local = dir.filePath("local.bin");
    for (int session = 0; session < 4; ++session) {
        for (int f = 0; f < folders.size(); ++f) {
            for (int k = 0; k < 6; ++k) {
                const QByteArray data = patterndata(700 + 1500 * ((session * 7 + k * 3 + f) % 11),
                                                    std::uint32_t(session * 100 + f * 10 + k));
                const QString name = k % 2 ? QString("file %1-%2.dat").arg(session).arg(k)
                                           : QString("F%1_%2.BIN").arg(session).arg(k);
                ASSERT_TRUE(writefile(local, data));
                ASSERT_TRUE(mcopy(image, local, folders[f] + "/" + name)) << lasterror();
                if (f != 0)
                    deleted[data] = folders[f].section('/', -1);
            }
        }
    }
    ASSERT_TRUE(mdeltree(image, "GONE")) << lasterror();

    ASSERT_EQ(kovrecover({image, dir.filePath("plain")}).status, 0);
    ASSERT_EQ(kovrecover({"--deep", image, dir.filePath("deep")}).status, 0);
    const auto plain = tree(dir.filePath("plain"));
    const auto deep = tree(dir.filePath("deep"));
    for (const auto& [path, data] : plain)
        EXPECT_EQ(deep.count(path) ? deep.at(path) : QByteArray(), data) << path;
    EXPECT_LT(plain.size(), deleted.size());  // the plain run misses the later clusters

    std::map<QByteArray, int> seen;
    int infolder = 0;
    for (const auto& [path, data] : deep) {
        ASSERT_TRUE(deleted.count(data)) << "bytes that match no deleted file: " << path;
        ++seen[data];
        if (path.startsWith("lost/") && !path.startsWith("lost/orphans/")) {
            EXPECT_EQ(parentname(path), named.at(deleted[data])) << path;
            ++infolder;
        }
    }
    EXPECT_EQ(seen.size(), deleted.size());
    EXPECT_EQ(deep.size(), deleted.size());  // none twice
    EXPECT_GT(infolder, 0);
}

INSTANTIATE_TEST_SUITE_P(Fat, DeepDeltree, ::testing::Values(16, 32));

// A removed top folder whose long name is one lost/ keeps for its own trees
// (in any case: mixed case makes mtools write the long name) goes to lost/dirNNNNN/ instead, so that its files never mix
// with those of no folder, carved ones or an earlier layout's.
class DeepReservedName : public ::testing::TestWithParam<const char*> {};

TEST_P(DeepReservedName, TopFolderTakesItsNumber)
{
    QTemporaryDir dir;
    const QString image = dir.filePath("tree.img");
    ASSERT_TRUE(makefat(image, 16, 24u << 20, 1)) << lasterror();
    const QString name = QString::fromLatin1(GetParam());
    ASSERT_TRUE(mmd(image, name)) << lasterror();
    ASSERT_TRUE(mmd(image, "OTHER")) << lasterror();
    const QString local = dir.filePath("local.bin");
    std::map<QByteArray, QString> deleted;
    // In turns with another folder, so that the removed one spans clusters
    // far apart, its later ones found by the deep scan alone.
    for (int session = 0; session < 4; ++session)
        for (const QString& folder : {name, QString("OTHER")})
            for (int k = 0; k < 6; ++k) {
                const QByteArray data = patterndata(900 + 37 * k, std::uint32_t(session * 20 + k * 2 + (folder == name)));
                ASSERT_TRUE(writefile(local, data));
                ASSERT_TRUE(mcopy(image, local, QString("%1/F%2%3.BIN").arg(folder).arg(session).arg(k))) << lasterror();
                if (folder == name)
                    deleted[data] = folder;
            }
    ASSERT_TRUE(mdeltree(image, name)) << lasterror();
    ASSERT_EQ(kovrecover({"--deep", image, dir.filePath("out")}).status, 0);
    int numbered = 0;
    for (const auto& [path, data] : tree(dir.filePath("out"))) {
        EXPECT_TRUE(deleted.count(data)) << path;
        if (path.section('/', 1, 1) != "orphans") {
            EXPECT_NE(path.section('/', 1, 1).compare(name, Qt::CaseInsensitive), 0) << path;
        }
        numbered += path.contains(QRegularExpression("^lost/dir\\d{5}/")) ? 1 : 0;
    }
    EXPECT_GT(numbered, 0);
}

INSTANTIATE_TEST_SUITE_P(Names, DeepReservedName, ::testing::Values("Carved", "Root", "Orphans", "earlier-layout-4k"));

// A card with camera folders and a three-level document tree, formatted
// again with the same geometry: every file comes back whole, under its own
// short name, in folders named like its own; --list --deep lists the same
// paths and writes nothing.
class DeepQuickFormat : public ::testing::TestWithParam<int> {};

TEST_P(DeepQuickFormat, FilesComeBackInTheirFolders)
{
    const int bits = GetParam();
    QTemporaryDir dir;
    const QString image = dir.filePath("card.img");
    const QStringList mkfs{"-F", QString::number(bits), "-s", bits == 16 ? "4" : "1", "-i", "1234ABCD", image};
    ASSERT_TRUE(makefat(image, bits, bits == 16 ? 32u << 20 : 40u << 20, bits == 16 ? 4 : 1)) << lasterror();
    const QString card = dir.filePath("card");
    std::map<QString, QByteArray> files;  // path below the card -> contents
    for (int i = 1; i <= 45; ++i)
        files[QString("DCIM/%1CANON/IMG_%2.JPG").arg(i <= 30 ? 100 : 101).arg(i, 4, 10, QChar('0'))] =
            patterndata(9000 + 1711 * (i % 13), std::uint32_t(i));
    for (int i = 1; i <= 14; ++i)
        files[QString("Documents/Projects 2020/Monthly reports/Report of month %1.txt").arg(i)] =
            patterndata(300 + 997 * (i % 5), std::uint32_t(1000 + i));
    for (const auto& [path, data] : files) {
        ASSERT_TRUE(QDir().mkpath(QFileInfo(card + "/" + path).path()));
        ASSERT_TRUE(writefile(card + "/" + path, data));
    }
    ASSERT_TRUE(runtool("mcopy", {"-s", "-i", image, card + "/DCIM", card + "/Documents", "::/"})) << lasterror();
    ASSERT_TRUE(runtool("mkfs.fat", mkfs)) << lasterror();

    const CommandOutcome listed = kovrecover({"--list", "--deep", image});
    ASSERT_EQ(listed.status, 0);
    const QByteArray& listing = listed.out;
    ASSERT_EQ(kovrecover({"--deep", image, dir.filePath("out")}).status, 0);
    const auto out = tree(dir.filePath("out"));
    ASSERT_EQ(out.size(), files.size());
    std::map<QByteArray, QString> back;
    for (const auto& [path, data] : out) {
        back[data] = path;
        EXPECT_TRUE(listing.contains(("\n" + path + "\t").toUtf8()) || listing.startsWith((path + "\t").toUtf8()))
            << path;
    }
    for (const auto& [path, data] : files) {
        ASSERT_TRUE(back.count(data)) << path;
        const QString got = back[data];
        // The top folder's entry was in the erased root: its name is lost.
        EXPECT_TRUE(got.contains(QRegularExpression("^lost/dir\\d{5}/"))) << got;
        EXPECT_EQ(got.section('/', 2, -2), path.section('/', 1, -2)) << got;
        if (path.startsWith("DCIM")) {
            EXPECT_EQ(got.section('/', -1), path.section('/', -1));
        }
    }
    // With --original-names the documents come back under their long names
    // too, in the same folders.
    ASSERT_EQ(kovrecover({"--deep", "--original-names", image, dir.filePath("named")}).status, 0);
    const auto named = tree(dir.filePath("named"));
    for (const auto& [path, data] : files) {
        if (path.startsWith("Documents")) {
            EXPECT_EQ(named.count(back[data].section('/', 0, -2) + "/" + path.section('/', -1)), 1u) << path;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Fat, DeepQuickFormat, ::testing::Values(16, 32));

// A crafted volume: names it gives its lost folders never lead out of the
// output directory (a long name "../../x" becomes ".._.._x", a long name
// ".." gives way to the short name), and a later cluster that lists a
// folder whose ".." is known belongs to that folder.
TEST(DeepCrafted, FolderNamesStayInsideAndLaterClustersFindTheirFolder)
{
    QTemporaryDir dir;
    FatBuilder fat(fat32layout());
    auto direntry = [](const char* name, std::uint32_t start) {
        FatBuilder::Entry e;
        e.name83 = shortname(name);
        e.attr = 0x10;
        e.startcluster = start;
        return e;
    };
    // Long-name slot "text" for the short name that follows it.
    auto longslot = [](const QString& text, const QByteArray& name83) {
        unsigned char raw[32] = {};
        raw[0] = 0x41;
        raw[11] = 0x0F;
        std::uint8_t sum = 0;
        for (const char c : name83)
            sum = std::uint8_t(((sum & 1) << 7) + (sum >> 1) + std::uint8_t(c));
        raw[13] = sum;
        static const int at[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
        for (int i = 0; i < 13; ++i)
            put16(raw + at[i], i < text.size() ? text[i].unicode() : i == text.size() ? 0 : 0xFFFF);
        return std::vector<unsigned char>(raw, raw + 32);
    };
    // Lost folder 100 lists folders 200 ("../../x") and 300 (".."), each
    // holding one file. None of their clusters is in the FAT.
    fat.putentry(100, 0, direntry(".", 100));
    fat.putentry(100, 1, direntry("..", 0));
    fat.putrawslot(100, 2, longslot("../../x", shortname("X")).data());
    fat.putentry(100, 3, direntry("X", 200));
    fat.putrawslot(100, 4, longslot("..", shortname("DOTS")).data());
    fat.putentry(100, 5, direntry("DOTS", 300));
    for (const std::uint32_t sub : {200u, 300u}) {
        fat.putentry(sub, 0, direntry(".", sub));
        fat.putentry(sub, 1, direntry("..", 100));
        FatBuilder::Entry file;
        file.name83 = shortname("FILE.TXT");
        file.startcluster = sub + 50;
        file.size = 100;
        fat.putentry(sub, 2, file);
        fat.writecluster(sub + 50, patterndata(100, sub));
    }
    // A later cluster of folder 100, far from it: it lists folder 400, whose
    // ".." names 100, and a file, which therefore belongs in folder 100.
    fat.putentry(500, 0, direntry("SUBC", 400));
    FatBuilder::Entry later;
    later.name83 = shortname("LATER.TXT");
    later.startcluster = 510;
    later.size = 100;
    fat.putentry(500, 1, later);
    fat.writecluster(510, patterndata(100, 510));
    fat.putentry(400, 0, direntry(".", 400));
    fat.putentry(400, 1, direntry("..", 100));
    for (const std::uint32_t c : {100u, 200u, 300u, 400u, 500u})
        fat.setfat(c, 0);
    const QString image = dir.filePath("names.img");
    ASSERT_TRUE(fat.save(image));
    QTemporaryDir outer;
    const QString out = outer.filePath("out");
    ASSERT_EQ(kovrecover({"--deep", image, out}).status, 0);
    const auto files = tree(out);
    EXPECT_EQ(files.count("lost/dir00100/.._.._x/FILE.TXT"), 1u);
    EXPECT_EQ(files.count("lost/dir00100/DOTS/FILE.TXT"), 1u);
    EXPECT_EQ(files.count("lost/dir00100/LATER.TXT"), 1u);
    EXPECT_EQ(files.size(), 3u);
    EXPECT_EQ(QDir(outer.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{"out"});
}

// A folder's long name longer than the output file system takes would lose
// the whole folder: it gives way (to the short name) as ".." does.
TEST(DeepNames, OnlyNamesTheOutputCanHold)
{
    EXPECT_EQ(deep::safedirectoryname(QString(127, QChar(0xE9))), QString(127, QChar(0xE9)));  // 254 bytes
    EXPECT_TRUE(deep::safedirectoryname(QString(128, QChar(0xE9))).isEmpty());              // 256 bytes
}

// What passes as a directory cluster: a real one made by mtools, and the
// same cluster with one fault each.
class DeepSlots : public ::testing::TestWithParam<std::pair<int, int>> {};

TEST_P(DeepSlots, ARealDirectoryClusterAndItsFaults)
{
    const auto [offset, value] = GetParam();
    QTemporaryDir dir;
    const QString image = dir.filePath("slots.img");
    ASSERT_TRUE(makefat(image, 32, 40u << 20, 1)) << lasterror();
    ASSERT_TRUE(mmd(image, "DIR")) << lasterror();
    ASSERT_TRUE(writefile(dir.filePath("f"), "data"));
    for (const char* name : {"DIR/ONE.TXT", "DIR/A long name.txt", "DIR/TWO.TXT"})
        ASSERT_TRUE(mcopy(image, dir.filePath("f"), name)) << lasterror();
    QFile f(image);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray boot = f.read(512);
    const auto* b = reinterpret_cast<const unsigned char*>(boot.constData());
    // DIR is the first directory made: cluster 3, right after the root.
    const std::uint64_t data = (get16(b + 14) + std::uint64_t(b[16]) * get32(b + 36)) * get16(b + 11);
    ASSERT_TRUE(f.seek(qint64(data + 512)));
    QByteArray cluster = f.read(512);
    ASSERT_EQ(cluster.size(), 512);
    if (offset >= 0)
        cluster[offset] = char(value);
    const deep::SLOTRULES rules{true, 80000};
    const std::uint32_t used =
        deep::directoryslots(reinterpret_cast<const unsigned char*>(cluster.constData()), 512, rules);
    // ".", "..", ONE.TXT, two long-name slots and their entry, TWO.TXT.
    EXPECT_EQ(used, offset < 0 ? 7u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DeepSlots,
    ::testing::Values(std::make_pair(-1, 0),          // as mtools wrote it
                      std::make_pair(2 * 32 + 1, 'a'),  // a lower-case short name byte
                      std::make_pair(2 * 32 + 11, 0x40),  // a reserved attribute bit
                      std::make_pair(2 * 32 + 25, 0xFF),  // a write date in 2107
                      std::make_pair(2 * 32 + 21, 0x7F),  // a start cluster past the FAT
                      std::make_pair(3 * 32 + 12, 1),     // a long-name slot with a type
                      std::make_pair(400, 1),             // a byte after the last used slot
                      std::make_pair(0, 0)));             // a first slot that is empty

// A deleted folder the walk enters: its later cluster, found through the
// folder it lists, gives only its deleted entries, into the folder's own
// path; an erased FAT32 high word is estimated, falling back on the high
// word of the live-looking entry before it.
TEST(DeepCrafted, LaterClusterOfAWalkedFolderGivesItsDeletedEntries)
{
    QTemporaryDir dir;
    FatBuilder fat(fat32layout());
    auto entry = [](const char* name, std::uint8_t attr, std::uint32_t start, std::uint32_t size) {
        FatBuilder::Entry e;
        e.name83 = shortname(name);
        e.attr = attr;
        e.startcluster = start;
        e.size = size;
        return e;
    };
    FatBuilder::Entry gonedir = entry("XGONE", 0x10, 100, 0);
    gonedir.name83[0] = char(0xE5);
    fat.putentry(0, 0, gonedir);
    fat.putentry(100, 0, entry(".", 0x10, 100, 0));
    fat.putentry(100, 1, entry("..", 0x10, 0, 0));
    fat.putentry(400, 0, entry(".", 0x10, 400, 0));
    fat.putentry(400, 1, entry("..", 0x10, 100, 0));
    fat.putentry(500, 0, entry("SUB", 0x10, 400, 0));
    fat.putentry(500, 1, entry("LIVE.TXT", 0x20, 70010, 100));
    FatBuilder::Entry gone = entry("XFILE.TXT", 0x20, 70020 & 0xFFFF, 3000);
    gone.name83[0] = char(0xE5);
    fat.putentry(500, 2, gone);
    fat.writecluster(70010, patterndata(100, 1));
    const QByteArray data = patterndata(3000, 2);
    for (int c = 0; c < 6; ++c)
        fat.writecluster(70020 + c, data.mid(c * 512, 512));
    for (const std::uint32_t c : {100u, 400u, 500u})
        fat.setfat(c, 0);
    const QString image = dir.filePath("walked.img");
    ASSERT_TRUE(fat.save(image));
    const QString out = dir.filePath("out");
    ASSERT_EQ(kovrecover({"--deep", image, out}).status, 0);
    const auto files = tree(out);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files.begin()->first, "lost/kGONE/kFILE.TXT");
    EXPECT_EQ(files.begin()->second, data);
}
