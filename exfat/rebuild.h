// A deleted file's clusters and the record KOV saves it from.
#pragma once

#include "exfat/entryset.h"
#include "exfat/freeclusters.h"
#include "exfat/volume.h"
#include "model/fileparm.h"

#include <QString>
#include <unordered_map>

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

// What following FAT chains for the sets of one walk or scan taught, so
// that many sets naming one chain follow it once, and chains that do not
// hold cost a bounded number of steps in all: past that, sets are rebuilt
// on the free clusters without following their chains.
class CHAINCHECKS {
public:
    // False when an earlier follow from first (over free clusters, which
    // only grow fewer) shows that the chain cannot hold allocated clusters,
    // or when the steps are spent.
    bool worthfollowing(std::uint32_t first, std::uint64_t allocated) const;
    void followed(std::uint32_t first, const CHAIN& chain, bool held);
    bool spent() const { return wasted >= stepcap; }

private:
    static constexpr std::uint64_t stepcap = 1ull << 26;
    static constexpr std::size_t seencap = 1u << 20;
    struct SEEN {
        std::uint64_t clusters = 0;
        CHAIN::END end = CHAIN::END::limit;
    };
    std::unordered_map<std::uint32_t, SEEN> seen;
    std::uint64_t wasted = 0;  // steps of chains that did not hold
};

// The clusters that hold the first bytes of an entry set's data: a
// NoFatChain set's from its first cluster on, a chained one's by its FAT
// chain when that has exactly the clusters of the data length, ends there
// and every one is free, else the free clusters from the first on. A set
// with no valid data still needs its first cluster free (when it has an
// allocation): one in use is another file's. Empty reason and *out set on
// success; else why not (the first cluster outside the heap, one needed
// cluster not free, the heap ending first).
QString findclusters(const EXFATVOLUME& volume, const FREECLUSTERS& free, CHAINCHECKS& chains, std::uint32_t first,
                     std::uint64_t bytes, std::uint64_t allocated, bool nofatchain, CHAIN* out, REBUILD* how);

// The record of a set whose data can be rebuilt (set.datalength != 0),
// saved under folder; empty reason and *out set, else why not.
QString rebuildfile(const EXFATVOLUME& volume, const FREECLUSTERS& free, CHAINCHECKS& chains, const ENTRYSET& set,
                    const QString& folder, EXFATFILE* out);

// A folder's name as one path component of the output: safename, or
// "dirNNNNN" after its first cluster when it is empty or too long.
QString foldername(const QString& name, std::uint32_t firstcluster);

}  // namespace exfat
