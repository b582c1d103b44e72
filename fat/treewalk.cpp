// The directory tree walk: the root, one step over a directory's slots, and
// the loop test.
#include "model/kovcore.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

// A directory larger than this is handed out without contents.
constexpr std::uint64_t directorycap = 10000000;

}  // namespace

// Reads a directory's contents into a fresh buffer, a cluster at a time. A
// sector that cannot be read ends the listing there: the slots read so far
// stay, everything after them reads as empty slots.
void KOVCore::readdirectory(FILEPARM& dir)
{
    std::shared_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[dir.size]());
    if (!buffer) {
        showwarning(QStringLiteral("cannot allocate memory!"));
        dir.size = 0;
        dir.dirbuf.reset();
        dir.entryindex = 0;
        return;
    }
    const std::uint64_t step = diskparm.clustersize();
    for (std::uint64_t offset = 0; step != 0 && offset < dir.size; offset += step) {
        // A sector that cannot be read loses only its own slots: zeros,
        // which the walk passes over as empty ones.
        std::uint64_t got = 0;
        std::vector<badsectors::BYTESPAN> holes;
        if (dir.readfile(diskparm, offset, step, buffer.get() + offset, &got, &holes))
            continue;
        // The source ends inside the cluster: the sectors before its end
        // still count, each through a scratch sector, because a failed
        // read may leave part of its bytes behind.
        const std::uint32_t sectorbytes = diskparm.bytespersector;
        const std::uint64_t lcn = dir.vcn2lcn(offset / step);
        std::unique_ptr<unsigned char[]> sector(new (std::nothrow) unsigned char[sectorbytes]);
        for (std::uint64_t at = 0; sector && lcn != ~std::uint64_t(0) && at < step && offset + at < dir.size;
             at += sectorbytes) {
            if (!readasector(diskparm.hdisk, sectorbytes, (diskparm.clusterposition(lcn) + at) / sectorbytes,
                             sector.get()))
                break;
            std::memcpy(buffer.get() + offset + at, sector.get(),
                        std::size_t(std::min<std::uint64_t>(sectorbytes, dir.size - offset - at)));
        }
        break;
    }
    dir.dirbuf = std::move(buffer);
    dir.entryindex = 0;
}

bool KOVCore::continuesdirectory(const unsigned char*, std::uint64_t) const { return false; }

void KOVCore::extenddeleteddirectory(FILEPARM& dir)
{
    // A deleted folder's entry keeps no size and its chain is gone; its
    // first cluster alone is rebuilt. One that is full (no end slot) went
    // on, as folders do, into the first cluster free when it grew: after
    // it, past what was written in between. The search looks that far
    // ahead at most, and a walk reads at most continuationreads clusters
    // for it; a cluster continues one folder only.
    // FAT12 only: FAT16 and FAT32 walks keep the plain rebuild of a
    // deleted folder (its first cluster), which the deep scan goes beyond;
    // asked here, before any cluster is read for it.
    if (dbrparm.fstype != 5)
        return;
    constexpr std::uint64_t ahead = 1024;
    const std::uint64_t step = diskparm.clustersize();
    if (step == 0 || step % 32 != 0 || dir.dataruns.size() != 1 || dir.size != step || !dir.dirbuf)
        return;
    // A folder holds at most 65,536 slots.
    const std::uint64_t most = std::max<std::uint64_t>(1, 65536 * 32 / step);
    const std::uint64_t end = std::min(fatentries, clusterend) - 2;
    std::unique_ptr<unsigned char[]> cluster(new (std::nothrow) unsigned char[step]);
    std::vector<unsigned char> more;
    std::vector<DATARUN> runs = dir.dataruns;
    const unsigned char* last = dir.dirbuf.get();
    std::uint64_t from = runs[0].lcn + 1;
    while (cluster && more.size() / step + 1 < most) {
        bool full = true;
        for (std::uint64_t at = 0; at < step && full; at += 32)
            full = last[at] != slotempty;
        if (!full)
            break;
        std::uint64_t found = end;
        for (std::uint64_t lcn = from; lcn < std::min(end, from + ahead) && continuationreads > 0; ++lcn) {
            if (inuse(lcn) != 0 || getfatentry(std::uint32_t(lcn + 2)) != 0 || continuations.count(lcn) != 0)
                continue;
            --continuationreads;
            if (readsectors(diskparm.hdisk, diskparm.bytespersector,
                            diskparm.clusterposition(lcn) / diskparm.bytespersector, diskparm.sectorspercluster,
                            cluster.get()) &&
                continuesdirectory(cluster.get(), step)) {
                found = lcn;
                break;
            }
        }
        if (found == end)
            break;
        continuations.insert(found);
        appendcluster(runs, found);
        more.insert(more.end(), cluster.get(), cluster.get() + step);
        last = more.data() + more.size() - step;
        from = found + 1;
    }
    if (more.empty())
        return;
    std::shared_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[step + more.size()]);
    if (!buffer)
        return;
    std::memcpy(buffer.get(), dir.dirbuf.get(), step);
    std::memcpy(buffer.get() + step, more.data(), more.size());
    dir.dataruns = std::move(runs);
    dir.size += more.size();
    dir.dirbuf = std::move(buffer);
    dir.entryindex = 0;
}

