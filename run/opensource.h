// Opening a source for a run, once for both faces: the volumes a named
// source holds, the layout search over one that lays out none, and the
// chosen volume laid out for the engine (FAT, exFAT or a found layout).
// Outcomes come back as data; each face says them in its own words.
#pragma once

#include "layout/layoutsearch.h"
#include "partitions/partitiontable.h"
#include "platform/volumesource.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

class KOVCore;
class RunEngine;

// A source as named on a command line: a path, and IMAGE:N's partition
// number (0: none). A path that exists as given wins over IMAGE:N.
struct SOURCENAME {
    QString path;
    int partition = 0;
};
SOURCENAME splitsource(const QString& source);

// Why a named source gives no volume.
enum class SOURCEFAULT {
    none,
    unopened,         // the source cannot be opened
    unreadable,       // it opens, but its first sector cannot be read
    nopartitions,     // a bare volume was asked for a partition
    nosuchpartition,  // the partition asked for is not FAT12, FAT16, FAT32 or exFAT
    otherfilesystem,  // no FAT volume inside: libblkid names what it is (why)
    nofatvolume,      // no FAT volume inside, nor any file system libblkid names
    several,          // more than one volume where one was asked for
};

struct SOURCEVOLUMES {
    SOURCEFAULT fault = SOURCEFAULT::none;
    // unopened, unreadable: platform::sourceproblem (may be empty);
    // otherfilesystem: the file system's name.
    QString why;
    // nofatvolume: sector 0 bears a boot signature or a FAT label, though
    // its fields lay out no volume.
    bool bootsector = false;
    // unreadable: sector 0 failed its read (and no backup stood in).
    bool bootunread = false;
    SOURCENAME name;
    // Partitions passed over and why, to be told before the outcome.
    QStringList notes;
    // The volumes found (with several: every one of them), exFAT ones with
    // their labels.
    QList<partitions::FATVOLUME> volumes;
    bool ok() const { return fault == SOURCEFAULT::none; }
    // No FAT volume lies in the source: its layout may still be found.
    bool layoutless() const { return fault == SOURCEFAULT::otherfilesystem || fault == SOURCEFAULT::nofatvolume; }
};

// The FAT12, FAT16, FAT32 and exFAT volumes of the source named (a bare
// volume, IMAGE:N, or the volumes of a partitioned source), which becomes
// the only source, lettered C: whole. With several false, more than one
// volume is a fault. core reads the boot sector.
SOURCEVOLUMES findvolumes(KOVCore& core, const QString& source, bool several);

// Runs search to its end; after each step progress (when given) is asked
// whether to go on. The layouts found, most agreeing first; nullopt when
// progress stopped the search.
std::optional<std::vector<layout::FOUNDLAYOUT>> runlayoutsearch(
    layout::LAYOUTSEARCH& search, const std::function<bool(const layout::LAYOUTSEARCH&)>& progress = {});

// Lays engine's open source out from the first of found, the others kept
// as earlier formats recovered after it. False, nothing laid out, when
// found is empty or its first cannot be laid out.
bool takefoundlayout(RunEngine& engine, const std::vector<layout::FOUNDLAYOUT>& found);

// How openvolume laid a volume out.
enum class VOLUMEOPENED { none, fat, exfat, found };

// Lays out the volume at root (its source lettered) for engine's next
// runs, forgetting any found layout of the last: with fstype 4 (exFAT)
// for the exFAT run, which lays it out itself; else through initdisk,
// whose failures the core tells through showwarning. When that lays out
// no FAT volume: the first of found (layouts found in its data, when any),
// or, with fstype unknown, an exFAT volume as the boot sector says, probed
// only then so that a FAT volume is opened once.
VOLUMEOPENED openvolume(RunEngine& engine, const QString& root, std::optional<std::uint32_t> fstype,
                        const std::vector<layout::FOUNDLAYOUT>& found = {});
