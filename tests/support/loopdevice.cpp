#include "support/loopdevice.h"

#include <QProcess>

namespace testsupport {

QString attachloop(const QString& image, const QStringList& extra)
{
    QProcess p;
    p.start("losetup", QStringList{"-r", "-f", "--show"} + extra + QStringList{image});
    if (!p.waitForFinished(20000) || p.exitCode() != 0)
        return {};
    return QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
}

void detachloop(const QString& dev)
{
    if (dev.isEmpty())
        return;
    QProcess::execute("partx", {"-d", dev});
    QProcess::execute("losetup", {"-d", dev});
}

}  // namespace testsupport
