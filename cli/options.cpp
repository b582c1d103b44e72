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
        "  kov-recover --list-volumes SOURCE\n"
        "                              list the FAT volumes of SOURCE (partition number,\n"
        "                              0 for a bare volume; offset and size in bytes;\n"
        "                              FAT type; label)\n\n"
        "SOURCE may be a whole card or disk (an image made with dd or ddrescue) holding\n"
        "an MBR or GPT partition table: IMAGE:N names its partition N (MBR: 1-4 primary,\n"
        "5 and up logical; GPT: the entry number). A path that exists as given is always\n"
        "taken whole, even when it ends in :N. Without :N, the one FAT volume inside is\n"
        "used; when there are several, they are listed and nothing is done. Partitions\n"
        "that cannot be read (past the end of the image, not FAT) are named on stderr.\n\n"
        "Exit status: 0 done, 1 some files could not be saved, 2 bad usage,\n"
        "3 SOURCE cannot be opened, is not FAT16/FAT32 or holds several FAT volumes,\n"
        "4 OUTDIR cannot be created or lies on SOURCE."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption list(QStringList{QStringLiteral("l"), QStringLiteral("list")},
                                  QStringLiteral("List the files a recovery would save; save nothing."));
    parser.addOption(list);
    const QCommandLineOption volumes(QStringLiteral("list-volumes"),
                                     QStringLiteral("List the FAT volumes inside SOURCE; recover nothing."));
    parser.addOption(volumes);
    parser.addPositionalArgument(QStringLiteral("SOURCE"),
                                 QStringLiteral("Image file or block device, or IMAGE:N for its partition N."));
    parser.addPositionalArgument(QStringLiteral("OUTDIR"), QStringLiteral("Output directory (not with --list)."));
    if (!parser.parse(arguments))
        return usage(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(exitok);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();

    out.list = parser.isSet(list);
    out.listvolumes = parser.isSet(volumes);
    if (out.list && out.listvolumes)
        return usage(QStringLiteral("--list and --list-volumes exclude each other"));
    const bool onlysource = out.list || out.listvolumes;
    const QStringList args = parser.positionalArguments();
    if (args.size() != (onlysource ? 1 : 2))
        return usage(out.list          ? QStringLiteral("--list takes exactly one SOURCE")
                     : out.listvolumes ? QStringLiteral("--list-volumes takes exactly one SOURCE")
                                       : QStringLiteral("expected SOURCE and OUTDIR"));
    out.source = args[0];
    out.outdir = onlysource ? QString() : args[1];
    return -1;
}
