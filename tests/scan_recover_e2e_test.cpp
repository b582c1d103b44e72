// Whole recoveries with kov-recover over images made by mkfs.fat and mtools:
// what comes back, byte for byte, what does not, and what a second run does.
#include "support/fatbuilder.h"
#include "support/mtoolsimage.h"
#include "support/qtprint.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <map>

using namespace testsupport;

namespace {

struct Outcome {
    int status = -1;
    QByteArray out;
    QByteArray err;
};

Outcome kovrecover(const QStringList& args)
{
    QProcess p;
    p.start(QStringLiteral(KOV_RECOVER_BIN), args);
    Outcome o;
    if (!p.waitForFinished(300000))
        return o;
    o.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    o.out = p.readAllStandardOutput();
    o.err = p.readAllStandardError();
    return o;
}

QByteArray contents(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

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
    EXPECT_TRUE(notfat.err.contains("not a FAT16 or FAT32 volume"));
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
