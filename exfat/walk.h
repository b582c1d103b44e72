// The walk of an exFAT volume's tree and the deleted files it finds, in
// steps that can stop between any two: first every live directory (the
// clusters of live files are marked on top of the allocation bitmap),
// then the deleted folders met on the way (everything inside counts as
// deleted), then the deleted files, each settled into a record or dropped.
#pragma once

#include "exfat/rebuild.h"

#include <QStringList>
#include <cstdint>
#include <optional>
#include <unordered_set>
#include <vector>

namespace exfat {

struct WALKCOUNTS {
    std::uint64_t directories = 0;     // read, live and deleted
    std::uint64_t livefiles = 0;
    std::uint64_t deletedsets = 0;     // deleted files met (and files of deleted folders)
    std::uint64_t empty = 0;           // of those, with no data
    std::uint64_t found = 0;           // handed out as records
    std::uint64_t dropped = 0;         // could not be rebuilt (each with a note)
    std::uint64_t badsets = 0;         // File entries whose set does not parse or check
};

class EXFATWALK {
public:
    // Walks volume, which outlives this.
    explicit EXFATWALK(const EXFATVOLUME& volume);

    // One step: reads one directory or settles one deleted file. *found is
    // set when the step settled a file that can be rebuilt, reset
    // otherwise. False once everything is done.
    bool step(std::optional<EXFATFILE>* found);

    // What was passed over or mended, one sentence each, at most notecap
    // of them (then one more that says how many were left out).
    const QStringList& notes() const { return said; }
    const WALKCOUNTS& counts() const { return tally; }
    // True for a cluster of a live file or directory, or allocated.
    bool used(std::uint32_t cluster) const;
    // True for a heap cluster read as a folder's, live or deleted.
    bool isdirectory(std::uint32_t cluster) const;
    // The clusters of live files, and those read as folders' (live and
    // deleted), one bit a heap cluster (cluster 2 is bit 0 of byte 0): a
    // later scan of the free clusters has them already, even where the
    // allocation bitmap does not mark them.
    const CLUSTERBITS& liveclusterbits() const { return livebits; }
    const CLUSTERBITS& directorybits() const { return dirbits; }

    static constexpr int notecap = 1000;

private:
    struct DIRJOB {
        std::uint32_t first = 0;
        std::uint64_t length = 0;  // data length; 0 for the root (its chain says)
        bool nofatchain = false;
        bool deleted = false;
        int depth = 0;
        // The parent's paths, joined with the folder's name when it is
        // read: on the output ('/'-separated, "" or ending in '/': "" for
        // live folders) and on the volume, for notes ("/a").
        QString outside;
        QString within;
        QString name;
    };
    void readdirectory(const DIRJOB& job);
    void mark(const ENTRYSET& set);
    // How many clusters of chain, from its start, no folder read before
    // holds.
    std::uint64_t unread(const CHAIN& chain) const;
    // Notes a folder cut at cluster, read before as a folder's.
    void sharedcluster(const QString& shown, std::uint64_t cluster, std::uint64_t before);
    void note(const QString& text);
    // The free clusters once the live tree is read (the deleted folders
    // and files are rebuilt on them); false when they cannot be had.
    bool freeready();

    const EXFATVOLUME& volume;
    std::vector<DIRJOB> livejobs;
    std::vector<DIRJOB> deletedjobs;
    struct CANDIDATE {
        ENTRYSET set;
        QString folder;
        QString within;  // its folder on the volume, for notes
    };
    std::vector<CANDIDATE> candidates;
    std::size_t nextcandidate = 0;
    std::unordered_set<std::uint32_t> visited;
    CLUSTERBITS livebits;
    CLUSTERBITS dirbits;  // clusters read as directories
    FREECLUSTERS free;
    bool freetried = false;
    CHAINCHECKS chains;
    bool chainsnoted = false;
    QStringList said;
    int notesleft = 0;
    WALKCOUNTS tally;
};

}  // namespace exfat
