#include "deep/deepscan.h"

#include "deep/dirslots.h"
#include "fat/direntry.h"
#include "model/kovcore.h"
#include "names/longname.h"
#include "output/clusterclaims.h"
#include "scan/recoveredname.h"

#include <QDir>

#include <algorithm>
#include <cstring>
#include <new>
#include <unordered_set>

namespace deep {

namespace {

// Memory the kept directory clusters may take: their bytes and what each
// one costs besides until recover() ends (its record and copy, the linking
// tables, its folder), as measured on a volume of tiny leaf directories
// (bench/outputtree.sh). Far above any real volume's directories, and a
// bound a volume full of directory-like data cannot lift: with the read
// buffer, the walk's notes and the output tree the deep scan stays within
// 64 MiB.
constexpr std::uint64_t keepcap = 40ull << 20;
constexpr std::uint64_t perkept = 256;
constexpr std::uint32_t noowner = 0xFFFFFFFF;
// Memory the walk's notes may take (folders, their names, the clusters
// read), and what one folder or cluster note takes besides its name.
constexpr std::uint64_t walkcap = 16u << 20;
constexpr std::uint64_t perfolder = 96;
constexpr std::uint64_t perwalkread = 8;
// Split-long-name tails one cluster may look at; real volumes have a few
// per checksum.
constexpr int tailbudget = 1024;

// The place a FAT16 root area takes among the found clusters: past every
// cluster a volume can have, and lcn + 2 (its own start cluster) is 0,
// which no entry's "." or pointer names.
constexpr std::uint64_t rootarealcn = 0xFFFFFFFEull;

QString dirnumber(std::uint32_t start) { return QStringLiteral("dir%1").arg(start, 5, 10, QLatin1Char('0')); }

// The trees lost/ keeps for files of no folder, carved files and earlier
// layouts: a folder at the top of lost/ of such a name (in any case, for an
// output disk that ignores it) takes its number instead of sharing one.
QString topname(QString name)
{
    static const QStringList reserved{QStringLiteral("root"), QStringLiteral("orphans"), QStringLiteral("carved")};
    if (reserved.contains(name, Qt::CaseInsensitive) || name.startsWith(QLatin1String("earlier-layout-"), Qt::CaseInsensitive))
        return QString();
    return name;
}

bool shortentry(const unsigned char* s) { return s[0] != slotempty && s[dirfield::attr] != attrlongname; }

// Files with one start cluster and recorded size are rebuilt to the same bytes.
std::uint64_t filekey(const FILEPARM& file)
{
    return std::uint64_t(file.startcluster) << 32 | std::uint32_t(file.recordedsize);
}

}  // namespace

DEEPSCAN::DEEPSCAN(KOVCore& owner, const ClusterClaims& held) : core(owner), claims(held)
{
    clustersize = core.diskparm.clustersize();
    if (clustersize == 0 || clustersize % 32 != 0)
        return;
    clustercount = core.readableclusters();
    folders.push_back(FOLDER{nofolder, 0, 0, 0, false, QString()});
}

void DEEPSCAN::notewalk(const FILEPARM& dir)
{
    if (!dir.deleted || !dir.dirbuf || dir.startcluster < 2 || walked.count(dir.startcluster))
        return;
    const std::uint64_t clusters = clustersize ? (dir.size + clustersize - 1) / clustersize : 0;
    if (walkspent + clusters * perwalkread > walkcap) {
        walkover = true;
        return;
    }
    // dir and its ancestors up to the first one noted before, or up to the
    // root, deepest first: each folder is noted once, so a note costs the
    // same at any depth. The walk enters a start cluster once per pass, so
    // it names one folder.
    std::vector<const FILEPARM*> chain;
    std::uint32_t above = 0;
    for (const FILEPARM* node = &dir; node->parent; node = node->parent.get()) {
        if (const auto w = walked.find(node->startcluster); node != &dir && w != walked.end()) {
            above = w->second;
            break;
        }
        chain.push_back(node);
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        const FILEPARM* node = *it;
        const FILEPARM* up = node->parent.get();
        const auto index = std::uint32_t(folders.size());
        FOLDER f{above, folders[above].depth + 1, index, node->startcluster, node->deleted != 0, QString()};
        if (f.depth > maxdepth)
            f.kept = folders[above].kept;
        else if (up->dirbuf && up->entryindex >= 1 && std::uint64_t(up->entryindex) * 32 <= up->size)
            f.name = directoryname(up->dirbuf.get(), up->entryindex - 1);
        if (f.depth == 1)
            f.name = topname(std::move(f.name));
        walkspent += perfolder + std::uint64_t(f.name.size()) * 2;
        folders.push_back(std::move(f));
        walked.emplace(node->startcluster, index);
        above = index;
    }
    walkspent += clusters * perwalkread;
    for (const DATARUN& run : dir.dataruns)
        for (std::uint64_t i = 0; i < run.length && run.vcn + i < clusters; ++i)
            walkread.emplace_back(std::uint32_t(run.lcn + i), dir.startcluster);
}

std::uint32_t DEEPSCAN::walkowner(std::uint64_t lcn) const
{
    const auto at =
        std::partition_point(walkread.begin(), walkread.end(), [&](const auto& w) { return w.first < lcn; });
    return at != walkread.end() && at->first == lcn ? at->second : noowner;
}

std::uint32_t DEEPSCAN::walkeddeleted(std::uint32_t start) const
{
    const auto w = walked.find(start);
    return w != walked.end() && folders[w->second].deleted ? w->second : nofolder;
}

void DEEPSCAN::notesaved(const FILEPARM& file) { savedfiles.insert(filekey(file)); }

bool DEEPSCAN::keptdirectory(std::uint64_t lcn) const
{
    // Kept in the ascending order the scan reads.
    const auto at = std::partition_point(found.begin(), found.end(), [lcn](const FOUND& f) { return f.lcn < lcn; });
    return at != found.end() && at->lcn == lcn;
}

bool DEEPSCAN::claimed(std::uint64_t lcn) const { return lcn >= clustercount || claims.test(lcn); }

bool DEEPSCAN::eligible(std::uint64_t lcn) const { return !core.inuse(lcn) && !claimed(lcn); }

void DEEPSCAN::examine(std::uint64_t lcn, const unsigned char* cluster)
{
    const SLOTRULES rules{core.dbrparm.fstype == 1, core.fatentries};
    // A first cluster's "." names that very cluster in its own layout: one
    // that names another is a directory of an earlier format's layout
    // (layout/ recovers those), whose entries mean nothing in this one.
    if (dotentry(cluster, 1) && entrystart(cluster, rules.fat32) != lcn + 2)
        return;
    const std::uint32_t used = directoryslots(cluster, clustersize, rules);
    if (used == 0)
        return;
    const std::uint64_t bytes = std::uint64_t(used) * 32;
    if (kept + (found.size() + 1) * perkept + bytes > keepcap) {
        overcap = true;
        return;
    }
    std::shared_ptr<unsigned char[]> copy(new (std::nothrow) unsigned char[bytes]);
    if (!copy) {
        overcap = true;
        return;
    }
    std::memcpy(copy.get(), cluster, bytes);
    kept += bytes;
    found.push_back({lcn, std::move(copy), used, bytes == clustersize});
}

bool DEEPSCAN::addrootarea(std::uint64_t offset, std::uint64_t bytes)
{
    // A FAT16 root holds at most 65,535 entries.
    if (bytes == 0 || bytes % 32 != 0 || bytes > 65535 * 32)
        return false;
    std::shared_ptr<unsigned char[]> area(new (std::nothrow) unsigned char[bytes]);
    if (!area || !platform::readat(core.diskparm.hdisk, offset, std::uint32_t(bytes), area.get()))
        return false;
    const std::uint32_t used = directoryslots(area.get(), bytes, SLOTRULES{false, core.fatentries});
    if (used == 0)
        return false;
    kept += std::uint64_t(used) * 32;
    found.push_back({rootarealcn, std::move(area), used, false});
    return true;
}

bool DEEPSCAN::beginscan()
{
    reader = FREECLUSTERREADER(core.diskparm, clustercount, [this](std::uint64_t lcn) {
        return eligible(lcn) && (!sectors || sectors->maybe(core.diskparm.clusterposition(lcn)));
    });
    if (reader.begin())
        return true;
    if (reader.nomemory())
        core.showwarning(QStringLiteral("cannot allocate memory!"));
    return false;
}

void DEEPSCAN::beginfeed()
{
    fed = true;
    fedposition = 0;
    fedscanned = 0;
}

bool DEEPSCAN::scanstep()
{
    return reader.step([this](const CLUSTERBLOCK& block) {
        for (std::uint64_t k = 0; k < block.clusters; ++k)
            examine(block.lcn + k, block.bytes + k * clustersize);
    });
}

void DEEPSCAN::scan(const std::function<void(std::uint64_t, std::uint64_t)>& progress)
{
    if (!beginscan())
        return;
    for (std::uint64_t before = scannedclusters(); scanstep(); before = scannedclusters())
        if (scannedclusters() != before)
            progress(reader.position(), clustercount);
}

// Which directory each kept cluster belongs to (its start cluster, 0 for the
// root, noowner when unknown), from three kinds of evidence in this order:
// a first cluster's own "." entry and the clusters the walk read; an entry
// pointing at a found first cluster, whose ".." names the directory that
// lists it; and, for a later cluster, a long name begun at the end of a
// full cluster, or the order in which a directory that grew was written:
// it continues a full cluster whose last entry's data
// lie right before the data of its own first entry (or right before the
// cluster itself), or it lies right after a full directory cluster.
std::vector<std::uint32_t> DEEPSCAN::linkowners(std::unordered_map<std::uint32_t, NODE>& nodes,
                                                std::vector<std::size_t>* namepred) const
{
    const bool fat32 = core.dbrparm.fstype == 1;
    std::vector<std::uint32_t> owner(found.size(), noowner);
    std::unordered_map<std::uint64_t, std::size_t> bylcn;
    for (std::size_t i = 0; i < found.size(); ++i) {
        const FOUND& f = found[i];
        bylcn.emplace(f.lcn, i);
        const unsigned char* s = f.bytes.get();
        const std::uint32_t self = std::uint32_t(f.lcn + 2);
        if (dotentry(s, 1) && entrystart(s, fat32) == self) {
            std::uint32_t up = noowner;
            if (f.used >= 2 && dotentry(s + 32, 2)) {
                up = entrystart(s + 32, fat32);
                if (fat32 && up == core.dbrparm.rootcluster)
                    up = 0;
            }
            nodes.emplace(self, NODE{i, up, QString()});
            owner[i] = self;
        }
        if (const std::uint32_t w = walkowner(f.lcn); w != noowner)
            owner[i] = w;
        if (f.lcn == rootarealcn)
            owner[i] = 0;
    }

    // Entries pointing at found directories: names, and the owner of the
    // cluster that lists them.
    std::unordered_map<std::uint32_t, std::vector<std::pair<std::size_t, std::uint32_t>>> pointers;
    for (std::size_t i = 0; i < found.size(); ++i) {
        const unsigned char* s = found[i].bytes.get();
        for (std::uint32_t j = 0; j < found[i].used; ++j) {
            const unsigned char* e = s + std::size_t(j) * 32;
            if (!shortentry(e) || !(e[dirfield::attr] & attrdirectory) || dotentry(e, 1) || dotentry(e, 2))
                continue;
            const auto node = nodes.find(entrystart(e, fat32));
            if (node == nodes.end() || node->second.first == i)
                continue;
            if (owner[i] == noowner)
                owner[i] = node->second.dotdot;
            if (pointers[node->first].size() < 8)
                pointers[node->first].push_back({i, j});
        }
    }

    // Allocation order. The end of an entry's data is its last cluster when
    // the file lies in one piece (a directory: its first cluster).
    auto dataend = [&](const unsigned char* e) -> std::uint64_t {
        const std::uint64_t start = entrystart(e, fat32);
        if (start < 2)
            return 0;
        if (e[dirfield::attr] & attrdirectory)
            return start;
        const std::uint64_t size = le32(e + dirfield::filesize);
        return size == 0 ? 0 : start + (size + clustersize - 1) / clustersize - 1;
    };
    auto lastentry = [&](const FOUND& f) -> const unsigned char* {
        for (std::uint32_t j = f.used; j-- > 0;)
            if (const unsigned char* e = f.bytes.get() + std::size_t(j) * 32; shortentry(e))
                return dotentry(e, 1) || dotentry(e, 2) ? nullptr : e;
        return nullptr;
    };
    std::unordered_map<std::uint64_t, std::size_t> fullbyend;  // data end of the last entry -> cluster
    for (std::size_t i = 0; i < found.size(); ++i)
        if (const unsigned char* e = found[i].full ? lastentry(found[i]) : nullptr; e && dataend(e) != 0)
            fullbyend.emplace(dataend(e), i);
    std::vector<std::size_t> pred(found.size(), found.size());
    std::vector<std::size_t> bylongname(found.size(), found.size());
    std::vector<bool> hassucc(found.size(), false);

    // A long name split over two clusters: the full clusters that end in
    // long-name slots, by their checksum.
    std::unordered_multimap<std::uint8_t, std::size_t> bytail;
    for (std::size_t i = 0; i < found.size(); ++i)
        if (const unsigned char* last = found[i].bytes.get() + std::size_t(found[i].used - 1) * 32;
            found[i].full && last[dirfield::attr] == attrlongname)
            bytail.emplace(last[13], i);
    auto firstchar = [](const unsigned char* part) {
        const char16_t c = char16_t(le16(part + 1));
        return c < 0x80 ? int(QChar(c).toUpper().unicode()) : -1;
    };
    // The one full cluster whose long-name slots the entry opening cluster i
    // continues (same checksum, orders that follow on); none when not one.
    auto continued = [&](std::size_t i) {
        const FOUND& f = found[i];
        const unsigned char* b = f.bytes.get();
        std::uint32_t k = 0;
        while (k < f.used && k < 20 && b[std::size_t(k) * 32 + dirfield::attr] == attrlongname)
            ++k;
        if (k >= f.used || dotentry(b + std::size_t(k) * 32, 1) || dotentry(b + std::size_t(k) * 32, 2))
            return found.size();
        const unsigned char* entry = b + std::size_t(k) * 32;
        const bool erased = entry[0] == slotdeleted;
        // A name whose last part opens this cluster is whole here.
        if (k > 0) {
            if (!erased && (b[0] & 0x40))
                return found.size();
            for (const int at : {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30})
                if (le16(b + at) == 0)
                    return found.size();
        }
        unsigned char name[11];
        std::memcpy(name, entry, 11);
        std::size_t match = found.size();
        int matches = 0;
        // Tails looked at for this cluster: a volume whose clusters all end
        // in slots of one checksum must not make the linking quadratic.
        // Past the budget the answer is "not one", as for two matches.
        int budget = tailbudget;
        auto consider = [&](int part1char) {
            const std::uint8_t sum = shortnamechecksum(name);
            for (std::uint32_t j = 0; j < k; ++j)
                if (b[std::size_t(j) * 32 + 13] != sum)
                    return;
            const auto [from, to] = bytail.equal_range(sum);
            for (auto it = from; it != to && matches < 2; ++it) {
                if (--budget < 0) {
                    matches = 2;
                    return;
                }
                const std::size_t a = it->second;
                const unsigned char* last = found[a].bytes.get() + std::size_t(found[a].used - 1) * 32;
                if (a == i || hassucc[a] || (!erased && (last[0] & 0x3F) != k + 1) ||
                    (part1char >= 0 && firstchar(last) != part1char))
                    continue;
                match = a;
                ++matches;
            }
        };
        if (!erased) {
            if (k == 0 || (b[0] & 0x3F) == k)
                consider(-1);
        } else if (k > 0) {
            // The erased first byte is the long name's first character.
            if (const int c = firstchar(b + std::size_t(k - 1) * 32); c >= 0) {
                name[0] = std::uint8_t(c);
                consider(-1);
            }
        } else {
            for (int c = 0x20; c < 0x80 && matches < 2; ++c) {
                name[0] = std::uint8_t(c);
                consider(c);
            }
        }
        return matches == 1 ? match : found.size();
    };
    for (std::size_t i = 0; i < found.size(); ++i) {
        if ((owner[i] != noowner && nodes.count(std::uint32_t(found[i].lcn + 2))) || found[i].lcn == rootarealcn)
            continue;  // a first cluster, or the root area
        const std::uint64_t self = found[i].lcn + 2;
        const unsigned char* first = nullptr;
        for (std::uint32_t j = 0; j < found[i].used && !first; ++j)
            if (const unsigned char* e = found[i].bytes.get() + std::size_t(j) * 32; shortentry(e) && dataend(e))
                first = e;
        std::vector<std::size_t> choices;
        const std::size_t named = continued(i);
        if (named != found.size())
            choices.push_back(named);
        if (first) {
            // Written one after the other: the data of the last entry
            // before this cluster ends right where the first entry's
            // starts, or right before this cluster when it was taken first.
            const std::uint64_t start = entrystart(first, fat32);
            if (const auto p = fullbyend.find(start - 1); p != fullbyend.end())
                choices.push_back(p->second);
            if (const auto p = fullbyend.find(self - 1); start == self + 1 && p != fullbyend.end())
                choices.push_back(p->second);
        }
        // Taken right after the full cluster before it.
        if (const auto p = bylcn.find(found[i].lcn - 1); found[i].lcn > 0 && p != bylcn.end() && found[p->second].full)
            choices.push_back(p->second);
        for (const std::size_t p : choices) {
            if (p != i && !hassucc[p]) {
                pred[i] = p;
                if (p == named)
                    bylongname[i] = p;
                hassucc[p] = true;
                break;
            }
        }
    }
    // Each cluster takes the owner at the head of its run of predecessors;
    // every cluster is stepped over once (runs may close into a ring).
    std::vector<bool> resolved(found.size(), false);
    std::vector<std::size_t> visit(found.size(), found.size());
    std::vector<std::size_t> path;
    for (std::size_t i = 0; i < found.size(); ++i) {
        path.clear();
        std::size_t at = i;
        while (owner[at] == noowner && !resolved[at] && pred[at] != found.size() && visit[at] != i) {
            visit[at] = i;
            path.push_back(at);
            at = pred[at];
        }
        for (const std::size_t p : path) {
            owner[p] = owner[at];
            resolved[p] = true;
        }
    }

    // A directory's name: the entry in the directory its ".." names, else
    // any entry pointing at it.
    for (auto& [start, node] : nodes) {
        const auto p = pointers.find(start);
        if (p == pointers.end())
            continue;
        std::pair<std::size_t, std::uint32_t> best = p->second.front();
        for (const auto& at : p->second)
            if (owner[at.first] == node.dotdot) {
                best = at;
                break;
            }
        node.name = directoryname(found[best.first].bytes.get(), best.second);
    }
    *namepred = std::move(bylongname);
    return owner;
}

std::uint32_t DEEPSCAN::folderof(std::uint32_t dir, std::unordered_map<std::uint32_t, NODE>& nodes,
                                 std::unordered_map<std::uint32_t, std::uint32_t>& made)
{
    // The directories from dir up to the first that has a folder (a deleted
    // one the walk entered, or one made before), or up to the top of its
    // tree: the root's child, a parent not found, or a parent already on
    // the way (a loop), deepest first.
    std::vector<std::uint32_t> chain;
    std::unordered_set<std::uint32_t> onchain;
    std::uint32_t above = nofolder;
    for (std::uint32_t at = dir;;) {
        if (const std::uint32_t w = walkeddeleted(at); w != nofolder) {
            above = w;
            break;
        }
        if (const auto m = made.find(at); m != made.end()) {
            above = m->second;
            break;
        }
        chain.push_back(at);
        onchain.insert(at);
        const auto node = nodes.find(at);
        if (node == nodes.end())
            break;
        const std::uint32_t up = node->second.dotdot;
        if (up == 0 || up == noowner || onchain.count(up) || (!nodes.count(up) && walkeddeleted(up) == nofolder))
            break;
        at = up;
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        const auto index = std::uint32_t(folders.size());
        FOLDER f{above, above == nofolder ? 1 : folders[above].depth + 1, index, *it, false, QString()};
        if (f.depth > maxdepth)
            f.kept = folders[above].kept;
        else if (const auto node = nodes.find(*it); node != nodes.end())
            f.name = f.depth == 1 ? topname(std::move(node->second.name)) : std::move(node->second.name);
        folders.push_back(std::move(f));
        made.emplace(*it, index);
        above = index;
    }
    return above;
}

QString DEEPSCAN::folderpath(std::uint32_t folder) const
{
    QStringList path;
    for (std::uint32_t at = folders[folder].kept; at != nofolder && folders[at].depth > 0; at = folders[at].parent)
        path.prepend(folders[at].name.isEmpty() ? dirnumber(folders[at].start) : folders[at].name);
    return path.join(QLatin1Char('/'));
}

bool DEEPSCAN::rebuild(const FOUND& cluster, std::uint32_t slot, std::uint16_t fallbackhigh, FILEPARM& out,
                       QString* why) const
{
    const bool fat32 = core.dbrparm.fstype == 1;
    FAT32DIRENTRY e;
    std::memcpy(e.bytes, cluster.bytes.get() + std::size_t(slot) * 32, 32);
    out.dialog = &core;
    out.recordedsize = out.size = e.dword(dirfield::filesize);
    out.setname(KOVCore::getfatfilename(&e).toLatin1());
    if (out.size == 0)
        return false;
    std::uint32_t start = entrystart(e.bytes, fat32);
    if (fat32) {
        if (!KOVCore::validdate(e.word(dirfield::crtdate)) || !KOVCore::validdate(e.word(dirfield::wrtdate))) {
            *why = QStringLiteral("no valid creation and write dates");
            return false;
        }
        if (e.bytes[0] == slotdeleted && e.word(dirfield::fstclushi) == 0) {
            FILEPARM dir;
            dir.clusterhigh = fallbackhigh;
            std::uint32_t high = core.estimatestartclusterhigh(&dir, &e);
            start = high << 16 | e.word(dirfield::fstcluslo);
            while (start >= core.fatentries && high != 0) {
                --high;
                start = high << 16 | e.word(dirfield::fstcluslo);
            }
        }
        out.createtime = std::uint64_t(e.word(dirfield::crtdate)) << 32 |
                         std::uint64_t(e.word(dirfield::crttime)) << 16 | e.bytes[dirfield::crttimetenth];
    } else if (!KOVCore::validdate(e.word(dirfield::wrtdate))) {
        *why = QStringLiteral("no valid write date");
        return false;
    }
    out.startcluster = start;
    out.clusterhigh = std::uint16_t(start >> 16);
    out.entryclusterhigh = e.word(dirfield::fstclushi);
    out.writetime = std::uint64_t(e.word(dirfield::wrtdate)) << 32 | e.word(dirfield::wrttime);
    // Only an erased entry lost its chain's high word; a live-looking one
    // (after a format) kept what it stored.
    out.deleted = e.bytes[0] == slotdeleted ? 1 : 0;
    if (start < 2 || start >= std::min(core.fatentries, core.clusterend)) {
        *why = QStringLiteral("start cluster %1 lies outside the volume").arg(start);
        return false;
    }
    // Runs rebuilt as the saving pass rebuilds a deleted file's: they may
    // cross clusters that other saved files hold.
    out.dataruns = core.fatrecoverdatarun(start, out.size);
    if (out.dataruns.empty()) {
        *why = QStringLiteral("start cluster %1 is in use").arg(start);
        return false;
    }
    if (core.clusterusage(out.dataruns) != 0) {
        *why = QStringLiteral("its clusters from %1 on reach one in use").arg(start);
        return false;
    }
    out.size = std::min(out.size, core.gettotclustersize(out.dataruns));
    return true;
}

// Where recover() stands: the linking's results, the cluster in hand and
// what its entries share.
struct DEEPSCAN::RECOVERING {
    std::unordered_map<std::uint32_t, NODE> nodes;
    std::vector<std::size_t> namepred;
    std::vector<std::uint32_t> owner;
    std::unordered_map<std::uint32_t, std::uint32_t> made;  // lost trees' folders, by start cluster
    std::size_t cluster = 0;  // index in found
    std::uint32_t slot = 0;   // next slot of it
    bool entered = false;     // the cluster's shared state below is set
    std::uint32_t dir = noowner;
    bool deletedonly = false;
    QString subdir;  // made for the first file the cluster hands out
    bool cut = false;
    std::shared_ptr<const unsigned char[]> listing;
    std::uint32_t carried = 0;
    std::uint16_t fallbackhigh = 0;
};

DEEPSCAN::~DEEPSCAN() = default;

void DEEPSCAN::beginrecover()
{
    std::stable_sort(walkread.begin(), walkread.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    walkread.erase(std::unique(walkread.begin(), walkread.end(),
                               [](const auto& a, const auto& b) { return a.first == b.first; }),
                   walkread.end());
    recovering = std::make_unique<RECOVERING>();
    recovering->owner = linkowners(recovering->nodes, &recovering->namepred);
}

bool DEEPSCAN::recoverstep(const std::function<void(const DEEPCANDIDATE&)>& save,
                           const std::function<void(const DEEPCANDIDATE&, const QString&)>& unsaved)
{
    if (!recovering)
        return false;
    RECOVERING& r = *recovering;
    const bool fat32 = core.dbrparm.fstype == 1;
    while (r.cluster < found.size()) {
        const FOUND& f = found[r.cluster];
        if (!r.entered) {
            if (walkowner(f.lcn) != noowner) {
                ++r.cluster;  // the walk listed these entries already
                continue;
            }
            if (r.owner[r.cluster] == noowner && foreign && foreign(f.lcn)) {
                ++r.cluster;  // a piece of another layout's directory
                continue;
            }
            r.entered = true;
            entered.push_back(f.lcn);
            r.slot = 0;
            r.dir = r.owner[r.cluster];
            // Later clusters of a deleted directory the walk entered give
            // only their deleted entries; lost trees and loose clusters give
            // all.
            r.deletedonly = r.dir != noowner && walkeddeleted(r.dir) != nofolder;
            r.subdir.clear();
            r.cut = false;
            // A long name begun at the end of the full cluster this one
            // continues runs on into it: its entries see that cluster's
            // slots before their own.
            r.listing = f.bytes;
            r.carried = 0;
            if (r.namepred[r.cluster] != found.size()) {
                const FOUND& p = found[r.namepred[r.cluster]];
                std::shared_ptr<unsigned char[]> joined(new unsigned char[(std::size_t(p.used) + f.used) * 32]);
                std::memcpy(joined.get(), p.bytes.get(), std::size_t(p.used) * 32);
                std::memcpy(joined.get() + std::size_t(p.used) * 32, f.bytes.get(), std::size_t(f.used) * 32);
                r.listing = std::move(joined);
                r.carried = p.used;
            }
            r.fallbackhigh = std::uint16_t((f.lcn + 2) >> 16);
        }
        while (r.slot < f.used) {
            const std::uint32_t j = r.slot++;
            const unsigned char* e = f.bytes.get() + std::size_t(j) * 32;
            if (!shortentry(e) || dotentry(e, 1) || dotentry(e, 2))
                continue;
            const bool erased = e[0] == slotdeleted;
            if (fat32 && !erased)
                r.fallbackhigh = le16(e + dirfield::fstclushi);
            if ((e[dirfield::attr] & (attrdirectory | 0x08)) || (r.deletedonly && !erased))
                continue;
            DEEPCANDIDATE candidate;
            QString why;
            const bool rebuilt = rebuild(f, j, r.fallbackhigh, candidate.file, &why);
            if (!rebuilt && why.isEmpty())
                continue;  // an entry without contents
            candidate.slotbytes = r.listing;
            candidate.slotcount = r.carried + f.used;
            candidate.slotindex = r.carried + j;
            if (r.subdir.isEmpty()) {
                // The path is made for the first file this cluster hands out.
                if (r.dir == noowner) {
                    r.subdir = QStringLiteral("lost/orphans/");
                } else if (r.dir == 0) {
                    r.subdir = QStringLiteral("lost/root/");
                } else {
                    const std::uint32_t folder = folderof(r.dir, r.nodes, r.made);
                    r.cut = folders[folder].kept != folder;
                    r.subdir = QStringLiteral("lost/") + folderpath(folder) + QLatin1Char('/');
                }
            }
            candidate.subdir = r.subdir;
            candidate.keepshortname = !erased;
            if (rebuilt && !savedfiles.insert(filekey(candidate.file)).second)
                why = QStringLiteral("the start cluster and size of a file already saved");
            if (!why.isEmpty()) {
                ++notsaved;
                unsaved(candidate, why);
            } else {
                shallower += r.cut ? 1 : 0;
                save(candidate);
            }
            return true;
        }
        r.entered = false;
        ++r.cluster;
    }
    recovering.reset();
    return false;
}

std::vector<DATARUN> DEEPSCAN::owndirectories() const
{
    std::vector<std::uint64_t> lcns = entered;
    for (const auto& w : walkread)
        lcns.push_back(w.first);
    std::sort(lcns.begin(), lcns.end());
    std::vector<DATARUN> runs;
    lcns.erase(std::unique(lcns.begin(), lcns.end()), lcns.end());
    for (const std::uint64_t lcn : lcns)
        appendcluster(runs, lcn);
    return runs;
}

void DEEPSCAN::recover(const std::function<void(const DEEPCANDIDATE&)>& save,
                       const std::function<void(const DEEPCANDIDATE&, const QString&)>& unsaved)
{
    beginrecover();
    while (recoverstep(save, unsaved)) {
    }
}

}  // namespace deep
