// Faults of the output side during a run: the output disk fills up, the
// output directory is read-only, the output directory is removed or moved
// away. Each file that cannot be saved gets its own message, the run goes
// on to its end, and nothing saved before (or already there) is lost or
// overwritten.
#include "support/fatbuilder.h"
#include "support/mtoolsimage.h"
#include "support/qtprint.h"
#include "support/recordingcore.h"
#include "support/wholerun.h"
#include "support/skip.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <csignal>
#include <functional>

#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace testsupport;

namespace {

const QString createfailed = QStringLiteral("Can not create recovered file.");
const QString writefailed = QStringLiteral("Can not write file. Please check if the disk is full.");

struct Outcome {
    long ticks = -1;
    QStringList warnings;
    int informations = 0;
    RUNSTATS stats;
};

// Runs the whole recovery in a child process after setup() (which sets a
// limit or drops privileges there) and hands back what it reported.
Outcome childrun(const QString& image, const QString& out, const std::function<bool()>& setup)
{
    Outcome o;
    int fds[2];
    if (pipe(fds) != 0)
        return o;
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        if (!setup())
            _exit(2);
        RecordingCore core;
        core.openimage(image);
        const long ticks = core.runtoend(out, wholeruntickcap);
        QByteArray report = QByteArray::number(qlonglong(ticks)) + '\n' +
                            QByteArray::number(core.informations.size()) + '\n' +
                            QByteArray::number(qulonglong(core.stats.saved)) + ' ' +
                            QByteArray::number(qulonglong(core.stats.createfailed)) + ' ' +
                            QByteArray::number(qulonglong(core.stats.readfailed)) + ' ' +
                            QByteArray::number(qulonglong(core.stats.writefailed)) + '\n';
        for (const QString& w : core.warnings)
            report += w.toUtf8().replace('\n', ' ') + '\n';
        for (qsizetype done = 0; done < report.size();) {
            const ssize_t n = write(fds[1], report.constData() + done, std::size_t(report.size() - done));
            if (n <= 0)
                _exit(3);
            done += n;
        }
        _exit(0);
    }
    close(fds[1]);
    QByteArray report;
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
        report.append(buf, n);
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        ADD_FAILURE() << "the child run failed, status " << status;
        return o;
    }
    const QList<QByteArray> lines = report.split('\n');
    if (lines.size() < 3)
        return o;
    o.ticks = lines[0].toLong();
    o.informations = lines[1].toInt();
    const QList<QByteArray> counts = lines[2].split(' ');
    if (counts.size() == 4) {
        o.stats.saved = counts[0].toULongLong();
        o.stats.createfailed = counts[1].toULongLong();
        o.stats.readfailed = counts[2].toULongLong();
        o.stats.writefailed = counts[3].toULongLong();
    }
    for (qsizetype i = 3; i < lines.size(); ++i)
        if (!lines[i].isEmpty())
            o.warnings.append(QString::fromUtf8(lines[i]));
    return o;
}

class OutputFaults : public ::testing::Test {
protected:
    QTemporaryDir tmp;
    QString image;
    QByteArray imagehash;
    // Deleted files in directory order, by recovered name.
    std::vector<std::pair<QString, QByteArray>> deleted;

    // Deleted files of the given sizes (in bytes) in the root, saved in
    // this order, with a live file among them.
    void makeimage(const std::vector<int>& sizes)
    {
        FatBuilder b(fat32layout(4u << 20));
        std::uint32_t next = 100;
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            const QByteArray name = shortname(("F" + std::to_string(i) + ".BIN").c_str());
            const QByteArray data = patterndata(std::uint64_t(sizes[i]), std::uint32_t(i + 1));
            const std::uint32_t start = b.addfile(0, int(i), name, data, next);
            b.deleteentry(0, int(i));
            next = start + std::uint32_t((sizes[i] + 511) / 512) + 1;
            deleted.emplace_back(QStringLiteral("k%1.BIN").arg(i), data);
        }
        b.addfile(0, int(sizes.size()), shortname("LIVE.BIN"), patterndata(3000, 99), next);
        image = tmp.filePath("volume.img");
        ASSERT_TRUE(b.save(image));
        imagehash = sha256(image);
        ASSERT_FALSE(imagehash.isNull());
    }

    void TearDown() override
    {
        if (!image.isEmpty()) {
            EXPECT_EQ(sha256(image), imagehash) << "the source image was written";
        }
    }

    static void expectended(const Outcome& o)
    {
        EXPECT_GE(o.ticks, 0) << "the run did not end";
        EXPECT_EQ(o.informations, 1);
    }
};