void KOVCore::getfatroot(FILEPARM& root)
{
    root.isdir = 1;
    root.setname(QByteArrayLiteral("\\"));
    if (dbrparm.fstype == 1) {
        root.dataruns = fatgetdatarun(dbrparm.rootcluster);
        root.size = gettotclustersize(root.dataruns);
        if (root.size > directorycap)
            root.size = directorycap - directorycap % 32;  // cannot hold more; keep the first part
        root.dialog = this;
        readdirectory(root);
    } else {
        const std::uint32_t bytes = std::uint32_t(dbrparm.rootentries) * 32;
        const std::uint32_t sectors = dbrparm.bytespersector == 0
                                          ? 0
                                          : (bytes + dbrparm.bytespersector - 1) / dbrparm.bytespersector;
        const std::uint64_t first =
            std::uint32_t(dbrparm.reservedsectors + dbrparm.sectorsperfat * dbrparm.fatcount);
        std::shared_ptr<unsigned char[]> buffer(
            new (std::nothrow) unsigned char[std::size_t(sectors) * dbrparm.bytespersector + 1]());
        if (buffer) {
            // Read sector by sector so that a bad sector loses only its own
            // slots.
            for (std::uint32_t s = 0; s < sectors; ++s) {
                unsigned char* at = buffer.get() + std::size_t(s) * dbrparm.bytespersector;
                if (!readsectors(diskparm.hdisk, dbrparm.bytespersector, first + s, 1, at)) {
                    // What a failed read left behind is no directory; the
                    // sectors after it still are.
                    std::memset(at, 0, dbrparm.bytespersector);
                }
            }
            root.size = bytes;
        } else {
            root.size = 0;
        }
        root.dirbuf = std::move(buffer);
    }
    root.entryindex = 0;
    root.startcluster = dbrparm.rootcluster;
    root.entryclusterhigh = std::uint16_t(dbrparm.rootcluster >> 16);
    // Before any live entry is passed, the root's own high word is the
    // fallback for an erased one, as a subdirectory's is.
    root.clusterhigh = root.entryclusterhigh;
    root.dialog = this;
    root.parent.reset();
}

bool KOVCore::detectloop(const FILEPARM& dir) const
{
    for (const FILEPARM* up = dir.parent.get(); up; up = up->parent.get()) {
        // A fixed root lies outside the data area: its nominal cluster 2
        // is a real data cluster of some directory, not the root's.
        if (!up->parent && dbrparm.fixedroot())
            continue;
        if (up->startcluster == dir.startcluster)
            return true;
    }
    return false;
}

