// A deleted file's clusters and the record KOV saves it from.
#pragma once

#include "exfat/entryset.h"
#include "exfat/volume.h"
#include "model/fileparm.h"

#include <QString>
#include <functional>

namespace exfat {

// How a file's clusters were found.
enum class REBUILD {
    contiguous,    // NoFatChain: from its first cluster on
    chain,         // its FAT chain, which still held
    freeclusters,  // its chain was gone: the free clusters from its first on
};

// One file found on an exFAT volume, as the save path writes it: file has
// the runs over the cluster heap (volume.disk()), size the data length,
// validsize the valid data length (zeros past it), startcluster, deleted,
// writetime and createtime as FAT stamps (date << 32 | time, creation
// also << 16 with its 10 ms byte) and the name in UTF-8.
struct EXFATFILE {
    FILEPARM file;
    QString name;    // the full name of the File Name entries
    QString folder;  // '/'-separated below the output directory, "" or ending in '/'
    EXFATTIME created, modified, accessed;
    std::uint32_t firstcluster = 0;
    std::uint64_t validlength = 0;
    std::uint64_t datalength = 0;
    bool nofatchain = false;
    bool entryinuse = false;  // its set was never marked deleted (a deleted folder's, a formatted volume's)
    REBUILD rebuild = REBUILD::contiguous;
};

// Whether a cluster is taken (by a live file, or by a file already saved).
using USEDTEST = std::function<bool(std::uint32_t cluster)>;

// The clusters that hold the first bytes of an entry set's data: a
// NoFatChain set's from its first cluster on, a chained one's by its FAT
// chain when that has exactly the clusters of the data length, ends there
// and none is used, else the free clusters from the first on. Empty reason
// and *out set on success; else why not (the first cluster outside the
// heap, one needed cluster used, the heap ending first).
QString findclusters(const EXFATVOLUME& volume, const USEDTEST& used, std::uint32_t first, std::uint64_t bytes,
                     std::uint64_t allocated, bool nofatchain, CHAIN* out, REBUILD* how);

// The record of a set whose data can be rebuilt (set.datalength != 0),
// saved under folder; empty reason and *out set, else why not.
QString rebuildfile(const EXFATVOLUME& volume, const USEDTEST& used, const ENTRYSET& set, const QString& folder,
                    EXFATFILE* out);

// A folder's name as one path component of the output: safename, or
// "dirNNNNN" after its first cluster when it is empty or too long.
QString foldername(const QString& name, std::uint32_t firstcluster);

}  // namespace exfat
