// The second chance of kov-recover --verify (FAT32 files whose erased high
// start word was estimated) and the claims the run's phases share, on
// crafted volumes with 512-byte clusters (high words 0 to 2) holding real
// files, and on a card formatted again by mkfs.fat.
#include "output/clusterclaims.h"
#include "support/fatbuilder.h"
#include "support/formatfiles.h"
#include "support/kovrecoverrun.h"
#include "support/mtoolsimage.h"
#include "support/qtprint.h"
#include "support/skip.h"

#include <QDir>
#include <QDirIterator>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <cstring>
#include <map>

using namespace testsupport;

namespace {

// The low word every file here shares; cluster 1000 + 65536 * high.
constexpr std::uint32_t low = 1000;

FatBuilder bigfat32() { return FatBuilder(fat32layout(72u << 20)); }

// data on the clusters from start on, which stay free in the FAT.
void place(FatBuilder& fat, std::uint32_t start, const QByteArray& data)
{
    for (qsizetype at = 0; at < data.size(); at += 512)
        fat.writecluster(start + std::uint32_t(at / 512), data.mid(at, 512));
}

FatBuilder::Entry entry(const char* name, std::uint32_t start, qsizetype size, std::uint8_t attr = 0x20)
{
    FatBuilder::Entry e;
    e.name83 = shortname(name);
    e.attr = attr;
    e.startcluster = start;
    e.size = std::uint32_t(size);
    return e;
}

// Deleted as Windows deletes on FAT32: first byte and high start word gone.
FatBuilder::Entry erased(const char* name, std::uint32_t start, qsizetype size)
{
    FatBuilder::Entry e = entry(name, start & 0xFFFF, size);
    e.name83[0] = char(0xE5);
    return e;
}

// A directory cluster no FAT chain holds: "." and ".." (the root), then
// entries.
void lostdir(FatBuilder& fat, std::uint32_t cluster, const std::vector<FatBuilder::Entry>& entries)
{
    fat.putentry(cluster, 0, entry(".", cluster, 0, 0x10));
    fat.putentry(cluster, 1, entry("..", 0, 0, 0x10));
    for (std::size_t i = 0; i < entries.size(); ++i)
        fat.putentry(cluster, int(i + 2), entries[i]);
    fat.setfat(cluster, 0);
}

std::vector<QString> pathsholding(const std::map<QString, QByteArray>& files, const QByteArray& data)
{
    std::vector<QString> paths;
    for (const auto& [path, bytes] : files)
        if (bytes == data)
            paths.push_back(path);
    return paths;
}

struct RECOVERED {
    CommandOutcome run;
    std::map<QString, QByteArray> files;
};

// kov-recover options IMAGE OUT, with fat saved as IMAGE in dir.
RECOVERED recover(const FatBuilder& fat, const QTemporaryDir& dir, QStringList options)
{
    const QString image = dir.filePath("card.img");
    const QString out = dir.filePath("out");
    EXPECT_TRUE(fat.save(image));
    RECOVERED r{kovrecover(options << image << out), {}};
    EXPECT_EQ(r.run.status, 0) << r.run.err.toStdString();
    r.files = filetree(out);
    return r;
}

// jpeg grown to size bytes (up to 64 KiB more) by a comment segment after
// its SOI: still a whole JPEG, for the checks and for libjpeg.
QByteArray padjpeg(const QByteArray& jpeg, qsizetype size)
{
    const qsizetype body = size - jpeg.size() - 4;
    return jpeg.left(2) + "\xFF\xFE" + char((body + 2) >> 8) + char((body + 2) & 0xFF) + QByteArray(body, 'c') +
           jpeg.mid(2);
}

}  // namespace

