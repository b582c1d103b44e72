// kov-recover: the recovery engine without a window.
#include "badsectors/mapfile.h"
#include "cli/options.h"
#include "cli/recoverrun.h"
#include "imaging/imagefile.h"
#include "platform/udisks2.h"
#include "platform/volumesource.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <csignal>
#include <unistd.h>

namespace {

int runwith(const RECOVEROPTIONS& options)
{
    RecoverRun run(stdout, options);
    if (options.listvolumes)
        return run.listvolumes(options.source);
    if (const int status = run.opensource(options.source); status != exitok)
        return status;
    return options.list ? run.list() : run.recover(options.outdir);
}

// Why the image file cannot be made, in the words of the output folder's
// checks; empty when it is being made.
QString imagerefusal(const imaging::IMAGEFILE& image)
{
    switch (image.fault) {
    case imaging::IMAGEFAULT::none:
        return {};
    case imaging::IMAGEFAULT::sourceitself:
        return QStringLiteral("is the source itself: name a new file on another disk");
    case imaging::IMAGEFAULT::onsource:
        return QStringLiteral("Do not save the image on the same disk being recovered!");
    case imaging::IMAGEFAULT::exists:
        return QStringLiteral("it or its .map exists already, and is never replaced: name a new file");
    case imaging::IMAGEFAULT::notcreated:
        return QStringLiteral("Can not create the image (%1)").arg(image.why);
    }
    return {};
}

}  // namespace

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
    // A map or an image is of the whole image, also when SOURCE names its
    // partition.
    QString whole = options.source;
    static const QRegularExpression partition(QStringLiteral(":[0-9]+$"));
    if (!QFileInfo::exists(whole))
        whole.remove(partition);
    if (!options.mapfile.isEmpty()) {
        QFile map(options.mapfile);
        const auto spans = map.open(QIODevice::ReadOnly) ? badsectors::unrescued(map.read(64 << 20)) : std::nullopt;
        if (!spans) {
            std::fprintf(stderr, "kov-recover: %s: not a GNU ddrescue mapfile\n", qPrintable(options.mapfile));
            return exitusage;
        }
        platform::presetunreadable(whole, *spans);
    }
    imaging::IMAGEFILE image;
    if (!options.image.isEmpty()) {
        image = imaging::startimage(options.image, whole);
        if (const QString why = imagerefusal(image); !why.isEmpty()) {
            std::fprintf(stderr, "kov-recover: --image %s: %s\n", qPrintable(options.image), qPrintable(why));
            return exitusage;
        }
    }
    const int status = runwith(options);
    if (!options.image.isEmpty()) {
        const QString failed = imaging::finishimage(&image);
        if (const QString fault = platform::imagefault(); !fault.isEmpty())
            std::fprintf(stderr, "kov-recover: imaging stopped, %s could not be written (%s): it holds what was read before\n",
                         qPrintable(options.image), qPrintable(fault));
        if (!failed.isEmpty())
            std::fprintf(stderr, "kov-recover: the image's map could not be written: %s\n", qPrintable(failed));
        else
            std::fprintf(stderr, "kov-recover: the image of what was read: %s, its map %s.map (a GNU ddrescue mapfile)\n",
                         qPrintable(options.image), qPrintable(options.image));
    }
    return status;
}
