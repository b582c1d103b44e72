// Output names that cannot be tested for existence: the directory cannot be
// searched, its path leaves no room for a name, or it turns into a file
// mid-run. Each such file is one that cannot be created: reported, counted,
// and the run goes on to its end.
#include "support/fatbuilder.h"
#include "support/mtoolsimage.h"
#include "support/qtprint.h"
#include "support/recordingcore.h"
#include "support/skip.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

using namespace testsupport;

namespace {

constexpr long tickcap = 100000;
const QString createfailed = QStringLiteral("Can not create recovered file.");

class OutputNames : public ::testing::Test {
protected:
    QTemporaryDir tmp;
    QString image;

    // Three deleted files and a live one in the root of a small FAT32 volume.
    void SetUp() override
    {
        FatBuilder b(fat32layout(4u << 20));
        for (int i = 0; i < 3; ++i) {
            b.addfile(0, i, shortname(("F" + std::to_string(i) + ".BIN").c_str()),
                      patterndata(1500, std::uint32_t(i + 1)), 100 + 10 * std::uint32_t(i));
            b.deleteentry(0, i);
        }
        b.addfile(0, 3, shortname("LIVE.BIN"), patterndata(700, 9), 200);
        image = tmp.filePath("volume.img");
        ASSERT_TRUE(b.save(image));
    }
};

}  // namespace

TEST_F(OutputNames, DirectoryPathWithNoRoomForANameFailsEachFileAndEnds)
{
    // 4,089 characters: with the separator and any recovered name the path
    // is longer than the system takes (ENAMETOOLONG).
    QString out = tmp.path();
    while (out.size() < 4089)
        out += '/' + QString(std::min<qsizetype>(200, 4089 - out.size() - 1), 'd');
    ASSERT_EQ(out.size(), 4089);
    ASSERT_TRUE(QDir().mkpath(out));

    RecordingCore core;
    core.openimage(image);
    const QString prefix = tmp.path() + "/kovrecovered";
    core.recoverdir = tmp.path() + '/';
    const long long before = core.getrecoveredname().mid(prefix.size()).toLongLong();
    EXPECT_GE(core.runtoend(out, tickcap), 0);
    // Each file took one fallback number: no name was tried twice.
    core.recoverdir = tmp.path() + '/';
    EXPECT_EQ(core.getrecoveredname().mid(prefix.size()).toLongLong(), before + 4);
    EXPECT_EQ(core.warnings, QStringList(3, createfailed));
    EXPECT_EQ(core.stats.createfailed, 3u);
    EXPECT_EQ(core.informations.size(), 1);
    EXPECT_TRUE(QDir(out).isEmpty());
}

TEST_F(OutputNames, DirectoryReplacedByAFileMidRunFailsTheRestAndEnds)
{
    const QString out = tmp.filePath("out");
    ASSERT_TRUE(QDir().mkpath(out));
    RecordingCore core;
    core.openimage(image);
    core.recoverdir = out + '/';
    core.paused = false;
    ASSERT_TRUE(core.beginrun());
    bool replaced = false;
    for (long ticks = 0; core.runactive() && ticks < tickcap; ++ticks) {
        core.scantick();
        if (!replaced && core.stats.saved == 1) {
            // Every later name test meets a file where a directory was
            // (ENOTDIR).
            replaced = QDir(out).removeRecursively() && writefile(out, "not a directory");
            ASSERT_TRUE(replaced);
        }
    }
    EXPECT_FALSE(core.runactive()) << "the run did not end";
    EXPECT_TRUE(replaced);
    EXPECT_EQ(core.warnings, QStringList(2, createfailed));
    EXPECT_EQ(core.stats.saved, 1u);
    EXPECT_EQ(core.stats.createfailed, 2u);
    EXPECT_EQ(core.informations.size(), 1);
}

TEST_F(OutputNames, UserWhoCannotSearchTheDirectoryGetsOneMessageBeforeTheWalk)
{
    const QString runuser = QStandardPaths::findExecutable("runuser", {"/usr/sbin", "/sbin", "/usr/bin"});
    if (geteuid() != 0 || runuser.isEmpty())
        KOV_SKIP() << "needs root and runuser to run kov-recover as nobody";
    // The image readable by nobody; the output directory root's alone (EACCES
    // on every name in it).
    ASSERT_EQ(chmod(QFile::encodeName(tmp.path()).constData(), 0755), 0);
    ASSERT_EQ(chmod(QFile::encodeName(image).constData(), 0644), 0);
    const QString locked = tmp.filePath("locked");
    ASSERT_TRUE(QDir().mkpath(locked));
    ASSERT_EQ(chmod(QFile::encodeName(locked).constData(), 0700), 0);

    QProcess run;
    run.start(runuser, {"-u", "nobody", "--", KOV_RECOVER_BIN, image, locked});
    ASSERT_TRUE(run.waitForStarted());
    if (!run.waitForFinished(120000)) {
        run.kill();
        run.waitForFinished();
        FAIL() << "kov-recover did not end";
    }
    const QString err = QString::fromUtf8(run.readAllStandardError());
    EXPECT_EQ(run.exitStatus(), QProcess::NormalExit);
    // The probe before the walk finds it: one message with the reason, not
    // one per file.
    EXPECT_EQ(run.exitCode(), 4) << err;
    EXPECT_TRUE(err.contains("Can not create recovered files in " + locked + "/: Permission denied")) << err;
    EXPECT_EQ(err.count(createfailed), 0) << err;
    EXPECT_TRUE(QDir(locked).isEmpty());
}
