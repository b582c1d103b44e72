// The first FAT: caching, entry lookup and chain walking.
#include "model/kovcore.h"
#include "model/littleendian.h"
#include "platform/volumesource.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

namespace {

// Returned for an entry that cannot be known: ends any chain and counts as
// allocated, so the rebuilding never takes such a cluster as free.
constexpr std::uint32_t unknownentry = 0xFFFFFFFF;

}  // namespace

bool KOVCore::fathead(const unsigned char* table, int bits, std::uint8_t media)
{
    if (bits == 32)
        return (le32(table) & 0x0FFFFFFF) == (0x0FFFFF00u | media) &&
               ((le32(table + 4) | 0x0C000000) & 0x0FFFFFFF) >= 0x0FFFFFF8;
    if (bits == 12)
        return table[0] == media && table[1] == 0xFF && table[2] >= 0xFF;
    return le16(table) == (0xFF00u | media) && (le16(table + 2) | 0xC000) >= 0xFFF8;
}

bool KOVCore::marksnolivechain(const unsigned char* table) const
{
    const bool fat32 = dbrparm.fstype == 1;
    const std::uint64_t sectorbytes = dbrparm.bytespersector;
    if (sectorbytes < 32)
        return false;
    // The root directory's first sectors: the FAT16 root area, or the
    // FAT32 root's first cluster (whose own entry a sound table marks).
    std::uint64_t first = 0;
    std::uint64_t count = 0;
    std::vector<std::uint32_t> starts;
    if (fat32) {
        if (dbrparm.rootcluster < 2)
            return false;
        starts.push_back(dbrparm.rootcluster);
        first = diskparm.firstdatasector + std::uint64_t(dbrparm.rootcluster - 2) * dbrparm.sectorspercluster;
        count = dbrparm.sectorspercluster;
    } else {
        count = (std::uint64_t(dbrparm.rootentries) * 32 + sectorbytes - 1) / sectorbytes;
        first = diskparm.firstdatasector - std::min<std::uint64_t>(count, diskparm.firstdatasector);
    }
    count = std::min<std::uint64_t>(count, (64u << 10) / sectorbytes);
    std::vector<unsigned char> root(std::size_t(count * sectorbytes));
    if (count != 0 && readsectors(diskparm.hdisk, sectorbytes, first, std::uint32_t(count), root.data())) {
        for (std::size_t at = 0; at + 32 <= root.size(); at += 32) {
            const unsigned char* e = root.data() + at;
            if (e[0] == 0x00)
                break;
            if (e[0] == 0xE5 || e[0] == '.' || e[11] == 0x0F || (e[11] & 0x08))
                continue;
            const std::uint32_t start = (fat32 ? std::uint32_t(le16(e + 20)) << 16 : 0) | le16(e + 26);
            if (start >= 2 && (le32(e + 28) != 0 || (e[11] & 0x10)))
                starts.push_back(start);
        }
    }
    if (starts.empty())
        return false;
    for (const std::uint32_t start : starts) {
        if (start >= fatentries)
            continue;
        std::uint32_t entry = 0;
        if (fat32) {
            entry = le32(table + std::size_t(start) * 4) & 0x0FFFFFFF;
        } else if (dbrparm.fstype == 5) {
            // Two 12-bit entries share three bytes.
            const std::uint16_t pair = le16(table + std::size_t(start) * 3 / 2);
            entry = (start & 1) ? pair >> 4 : pair & 0x0FFF;
        } else {
            entry = le16(table + std::size_t(start) * 2);
        }
        if (entry != 0)
            return false;
    }
    return true;
}

