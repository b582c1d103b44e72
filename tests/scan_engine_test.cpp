// The scan engine driven tick by tick through the core: what each pass
// records, what the saving pass shows and writes, how a run ends, and the
// names it saves under.
#include "scan/recoveredname.h"
#include "support/fatbuilder.h"
#include "support/mtoolsimage.h"
#include "support/qtprint.h"
#include "support/recordingcore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace testsupport;

namespace {

QStringList filesin(const QString& dir)
{
    return QDir(dir).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
}

FILEPARM named(const QByteArray& bytes)
{
    FILEPARM f;
    f.setname(bytes);
    return f;
}

// Patches a slot's raw bytes.
void patchslot(FatBuilder& b, std::uint32_t dir, int slot, int offset, const QByteArray& bytes)
{
    QByteArray raw = b.rawslot(dir, slot);
    raw.replace(offset, bytes.size(), bytes);
    b.putrawslot(dir, slot, reinterpret_cast<const unsigned char*>(raw.constData()));
}

}  // namespace

TEST(RecoveredName, FirstByteBecomesKAndAHighSecondByteO)
{
    EXPECT_EQ(recoveredname(named("\xE5" "EPORT.DOC")), "kEPORT.DOC");
    EXPECT_EQ(recoveredname(named("\xE5\x81" "CD.TXT")), "koCD.TXT");
    EXPECT_EQ(recoveredname(named("\xE5" ".TXT")), "k.TXT");
    EXPECT_EQ(recoveredname(named("\xE5")), "k");
    // A file inside a deleted directory never had its first byte erased.
    EXPECT_EQ(recoveredname(named("A1.JPG")), "k1.JPG");
    // An embedded zero byte ends the name.
    EXPECT_EQ(recoveredname(named(QByteArray("\xE5" "AB\0CD", 6))), "kAB");
}

TEST(RecoveredName, BytesThatCannotStandInANameAndHighBytes)
{
    EXPECT_EQ(recoveredfilename("k/../../.TXT"), "k_.._.._.TXT");
    // Code page 437: 0x90 is É, 0x81 is ü, 0xE1 is ß.
    EXPECT_EQ(recoveredfilename("koSUM\x90.DOC"), QString::fromUtf8("koSUMÉ.DOC"));
    EXPECT_EQ(recoveredfilename("kR\x81" "CK\xE1"), QString::fromUtf8("kRüCKß"));
    EXPECT_EQ(recoveredfilename("kPLAIN.TXT"), "kPLAIN.TXT");
}

TEST(RecoveredName, TargetPathsNeverReplaceWhatIsThere)
{
    QTemporaryDir dir;
    const QString out = dir.path() + "/";
    EXPECT_EQ(freetargetpath(out, "kEPORT.DOC"), out + "kEPORT.DOC");
    ASSERT_TRUE(writefile(out + "kEPORT.DOC", "1"));
    EXPECT_EQ(freetargetpath(out, "kEPORT.DOC"), out + "kEPORT.DOC(1)");
    ASSERT_TRUE(QDir().mkdir(out + "kEPORT.DOC(1)"));  // a directory counts
    EXPECT_EQ(freetargetpath(out, "kEPORT.DOC"), out + "kEPORT.DOC(2)");
    ASSERT_TRUE(QFile::link(out + "nowhere", out + "kEPORT.DOC(2)"));  // so does a dangling link
    EXPECT_EQ(freetargetpath(out, "kEPORT.DOC"), out + "kEPORT.DOC(3)");
}

TEST(RecoveredName, FallbackNamesCountUpAndSkipEarlierFiles)
{
    QTemporaryDir dir;
    RecordingCore core;
    core.recoverdir = dir.path() + "/";
    const QString first = core.getrecoveredname();
    ASSERT_TRUE(first.startsWith(core.recoverdir + "kovrecovered"));
    const int n = first.mid(core.recoverdir.size() + 12).toInt();
    // An earlier start of the program left the next two.
    ASSERT_TRUE(writefile(core.recoverdir + "kovrecovered" + QString::number(n + 1), "old"));
    ASSERT_TRUE(writefile(core.recoverdir + "kovrecovered" + QString::number(n + 2), "old"));
    EXPECT_EQ(core.getrecoveredname(), core.recoverdir + "kovrecovered" + QString::number(n + 3));
    EXPECT_EQ(core.getrecoveredname(), core.recoverdir + "kovrecovered" + QString::number(n + 4));
}

