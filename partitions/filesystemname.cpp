// A source's file system type through libblkid's superblock probes.
#include "partitions/filesystemname.h"

#include <blkid/blkid.h>

#include <memory>

namespace partitions {

namespace {

struct ProbeDeleter {
    void operator()(blkid_struct_probe* probe) const { blkid_free_probe(probe); }
};

// The names users know these types by; any other type is shown as
// libblkid spells it.
QString displayname(const QString& type)
{
    static const std::pair<const char*, const char*> names[] = {
        {"ntfs", "NTFS"},         {"iso9660", "ISO 9660"}, {"udf", "UDF"},     {"xfs", "XFS"},
        {"btrfs", "Btrfs"},       {"hfsplus", "HFS+"},     {"hfs", "HFS"},     {"apfs", "APFS"},
        {"f2fs", "F2FS"},         {"squashfs", "SquashFS"}, {"swap", "swap"},  {"crypto_LUKS", "LUKS"},
        {"LVM2_member", "LVM"},   {"linux_raid_member", "Linux RAID"}, {"zfs_member", "ZFS"},
        {"ReFS", "ReFS"},         {"jfs", "JFS"},          {"erofs", "EROFS"},
    };
    for (const auto& [raw, shown] : names)
        if (type == QLatin1String(raw))
            return QString::fromLatin1(shown);
    return type;
}

}  // namespace

QString filesystemname(const platform::VolumeSource& source)
{
    const platform::volhandle handle = platform::opensource(source);
    if (handle == platform::invalidhandle())
        return {};
    QString type;
    int fd = -1;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::unique_ptr<blkid_struct_probe, ProbeDeleter> probe(blkid_new_probe());
    if (probe && platform::descriptor(handle, &fd, &offset, &size) &&
        blkid_probe_set_device(probe.get(), fd, blkid_loff_t(offset),
                               blkid_loff_t(size == UINT64_MAX ? 0 : size)) == 0) {
        blkid_probe_enable_partitions(probe.get(), 0);
        blkid_probe_enable_superblocks(probe.get(), 1);
        blkid_probe_set_superblocks_flags(probe.get(), BLKID_SUBLKS_TYPE);
        const char* value = nullptr;
        if (blkid_do_safeprobe(probe.get()) == 0 && blkid_probe_lookup_value(probe.get(), "TYPE", &value, nullptr) == 0 &&
            value)
            type = QString::fromLatin1(value);
    }
    platform::closesource(handle);
    if (type == QLatin1String("vfat") || type == QLatin1String("msdos") || type == QLatin1String("exfat"))
        return {};
    return type.isEmpty() ? QString() : displayname(type);
}

}  // namespace partitions
