#include "fatbuilder.h"

#include <QFile>
#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

namespace testsupport {

// Boot sector (BPB) field offsets.
namespace bpb {
constexpr int jump = 0;
constexpr int oemname = 3;
constexpr int bytespersector = 11;
constexpr int sectorspercluster = 13;
constexpr int reservedsectors = 14;
constexpr int fatcount = 16;
constexpr int rootentries = 17;
constexpr int totalsectors16 = 19;
constexpr int media = 21;
constexpr int fatsize16 = 22;
constexpr int sectorspertrack = 24;
constexpr int heads = 26;
constexpr int totalsectors32 = 32;
// FAT16 extended BPB
constexpr int drive16 = 36;
constexpr int bootsig16 = 38;
constexpr int serial16 = 39;
constexpr int label16 = 43;
constexpr int fstype16 = 54;
// FAT32 extended BPB
constexpr int fatsize32 = 36;
constexpr int rootcluster = 44;
constexpr int fsinfosector = 48;
constexpr int backupboot = 50;
constexpr int drive32 = 64;
constexpr int bootsig32 = 66;
constexpr int serial32 = 67;
constexpr int label32 = 71;
constexpr int fstype32 = 82;
constexpr int signature = 510;
}  // namespace bpb

namespace fsinfo {
constexpr int leadsig = 0;
constexpr int structsig = 484;
constexpr int freecount = 488;
constexpr int nextfree = 492;
constexpr int trailsig = 508;
}  // namespace fsinfo

namespace {

constexpr std::uint32_t backupbootsector = 6;

std::uint32_t entrybytes(int fatbits)
{
    return fatbits == 32 ? 4 : 2;
}

[[noreturn]] void misuse(const std::string& what)
{
    throw std::out_of_range("FatBuilder: " + what);
}

}  // namespace

void put16(unsigned char* p, std::uint16_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

void put32(unsigned char* p, std::uint32_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

std::uint16_t get16(const unsigned char* p)
{
    return static_cast<std::uint16_t>(p[0] | std::uint16_t(p[1]) << 8);
}

std::uint32_t get32(const unsigned char* p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

QByteArray shortname(const char* dotted)
{
    QByteArray text(dotted);
    QByteArray base = text;
    QByteArray ext;
    // "." and ".." are names, not separators.
    const qsizetype dot = (text == "." || text == "..") ? -1 : text.lastIndexOf('.');
    if (dot >= 0) {
        base = text.left(dot);
        ext = text.mid(dot + 1);
    }
    if (base.size() > 8 || ext.size() > 3)
        misuse("not an 8.3 name: " + text.toStdString());
    return base.leftJustified(8, ' ') + ext.leftJustified(3, ' ');
}

FatLayout fat16layout(std::uint64_t bytes)
{
    FatLayout layout;
    layout.fatbits = 16;
    layout.reservedsectors = 4;
    layout.rootentries = 512;
    layout.totalsectors = bytes / layout.bytespersector;
    return layout;
}

FatLayout fat32layout(std::uint64_t bytes)
{
    FatLayout layout;
    layout.fatbits = 32;
    layout.totalsectors = bytes / layout.bytespersector;
    return layout;
}

FatBuilder::FatBuilder(const FatLayout& layout) : lay(layout)
{
    const std::uint32_t bps = lay.bytespersector;
    if (lay.fatbits != 16 && lay.fatbits != 32)
        misuse("fatbits must be 16 or 32");
    if (bps < 512 || bps > 4096 || (bps & (bps - 1)) != 0)
        misuse("bytes per sector must be 512, 1024, 2048 or 4096");
    if (lay.sectorspercluster == 0 || (lay.sectorspercluster & (lay.sectorspercluster - 1)) != 0)
        misuse("sectors per cluster must be a power of two");
    if (lay.fatcount == 0 || lay.reservedsectors == 0 || lay.totalsectors == 0)
        misuse("fat count, reserved and total sectors must be set");
    if (lay.totalsectors > 0xFFFFFFFFu)
        misuse("more than 2^32 - 1 sectors");

    const std::uint32_t entry = entrybytes(lay.fatbits);
    const std::uint64_t rootsectors = lay.fatbits == 16 ? (std::uint64_t(lay.rootentries) * 32 + bps - 1) / bps : 0;
    const auto areasectors = [&](std::uint64_t perfat) {
        return std::uint64_t(lay.reservedsectors) + lay.fatcount * perfat + rootsectors;
    };
    if (lay.sectorsperfat == 0) {
        // Grow the FAT until it covers the clusters left beside it; the
        // count only shrinks as the FAT grows, so this settles.
        std::uint64_t perfat = 1;
        for (;;) {
            if (areasectors(perfat) >= lay.totalsectors)
                misuse("volume too small for its FAT");
            const std::uint64_t count = (lay.totalsectors - areasectors(perfat)) / lay.sectorspercluster;
            const std::uint64_t need = ((count + 2) * entry + bps - 1) / bps;
            if (need <= perfat)
                break;
            perfat = need;
        }
        lay.sectorsperfat = static_cast<std::uint32_t>(perfat);
    }
    if (areasectors(lay.sectorsperfat) >= lay.totalsectors)
        misuse("volume too small for its FAT and root");

    fatoffset = std::uint64_t(lay.reservedsectors) * bps;
    fatbytes = std::uint64_t(lay.sectorsperfat) * bps;
    rootoffset = fatoffset + lay.fatcount * fatbytes;
    dataoffset = areasectors(lay.sectorsperfat) * bps;
    std::uint64_t count = (lay.totalsectors - areasectors(lay.sectorsperfat)) / lay.sectorspercluster;
    // A FAT set smaller than the data area by hand limits the clusters.
    count = std::min<std::uint64_t>(count, fatbytes / entry - 2);
    count = std::min<std::uint64_t>(count, lay.fatbits == 32 ? 0x0FFFFFF5u : 0xFFF5u);
    if (count == 0)
        misuse("no data clusters");
    clusters = static_cast<std::uint32_t>(count);
    image.assign(lay.totalsectors * bps, 0);

    unsigned char* b = image.data();
    b[bpb::jump] = 0xEB;
    b[bpb::jump + 1] = lay.fatbits == 32 ? 0x58 : 0x3C;  // jumps past the BPB
    b[bpb::jump + 2] = 0x90;
    std::memcpy(b + bpb::oemname, "MSWIN4.1", 8);
    put16(b + bpb::bytespersector, lay.bytespersector);
    b[bpb::sectorspercluster] = lay.sectorspercluster;
    put16(b + bpb::reservedsectors, lay.reservedsectors);
    b[bpb::fatcount] = lay.fatcount;
    put16(b + bpb::rootentries, lay.rootentries);
    b[bpb::media] = lay.media;
    put16(b + bpb::sectorspertrack, 32);
    put16(b + bpb::heads, 64);
    const bool small = lay.fatbits == 16 && lay.totalsectors < 0x10000;
    put16(b + bpb::totalsectors16, small ? static_cast<std::uint16_t>(lay.totalsectors) : 0);
    put32(b + bpb::totalsectors32, small ? 0 : static_cast<std::uint32_t>(lay.totalsectors));
    if (lay.fatbits == 16) {
        if (lay.sectorsperfat > 0xFFFF)
            misuse("FAT16 FAT larger than 65535 sectors");
        put16(b + bpb::fatsize16, static_cast<std::uint16_t>(lay.sectorsperfat));
        b[bpb::drive16] = 0x80;
        b[bpb::bootsig16] = 0x29;
        put32(b + bpb::serial16, lay.serial);
        std::memcpy(b + bpb::label16, "NO NAME    ", 11);
        std::memcpy(b + bpb::fstype16, "FAT16   ", 8);
    } else {
        put32(b + bpb::fatsize32, lay.sectorsperfat);
        put32(b + bpb::rootcluster, lay.rootcluster);
        const bool hasfsinfo = lay.reservedsectors >= 2;
        const bool hasbackup = lay.reservedsectors >= backupbootsector + 2;
        put16(b + bpb::fsinfosector, hasfsinfo ? 1 : 0);
        put16(b + bpb::backupboot, hasbackup ? backupbootsector : 0);
        b[bpb::drive32] = 0x80;
        b[bpb::bootsig32] = 0x29;
        put32(b + bpb::serial32, lay.serial);
        std::memcpy(b + bpb::label32, "NO NAME    ", 11);
        std::memcpy(b + bpb::fstype32, "FAT32   ", 8);
        if (hasfsinfo) {
            fsinfooffset = bps;
            unsigned char* f = b + fsinfooffset;
            put32(f + fsinfo::leadsig, 0x41615252);
            put32(f + fsinfo::structsig, 0x61417272);
            put32(f + fsinfo::nextfree, 0xFFFFFFFFu);  // unknown: search from 2
            put32(f + fsinfo::trailsig, 0xAA550000);
        }
    }
    b[bpb::signature] = 0x55;
    b[bpb::signature + 1] = 0xAA;

    freeclusters = clusters;
    setfsinfofree(freeclusters);
    setfat(0, (lay.fatbits == 32 ? 0x0FFFFF00u : 0xFF00u) | lay.media);
    setfat(1, endmark());
    if (lay.fatbits == 32) {
        checkcluster(lay.rootcluster);
        setfat(lay.rootcluster, endmark());
        if (lay.reservedsectors >= backupbootsector + 2) {
            // The copies hold the state at format time, as mkfs.fat leaves them.
            std::memcpy(b + backupbootsector * bps, b, 2 * std::size_t(bps));
        }
    }
}

void FatBuilder::checkcluster(std::uint32_t cluster) const
{
    if (cluster < 2 || cluster > lastcluster())
        misuse("cluster " + std::to_string(cluster) + " outside 2.." + std::to_string(lastcluster()));
}

void FatBuilder::setfsinfofree(std::uint32_t count)
{
    if (fsinfooffset != 0)
        put32(image.data() + fsinfooffset + fsinfo::freecount, count);
}

void FatBuilder::setfat(std::uint32_t cluster, std::uint32_t value)
{
    const std::uint32_t entry = entrybytes(lay.fatbits);
    if (std::uint64_t(cluster) >= fatbytes / entry)
        misuse("FAT entry " + std::to_string(cluster) + " past the end of the FAT");
    if (lay.fatbits == 16 && value > 0xFFFF)
        misuse("FAT16 entry value above 0xFFFF");
    const std::uint32_t mask = lay.fatbits == 32 ? 0x0FFFFFFFu : 0xFFFFu;
    if (walkstart != 0 && cluster < walkseen.size() && walkseen[cluster]) {
        // The cached directory walk went through it: its last cluster is
        // only re-read (a grown chain), any other one starts the walk anew.
        if (cluster == walk.back())
            walkended = false;
        else
            walkstart = 0;
    }
    if (cluster >= 2 && cluster <= lastcluster()) {
        const bool wasfree = (fat(cluster) & mask) == 0;
        const bool isfree = (value & mask) == 0;
        if (wasfree && !isfree)
            --freeclusters;
        else if (!wasfree && isfree)
            ++freeclusters;
        setfsinfofree(freeclusters);
    }
    for (std::uint32_t copy = 0; copy < lay.fatcount; ++copy) {
        unsigned char* p = image.data() + fatoffset + copy * fatbytes + std::uint64_t(cluster) * entry;
        if (lay.fatbits == 32)
            put32(p, value);
        else
            put16(p, static_cast<std::uint16_t>(value));
    }
}

std::uint32_t FatBuilder::fat(std::uint32_t cluster) const
{
    const std::uint32_t entry = entrybytes(lay.fatbits);
    if (std::uint64_t(cluster) >= fatbytes / entry)
        misuse("FAT entry " + std::to_string(cluster) + " past the end of the FAT");
    const unsigned char* p = image.data() + fatoffset + std::uint64_t(cluster) * entry;
    return lay.fatbits == 32 ? get32(p) : get16(p);
}

void FatBuilder::chain(const std::vector<std::uint32_t>& list)
{
    for (std::size_t i = 0; i < list.size(); ++i) {
        checkcluster(list[i]);
        setfat(list[i], i + 1 < list.size() ? list[i + 1] : endmark());
    }
}

std::uint32_t FatBuilder::firstfree(std::uint32_t hint) const
{
    const std::uint32_t mask = lay.fatbits == 32 ? 0x0FFFFFFFu : 0xFFFFu;
    if (hint < 2 || hint > lastcluster())
        hint = 2;
    for (std::uint32_t c = hint; c <= lastcluster(); ++c) {
        if ((fat(c) & mask) == 0)
            return c;
    }
    for (std::uint32_t c = 2; c < hint; ++c) {
        if ((fat(c) & mask) == 0)
            return c;
    }
    throw std::runtime_error("FatBuilder: no free cluster left");
}

std::uint64_t FatBuilder::clusteroffset(std::uint32_t cluster) const
{
    checkcluster(cluster);
    return dataoffset + std::uint64_t(cluster - 2) * clusterbytes();
}

void FatBuilder::writecluster(std::uint32_t cluster, const QByteArray& data, std::size_t offset)
{
    if (offset + std::size_t(data.size()) > clusterbytes())
        misuse("data does not fit in the cluster");
    const std::uint64_t at = clusteroffset(cluster) + offset;
    if (at + std::size_t(data.size()) > image.size())
        misuse("cluster past the end of the image");
    if (!data.isEmpty())
        std::memcpy(image.data() + at, data.constData(), std::size_t(data.size()));
}

QByteArray FatBuilder::readcluster(std::uint32_t cluster) const
{
    const std::uint64_t at = clusteroffset(cluster);
    if (at + clusterbytes() > image.size())
        misuse("cluster past the end of the image");
    return QByteArray(reinterpret_cast<const char*>(image.data() + at), qsizetype(clusterbytes()));
}

std::uint32_t FatBuilder::directorystart(std::uint32_t dircluster) const
{
    const std::uint32_t start = dircluster == 0 ? lay.rootcluster : dircluster;
    checkcluster(start);
    return start;
}

std::uint32_t FatBuilder::chainat(std::uint32_t start, std::uint32_t index, std::uint32_t* last) const
{
    const std::uint32_t mask = lay.fatbits == 32 ? 0x0FFFFFFFu : 0xFFFFu;
    const std::uint32_t firstend = lay.fatbits == 32 ? 0x0FFFFFF8u : 0xFFF8u;
    // Filling a big directory asks for every slot in turn; going on from
    // the last walk keeps that linear.
    if (start != walkstart) {
        walkstart = start;
        walk.assign(1, start);
        walkseen.assign(std::size_t(lastcluster()) + 1, false);
        walkseen[start] = true;
        walkended = false;
    }
    while (walk.size() <= index && !walkended) {
        const std::uint32_t c = walk.back();
        const std::uint32_t next = fat(c) & mask;
        if (next >= firstend) {
            walkended = true;
            break;
        }
        if (next < 2 || next > lastcluster())
            misuse("directory chain broken at cluster " + std::to_string(c));
        if (walkseen[next])
            misuse("directory chain loops at cluster " + std::to_string(next));
        walkseen[next] = true;
        walk.push_back(next);
    }
    if (index < walk.size())
        return walk[index];
    *last = walk.back();
    return 0;
}

void FatBuilder::growtoslot(std::uint32_t dircluster, int slot)
{
    if (slot < 0)
        misuse("negative slot");
    if (lay.fatbits == 16 && dircluster == 0)
        return;
    const std::uint32_t start = directorystart(dircluster);
    const std::uint32_t index = static_cast<std::uint32_t>(slot) / (clusterbytes() / 32);
    std::uint32_t last = 0;
    while (chainat(start, index, &last) == 0) {
        const std::uint32_t added = firstfree(last + 1);
        writecluster(added, QByteArray(qsizetype(clusterbytes()), '\0'));
        setfat(last, added);
        setfat(added, endmark());
    }
}

std::uint64_t FatBuilder::slotoffset(std::uint32_t dircluster, int slot) const
{
    if (slot < 0)
        misuse("negative slot");
    if (lay.fatbits == 16 && dircluster == 0) {
        if (slot >= lay.rootentries)
            misuse("slot " + std::to_string(slot) + " past the fixed root directory");
        return rootoffset + std::uint64_t(slot) * 32;
    }
    const std::uint32_t slotspercluster = clusterbytes() / 32;
    std::uint32_t last = 0;
    const std::uint32_t c = chainat(directorystart(dircluster), static_cast<std::uint32_t>(slot) / slotspercluster, &last);
    if (c == 0)
        misuse("slot " + std::to_string(slot) + " past the end of the directory chain");
    return clusteroffset(c) + std::uint64_t(static_cast<std::uint32_t>(slot) % slotspercluster) * 32;
}

QByteArray FatBuilder::rawslot(std::uint32_t dircluster, int slot) const
{
    const std::uint64_t at = slotoffset(dircluster, slot);
    return QByteArray(reinterpret_cast<const char*>(image.data() + at), 32);
}

void FatBuilder::writeentrybytes(unsigned char* p, const Entry& entry) const
{
    if (entry.name83.size() != 11)
        misuse("name83 must be 11 bytes: \"" + entry.name83.toStdString() + "\"");
    std::memcpy(p, entry.name83.constData(), 11);
    p[11] = entry.attr;
    p[12] = entry.ntres;
    p[13] = entry.crttenth;
    put16(p + 14, entry.crttime);
    put16(p + 16, entry.crtdate);
    put16(p + 18, entry.accdate);
    put16(p + 20, static_cast<std::uint16_t>(entry.startcluster >> 16));
    put16(p + 22, entry.wrttime);
    put16(p + 24, entry.wrtdate);
    put16(p + 26, static_cast<std::uint16_t>(entry.startcluster));
    put32(p + 28, entry.size);
}

void FatBuilder::putentry(std::uint32_t dircluster, int slot, const Entry& entry)
{
    growtoslot(dircluster, slot);
    writeentrybytes(image.data() + slotoffset(dircluster, slot), entry);
}

void FatBuilder::putrawslot(std::uint32_t dircluster, int slot, const unsigned char raw[32])
{
    growtoslot(dircluster, slot);
    std::memcpy(image.data() + slotoffset(dircluster, slot), raw, 32);
}

std::uint32_t FatBuilder::addfile(std::uint32_t dircluster, int slot, const QByteArray& name83,
                                  const QByteArray& contents, std::uint32_t firstcluster)
{
    const std::uint64_t needed = (std::uint64_t(contents.size()) + clusterbytes() - 1) / clusterbytes();
    std::vector<std::uint32_t> list;
    std::uint32_t next = firstcluster == 0 ? 2 : firstcluster;
    for (std::uint64_t i = 0; i < needed; ++i) {
        const std::uint32_t c = firstfree(next);
        // Taken now so that the next search moves on past it.
        setfat(c, endmark());
        list.push_back(c);
        next = c + 1;
    }
    return addfilechain(dircluster, slot, name83, contents, list);
}

std::uint32_t FatBuilder::addfilechain(std::uint32_t dircluster, int slot, const QByteArray& name83,
                                       const QByteArray& contents, const std::vector<std::uint32_t>& list)
{
    const std::uint64_t needed = (std::uint64_t(contents.size()) + clusterbytes() - 1) / clusterbytes();
    if (list.size() < needed)
        misuse("too few clusters for the contents");
    chain(list);
    for (std::uint64_t i = 0; i < needed; ++i)
        writecluster(list[i], contents.mid(qsizetype(i * clusterbytes()), qsizetype(clusterbytes())));
    Entry entry;
    entry.name83 = name83;
    entry.startcluster = list.empty() ? 0 : list.front();
    entry.size = static_cast<std::uint32_t>(contents.size());
    putentry(dircluster, slot, entry);
    return entry.startcluster;
}

std::uint32_t FatBuilder::adddir(std::uint32_t dircluster, int slot, const QByteArray& name83,
                                 std::uint32_t firstcluster)
{
    const std::uint32_t c = firstfree(firstcluster == 0 ? 2 : firstcluster);
    setfat(c, endmark());
    writecluster(c, QByteArray(qsizetype(clusterbytes()), '\0'));
    const bool parentisroot = dircluster == 0 || (lay.fatbits == 32 && dircluster == lay.rootcluster);
    Entry dot;
    dot.name83 = shortname(".");
    dot.attr = 0x10;
    dot.startcluster = c;
    putentry(c, 0, dot);
    Entry dotdot = dot;
    dotdot.name83 = shortname("..");
    dotdot.startcluster = parentisroot ? 0 : dircluster;
    putentry(c, 1, dotdot);
    Entry entry = dot;
    entry.name83 = name83;
    putentry(dircluster, slot, entry);
    return c;
}

void FatBuilder::deleteentry(std::uint32_t dircluster, int slot, bool freechain, bool zerohighword)
{
    unsigned char* p = image.data() + slotoffset(dircluster, slot);
    std::uint32_t start = get16(p + 26);
    if (lay.fatbits == 32)
        start |= std::uint32_t(get16(p + 20)) << 16;
    p[0] = 0xE5;
    if (zerohighword)
        put16(p + 20, 0);
    if (!freechain)
        return;
    const std::uint32_t mask = lay.fatbits == 32 ? 0x0FFFFFFFu : 0xFFFFu;
    // Each step frees one cluster and a freed one stops the walk, so a loop
    // ends; the count bounds it besides.
    std::uint32_t c = start;
    for (std::uint32_t steps = 0; steps < clusters && c >= 2 && c <= lastcluster(); ++steps) {
        const std::uint32_t next = fat(c) & mask;
        setfat(c, 0);
        c = next;
    }
}

bool FatBuilder::save(const QString& path) const
{
    return save(path, image.size());
}

bool FatBuilder::save(const QString& path, std::uint64_t truncateto) const
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const std::uint64_t length = std::min<std::uint64_t>(truncateto, image.size());
    return file.write(reinterpret_cast<const char*>(image.data()), qint64(length)) == qint64(length);
}

}  // namespace testsupport
