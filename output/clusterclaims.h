// The clusters one run has given to files it saved or listed, shared by its
// phases (the saving pass, the second chance, the deep scan): a later phase
// neither scans a claimed cluster nor gives it to another candidate.
//
// Claims are counted per cluster, so that a cluster two saved files hold
// stays claimed when one of them lets go (an estimate replaced by a start
// chosen by content). A count is two bits: from three claims on it stays
// at "three or more", which no release lowers; a cluster is then never
// freed again, but never freed while a file still holds it either.
//
// A claim may be weak: that of a file saved into damaged/ (its check
// failed), whose clusters carving may still read and claim. A cluster
// holds firmly while some claim on it is not weak.
#pragma once

#include "model/diskparm.h"

#include <cstdint>
#include <vector>

class ClusterClaims {
public:
    // Room for no cluster: everything reads as claimed.
    ClusterClaims() = default;
    explicit ClusterClaims(std::uint64_t clusters) { reset(clusters); }

    // Forgets every claim and makes room for clusters lcn 0 .. clusters-1.
    void reset(std::uint64_t clusters);
    std::uint64_t clusters() const { return count; }

    // One more claim on every cluster of runs; clusters past the room are
    // passed over.
    void mark(const std::vector<DATARUN>& runs);
    // One claim fewer on every cluster of runs (a count already at zero
    // stays there): runs must be ones given to mark before.
    void release(const std::vector<DATARUN>& runs);
    // True when some file holds lcn, or lcn lies past the room (no cluster
    // of this volume: nothing may be given it).
    bool test(std::uint64_t lcn) const;
    // True when any cluster of runs is claimed.
    bool any(const std::vector<DATARUN>& runs) const;
    // One claim on every cluster of runs, made by mark before, is weak
    // (never more weak claims than claims on a cluster).
    void weaken(const std::vector<DATARUN>& runs);
    // True when test(lcn) and some claim on lcn is not weak.
    bool firm(std::uint64_t lcn) const;

private:
    static unsigned level(const std::vector<std::uint8_t>& of, std::uint64_t lcn);
    static void setlevel(std::vector<std::uint8_t>& of, std::uint64_t lcn, unsigned value);

    std::uint64_t count = 0;
    std::vector<std::uint8_t> levels;  // four clusters a byte
    std::vector<std::uint8_t> weak;    // the weak claims of each, as levels
};
