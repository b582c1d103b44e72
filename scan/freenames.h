// The "(n)" search of one run: name, name(1), name(2) ... in one folder,
// the first that nothing on disk has. The number to go on from is kept per
// (folder, name), so that many equal names cost one test each instead of
// one per earlier copy; every candidate is still tested on disk, so a name
// that appeared meanwhile is passed over.
#pragma once

#include "platform/volumesource.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <cstdint>
#include <functional>

class FREENAMES {
public:
    using TEST = std::function<platform::PathState(const QString& name)>;

    // name, or name + "(n)" for the first n (from 1, or from the number
    // kept for folder and name) that test calls free and that is not
    // reserved. Empty when test answers unknown (nothing can be created
    // there) or namesearchlimit names in a row are taken.
    QString pick(const QString& folder, const QString& name, const TEST& test);

    // From now on name counts as taken in folder: a folder of the run's own
    // chosen before it is made.
    void reserve(const QString& folder, const QString& name);
    bool reserved(const QString& folder, const QString& name) const;

    // Forgets the numbers and the reserved names (a new run).
    void clear();

private:
    static QString key(const QString& folder, const QString& name);
    // folder + NUL + name -> the next number to try. Only names that needed
    // a number are kept: a name free at once costs one test anyway.
    QHash<QString, int> next;
    QSet<QString> held;
    std::uint64_t keptbytes = 0;
};
