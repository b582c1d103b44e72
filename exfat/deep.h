// The deep scan of an exFAT volume: the clusters that are neither allocated
// nor claimed are read once, ascending, and the entry sets among them whose
// checksums hold are kept (after a quick format, the old directories still
// lie there). Folders are linked by the clusters their sets give, and the
// files rebuilt below lost/ with their folder paths.
#pragma once

#include "exfat/rebuild.h"
#include "scan/freeclusterreader.h"

#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

namespace exfat {

class EXFATDEEP {
public:
    // Scans volume, which outlives this.
    explicit EXFATDEEP(const EXFATVOLUME& volume);

    // Clusters already had (the walk's deleted folders, files saved): they
    // are neither read nor given to a file.
    void claim(const std::vector<DATARUN>& runs);
    // The same for the clusters whose bits are set, one a heap cluster
    // (cluster 2 is bit 0 of byte 0): the walk's live files and folders,
    // which a damaged allocation bitmap may leave unmarked.
    void claim(const CLUSTERBITS& bits);

    // Reads every cluster neither allocated nor claimed, several MiB per
    // read, and keeps the entry sets found. progress(done, total) after each
    // read, in clusters.
    void scan(const std::function<void(std::uint64_t, std::uint64_t)>& progress);
    // scan in steps: scanstep reads once (up to a few MiB of clusters) and
    // returns false once the heap has been read; scanposition() of
    // heapclusters() done then.
    bool scanstep();
    std::uint64_t scanposition() const { return fed ? fedposition : reader.position(); }
    // The same scan fed by a sweep over the source instead of read here:
    // beginfeed, then look for every heap cluster (cluster - 2) scans()
    // holds for that the sweep read whole, ascending, fedto as it passes
    // them, endfeed after the last. Nothing is read.
    void beginfeed();
    bool scans(std::uint64_t lcn) const { return !volume.allocated(lcn + 2) && !claimed(lcn + 2); }
    void look(std::uint64_t lcn, const unsigned char* cluster);
    void fedto(std::uint64_t passed, std::uint64_t scanned)
    {
        fedposition = passed;
        fedscanned = scanned;
    }
    void endfeed();

    // Hands every file of the sets kept that can be rebuilt to save, by
    // ascending cluster and slot, with folder "lost/<folder path>/"; its
    // clusters are claimed once save returns, so no two files share one.
    // A folder whose own set was not found is "dirNNNNN" after the first
    // cluster of its piece. A cluster continues the folder of a full
    // cluster (no end-of-directory entry) right before it, or of one whose
    // last file's data end right before it (the folder grew when that file
    // was written); a set running from one into the other is read then.
    void recover(const std::function<void(const EXFATFILE&)>& save);
    // recover in steps: link() once after the scan, then next() until it
    // returns false; each true gives the next file (its clusters claimed)
    // or, when *out is unset, a set passed over.
    void link();
    bool next(std::optional<EXFATFILE>* out);

    std::uint64_t scannedclusters() const { return fed ? fedscanned : reader.tried(); }
    std::uint64_t setsfound() const { return sets.size(); }
    // The k-th set kept (k < setsfound()).
    const ENTRYSET& foundset(std::size_t k) const { return sets[k].set; }
    // True when a set found begins in the cluster (an old folder's).
    bool holdssets(std::uint32_t cluster) const { return hasend.count(cluster) != 0; }
    // Files dropped by recover, and notes on sets passed over (capped).
    std::uint64_t dropped() const { return droppedfiles; }
    const QStringList& notes() const { return said; }
    bool capped() const { return overcap; }

private:
    struct FOUNDSET {
        std::uint32_t cluster = 0;  // where its File entry lies
        std::uint32_t slot = 0;     // its index in that cluster
        ENTRYSET set;
    };
    bool claimed(std::uint64_t cluster) const;
    void parse(const unsigned char* bytes, std::uint64_t length, std::uint64_t firstbyte, std::uint64_t* consumed);
    void note(const QString& text);
    // Reads the full cluster before and the cluster after it that continues
    // its folder, and keeps the set that runs from one into the other.
    void spanning(std::uint32_t before, std::uint32_t after);

    // folderof: the output folder of the sets in cluster c.
    QString folderof(std::uint32_t c) const;
    void startscan();
    // Parses a block the scan read, with the bytes carried from the block
    // right before it.
    void visit(const CLUSTERBLOCK& block);

    const EXFATVOLUME& volume;
    // The scan's state between steps.
    FREECLUSTERREADER reader;
    bool started = false;
    std::uint64_t carried = 0;         // bytes before data from the last read
    std::uint64_t carriedend = ~0ull;  // heap byte where they end
    // Fed: the consecutive clusters gathered for the next visit, after
    // headroom for the carry.
    bool fed = false;
    std::uint64_t fedposition = 0, fedscanned = 0;
    std::unique_ptr<unsigned char[]> run;
    std::uint64_t runcapacity = 0, runfirst = 0, runclusters = 0;
    // The links recover follows.
    struct FOLDER {
        QString name;
        std::uint32_t first = 0;
        std::uint32_t cluster = 0;  // where its set lies
    };
    std::vector<FOLDER> folders;
    std::unordered_map<std::uint32_t, std::size_t> owner;  // cluster -> folder
    std::unordered_map<std::uint32_t, std::uint32_t> piece;
    std::size_t nextset = 0;
    CLUSTERBITS claimbits;
    // Neither allocated nor claimed, from link() on.
    FREECLUSTERS free;
    CHAINCHECKS chains;
    bool chainsnoted = false;
    std::vector<FOUNDSET> sets;
    // Per cluster that holds sets: whether an end-of-directory entry lies
    // in it (the last cluster of its directory).
    std::unordered_map<std::uint32_t, bool> hasend;
    std::uint64_t kept = 0;
    std::uint64_t droppedfiles = 0;
    bool overcap = false;
    QStringList said;
};

}  // namespace exfat
