// Block devices a user may not open, reached through the real udisks2 and
// polkit on a private system bus: the listing, a recovery through the
// descriptor OpenForBackup hands out, and refused or cancelled
// authorisations. The client runs as an unprivileged user; polkit's rules
// grant the action to "nobody", refuse it to "daemon" and make "bin" type
// its own password.
//
// Run as `kov_udisks2_tests --list-sources`, the binary is the listing
// client: it prints what the volume list would show, one source a line.
#include "udisks2/systemservices.h"

#include "support/badblockdevice.h"
#include "support/mtoolsimage.h"
#include "support/recordingcore.h"
#include "support/skip.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <poll.h>
#include <pwd.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

using namespace testsupport;

namespace {

const char* const polkitrules = R"(polkit.addRule(function(action, subject) {
    if (action.id.indexOf("org.freedesktop.udisks2.open-device") != 0)
        return polkit.Result.NOT_HANDLED;
    if (subject.user == "nobody")
        return polkit.Result.YES;
    if (subject.user == "daemon")
        return polkit.Result.NO;
    if (subject.user == "bin")
        return polkit.Result.AUTH_SELF;
    return polkit.Result.NOT_HANDLED;
});
)";

int listsources()
{
    RecordingCore core;
    platform::setimagefiles({});
    core.getallvol();
    for (const platform::VolumeSource& v : core.volumes)
        std::printf("%s\t%s\t%s\t%d\t%llu\t%s\n", qPrintable(v.root), qPrintable(v.path), qPrintable(v.udisksobject),
                    v.udiskstype, static_cast<unsigned long long>(v.size), qPrintable(v.label));
    return 0;
}

// setpriv's arguments that run the rest as user, with the user's own group
// and no others, on the private bus.
QStringList asuser(const QString& user, const QString& bus)
{
    const passwd* pw = getpwnam(QFile::encodeName(user).constData());
    if (!pw)
        return {"setpriv", "--reuid=" + user};  // fails, naming the user
    return {"setpriv",       QStringLiteral("--reuid=%1").arg(pw->pw_uid), QStringLiteral("--regid=%1").arg(pw->pw_gid),
            "--clear-groups", "env", "DBUS_SYSTEM_BUS_ADDRESS=" + bus};
}

struct Outcome {
    int status = -1;
    QString out;
    QString err;
};

// Runs argv as user (root when empty) with the private bus, stdin closed.
Outcome runas(const QString& user, const QString& bus, QStringList argv)
{
    if (!user.isEmpty())
        argv = asuser(user, bus) + argv;
    QProcess p;
    p.start(argv.takeFirst(), argv);
    p.closeWriteChannel();
    Outcome o;
    if (!p.waitForFinished(120000))
        return o;
    o.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    o.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    o.err = QString::fromLocal8Bit(p.readAllStandardError());
    return o;
}

// Runs argv as user on a terminal of its own and answers the first
// "Password:" with end of file, as a user pressing Ctrl-D does. The
// terminal's text goes to out.
Outcome runonterminal(const QString& user, const QString& bus, const QStringList& argv)
{
    QList<QByteArray> bytes;
    for (const QString& a : asuser(user, bus) + argv)
        bytes.append(QFile::encodeName(a));
    std::vector<char*> args;
    for (QByteArray& b : bytes)
        args.push_back(b.data());
    args.push_back(nullptr);

    Outcome o;
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid < 0)
        return o;
    if (pid == 0) {
        execvp(args[0], args.data());
        _exit(127);
    }
    QByteArray text;
    for (int waited = 0; waited < 600; ++waited) {  // 60 s at most
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) {
            // The agent may still be switching echo off, which drops what
            // was typed before: repeat the end of file until it is read.
            if (text.contains("Password:"))
                ::write(master, "\x04", 1);
            continue;
        }
        char buf[4096];
        const ssize_t got = ::read(master, buf, sizeof buf);
        if (got <= 0)
            break;  // the child has gone: EIO on the master
        text.append(buf, int(got));
    }
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    ::close(master);
    o.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    o.out = QString::fromLocal8Bit(text);
    return o;
}