std::unique_ptr<unsigned char[]> KOVCore::getfat()
{
    const std::uint32_t bytes = dbrparm.sectorsperfat * std::uint32_t(dbrparm.bytespersector);
    const int bits = dbrparm.fstype == 1 ? 32 : dbrparm.fstype == 5 ? 12 : 16;
    fatentries = std::uint64_t(bytes) * 8 / bits;
    fatcopy = 1;
    diskparm.fatstartsector = dbrparm.reservedsectors;
    const std::uint64_t second = std::uint64_t(dbrparm.reservedsectors) + dbrparm.sectorsperfat;
    const bool hassecond = dbrparm.fatcount >= 2 && dbrparm.sectorsperfat != 0;
    auto usesecond = [&](const QString& why) {
        fatcopy = 2;
        diskparm.fatstartsector = second;
        volumenotes.append(QStringLiteral("the first FAT %1: using the second").arg(why));
    };
    // The head of each copy decides first: a table that fails it is
    // garbage or zeros wherever it can be read.
    auto headsound = [&](std::uint64_t sector) {
        std::vector<unsigned char> head(std::max<std::uint32_t>(dbrparm.bytespersector, 8));
        if (!readasector(diskparm.hdisk, dbrparm.bytespersector, sector, head.data()))
            return std::optional<bool>();
        return std::optional<bool>(fathead(head.data(), bits, dbrparm.media));
    };
    if (hassecond && dbrparm.bytespersector >= 8) {
        const std::optional<bool> first = headsound(dbrparm.reservedsectors);
        if (!first || !*first) {
            if (headsound(second).value_or(false))
                usesecond(first ? QStringLiteral("fails its checks (media byte, end of chain)")
                                : QStringLiteral("cannot be read"));
        }
    }
    if (bytes > fatcachelimit || bytes == 0)
        return nullptr;
    std::unique_ptr<unsigned char[]> table(new (std::nothrow) unsigned char[bytes]);
    if (!table)
        return nullptr;
    // Sectors of the copy in use that cannot be read are taken from the
    // other copy, one by one; a copy that gives nothing is left whole.
    const std::uint64_t bps = dbrparm.bytespersector;
    std::vector<badsectors::BYTESPAN> missing;
    const bool read = platform::readsome(diskparm.hdisk, diskparm.fatstartsector * bps, bytes, table.get(), &missing);
    if (read && !missing.empty() && hassecond && !(missing.size() == 1 && missing[0].length == bytes)) {
        const std::uint64_t other = (fatcopy == 1 ? second : std::uint64_t(dbrparm.reservedsectors)) * bps;
        std::uint64_t taken = 0, lost = 0;
        for (const badsectors::BYTESPAN& m : missing) {
            for (std::uint64_t at = m.offset; at < m.offset + m.length; at += bps) {
                const std::uint32_t n = std::uint32_t(std::min<std::uint64_t>(bps, m.offset + m.length - at));
                if (platform::readat(diskparm.hdisk, other + at, n, table.get() + at))
                    ++taken;
                else
                    ++lost;
            }
        }
        volumenotes.append(QStringLiteral("%1 sectors of the %2 FAT cannot be read: %3 taken from the %4")
                               .arg(taken + lost)
                               .arg(fatcopy == 1 ? QStringLiteral("first") : QStringLiteral("second"))
                               .arg(taken)
                               .arg(fatcopy == 1 ? QStringLiteral("second") : QStringLiteral("first")));
        return table;
    }
    if (read && missing.empty()) {
        if (fatcopy == 1 && hassecond && marksnolivechain(table.get())) {
            // A head can pass while the rest is gone (zeroed past it): then
            // the copy that marks the live files' chains holds the table.
            std::unique_ptr<unsigned char[]> other(new (std::nothrow) unsigned char[bytes]);
            if (other &&
                readsectors(diskparm.hdisk, dbrparm.bytespersector, second, dbrparm.sectorsperfat, other.get()) &&
                std::memcmp(table.get(), other.get(), bytes) != 0 && fathead(other.get(), bits, dbrparm.media) &&
                !marksnolivechain(other.get())) {
                usesecond(QStringLiteral("marks no live file's chain"));
                return other;
            }
        }
        return table;
    }
    if (fatcopy == 1 && hassecond &&
        readsectors(diskparm.hdisk, dbrparm.bytespersector, second, dbrparm.sectorsperfat, table.get())) {
        usesecond(QStringLiteral("cannot be read whole"));
        return table;
    }
    return nullptr;
}

std::uint64_t KOVCore::fatentrybyte(std::uint32_t n) const
{
    return fatbits == 12 ? std::uint64_t(n) + n / 2 : std::uint64_t(n) * (fatbits / 8);
}

std::uint64_t KOVCore::getfatentrysetor(std::uint32_t n) const
{
    if (diskparm.bytespersector == 0)
        return 0;
    return diskparm.fatstartsector + fatentrybyte(n) / diskparm.bytespersector;
}

std::uint32_t KOVCore::getfatentryoffsetinsector(std::uint32_t n) const
{
    if (diskparm.bytespersector == 0)
        return 0;
    const std::uint32_t at = std::uint32_t(fatentrybyte(n) % diskparm.bytespersector);
    return fatbits == 12 ? at : at / (fatbits / 8);
}

bool KOVCore::fatsectorbytes(std::uint64_t sector) const
{
    const std::uint32_t sectorbytes = diskparm.bytespersector;
    if (lookuphandle != diskparm.hdisk || lookupsector != sector || lookupbytes.size() != sectorbytes) {
        lookupbytes.resize(sectorbytes);
        lookuphandle = diskparm.hdisk;
        lookupsector = sector;
        lookupok = readasector(diskparm.hdisk, sectorbytes, sector, lookupbytes.data());
    }
    return lookupok;
}