TEST(ScanRun, VolumeWithoutDeletedFilesEndsWithTheInformationAndNothingWritten)
{
    QTemporaryDir dir;
    const QString image = dir.filePath("clean.img");
    ASSERT_TRUE(makefat(image, 32, 40u << 20, 1)) << lasterror();
    ASSERT_TRUE(writefile(dir.filePath("a"), patterndata(3000, 1)));
    ASSERT_TRUE(mmd(image, "SUB")) << lasterror();
    ASSERT_TRUE(mcopy(image, dir.filePath("a"), "SUB/A.TXT")) << lasterror();
    RecordingCore core;
    core.openimage(image);
    const QString out = dir.filePath("out");
    QDir().mkpath(out);
    ASSERT_GT(core.runtoend(out), 0);
    EXPECT_TRUE(filesin(out).isEmpty());
    EXPECT_TRUE(core.statusnames.isEmpty());
    EXPECT_TRUE(core.warnings.isEmpty());
    ASSERT_EQ(core.informations.size(), 1);
    EXPECT_TRUE(core.informations[0].startsWith("Recovery accomplished!\nThe first character"));
    EXPECT_TRUE(core.informations[0].endsWith("You need to double-check the recovered files."));
    EXPECT_TRUE(core.paused);
    EXPECT_FALSE(core.collecting || core.saving);
    EXPECT_EQ(core.buttontext, "Recover");
    EXPECT_EQ(core.curdir.parent, nullptr);
    EXPECT_EQ(core.curdir.entryindex, 0u);
    // The live clusters were marked: SUB and A.TXT.
    FILEPARM sub;
    sub.dialog = &core;
    core.curdir = core.rootdir;
    ASSERT_GT(core.curdir.getnextfile(sub, 1), 0);
    EXPECT_EQ(core.clusterusage(sub.dataruns), 2);
}

TEST(ScanRun, HostileNamesLandInsideTheOutputDirectory)
{
    QTemporaryDir dir;
    FatBuilder b(fat16layout());
    const QByteArray data = patterndata(1500, 4);
    // Byte 1 '/', then "../../" and a code page 437 byte.
    b.addfile(0, 0, QByteArray("\xE5/../..\x90TXT", 11), data);
    b.deleteentry(0, 0);
    b.addfile(0, 1, QByteArray("\xE5\x90SUM\x90  DOC", 11), data);
    b.deleteentry(0, 1);
    const QString image = dir.filePath("names.img");
    ASSERT_TRUE(b.save(image));
    RecordingCore core;
    core.openimage(image);
    const QString out = dir.filePath("deep/out");
    QDir().mkpath(out);
    ASSERT_GT(core.runtoend(out), 0);
    const QStringList saved = filesin(out);
    EXPECT_EQ(saved, QStringList({QString::fromUtf8("k_.._..É.TXT"), QString::fromUtf8("koSUMÉ.DOC")}));
    for (const QString& name : saved)
        EXPECT_EQ(contents(out + "/" + name), data) << name;
    EXPECT_EQ(filesin(dir.filePath("deep")), QStringList({"out"}));
    EXPECT_EQ(core.statusnames, QStringList({QString::fromUtf8("k_.._..É.TXT"), QString::fromUtf8("koSUMÉ.DOC")}));
}

TEST(ScanRun, OutputThatCannotBeCreatedIsReportedOnceAndTheRunGoesOn)
{
    QTemporaryDir dir;
    FatBuilder b(fat16layout());
    b.addfile(0, 0, shortname("AAAA.TXT"), patterndata(700, 1));
    b.addfile(0, 1, shortname("BBBB.TXT"), patterndata(700, 2));
    b.deleteentry(0, 0);
    b.deleteentry(0, 1);
    const QString image = dir.filePath("two.img");
    ASSERT_TRUE(b.save(image));
    RecordingCore core;
    core.openimage(image);
    ASSERT_GT(core.runtoend(dir.filePath("missing/dir")), 0);
    EXPECT_EQ(core.warnings, QStringList({"Can not create recovered file.", "Can not create recovered file."}));
    EXPECT_EQ(core.stats.createfailed, 2u);
    EXPECT_EQ(core.informations.size(), 1);
}

