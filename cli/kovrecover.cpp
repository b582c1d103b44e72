// kov-recover: the recovery engine without a window.
#include "badsectors/mapfile.h"
#include "cli/options.h"
#include "cli/recoverrun.h"
#include "platform/udisks2.h"
#include "platform/volumesource.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <csignal>
#include <unistd.h>

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
    // A device we may not open is asked of udisks2; polkit's password
    // prompt then appears on the terminal, if there is one.
    platform::udisks2::settextagent(isatty(STDIN_FILENO) != 0);
    if (!options.mapfile.isEmpty()) {
        QFile map(options.mapfile);
        const auto spans = map.open(QIODevice::ReadOnly) ? badsectors::unrescued(map.read(64 << 20)) : std::nullopt;
        if (!spans) {
            std::fprintf(stderr, "kov-recover: %s: not a GNU ddrescue mapfile\n", qPrintable(options.mapfile));
            return exitusage;
        }
        // The map is of the whole image, also when SOURCE names its partition.
        QString image = options.source;
        static const QRegularExpression partition(QStringLiteral(":[0-9]+$"));
        if (!QFileInfo::exists(image))
            image.remove(partition);
        platform::presetunreadable(image, *spans);
    }
    RecoverRun run(stdout, options);
    if (options.listvolumes)
        return run.listvolumes(options.source);
    if (const int status = run.opensource(options.source); status != exitok)
        return status;
    return options.list ? run.list() : run.recover(options.outdir);
}