std::uint32_t KOVCore::getfatentry(std::uint32_t n) const
{
    if (n >= fatentries)
        return unknownentry;
    if (fatless)
        return 0;
    if (fatbits == 12) {
        // Two entries share three bytes: an even entry is the low 12 bits
        // of its pair's first two bytes, an odd one the high 12 of its own.
        const std::uint64_t at = fatentrybyte(n);
        std::uint32_t pair = 0;
        if (fat) {
            pair = le16(fat.get() + at);
        } else {
            const std::uint32_t sectorbytes = diskparm.bytespersector;
            if (sectorbytes == 0)
                return unknownentry;
            const std::uint64_t sector = getfatentrysetor(n);
            const std::uint32_t in = std::uint32_t(at % sectorbytes);
            if (!fatsectorbytes(sector))
                return unknownentry;
            pair = lookupbytes[in];
            // The entry straddles the sector's end: its high byte begins the next.
            if (in + 1 == sectorbytes) {
                if (!fatsectorbytes(sector + 1))
                    return unknownentry;
                pair |= std::uint32_t(lookupbytes[0]) << 8;
            } else {
                pair |= std::uint32_t(lookupbytes[in + 1]) << 8;
            }
        }
        return n % 2 == 0 ? pair & 0xFFF : pair >> 4;
    }
    if (fat)
        return fatbits == 32 ? le32(fat.get() + std::size_t(n) * 4) : le16(fat.get() + std::size_t(n) * 2);
    const std::uint32_t sectorbytes = diskparm.bytespersector;
    if (sectorbytes < fatbits / 8)
        return unknownentry;
    const std::uint64_t sector = getfatentrysetor(n);
    const std::uint32_t at = getfatentryoffsetinsector(n) * (fatbits / 8);
    if (!fatsectorbytes(sector) || std::uint64_t(at) + fatbits / 8 > lookupbytes.size())
        return unknownentry;
    return fatbits == 32 ? le32(lookupbytes.data() + at) : le16(lookupbytes.data() + at);
}

namespace {

// Steps through the clusters of runs in chain order.
struct RunCursor {
    const std::vector<DATARUN>& runs;
    std::size_t run = 0;
    std::uint64_t offset = 0;
    std::uint64_t cluster() const { return runs[run].lcn + offset; }
    void next()
    {
        if (++offset == runs[run].length) {
            ++run;
            offset = 0;
        }
    }
};

// The runs of a chain that went round a loop of length cycle: only its
// clusters up to the last one before the first repeat are kept.
void cutatloop(std::vector<DATARUN>& runs, std::uint64_t visited, std::uint64_t cycle)
{
    RunCursor a{runs};
    RunCursor b{runs};
    for (std::uint64_t i = 0; i < cycle; ++i)
        b.next();
    // The first index whose cluster comes back cycle steps later; the link
    // that closed the loop proves it for visited - cycle.
    std::uint64_t tail = 0;
    while (tail + cycle < visited && a.cluster() != b.cluster()) {
        a.next();
        b.next();
        ++tail;
    }
    const std::uint64_t keep = tail + cycle;
    while (!runs.empty() && runs.back().vcn >= keep)
        runs.pop_back();
    if (!runs.empty() && runs.back().vcn + runs.back().length > keep)
        runs.back().length = keep - runs.back().vcn;
}

}  // namespace

std::vector<DATARUN> KOVCore::fatgetdatarun(std::uint32_t startcluster) const
{
    std::vector<DATARUN> runs;
    // 0xFF7 (0xFFF7 ...) marks a bad cluster, above it an end of chain;
    // the values just below are reserved and end the chain too.
    const std::uint32_t lastnext = fatbits == 32 ? 0x0FFFFFFE : fatbits == 12 ? 0xFEF : 0xFFEF;
    std::uint32_t here = startcluster;
    std::uint32_t first = startcluster;
    std::uint64_t index = 0;
    // Brent's cycle test. A loop ends the chain before its first repeated
    // cluster: going round would read each directory slot many times over,
    // and on a damaged table (fatentries far beyond the volume, lookups
    // uncached) would take one read per step for up to 2^30 steps.
    std::uint32_t mark = startcluster;
    std::uint64_t power = 1;
    std::uint64_t steps = 0;
    std::uint64_t visited = 1;
    if (startcluster < 2)
        return runs;  // a damaged root cluster field: no data-area cluster
    while (here < fatentries) {
        const std::uint32_t next = getfatentry(here);
        bool loops = false;
        if (next >= 2 && next <= lastnext) {
            ++steps;
            if (next == mark)
                loops = true;
            else if (steps == power) {
                mark = next;
                power *= 2;
                steps = 0;
            }
        }
        if (next == here + 1 && next != 0 && !loops) {
            here = next;
            ++visited;
            continue;
        }
        runs.push_back({std::uint64_t(first) - 2, std::uint64_t(here) - first + 1, index});
        if (loops) {
            cutatloop(runs, visited, steps);
            break;
        }
        if (next <= 1 || next > lastnext)
            break;
        index += here - first + 1;
        first = here = next;
        ++visited;
        // Brent's test finds any loop within three times the table's length
        // of links; this only bounds the walk should it not.
        if (visited > 4 * fatentries)
            break;
    }
    return runs;
}
