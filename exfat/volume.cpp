#include "exfat/volume.h"

#include "exfat/entryset.h"
#include "model/fileparm.h"
#include "model/littleendian.h"
#include "model/readableclusters.h"

#include <algorithm>
#include <map>
#include <new>

namespace exfat {

namespace {

constexpr std::uint32_t fatblockbytes = 64 << 10;
// FAT blocks held at once: 64 MiB, the FAT of 16 M clusters. Past it the
// cache starts again empty.
constexpr std::size_t fatblockcap = 1024;

std::uint64_t le64(const unsigned char* p) { return std::uint64_t(le32(p)) | std::uint64_t(le32(p + 4)) << 32; }

// Adds a cluster to runs, extending the last one when it follows it.
void append(CHAIN& chain, std::uint32_t cluster)
{
    appendcluster(chain.runs, std::uint64_t(cluster) - 2);
    ++chain.clusters;
}

}  // namespace

CHAIN contiguous(std::uint32_t first, std::uint64_t count)
{
    CHAIN chain;
    chain.end = CHAIN::END::ended;
    if (count != 0)
        chain.runs.push_back({std::uint64_t(first) - 2, count, 0});
    chain.clusters = count;
    return chain;
}

CHAIN prefix(const CHAIN& chain, std::uint64_t clusters)
{
    CHAIN out;
    out.end = chain.end;
    for (const DATARUN& run : chain.runs) {
        if (out.clusters == clusters)
            break;
        const std::uint64_t take = std::min(run.length, clusters - out.clusters);
        out.runs.push_back({run.lcn, take, out.clusters});
        out.clusters += take;
    }
    return out;
}

QString EXFATVOLUME::open(platform::volhandle h, std::uint64_t bytes)
{
    if (const QString why = openroot(h, bytes); !why.isEmpty())
        return why;
    return readbitmap();
}

QString EXFATVOLUME::openroot(platform::volhandle h, std::uint64_t bytes)
{
    *this = EXFATVOLUME();
    handle = h;
    sourcebytes = bytes;
    if (const QString why = readbootregion(handle, sourcebytes, &geometry); !why.isEmpty())
        return why;
    if (geometry.checksumfailed)
        notes.append(QStringLiteral("both boot regions fail their checksum: the fields of the %1 one, which fit "
                                    "together, were used")
                         .arg(geometry.frombackup ? QStringLiteral("backup") : QStringLiteral("main")));
    else if (geometry.frombackup)
        notes.append(QStringLiteral("the main boot region is damaged; the backup boot region was used"));
    // The second of two FATs when ActiveFat says so (TexFAT).
    activefat = (geometry.volumeflags & 1) && geometry.fatcount == 2 ? 1 : 0;
    // Clusters past the volume's or the source's end hold nothing.
    const std::uint64_t volumebytes = geometry.volumelength > (UINT64_MAX >> geometry.sectorshift)
                                          ? UINT64_MAX
                                          : geometry.volumelength << geometry.sectorshift;
    readable = std::uint32_t(::readableclusters(geometry.clustercount,
                                                std::uint64_t(geometry.heapoffset) << geometry.sectorshift,
                                                geometry.clusterbytes(), volumebytes, sourcebytes));
    if (readable < geometry.clustercount)
        notes.append(QStringLiteral("the source ends after %1 of the %2 clusters of the cluster heap")
                         .arg(readable)
                         .arg(geometry.clustercount));
    const std::uint64_t fatbytes = (std::uint64_t(readable) + 2) * 4;
    const std::size_t blocks = std::size_t((fatbytes + fatblockbytes - 1) / fatblockbytes);
    fatblocks.resize(blocks);
    fatfailed.assign(blocks, false);
    if (readable == 0)
        return QStringLiteral("the source ends before the cluster heap");
    return readroot();
}

bool EXFATVOLUME::allocated(std::uint64_t cluster) const
{
    if (!inheap(cluster))
        return true;
    return !bitmap.covers(cluster - 2) || bitmap.test(cluster - 2);
}

std::uint64_t EXFATVOLUME::nextunallocated(std::uint64_t cluster, std::uint64_t end) const
{
    end = std::min<std::uint64_t>(end, std::uint64_t(readable) + 2);
    const std::uint64_t from = std::max<std::uint64_t>(cluster, 2);
    if (from >= end)
        return end;
    return bitmap.nextclear(from - 2, end - 2) + 2;
}

std::uint32_t EXFATVOLUME::fatentry(std::uint32_t cluster) const
{
    if (cluster >= std::uint64_t(readable) + 2)
        return fatbad;
    const std::uint64_t byte = std::uint64_t(cluster) * 4;
    const std::size_t block = std::size_t(byte / fatblockbytes);
    if (!fatblocks[block]) {
        if (fatfailed[block])
            return fatbad;
        if (fatloaded >= fatblockcap) {
            for (auto& b : fatblocks)
                b.reset();
            fatloaded = 0;
        }
        const std::uint64_t fatstart = (std::uint64_t(geometry.fatoffset) + activefat * std::uint64_t(geometry.fatlength))
                                       << geometry.sectorshift;
        const std::uint64_t total = (std::uint64_t(readable) + 2) * 4;
        const std::uint64_t from = std::uint64_t(block) * fatblockbytes;
        const std::uint32_t length = std::uint32_t(std::min<std::uint64_t>(fatblockbytes, total - from));
        std::unique_ptr<unsigned char[]> bytes(new (std::nothrow) unsigned char[fatblockbytes]);
        if (!bytes || !platform::readat(handle, fatstart + from, length, bytes.get())) {
            fatfailed[block] = true;
            return fatbad;
        }
        fatblocks[block] = std::move(bytes);
        ++fatloaded;
    }
    return le32(fatblocks[block].get() + byte % fatblockbytes);
}

CHAIN EXFATVOLUME::follow(std::uint32_t first, std::uint64_t maxclusters,
                          const std::function<bool(std::uint32_t)>& stop) const
{
    CHAIN chain;
    // Clusters passed, as [first, last] ranges: a loop back into any of
    // them ends the chain, in log time per step at any fragmentation.
    std::map<std::uint32_t, std::uint32_t> passed;
    std::uint32_t here = first;
    while (chain.clusters < maxclusters) {
        if (!inheap(here)) {
            chain.end = here == fatend ? CHAIN::END::ended : CHAIN::END::broken;
            // A chain that starts nowhere is broken, never ended.
            if (chain.clusters == 0)
                chain.end = CHAIN::END::broken;
            return chain;
        }
        auto after = passed.upper_bound(here);
        if ((after != passed.begin() && std::prev(after)->second >= here) || (stop && stop(here))) {
            chain.end = CHAIN::END::looped;
            return chain;
        }
        auto before = after == passed.begin() ? passed.end() : std::prev(after);
        if (before != passed.end() && before->second + 1 == here)
            before->second = here;
        else
            passed.emplace(here, here);
        append(chain, here);
        here = fatentry(here);
    }
    chain.end = here == fatend ? CHAIN::END::ended : CHAIN::END::limit;
    return chain;
}

bool EXFATVOLUME::read(const CHAIN& chain, std::uint64_t bytes, unsigned char* out) const
{
    if (bytes == 0)
        return true;
    FILEPARM file;
    file.dataruns = chain.runs;
    file.size = bytes;
    std::uint64_t got = 0;
    return file.readfile(disk(), 0, bytes, out, &got) && got == bytes;
}

QString EXFATVOLUME::readroot()
{
    const std::uint64_t cluster = clusterbytes();
    const CHAIN root = follow(geometry.rootcluster, maxdirectorybytes / cluster);
    const std::uint64_t bytes = root.clusters * cluster;
    std::vector<unsigned char> raw;
    try {
        raw.resize(std::size_t(bytes));
    } catch (const std::bad_alloc&) {
        return QStringLiteral("cannot allocate memory for the root directory");
    }
    if (!read(root, bytes, raw.data()))
        return QStringLiteral("the root directory cannot be read");
    // One allocation bitmap per FAT, told apart by bit 0 of its flags.
    std::uint32_t bitmaps[2] = {0, 0};
    std::uint64_t bitmaplengths[2] = {0, 0};
    for (std::uint64_t at = 0; at + entrybytes <= bytes; at += entrybytes) {
        const unsigned char* e = raw.data() + at;
        if (e[0] == 0)
            break;
        if (e[0] == typebitmap && bitmaps[e[1] & 1] == 0) {
            bitmaps[e[1] & 1] = le32(e + 20);
            bitmaplengths[e[1] & 1] = le64(e + 24);
        } else if (e[0] == typeupcase && upcasecluster == 0) {
            upcasechecksum = le32(e + 4);
            upcasecluster = le32(e + 20);
            upcasebytes = le64(e + 24);
        } else if (e[0] == typelabel && label.isEmpty()) {
            const int count = std::min<int>(e[1], 11);
            for (int i = 0; i < count; ++i)
                label.append(QChar(le16(e + 2 + 2 * i)));
        }
    }
    if (bitmaps[activefat] == 0 && bitmaps[1 - activefat] != 0) {
        // A volume that keeps one bitmap keeps one FAT: the FAT the bitmap
        // goes with is read, whatever ActiveFat says.
        const unsigned other = 1 - activefat;
        if (geometry.fatcount == 2) {
            notes.append(QStringLiteral("FAT %1 of 2 is named active, but the root has one allocation bitmap, of "
                                        "FAT %2: that bitmap and FAT were used")
                             .arg(activefat + 1)
                             .arg(other + 1));
            activefat = other;
            for (auto& b : fatblocks)
                b.reset();
            fatfailed.assign(fatfailed.size(), false);
            fatloaded = 0;
        } else {
            notes.append(QStringLiteral("the one allocation bitmap is marked as a second FAT's: used all the same"));
        }
        bitmaps[activefat] = bitmaps[other];
        bitmaplengths[activefat] = bitmaplengths[other];
    }
    bitmapcluster = bitmaps[activefat];
    bitmapbytes = bitmaplengths[activefat];
    if (bitmapcluster == 0)
        return QStringLiteral("the root directory names no allocation bitmap");
    if (upcasecluster == 0)
        notes.append(QStringLiteral("the root directory names no up-case table"));
    return QString();
}

QString EXFATVOLUME::readbitmap()
{
    const std::uint64_t need = (std::uint64_t(readable) + 7) / 8;
    if (bitmapbytes < (std::uint64_t(geometry.clustercount) + 7) / 8)
        notes.append(QStringLiteral("the allocation bitmap is shorter than the cluster heap: clusters past it "
                                    "count as in use"));
    const std::uint64_t bytes = std::min(need, bitmapbytes);
    const std::uint64_t clusters = (bytes + clusterbytes() - 1) / clusterbytes();
    if (!inheap(bitmapcluster) || bitmapcluster - 2 + clusters > readable)
        return QStringLiteral("the allocation bitmap lies outside the cluster heap");
    CHAIN chain = follow(bitmapcluster, clusters);
    if (chain.clusters < clusters) {
        notes.append(QStringLiteral("the FAT chain of the allocation bitmap is broken: read as contiguous"));
        chain = contiguous(bitmapcluster, clusters);
    }
    if (!bitmap.resize(bytes * 8))
        return QStringLiteral("cannot allocate memory for the allocation bitmap");
    if (!read(chain, bytes, bitmap.data()))
        return QStringLiteral("the allocation bitmap cannot be read");
    return QString();
}

}  // namespace exfat
