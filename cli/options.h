// The command line of kov-recover, parsed in one place: every option, its
// help text and the rules that combine them.
#pragma once

#include <QString>
#include <QStringList>

struct RECOVEROPTIONS {
    QString source;  // image file or block device, or IMAGE:N
    QString outdir;  // empty with --list and --list-volumes
    bool list = false;
    bool listvolumes = false;
    bool verify = false;         // a content verdict for every file; damaged ones into OUTDIR/damaged/
    bool originalnames = false;  // deleted files under their long names when the slots give them back
    bool json = false;           // with list: one JSON object per line
    bool deep = false;  // also scan the unused clusters for lost directories
    bool carve = false;  // last, carve whole files by their contents from the clusters left
    int retries = 1;     // reads of a sector after the one that failed on it
    QString mapfile;     // SOURCE's ddrescue mapfile; empty when none
    QString image;       // a new file to image SOURCE into as it is read; empty when none
};

// Parses the arguments (program name first). Returns -1 when the run goes
// on with out filled in; otherwise the exit status to end with, after the
// help, the version or a usage error has been printed.
int parseoptions(const QStringList& arguments, RECOVEROPTIONS& out);
