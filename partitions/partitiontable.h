// The FAT volumes inside a partition table: whole-card images and whole
// disks whose partitions the system does not list. Tables are read with
// libblkid (MBR with extended and logical partitions, GPT); each partition
// is then judged by its own boot sector, never by its type code.
#pragma once

#include "platform/volumesource.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <cstdint>

namespace partitions {

// Tells the type code of a boot sector (1 FAT32, 2 FAT16, 4 exFAT, 5 FAT12; the buffer holds
// at least 512 bytes). The caller passes the engine's classifier, so that
// this layer sits below the volume code that lists the sources.
using CLASSIFIER = std::uint32_t (*)(const unsigned char* sector);

// The type codes of the volumes KOV recovers from: 1 FAT32, 2 FAT16, 4 exFAT, 5 FAT12.
inline bool recoverabletype(std::uint32_t type) { return type == 1 || type == 2 || type == 4 || type == 5; }

// One partition of a table, in the table's order.
struct PARTITIONENTRY {
    int number = 0;            // as the table numbers it: MBR 1-4 primary, 5... logical; GPT entry
    std::uint64_t offset = 0;  // bytes from the start of the disk
    std::uint64_t size = 0;    // bytes that can be read (clipped at the end of the disk)
};

// Notes of one kind (entries past the end, clipped, repeated, not FAT,
// overlapping) written one by one at most; the rest of that kind is one
// note that counts them.
constexpr int notesperkind = 8;

// Extended partitions give the logical partitions of this many EBRs at
// most: more than partitioning tools make (sfdisk makes 60 partitions).
constexpr int maxebrs = 128;

struct PARTITIONTABLE {
    QString type;                    // "dos", "gpt" ...; empty when there is none
    QList<PARTITIONENTRY> entries;   // data partitions (never the extended container)
    QStringList notes;               // what was skipped or mended, one sentence each
};

// Reads the table of a whole source. Partitions that start past its end are
// skipped and those that run past it are clipped, each with a note (up to
// notesperkind of each kind); a GPT read from its backup header, and
// extended partitions cut after maxebrs EBRs, get a note. Never fails: an
// unreadable or absent table gives no entries. Time grows with the entries.
PARTITIONTABLE readtable(const platform::VolumeSource& whole);

// One FAT12, FAT16, FAT32 or exFAT volume inside a source.
struct FATVOLUME {
    platform::VolumeSource source;  // its path, offset, size, partition number
    std::uint32_t fstype = 3;       // as the classifier: 1 FAT32, 2 FAT16, 4 exFAT, 5 FAT12
    QString label;                  // volume label of the boot sector, trimmed (FAT only: exFAT keeps
                                    // its label in the root directory)
};

// The type code (as the classifier) and label of the boot sector at the
// start of a source, or of its FAT32 backup when sector 0 is not a boot
// sector (findbackupboot); type 3 when it cannot be read.
std::uint32_t classifysource(const platform::VolumeSource& source, CLASSIFIER classify, QString* label = nullptr);

// The FAT volumes inside a whole source's partition table, in table order.
// Partitions that are not FAT12, FAT16, FAT32 or exFAT or start where an earlier one starts
// are skipped, each with a note; overlapping volumes are kept, as both may
// hold files, and each that overlaps another gets one note naming one of
// them. Up to notesperkind notes of each kind; time grows no faster than
// the entries times their logarithm.
QList<FATVOLUME> fatvolumes(const platform::VolumeSource& whole, CLASSIFIER classify, QStringList* notes);

// Replaces each whole source without a FAT or exFAT boot sector at byte 0 whose
// table holds FAT volumes by those volumes; every other source stays as it
// is, in place.
QList<platform::VolumeSource> expandsources(const QList<platform::VolumeSource>& sources, CLASSIFIER classify,
                                            QStringList* notes);

}  // namespace partitions