// The right photo lies at the estimate, but a vendor trailer after its EOI
// fails the check; another start holds a foreign JPEG of the same size
// that verifies. The photo begins as a JPEG does: it stays under its name,
// and the foreign file is not taken for it.
TEST(SecondChance, ARightEstimateIsNeverReplaced)
{
    QTemporaryDir dir;
    const QByteArray photo = formatfile(QStringLiteral("jpg"), dir.path(), 1);
    const QByteArray other = formatfile(QStringLiteral("jpg"), dir.path(), 2);
    if (photo.isNull() || other.isNull())
        KOV_SKIP() << "needs ImageMagick: " << lasterror();
    const QByteArray right = photo + patterndata(other.size() + 100, 9);
    FatBuilder fat = bigfat32();
    place(fat, low, right);
    place(fat, 65536 + low, padjpeg(other, right.size()));
    fat.putentry(0, 0, erased("XPHOTO.JPG", low, right.size()));
    const auto [run, files] = recover(fat, dir, {"--verify"});
    ASSERT_EQ(files.size(), 1u) << run.err.toStdString();
    EXPECT_EQ(files.begin()->first.section('/', -1), "kPHOTO.JPG");
    EXPECT_EQ(files.begin()->second, right);
    EXPECT_TRUE(run.err.contains(" 0 starts chosen by content")) << run.err.toStdString();
}

// One photo copied twice, both copies deleted with their high words erased;
// each estimate lands on junk. Both copies verify at both starts: the same
// bytes are one answer, and each entry gets a start of its own.
TEST(SecondChance, IdenticalCopiesAreOneAnswer)
{
    QTemporaryDir dir;
    const QByteArray photo = formatfile(QStringLiteral("jpg"), dir.path(), 3);
    if (photo.isNull())
        KOV_SKIP() << "needs ImageMagick: " << lasterror();
    FatBuilder fat = bigfat32();
    place(fat, low, patterndata(photo.size(), 5));
    place(fat, 65536 + low, photo);
    place(fat, 2 * 65536 + low, photo);
    fat.putentry(0, 0, erased("XIMG.JPG", 65536 + low, photo.size()));
    fat.putentry(0, 1, erased("XCOPY.JPG", 2 * 65536 + low, photo.size()));
    const auto [run, files] = recover(fat, dir, {"--verify"});
    for (const char* name : {"kIMG.JPG", "kCOPY.JPG"}) {
        ASSERT_TRUE(files.count(name)) << name << "\n" << run.err.toStdString();
        EXPECT_EQ(files.at(name), photo) << name;
    }
    EXPECT_TRUE(run.err.contains("2 starts chosen by content")) << run.err.toStdString();
}

TEST(ClusterClaims, AClusterStaysClaimedWhileAHolderIsLeft)
{
    ClusterClaims claims(100);
    claims.mark({{10, 5, 0}});  // 10-14
    claims.mark({{12, 5, 0}});  // 12-16
    claims.release({{10, 5, 0}});
    EXPECT_FALSE(claims.test(11));
    EXPECT_TRUE(claims.test(12));
    claims.release({{12, 5, 0}});
    EXPECT_FALSE(claims.any({{0, 100, 0}}));
    // Past three holders the count is not kept: the cluster stays claimed.
    for (int i = 0; i < 8; ++i)
        i < 4 ? claims.mark({{50, 1, 0}}) : claims.release({{50, 1, 0}});
    EXPECT_TRUE(claims.test(50));
}

TEST(ClusterClaims, ADamagedFilesClaimIsWeakUntilAnotherFileClaimsTheCluster)
{
    ClusterClaims claims(100);
    claims.mark({{10, 4, 0}});  // 10-13, saved into damaged/
    claims.weaken({{10, 4, 0}});
    claims.weaken({{20, 1, 0}});  // no claim there to weaken
    EXPECT_TRUE(claims.test(11));
    EXPECT_FALSE(claims.firm(11));
    claims.mark({{20, 1, 0}});
    EXPECT_TRUE(claims.firm(20));
    claims.mark({{12, 4, 0}});  // 12-15, carved over it
    EXPECT_FALSE(claims.firm(11));
    EXPECT_TRUE(claims.firm(12));
    EXPECT_TRUE(claims.firm(15));
    claims.release({{12, 4, 0}});
    EXPECT_FALSE(claims.firm(12));
    EXPECT_TRUE(claims.firm(100));
    // Past three holders the count is not kept: held firmly.
    for (int i = 0; i < 3; ++i) {
        claims.mark({{50, 1, 0}});
        claims.weaken({{50, 1, 0}});
    }
    EXPECT_TRUE(claims.firm(50));
}