TEST(ScanRun, BackingUpIntoADirectoryRecordsNothing)
{
    // P (created at minute M, high word 0) holds a live file F of minute M
    // whose start cluster is past 65535 (high word 1), then a subdirectory D
    // of another minute. Leaving D hands out P again; recording P's minute
    // then would replace F's high word by 0 and send the deleted G, whose
    // high word was erased, to the wrong clusters.
    QTemporaryDir dir;
    FatBuilder b(fat32layout());
    const std::uint32_t p = b.adddir(0, 0, shortname("P"));
    const QByteArray f = patterndata(600, 1);
    const QByteArray g = patterndata(900, 2);
    ASSERT_GT(b.addfile(p, 2, shortname("F.TXT"), f, 70000), 65535u);
    const std::uint32_t d = b.adddir(p, 3, shortname("D"));
    patchslot(b, p, 3, 14, QByteArray("\x00\x08", 2));  // D created at 01:00
    ASSERT_GT(d, 0u);
    ASSERT_GT(b.addfile(p, 4, shortname("G.TXT"), g, 70100), 65535u);
    b.deleteentry(p, 4, true, true);
    const QString image = dir.filePath("minutes.img");
    ASSERT_TRUE(b.save(image));

    RecordingCore core;
    core.openimage(image);
    const QString out = dir.filePath("out");
    QDir().mkpath(out);
    ASSERT_GT(core.runtoend(out), 0);
    EXPECT_EQ(filesin(out), QStringList({"k.TXT"}));
    EXPECT_EQ(contents(out + "/k.TXT"), g);
}

TEST(ScanRun, LaterLiveFileOfAMinuteOwnsItsSlot)
{
    QTemporaryDir dir;
    FatBuilder b(fat32layout());
    b.addfile(0, 0, shortname("LOW.TXT"), patterndata(100, 1), 100);
    b.addfile(0, 1, shortname("HIGH.TXT"), patterndata(100, 2), 70000);
    FatBuilder::Entry late;
    late.name83 = shortname("LATE.TXT");
    late.crtdate = fatdate(2020, 1, 1);  // past the table: not recorded
    late.startcluster = b.addfile(0, 2, shortname("TMP.TXT"), patterndata(10, 3), 200);
    late.size = 10;
    b.putentry(0, 2, late);
    const QString image = dir.filePath("slot.img");
    ASSERT_TRUE(b.save(image));
    RecordingCore core;
    core.openimage(image);
    ASSERT_GT(core.runtoend(dir.path()), 0);
    const std::int64_t k = *core.minuteclock.key(0x4A21, 0);
    EXPECT_EQ(core.minutetable[k], 1);  // HIGH.TXT came after LOW.TXT
    // 2020-01-01 00:00 UTC lies 14,610 days after the origin: one past the
    // table's last slot.
    EXPECT_EQ(*core.minuteclock.key(fatdate(2020, 1, 1), 0), 14610 * 1440);
    EXPECT_EQ(core.minutecount, 14610 * 1440);
    int recorded = 0;
    for (std::int32_t i = 0; i < core.minutecount; ++i)
        recorded += core.minutetable[i] != 0xFFFF;
    EXPECT_EQ(recorded, 1);
}

TEST(ScanRun, Fat16NeverWritesTheMinuteTable)
{
    QTemporaryDir dir;
    FatBuilder b(fat16layout());
    b.addfile(0, 0, shortname("A.TXT"), patterndata(100, 1));
    const QString image = dir.filePath("f16.img");
    ASSERT_TRUE(b.save(image));
    RecordingCore core;
    core.openimage(image);
    ASSERT_GT(core.runtoend(dir.path()), 0);
    for (std::int32_t i = 0; i < core.minutecount; ++i)
        ASSERT_EQ(core.minutetable[i], 0xFFFF) << i;
}
