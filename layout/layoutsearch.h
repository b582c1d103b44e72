// Finding a FAT volume's layout from its data area alone, for sources whose
// system area is gone and for cards reformatted with another geometry.
//
// A directory's first cluster begins with a "." entry holding that
// cluster's own number and a ".." entry, both directories. Every such pair
// of entries at a sector position of the source gives a pair (byte offset,
// cluster number); the pairs of one layout satisfy
//     offset = datastart + (cluster - 2) * clustersize
// for one cluster size and one data start. The layout most pairs agree on
// (at least minagree) is the volume's; a second one, found the same way
// among the pairs left, is an earlier format's.
#pragma once

#include "platform/volumesource.h"
#include "sweep/sweep.h"

#include <QString>
#include <cstdint>
#include <memory>
#include <vector>

namespace layout {

// A directory's first cluster seen at a byte offset of the source.
struct DIRPAIR {
    std::uint64_t offset = 0;
    std::uint32_t cluster = 0;  // the "." entry's start
    std::uint32_t parent = 0;   // the ".." entry's start (0: the root)
};

struct FOUNDLAYOUT {
    std::uint64_t clustersize = 0;  // bytes
    std::uint64_t datastart = 0;    // byte offset of cluster 2
    std::uint64_t directories = 0;  // pairs that agree
    std::uint64_t clusters = 0;     // whole clusters the source holds from datastart
    bool fat32 = true;
    // A fixed root area and fewer than 4,085 clusters.
    bool fat12 = false;
    // FAT12 or FAT16: the fixed root area found just before the data start, in bytes
    // (0 when none was found: its entries are gone).
    std::uint64_t rootbytes = 0;
    // FAT32: the root directory's first cluster (a found layout's is taken
    // as 2, where mkfs.fat puts it).
    std::uint32_t rootcluster = 2;
    // "FAT12", "FAT16" or "FAT32".
    QString fattype() const;
    // The description the front ends show: "FAT32 (found), 4 KiB clusters,
    // data at byte N, D directories agree".
    QString describe() const;
    // "4k", "512", "32k": the cluster size as a folder name part.
    QString sizename() const;
};

// The FAT entries a found layout's directories may name: every cluster
// its FAT type addresses, and at least those the source holds. A source
// cut short still holds directories that list clusters past its end: they
// are directories all the same, and those entries are told, not their
// neighbours dropped.
std::uint64_t slotbound(const FOUNDLAYOUT& found);

// The pairs in bytes (n bytes at source offset base, base a multiple of
// 512), at every 512-byte position; at most room of them are appended.
// Returns false when room ran out.
bool findpairs(const unsigned char* bytes, std::size_t n, std::uint64_t base, std::vector<DIRPAIR>* out,
               std::size_t room);

// Layouts the pairs agree on, most agreeing first, at most rounds, each
// with at least minagree pairs and a data start inside sourcebytes.
std::vector<FOUNDLAYOUT> chooselayouts(std::vector<DIRPAIR>& pairs, std::uint64_t sourcebytes, int rounds = 2);

constexpr std::uint64_t minagree = 3;
// Pairs kept at most: 16 MiB, far more directories than a card holds; a
// hostile source full of fake pairs keeps the first ones.
constexpr std::size_t maxpairs = std::size_t(1) << 20;

// The search over one source as a phase of a run: begin, then step until
// it returns false (one large sequential read a step), then layouts().
class LAYOUTSEARCH {
public:
    LAYOUTSEARCH(platform::volhandle handle, std::uint64_t sourcebytes);
    // Reads the next block and notes its pairs (its own sweep: the holes
    // of a sparse image are not read, an unreadable sector is read once);
    // false when the source is read to its end.
    bool step();
    // The same search fed by a sweep instead: n bytes of the source at at
    // (a multiple of 512, ascending), unreadable of them could not be read
    // (zeros). Nothing is read.
    void take(const unsigned char* block, std::size_t n, std::uint64_t at, std::uint64_t unreadable);
    std::uint64_t done() const { return position; }
    std::uint64_t total() const { return bytes; }
    // The layouts found, most agreeing first, at most two, with FAT12, FAT16
    // or FAT32 decided; after the last step. A layout whose directories all
    // lie inside one file of another found layout, or of own (the layout
    // the volume is laid out in, when given), is that file's contents (a
    // disk image on the card) and is left out.
    std::vector<FOUNDLAYOUT> layouts(const FOUNDLAYOUT* own = nullptr);
    std::uint64_t pairsfound() const { return pairs.size(); }
    bool capped() const { return overcap; }
    std::uint64_t unreadbytes() const { return unread; }

private:
    // FAT12, FAT16 or FAT32, and the fixed root area, of a layout.
    void decidetype(FOUNDLAYOUT& found) const;
    platform::volhandle handle;
    std::uint64_t bytes;
    std::uint64_t position = 0;
    std::uint64_t unread = 0;
    bool overcap = false;
    std::vector<DIRPAIR> pairs;
    std::unique_ptr<SWEEP> own;  // when no run's sweep feeds it
    std::unique_ptr<SWEEPVISITOR> feeder;  // a PAIRSFEED of this
};

// Hands a sweep's blocks to a search (LAYOUTSEARCH::take), the run's sweep
// or the search's own.
class PAIRSFEED : public SWEEPVISITOR {
public:
    explicit PAIRSFEED(LAYOUTSEARCH& into) : search(into) {}
    void block(const SWEEPBLOCK& b) override;

private:
    LAYOUTSEARCH& search;
};

}  // namespace layout
