// udisks2 over the system D-Bus: the listing reads the daemon's object tree
// (no device is opened), the opening is Block.OpenForBackup, which polkit
// guards with the same prompt the desktop's disk utility shows.
#include "platform/udisks2.h"

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QStandardPaths>
#include <QVariantMap>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

extern char** environ;

using UdisksInterfaces = QMap<QString, QVariantMap>;
using UdisksObjects = QMap<QDBusObjectPath, UdisksInterfaces>;
Q_DECLARE_METATYPE(UdisksInterfaces)
Q_DECLARE_METATYPE(UdisksObjects)

namespace platform::udisks2 {

namespace {

const QString service = QStringLiteral("org.freedesktop.UDisks2");
const QString blockinterface = QStringLiteral("org.freedesktop.UDisks2.Block");
const QString driveinterface = QStringLiteral("org.freedesktop.UDisks2.Drive");
const QString loopinterface = QStringLiteral("org.freedesktop.UDisks2.Loop");

bool textagent = false;
// The first descriptor udisks2 gave for each object, kept for the life of
// the process: opening the same device again must not ask again.
QMap<QString, int> granted;

// udisks2 sends paths as NUL-terminated byte strings.
QString bytepath(const QVariant& value)
{
    QByteArray bytes = value.toByteArray();
    if (bytes.endsWith('\0'))
        bytes.chop(1);
    return QString::fromLocal8Bit(bytes);
}

// The whole object tree in one call; empty when udisks2 does not answer
// within a few seconds (not installed, not running, no system bus).
UdisksObjects managedobjects()
{
    qDBusRegisterMetaType<UdisksInterfaces>();
    qDBusRegisterMetaType<UdisksObjects>();
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return {};
    const QDBusMessage call = QDBusMessage::createMethodCall(
        service, QStringLiteral("/org/freedesktop/UDisks2"), QStringLiteral("org.freedesktop.DBus.ObjectManager"),
        QStringLiteral("GetManagedObjects"));
    const QDBusReply<UdisksObjects> reply = bus.call(call, QDBus::Block, 10000);
    return reply.isValid() ? reply.value() : UdisksObjects();
}

struct Found {
    VolumeSource source;
    bool removable = false;
};

// The source udisks2 describes with the Block interface of one object.
Found describe(const UdisksObjects& objects, const QDBusObjectPath& object)
{
    const UdisksInterfaces& interfaces = objects[object];
    const QVariantMap block = interfaces.value(blockinterface);
    Found found;
    found.source.path = bytepath(block.value(QStringLiteral("Device")));
    found.source.size = block.value(QStringLiteral("Size")).toULongLong();
    found.source.udisksobject = object.path();
    // udisks2 lists partitions itself, and a whole disk only when FAT sits
    // on it bare: never look for a table (that would open the device).
    found.source.whole = false;
    const QString version = block.value(QStringLiteral("IdVersion")).toString();
    const QString type = block.value(QStringLiteral("IdType")).toString();
    if (type == QLatin1String("vfat"))
        found.source.udiskstype = version == QLatin1String("FAT32")   ? 1
                                  : version == QLatin1String("FAT16") ? 2
                                  : version == QLatin1String("FAT12") ? 5
                                                                      : 3;
    else if (type == QLatin1String("exfat"))
        found.source.udiskstype = 4;

    const QDBusObjectPath drivepath = qvariant_cast<QDBusObjectPath>(block.value(QStringLiteral("Drive")));
    const QVariantMap drive = objects.value(drivepath).value(driveinterface);
    if (!drive.isEmpty()) {
        found.removable = drive.value(QStringLiteral("Removable")).toBool() ||
                          drive.value(QStringLiteral("MediaRemovable")).toBool();
        QStringList words{drive.value(QStringLiteral("Vendor")).toString().trimmed(),
                          drive.value(QStringLiteral("Model")).toString().trimmed()};
        words.removeAll(QString());
        found.source.label = words.join(QLatin1Char(' '));
    } else if (interfaces.contains(loopinterface)) {
        found.source.label = bytepath(interfaces[loopinterface].value(QStringLiteral("BackingFile")));
    }
    return found;
}

// Runs pkttyagent for this process until the returned pid is stopped; 0
// when it cannot be started. Returns once the agent has registered (it
// closes the notify descriptor), so that polkit finds it for our call.
pid_t starttextagent()
{
    const QString agent = QStandardPaths::findExecutable(QStringLiteral("pkttyagent"));
    int ready[2];
    if (agent.isEmpty() || ::pipe2(ready, O_CLOEXEC) != 0)
        return 0;
    const QByteArray program = QFile::encodeName(agent);
    const QByteArray process = QByteArray::number(qint64(::getpid()));
    const QByteArray notify = QByteArray::number(ready[1]);
    // Registered for this process only, not as a fallback: polkit drops a
    // fallback agent when it cannot tell the caller's login session.
    char* argv[] = {const_cast<char*>(program.constData()), const_cast<char*>("--notify-fd"),
                    const_cast<char*>(notify.constData()), const_cast<char*>("--process"),
                    const_cast<char*>(process.constData()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // The write end must survive exec in the agent: dup2 onto itself clears
    // its close-on-exec flag there.
    posix_spawn_file_actions_adddup2(&actions, ready[1], ready[1]);
    pid_t pid = 0;
    const int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(ready[1]);
    if (failed != 0) {
        ::close(ready[0]);
        return 0;
    }
    char byte;
    while (::read(ready[0], &byte, 1) < 0 && errno == EINTR) {
    }
    ::close(ready[0]);
    return pid;
}

void stoptextagent(pid_t pid)
{
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

QList<VolumeSource> fatvolumes()
{
    const UdisksObjects objects = managedobjects();
    QList<Found> found;
    for (auto it = objects.cbegin(); it != objects.cend(); ++it) {
        if (!it.value().contains(blockinterface))
            continue;
        const Found f = describe(objects, it.key());
        if (f.source.udiskstype == 1 || f.source.udiskstype == 2 || f.source.udiskstype == 4 ||
            f.source.udiskstype == 5)
            found.append(f);
    }
    std::stable_sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        return a.removable != b.removable ? a.removable : a.source.path < b.source.path;
    });
    QList<VolumeSource> out;
    for (const Found& f : found)
        out.append(f.source);
    return out;
}

bool available() { return !managedobjects().isEmpty(); }

bool lookup(const QString& devicepath, VolumeSource* out)
{
    // udisks2 names the device node itself, never a link to it.
    const QString node = QFileInfo(devicepath).canonicalFilePath();
    const UdisksObjects objects = managedobjects();
    for (auto it = objects.cbegin(); it != objects.cend(); ++it) {
        if (!it.value().contains(blockinterface))
            continue;
        const Found f = describe(objects, it.key());
        if (!node.isEmpty() && f.source.path == node) {
            *out = f.source;
            return true;
        }
    }
    return false;
}

int openforbackup(const QString& object)
{
    // A kept grant spares the user a second password prompt, as long as it
    // still reads: a stick pulled and plugged in again is a new device
    // behind the same object, and the old descriptor reads nothing.
    if (const int kept = granted.value(object, -1); kept >= 0) {
        unsigned char probe;
        if (::pread(kept, &probe, 1, 0) == 1)
            return ::fcntl(kept, F_DUPFD_CLOEXEC, 0);
        ::close(kept);
        granted.remove(object);
    }
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return -1;
    QDBusMessage call = QDBusMessage::createMethodCall(service, object, blockinterface,
                                                       QStringLiteral("OpenForBackup"));
    call << QVariantMap();
    call.setInteractiveAuthorizationAllowed(true);
    const pid_t agent = textagent ? starttextagent() : 0;
    // The user may take their time over the password.
    const QDBusReply<QDBusUnixFileDescriptor> reply = bus.call(call, QDBus::Block, 5 * 60 * 1000);
    stoptextagent(agent);
    if (!reply.isValid() || !reply.value().isValid())
        return -1;
    // The reply's descriptor closes with it: keep a duplicate.
    const int fd = ::fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    granted.insert(object, fd);
    return ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
}

void settextagent(bool on) { textagent = on; }

}  // namespace platform::udisks2
