// An open exFAT volume: its layout, its allocation bitmap, its FAT (read in
// blocks as chains need it) and the clusters of its heap.
#pragma once

#include "exfat/bootregion.h"
#include "model/clusterbits.h"
#include "model/diskparm.h"

#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace exfat {

// The FAT's marks past the cluster numbers.
constexpr std::uint32_t fatbad = 0xFFFFFFF7;
constexpr std::uint32_t fatend = 0xFFFFFFFF;
// The largest directory exFAT allows.
constexpr std::uint64_t maxdirectorybytes = 256ull << 20;

// A run of clusters followed from a first cluster.
struct CHAIN {
    std::vector<DATARUN> runs;  // lcn = cluster - 2, adjacent clusters in one run
    std::uint64_t clusters = 0;
    // How it stopped: at an end-of-chain mark, at a cluster it had already
    // passed, at a free, bad or out-of-heap entry (or an unreadable FAT),
    // or after the most clusters asked for without meeting its end.
    enum class END { ended, looped, broken, limit } end = END::broken;
};

// Runs of count clusters from first on, contiguous.
CHAIN contiguous(std::uint32_t first, std::uint64_t count);
// The first clusters clusters of chain (all of it when it has fewer).
CHAIN prefix(const CHAIN& chain, std::uint64_t clusters);

class EXFATVOLUME {
public:
    // Reads the boot region, the root directory's allocation bitmap, up-case
    // table and label entries, and the bitmap, through handle (not owned;
    // it must outlive this), a source of sourcebytes (0: unknown). Empty on
    // success, else the reason the volume cannot be read (nothing else
    // then holds).
    QString open(platform::volhandle handle, std::uint64_t sourcebytes);
    // The same up to the root directory's entries (label, bitmap and
    // up-case table clusters), the bitmap left unread: enough to list the
    // volume, not to walk it.
    QString openroot(platform::volhandle handle, std::uint64_t sourcebytes);

    const EXFATLAYOUT& layout() const { return geometry; }
    DISKPARM disk() const { return geometry.disk(handle); }
    std::uint64_t clusterbytes() const { return geometry.clusterbytes(); }
    // Heap clusters that can be read: the cluster count cut at the end of
    // the volume and of the source. Cluster numbers are 2 .. this + 1.
    std::uint32_t heapclusters() const { return readable; }
    bool inheap(std::uint64_t cluster) const { return cluster >= 2 && cluster - 2 < readable; }
    // The cluster's bit in the allocation bitmap; clusters outside the
    // readable heap count as allocated (never vouched for as free).
    bool allocated(std::uint64_t cluster) const;
    // The first cluster from cluster on, below end, that the bitmap leaves
    // free; end when there is none. Full bytes of the bitmap are passed
    // over whole.
    std::uint64_t nextunallocated(std::uint64_t cluster, std::uint64_t end) const;
    // FAT entry of the cluster in the active FAT; fatbad when it lies past
    // the heap or cannot be read.
    std::uint32_t fatentry(std::uint32_t cluster) const;
    // The FAT chain from first, at most maxclusters clusters; with stop, it
    // ends (looped) before the first cluster for which stop is true.
    CHAIN follow(std::uint32_t first, std::uint64_t maxclusters,
                 const std::function<bool(std::uint32_t)>& stop = nullptr) const;
    // Reads bytes of a chain's clusters (from its start) into out; false when
    // a cluster cannot be read.
    bool read(const CHAIN& chain, std::uint64_t bytes, unsigned char* out) const;

    // What the root directory names.
    QString label;
    std::uint32_t bitmapcluster = 0;
    std::uint64_t bitmapbytes = 0;
    std::uint32_t upcasecluster = 0;
    std::uint64_t upcasebytes = 0;
    std::uint32_t upcasechecksum = 0;
    // What was mended or passed over while opening (the backup boot region
    // used, a bitmap shorter than the heap ...).
    QStringList notes;

private:
    QString readroot();
    QString readbitmap();
    platform::volhandle handle = nullptr;
    std::uint64_t sourcebytes = 0;
    EXFATLAYOUT geometry;
    std::uint32_t readable = 0;
    unsigned activefat = 0;  // 0 or 1: which FAT chains are read from
    CLUSTERBITS bitmap;  // as read: heap cluster c is bit c - 2
    // The active FAT in blocks of fatblockbytes, read on first use; a
    // failed read leaves the block null and its flag set.
    mutable std::vector<std::unique_ptr<unsigned char[]>> fatblocks;
    mutable std::vector<bool> fatfailed;
    mutable std::size_t fatloaded = 0;
};

}  // namespace exfat
