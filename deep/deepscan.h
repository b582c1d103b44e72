// The deep scan: after the two passes, the clusters no live chain uses and
// no saved file claims are read once, in ascending order; the directory
// clusters among them are linked into the lost trees, and the files their
// entries list are rebuilt with the saving pass's rules.
#pragma once

#include "model/fileparm.h"

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

    // The saving pass, after each step, with the walk's directory: notes
    // the deleted directories it entered, their path and the clusters read.
    void notewalk(const FILEPARM& dir);
    // A file the saving pass saved or listed: an entry found again with its
    // start cluster and recorded size gives the same bytes and is not
    // saved twice.
    void notesaved(const FILEPARM& file);

    // Reads every cluster that is neither marked in the core's bitmap nor
    // claimed, once, ascending, several MiB per read, and keeps the
    // directory clusters among them. progress(done, total) follows each
    // read, in clusters.
    void scan(const std::function<void(std::uint64_t, std::uint64_t)>& progress);

    // Links the kept clusters into trees and hands every file entry with
    // contents, by ascending cluster and slot, either to save, rebuilt as
    // the saving pass rebuilds a deleted file (its runs may cross clusters
    // other files hold, as there), or to unsaved with the reason it cannot
    // be saved: no valid dates, a start outside the volume or in use, runs
    // that reach a cluster in use, or the start and size of a file already
    // saved.
    void recover(const std::function<void(const DEEPCANDIDATE&)>& save,
                 const std::function<void(const DEEPCANDIDATE&, const QString& reason)>& unsaved);

    std::uint64_t scannedclusters() const { return scanned; }
    std::uint64_t directoryclusters() const { return found.size(); }
    std::uint64_t keptbytes() const { return kept; }
    // Entries recover handed to unsaved.
    std::uint64_t unsavedfiles() const { return notsaved; }
    // True when directory clusters were dropped because the cap was reached.
    bool capped() const { return overcap; }

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

    bool claimed(std::uint64_t lcn) const;
    bool eligible(std::uint64_t lcn) const;
    void examine(std::uint64_t lcn, const unsigned char* cluster);
    // The directory each found cluster belongs to (noowner when none), and
    // in *namepred the cluster whose long name each one's first entry
    // continues (found.size() when none, or when the link rests on other
    // evidence: guessed slots must not be joined to a name).
    std::vector<std::uint32_t> linkowners(std::unordered_map<std::uint32_t, NODE>& nodes,
                                          std::vector<std::size_t>* namepred) const;
    QString treepath(std::uint32_t dir, const std::unordered_map<std::uint32_t, NODE>& nodes) const;
    // The file of an entry with its runs; false with *why set when it
    // cannot be saved, and with *why empty for an entry without contents.
    bool rebuild(const FOUND& cluster, std::uint32_t slot, std::uint16_t fallbackhigh, FILEPARM& out,
                 QString* why) const;

    KOVCore& core;
    const ClusterClaims& claims;
    std::uint64_t clustersize = 0;
    std::uint64_t clustercount = 0;  // data-area clusters that can be read
    // Start cluster << 32 | recorded size of every file saved so far.
    std::unordered_set<std::uint64_t> savedfiles;
    std::unordered_map<std::uint32_t, QStringList> walked;  // start cluster -> path
    std::unordered_map<std::uint64_t, std::uint32_t> walkread;  // lcn -> walked start
    std::vector<FOUND> found;
    std::uint64_t scanned = 0;
    std::uint64_t kept = 0;
    std::uint64_t notsaved = 0;
    bool overcap = false;
};


}  // namespace deep
