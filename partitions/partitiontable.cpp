// Partition tables through libblkid, volumes through the boot-sector code.
#include "partitions/partitiontable.h"

#include "model/littleendian.h"
#include "partitions/backupboot.h"
#include "partitions/filesystemname.h"

#include <blkid/blkid.h>

#include <algorithm>
#include <memory>
#include <set>
#include <unordered_map>
#include <vector>

namespace partitions {

namespace {

// libblkid counts partition starts and sizes in 512-byte units, whatever
// the device's sector size.
constexpr std::uint64_t blkidunit = 512;

constexpr int mbrentries = 446;

// Boot-sector offsets of the 11-byte volume label.
constexpr int fat16labeloffset = 43;
constexpr int fat32labeloffset = 71;

struct ProbeDeleter {
    void operator()(blkid_struct_probe* probe) const { blkid_free_probe(probe); }
};

// Closes a platform handle when it goes out of scope.
class Handle {
public:
    explicit Handle(const platform::VolumeSource& source) : h(platform::opensource(source)) {}
    ~Handle() { platform::closesource(h); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool open() const { return h != platform::invalidhandle(); }
    platform::volhandle get() const { return h; }

private:
    platform::volhandle h;
};

// Notes of one kind past the first notesperkind are counted, not written:
// a hostile table of thousands of entries gives a few lines, not one per
// entry (or per pair of entries).
class NoteLimit {
public:
    NoteLimit(QStringList* out, const QString& path) : out(out), path(path) {}
    NoteLimit(const NoteLimit&) = delete;
    NoteLimit& operator=(const NoteLimit&) = delete;
    // True while notes of this kind are still written.
    bool writes(int kind) const { return counts[kind] < notesperkind; }
    // Adds "PATH: text" unless this kind has had its share.
    void add(int kind, const QString& text)
    {
        if (counts[kind]++ < notesperkind)
            out->append(path + QStringLiteral(": ") + text);
    }
    // One line for each kind with notes left out; rest is its text after
    // the count, e.g. "more partitions overlap another one".
    void finish(int kind, const char* rest)
    {
        if (counts[kind] > notesperkind)
            out->append(
                QStringLiteral("%1: %2 %3").arg(path).arg(counts[kind] - notesperkind).arg(QLatin1String(rest)));
    }

private:
    QStringList* out;
    QString path;
    std::uint64_t counts[3] = {};
};

enum TableNote { pastend, clipped };
enum VolumeNote { repeated, notfat, overlapping };

bool extendedtype(unsigned char type) { return type == 0x05 || type == 0x0F || type == 0x85; }

// Start (in sectors, relative to the extended partition) of the link an MBR
// or EBR gives, as libblkid takes it: the first extended entry with a size
// and a start. 0 when there is none.
std::uint32_t chainlink(const unsigned char* sector)
{
    for (int i = 0; i < 4; ++i) {
        const unsigned char* e = sector + mbrentries + 16 * i;
        if (extendedtype(e[4]) && le32(e + 12) != 0 && le32(e + 8) != 0)
            return le32(e + 8);
    }
    return 0;
}

bool mbrsignature(const unsigned char* sector) { return sector[510] == 0x55 && sector[511] == 0xAA; }

// Where libblkid must stop reading so that it follows at most maxebrs EBRs:
// the byte offset of the first EBR past them, in the order the chains of
// the MBR's extended partitions link them; 0 when they hold no more (or
// there is no DOS table). libblkid walks a chain of any length, at a cost
// that grows with the square of its length.
std::uint64_t ebrlimit(platform::volhandle h, std::uint64_t sectorbytes)
{
    unsigned char mbr[512];
    if (!platform::readat(h, 0, sizeof mbr, mbr) || !mbrsignature(mbr))
        return 0;
    std::set<std::uint64_t> seen;
    for (int i = 0; i < 4; ++i) {
        const unsigned char* e = mbr + mbrentries + 16 * i;
        if (e[4] == 0xEE)
            return 0;  // a GPT's protective MBR
        if (!extendedtype(e[4]) || le32(e + 12) == 0 || le32(e + 8) == 0)
            continue;
        const std::uint64_t base = le32(e + 8);
        // Each step adds an unseen EBR: the walk ends within maxebrs + 1
        // steps, whatever the links say.
        for (std::uint64_t at = base; seen.insert(at).second;) {
            if (seen.size() > std::size_t(maxebrs))
                return at * sectorbytes;
            unsigned char ebr[512];
            if (!platform::readat(h, at * sectorbytes, sizeof ebr, ebr) || !mbrsignature(ebr))
                break;
            const std::uint32_t link = chainlink(ebr);
            if (link == 0)
                break;
            at = base + link;
        }
    }
    return 0;
}

}  // namespace

PARTITIONTABLE readtable(const platform::VolumeSource& whole)
{
    PARTITIONTABLE table;
    const Handle handle(whole);
    int fd = -1;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    if (!handle.open() || !platform::descriptor(handle.get(), &fd, &offset, &size))
        return table;
    // The end of a source of unknown size is left to libblkid (0: to the end).
    const std::uint64_t end = size == UINT64_MAX ? 0 : size;
    std::unique_ptr<blkid_struct_probe, ProbeDeleter> probe(blkid_new_probe());
    if (!probe || blkid_probe_set_device(probe.get(), fd, blkid_loff_t(offset), blkid_loff_t(end)) != 0)
        return table;
    const std::uint64_t sectorbytes = blkid_probe_get_sectorsize(probe.get());
    const std::uint64_t stop = ebrlimit(handle.get(), sectorbytes);
    if (stop != 0) {
        if (blkid_probe_set_device(probe.get(), fd, blkid_loff_t(offset), blkid_loff_t(stop)) != 0)
            return table;
        table.notes.append(QStringLiteral("%1: the extended partitions hold more than %2 logical partitions: "
                                          "those after the first %2 are not read")
                               .arg(whole.path)
                               .arg(maxebrs));
    }
    blkid_probe_enable_superblocks(probe.get(), 0);
    blkid_probe_enable_partitions(probe.get(), 1);
    // The list is owned by the probe.
    blkid_partlist list = blkid_probe_get_partitions(probe.get());
    blkid_parttable root = list ? blkid_partlist_get_table(list) : nullptr;
    if (!root)
        return table;
    table.type = QString::fromLatin1(blkid_parttable_get_type(root));
    // libblkid reads a GPT from its backup header at the end of the disk when
    // the primary one (or its entry array) fails its checksum; the table's
    // offset says which one it took.
    if (table.type == QLatin1String("gpt") && std::uint64_t(blkid_parttable_get_offset(root)) != sectorbytes)
        table.notes.append(QStringLiteral("%1: the primary GPT header is damaged; the backup header "
                                          "at the end of the disk was used")
                               .arg(whole.path));

    const std::uint64_t disksize = size;  // UINT64_MAX when unknown: nothing is past it
    NoteLimit notes(&table.notes, whole.path);
    const int count = blkid_partlist_numof_partitions(list);
    for (int i = 0; i < count; ++i) {
        blkid_partition part = blkid_partlist_get_partition(list, i);
        if (!part || blkid_partition_is_extended(part))
            continue;
        const blkid_loff_t start = blkid_partition_get_start(part);
        const blkid_loff_t length = blkid_partition_get_size(part);
        PARTITIONENTRY entry;
        entry.number = blkid_partition_get_partno(part);
        if (start < 0 || length <= 0)
            continue;
        if (std::uint64_t(start) >= disksize / blkidunit) {
            notes.add(pastend,
                      QStringLiteral("partition %1 starts past the end of the disk: skipped").arg(entry.number));
            continue;
        }
        entry.offset = std::uint64_t(start) * blkidunit;
        const std::uint64_t room = disksize - entry.offset;
        const std::uint64_t wanted =
            std::uint64_t(length) > UINT64_MAX / blkidunit ? UINT64_MAX : std::uint64_t(length) * blkidunit;
        entry.size = std::min(wanted, room);
        if (wanted > room)
            notes.add(clipped, QStringLiteral("partition %1 runs past the end of the disk: only its "
                                              "first %2 of %3 bytes can be read")
                                   .arg(entry.number)
                                   .arg(room)
                                   .arg(wanted));
        table.entries.append(entry);
    }
    notes.finish(pastend, "more partitions start past the end of the disk: skipped");
    notes.finish(clipped, "more partitions run past the end of the disk: cut there");
    return table;
}

std::uint32_t classifysource(const platform::VolumeSource& source, CLASSIFIER classify, QString* label)
{
    const Handle handle(source);
    std::uint32_t sectorbytes = 0;
    if (!handle.open() || !platform::sectorsize(handle.get(), &sectorbytes))
        return 3;
    // The classifier reads up to byte 86 whatever the sector size.
    std::vector<unsigned char> sector(std::max<std::uint32_t>(sectorbytes, 512));
    if (!platform::readat(handle.get(), 0, sectorbytes, sector.data()))
        return 3;
    std::uint32_t type = classify(sector.data());
    // A FAT32 volume whose sector 0 is gone is laid out from its backup.
    if (type == 3 && findbackupboot(handle.get(), sectorbytes, classify, &sector) != 0)
        type = 1;
    if (label && (type == 1 || type == 2 || type == 5)) {
        const char* field =
            reinterpret_cast<const char*>(sector.data()) + (type == 1 ? fat32labeloffset : fat16labeloffset);
        *label = QString::fromLatin1(field, 11).trimmed();
    }
    return type;
}

QList<FATVOLUME> fatvolumes(const platform::VolumeSource& whole, CLASSIFIER classify, QStringList* notes)
{
    const PARTITIONTABLE table = readtable(whole);
    notes->append(table.notes);
    NoteLimit limited(notes, whole.path);
    QList<FATVOLUME> out;
    // Partition number of the first entry at each start.
    std::unordered_map<std::uint64_t, int> starts;
    for (const PARTITIONENTRY& entry : table.entries) {
        const auto [same, first] = starts.try_emplace(entry.offset, entry.number);
        if (!first) {
            limited.add(repeated, QStringLiteral("partition %1 starts where partition %2 does: skipped")
                                      .arg(entry.number)
                                      .arg(same->second));
            continue;
        }
        FATVOLUME volume;
        volume.source.path = whole.path;
        volume.source.offset = whole.offset + entry.offset;
        volume.source.size = entry.size;
        volume.source.partition = entry.number;
        volume.source.whole = false;
        volume.fstype = classifysource(volume.source, classify, &volume.label);
        if (!recoverabletype(volume.fstype)) {
            // Probed only for the notes that are written: a hostile table
            // of many partitions costs no probe past them.
            const QString what = limited.writes(notfat) ? filesystemname(volume.source) : QString();
            limited.add(notfat, QStringLiteral("partition %1 is not a FAT12, FAT16, FAT32 or exFAT volume%2: skipped")
                                    .arg(entry.number)
                                    .arg(what.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(what)));
            continue;
        }
        out.append(volume);
    }

    // One note for each volume that overlaps another, in one sweep by
    // offset: a volume overlaps one that starts before it exactly when it
    // starts before the furthest end so far. Every volume that overlaps any
    // other is named in at least one note.
    std::vector<qsizetype> byoffset(std::size_t(out.size()));
    for (qsizetype i = 0; i < out.size(); ++i)
        byoffset[std::size_t(i)] = i;
    const auto end = [&](qsizetype i) {
        const platform::VolumeSource& s = out[i].source;
        return s.size > UINT64_MAX - s.offset ? UINT64_MAX : s.offset + s.size;
    };
    std::sort(byoffset.begin(), byoffset.end(),
              [&](qsizetype a, qsizetype b) { return out[a].source.offset < out[b].source.offset; });
    std::vector<qsizetype> partner(std::size_t(out.size()), -1);
    qsizetype furthest = -1;
    for (const qsizetype i : byoffset) {
        if (furthest >= 0 && out[i].source.offset < end(furthest))
            partner[std::size_t(i)] = furthest;
        if (furthest < 0 || end(i) > end(furthest))
            furthest = i;
    }
    for (qsizetype i = 0; i < out.size(); ++i)
        if (const qsizetype j = partner[std::size_t(i)]; j >= 0)
            limited.add(overlapping, QStringLiteral("partitions %1 and %2 overlap")
                                         .arg(out[std::min(i, j)].source.partition)
                                         .arg(out[std::max(i, j)].source.partition));
    limited.finish(repeated, "more partitions start where an earlier one does: skipped");
    limited.finish(notfat, "more partitions are not FAT12, FAT16, FAT32 or exFAT volumes: skipped");
    limited.finish(overlapping, "more partitions overlap another one");
    return out;
}

QList<platform::VolumeSource> expandsources(const QList<platform::VolumeSource>& sources, CLASSIFIER classify,
                                            QStringList* notes)
{
    QList<platform::VolumeSource> out;
    for (const platform::VolumeSource& source : sources) {
        QList<FATVOLUME> inside;
        if (source.whole && source.partition == 0) {
            const std::uint32_t type = classifysource(source, classify);
            if (!recoverabletype(type))
                inside = fatvolumes(source, classify, notes);
        }
        if (inside.isEmpty()) {
            out.append(source);
            continue;
        }
        for (const FATVOLUME& volume : inside)
            out.append(volume.source);
    }
    return out;
}

}  // namespace partitions
