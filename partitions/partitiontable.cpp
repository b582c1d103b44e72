// Partition tables through libblkid, volumes through the boot-sector code.
#include "partitions/partitiontable.h"


#include <blkid/blkid.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace partitions {

namespace {

// libblkid counts partition starts and sizes in 512-byte units, whatever
// the device's sector size.
constexpr std::uint64_t blkidunit = 512;

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
    blkid_probe_enable_superblocks(probe.get(), 0);
    blkid_probe_enable_partitions(probe.get(), 1);
    // The list is owned by the probe.
    blkid_partlist list = blkid_probe_get_partitions(probe.get());
    blkid_parttable root = list ? blkid_partlist_get_table(list) : nullptr;
    if (!root)
        return table;
    table.type = QString::fromLatin1(blkid_parttable_get_type(root));
    const std::uint64_t sectorbytes = blkid_probe_get_sectorsize(probe.get());
    // libblkid reads a GPT from its backup header at the end of the disk when
    // the primary one (or its entry array) fails its checksum; the table's
    // offset says which one it took.
    if (table.type == QLatin1String("gpt") && std::uint64_t(blkid_parttable_get_offset(root)) != sectorbytes)
        table.notes.append(QStringLiteral("%1: the primary GPT header is damaged; the backup header "
                                          "at the end of the disk was used")
                               .arg(whole.path));

    const std::uint64_t disksize = size;  // UINT64_MAX when unknown: nothing is past it
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
            table.notes.append(QStringLiteral("%1: partition %2 starts past the end of the disk: skipped")
                                   .arg(whole.path)
                                   .arg(entry.number));
            continue;
        }
        entry.offset = std::uint64_t(start) * blkidunit;
        const std::uint64_t room = disksize - entry.offset;
        const std::uint64_t wanted =
            std::uint64_t(length) > UINT64_MAX / blkidunit ? UINT64_MAX : std::uint64_t(length) * blkidunit;
        entry.size = std::min(wanted, room);
        if (wanted > room)
            table.notes.append(QStringLiteral("%1: partition %2 runs past the end of the disk: only its "
                                              "first %3 of %4 bytes can be read")
                                   .arg(whole.path)
                                   .arg(entry.number)
                                   .arg(room)
                                   .arg(wanted));
        table.entries.append(entry);
    }
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
    const std::uint32_t type = classify(sector.data());
    if (label && (type == 1 || type == 2)) {
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
    QList<FATVOLUME> out;
    QList<PARTITIONENTRY> seen;
    for (const PARTITIONENTRY& entry : table.entries) {
        const auto same = std::find_if(seen.begin(), seen.end(),
                                       [&](const PARTITIONENTRY& e) { return e.offset == entry.offset; });
        if (same != seen.end()) {
            notes->append(QStringLiteral("%1: partition %2 starts where partition %3 does: skipped")
                              .arg(whole.path)
                              .arg(entry.number)
                              .arg(same->number));
            continue;
        }
        seen.append(entry);
        FATVOLUME volume;
        volume.source.path = whole.path;
        volume.source.offset = whole.offset + entry.offset;
        volume.source.size = entry.size;
        volume.source.partition = entry.number;
        volume.source.whole = false;
        volume.fstype = classifysource(volume.source, classify, &volume.label);
        if (volume.fstype != 1 && volume.fstype != 2) {
            notes->append(QStringLiteral("%1: partition %2 is not a FAT16 or FAT32 volume: skipped")
                              .arg(whole.path)
                              .arg(entry.number));
            continue;
        }
        for (const FATVOLUME& earlier : out) {
            const platform::VolumeSource& e = earlier.source;
            if (volume.source.offset < e.offset + e.size && e.offset < volume.source.offset + volume.source.size)
                notes->append(QStringLiteral("%1: partitions %2 and %3 overlap")
                                  .arg(whole.path)
                                  .arg(e.partition)
                                  .arg(entry.number));
        }
        out.append(volume);
    }
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
            if (type != 1 && type != 2)
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
