// The real system services a desktop reaches block devices through, started
// for a test as root and stopped again: a private system bus (its own
// configuration and socket), systemd-udevd (unless the machine runs one),
// udisksd, and polkitd with the test's own rules (bind-mounted over
// /etc/polkit-1/rules.d in a mount namespace of its own, so the machine's
// rules stay untouched). Only one such set runs at a time on a machine: a
// lock file serialises test processes.
#pragma once

#include <QString>
#include <QStringList>

#include <sys/types.h>

namespace testsupport {

class SystemServices {
public:
    ~SystemServices() { stop(); }

    // Starts the services; polkitrules is the text of one rules file. False
    // with reason() set when something cannot run here (not root, a program
    // missing, a service not coming up).
    bool start(const QString& workdir, const QString& polkitrules);
    // Stops what start() started, detaches the loop devices, in reverse order.
    void stop();
    const QString& reason() const { return why; }
    // The private bus, for DBUS_SYSTEM_BUS_ADDRESS.
    const QString& busaddress() const { return address; }

    // Attaches an image read-only to a free loop device and waits until
    // udev has probed it; returns the /dev node, or empty with reason().
    QString attach(const QString& image);
    // Has udev probe a block device made elsewhere (a loop device of the
    // test's own), so that udisksd knows it; false with reason().
    bool announce(const QString& node);

private:
    bool fail(const QString& text);
    pid_t spawn(const QStringList& argv);
    bool waitforname(const QString& name);

    QString why;
    QString address;
    QList<pid_t> started;  // stopped in reverse order
    QStringList loops;
    bool madeudevdir = false;
    bool madeudisksdir = false;
    int lockfd = -1;
};

}  // namespace testsupport