QMap<QString, QByteArray> recovered(const QString& dir)
{
    QMap<QString, QByteArray> out;
    for (const QString& name : QDir(dir).entryList(QDir::Files))
        out.insert(name, sha256(dir + "/" + name));
    return out;
}

struct Card {
    int fatbits;
    QString image;
    QString node;  // its read-only loop device
};

class Udisks2 : public ::testing::Test {
protected:
    static inline SystemServices* services = nullptr;
    static inline QTemporaryDir* work = nullptr;
    static inline QString skipreason;    // a service cannot run here
    static inline QString setupfailure;  // the cards could not be made
    static inline QList<Card> cards;  // FAT16, FAT32, then FAT12

    static void SetUpTestSuite()
    {
        work = new QTemporaryDir;
        services = new SystemServices;
        if (!services->start(work->path(), QString::fromLatin1(polkitrules))) {
            skipreason = services->reason();
            return;
        }
        for (const int fatbits : {16, 32, 12}) {
            Card card{fatbits, QStringLiteral("%1/fat%2.img").arg(work->path()).arg(fatbits), {}};
            if (!makecard(card)) {
                setupfailure = QString::fromStdString(lasterror());
                return;
            }
            card.node = services->attach(card.image);
            if (card.node.isEmpty()) {
                setupfailure = services->reason();
                return;
            }
            cards.append(card);
        }
        // The clients write their output here.
        QDir().mkpath(work->path() + "/out");
        ::chmod(QFile::encodeName(work->path() + "/out").constData(), 01777);
    }

    static void TearDownTestSuite()
    {
        delete services;
        delete work;
        services = nullptr;
        work = nullptr;
        cards.clear();
    }

    // A card with live files and deleted ones of several cluster counts.
    static bool makecard(const Card& card)
    {
        const std::uint64_t size = card.fatbits == 32 ? 40u << 20 : card.fatbits == 16 ? 20u << 20 : 1u << 20;
        if (!makefat(card.image, card.fatbits, size, 1))
            return false;
        for (int i = 0; i < 4; ++i) {
            const QString local = QStringLiteral("%1/f%2").arg(work->path()).arg(i);
            if (!writefile(local, patterndata(1000 + i * 70000, std::uint32_t(card.fatbits * 10 + i))) ||
                !mcopy(card.image, local, QStringLiteral("::FILE%1.BIN").arg(i)))
                return false;
        }
        // Deleted last, so that no later copy takes their clusters.
        return mdel(card.image, QStringLiteral("::FILE0.BIN")) && mdel(card.image, QStringLiteral("::FILE2.BIN"));
    }

    void SetUp() override
    {
        if (!skipreason.isEmpty())
            KOV_SKIP() << "udisks2 and polkit cannot run here: " << skipreason.toStdString();
        ASSERT_TRUE(setupfailure.isEmpty()) << setupfailure.toStdString();
    }

    QString bus() const { return services->busaddress(); }
    QString self() const { return QCoreApplication::applicationFilePath(); }
};

TEST_F(Udisks2, ListsFatVolumesTheUserCannotOpenWithoutOpeningThem)
{
    const Outcome o = runas(QStringLiteral("nobody"), bus(), {self(), "--list-sources"});
    ASSERT_EQ(o.status, 0) << o.err.toStdString();
    for (const Card& card : cards) {
        QStringList line;
        for (const QString& l : o.out.split('\n'))
            if (l.section('\t', 1, 1) == card.node)
                line = l.split('\t');
        ASSERT_EQ(line.size(), 6) << card.node.toStdString() << " not listed:\n" << o.out.toStdString();
        EXPECT_EQ(line[2], "/org/freedesktop/UDisks2/block_devices/" + QFileInfo(card.node).fileName());
        EXPECT_EQ(line[3].toInt(), card.fatbits == 32 ? 1 : card.fatbits == 16 ? 2 : 5);
        EXPECT_EQ(line[4].toULongLong(), QFileInfo(card.image).size());
        EXPECT_EQ(line[5], QFileInfo(card.image).canonicalFilePath());  // a loop device names its image
    }
    // Listing asks nobody for a password: polkit was not consulted, so the
    // refused user lists the same devices.
    const Outcome refused = runas(QStringLiteral("daemon"), bus(), {self(), "--list-sources"});
    EXPECT_EQ(refused.out, o.out);
}

