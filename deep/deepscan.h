// The deep scan: after the two passes, the clusters no live chain uses and
// no saved file claims are read once, in ascending order; the directory
// clusters among them are linked into the lost trees, and the files their
// entries list are rebuilt with the saving pass's rules.
#pragma once

#include "deep/dirsectors.h"
#include "model/fileparm.h"
#include "scan/freeclusterreader.h"

#include <QString>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class ClusterClaims;
class KOVCore;

namespace deep {

// One file the deep scan would save.
struct DEEPCANDIDATE {
    FILEPARM file;  // rebuilt: runs, size cut to them, times, short name
    // The used slots of the directory cluster that lists it, and its slot.
    std::shared_ptr<const unsigned char[]> slotbytes;
    std::uint32_t slotcount = 0;
    std::uint32_t slotindex = 0;
    QString subdir;  // below the output directory: "lost/.../", '/' separated
    bool keepshortname = false;  // the entry's first byte was never erased
};

class DEEPSCAN {
public:
    // Takes the layout of the volume core has open and the clusters the
    // run's files hold so far (claims), which it never scans; both
    // outlive this.
    DEEPSCAN(KOVCore& core, const ClusterClaims& claims);
    ~DEEPSCAN();

    // The saving pass, after each step, with the walk's directory: notes
    // the deleted directories it entered, their path and the clusters read.
    void notewalk(const FILEPARM& dir);
    // A file the saving pass saved or listed: an entry found again with its
    // start cluster and recorded size gives the same bytes and is not
    // saved twice.
    void notesaved(const FILEPARM& file);

    // A FAT16 root area at byte offset of the source, bytes long, found
    // before the data start of a layout found from its directories: its
    // entries are the root's files and name the folders at the top. After
    // the scan, before recover. False when it cannot be read or lists
    // nothing.
    bool addrootarea(std::uint64_t offset, std::uint64_t bytes);

    // Reads every cluster that is neither marked in the core's bitmap nor
    // claimed, once, ascending, several MiB per read, and keeps the
    // directory clusters among them. progress(done, total) follows each
    // read, in clusters.
    void scan(const std::function<void(std::uint64_t, std::uint64_t)>& progress);
    // The same scan in steps: beginscan (false when there is nothing to
    // read), then scanstep until it returns false, each one read of up to
    // 4 MiB or a bounded stretch of clusters in use passed over.
    bool beginscan();
    bool scanstep();
    // Before beginscan: a sweep saw the source, and the clusters whose first
    // sector cannot begin a directory (of any layout) are not read.
    void onlyfrom(const DIRSECTORS* seen) { sectors = seen; }
    // Clusters the scan has passed, of scantotal().
    std::uint64_t scanposition() const { return fed ? fedposition : reader.position(); }
    std::uint64_t scantotal() const { return clustercount; }
    // The same scan fed by a sweep over the source instead of read here:
    // beginfeed, then look for every cluster scans() that the sweep read
    // whole, fedto as it passes them (clusters passed, and of them those
    // scans() holds for). Nothing is read.
    void beginfeed();
    bool scans(std::uint64_t lcn) const { return eligible(lcn); }
    void look(std::uint64_t lcn, const unsigned char* cluster) { examine(lcn, cluster); }
    void fedto(std::uint64_t passed, std::uint64_t scanned)
    {
        fedposition = passed;
        fedscanned = scanned;
    }

    // Links the kept clusters into trees and hands every file entry with
    // contents, by ascending cluster and slot, either to save, rebuilt as
    // the saving pass rebuilds a deleted file (its runs may cross clusters
    // other files hold, as there), or to unsaved with the reason it cannot
    // be saved: no valid dates, a start outside the volume or in use, runs
    // that reach a cluster in use, or the start and size of a file already
    // saved.
    void recover(const std::function<void(const DEEPCANDIDATE&)>& save,
                 const std::function<void(const DEEPCANDIDATE&, const QString& reason)>& unsaved);
    // The same in steps: beginrecover links the trees, then each
    // recoverstep hands out one entry (to save or unsaved) and returns
    // false once every kept cluster is done.
    void beginrecover();
    bool recoverstep(const std::function<void(const DEEPCANDIDATE&)>& save,
                     const std::function<void(const DEEPCANDIDATE&, const QString& reason)>& unsaved);

    // True when the scan kept lcn as a directory cluster (whether or not
    // the cap let it keep them all).
    bool keptdirectory(std::uint64_t lcn) const;

    std::uint64_t scannedclusters() const { return fed ? fedscanned : reader.tried(); }
    std::uint64_t directoryclusters() const { return found.size(); }
    std::uint64_t keptbytes() const { return kept; }
    // Entries recover handed to unsaved.
    std::uint64_t unsavedfiles() const { return notsaved; }
    // True when directory clusters were dropped because the cap was reached.
    bool capped() const { return overcap; }
    // Files handed out in a shallower folder of their own path, because
    // theirs lay more than maxdepth levels down.
    std::uint64_t shallowerfiles() const { return shallower; }
    // True when deleted folders of the walk went unnoted because the cap of
    // their notes was reached.
    bool walkcapped() const { return walkover; }

