// Block devices reached through udisks2 on the system D-Bus, for a user who
// may not open them: udisks2 lists them without opening them, and opens one
// read-only for backup once polkit has asked the user. Used by the Linux
// back end of the volume seam only.
#pragma once

#include "platform/volumesource.h"

#include <QList>
#include <QString>

namespace platform::udisks2 {

// Every block device udisks2 holds as a FAT12, FAT16, FAT32 or exFAT volume (IdType
// vfat with IdVersion FAT12, FAT16 or FAT32, or IdType exfat), removable media first, then in device-path
// order. Each comes with path, size, udisksobject, udiskstype and label set
// and no root. Empty when udisks2 does not answer.
QList<VolumeSource> fatvolumes();

// Whether udisks2 answers on the system bus (and so can list and open
// cards for a user who may not open them).
bool available();

// The block device udisks2 knows at that device node, whatever it holds,
// with the fields fatvolumes() sets (udiskstype 3 when it is not FAT12, FAT16,
// FAT32 or exFAT as far as udisks2 knows). False when udisks2 does not answer or does
// not know the device.
bool lookup(const QString& devicepath, VolumeSource* out);

// Asks udisks2 to open the block device read-only for backup
// (Block.OpenForBackup). polkit may ask the user first, which can take
// minutes, so the call waits up to 5 minutes. Returns the descriptor, owned
// by the caller, or -1 when udisks2 is missing or the authorisation is
// refused or cancelled. The first descriptor granted for a device is kept,
// and later calls for it get copies of that one without asking again.
int openforbackup(const QString& object);

// When on, openforbackup runs polkit's text agent (pkttyagent) for this
// process while it waits, so that a password prompt appears on the
// terminal; for command-line programs. Off by default: the desktop's own
// agent asks in a window.
void settextagent(bool on);

}  // namespace platform::udisks2
