// kov-recover: the recovery engine without a window.
#include "cli/recoverrun.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <csignal>

int main(int argc, char** argv)
{
    // A file-size limit must fail the write (and be reported), not kill us.
    std::signal(SIGXFSZ, SIG_IGN);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("kov-recover"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Recovers deleted files from a FAT16 or FAT32 volume (an image file or a block device),\n"
        "reading it raw and never writing to it.\n\n"
        "  kov-recover SOURCE OUTDIR   save every recoverable deleted file into OUTDIR\n"
        "  kov-recover --list SOURCE   list them (name, size, date, start cluster, runs)\n\n"
        "Exit status: 0 done, 1 some files could not be saved, 2 bad usage,\n"
        "3 SOURCE cannot be opened or is not FAT16/FAT32, 4 OUTDIR cannot be created\n"
        "or lies on SOURCE."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption listoption(QStringList{QStringLiteral("l"), QStringLiteral("list")},
                                        QStringLiteral("List the files a recovery would save; save nothing."));
    parser.addOption(listoption);
    parser.addPositionalArgument(QStringLiteral("SOURCE"), QStringLiteral("Image file or block device."));
    parser.addPositionalArgument(QStringLiteral("OUTDIR"), QStringLiteral("Output directory (not with --list)."));
    if (!parser.parse(app.arguments())) {
        std::fprintf(stderr, "kov-recover: %s\nTry 'kov-recover --help'.\n", qPrintable(parser.errorText()));
        return exitusage;
    }
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(exitok);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();

    const QStringList args = parser.positionalArguments();
    const bool listing = parser.isSet(listoption);
    if (args.size() != (listing ? 1 : 2)) {
        std::fprintf(stderr, "kov-recover: %s\nTry 'kov-recover --help'.\n",
                     listing ? "--list takes exactly one SOURCE" : "expected SOURCE and OUTDIR");
        return exitusage;
    }

    RecoverRun run;
    if (const int status = run.opensource(args[0]); status != exitok)
        return status;
    return listing ? run.list() : run.recover(args[1]);
}