TEST_F(Udisks2, RootOpensTheDevicesItselfAndNeverAsksUdisks2)
{
    const Outcome o = runas(QString(), bus(), {self(), "--list-sources"});
    ASSERT_EQ(o.status, 0);
    for (const Card& card : cards) {
        EXPECT_TRUE(o.out.contains(QStringLiteral("\t%1\t\t").arg(card.node))) << o.out.toStdString();
    }
}

TEST_F(Udisks2, RecoveryThroughTheDescriptorMatchesADirectOpen)
{
    for (const Card& card : cards) {
        SCOPED_TRACE(card.node.toStdString());
        const QString viaudisks = QStringLiteral("%1/out/udisks%2").arg(work->path()).arg(card.fatbits);
        const QString direct = QStringLiteral("%1/out/direct%2").arg(work->path()).arg(card.fatbits);
        const Outcome user = runas(QStringLiteral("nobody"), bus(), {KOV_RECOVER_BIN, card.node, viaudisks});
        ASSERT_EQ(user.status, 0) << user.err.toStdString();
        const Outcome root = runas(QString(), bus(), {KOV_RECOVER_BIN, card.image, direct});
        ASSERT_EQ(root.status, 0) << root.err.toStdString();
        const QMap<QString, QByteArray> got = recovered(viaudisks);
        EXPECT_EQ(got.size(), 2);
        EXPECT_EQ(got, recovered(direct));
    }
}

// The sectors a mapfile marks with status, by ddrescuelog.
QByteArray blocks(const QString& map, char status)
{
    QByteArray listed;
    runtool(QStringLiteral("ddrescuelog"), {QStringLiteral("-b512"), QStringLiteral("--list-blocks=") + status, map},
            &listed);
    return listed;
}

// A card the user may not open, with one unreadable sector in a deleted
// file: read through udisks2's descriptor, the sector's neighbours in its
// page are read (the reads are direct, not widened to pages), and --image
// images the card.
TEST_F(Udisks2, AFailingCardOpenedThroughUdisks2IsReadSectorBySectorAndImaged)
{
    QString why;
    if (!BadBlockDevice::available(&why))
        KOV_SKIP() << why.toStdString();
    if (QStandardPaths::findExecutable(QStringLiteral("ddrescuelog")).isEmpty())
        KOV_SKIP() << "no ddrescuelog (gddrescue)";
    const QString image = work->path() + "/failing.img";
    const QByteArray lost = patterndata(300000, 7);
    ASSERT_TRUE(makefat(image, 32, 40u << 20, 1) && writefile(work->path() + "/lost", lost) &&
                mcopy(image, work->path() + "/lost", QStringLiteral("::LOST.BIN")) &&
                mdel(image, QStringLiteral("::LOST.BIN")))
        << lasterror();
    const QByteArray card = contents(image);
    const qsizetype at = card.indexOf(lost);
    ASSERT_TRUE(at > 0 && at % 512 == 0);
    // Inside a page of the device, not at its start.
    const std::uint64_t bad = (std::uint64_t(at) / 512 + 16) / 8 * 8 + 3;
    BadBlockDevice dev(image, {{bad, bad}});
    ASSERT_TRUE(dev.ok()) << dev.why().toStdString();
    ASSERT_TRUE(services->announce(dev.path())) << services->reason().toStdString();

    const QString out = work->path() + "/out/failing", copy = work->path() + "/out/failing.copy";
    const Outcome o = runas(QStringLiteral("nobody"), bus(), {KOV_RECOVER_BIN, "--image", copy, dev.path(), out});
    ASSERT_EQ(o.status, 0) << o.err.toStdString();
    EXPECT_TRUE(o.err.contains("1 unreadable sectors")) << o.err.toStdString();
    EXPECT_EQ(blocks(out + "/unreadable.map", '-'), QByteArray::number(qulonglong(bad)) + "\n");
    EXPECT_LE(dev.counts().asked[bad], 2u);
    QByteArray holed = lost;
    holed.replace(qsizetype(bad * 512 - std::uint64_t(at)), 512, QByteArray(512, '\0'));
    const QStringList damaged = QDir(out + "/damaged").entryList(QDir::Files);
    ASSERT_EQ(damaged.size(), 1) << o.err.toStdString();
    EXPECT_EQ(contents(out + "/damaged/" + damaged.first()), holed);

    EXPECT_EQ(blocks(copy + ".map", '-'), QByteArray::number(qulonglong(bad)) + "\n");
    const QByteArray imaged = contents(copy);
    ASSERT_EQ(imaged.size(), card.size());
    const QList<QByteArray> read = blocks(copy + ".map", '+').split('\n');
    EXPECT_GT(read.size(), 100);
    for (const QByteArray& line : read)
        if (!line.isEmpty()) {
            const qsizetype sector = line.toLongLong();
            ASSERT_EQ(imaged.mid(sector * 512, 512), card.mid(sector * 512, 512)) << "sector " << sector;
        }
}

