#include "exfat/walk.h"

#include <algorithm>
#include <new>

namespace exfat {

namespace {

// Paths stop growing below this many levels: a deeper deleted folder's
// files go into the folder at this level, and notes name that one.
constexpr int maxdepth = 128;

// The cluster number of a chain's cluster at index (< chain.clusters).
std::uint64_t clusterat(const CHAIN& chain, std::uint64_t index)
{
    for (const DATARUN& run : chain.runs) {
        if (index < run.length)
            return run.lcn + 2 + index;
        index -= run.length;
    }
    return 0;
}

// The chain's last cluster (it has one).
std::uint32_t lastcluster(const CHAIN& chain)
{
    return std::uint32_t(chain.runs.back().lcn + chain.runs.back().length + 1);
}

// Bits over the heap's clusters, one a cluster (cluster 2 is bit 0).
bool hasbit(const CLUSTERBITS& bits, std::uint64_t cluster) { return bits.test(cluster - 2); }
void setbit(CLUSTERBITS& bits, std::uint64_t cluster) { bits.set(cluster - 2); }

// The first slot from slot on, below total, where a whole entry set whose
// checksum holds begins; total when none does.
std::uint64_t nextset(const unsigned char* raw, std::uint64_t slot, std::uint64_t total)
{
    for (; slot < total; ++slot) {
        const unsigned char* e = raw + slot * entrybytes;
        ENTRYSET set;
        if (fileentry(e[0]) && parseset(e, total - slot, &set).isEmpty())
            return slot;
    }
    return total;
}

// A name's path on the volume, for notes, from its folder's.
QString joined(const QString& within, const QString& name)
{
    return within + (within.endsWith(QLatin1Char('/')) ? QString() : QStringLiteral("/")) + name;
}

}  // namespace

bool EXFATWALK::isdirectory(std::uint32_t cluster) const { return hasbit(dirbits, cluster); }

std::uint64_t EXFATWALK::unread(const CHAIN& chain) const
{
    std::uint64_t fresh = 0;
    for (const DATARUN& run : chain.runs)
        for (std::uint64_t i = 0; i < run.length; ++i, ++fresh)
            if (isdirectory(std::uint32_t(run.lcn + 2 + i)))
                return fresh;
    return fresh;
}

void EXFATWALK::sharedcluster(const QString& shown, std::uint64_t cluster, std::uint64_t before)
{
    note(QStringLiteral("%1: cluster %2 of the folder was read already as a folder's: %3")
             .arg(shown)
             .arg(cluster)
             .arg(before == 0 ? QStringLiteral("not read again")
                              : QStringLiteral("only the %1 clusters before it are read").arg(before)));
}

EXFATWALK::EXFATWALK(const EXFATVOLUME& v) : volume(v)
{
    livebits.resize(volume.heapclusters());
    dirbits = livebits;
    DIRJOB root;
    root.first = volume.layout().rootcluster;
    livejobs.push_back(root);
}

bool EXFATWALK::used(std::uint32_t cluster) const
{
    return volume.allocated(cluster) || hasbit(livebits, cluster);
}

bool EXFATWALK::freeready()
{
    if (!freetried) {
        freetried = true;
        if (!free.build(volume.heapclusters(), [this](std::uint32_t c) { return !used(c); }))
            note(QStringLiteral("cannot allocate memory for the free clusters: no deleted file is rebuilt"));
    }
    return free.built();
}

void EXFATWALK::note(const QString& text)
{
    if (said.size() < notecap) {
        said.append(text);
    } else if (said.size() == notecap) {
        said.append(QString());
        ++notesleft;
    } else {
        ++notesleft;
    }
    if (notesleft)
        said.last() = QStringLiteral("%1 more notes left out").arg(notesleft);
}

void EXFATWALK::mark(const ENTRYSET& set)
{
    const std::uint64_t cluster = volume.clusterbytes();
    const std::uint64_t count = set.datalength / cluster + (set.datalength % cluster != 0);
    if (count == 0 || !volume.inheap(set.firstcluster))
        return;
    // Marking stops at a cluster another live file has: live files never
    // share clusters, so past it lies that file's (a chain's rest is the
    // same chain), and many sets declaring one large range or one long
    // chain cost it once, not once each.
    const auto live = [this](std::uint32_t c) { return hasbit(livebits, c); };
    const CHAIN chain = set.nofatchain()
                            ? contiguous(set.firstcluster,
                                         std::min<std::uint64_t>(count, volume.heapclusters() -
                                                                            (set.firstcluster - 2)))
                            : volume.follow(set.firstcluster, std::min<std::uint64_t>(count, volume.heapclusters()),
                                            live);
    for (const DATARUN& run : chain.runs)
        for (std::uint64_t i = 0; i < run.length; ++i) {
            if (live(std::uint32_t(run.lcn + 2 + i)))
                return;
            setbit(livebits, run.lcn + 2 + i);
        }
}

void EXFATWALK::readdirectory(const DIRJOB& job)
{
    // A pending folder keeps its parent's paths (shared) and its own name,
    // not paths of its own: a folder of many sets deep down would
    // otherwise hold two long paths per set. Below maxdepth they stop
    // growing.
    const bool named = job.depth <= maxdepth;
    const QString shown = job.depth == 0 ? QStringLiteral("/") : named ? joined(job.within, job.name) : job.within;
    const QString path =
        job.deleted && named ? job.outside + foldername(job.name, job.first) + QLatin1Char('/') : job.outside;
    ++tally.directories;
    const std::uint64_t cluster = volume.clusterbytes();
    std::uint64_t length = job.length;
    if (length > maxdirectorybytes) {
        note(QStringLiteral("%1: a directory length of %2 bytes: only the first 256 MiB are read")
                 .arg(shown)
                 .arg(length));
        length = maxdirectorybytes;
    }
    CHAIN chain;
    // Chains stop at a cluster read already as a folder's; the cut below
    // says so.
    const auto readbefore = [this](std::uint32_t c) { return isdirectory(c); };
    if (job.first == volume.layout().rootcluster && job.length == 0 && !job.deleted) {
        chain = volume.follow(job.first, maxdirectorybytes / cluster, readbefore);
        if (chain.end != CHAIN::END::ended)
            note(QStringLiteral("/: the root directory's cluster chain %1 after %2 clusters")
                     .arg(chain.end == CHAIN::END::looped ? QStringLiteral("loops") : QStringLiteral("breaks off"))
                     .arg(chain.clusters));
    } else if (job.deleted) {
        REBUILD how;
        const std::uint64_t count = length / cluster + (length % cluster != 0);
        if (const QString why = findclusters(volume, free, chains, job.first, length, count, job.nofatchain, &chain, &how);
            !why.isEmpty()) {
            note(QStringLiteral("%1: deleted folder not entered: %2").arg(shown, why));
            return;
        }
    } else {
        const std::uint64_t count = length / cluster + (length % cluster != 0);
        if (!volume.inheap(job.first)) {
            note(QStringLiteral("%1: the folder's first cluster %2 lies outside the cluster heap")
                     .arg(shown)
                     .arg(job.first));
            return;
        }
        if (job.nofatchain)
            chain = contiguous(job.first, std::min<std::uint64_t>(count, volume.heapclusters() - (job.first - 2)));
        else
            chain = volume.follow(job.first, count, readbefore);
        // A chain that runs into a folder read before is cut there (below).
        const std::uint32_t next = chain.clusters == 0 ? job.first : volume.fatentry(lastcluster(chain));
        if (chain.clusters < count && chain.end == CHAIN::END::looped && volume.inheap(next) && readbefore(next))
            sharedcluster(shown, next, chain.clusters);
        else if (chain.clusters < count)
            note(QStringLiteral("%1: only %2 of the folder's %3 clusters can be followed")
                     .arg(shown)
                     .arg(chain.clusters)
                     .arg(count));
    }
    // No cluster is read as a directory twice: folders that share clusters
    // (or one that runs into its own ancestor) would give the same sets
    // again, and a few hundred folders declared over one large range would
    // read it once each.
    if (const std::uint64_t fresh = unread(chain); fresh < chain.clusters) {
        sharedcluster(shown, clusterat(chain, fresh), fresh);
        chain = prefix(chain, fresh);
    }
    if (chain.clusters == 0)
        return;
    for (const DATARUN& run : chain.runs)
        for (std::uint64_t i = 0; i < run.length; ++i)
            setbit(dirbits, run.lcn + 2 + i);
    const std::uint64_t bytes = std::min(chain.clusters * cluster, job.length == 0 ? chain.clusters * cluster : length);
    std::vector<unsigned char> raw;
    try {
        raw.resize(std::size_t(bytes));
    } catch (const std::bad_alloc&) {
        note(QStringLiteral("%1: cannot allocate memory for the folder").arg(shown));
        return;
    }
    if (!volume.read(chain, bytes, raw.data())) {
        note(QStringLiteral("%1: the folder cannot be read").arg(shown));
        return;
    }
    const std::uint64_t total = bytes / entrybytes;
    for (std::uint64_t i = 0; i < total;) {
        const unsigned char* e = raw.data() + i * entrybytes;
        if (e[0] == 0) {
            // The end of the directory, unless entry sets follow: then a
            // set's File entry was wiped, and the sets after it are read.
            const std::uint64_t next = nextset(raw.data(), i + 1, total);
            if (next == total)
                break;
            note(QStringLiteral("%1: a zeroed entry at slot %2 with entry sets after it: read on at slot %3")
                     .arg(shown)
                     .arg(i)
                     .arg(next));
            i = next;
            continue;
        }
        if (!fileentry(e[0])) {
            ++i;
            continue;
        }
        ENTRYSET set;
        if (const QString why = parseset(e, total - i, &set); !why.isEmpty()) {
            ++tally.badsets;
            note(QStringLiteral("%1: entry %2: %3%4: passed over")
                     .arg(shown)
                     .arg(i)
                     .arg(e[0] & inusebit ? QString() : QStringLiteral("deleted set, "), why));
            ++i;
            continue;
        }
        i += set.entries;
        const bool deleted = job.deleted || !set.inuse;
        if (set.directory()) {
            DIRJOB sub;
            sub.first = set.firstcluster;
            sub.length = set.datalength;
            sub.nofatchain = set.nofatchain();
            sub.deleted = deleted;
            sub.depth = job.depth + 1;
            // Deleted files of live folders are saved flat; a deleted
            // folder's files keep its path from the folder down. Deeper
            // folders are read all the same.
            sub.within = shown;
            sub.outside = path;
            sub.name = set.name;
            if (sub.depth == maxdepth + 1)
                note(QStringLiteral("%1: folders more than %2 levels down: named after this one")
                         .arg(shown)
                         .arg(maxdepth));
            if (sub.length == 0)
                continue;
            if (!visited.insert(sub.first).second) {
                note(QStringLiteral("%1: its first cluster %2 is another folder's: not entered again")
                         .arg(joined(shown, set.name))
                         .arg(sub.first));
                continue;
            }
            (deleted ? deletedjobs : livejobs).push_back(std::move(sub));
        } else if (!deleted) {
            ++tally.livefiles;
            mark(set);
        } else {
            ++tally.deletedsets;
            candidates.push_back({std::move(set), path, shown});
        }
    }
}

bool EXFATWALK::step(std::optional<EXFATFILE>* found)
{
    found->reset();
    if (!livejobs.empty()) {
        const DIRJOB job = std::move(livejobs.back());
        livejobs.pop_back();
        if (job.first == volume.layout().rootcluster && job.length == 0)
            visited.insert(job.first);
        readdirectory(job);
        return true;
    }
    if (!freeready())
        return false;
    if (chains.spent() && !chainsnoted) {
        chainsnoted = true;
        note(QStringLiteral("too many steps spent on FAT chains that did not hold: the later files and folders are "
                            "rebuilt on the free clusters without following theirs"));
    }
    if (!deletedjobs.empty()) {
        const DIRJOB job = std::move(deletedjobs.back());
        deletedjobs.pop_back();
        readdirectory(job);
        return true;
    }
    if (nextcandidate < candidates.size()) {
        const CANDIDATE& c = candidates[nextcandidate++];
        if (c.set.datalength == 0) {
            ++tally.empty;
            return true;
        }
        EXFATFILE file;
        if (const QString why = rebuildfile(volume, free, chains, c.set, c.folder, &file);
            !why.isEmpty()) {
            ++tally.dropped;
            note(QStringLiteral("%1: not recovered: %2").arg(joined(c.within, c.set.name), why));
            return true;
        }
        ++tally.found;
        *found = std::move(file);
        return true;
    }
    return false;
}

}  // namespace exfat