bool canmount()
{
    return geteuid() == 0 && (QFileInfo::exists(QStringLiteral("/sbin/mkfs.ext2")) ||
                              QFileInfo::exists(QStringLiteral("/usr/sbin/mkfs.ext2")));
}

// A small ext2 file system made for the test and mounted at dir; unmounted
// (and its loop device released) when it goes.
class SmallDisk {
public:
    SmallDisk(const QString& backing, const QString& dir, int kilobytes) : mountpoint(dir)
    {
        QFile f(backing);
        if (!f.open(QIODevice::WriteOnly) || !f.resize(qint64(kilobytes) * 1024))
            return;
        f.close();
        if (!QDir().mkpath(dir))
            return;
        if (QProcess::execute(QStringLiteral("mkfs.ext2"), {"-q", "-F", "-b", "1024", "-m", "0", "-N", "32", backing}) != 0)
            return;
        mounted = QProcess::execute(QStringLiteral("mount"), {"-o", "loop", backing, dir}) == 0;
    }
    ~SmallDisk()
    {
        if (mounted)
            QProcess::execute(QStringLiteral("umount"), {mountpoint});
    }
    bool ok() const { return mounted; }

private:
    QString mountpoint;
    bool mounted = false;
};

}  // namespace

// ---- the output disk fills up ----

TEST_F(OutputFaults, FileLargerThanTheSpaceLeftFailsAloneAndTheRunGoesOn)
{
    // A file-size limit of 150 KiB in the child: the second file cannot be
    // written past it, the others are saved whole.
    makeimage({100 * 1024, 300 * 1024, 50 * 1024});
    const QString out = tmp.filePath("out");
    ASSERT_TRUE(QDir().mkpath(out));
    const Outcome o = childrun(image, out, [] {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{150 * 1024, 150 * 1024};
        return setrlimit(RLIMIT_FSIZE, &limit) == 0;
    });
    expectended(o);
    EXPECT_EQ(o.warnings, QStringList({writefailed}));
    EXPECT_EQ(o.stats.saved, 2u);
    EXPECT_EQ(o.stats.writefailed, 1u);
    // The file cut short is gone, not left half-written under its name.
    const QMap<QString, QByteArray> files = outputfiles(out);
    EXPECT_EQ(files.keys(), QStringList({"k0.BIN", "k2.BIN"}));
    EXPECT_EQ(files.value("k0.BIN"), deleted[0].second);
    EXPECT_EQ(files.value("k2.BIN"), deleted[2].second);
}

TEST_F(OutputFaults, FullDiskFailsTheFilesThatDoNotFitWithTheirMessagesAndKeepsTheRest)
{
    if (!canmount())
        KOV_SKIP() << "needs root and mkfs.ext2 for a small file system";
    // About 480 KiB free: the first two files fit, the third fills the
    // disk, the last cannot fit whatever the third left behind. Whether the
    // two small ones in between still find room depends on how the file
    // system failed the third (Linux ext2 refuses a large write outright
    // and keeps the room), so they may go either way, but never silently.
    makeimage({100 * 1024, 150 * 1024, 400 * 1024, 20 * 1024, 1024, 300 * 1024});
    const QString out = tmp.filePath("disk");
    SmallDisk disk(tmp.filePath("disk.ext2"), out, 512);
    if (!disk.ok())
        KOV_SKIP() << "this machine refuses loop mounts";
    // A file that was already there keeps its contents; the engine picks
    // another name for the recovered file of the same name.
    ASSERT_TRUE(writefile(out + "/k0.BIN", "earlier"));
    const Outcome o = childrun(image, out, [] {
        std::signal(SIGXFSZ, SIG_IGN);
        return true;
    });
    expectended(o);
    QMap<QString, QByteArray> files = outputfiles(out);
    files.remove("lost+found");  // made by mkfs.ext2
    EXPECT_EQ(files.value("k0.BIN"), QByteArray("earlier"));
    EXPECT_EQ(files.value("k0.BIN(1)"), deleted[0].second);
    EXPECT_EQ(files.value("k1.BIN"), deleted[1].second);
    // Every other file is whole, or gone with its own message: none is
    // left cut short, under its name or as its .part.
    int cut = 0;
    for (std::size_t i = 2; i < deleted.size(); ++i) {
        const QString name = deleted[i].first;
        if (!files.contains(name)) {
            ++cut;
            continue;
        }
        EXPECT_EQ(files.value(name), deleted[i].second) << name.toStdString();
        EXPECT_TRUE(i == 3 || i == 4) << name.toStdString() << " cannot have fit";
    }
    EXPECT_EQ(files.size(), 7 - cut);
    EXPECT_GE(cut, 2);
    QStringList messages;
    for (int n = 0; n < cut; ++n)
        messages.append(writefailed);
    EXPECT_EQ(o.warnings, messages);
    EXPECT_EQ(o.stats.writefailed, std::uint64_t(cut));
    EXPECT_EQ(o.stats.saved, std::uint64_t(6 - cut));
}

