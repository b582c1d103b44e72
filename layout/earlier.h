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

// True when data-area cluster lcn of the volume core has laid out lies
// inside a cluster that parses as a directory cluster of the earlier
// layout (one read of that cluster).
bool insideearlierdirectory(const KOVCore& core, const FOUNDLAYOUT& earlier, std::uint64_t lcn);

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
