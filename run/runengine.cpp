#include "run/runengine.h"

#include "deep/dirsample.h"
#include "deep/dirslots.h"
#include "exfat/exfatrun.h"
#include "layout/adopt.h"
#include "layout/earlier.h"

#include <algorithm>

RunEngine::RunEngine(RUNEVENTS& told, const RUNOPTIONS& chosen) : events(told), options(chosen) {}

RunEngine::~RunEngine() = default;

bool RunEngine::startrun()
{
    if (rununderway())
        abandonrun();
    failure.clear();
    if (exfatsource)
        return startexfat();
    if (!tablefree && !beginrun())
        return false;
    beginreport(bitmap.size());
    if (options.deep)
        deeprun = std::make_unique<deep::DEEPSCAN>(*this, claims);
    recovering = false;
    tree.clear();
    adoptedearlier = false;
    earlier = foundearlier;
    search.reset();
    if (tablefree) {
        // No table and no root to walk: the found directories are all
        // there is, every cluster free.
        stats = RUNSTATS();
        if (!deeprun)
            deeprun = std::make_unique<deep::DEEPSCAN>(*this, claims);
        begindeep();
        return true;
    }
    at = RUNPHASE::collecting;
    return true;
}

void RunEngine::abandonrun()
{
    collecting = false;
    saving = false;
    at = RUNPHASE::idle;
    exfat.reset();
    search.reset();
    deeprun.reset();
    carver.reset();
    savedfiles.reset();
    saver.reset();
}

void RunEngine::enter(RUNPHASE phase)
{
    at = phase;
    phasebegun(phase);
}

void RunEngine::step()
{
    if (exfat && at != RUNPHASE::carving) {
        stepexfat();
        return;
    }
    switch (at) {
    case RUNPHASE::idle:
        return;
    case RUNPHASE::collecting:
    case RUNPHASE::saving:
        newunit();
        scantick();
        if (deeprun && saving)
            deeprun->notewalk(curdir);
        if (at == RUNPHASE::collecting && saving)
            enter(RUNPHASE::saving);
        return;
    case RUNPHASE::secondchances:
        if (saver->finishstep())
            return;
        newunit();
        if (!deeprun) {
            endphases();
            return;
        }
        // A reformat with another geometry left the earlier format's
        // directories where this layout does not look: found first, so
        // that the deep scan leaves their pieces to them.
        search = std::make_unique<layout::LAYOUTSEARCH>(hdisk, sourcebytes);
        enter(RUNPHASE::layoutsearch);
        return;
    case RUNPHASE::layoutsearch:
        if (search->step())
            return;
        {
            const layout::FOUNDLAYOUT own = layout::currentlayout(*this);
            const std::vector<layout::FOUNDLAYOUT> found = search->layouts(&own);
            layoutssearched(*search, found);
            earlier.clear();
            for (const layout::FOUNDLAYOUT& f : found)
                if (!layout::samelayout(*this, f)) {
                    earlier.push_back(f);
                    break;
                }
        }
        search.reset();
        begindeep();
        return;
    case RUNPHASE::deepscan:
        if (deeprun->scanstep())
            return;
        // The found layout's own root, not a tree of the earlier ones.
        if (tablefree && tree.isEmpty() && rootareabytes != 0)
            deeprun->addrootarea(rootareaat, rootareabytes);
        enter(RUNPHASE::lostfiles);
        return;
    case RUNPHASE::lostfiles:
        if (!recovering) {
            deeprun->beginrecover();
            recovering = true;
            return;
        }
        if (deeprun->recoverstep(
                [this](const deep::DEEPCANDIDATE& candidate) {
                    newunit();
                    saver->save(candidate.file,
                                DIRSLOTS{candidate.slotbytes.get(), candidate.slotcount, candidate.slotindex},
                                losttree(candidate.subdir), candidate.keepshortname);
                },
                [this](const deep::DEEPCANDIDATE& candidate, const QString& reason) {
                    if (tree.isEmpty()) {
                        lostnotsaved(candidate, reason);
                        return;
                    }
                    deep::DEEPCANDIDATE named = candidate;
                    named.subdir = losttree(candidate.subdir);
                    lostnotsaved(named, reason);
                }))
            return;
        if (saver->finishstep())
            return;
        newunit();
        if (beginearlier())
            return;
        endphases();
        return;
    case RUNPHASE::carving:
        if (!carver->step([this](const carve::CARVEDFILE& found) {
                newunit();
                saver->savecarved(found.file, found.place.stem + QLatin1Char('.') + found.type,
                                  losttree(QStringLiteral("lost/carved/%1/").arg(found.place.folder)), found.type,
                                  found.verdict);
            })) {
            newunit();
            if (!carveownlayout())
                finishrun();
        }
        return;
    }
}

