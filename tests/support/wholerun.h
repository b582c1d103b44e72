// One whole recovery of an image through the run the window holds (its end
// told as the window tells it), with what it showed and left: the harness
// of the tests on damaged volumes and output faults.
#pragma once

#include "model/kovcore.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QStringList>

#include <functional>

namespace testsupport {

// Far above the ticks a test volume needs; reaching it means the run does
// not end.
constexpr long wholeruntickcap = 200000;

struct RunOutcome {
    bool listed = false;  // the image was listed as a FAT volume
    long ticks = -1;      // -1: not run, or not ended within the cap
    QStringList warnings;
    QStringList informations;
    QMap<QString, QByteArray> files;  // outputfiles() of the output directory
    RUNSTATS stats;
};

// Everything directly in dir by name: a plain file's contents, "<not a file>"
// for anything else or what cannot be read.
QMap<QString, QByteArray> outputfiles(const QString& dir);

// Lists image as the only source; when it is listed, opens it as C:\ for
// the run, shows the opened engine to opened, and runs every phase of the
// default run into out (made when missing), at most wholeruntickcap steps.
// Fails the calling test when the run cannot be set up or the image changed.
RunOutcome wholerun(const QString& image, const QString& out,
                    const std::function<void(const KOVCore&)>& opened = {});

// The run was made, ended, and ended with the one end notice.
void expectended(const RunOutcome& o);

}  // namespace testsupport
