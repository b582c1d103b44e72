// Until kov-recover opens exFAT volumes: one recovery of an exFAT image
// through the exfat engine's own API, each record saved with the engine's
// save path (FILEPARM::saveas over the volume's DISKPARM) under its folder
// and name, "(n)" on conflicts, with its modification time to the 10 ms.
// Used by the tests and by the comparison bench (kov_exfatsave).
#pragma once

#include "exfat/walk.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace testsupport {

struct ExfatOutcome {
    QString error;  // the volume cannot be read: why; empty otherwise
    QStringList notes;  // the volume's, the walk's, the deep scan's
    exfat::WALKCOUNTS counts;
    QList<exfat::EXFATFILE> files;  // every record, walk then deep scan
    QStringList paths;              // where each was written, relative to the output; empty when not
    int failed = 0;                 // saves that did not write the whole file
    std::uint64_t deepclusters = 0; // clusters the deep scan read
};

// Opens image read-only, walks it and (with deep) scans its free clusters,
// saving into outdir (created) unless outdir is empty; once the files saved
// would pass savebudget bytes, the rest are only listed.
ExfatOutcome exfatrecover(const QString& image, const QString& outdir, bool deep = false,
                          std::uint64_t savebudget = ~std::uint64_t(0));

}  // namespace testsupport
