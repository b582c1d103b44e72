#include "support/badblockdevice.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace testsupport {

namespace {

// The largest request FUSE sends the server (256 pages).
const QByteArray fusemaxkb = "1024";

QString maxkbpath(const QString& dev)
{
    return "/sys/block/" + QFileInfo(dev).fileName() + "/queue/max_sectors_kb";
}

QByteArray readsmall(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.read(1 << 20) : QByteArray();
}

bool writesmall(const QString& path, const QByteArray& data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size() && f.flush();
}

}  // namespace

bool BadBlockDevice::available(QString* why)
{
    if (geteuid() != 0)
        *why = "loop devices need root";
    else if (access("/dev/fuse", R_OK | W_OK) != 0)
        *why = "no /dev/fuse";
    else if (access("/dev/loop-control", R_OK | W_OK) != 0)
        *why = "no /dev/loop-control";
    else
        return true;
    return false;
}

BadBlockDevice::BadBlockDevice(const QString& image, const std::vector<SectorRange>& bad, std::uint64_t pace)
{
    if (!available(&reason))
        return;
    if (!startserver(image, bad, pace) || !attach())
        teardown();
}

BadBlockDevice::~BadBlockDevice() { teardown(); }

bool BadBlockDevice::startserver(const QString& image, const std::vector<SectorRange>& bad, std::uint64_t pace)
{
    QByteArray where = (QDir::tempPath() + "/kovbadblocks-XXXXXX").toLocal8Bit();
    if (!mkdtemp(where.data())) {
        reason = "mkdtemp: " + QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    mountdir = QString::fromLocal8Bit(where);
    QStringList args;
    for (const SectorRange& r : bad)
        args << "--bad" << QString("%1-%2").arg(r.first).arg(r.last);
    if (pace != 0)
        args << "--pace" << QString::number(pace);
    args << image << mountdir;
    // The server ends (and so unmounts) when this thread does, however.
    server.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGTERM); });
    server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    server.start(QStringLiteral(KOV_BADBLOCKS_BIN), args);
    QByteArray said;
    while (!said.contains('\n') && server.waitForReadyRead(10000))
        said += server.readAllStandardOutput();
    if (said.trimmed() != "mounted") {
        reason = "kov_badblocks did not mount: " + QString::fromLocal8Bit(said) + server.errorString();
        return false;
    }
    return true;
}

bool BadBlockDevice::attach()
{
    const int backing = open(QFile::encodeName(mountdir + "/card").constData(), O_RDONLY | O_CLOEXEC);
    const int control = open("/dev/loop-control", O_RDWR | O_CLOEXEC);
    // Another process may take the free device between asking and binding.
    for (int attempt = 0; attempt < 16 && backing >= 0 && control >= 0 && loopfd < 0; ++attempt) {
        const int n = ioctl(control, LOOP_CTL_GET_FREE);
        if (n < 0)
            break;
        const QString dev = "/dev/loop" + QString::number(n);
        const int fd = open(QFile::encodeName(dev).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        loop_config config{};
        config.fd = std::uint32_t(backing);
        config.block_size = 512;
        config.info.lo_flags = LO_FLAGS_READ_ONLY | LO_FLAGS_AUTOCLEAR | LO_FLAGS_DIRECT_IO;
        if (ioctl(fd, LOOP_CONFIGURE, &config) == 0) {
            device = dev;
            loopfd = fd;
        } else {
            reason = "LOOP_CONFIGURE: " + QString::fromLocal8Bit(std::strerror(errno));
            close(fd);
        }
    }
    if (backing >= 0)
        close(backing);
    if (control >= 0)
        close(control);
    if (loopfd < 0) {
        if (reason.isEmpty())
            reason = "no free loop device";
        return false;
    }
    oldmaxkb = QString::fromLatin1(readsmall(maxkbpath(device)).trimmed());
    if (!writesmall(maxkbpath(device), fusemaxkb)) {
        reason = "cannot cap " + maxkbpath(device);
        return false;
    }
    // A udevd (the udisks2 tests start one) probes a new device: its reads
    // are not the test's.
    if (QFileInfo::exists("/run/udev/control"))
        QProcess::execute("udevadm", {"settle", "--timeout=10"});
    baseline = servercounts();
    reason.clear();
    return true;
}

void BadBlockDevice::teardown()
{
    if (loopfd >= 0) {
        // Put back what the device had for whoever binds it next, while it
        // is still ours.
        if (!oldmaxkb.isEmpty())
            writesmall(maxkbpath(device), oldmaxkb.toLatin1());
        close(loopfd);
        loopfd = -1;
        // The last close detaches it; the mount is busy until then.
        const QString backing = "/sys/block/" + QFileInfo(device).fileName() + "/loop/backing_file";
        for (int i = 0; i < 500 && QFileInfo::exists(backing); ++i)
            QThread::msleep(10);
    }
    if (server.state() != QProcess::NotRunning) {
        server.terminate();
        if (!server.waitForFinished(10000)) {
            server.kill();
            server.waitForFinished(5000);
        }
    }
    if (!mountdir.isEmpty()) {
        QDir().rmdir(mountdir);
        mountdir.clear();
    }
}

BadBlockCounts BadBlockDevice::counts() const
{
    BadBlockCounts c = servercounts();
    if (c.reads < baseline.reads)  // unreadable: counts never fall
        return {};
    c.reads -= baseline.reads;
    c.bytes -= baseline.bytes;
    c.failed -= baseline.failed;
    for (const auto& [sector, times] : baseline.asked)
        if ((c.asked[sector] -= times) == 0)
            c.asked.erase(sector);
    return c;
}

BadBlockCounts BadBlockDevice::servercounts() const
{
    BadBlockCounts c;
    if (mountdir.isEmpty())
        return c;
    const QList<QByteArray> lines = readsmall(mountdir + "/stats").split('\n');
    for (const QByteArray& line : lines) {
        const QList<QByteArray> f = line.split(' ');
        if (f.size() == 2 && f[0] == "reads")
            c.reads = f[1].toULongLong();
        else if (f.size() == 2 && f[0] == "bytes")
            c.bytes = f[1].toULongLong();
        else if (f.size() == 2 && f[0] == "failed")
            c.failed = f[1].toULongLong();
        else if (f.size() == 2 && f[0] == "largest")
            c.largest = f[1].toULongLong();
        else if (f.size() == 3 && f[0] == "bad")
            c.asked[f[1].toULongLong()] = f[2].toUInt();
    }
    return c;
}

}  // namespace testsupport
