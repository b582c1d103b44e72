// A file that kov-recover cannot finish never stands under a recovered
// name: a full output disk (a 2 MiB tmpfs), and SIGINT, SIGTERM or SIGKILL
// sent to a real run in the middle of a large file, held there by SIGSTOP
// so that the signal lands mid-file.
#include "support/kovrecoverrun.h"
#include "support/mtoolsimage.h"
#include "support/qtprint.h"
#include "support/skip.h"
#include "support/tmpfs.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>

using namespace testsupport;

namespace {

// Deleted files of these sizes, in this order, on a FAT32 card.
bool makecard(const QString& image, const QList<std::pair<QString, qint64>>& files, std::map<QString, QByteArray>* out)
{
    const QString staged = image + ".staged";
    bool ok = makefat(image, 32, 300u << 20, 8);
    for (qsizetype i = 0; ok && i < files.size(); ++i) {
        const QByteArray data = patterndata(std::uint64_t(files[i].second), std::uint32_t(i + 1));
        ok = writefile(staged, data) && mcopy(image, staged, files[i].first);
        (*out)["k" + files[i].first.mid(1)] = data;
    }
    for (qsizetype i = 0; ok && i < files.size(); ++i)
        ok = mdel(image, files[i].first);
    QFile::remove(staged);
    return ok;
}

TEST(PartialFiles, AFullDiskLeavesOnlyWholeFilesWithTheirDates)
{
    QTemporaryDir tmp;
    const QString image = tmp.filePath("card.img"), out = tmp.filePath("disk");
    std::map<QString, QByteArray> files;
    ASSERT_TRUE(makecard(image, {{"IMG_A.JPG", 600 << 10}, {"IMG_B.JPG", 900 << 10}, {"MVI_C.MOV", 1200 << 10}, {"IMG_D.JPG", 100 << 10}},
                         &files))
        << lasterror();
    Tmpfs disk(out, "2m");
    if (!disk.ok())
        KOV_SKIP() << "needs root for a tmpfs";
    const CommandOutcome o = kovrecover({image, out});
    EXPECT_EQ(o.status, 1) << o.err.toStdString();
    EXPECT_TRUE(o.err.contains("kVI_C.MOV: Can not write file. Please check if the disk is full.")) << o.err.toStdString();
    EXPECT_TRUE(o.err.contains("3 files saved, 1638400 bytes, 1 failed (create 0, read 0, write 1)"));
    files.erase("kVI_C.MOV");
    EXPECT_EQ(filetree(out), files);
    // mtools stamped every entry with the tools' "now".
    for (const auto& [name, data] : files)
        EXPECT_EQ(QFileInfo(out + '/' + name).lastModified().toSecsSinceEpoch(), tooloptions().now) << name;
}

// SIGINT and SIGTERM: the file being written is removed, those before it
// stay whole, the status says which signal. SIGKILL: one .part is left.
class Stopped : public testing::TestWithParam<int> {};

TEST_P(Stopped, InTheMiddleOfALargeFile)
{
    const int signal = GetParam();
    QTemporaryDir tmp;
    const QString image = tmp.filePath("card.img");
    std::map<QString, QByteArray> files;
    ASSERT_TRUE(makecard(image, {{"IMG_0001.JPG", 300 << 10}, {"VID_0002.MOV", 160 << 20}, {"IMG_0003.JPG", 200 << 10}},
                         &files))
        << lasterror();
    const QString part = "kID_0002.MOV.part";
    // The stop lands after the whole file was written now and then: run again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        const QString out = tmp.filePath(QStringLiteral("out%1").arg(attempt));
        QProcess p;
        p.start(QStringLiteral(KOV_RECOVER_BIN), {image, out});
        ASSERT_TRUE(p.waitForStarted());
        const pid_t pid = pid_t(p.processId());
        QElapsedTimer clock;
        clock.start();
        while (QFileInfo(out + '/' + part).size() == 0 && p.state() == QProcess::Running && clock.elapsed() < 60000) {
        }
        kill(pid, SIGSTOP);
        const qint64 written = QFileInfo(out + '/' + part).size();
        if (written == 0 || written >= (160 << 20)) {
            kill(pid, SIGKILL);
            p.waitForFinished();
            continue;
        }
        kill(pid, signal);
        kill(pid, SIGCONT);
        ASSERT_TRUE(p.waitForFinished(60000));
        const QByteArray err = p.readAllStandardError();
        std::map<QString, QByteArray> expected{{"kMG_0001.JPG", files["kMG_0001.JPG"]}};
        if (signal == SIGKILL) {
            EXPECT_EQ(p.exitStatus(), QProcess::CrashExit);
            const QStringList left = QDir(out).entryList({"*.part"}, QDir::Files);
            EXPECT_EQ(left, QStringList(part));
            expected[part] = files["kID_0002.MOV"].left(QFileInfo(out + '/' + part).size());
        } else {
            EXPECT_EQ(p.exitCode(), 128 + signal) << err.toStdString();
            EXPECT_TRUE(err.contains(QStringLiteral("stopped by %1: 1 files saved, 307200 bytes")
                                         .arg(signal == SIGINT ? "SIGINT" : "SIGTERM")
                                         .toUtf8()))
                << err.toStdString();
            EXPECT_TRUE(err.contains("; kID_0002.MOV was being written and is removed")) << err.toStdString();
        }
        EXPECT_EQ(filetree(out), expected);
        return;
    }
    KOV_SKIP() << "the run never stopped in the middle of the large file";
}

INSTANTIATE_TEST_SUITE_P(Signals, Stopped, testing::Values(SIGINT, SIGTERM, SIGKILL), [](const auto& info) {
    return std::string(info.param == SIGINT ? "sigint" : info.param == SIGTERM ? "sigterm" : "sigkill");
});

}  // namespace