// A lost directory cluster lists an erased BAD.GZ, whose estimate lies on
// junk, and a live-looking GOOD.GZ at the start BAD.GZ's low word gives
// with high word 1. The deep scan saves GOOD.GZ; BAD.GZ's second chance
// must not take GOOD.GZ's clusters.
TEST(Claims, SecondChanceSkipsClustersOfSavedFiles)
{
    QTemporaryDir dir;
    const QByteArray gz = formatfile(QStringLiteral("gz"), dir.path(), 1);
    if (gz.isNull())
        KOV_SKIP() << "needs gzip: " << lasterror();
    FatBuilder fat = bigfat32();
    place(fat, low, patterndata(gz.size(), 3));
    place(fat, 65536 + low, gz);
    lostdir(fat, 500, {erased("XBAD.GZ", low, gz.size()), entry("GOOD.GZ", 65536 + low, gz.size())});
    const auto [run, files] = recover(fat, dir, {"--deep", "--verify"});
    const std::vector<QString> holders = pathsholding(files, gz);
    ASSERT_EQ(holders.size(), 1u) << run.err.toStdString();
    EXPECT_EQ(holders[0].section('/', -1), "GOOD.GZ");
    EXPECT_TRUE(run.err.contains(" 0 starts chosen by content")) << run.err.toStdString();
}

// A deleted photo's estimate runs over a lost folder's cluster; the second
// chance finds the photo at high word 1. The estimate's clusters are let
// go: the deep scan finds the folder there and brings its file back, and
// the estimate's file stays in damaged/.
TEST(Claims, AReplacedEstimateLetsGoOfItsClusters)
{
    QTemporaryDir dir;
    const QByteArray photo = formatfile(QStringLiteral("jpg"), dir.path(), 2);
    if (photo.isNull())
        KOV_SKIP() << "needs ImageMagick: " << lasterror();
    const QByteArray kept = patterndata(3000, 4);
    FatBuilder fat = bigfat32();
    place(fat, 65536 + low, photo);
    place(fat, 3000, kept);
    lostdir(fat, low, {entry("KEPT.DAT", 3000, kept.size())});
    fat.putentry(0, 0, erased("XPHOTO.JPG", 65536 + low, photo.size()));
    const auto [run, files] = recover(fat, dir, {"--deep", "--verify"});
    ASSERT_TRUE(files.count("kPHOTO.JPG")) << run.err.toStdString();
    EXPECT_EQ(files.at("kPHOTO.JPG"), photo);
    const std::vector<QString> holders = pathsholding(files, kept);
    ASSERT_EQ(holders.size(), 1u) << run.err.toStdString();
    EXPECT_TRUE(holders[0].startsWith("lost/")) << holders[0];
    ASSERT_TRUE(files.count("damaged/kPHOTO.JPG")) << run.err.toStdString();
    EXPECT_EQ(files.at("damaged/kPHOTO.JPG").left(512), fat.readcluster(low));
}

// An erased photo's estimate lies on a deleted PNG listed after it, which
// proves itself there; the second chance finds the photo at high word 1.
// The estimate lets go of the PNG's clusters without weakening the PNG's
// claim: carving finds no start there.
TEST(Claims, AReplacedEstimateLeavesOthersClaimsFirm)
{
    QTemporaryDir dir;
    const QByteArray photo = formatfile(QStringLiteral("jpg"), dir.path(), 2);
    const QByteArray png = formatfile(QStringLiteral("png"), dir.path(), 3);
    if (photo.isNull() || png.isNull())
        KOV_SKIP() << "needs ImageMagick: " << lasterror();
    FatBuilder fat = bigfat32();
    place(fat, 65536 + low, photo);
    place(fat, low, png);
    fat.putentry(0, 0, erased("XPHOTO.JPG", 65536 + low, photo.size()));
    fat.putentry(0, 1, erased("XPIC.PNG", low, png.size()));
    const auto [run, files] = recover(fat, dir, {"--deep", "--carve", "--verify"});
    ASSERT_TRUE(files.count("kPHOTO.JPG") && files.count("kPIC.PNG")) << run.err.toStdString();
    EXPECT_EQ(files.at("kPHOTO.JPG"), photo);
    EXPECT_EQ(files.at("kPIC.PNG"), png);
    EXPECT_TRUE(files.count("damaged/kPHOTO.JPG")) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains("carving: 0 clusters read, 0 file starts")) << run.err.toStdString();
}

