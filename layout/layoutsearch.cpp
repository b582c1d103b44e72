#include "layout/layoutsearch.h"

#include "deep/dirslots.h"
#include "layout/nested.h"
#include "model/littleendian.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <unordered_set>

namespace layout {

namespace {

constexpr std::uint64_t sector = 512;
// Cluster sizes a FAT volume may have.
constexpr std::uint64_t smallest = 512;
constexpr std::uint64_t largest = 256 << 10;
// How far before the data start a FAT16 root area is looked for: 2048
// entries.
constexpr std::uint64_t rootwindow = 64 << 10;
constexpr std::uint64_t fat16clusters = 4085;
constexpr std::uint64_t fat32clusters = 65525;

bool direntryat(const unsigned char* s, const char* name)
{
    const unsigned char attr = s[11];
    return std::memcmp(s, name, 11) == 0 && (attr & 0x10) && !(attr & 0xC0);
}

std::uint32_t startof(const unsigned char* s) { return std::uint32_t(le16(s + 20)) << 16 | le16(s + 26); }

bool agrees(const DIRPAIR& p, std::uint64_t size, std::uint64_t start)
{
    return p.offset == start + (std::uint64_t(p.cluster) - 2) * size;
}

}  // namespace

QString FOUNDLAYOUT::sizename() const
{
    return clustersize % 1024 == 0 ? QStringLiteral("%1k").arg(clustersize / 1024) : QString::number(clustersize);
}

QString FOUNDLAYOUT::fattype() const
{
    return fat32 ? QStringLiteral("FAT32") : fat12 ? QStringLiteral("FAT12") : QStringLiteral("FAT16");
}

QString FOUNDLAYOUT::describe() const
{
    return QStringLiteral("%1 (found), %2 byte clusters, data area at byte %3, %4 directories agree")
        .arg(fattype())
        .arg(clustersize)
        .arg(datastart)
        .arg(directories);
}

std::uint64_t slotbound(const FOUNDLAYOUT& found)
{
    return std::max<std::uint64_t>(found.clusters + 2, found.fat32 ? 0x0FFFFFF6 : found.fat12 ? 0xFF6 : 0xFFF6);
}

bool findpairs(const unsigned char* bytes, std::size_t n, std::uint64_t base, std::vector<DIRPAIR>* out,
               std::size_t room)
{
    for (std::size_t at = 0; at + 64 <= n; at += sector) {
        const unsigned char* s = bytes + at;
        if (s[0] != '.' || !direntryat(s, ".          ") || !direntryat(s + 32, "..         "))
            continue;
        const std::uint32_t self = startof(s);
        if (self < 2)
            continue;
        if (out->size() >= room)
            return false;
        out->push_back({base + at, self, startof(s + 32)});
    }
    return true;
}

std::vector<FOUNDLAYOUT> chooselayouts(std::vector<DIRPAIR>& pairs, std::uint64_t sourcebytes, int rounds)
{
    std::vector<FOUNDLAYOUT> out;
    std::vector<std::uint64_t> starts;
    starts.reserve(pairs.size());
    std::vector<bool> taken(pairs.size(), false);
    for (int round = 0; round < rounds; ++round) {
        FOUNDLAYOUT best;
        for (std::uint64_t size = largest; size >= smallest; size /= 2) {
            starts.clear();
            for (std::size_t i = 0; i < pairs.size(); ++i) {
                const std::uint64_t before = (std::uint64_t(pairs[i].cluster) - 2) * size;
                if (!taken[i] && pairs[i].offset >= before && pairs[i].offset - before < sourcebytes)
                    starts.push_back(pairs[i].offset - before);
            }
            std::sort(starts.begin(), starts.end());
            for (std::size_t i = 0; i < starts.size();) {
                std::size_t j = i;
                while (j < starts.size() && starts[j] == starts[i])
                    ++j;
                // Ties go to the larger cluster, tried first.
                if (j - i > best.directories)
                    best = FOUNDLAYOUT{size, starts[i], j - i};
                i = j;
            }
        }
        if (best.directories < minagree)
            break;
        best.clusters = (sourcebytes - best.datastart) / best.clustersize;
        for (std::size_t i = 0; i < pairs.size(); ++i)
            if (agrees(pairs[i], best.clustersize, best.datastart))
                taken[i] = true;
        out.push_back(best);
    }
    return out;
}

LAYOUTSEARCH::LAYOUTSEARCH(platform::volhandle source, std::uint64_t sourcebytes)
    : handle(source), bytes(sourcebytes / sector * sector)
{
}

void PAIRSFEED::block(const SWEEPBLOCK& b)
{
    const std::uint64_t end = std::min<std::uint64_t>(b.at + b.n, search.total());
    if (b.at < end)
        search.take(b.bytes, std::size_t(end - b.at), b.at, b.unreadable(b.at, end));
}

bool LAYOUTSEARCH::step()
{
    if (position >= bytes)
        return false;
    if (!own) {
        own = std::make_unique<SWEEP>(handle, bytes);
        feeder = std::make_unique<PAIRSFEED>(*this);
        own->add(feeder.get());
    }
    const bool more = own->step();
    position = std::max(position, own->passed());
    if (!more && own->nomemory()) {
        unread += bytes - position;
        position = bytes;
    }
    return more && position < bytes;
}

void LAYOUTSEARCH::take(const unsigned char* block, std::size_t n, std::uint64_t at, std::uint64_t unreadable)
{
    if (at >= bytes)
        return;
    n = std::size_t(std::min<std::uint64_t>(n, bytes - at));
    // Sectors that could not be read are zeros: they hold no pair.
    if (!overcap && !findpairs(block, n, at, &pairs, maxpairs))
        overcap = true;
    unread += unreadable;
    position = at + n;
}

void LAYOUTSEARCH::decidetype(FOUNDLAYOUT& found) const
{
    std::unordered_set<std::uint32_t> top;
    for (const DIRPAIR& p : pairs)
        if (p.parent == 0 && agrees(p, found.clustersize, found.datastart))
            top.insert(p.cluster);
    const std::uint64_t window = std::min(rootwindow, found.datastart);
    std::vector<unsigned char> area(window);
    if (window != 0 && !top.empty() && platform::readat(handle, found.datastart - window, std::uint32_t(window), area.data())) {
        const deep::SLOTRULES rules{false, found.clusters + 2};
        // The largest area that ends at the data start, parses as
        // directory slots and lists a top-level directory.
        for (std::uint64_t k = window; k >= sector && found.rootbytes == 0; k -= sector) {
            const unsigned char* table = area.data() + (window - k);
            const std::uint32_t used = deep::directoryslots(table, k, rules);
            for (std::uint32_t j = 0; j < used; ++j) {
                const unsigned char* e = table + std::size_t(j) * 32;
                if (e[11] != 0x0F && (e[11] & 0x10) && top.count(le16(e + 26))) {
                    found.rootbytes = k;
                    break;
                }
            }
        }
    }
    found.fat32 = found.rootbytes == 0 && found.clusters >= fat32clusters;
    found.fat12 = found.rootbytes != 0 && found.clusters < fat16clusters;
}

std::vector<FOUNDLAYOUT> LAYOUTSEARCH::layouts(const FOUNDLAYOUT* own)
{
    // One more than is kept: a disk image's layout may be among them.
    std::vector<FOUNDLAYOUT> found = chooselayouts(pairs, bytes, 3);
    for (FOUNDLAYOUT& f : found)
        decidetype(f);
    const auto same = [](const FOUNDLAYOUT& a, const FOUNDLAYOUT& b) {
        return a.clustersize == b.clustersize && a.datastart == b.datastart;
    };
    std::vector<FOUNDLAYOUT> kept;
    for (std::size_t i = 0; i < found.size() && kept.size() < 2; ++i) {
        // The volume's own layout is never inside one of its files.
        bool nested = own && !same(*own, found[i]) && insidefile(handle, pairs, *own, found[i]);
        for (std::size_t j = 0; j < found.size() && !nested; ++j)
            nested = j != i && !(own && same(*own, found[j])) && insidefile(handle, pairs, found[j], found[i]);
        if (!nested)
            kept.push_back(found[i]);
    }
    return kept;
}

}  // namespace layout
