#include "udisks2/systemservices.h"

#include "support/mtoolsimage.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

extern char** environ;

namespace testsupport {

namespace {

QString firstexisting(const QStringList& paths)
{
    for (const QString& path : paths)
        if (QFileInfo(path).isExecutable())
            return path;
    return {};
}

bool writetext(const QString& path, const QString& text)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(text.toUtf8()) >= 0;
}

// Its own socket; the services' own policies from the system's
// configuration; every user may talk to them, only root may own names.
const char* const busconfiguration = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=%1</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
  <policy user="root"><allow own="*"/></policy>
  <includedir>/usr/share/dbus-1/system.d</includedir>
</busconfig>
)";

}  // namespace

bool SystemServices::fail(const QString& text)
{
    why = text;
    stop();
    return false;
}

pid_t SystemServices::spawn(const QStringList& argv)
{
    std::vector<QByteArray> bytes;
    for (const QString& arg : argv)
        bytes.push_back(QFile::encodeName(arg));
    std::vector<char*> args;
    for (QByteArray& b : bytes)
        args.push_back(b.data());
    args.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0)
        return 0;
    started.append(pid);
    return pid;
}

bool SystemServices::waitforname(const QString& name)
{
    QDBusConnection bus = QDBusConnection::connectToBus(address, QStringLiteral("kov-test-services"));
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 20000) {
        if (bus.isConnected() && bus.interface()->isServiceRegistered(name))
            return true;
        QThread::msleep(100);
    }
    return false;
}

bool SystemServices::start(const QString& workdir, const QString& polkitrules)
{
    if (geteuid() != 0)
        return fail(QStringLiteral("starting udevd, udisksd and polkitd needs root"));
    const QString dbus = firstexisting({"/usr/bin/dbus-daemon", "/bin/dbus-daemon"});
    const QString udevd = firstexisting({"/lib/systemd/systemd-udevd", "/usr/lib/systemd/systemd-udevd"});
    const QString udisksd = firstexisting({"/usr/libexec/udisks2/udisksd", "/usr/lib/udisks2/udisksd"});
    const QString polkitd = firstexisting({"/usr/lib/polkit-1/polkitd", "/usr/libexec/polkitd"});
    if (dbus.isEmpty() || udevd.isEmpty() || udisksd.isEmpty() || polkitd.isEmpty())
        return fail(QStringLiteral("dbus-daemon, systemd-udevd (udev), udisksd (udisks2) or polkitd is not installed"));
    if (!QFileInfo::exists(QStringLiteral("/etc/polkit-1/rules.d")))
        return fail(QStringLiteral("/etc/polkit-1/rules.d is missing"));

    // One set of these services per machine at a time.
    lockfd = ::open("/run/lock/kov-udisks2-test.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockfd < 0 || flock(lockfd, LOCK_EX) != 0)
        return fail(QStringLiteral("cannot take /run/lock/kov-udisks2-test.lock"));

    // polkitd drops to its own user and must read the rules.
    const QString rules = workdir + "/polkit-rules";
    QDir().mkpath(rules);
    ::chmod(QFile::encodeName(workdir).constData(), 0755);
    ::chmod(QFile::encodeName(rules).constData(), 0755);
    const QString busconfig = workdir + "/system-bus.conf";
    const QString socket = workdir + "/system_bus_socket";
    if (!writetext(rules + "/10-kov-test.rules", polkitrules) ||
        !writetext(busconfig, QString::fromLatin1(busconfiguration).arg(socket)))
        return fail(QStringLiteral("cannot write the bus configuration in ") + workdir);

    if (spawn({dbus, "--nofork", "--nopidfile", "--config-file=" + busconfig}) == 0)
        return fail(QStringLiteral("dbus-daemon does not start"));
    address = "unix:path=" + socket;
    QElapsedTimer clock;
    clock.start();
    while (!QFileInfo::exists(socket) && clock.elapsed() < 10000)
        QThread::msleep(50);
    if (!QFileInfo::exists(socket))
        return fail(QStringLiteral("dbus-daemon made no socket"));
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", address.toUtf8());

    // The machine's own udevd, when it runs, already does the work.
    if (!runtool(QStringLiteral("udevadm"), {"control", "--ping", "--timeout=2"})) {
        madeudevdir = !QFileInfo::exists(QStringLiteral("/run/udev"));
        if (spawn({udevd}) == 0)
            return fail(QStringLiteral("systemd-udevd does not start"));
        clock.restart();
        while (!runtool(QStringLiteral("udevadm"), {"control", "--ping", "--timeout=2"}))
            if (clock.elapsed() > 10000)
                return fail(QStringLiteral("systemd-udevd does not answer: ") +
                            QString::fromStdString(lasterror()));
    }
    madeudisksdir = !QFileInfo::exists(QStringLiteral("/run/udisks2"));
    if (spawn({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
               "mount --bind \"$0\" /etc/polkit-1/rules.d && exec \"$1\" --no-debug", rules, polkitd}) == 0 ||
        !waitforname(QStringLiteral("org.freedesktop.PolicyKit1")))
        return fail(QStringLiteral("polkitd does not come up on the private bus"));
    if (spawn({udisksd}) == 0 || !waitforname(QStringLiteral("org.freedesktop.UDisks2")))
        return fail(QStringLiteral("udisksd does not come up on the private bus"));
    return true;
}

QString SystemServices::attach(const QString& image)
{
    QByteArray out;
    if (!runtool(QStringLiteral("losetup"), {"-r", "-f", "--show", image}, &out)) {
        why = QStringLiteral("losetup -r fails: ") + QString::fromStdString(lasterror());
        return {};
    }
    const QString node = QString::fromUtf8(out).trimmed();
    loops.append(node);
    return announce(node) ? node : QString();
}

bool SystemServices::announce(const QString& node)
{
    if (!runtool(QStringLiteral("udevadm"), {"trigger", "--action=change", node}) ||
        !runtool(QStringLiteral("udevadm"), {"settle", "--timeout=20"})) {
        why = QStringLiteral("udevadm trigger/settle fails: ") + QString::fromStdString(lasterror());
        return false;
    }
    return true;
}

void SystemServices::stop()
{
    for (const QString& loop : loops)
        runtool(QStringLiteral("losetup"), {"-d", loop});
    loops.clear();
    for (qsizetype i = started.size() - 1; i >= 0; --i) {
        ::kill(started[i], SIGTERM);
        while (::waitpid(started[i], nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    started.clear();
    if (madeudevdir)
        QDir(QStringLiteral("/run/udev")).removeRecursively();
    if (madeudisksdir)
        QDir(QStringLiteral("/run/udisks2")).removeRecursively();
    madeudevdir = madeudisksdir = false;
    if (lockfd >= 0)
        ::close(lockfd);
    lockfd = -1;
}

}  // namespace testsupport
