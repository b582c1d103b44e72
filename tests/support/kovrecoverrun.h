// Runs the kov-recover binary of this build (KOV_RECOVER_BIN, set by the
// test target) as a user would, for the end-to-end tests.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QStringList>

namespace testsupport {

struct CommandOutcome {
    int status = -1;  // exit status; -1 when it did not end normally within 5 minutes
    QByteArray out;
    QByteArray err;
};

inline CommandOutcome kovrecover(const QStringList& args)
{
    QProcess p;
    p.start(QStringLiteral(KOV_RECOVER_BIN), args);
    CommandOutcome o;
    if (!p.waitForFinished(300000))
        return o;
    o.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    o.out = p.readAllStandardOutput();
    o.err = p.readAllStandardError();
    return o;
}

}  // namespace testsupport
