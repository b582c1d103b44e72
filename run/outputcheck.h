// The checks of the folder a run saves into, once for both faces: made
// before the run, so that one message replaces one per file. Each face
// says the outcome in its own words.
#pragma once

#include <QChar>
#include <QString>

enum class OUTPUTFAULT {
    none,
    sourceitself,  // the path names the source's own image file
    onsource,      // the folder lies on the disk being recovered
    notcreated,    // it could not be made (why: the path and the system's reason)
    notwritable,   // no file can be made in it (why: the system's reason)
};

struct OUTPUTCHECK {
    OUTPUTFAULT fault = OUTPUTFAULT::none;
    QString why;
    // The folder as the run takes it: native separators, ending with one,
    // so that recovered names land inside it.
    QString dir;
    bool ok() const { return fault == OUTPUTFAULT::none; }
};

// Checks path as the output folder of a run over the source lettered
// letter, in this order: not sourcefile itself (when given: the image
// named in place of the folder, a slip of the arguments' order), not on
// the source's disk, made with its parents when missing, and, with probe,
// a file can be made in it.
OUTPUTCHECK checkoutput(const QString& path, QChar letter, const QString& sourcefile, bool probe);
