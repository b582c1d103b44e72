// The rooms of a run's plan, one file each. The run lays them out from the
// options and the volume kind (RunEngine::startrun); a new phase is a new
// file here and one line there.
#pragma once

#include "carve/carver.h"
#include "layout/layoutsearch.h"
#include "run/phase.h"

#include <functional>
#include <memory>

namespace phases {

// The FAT walks: over live entries, then the one that saves deleted files.
std::unique_ptr<PHASE> collectingwalk();
std::unique_ptr<PHASE> savingwalk();
// The held files' second chances, one a step (the saver's).
std::unique_ptr<PHASE> secondchances();
// The source read for other layouts' directories.
std::unique_ptr<PHASE> layoutsearch();
// The read of the whole source in a deep run (layouts: with the layout
// search's pairs), the deep scan's clusters and, with carving, its starts
// noted on the way; in place of the layout search's and the deep scan's
// own reads. sweeping(): unless KOV_SWEEP=0 says to read as they do.
std::unique_ptr<PHASE> sweep(bool layouts);
// A run that carves without the deep scan: the same read for carving's
// starts alone, told as carving.
std::unique_ptr<PHASE> startsweep();
// exFAT's: the heap's entry sets (deep) in place of the deep scan's read,
// and carving's starts.
std::unique_ptr<PHASE> exfatsweep(bool deep);
// The exFAT run's counts into r, the same whichever of its phases counts.
void countexfat(const RUNCONTEXT& ctx, RUNREPORT& r);
bool sweeping();
// The sweep's spool gone (KOV_SWEEP_COUNTS=1: its counts told), at a run's end.
void endspool(RUNCONTEXT& ctx);
// The layouts the search found told, the earlier one kept.
void finishlayoutsearch(RUNCONTEXT& ctx, layout::LAYOUTSEARCH& search);
// The unused clusters of the layout the core has now read for lost folders,
// then their files saved.
std::unique_ptr<PHASE> deepscan();
std::unique_ptr<PHASE> lostfiles();
// The next earlier layout: the core laid out for it, its deep scan, lost
// files and the next earlier layout added after it.
std::unique_ptr<PHASE> earlierlayout();
// The clusters of area (taken when the phase begins) read for files by
// their contents.
std::unique_ptr<PHASE> carving(std::function<carve::CARVEAREA(const RUNCONTEXT&)> area);
// After an earlier layout was carved: the volume's own layout laid out
// again and its carving added.
std::unique_ptr<PHASE> ownlayout();
// exFAT: the walk (last: the saver's held files settled at its end), the
// deep scan of the heap's free clusters and its files.
std::unique_ptr<PHASE> exfatwalk(bool last);
std::unique_ptr<PHASE> exfatdeepscan();
std::unique_ptr<PHASE> exfatlostfiles();

// The FAT area as the run leaves it, and the exFAT heap.
carve::CARVEAREA fatarea(const RUNCONTEXT& ctx);
carve::CARVEAREA exfatarea(const RUNCONTEXT& ctx);

}  // namespace phases