void RunEngine::endphases()
{
    // Last, so that every file an entry still names has claimed its
    // clusters; first in the layout the run ends in (an earlier format's,
    // when one was found: its files lie on its clusters), then in the
    // volume's own.
    if (!options.carve || !savedfiles || !begincarving(fatcarvearea()))
        finishrun();
}

carve::CARVEAREA RunEngine::fatcarvearea() const
{
    carve::CARVEAREA area = carve::fatarea(*this);
    if (deeprun) {
        // The directory clusters the deep scan kept are passed over too.
        const deep::DEEPSCAN* scan = deeprun.get();
        area.taken = [this, scan](std::uint64_t lcn) { return inuse(lcn) || scan->keptdirectory(lcn); };
    }
    return area;
}

bool RunEngine::begincarving(carve::CARVEAREA area)
{
    carver = std::make_unique<carve::CARVER>(*this, std::move(area), claims, *savedfiles);
    enter(RUNPHASE::carving);
    return carver->begin();
}

bool RunEngine::carveownlayout()
{
    while (ownlayout && deeprun && carver) {
        const layout::FOUNDLAYOUT own = *ownlayout;
        ownlayout.reset();
        // The earlier layout's directories, in the own layout's numbering.
        const std::uint64_t held = bitmap.size();
        ClusterClaims directories(held);
        directories.mark(deeprun->owndirectories());
        const deep::DEEPSCAN* scan = deeprun.get();
        const std::vector<DATARUN> taken = layout::overlapping(
            *this, [&](std::uint64_t n) { return n < held && (directories.test(n) || scan->keptdirectory(n)); }, own);
        const int notes = int(volumenotes.size());
        if (!layout::adoptlayout(*this, own))
            return false;
        // The volume's own layout, not one found: nothing new to tell.
        while (volumenotes.size() > notes)
            volumenotes.removeLast();
        carvedbefore += carver->counts();
        bitmap.merge(ownkept);
        setbitmap(taken);
        // The files saved or carved in the earlier layout, to the byte: a
        // file of the own layout may begin in the last earlier cluster of
        // one, right after its end.
        std::vector<DATARUN> files;
        const std::uint64_t size = diskparm.clustersize();
        const std::uint64_t start = diskparm.clusterposition(0);
        savedfiles->eachextent([&](std::uint64_t from, std::uint64_t to) {
            if (to <= start || from >= to)
                return;
            from = std::max(from, start);
            const std::uint64_t first = (from - start) / size;
            files.push_back(DATARUN{first, (to - start + size - 1) / size - first, 0});
        });
        setbitmap(files);
        ownkept.clear();
        claims.reset(bitmap.size());
        tree.clear();
        // Its directory clusters are counted, and in the bitmap now.
        keepdeepcounts();
        deeprun.reset();
        if (begincarving(fatcarvearea()))
            return true;
    }
    return false;
}

void RunEngine::setfoundlayout(const layout::FOUNDLAYOUT& adopted, std::vector<layout::FOUNDLAYOUT> others)
{
    tablefree = true;
    foundearlier = std::move(others);
    rootareabytes = adopted.fat32 ? 0 : adopted.rootbytes;
    rootareaat = adopted.datastart - rootareabytes;
}

void RunEngine::clearfoundlayout()
{
    tablefree = false;
    foundearlier.clear();
    rootareabytes = 0;
}

void RunEngine::begindeep()
{
    if (!earlier.empty()) {
        auto pieces = std::make_shared<layout::EARLIERDIRECTORIES>(*this, earlier.front());
        deeprun->foreign = [pieces](std::uint64_t lcn) { return pieces->inside(lcn); };
    }
    recovering = false;
    enter(RUNPHASE::deepscan);
    if (!deeprun->beginscan())
        enter(RUNPHASE::lostfiles);
}

