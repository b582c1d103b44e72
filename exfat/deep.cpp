#include "exfat/deep.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_set>

namespace exfat {

namespace {

// Bytes of sets kept at most (each counted with its name and record): far
// above the directories of any real volume, and a bound that a heap full
// of set-like data cannot lift.
constexpr std::uint64_t keepcap = 64ull << 20;
// A set that begins this close to the end of one read is taken up again
// with the next read when that one follows on: the longest set of a name
// of 255 characters.
constexpr std::uint64_t carrybytes = 19 * entrybytes;
// Steps spent on giving found clusters their folders, and folder levels.
constexpr std::uint64_t linkbudget = 1ull << 26;
constexpr int maxdepth = 64;
constexpr int notecap = 1000;

QString piecename(std::uint32_t cluster) { return QStringLiteral("dir%1").arg(cluster, 5, 10, QLatin1Char('0')); }

}  // namespace

EXFATDEEP::EXFATDEEP(const EXFATVOLUME& v) : volume(v)
{
    claimbits.resize(volume.heapclusters());
}

void EXFATDEEP::claim(const std::vector<DATARUN>& runs)
{
    const std::uint64_t count = volume.heapclusters();
    for (const DATARUN& run : runs)
        if (run.lcn < count)
            claimbits.setrun(run.lcn, std::min(run.length, count - run.lcn));
    if (free.built())
        free.take(runs);
}

void EXFATDEEP::claim(const CLUSTERBITS& bits) { claimbits.merge(bits); }

bool EXFATDEEP::claimed(std::uint64_t cluster) const
{
    return !volume.inheap(cluster) || claimbits.test(cluster - 2);
}

void EXFATDEEP::note(const QString& text)
{
    if (said.size() < notecap)
        said.append(text);
}

void EXFATDEEP::parse(const unsigned char* bytes, std::uint64_t length, std::uint64_t firstbyte,
                      std::uint64_t* consumed)
{
    const std::uint64_t cluster = volume.clusterbytes();
    *consumed = length;
    for (std::uint64_t at = 0; at + entrybytes <= length;) {
        const unsigned char* e = bytes + at;
        if (!fileentry(e[0])) {
            at += entrybytes;
            continue;
        }
        const std::uint64_t need = (std::uint64_t(e[1]) + 1) * entrybytes;
        if (at + need > length && length - at <= carrybytes) {
            *consumed = at;
            return;
        }
        ENTRYSET set;
        if (!parseset(e, (length - at) / entrybytes, &set).isEmpty()) {
            at += entrybytes;
            continue;
        }
        const std::uint64_t position = firstbyte + at;
        const auto where = std::uint32_t(position / cluster + 2);
        const std::uint64_t cost = std::uint64_t(set.entries) * entrybytes + std::uint64_t(set.name.size()) * 2 + 96;
        if (kept + cost > keepcap) {
            overcap = true;
            return;
        }
        kept += cost;
        if (!hasend.count(where)) {
            // Its cluster lies whole in this read unless it began in the
            // part carried over, whose slots were seen before.
            bool end = false;
            const std::uint64_t start = (position / cluster) * cluster;
            if (start >= firstbyte)
                for (std::uint64_t s = start - firstbyte; s + entrybytes <= std::min(length, start - firstbyte + cluster);
                     s += entrybytes)
                    end = end || bytes[s] == 0;
            hasend.emplace(where, end);
        }
        sets.push_back({where, std::uint32_t(position % cluster / entrybytes), std::move(set)});
        at += need;
    }
}

void EXFATDEEP::startscan()
{
    started = true;
    reader = FREECLUSTERREADER(
        volume.disk(), volume.heapclusters(),
        [this](std::uint64_t lcn) { return !volume.allocated(lcn + 2) && !claimed(lcn + 2); }, carrybytes);
    if (!reader.begin() && reader.nomemory())
        note(QStringLiteral("cannot allocate memory for the deep scan"));
}

void EXFATDEEP::visit(const CLUSTERBLOCK& block)
{
    const std::uint64_t cluster = volume.clusterbytes();
    const std::uint64_t firstbyte = block.lcn * cluster;
    std::uint64_t consumed = 0;
    if (block.alone) {
        // A cluster read on its own after its read failed: no set is
        // carried into it or out of it.
        carried = 0;
        parse(block.bytes, cluster, firstbyte, &consumed);
        return;
    }
    if (carriedend != firstbyte)
        carried = 0;
    const std::uint64_t length = carried + block.clusters * cluster;
    parse(block.bytes - carried, length, firstbyte - carried, &consumed);
    // The bytes not consumed, the region's last ones, go before the next block.
    carried = length - consumed;
    std::memmove(block.bytes - carried, block.bytes + block.clusters * cluster - carried, carried);
    carriedend = firstbyte + block.clusters * cluster;
}

void EXFATDEEP::beginfeed()
{
    fed = true;
    started = true;
    fedposition = fedscanned = 0;
    runclusters = 0;
    const std::uint64_t cluster = volume.clusterbytes();
    runcapacity = std::max<std::uint64_t>(FREECLUSTERREADER::readbytes / cluster, 1) * cluster;
    run.reset(new (std::nothrow) unsigned char[carrybytes + runcapacity]);
    if (!run)
        note(QStringLiteral("cannot allocate memory for the deep scan"));
}

void EXFATDEEP::look(std::uint64_t lcn, const unsigned char* bytes)
{
    if (!run || overcap)
        return;
    const std::uint64_t cluster = volume.clusterbytes();
    // Runs of consecutive clusters, as the reader hands them out.
    if (runclusters != 0 && (lcn != runfirst + runclusters || (runclusters + 1) * cluster > runcapacity))
        endfeed();
    if (runclusters == 0)
        runfirst = lcn;
    std::memcpy(run.get() + carrybytes + runclusters * cluster, bytes, cluster);
    ++runclusters;
}

void EXFATDEEP::endfeed()
{
    if (!run || runclusters == 0 || overcap)
        return;
    visit(CLUSTERBLOCK{runfirst, runclusters, run.get() + carrybytes, false});
    runclusters = 0;
    if (overcap)
        note(QStringLiteral("too many entry sets: the rest of the cluster heap was passed over"));
}

bool EXFATDEEP::scanstep()
{
    if (!started)
        startscan();
    if (overcap) {
        reader.stop();
        return false;
    }
    const bool more = reader.step([this](const CLUSTERBLOCK& block) { visit(block); });
    if (more && overcap)
        note(QStringLiteral("too many entry sets: the rest of the cluster heap was passed over"));
    return more;
}

void EXFATDEEP::scan(const std::function<void(std::uint64_t, std::uint64_t)>& progress)
{
    while (scanstep())
        progress(reader.position(), volume.heapclusters());
}

void EXFATDEEP::spanning(std::uint32_t before, std::uint32_t after)
{
    const std::uint64_t cluster = volume.clusterbytes();
    std::vector<unsigned char> pair;
    try {
        pair.resize(std::size_t(2 * cluster));
    } catch (const std::bad_alloc&) {
        return;
    }
    const DISKPARM disk = volume.disk();
    if (!platform::readat(disk.hdisk, disk.clusterposition(before - 2), std::uint32_t(cluster), pair.data()) ||
        !platform::readat(disk.hdisk, disk.clusterposition(after - 2), std::uint32_t(cluster), pair.data() + cluster))
        return;
    // Only a set that begins in before's last entries and runs over its end.
    for (std::uint64_t at = cluster > carrybytes ? cluster - carrybytes : 0; at < cluster; at += entrybytes) {
        const unsigned char* e = pair.data() + at;
        if (!fileentry(e[0]) || at + (std::uint64_t(e[1]) + 1) * entrybytes <= cluster)
            continue;
        ENTRYSET set;
        if (parseset(e, (2 * cluster - at) / entrybytes, &set).isEmpty()) {
            sets.push_back({before, std::uint32_t(at / entrybytes), std::move(set)});
            return;
        }
    }
}

void EXFATDEEP::link()
{
    const std::uint64_t cluster = volume.clusterbytes();
    // Which folder's set names each cluster that holds sets: the first
    // folder whose clusters (by NoFatChain, or its FAT chain when whole)
    // cover it; a folder whose chain is gone owns its first cluster only.
    folders.clear();
    owner.clear();
    piece.clear();
    nextset = 0;
    if (!free.built() &&
        !free.build(volume.heapclusters(), [this](std::uint32_t c) { return !volume.allocated(c) && !claimed(c); }))
        note(QStringLiteral("cannot allocate memory for the free clusters: no lost file is rebuilt"));
    // The steps of following chains count against the budget too, and a
    // chain is followed once for all the folders that name it: per first
    // cluster, the most clusters it was followed for whole, and its length
    // when it fell short. A folder asking no more than was followed whole,
    // or more than the chain has, adds no cluster that has no owner yet.
    struct FOLLOWED {
        std::uint64_t whole = 0;
        std::uint64_t length = ~std::uint64_t(0);
    };
    std::unordered_map<std::uint32_t, FOLLOWED> followed;
    std::uint64_t budget = linkbudget;
    for (std::size_t k = 0; k < sets.size() && budget; ++k) {
        const ENTRYSET& s = sets[k].set;
        if (!s.directory() || !volume.inheap(s.firstcluster))
            continue;
        const std::size_t d = folders.size();
        folders.push_back({s.name, s.firstcluster, sets[k].cluster});
        const std::uint64_t want = std::min<std::uint64_t>(
            {(std::min(s.datalength, maxdirectorybytes) + cluster - 1) / cluster,
             volume.heapclusters() - (s.firstcluster - 2)});
        CHAIN chain;
        if (s.nofatchain()) {
            chain = contiguous(s.firstcluster, want);
        } else {
            FOLLOWED& f = followed[s.firstcluster];
            if (want <= f.whole || want > f.length)
                continue;
            if (want > budget) {
                budget = 0;
                break;
            }
            chain = volume.follow(s.firstcluster, want);
            budget -= chain.clusters;
            if (chain.clusters == want)
                f.whole = want;
            else
                f.length = chain.clusters;
        }
        if (chain.clusters < want)
            chain = contiguous(s.firstcluster, std::min<std::uint64_t>(want, 1));
        for (const DATARUN& run : chain.runs)
            for (std::uint64_t i = 0; i < run.length && budget; ++i, --budget) {
                const auto c = std::uint32_t(run.lcn + 2 + i);
                if (hasend.count(c))
                    owner.emplace(c, d);
            }
    }
    if (!budget)
        note(QStringLiteral("too many folder clusters to link: some files are in folders of their own"));
    // Where the data of the last set of each full cluster (no end-of-
    // directory entry) ends: a folder that grew got its next cluster when a
    // file was added, right after the data written before.
    std::unordered_map<std::uint32_t, std::uint32_t> grewat;  // data end -> full cluster
    std::unordered_map<std::uint32_t, std::uint32_t> grewto;  // full cluster -> data end, a cluster with sets
    {
        std::unordered_map<std::uint32_t, std::uint64_t> lastend;
        for (const FOUNDSET& f : sets)
            if (!hasend[f.cluster])
                lastend[f.cluster] = std::uint64_t(f.set.firstcluster) + (f.set.datalength + cluster - 1) / cluster;
        for (const auto& [c, end] : lastend)
            if (end > c && end <= 0xFFFFFFFF && hasend.count(std::uint32_t(end))) {
                grewat.emplace(std::uint32_t(end), c);
                grewto.emplace(c, std::uint32_t(end));
            }
    }
    // The other clusters follow a full one: where it grew, or right after
    // it when it shows no growth elsewhere; else they begin a piece of
    // their own.
    std::vector<std::uint32_t> loose;
    for (const auto& [c, end] : hasend)
        if (!owner.count(c))
            loose.push_back(c);
    std::sort(loose.begin(), loose.end());
    for (std::uint32_t c : loose) {
        std::uint32_t from = 0;
        const auto before = hasend.find(c - 1);
        if (before != hasend.end() && !before->second && (!grewto.count(c - 1) || grewto[c - 1] == c)) {
            from = c - 1;
        } else if (const auto grew = grewat.find(c); grew != grewat.end() && grew->second < c) {
            from = grew->second;
            spanning(from, c);
        }
        if (from && owner.count(from))
            owner.emplace(c, owner[from]);
        else
            piece.emplace(c, from && piece.count(from) ? piece[from] : c);
    }
    std::stable_sort(sets.begin(), sets.end(), [](const FOUNDSET& a, const FOUNDSET& b) {
        return a.cluster != b.cluster ? a.cluster < b.cluster : a.slot < b.slot;
    });
}

QString EXFATDEEP::folderof(std::uint32_t c) const
{
    QStringList names;
    std::unordered_set<std::size_t> seen;
    for (int depth = 0; depth < maxdepth; ++depth) {
        const auto o = owner.find(c);
        if (o == owner.end() || !seen.insert(o->second).second)
            break;
        const FOLDER& dir = folders[o->second];
        names.prepend(foldername(dir.name, dir.first));
        c = dir.cluster;
    }
    const auto p = piece.find(c);
    names.prepend(piecename(p != piece.end() ? p->second : c));
    return QStringLiteral("lost/") + names.join(QLatin1Char('/')) + QLatin1Char('/');
}

bool EXFATDEEP::next(std::optional<EXFATFILE>* out)
{
    out->reset();
    if (nextset >= sets.size() || !free.built())
        return false;
    if (chains.spent() && !chainsnoted) {
        chainsnoted = true;
        note(QStringLiteral("too many steps spent on FAT chains that did not hold: the later files are rebuilt on "
                            "the free clusters without following theirs"));
    }
    const FOUNDSET& f = sets[nextset++];
    if (f.set.directory() || f.set.datalength == 0)
        return true;
    EXFATFILE file;
    const QString folder = folderof(f.cluster);
    if (const QString why = rebuildfile(volume, free, chains, f.set, folder, &file); !why.isEmpty()) {
        ++droppedfiles;
        note(QStringLiteral("%1%2 (set at cluster %3): not recovered: %4")
                 .arg(folder, f.set.name)
                 .arg(f.cluster)
                 .arg(why));
        return true;
    }
    // No two files share a cluster.
    claim(file.file.dataruns);
    *out = std::move(file);
    return true;
}

void EXFATDEEP::recover(const std::function<void(const EXFATFILE&)>& save)
{
    link();
    std::optional<EXFATFILE> file;
    while (next(&file))
        if (file)
            save(*file);
}

}  // namespace exfat