// ---- the output directory is read-only ----

TEST_F(OutputFaults, ReadOnlyOutputDirectoryFailsEachFileWithItsMessage)
{
    makeimage({2000, 3000, 4000});
    const QString out = tmp.filePath("readonly");
    ASSERT_TRUE(QDir().mkpath(out));
    ASSERT_TRUE(writefile(out + "/k0.BIN", "earlier"));
    // Root ignores permission bits: a read-only bind mount makes the
    // directory read-only for it; without root the mode bits do.
    bool bound = false;
    if (geteuid() == 0) {
        bound = mount(QFile::encodeName(out).constData(), QFile::encodeName(out).constData(), nullptr, MS_BIND,
                      nullptr) == 0;
        if (bound && mount(nullptr, QFile::encodeName(out).constData(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY,
                           nullptr) != 0) {
            umount(QFile::encodeName(out).constData());
            bound = false;
        }
        if (!bound)
            KOV_SKIP() << "this machine refuses read-only bind mounts";
    } else {
        ASSERT_EQ(chmod(QFile::encodeName(out).constData(), 0555), 0);
    }
    const Outcome o = childrun(image, out, [] { return true; });
    if (bound) {
        umount(QFile::encodeName(out).constData());
    } else {
        chmod(QFile::encodeName(out).constData(), 0755);
    }
    expectended(o);
    // Neither the target nor the fallback name can be created: one message
    // per file, nothing written, the earlier file as it was.
    EXPECT_EQ(o.warnings, QStringList({createfailed, createfailed, createfailed}));
    EXPECT_EQ(o.stats.createfailed, 3u);
    EXPECT_EQ(o.stats.saved, 0u);
    EXPECT_EQ(outputfiles(out), (QMap<QString, QByteArray>{{"k0.BIN", "earlier"}}));
}

// ---- the output directory goes away during the run ----

namespace {

// Ticks the run until its first file is saved, calls midway(), and runs it
// to the end.
Outcome runwithfault(const QString& image, const QString& out, const std::function<void()>& midway)
{
    Outcome o;
    RecordingCore core;
    core.openimage(image);
    core.recoverdir = out + '/';
    core.paused = false;
    core.beginrun();
    long ticks = 0;
    while (core.runactive() && core.stats.saved == 0 && ticks < wholeruntickcap) {
        core.scantick();
        ++ticks;
    }
    midway();
    while (core.runactive() && ticks < wholeruntickcap) {
        core.scantick();
        ++ticks;
    }
    o.ticks = core.runactive() ? -1 : ticks;
    o.warnings = core.warnings;
    o.informations = int(core.informations.size());
    o.stats = core.stats;
    return o;
}

}  // namespace

TEST_F(OutputFaults, RemovedOutputDirectoryIsNotRecreatedAndEachLaterFileIsReported)
{
    makeimage({2000, 3000, 4000});
    const QString out = tmp.filePath("gone");
    ASSERT_TRUE(QDir().mkpath(out));
    const QStringList before = QDir(tmp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name);
    bool removed = false;
    const Outcome o = runwithfault(image, out, [&] {
        removed = outputfiles(out).keys() == QStringList({"k0.BIN"}) && QDir(out).removeRecursively();
    });
    ASSERT_TRUE(removed) << "the first file was not saved before the fault";
    expectended(o);
    EXPECT_EQ(o.warnings, QStringList({createfailed, createfailed}));
    EXPECT_EQ(o.stats.saved, 1u);
    EXPECT_EQ(o.stats.createfailed, 2u);
    EXPECT_FALSE(QFileInfo::exists(out));
    // Nothing was written anywhere else beside it.
    QStringList after = QDir(tmp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name);
    after.append("gone");
    after.sort();
    EXPECT_EQ(after, before);
}

TEST_F(OutputFaults, MovedOutputDirectoryKeepsWhatWasSaved)
{
    makeimage({2000, 3000, 4000});
    const QString out = tmp.filePath("here");
    const QString moved = tmp.filePath("there");
    ASSERT_TRUE(QDir().mkpath(out));
    bool renamed = false;
    const Outcome o = runwithfault(image, out, [&] { renamed = QDir().rename(out, moved); });
    ASSERT_TRUE(renamed);
    expectended(o);
    EXPECT_EQ(o.warnings, QStringList({createfailed, createfailed}));
    EXPECT_EQ(outputfiles(moved), (QMap<QString, QByteArray>{{"k0.BIN", deleted[0].second}}));
    EXPECT_FALSE(QFileInfo::exists(out));
}
