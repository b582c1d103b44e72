// exFAT images made at test time with the real tools: mkfs.exfat
// (exfatprogs) on the image, then the exfat FUSE driver (mount.exfat-fuse,
// root only) over a read-write loop device to write, fragment and delete
// files; unmounted before anything reads the image. Plus ExfatPatch, a
// small builder of our own over such an image for what the driver never
// writes (a cleared FAT chain, a bad set checksum, hostile fields).
//
// What exfatprogs 1.2.0 and exfat-fuse 1.3.0 write, as seen here:
// - mkfs.exfat puts the allocation bitmap at cluster 2, the up-case table
//   after it and the root directory after that, each with a FAT chain.
// - The driver writes a file contiguously with NoFatChain and no FAT
//   entries while it can; a file that must grow past a cluster another
//   file took gets a FAT chain for all its clusters and loses NoFatChain.
// - Deleting clears bit 7 of every entry of the set (0x05, 0x40, 0x41),
//   clears the file's bits in the allocation bitmap and sets a chained
//   file's FAT entries to 0; first cluster, lengths, flags and name stay.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <vector>

namespace testsupport {

// Makes image, sizebytes long, with "mkfs.exfat -c clusterbytes [extra]".
// Over an existing image of that size this is a quick format. False (see
// lasterror()) when the tool fails.
bool makeexfat(const QString& image, std::uint64_t sizebytes, std::uint32_t clusterbytes,
               const QStringList& extra = {});

// The image mounted read-write through the FUSE driver at a fresh
// directory while it lives; ok() is false (and why() says why) when the
// machine refuses (no root, no loop devices, no /dev/fuse).
class ExfatMount {
public:
    explicit ExfatMount(const QString& image);
    ~ExfatMount();
    ExfatMount(const ExfatMount&) = delete;
    ExfatMount& operator=(const ExfatMount&) = delete;
    bool ok() const { return !dir.isEmpty(); }
    QString why() const { return reason; }
    // The mounted path of a relative path on the volume.
    QString path(const QString& relative) const { return dir + '/' + relative; }
    // Writes (creating or replacing) or appends data; false on failure.
    bool write(const QString& relative, const QByteArray& data, bool append = false) const;
    bool mkdir(const QString& relative) const;
    // Removes a file, or a folder with everything in it.
    bool remove(const QString& relative) const;
    // Unmounts (the driver flushes everything) and detaches the loop
    // device; true when both worked. Called by the destructor if needed.
    bool unmount();

private:
    QString dir;
    QString device;
    QString reason;
};

// Raw fields of an exFAT image, read and patched by byte offset, for the
// cases the driver never makes. Cluster numbers are the volume's (2 ...).
class ExfatPatch {
public:
    // Reads the image whole; ok() false when it is no exFAT image.
    explicit ExfatPatch(const QString& image);
    bool ok() const { return clusterbytes != 0; }
    // Writes the image back; false on failure.
    bool save() const;

    std::uint64_t clusteroffset(std::uint32_t cluster) const;
    std::uint32_t rootcluster() const { return root; }
    // The cluster count the boot sector gives.
    std::uint32_t heapclusters() const;
    std::uint32_t fat(std::uint32_t cluster) const;
    void setfat(std::uint32_t cluster, std::uint32_t value);
    bool bit(std::uint32_t cluster) const;
    void setbit(std::uint32_t cluster, bool on);
    // The byte offset of the File entry of the first set in the root (or,
    // with folderfirst, in the directory starting at that cluster, along
    // its FAT chain) whose name is name; 0 when none.
    std::uint64_t findset(const QString& name, std::uint32_t folderfirst = 0) const;
    // The bytes at offset.
    unsigned char* at(std::uint64_t offset) { return reinterpret_cast<unsigned char*>(bytes.data()) + offset; }
    // Recomputes the SetChecksum of the set at offset (as if in use).
    void fixchecksum(std::uint64_t offset);
    // Rewrites the checksum sector of the main (0) or backup (1) boot
    // region after a patch of its first eleven sectors.
    void fixbootchecksum(int region);
    // Writes a file set at offset: File, Stream Extension and File Name
    // entries (in use or deleted), with a correct checksum; returns the
    // entries written.
    int writeset(std::uint64_t offset, const QString& name, bool inuse, bool directory, bool nofatchain,
                 std::uint32_t firstcluster, std::uint64_t validlength, std::uint64_t datalength);
    // Fills a cluster's bytes.
    void writecluster(std::uint32_t cluster, const QByteArray& data);

    std::uint32_t clusterbytes = 0;

private:
    QString path;
    QByteArray bytes;
    std::uint64_t sectorbytes = 0;
    std::uint64_t fatstart = 0;
    std::uint64_t heapstart = 0;
    std::uint32_t root = 0;
    std::uint64_t bitmapstart = 0;
};

}  // namespace testsupport
