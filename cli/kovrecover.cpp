// kov-recover: the recovery engine without a window.
#include "cli/options.h"
#include "cli/recoverrun.h"

#include <QCoreApplication>

#include <csignal>

int main(int argc, char** argv)
{
    // A file-size limit must fail the write (and be reported), not kill us.
    std::signal(SIGXFSZ, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kov-recover"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0"));

    RECOVEROPTIONS options;
    if (const int status = parseoptions(app.arguments(), options); status >= 0)
        return status;
    RecoverRun run;
    run.deepscan = options.deep;
    if (const int status = run.opensource(options.source); status != exitok)
        return status;
    return options.list ? run.list() : run.recover(options.outdir);
}
