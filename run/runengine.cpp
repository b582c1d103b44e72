#include "run/runengine.h"
#include "badsectors/savemap.h"
#include "platform/scratch.h"
#include "platform/volumesource.h"

#include "deep/dirsample.h"
#include "deep/dirslots.h"
#include "exfat/exfatrun.h"
#include "run/phases/phases.h"
#include "spool/spool.h"

#include <algorithm>

RunEngine::RunEngine(RUNEVENTS& told, const RUNOPTIONS& chosen) : events(told), options(chosen), ctx(*this, told)
{
    platform::setreadretries(options.retries);
    imagestopstold = platform::imagestops();
}

RunEngine::~RunEngine()
{
    // The phases read through what the context holds.
    plan.clear();
}

bool RunEngine::startrun()
{
    if (rununderway())
        abandonrun();
    failure.clear();
    readbefore = 0;
    toldbefore = 0;
    shown.reset();
    toldshown.reset();
    toldat = 0;
    ended = false;
    clock.start();
    if (exfatsource)
        return startexfat();
    if (!tablefree && !beginrun())
        return false;
    beginreport(bitmap.size());
    ctx.deep.reset();
    if (options.deep || tablefree)
        ctx.deep = std::make_unique<deep::DEEPSCAN>(*this, ctx.claims);
    ctx.walkdone = false;
    ctx.tree.clear();
    ctx.adoptedearlier = false;
    ctx.earlier = foundearlier;
    ctx.tablefree = tablefree;
    ctx.rootareaat = rootareaat;
    ctx.rootareabytes = rootareabytes;
    if (tablefree) {
        // No table and no root to walk: the found directories are all
        // there is, every cluster free.
        stats = RUNSTATS();
    } else {
        plan.push_back(phases::collectingwalk());
        plan.push_back(phases::savingwalk());
        plan.push_back(phases::secondchances());
    }
    // One read of the source for the layout search, the deep scan and
    // carving's starts.
    const bool sweep = ctx.deep && phases::sweeping();
    if (options.deep && !tablefree && !sweep)
        plan.push_back(phases::layoutsearch());
    if (ctx.deep) {
        plan.push_back(sweep ? phases::sweep(!tablefree) : phases::deepscan());
        plan.push_back(phases::lostfiles());
        plan.push_back(phases::earlierlayout());
    }
    if (options.carve) {
        // Without the deep scan, the sweep notes carving's starts alone.
        if (!ctx.deep && phases::sweeping())
            plan.push_back(phases::startsweep());
        // First in the layout the run ends in (an earlier format's, when
        // one was found: its files lie on its clusters), then in the
        // volume's own.
        plan.push_back(phases::carving(phases::fatarea));
        plan.push_back(phases::ownlayout());
    }
    beginnext();
    return true;
}

bool RunEngine::startexfat()
{
    beginreport(0);
    ctx.kept.exfat = true;
    ctx.deep.reset();
    ctx.tree.clear();
    ctx.adoptedearlier = false;
    ctx.earlier.clear();
    ctx.tablefree = false;
    ctx.exfat = std::make_unique<exfat::EXFATRUN>(*this, options.deep);
    failure = ctx.exfat->begin(*exfatsource);
    if (!failure.isEmpty()) {
        ctx.exfat.reset();
        ctx.waiting.reset();
        ctx.saver.reset();
        return false;
    }
    stats = RUNSTATS();
    ctx.claims.reset(ctx.exfat->heapclusters());
    plan.push_back(phases::exfatwalk(!options.deep));
    if (options.deep) {
        plan.push_back(phases::sweeping() ? phases::exfatsweep(true) : phases::exfatdeepscan());
        plan.push_back(phases::exfatlostfiles());
    }
    if (options.carve) {
        if (!options.deep && phases::sweeping())
            plan.push_back(phases::exfatsweep(false));
        plan.push_back(phases::carving(phases::exfatarea));
    }
    beginnext();
    return true;
}

void RunEngine::abandonrun()
{
    collecting = false;
    saving = false;
    at = RUNPHASE::idle;
    plan.clear();
    ctx.next.clear();
    ctx.spool.reset();
    ctx.exfat.reset();
    ctx.deep.reset();
    ctx.carver.reset();
    ctx.starts.reset();
    ctx.dirsectors.reset();
    ctx.savedfiles.reset();
    ctx.waiting.reset();
    ctx.saver.reset();
}