    // Folders deeper than this in a path are not named in it: their files
    // go into their ancestor at this depth.
    static constexpr std::uint32_t maxdepth = 32;

    // The clusters this layout read as directories of its own, as runs:
    // those the walk read of deleted directories and the kept ones whose
    // entries recover looked at (not those left to an earlier layout).
    // Whole after recover.
    std::vector<DATARUN> owndirectories() const;

    // When set, a found cluster that joins no tree of this layout and for
    // which this is true (it lies inside a directory cluster of an earlier
    // format's layout, which reads it with its own geometry) gives no files.
    std::function<bool(std::uint64_t lcn)> foreign;

private:
    struct FOUND {
        std::uint64_t lcn = 0;
        std::shared_ptr<const unsigned char[]> bytes;
        std::uint32_t used = 0;  // slots up to the last used one
        bool full = false;
    };
    struct NODE {
        std::size_t first = 0;  // index in found of its first cluster
        std::uint32_t dotdot = 0;
        QString name;  // empty when no entry names it
    };
    // A folder of the walk or of a lost tree, linked to the folder above it:
    // a path is built from these links only for a file that is saved, and
    // names only its first maxdepth levels.
    struct FOLDER {
        std::uint32_t parent = 0;  // the folder above; nofolder at the top of a lost tree
        std::uint32_t depth = 0;   // levels below the volume's root (0) or above a lost tree (its top: 1)
        std::uint32_t kept = 0;    // itself within maxdepth, else its ancestor at maxdepth
        std::uint32_t start = 0;   // first cluster: the name dirNNNNN when name is empty
        bool deleted = false;      // a deleted folder the walk entered (not one of its live ancestors)
        QString name;              // kept within maxdepth only
    };
    static constexpr std::uint32_t nofolder = 0xFFFFFFFF;

    bool claimed(std::uint64_t lcn) const;
    bool eligible(std::uint64_t lcn) const;
    void examine(std::uint64_t lcn, const unsigned char* cluster);
    // The directory each found cluster belongs to (noowner when none), and
    // in *namepred the cluster whose long name each one's first entry
    // continues (found.size() when none, or when the link rests on other
    // evidence: guessed slots must not be joined to a name).
    std::vector<std::uint32_t> linkowners(std::unordered_map<std::uint32_t, NODE>& nodes,
                                          std::vector<std::size_t>* namepred) const;
    // The file of an entry with its runs; false with *why set when it
    // cannot be saved, and with *why empty for an entry without contents.
    bool rebuild(const FOUND& cluster, std::uint32_t slot, std::uint16_t fallbackhigh, FILEPARM& out,
                 QString* why) const;
    // The folder of directory dir: a deleted one the walk entered, or one of
    // a lost tree (made, with the folders above it, when first asked).
    std::uint32_t folderof(std::uint32_t dir, std::unordered_map<std::uint32_t, NODE>& nodes,
                           std::unordered_map<std::uint32_t, std::uint32_t>& made);
    // The '/'-separated names of the folder's kept levels.
    QString folderpath(std::uint32_t folder) const;
    // The folder of a deleted directory the walk entered; nofolder when none.
    std::uint32_t walkeddeleted(std::uint32_t start) const;

    KOVCore& core;
    const ClusterClaims& claims;
    std::uint64_t clustersize = 0;
    std::uint64_t clustercount = 0;  // data-area clusters that can be read
    // Start cluster << 32 | recorded size of every file saved so far.
    std::unordered_set<std::uint64_t> savedfiles;
    std::vector<FOLDER> folders;  // [0]: the volume's root; then the walk's, then lost trees'
    // Start cluster -> folder, for the deleted folders the walk entered and
    // their ancestors.
    std::unordered_map<std::uint32_t, std::uint32_t> walked;
    std::uint64_t walkspent = 0;  // bytes the walk's notes take
    bool walkover = false;
    std::uint64_t shallower = 0;
    // (lcn, walked start) of every cluster the walk read of a deleted
    // directory; sorted by lcn, first note first, when recover() begins.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> walkread;
    // The walked start whose directory the walk read lcn for; noowner when
    // none.
    std::uint32_t walkowner(std::uint64_t lcn) const;
    std::vector<FOUND> found;
    std::uint64_t kept = 0;
    std::uint64_t notsaved = 0;
    bool overcap = false;
    FREECLUSTERREADER reader;
    bool fed = false;
    std::uint64_t fedposition = 0, fedscanned = 0;
    const DIRSECTORS* sectors = nullptr;
    struct RECOVERING;
    std::unique_ptr<RECOVERING> recovering;
    std::vector<std::uint64_t> entered;  // kept clusters recover looked at, ascending
};


}  // namespace deep
