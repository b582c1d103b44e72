#include "cli/options.h"
#include "cli/recoverrun.h"

#include <QCommandLineParser>

#include <cstdio>

namespace {

int usage(const QString& text)
{
    std::fprintf(stderr, "kov-recover: %s\nTry 'kov-recover --help'.\n", qPrintable(text));
    return exitusage;
}

}  // namespace

int parseoptions(const QStringList& arguments, RECOVEROPTIONS& out)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Recovers deleted files from a FAT16 or FAT32 volume (an image file or a block device),\n"
        "reading it raw and never writing to it.\n\n"
        "  kov-recover SOURCE OUTDIR   save every recoverable deleted file into OUTDIR\n"
        "  kov-recover --list SOURCE   list them (name, size, date, start cluster, runs)\n"
        "  kov-recover --deep SOURCE OUTDIR\n"
        "                              also bring back whole deleted or formatted folders\n\n"
        "Exit status: 0 done, 1 some files could not be saved, 2 bad usage,\n"
        "3 SOURCE cannot be opened or is not FAT16/FAT32, 4 OUTDIR cannot be created\n"
        "or lies on SOURCE."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption list(QStringList{QStringLiteral("l"), QStringLiteral("list")},
                                  QStringLiteral("List the files a recovery would save; save nothing."));
    parser.addOption(list);
    const QCommandLineOption deep(
        QStringLiteral("deep"),
        QStringLiteral("After the usual passes, read the clusters no file uses and find the directories lost\n"
                       "there: folders deleted whole, cards that were quick-formatted. Their files go to\n"
                       "OUTDIR/lost/<folder path>/ (a folder whose name is lost is dirNNNNN, after its\n"
                       "first cluster); files of directory pieces that fit nowhere go to\n"
                       "OUTDIR/lost/orphans/. With --list, lists them with that path."));
    parser.addOption(deep);
    parser.addPositionalArgument(QStringLiteral("SOURCE"), QStringLiteral("Image file or block device."));
    parser.addPositionalArgument(QStringLiteral("OUTDIR"), QStringLiteral("Output directory (not with --list)."));
    if (!parser.parse(arguments))
        return usage(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(exitok);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();

    out.list = parser.isSet(list);
    out.deep = parser.isSet(deep);
    const QStringList args = parser.positionalArguments();
    if (args.size() != (out.list ? 1 : 2))
        return usage(out.list ? QStringLiteral("--list takes exactly one SOURCE")
                              : QStringLiteral("expected SOURCE and OUTDIR"));
    out.source = args[0];
    out.outdir = out.list ? QString() : args[1];
    return -1;
}