bool RunEngine::beginearlier()
{
    while (!earlier.empty()) {
        const layout::FOUNDLAYOUT next = earlier.front();
        earlier.erase(earlier.begin());
        // The clusters the volume overwrote, its saved files claim or its
        // own directories hold are gone for the earlier layout: read with
        // the earlier geometry, the entries of a directory of this layout
        // name other bytes. The core is laid out anew for it.
        claims.mark(deeprun->owndirectories());
        const std::vector<DATARUN> gone = layout::overwritten(*this, claims, next);
        std::optional<layout::FOUNDLAYOUT> own;
        CLUSTERBITS kept;
        if (options.carve && !adoptedearlier) {
            own = layout::currentlayout(*this);
            kept.resize(own->clusters);
            const deep::DEEPSCAN* scan = deeprun.get();
            for (std::uint64_t lcn = 0; lcn < own->clusters; ++lcn)
                if (inuse(lcn) || claims.test(lcn) || scan->keptdirectory(lcn))
                    kept.set(lcn);
        }
        if (!layout::adoptlayout(*this, next))
            continue;
        if (own) {
            ownlayout = own;
            ownkept = std::move(kept);
        }
        adoptedearlier = true;
        setbitmap(gone);
        claims.reset(bitmap.size());
        tree = QStringLiteral("lost/earlier-layout-%1/").arg(next.sizename());
        earlierbegun(next, tree);
        keepdeepcounts();
        deeprun = std::make_unique<deep::DEEPSCAN>(*this, claims);
        begindeep();
        return true;
    }
    return false;
}

void RunEngine::keepdeepcounts()
{
    current.scannedclusters += deeprun->scannedclusters();
    current.directoryclusters += deeprun->directoryclusters();
    current.unsavedlost += deeprun->unsavedfiles();
    current.shallower += deeprun->shallowerfiles();
}

QString RunEngine::losttree(const QString& subdir) const
{
    return tree.isEmpty() ? subdir : tree + subdir.mid(5);
}

bool RunEngine::continuesdirectory(const unsigned char* cluster, std::uint64_t size) const
{
    return !deep::dotentry(cluster, 1) &&
           deep::directoryslots(cluster, size, deep::SLOTRULES{dbrparm.fstype == 1, fatentries}) != 0;
}

void RunEngine::walkended()
{
    // Cheap (a sample, and only over a nearly empty FAT), for the advice
    // at the end; the deep scan itself tells better.
    if (!options.deep)
        current.formatted = deep::sampledirectories(*this).formatted();
    // The walk's files are all settled but the held ones: their second
    // chances need every deleted entry's start, known only now.
    newunit();
    enter(RUNPHASE::secondchances);
}

RUNREPORT RunEngine::report() const
{
    RUNREPORT r = current;
    r.stats = stats;
    if (saver)
        r.verdicts = saver->counts();
    if (exfat) {
        const exfat::EXFATRUNCOUNTS c = exfat->counts();
        r.exfat = true;
        r.exfatnotes = exfat->notes();
        r.scannedclusters = c.deepclusters;
        r.directoryclusters = c.deepsets;
        r.unsavedlost = c.deepdropped;
    }
    if (carver)
        r.carving = carvingcounts();
    if (deeprun) {
        // Summed over the layouts the run has scanned.
        r.scannedclusters += deeprun->scannedclusters();
        r.directoryclusters += deeprun->directoryclusters();
        r.unsavedlost += deeprun->unsavedfiles();
        r.shallower += deeprun->shallowerfiles();
    }
    return r;
}

int RunEngine::walkpercent() const
{
    if ((at != RUNPHASE::collecting && at != RUNPHASE::saving) || exfat)
        return -1;
    // The chain from curdir up to the root; of it the root and the levels
    // below it down to this depth, past which shares are far below a
    // percent.
    constexpr std::size_t depth = 64;
    walkchain.clear();
    for (const FILEPARM* dir = &curdir; dir; dir = dir->parent.get())
        walkchain.push_back(dir);
    const std::size_t n = walkchain.size();
    if (walkshares.size() < std::min(n, depth))
        walkshares.resize(std::min(n, depth));
    double done = 0, share = 1;
    for (std::size_t k = n; k-- > (n > depth ? n - depth : 0);) {
        const FILEPARM& dir = *walkchain[k];
        // A folder above has passed the slot of the one below it.
        const std::uint32_t index = k > 0 && dir.entryindex > 0 ? dir.entryindex - 1 : dir.entryindex;
        // The entries before the walk's place and in all, counted once per
        // folder and place: a directory's unused slots are no work.
        WALKSHARE& w = walkshares[n - 1 - k];
        if (w.buffer != dir.dirbuf.get() || w.index != index) {
            w = WALKSHARE{dir.dirbuf.get(), index, 0, 0};
            for (std::uint64_t slot = 0; w.buffer && slot < dir.size / 32; ++slot) {
                const unsigned char* entry = w.buffer + slot * 32;
                if (entry[0] == 0 || entry[0] == '.' || entry[11] == 0x0F)
                    continue;
                ++w.total;
                w.before += slot < index ? 1 : 0;
            }
        }
        if (w.total == 0)
            break;
        done += share * double(w.before) / double(w.total);
        share /= double(w.total);
    }
    return std::clamp(int(done * 100), 0, 100);
}