int FILEPARM::getnextfile(FILEPARM& out, int mode)
{
    KOVCore& core = *dialog;
    out.clear();
    const bool fat32 = core.dbrparm.fstype == 1;
    for (;; ++entryindex) {
        if (!dirbuf || std::uint64_t(entryindex) * 32 >= size || std::uint64_t(entryindex) * 32 + 32 > size) {
            if (!parent)
                return -2;
            out = *parent;
            return -1;
        }
        FAT32DIRENTRY e;
        std::memcpy(e.bytes, dirbuf.get() + std::size_t(entryindex) * 32, 32);
        const unsigned char first = e.bytes[0];
        if (first == slotempty || (first == slotdeleted && mode != 0) || first == '.' ||
            e.bytes[dirfield::attr] == attrlongname)
            continue;

        std::uint32_t start;
        if (fat32) {
            start = std::uint32_t(e.word(dirfield::fstclushi)) << 16 | e.word(dirfield::fstcluslo);
            if (start < 2 || start > 0x0FFFFFFE || start >= core.fatentries)
                continue;
            if (!KOVCore::validdate(e.word(dirfield::crtdate)) || !KOVCore::validdate(e.word(dirfield::wrtdate)))
                continue;
            out.entryclusterhigh = e.word(dirfield::fstclushi);
            if (first != slotdeleted)
                clusterhigh = e.word(dirfield::fstclushi);
            if (first == slotdeleted && e.word(dirfield::fstclushi) == 0) {
                std::uint32_t high = core.estimatestartclusterhigh(this, &e);
                start = high << 16 | e.word(dirfield::fstcluslo);
                while (start >= core.fatentries && high != 0) {
                    --high;
                    start = high << 16 | e.word(dirfield::fstcluslo);
                }
            }
            out.startcluster = start;
            out.clusterhigh = std::uint16_t(start >> 16);
            out.createtime = std::uint64_t(e.word(dirfield::crtdate)) << 32 |
                             std::uint64_t(e.word(dirfield::crttime)) << 16 | e.bytes[dirfield::crttimetenth];
        } else {
            start = e.word(dirfield::fstcluslo);
            if (start < 2 || start >= core.fatentries)
                continue;
            if (!KOVCore::validdate(e.word(dirfield::wrtdate)))
                continue;
            out.startcluster = start;
        }
        out.writetime = std::uint64_t(e.word(dirfield::wrtdate)) << 32 | e.word(dirfield::wrttime);
        out.recordedsize = out.size = e.dword(dirfield::filesize);
        out.isdir = (e.bytes[dirfield::attr] & attrdirectory) ? 1 : 0;
        out.deleted = (first == slotdeleted || deleted) ? 1 : 0;
        out.setname(KOVCore::getfatfilename(&e).toLatin1());
        out.dialog = dialog;

        const std::uint64_t clustersize = core.diskparm.clustersize();
        if (!out.deleted)
            out.dataruns = core.fatgetdatarun(out.startcluster);
        else
            out.dataruns = core.fatrecoverdatarun(out.startcluster,
                                                  out.isdir && out.size == 0 ? clustersize : out.size);
        if ((out.deleted && core.clusterusage(out.dataruns) != 0) || out.dataruns.empty()) {
            if (out.deleted)
                core.entrydropped(*this, out);
            out.clear();
            continue;
        }
        const std::uint64_t total = core.gettotclustersize(out.dataruns);
        if (out.size > total)
            out.size = total;
        if (out.isdir) {
            if (out.size == 0)
                out.size = total;
            if (out.size > directorycap) {
                out.size = 0;
                out.dirbuf.reset();
                out.entryindex = 0;
            } else {
                core.readdirectory(out);
                if (out.deleted && out.recordedsize == 0)
                    core.extenddeleteddirectory(out);
            }
        }
        return int(++entryindex);
    }
}
