#include "run/outputcheck.h"

#include "platform/outputfolder.h"
#include "platform/volumesource.h"

#include <QDir>
#include <QFileInfo>

OUTPUTCHECK checkoutput(const QString& path, QChar letter, const QString& sourcefile, bool probe)
{
    OUTPUTCHECK c;
    c.dir = QDir::toNativeSeparators(path);
    if (!c.dir.endsWith(QDir::separator()))
        c.dir += QDir::separator();
    if (!sourcefile.isEmpty()) {
        const QFileInfo out(path), in(sourcefile);
        if (out.exists() && !out.isDir() && in.exists() && out.canonicalFilePath() == in.canonicalFilePath()) {
            c.fault = OUTPUTFAULT::sourceitself;
            return c;
        }
    }
    // A Linux path's first character says nothing about the drive letter of
    // the source (a relative "data/out" is fine beside "D:\"); the device
    // the folder lies on is what keeps writes off the source.
    if (platform::directoryonsource(c.dir, letter)) {
        c.fault = OUTPUTFAULT::onsource;
        return c;
    }
    if (c.why = platform::makeoutput(c.dir); !c.why.isEmpty()) {
        c.fault = OUTPUTFAULT::notcreated;
        return c;
    }
    if (probe && !(c.why = platform::probeoutput(c.dir)).isEmpty())
        c.fault = OUTPUTFAULT::notwritable;
    return c;
}