TEST_F(Udisks2, RefusedAuthorisationIsDiskOpenError)
{
    const Card& card = cards.first();
    const QString out = work->path() + "/out/refused";
    const Outcome o = runas(QStringLiteral("daemon"), bus(), {KOV_RECOVER_BIN, card.node, out});
    EXPECT_EQ(o.status, 3);
    EXPECT_TRUE(o.err.contains(card.node + ": disk open error!")) << o.err.toStdString();
    EXPECT_FALSE(QFileInfo::exists(out));
}

TEST_F(Udisks2, CancelledPasswordPromptOnTheTerminalIsDiskOpenError)
{
    if (!QFileInfo(QStringLiteral("/usr/bin/pkttyagent")).isExecutable())
        KOV_SKIP() << "pkttyagent is not installed";
    const Card& card = cards.first();
    const Outcome o = runonterminal(QStringLiteral("bin"), bus(), {KOV_RECOVER_BIN, "--list", card.node});
    EXPECT_TRUE(o.out.contains("AUTHENTICATING FOR org.freedesktop.udisks2.open-device")) << o.out.toStdString();
    EXPECT_TRUE(o.out.contains("Password:"));
    EXPECT_TRUE(o.out.contains(card.node + ": disk open error!")) << o.out.toStdString();
    EXPECT_EQ(o.status, 3);
}

TEST_F(Udisks2, OutputDirectoryOnTheDeviceIsRefused)
{
    QFile filesystems(QStringLiteral("/proc/filesystems"));
    if (!filesystems.open(QIODevice::ReadOnly) || !filesystems.readAll().contains("\tvfat\n"))
        // A lasting limit of the kernel, not a missing package or right: a
        // plain skip even where every test must run.
        GTEST_SKIP() << "this kernel has no vfat, so the card cannot be mounted";
    const Card& card = cards.first();
    const QString mountpoint = work->path() + "/mnt";
    QDir().mkpath(mountpoint);
    ASSERT_TRUE(runtool(QStringLiteral("mount"), {"-o", "ro", card.node, mountpoint})) << lasterror();
    const Outcome o = runas(QStringLiteral("nobody"), bus(), {KOV_RECOVER_BIN, card.node, mountpoint + "/out"});
    runtool(QStringLiteral("umount"), {mountpoint});
    EXPECT_EQ(o.status, 4);
    EXPECT_TRUE(o.err.contains("Do not save recovered files on the same disk being recovered!")) << o.err.toStdString();
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc > 1 && QByteArray(argv[1]) == "--list-sources")
        return listsources();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
