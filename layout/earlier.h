// Moving a run from the volume's own layout to an earlier format's: which
// clusters of the earlier layout the current volume has overwritten or
// given away.
#pragma once

#include "layout/layoutsearch.h"
#include "model/diskparm.h"

#include <functional>
#include <vector>

class ClusterClaims;
class KOVCore;

namespace layout {

// True when found is the layout core has laid out (same cluster size and
// data start).
bool samelayout(const KOVCore& core, const FOUNDLAYOUT& found);

// The layout core has laid out, described as a found one (its directories
// not counted): what adoptlayout takes to lay it out again.
FOUNDLAYOUT currentlayout(const KOVCore& core);

// Which clusters of the volume core has laid out are pieces of an earlier
// layout's directories.
class EARLIERDIRECTORIES {
public:
    EARLIERDIRECTORIES(const KOVCore& core, const FOUNDLAYOUT& earlier);
    // True when data-area cluster lcn lies on the earlier layout's grid
    // (wholly inside one of its clusters, or, when the earlier clusters
    // are the smaller, beginning where one begins) and that cluster parses
    // as a directory cluster of the earlier layout. A cluster that
    // straddles two earlier ones is this layout's: the earlier grid cut
    // through it. Each earlier cluster is read once for a run of lcn in
    // ascending order.
    bool inside(std::uint64_t lcn);

private:
    const KOVCore& core;
    FOUNDLAYOUT earlier;
    std::uint64_t cachedcluster = ~std::uint64_t(0);
    bool cachedparses = false;
    std::vector<unsigned char> cluster;
};

// The clusters of the earlier layout (its data-area numbering) that share
// a byte with the current volume's system area, a cluster it marks in use
// or one the run's files claim: their old contents are gone or belong to
// a file already saved. One pass over the earlier layout's clusters.
std::vector<DATARUN> overwritten(const KOVCore& core, const ClusterClaims& claims, const FOUNDLAYOUT& earlier);

// The clusters of other (its numbering) that share a byte with a cluster
// of the layout core has laid out for which taken is true; bytes before
// core's data start, or past its clusters, take nothing from them.
std::vector<DATARUN> overlapping(const KOVCore& core, const std::function<bool(std::uint64_t lcn)>& taken,
                                 const FOUNDLAYOUT& other);

}  // namespace layout
