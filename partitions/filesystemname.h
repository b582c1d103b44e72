// What a source that holds no FAT or exFAT volume holds instead, by
// libblkid's superblock probes, so that the user is told "NTFS volume"
// rather than that there is no boot sector.
#pragma once

#include "platform/volumesource.h"

#include <QString>

namespace partitions {

// "NTFS", "ext4", "ISO 9660", ... for the file system at the start of the
// source; empty when libblkid finds none, or finds a FAT or exFAT one (its
// boot sector then fails our checks: the caller says so, not this).
QString filesystemname(const platform::VolumeSource& source);

}  // namespace partitions
