// Laying the engine's volume out from a found layout: no boot sector, no
// table, every cluster free.
#pragma once

#include "layout/layoutsearch.h"

class KOVCore;

namespace layout {

// Lays out the volume core has open (core.hdisk, core.sourcebytes) as
// found: its cluster size and data start, FAT16 or FAT32, a table-less
// volume (KOVCore::fatless) of the clusters the source holds, and an empty
// bitmap. False (nothing laid out) when the layout cannot be expressed in
// whole 512-byte sectors or the bitmap cannot be had.
bool adoptlayout(KOVCore& core, const FOUNDLAYOUT& found);

}  // namespace layout
