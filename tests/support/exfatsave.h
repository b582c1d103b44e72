// One recovery of an exFAT image through the shipped run (RUN, as
// kov-recover drives it): the walk and, with deep, the scan of the free
// clusters, each file saved by the run's saver under its folder and name,
// "(n)" on conflicts, with its modification time. What the run reported of
// it comes back. Used by the tests and by the comparison bench
// (kov_exfatsave).
#pragma once

#include "exfat/rebuild.h"
#include "exfat/walk.h"
#include "output/saverecord.h"

#include <QList>
#include <QString>
#include <QStringList>

namespace testsupport {

// One file the run settled, in its order (walk then deep scan).
struct ExfatRecord {
    QString name;  // the name the saver chose, before any "(n)"
    exfat::REBUILD rebuild = exfat::REBUILD::contiguous;  // how its clusters were found
    SAVERECORD record;
};

struct ExfatOutcome {
    QString error;  // the volume cannot be read: why; empty otherwise
    QStringList notes;  // the volume's, the walk's, the deep scan's
    exfat::WALKCOUNTS counts;
    QList<ExfatRecord> files;  // every file settled
    QStringList paths;         // where each was written, relative to the output; empty when not
    int failed = 0;            // saves that did not write the whole file
    std::uint64_t deepclusters = 0; // clusters the deep scan read
};

// Opens image read-only as the only source and runs it (with deep: the
// deep scan too) into outdir (created), or lists it when outdir is empty.
ExfatOutcome exfatrecover(const QString& image, const QString& outdir, bool deep = false);

}  // namespace testsupport