void RunEngine::enter(RUNPHASE phase)
{
    at = phase;
    toldbefore = 0;
    toldshown.reset();
    toldat = 0;
    events.phasebegun(phase);
}

void RunEngine::step()
{
    if (plan.empty())
        return;
    const bool more = plan.front()->step(ctx);
    tellimaging();
    if (!more)
        advance();
}

void RunEngine::tellimaging()
{
    const std::uint64_t stops = platform::imagestops();
    if (stops == imagestopstold)
        return;
    imagestopstold = stops;
    events.imagingstopped(platform::imagefault());
}

void RunEngine::advance()
{
    const PHASE& done = *plan.front();
    done.count(ctx, ctx.kept);
    const std::uint64_t read = done.progress(ctx).done;
    readbefore += read;
    toldbefore += read;
    const RUNPHASE was = done.kind();
    plan.pop_front();
    events.newunit();
    beginnext(was);
}

void RunEngine::beginnext(RUNPHASE was)
{
    while (!plan.empty()) {
        PHASE& phase = *plan.front();
        const RUNPHASE kind = phase.kind();
        // The first walk is the run's start, not told; a phase of the kind
        // of the one just done goes on under its telling (carving's starts
        // swept, then carving).
        if (kind == RUNPHASE::collecting) {
            at = kind;
            toldbefore = 0;
            toldshown.reset();
            toldat = 0;
        } else if (kind != RUNPHASE::idle && kind != was)
            enter(kind);
        const bool work = phase.begin(ctx);
        for (std::size_t k = ctx.next.size(); k-- > 0;)
            plan.insert(plan.begin() + 1, std::move(ctx.next[k]));
        ctx.next.clear();
        if (work)
            return;
        phase.count(ctx, ctx.kept);
        plan.pop_front();
        was = kind;
    }
    finishrun();
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

bool RunEngine::continuesdirectory(const unsigned char* cluster, std::uint64_t size) const
{
    return !deep::dotentry(cluster, 1) &&
           deep::directoryslots(cluster, size, deep::SLOTRULES{dbrparm.fstype == 1, fatentries}) != 0;
}

void RunEngine::walkended()
{
    // Cheap (a sample, and only over a nearly empty FAT), for the advice
    // at the end; the deep scan itself tells better.
    if (!ctx.options.deep)
        ctx.kept.formatted = deep::sampledirectories(*this).formatted();
    // The walk's files are all settled but the held ones: their second
    // chances need every deleted entry's start, known only now.
    ctx.walkdone = true;
}

RUNREPORT RunEngine::report() const
{
    RUNREPORT r = ctx.kept;
    r.stats = stats;
    r.stats.unreadablesectors = ctx.kept.stats.unreadablesectors;
    if (const badsectors::SECTORMAP* map = platform::sectormap(diskparm.hdisk))
        r.stats.unreadablesectors = map->bad().sectors();
    if (ctx.saver)
        r.verdicts = ctx.saver->counts();
    if (!plan.empty())
        plan.front()->count(ctx, r);
    return r;
}

RUNPROGRESS RunEngine::progress() const
{
    RUNPROGRESS p;
    p.phase = at;
    p.files = ctx.kept.settled;
    if (const badsectors::SECTORMAP* map = platform::sectormap(diskparm.hdisk))
        p.unreadable = map->bad().sectors();
    p.seconds = clock.isValid() ? double(clock.elapsed()) / 1000.0 : 0;
    p.done = p.total = readbefore;
    // The phase as told: with the phases before and after it told as the
    // same (carving's starts swept, then carving), one share from 0 to 100.
    bool told = true;
    for (std::size_t k = 0; k < plan.size(); ++k) {
        if (k == 0) {
            p.now = plan[k]->progress(ctx);
            p.done += p.now.done;
            p.total += p.now.total;
            p.now.done += toldbefore;
            p.now.total += toldbefore;
        } else {
            const std::uint64_t planned = plan[k]->plannedbytes(ctx);
            p.total += planned;
            told = told && plan[k]->kind() == plan.front()->kind();
            if (told)
                p.now.total += planned;
        }
    }
    p.shown = ended ? 1.0 : shown.see(p.done, p.total);
    // A phase that reads none is at none of it; the plan may grow while
    // the sweep goes, the share told does not go back.
    if (p.now.total != 0) {
        const double seen = toldshown.see(p.now.done, p.now.total);
        toldat = std::max(toldat, p.now.done >= p.now.total ? 1.0 : seen);
    }
    p.phaseshown = toldat;
    return p;
}

int RunEngine::walkpercent() const
{
    if ((at != RUNPHASE::collecting && at != RUNPHASE::saving) || ctx.exfat)
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

void RunEngine::finishrun()
{
    // Told before the end, which a face may follow with the image's words;
    // a write still queued may yet fail.
    platform::imagewait();
    tellimaging();
    ctx.kept = report();
    if (!listonly && ctx.kept.stats.unreadablesectors != 0) {
        QString error;
        const QString name = badsectors::saveunreadablemap(recoverdir, diskparm.hdisk, &error);
        ctx.kept.unreadablemap = name.isEmpty() ? QString() : recoverdir + name;
        if (name.isEmpty() && !error.isEmpty())
            showwarning(error);
    }
    at = RUNPHASE::idle;
    ended = true;
    // Gone before the end is told: a face may start the next run from it.
    phases::endspool(ctx);
    ctx.exfat.reset();
    ctx.deep.reset();
    ctx.carver.reset();
    ctx.starts.reset();
    ctx.dirsectors.reset();
    ctx.savedfiles.reset();
    ctx.waiting.reset();
    ctx.saver.reset();
    events.runended();
}

void RunEngine::savefound(const FILEPARM& file)
{
    if (ctx.deep)
        ctx.deep->notesaved(file);
    // The file's short entry is the slot the walk has just passed.
    ctx.saver->savewalked(file, DIRSLOTS{curdir.dirbuf.get(), curdir.size / 32, curdir.entryindex - 1});
}

void RunEngine::entrydropped(const FILEPARM& dir, const FILEPARM& entry)
{
    // A walk outside a run (a face listing the tree) has no saver to tell.
    if (ctx.saver)
        ctx.saver->dropped(entry, DIRSLOTS{dir.dirbuf.get(), dir.size / 32, dir.entryindex});
}

void RunEngine::beginreport(std::uint64_t clusters)
{
    ctx.kept = RUNREPORT();
    ctx.kept.options = options;
    ctx.options = options;
    ctx.claims.reset(clusters);
    ctx.spool.reset();
    ctx.carver.reset();
    ctx.starts.reset();
    ctx.dirsectors.reset();
    ctx.carvingbegun = false;
    ctx.savedfiles.reset();
    ctx.ownlayout.reset();
    ctx.ownkept.clear();
    if (options.carve)
        ctx.savedfiles = std::make_unique<carve::SAVEDFILES>();
    ctx.saver = std::make_unique<FileSaver>(
        *this, SAVEOPTIONS{options.verify, options.originalnames, options.deep, options.carve},
        [this](const FILEPARM& file, const SAVERECORD& record) {
            ++ctx.kept.settled;
            if (at == RUNPHASE::lostfiles && (listonly || record.status == 0))
                ++ctx.kept.lost;
            // The bytes of every file saved, so that carving writes none of them again.
            if (ctx.savedfiles && record.carved.isEmpty() && record.status == 0)
                ctx.savedfiles->note(file, diskparm, record.crc);
            events.filesettled(file, record);
        },
        &ctx.claims);
    ctx.waiting = std::make_unique<rebuild::WAITINGFILES>(*this, *ctx.saver, &ctx.claims);
    ctx.saver->setwaitroom(ctx.waiting.get());
    // The spool's scratch file shares the output disk with the files saved:
    // it goes before a file that might not fit beside it, so that a run
    // with it saves all that one without it does.
    ctx.saver->setroomfor([this](std::uint64_t size) {
        constexpr std::uint64_t spare = 64u << 20;
        if (ctx.spool && ctx.spool->holding() != 0 && platform::freespace(recoverdir) < size + spare)
            ctx.spool->giveback();
    });
}
