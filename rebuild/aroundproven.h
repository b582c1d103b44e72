// A deleted file rebuilt again around the clusters that files which proved
// themselves hold: a file written into the holes between other files is
// rebuilt from its start on the clusters none of them takes.
#pragma once

#include "model/kovcore.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace rebuild {

// The runs of a deleted file of size bytes from startcluster on: every
// cluster free in the FAT that taken (given the cluster's lcn) does not
// name, the last one included. Empty when the start is taken, the volume
// ends first, or the clusters passed over would reach far past the file
// (more than 16 times its clusters plus 1,024): a file scattered that
// thin is no file written into holes, and the search stays linear in the
// file.
std::vector<DATARUN> aroundtaken(const KOVCore& core, std::uint32_t startcluster, std::uint64_t size,
                                 const std::function<bool(std::uint64_t lcn)>& taken);

}  // namespace rebuild