// The situation of a quick-formatted card where one deleted file's rebuilt
// runs reach the start of another deleted file found first: FRAG3.DAT
// (clusters 6 and 10, its entry after MULT2.DAT's) and MULT2.DAT (7-9),
// both deleted; then the card is formatted again and a new file takes
// clusters 2-3, where the folder's live-looking OLD.DAT began. The deep
// run saves every file the plain run saved from the card before the
// format, with the same bytes, and names OLD.DAT with its reason.
TEST(Claims, DeepCandidatesAreSavedAsThePlainRunSavesThem)
{
    QTemporaryDir dir;
    const QString image = dir.filePath("card.img");
    ASSERT_TRUE(makefat(image, 16, 24u << 20, 1)) << lasterror();
    const auto put = [&](const QString& name, const QByteArray& data) {
        const QString local = dir.filePath("local");
        return writefile(local, data) && mcopy(image, local, name);
    };
    ASSERT_TRUE(put("OLD.DAT", patterndata(1500, 1))) << lasterror();  // clusters 2-4
    ASSERT_TRUE(mmd(image, "DIR")) << lasterror();                    // 5
    ASSERT_TRUE(runtool("mmove", {"-i", image, "::OLD.DAT", "::DIR/OLD.DAT"})) << lasterror();
    ASSERT_TRUE(put("DIR/A.DAT", patterndata(500, 2))) << lasterror();       // 6
    ASSERT_TRUE(put("DIR/MULT2.DAT", patterndata(1400, 3))) << lasterror();  // 7-9
    ASSERT_TRUE(mdel(image, "DIR/A.DAT")) << lasterror();
    ASSERT_TRUE(put("DIR/Z.DAT", QByteArray())) << lasterror();              // A's slot, no cluster
    ASSERT_TRUE(put("DIR/FRAG3.DAT", patterndata(1000, 4))) << lasterror();  // 6, 10
    ASSERT_TRUE(mdel(image, "DIR/FRAG3.DAT")) << lasterror();
    ASSERT_TRUE(mdel(image, "DIR/MULT2.DAT")) << lasterror();
    const QString before = dir.filePath("before.img");
    ASSERT_TRUE(QFile::copy(image, before));
    ASSERT_EQ(kovrecover({before, dir.filePath("plain")}).status, 0);
    ASSERT_TRUE(runtool("mkfs.fat", {"-F", "16", "-s", "1", "-i", "1234ABCD", image})) << lasterror();
    ASSERT_TRUE(put("NEW.DAT", patterndata(1000, 5))) << lasterror();  // 2-3

    const CommandOutcome run = kovrecover({"--deep", image, dir.filePath("deep")});
    ASSERT_EQ(run.status, 0) << run.err.toStdString();
    const auto plain = filetree(dir.filePath("plain"));
    const auto deep = filetree(dir.filePath("deep"));
    ASSERT_EQ(plain.size(), 2u);
    for (const auto& [path, data] : plain) {
        const std::vector<QString> holders = pathsholding(deep, data);
        ASSERT_EQ(holders.size(), 1u) << path << "\n" << run.err.toStdString();
        EXPECT_EQ(holders[0].section('/', -1), path);
    }
    EXPECT_EQ(deep.size(), plain.size());
    EXPECT_TRUE(run.err.contains("lost/dir00005/OLD.DAT not saved: start cluster 2 is in use"))
        << run.err.toStdString();
    EXPECT_TRUE(run.err.contains(", 1 files not saved")) << run.err.toStdString();
}