carve::CARVECOUNTS RunEngine::carvingcounts() const
{
    carve::CARVECOUNTS c = carvedbefore;
    if (carver)
        c += carver->counts();
    return c;
}

void RunEngine::finishrun()
{
    current = report();
    at = RUNPHASE::idle;
    // Gone before the end is told: a face may start the next run from it.
    exfat.reset();
    deeprun.reset();
    carver.reset();
    savedfiles.reset();
    saver.reset();
    runended();
}

void RunEngine::savefound(const FILEPARM& file)
{
    if (deeprun)
        deeprun->notesaved(file);
    // The file's short entry is the slot the walk has just passed.
    saver->savewalked(file, DIRSLOTS{curdir.dirbuf.get(), curdir.size / 32, curdir.entryindex - 1});
}

void RunEngine::entrydropped(const FILEPARM& dir, const FILEPARM& entry)
{
    // A walk outside a run (a face listing the tree) has no saver to tell.
    if (saver)
        saver->dropped(entry, DIRSLOTS{dir.dirbuf.get(), dir.size / 32, dir.entryindex});
}

bool RunEngine::startexfat()
{
    beginreport(0);
    current.exfat = true;
    exfat = std::make_unique<exfat::EXFATRUN>(*this, *saver, options.deep);
    failure = exfat->begin(*exfatsource);
    if (!failure.isEmpty()) {
        exfat.reset();
        saver.reset();
        return false;
    }
    stats = RUNSTATS();
    recovering = false;
    claims.reset(exfat->heapclusters());
    // exFAT has one walk: it settles deleted files as it reads them.
    enter(RUNPHASE::saving);
    return true;
}

RUNPHASE RunEngine::exfatphase() const
{
    switch (exfat->phase()) {
    case exfat::EXFATRUN::PHASE::deepscan:
        return RUNPHASE::deepscan;
    case exfat::EXFATRUN::PHASE::deeprecover:
        return RUNPHASE::lostfiles;
    default:
        return RUNPHASE::saving;
    }
}

void RunEngine::stepexfat()
{
    // Entered before the step, so that a lost file saved by it counts as lost.
    if (exfatphase() != at)
        enter(exfatphase());
    newunit();
    const bool more = exfat->step();
    const exfat::WALKCOUNTS walked = exfat->counts().walk;
    stats.entries = walked.livefiles + walked.deletedsets + walked.directories;
    if (!more) {
        newunit();
        if (options.carve && savedfiles) {
            // The heap as the run leaves it: allocated clusters and every
            // folder's entries passed over, the files it saved claimed.
            const exfat::EXFATRUN* run = exfat.get();
            carve::CARVEAREA area{diskparm, run->heapclusters(),
                                  [run](std::uint64_t lcn) { return run->holdsentries(lcn); }};
            if (begincarving(std::move(area)))
                return;
        }
        finishrun();
    }
}

void RunEngine::beginreport(std::uint64_t clusters)
{
    current = RUNREPORT();
    current.options = options;
    claims.reset(clusters);
    carver.reset();
    savedfiles.reset();
    ownlayout.reset();
    ownkept.clear();
    carvedbefore = carve::CARVECOUNTS();
    if (options.carve)
        savedfiles = std::make_unique<carve::SAVEDFILES>();
    saver = std::make_unique<FileSaver>(
        *this, SAVEOPTIONS{options.verify, options.originalnames, options.deep, options.carve},
        [this](const FILEPARM& file, const SAVERECORD& record) {
            ++current.settled;
            if (at == RUNPHASE::lostfiles && (listonly || record.status == 0))
                ++current.lost;
            // The bytes of every file saved, so that carving writes none of them again.
            if (savedfiles && record.carved.isEmpty() && record.status == 0)
                savedfiles->note(file, diskparm);
            filesettled(file, record);
        },
        &claims);
}
