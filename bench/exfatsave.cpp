// kov_exfatsave [--deep] IMAGE OUTDIR: recovers an exFAT image through the
// shipped run into OUTDIR (see tests/support/exfatsave.h), for the
// comparison bench; prints the counts, and the notes with -v.
#include "support/exfatsave.h"

#include <QCoreApplication>
#include <QStringList>
#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const bool deep = args.removeAll(QStringLiteral("--deep")) > 0;
    const bool verbose = args.removeAll(QStringLiteral("-v")) > 0;
    if (args.size() != 2) {
        std::fprintf(stderr, "usage: kov_exfatsave [--deep] [-v] IMAGE OUTDIR\n");
        return 2;
    }
    const testsupport::ExfatOutcome o = testsupport::exfatrecover(args[0], args[1], deep);
    if (!o.error.isEmpty()) {
        std::fprintf(stderr, "kov_exfatsave: %s\n", qPrintable(o.error));
        return 3;
    }
    if (verbose)
        for (const QString& note : o.notes)
            std::fprintf(stderr, "note: %s\n", qPrintable(note));
    std::printf("directories %llu, live files %llu, deleted %llu (empty %llu), recovered %llu, dropped %llu, "
                "bad sets %llu, deep scan clusters %llu, records %lld, failed saves %d\n",
                static_cast<unsigned long long>(o.counts.directories),
                static_cast<unsigned long long>(o.counts.livefiles),
                static_cast<unsigned long long>(o.counts.deletedsets),
                static_cast<unsigned long long>(o.counts.empty), static_cast<unsigned long long>(o.counts.found),
                static_cast<unsigned long long>(o.counts.dropped),
                static_cast<unsigned long long>(o.counts.badsets),
                static_cast<unsigned long long>(o.deepclusters), static_cast<long long>(o.files.size()), o.failed);
    return o.failed == 0 ? 0 : 1;
}
