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
        "Recovers deleted files from a FAT16, FAT32 or exFAT volume (an image file or a block\n"
        "device), "
        "reading it raw and never writing to it.\n\n"
        "On exFAT, deleted files come back under their full names (first character\n"
        "included) with their modification time to the 10 ms; files of deleted folders\n"
        "go below OUTDIR in that folder's path.\n\n"
        "  kov-recover SOURCE OUTDIR   save every recoverable deleted file into OUTDIR\n"
        "  kov-recover --list SOURCE   list them (name, size, date, start cluster, runs)\n"
        "  kov-recover --list-volumes SOURCE\n"
        "                              list the volumes of SOURCE (partition number,\n"
        "                              0 for a bare volume; offset and size in bytes;\n"
        "                              FAT16, FAT32 or exFAT; label)\n\n"
        "SOURCE may be a whole card or disk (an image made with dd or ddrescue) holding\n"
        "an MBR or GPT partition table: IMAGE:N names its partition N (MBR: 1-4 primary,\n"
        "5 and up logical; GPT: the entry number). A path that exists as given is always\n"
        "taken whole, even when it ends in :N. Without :N, the one volume inside is\n"
        "used; when there are several, they are listed and nothing is done. Partitions\n"
        "that cannot be read (past the end of the image, not FAT or exFAT) are named on\n"
        "stderr.\n\n"
        "With --verify every file gets a verdict from a check of its contents against its\n"
        "format (told by its first bytes, else by its extension): verified (every check\n"
        "passes), damaged (a check fails; the file is still written, into OUTDIR/damaged/)\n"
        "or unchecked (no check for the type). Checked: JPEG (full decode), PNG (chunk\n"
        "CRCs, IEND), GIF (blocks to the trailer), BMP (size fields), ZIP and formats on it\n"
        "(docx, xlsx, odt, jar, epub ...: end record, central directory, local headers,\n"
        "entry CRCs up to 32 MiB), gzip (inflate, CRC, size), PDF (header, %%EOF,\n"
        "startxref), RIFF/WAV/AVI (chunk sizes), MP4/MOV/3GP (top-level boxes), MP3 (frame\n"
        "chain after ID3), OLE2 doc/xls/ppt (header, sector chains), text (no NUL, UTF-8\n"
        "or single-byte). On FAT32 a dropped file whose start cluster's high word was\n"
        "erased, or a damaged one that does not begin as its format does, gets a second\n"
        "chance: every other high word whose start and rebuilt runs are free and no saved\n"
        "file's is tried, and the one contents that verifies, if exactly one does, is\n"
        "taken (\"start chosen by content\"); the estimate's file stays in damaged/.\n\n"
        "--list --json prints one JSON object per line with: name (the name a save uses),\n"
        "longname (the original long name, with --original-names, when known), shortname\n"
        "(the short name with its first character given back, likewise), size (bytes),\n"
        "modified (last-write time, ISO 8601, local time as FAT keeps it), start (start\n"
        "cluster), highestimated (FAT32 high word erased and estimated), runs (list of\n"
        "{cluster, clusters}: first FAT cluster and length), verdict (with --verify),\n"
        "startbycontent (the start cluster was chosen by content) and estimatedstart\n"
        "(the estimate it replaced, only then); on exFAT also nofatchain (the file was\n"
        "stored contiguously), which --list shows after the runs (nofatchain or fatchain);\n"
        "for a carved file (--carve) type (its extension) and verdict (verified).\n\n"
        "  kov-recover --deep SOURCE OUTDIR\n"
        "                              also bring back whole deleted or formatted folders\n"
        "  kov-recover --deep --carve SOURCE OUTDIR\n"
        "                              and then files whose entries are gone, by contents\n\n"
        "Exit status: 0 done, 1 some files could not be saved, 2 bad usage,\n"
        "3 SOURCE cannot be opened, is not FAT16, FAT32 or exFAT, or holds several volumes,\n"
        "4 OUTDIR cannot be created or lies on SOURCE."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption list(QStringList{QStringLiteral("l"), QStringLiteral("list")},
                                  QStringLiteral("List the files a recovery would save; save nothing."));
    parser.addOption(list);
    const QCommandLineOption volumes(QStringLiteral("list-volumes"),
                                     QStringLiteral("List the FAT and exFAT volumes inside SOURCE; recover nothing."));
    parser.addOption(volumes);
    parser.addPositionalArgument(QStringLiteral("SOURCE"),
                                 QStringLiteral("Image file or block device, or IMAGE:N for its partition N."));
    const QCommandLineOption verify(QStringLiteral("verify"),
                                    QStringLiteral("Check contents and set damaged files apart: check every "
                                                   "file's contents against its format; write damaged files "
                                                   "into OUTDIR/damaged/. Costs a second read of every file."));
    parser.addOption(verify);
    const QCommandLineOption originalnames(
        QStringLiteral("original-names"),
        QStringLiteral("Use original long names: save deleted files under their original long names when the "
                       "directory still holds "
                       "them; others, and names too long for the output, keep the kNAME.EXT name."));
    parser.addOption(originalnames);
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("With --list: one JSON object per file and line."));
    parser.addOption(json);
    const QCommandLineOption deep(
        QStringLiteral("deep"),
        QStringLiteral("Search lost folders and formatted cards: after the usual passes, read the clusters\n"
                       "no file uses (as long as copying the free space) and find the directories lost\n"
                       "there: folders deleted whole, cards that were quick-formatted. Their files go to\n"
                       "OUTDIR/lost/<folder path>/ (a folder whose name is lost is dirNNNNN, after its\n"
                       "first cluster); files of directory pieces that fit nowhere go to\n"
                       "OUTDIR/lost/orphans/. With --list, lists them with that path. A path keeps the\n"
                       "top of its tree: files of folders more than 32 levels down, or too deep for the\n"
                       "system's path limit, go into the deepest folder kept. A folder name that a file\n"
                       "or a symbolic link has takes (1), (2) ...; no link below OUTDIR is followed.\n"
                       "A SOURCE without a boot sector is laid out from its directories (the cluster size\n"
                       "and data start most of them agree on) and all its files go to OUTDIR/lost/; the\n"
                       "directories of an earlier format with another geometry go to\n"
                       "OUTDIR/lost/earlier-layout-<cluster size>/."));
    parser.addOption(deep);
    const QCommandLineOption carve(
        QStringLiteral("carve"),
        QStringLiteral("Find files whose directory entries are gone by their contents: after the other "
                       "passes, read the clusters no file uses, no saved file holds and no directory "
                       "holds (once more as long as copying the free space), and take every one that "
                       "begins as a JPEG, PNG, GIF, BMP, ZIP (docx, xlsx, odt, epub ...), gzip, PDF, "
                       "RIFF (WAV, AVI, WebP), MP4/MOV/3GP, MP3 with an ID3 tag, OLE2 (doc, xls, "
                       "ppt), camera RAW (CR2, NEF, ARW, DNG, ORF, RW2, PEF, SRW, IIQ and other TIFF, "
                       "RAF, CRW, CR3) or MPEG transport stream (MTS, M2TS, TS) file does; read on "
                       "contiguously, its end comes from the format's own structure, and it is saved "
                       "only when the content check passes over exactly those bytes (at most 256 MiB). "
                       "Carved files go to OUTDIR/lost/carved/<type>/fNNNNNNN.<type>, named after their "
                       "first cluster; a photo with an EXIF DateTimeOriginal (a JPEG, or a RAW file) "
                       "takes it as its modification time, and the RAW file and the JPEG of one shot "
                       "(the same DateTimeOriginal, sub-second and camera serial, or make and model) "
                       "are saved side by side: the second one found goes into the first one's folder "
                       "under its name, with its own extension. A file "
                       "equal to one saved before is not written again; starts that fail are counted "
                       "in the summary. With --list, lists them; --json adds type (and verdict)."));
    parser.addOption(carve);
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
    out.verify = parser.isSet(verify);
    out.originalnames = parser.isSet(originalnames);
    out.json = parser.isSet(json);
    if (out.json && !out.list)
        return usage(QStringLiteral("--json only goes with --list"));
    out.deep = parser.isSet(deep);
    out.carve = parser.isSet(carve);
    const QStringList args = parser.positionalArguments();
    if (args.size() != (onlysource ? 1 : 2))
        return usage(out.list          ? QStringLiteral("--list takes exactly one SOURCE")
                     : out.listvolumes ? QStringLiteral("--list-volumes takes exactly one SOURCE")
                                       : QStringLiteral("expected SOURCE and OUTDIR"));
    out.source = args[0];
    out.outdir = onlysource ? QString() : args[1];
    return -1;
}
