// kov-recover: the recovery engine without a window.
#include "badsectors/mapfile.h"
#include "cli/options.h"
#include "cli/recoverrun.h"
#include "platform/udisks2.h"
#include "platform/volumesource.h"
#include "run/runimage.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <csignal>
#include <unistd.h>

namespace {

// *began: the source was opened and the output folder taken, so that
// the run read the card for its files.
int runwith(const RECOVEROPTIONS& options, bool* began)
{
    *began = false;
    RecoverRun run(stdout, options);
    if (options.listvolumes)
        return run.listvolumes(options.source);
    if (const int status = run.opensource(options.source); status != exitok)
        return status;
    *began = true;
    const int status = options.list ? run.list() : run.recover(options.outdir);
    if (status == exitoutput)
        *began = false;
    return status;
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
        // A regular file alone (a FIFO would wait for a writer), read whole:
        // a map cut short would leave areas out.
        constexpr qint64 mostbytes = 256 << 20;
        QFile map(options.mapfile);
        std::optional<std::vector<badsectors::BYTESPAN>> spans;
        if (QFileInfo(options.mapfile).isFile() && map.open(QIODevice::ReadOnly) && map.size() <= mostbytes) {
            const QByteArray text = map.read(mostbytes + 1);
            if (text.size() <= mostbytes)
                spans = badsectors::unrescued(text);
        }
        if (!spans) {
            std::fprintf(stderr, "kov-recover: %s: not a GNU ddrescue mapfile\n", qPrintable(options.mapfile));
            return exitusage;
        }
        platform::presetunreadable(whole, *spans);
    }
    RUNIMAGE image;
    if (!options.image.isEmpty()) {
        if (const QString why = image.start(options.image, whole); !why.isEmpty()) {
            std::fprintf(stderr, "kov-recover: --image %s: %s\n", qPrintable(options.image), qPrintable(why));
            return exitusage;
        }
    }
    bool began = false;
    const int status = runwith(options, &began);
    // A run refused (a source that is no volume, an output folder it may
    // not use) leaves no image of its few reads to stand in the next one's way.
    if (image.started() && !began)
        image.drop();
    else if (image.started())
        std::fprintf(stderr, "kov-recover: %s\n", qPrintable(image.finish()));
    // An image asked for and not saved whole is something not saved.
    return status == exitok && !image.whole() ? exitsavefailed : status;
}
