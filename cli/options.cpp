#include "cli/options.h"
#include "cli/recoverrun.h"
#include "run/runoptions.h"

#include <QCommandLineParser>

#include <cstdio>

namespace {

// After the options and arguments: what the exit status says, and where
// the rest is told.
const char* const epilogue =
    "\n"
    "Exit status:\n"
    "  0    done: every file found was saved\n"
    "  1    the run ended, but some files (or the --image) could not be saved\n"
    "  2    bad usage\n"
    "  3    SOURCE cannot be opened or is not FAT12, FAT16, FAT32 or exFAT\n"
    "       (or it holds several volumes: name one as IMAGE:N)\n"
    "  4    OUTDIR cannot be created or written, or lies on SOURCE\n"
    "  130  stopped by Ctrl-C (143: by SIGTERM); the file being written is removed\n"
    "\n"
    "The options in full, the verdicts and the JSON fields: man kov-recover\n";

int usage(const QString& text)
{
    std::fprintf(stderr, "kov-recover: %s\nTry 'kov-recover --help'.\n", qPrintable(text));
    return exitusage;
}

}  // namespace

int parseoptions(const QStringList& arguments, RECOVEROPTIONS& out)
{
    QCommandLineParser parser;
    // Help for a person who just lost files: what the program does, the
    // three ways it is used, then one line per option. The rules behind
    // the options (verdicts, JSON fields, how paths are kept) are in the
    // man page, which help2man makes from this text and kov-recover.h2m.
    parser.setApplicationDescription(QStringLiteral(
        "Brings back deleted files from a FAT12, FAT16, FAT32 or exFAT volume.\n"
        "SOURCE (a card, a stick or an image of one) is read raw, never written to.\n"
        "The files go into OUTDIR, which must be on another disk.\n"
        "\n"
        "Deleted photos and files\n"
        "  $ kov-recover /dev/sdb1 ~/recovered\n"
        "A formatted card, or folders deleted whole\n"
        "  $ kov-recover --deep --carve /dev/sdb1 ~/recovered\n"
        "A failing card (read errors, slowness): image it, then use the image\n"
        "  $ ddrescue /dev/sdb card.img card.map\n"
        "  $ kov-recover --mapfile card.map card.img ~/recovered\n"
        "or image it while recovering, so that it is read once\n"
        "  $ kov-recover --deep --image ~/card.img /dev/sdb ~/recovered\n"
        "\n"
        "SOURCE may be a whole card or its image: IMAGE:N names its partition N.\n"
        "A card only root may read is opened through udisks2, after you authenticate."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption list(QStringList{QStringLiteral("l"), QStringLiteral("list")},
                                  QStringLiteral("List the files a recovery would save; save nothing."));
    parser.addOption(list);
    const QCommandLineOption volumes(QStringLiteral("list-volumes"),
                                     QStringLiteral("List the volumes inside SOURCE; recover nothing."));
    parser.addOption(volumes);
    parser.addPositionalArgument(QStringLiteral("SOURCE"),
                                 QStringLiteral("Image file or block device, or IMAGE:N for its partition N."));
    const QCommandLineOption deep(QStringLiteral("deep"),
                                  QStringLiteral("%1 (into lost/).")
                                      .arg(QLatin1String(deepchoice)));
    parser.addOption(deep);
    const QCommandLineOption carve(QStringLiteral("carve"),
                                   QStringLiteral("%1.").arg(QLatin1String(carvechoice)));
    parser.addOption(carve);
    const QCommandLineOption verify(QStringLiteral("verify"),
                                    QStringLiteral("%1 (damaged/).").arg(QLatin1String(verifychoice)));
    parser.addOption(verify);
    const QCommandLineOption originalnames(QStringLiteral("original-names"),
                                           QStringLiteral("%1, where the card still has them.")
                                               .arg(QLatin1String(nameschoice)));
    parser.addOption(originalnames);
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("With --list: one JSON object per file and line."));
    parser.addOption(json);
    const QCommandLineOption retries(QStringLiteral("retries"),
                                     QStringLiteral("Read an unreadable sector N times more (0-16, default 1)."),
                                     QStringLiteral("N"), QStringLiteral("1"));
    parser.addOption(retries);
    const QCommandLineOption mapfile(QStringLiteral("mapfile"),
                                     QStringLiteral("SOURCE's ddrescue map: its unrescued areas are unreadable."),
                                     QStringLiteral("FILE"));
    parser.addOption(mapfile);
    const QCommandLineOption image(QStringLiteral("image"),
                                   QStringLiteral("%1: FILE (new) and FILE.map.").arg(QLatin1String(imagechoice)),
                                   QStringLiteral("FILE"));
    parser.addOption(image);
    parser.addPositionalArgument(QStringLiteral("OUTDIR"), QStringLiteral("Output directory (not with --list)."));
    if (!parser.parse(arguments))
        return usage(parser.errorText());
    if (parser.isSet(QStringLiteral("help"))) {
        std::fputs(qPrintable(parser.helpText() + QString::fromLatin1(epilogue)), stdout);
        return exitok;
    }
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();

    out.list = parser.isSet(list);
    out.listvolumes = parser.isSet(volumes);
    if (out.list && out.listvolumes)
        return usage(QStringLiteral("--list and --list-volumes exclude each other"));
    const bool onlysource = out.list || out.listvolumes;
    out.verify = parser.isSet(verify);
    out.originalnames = parser.isSet(originalnames);
    out.json = parser.isSet(json);
    if (out.json && !out.list)
        return usage(QStringLiteral("--json only goes with --list"));
    out.deep = parser.isSet(deep);
    out.carve = parser.isSet(carve);
    bool number = false;
    out.retries = parser.value(retries).toInt(&number);
    if (!number || out.retries < 0 || out.retries > 16)
        return usage(QStringLiteral("--retries takes a number from 0 to 16"));
    out.mapfile = parser.value(mapfile);
    out.image = parser.value(image);
    const QStringList args = parser.positionalArguments();
    if (args.size() != (onlysource ? 1 : 2))
        return usage(out.list          ? QStringLiteral("--list takes exactly one SOURCE")
                     : out.listvolumes ? QStringLiteral("--list-volumes takes exactly one SOURCE")
                                       : QStringLiteral("expected SOURCE and OUTDIR"));
    out.source = args[0];
    out.outdir = onlysource ? QString() : args[1];
    return -1;
}
