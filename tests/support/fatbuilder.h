// An in-memory FAT16/FAT32 image for the edge cases the real tools never
// make: chain loops, cross-linked chains, directories that point at their
// parent, deleted FAT32 entries with a zeroed high start word, raw entry
// bytes, huge directories, fragmented files, files past cluster 65535 and
// truncated images.
//
// The image is a plain byte vector; every on-disk field is written by byte
// offset through put16/put32, never through a struct. Misuse (a cluster out
// of range, a slot past a fixed FAT16 root, a full volume) throws
// std::out_of_range or std::runtime_error, which GoogleTest reports as a
// failure of the test that did it.
//
// mtools and fsck.fat read an image by its cluster count: for them to
// accept it keep FAT16 at 4085..65524 clusters and FAT32 at >= 65525
// (fat16layout() and fat32layout() with their default sizes do).
#pragma once

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace testsupport {

// Little-endian writers and readers over raw bytes.
void put16(unsigned char* p, std::uint16_t v);
void put32(unsigned char* p, std::uint32_t v);
std::uint16_t get16(const unsigned char* p);
std::uint32_t get32(const unsigned char* p);

// FAT date word: bits 0-4 day, 5-8 month, 9-15 years since 1980.
constexpr std::uint16_t fatdate(int year, int month, int day)
{
    return static_cast<std::uint16_t>((year - 1980) << 9 | month << 5 | day);
}
// FAT time word: bits 0-4 seconds/2, 5-10 minutes, 11-15 hours.
constexpr std::uint16_t fattime(int hour, int minute, int second)
{
    return static_cast<std::uint16_t>(hour << 11 | minute << 5 | second / 2);
}

// "README.TXT" -> "README  TXT": the 11-byte space-padded short name.
// Takes the text as is (no case change, no check for valid characters);
// throws when the base is longer than 8 or the extension than 3 bytes.
QByteArray shortname(const char* dotted);

struct FatLayout {
    int fatbits = 32;                     // 16 or 32
    std::uint16_t bytespersector = 512;
    std::uint8_t sectorspercluster = 1;
    std::uint16_t reservedsectors = 32;   // FAT32 keeps FSInfo in 1, boot backup in 6
    std::uint8_t fatcount = 2;
    std::uint32_t sectorsperfat = 0;      // 0: the smallest that covers every cluster
    std::uint64_t totalsectors = 0;
    std::uint16_t rootentries = 0;        // FAT16 only (512 usual); 0 on FAT32
    std::uint32_t rootcluster = 2;        // FAT32 only
    std::uint8_t media = 0xF8;
    std::uint32_t serial = 0x1234ABCD;
};

// A FAT16 layout of that many bytes with 512-byte sectors: 1 cluster = 1
// sector, 4 reserved sectors, 512 root entries.
FatLayout fat16layout(std::uint64_t bytes = 20u << 20);
// A FAT32 layout of that many bytes with 512-byte sectors and clusters.
FatLayout fat32layout(std::uint64_t bytes = 40u << 20);

class FatBuilder {
public:
    // Entry field defaults: archive attribute, 2017-01-01 00:00:00.
    struct Entry {
        QByteArray name83;            // exactly 11 bytes, raw (0xE5, 0x05, ... allowed)
        std::uint8_t attr = 0x20;
        std::uint8_t ntres = 0;       // byte 12: lower-case bits
        std::uint8_t crttenth = 0;
        std::uint16_t crttime = 0;
        std::uint16_t crtdate = 0x4A21;
        std::uint16_t accdate = 0x4A21;
        std::uint32_t startcluster = 0;  // split into words 20 (high) and 26 (low)
        std::uint16_t wrttime = 0;
        std::uint16_t wrtdate = 0x4A21;
        std::uint32_t size = 0;
    };

    // A formatted empty volume: boot sector with BPB, FAT16 label "FAT16   " at
    // 54 or FAT32 label "FAT32   " at 82, 0x55AA at 510; on FAT32 also FSInfo
    // in sector 1 and copies of both in sectors 6 and 7 (when reserved), the
    // root cluster zeroed and ended in the FAT; FAT[0] = media, FAT[1] = end
    // mark. sectorsperfat is computed when 0 and totalsectors must be set.
    explicit FatBuilder(const FatLayout& layout);

    const FatLayout& layout() const { return lay; }
    std::vector<unsigned char>& bytes() { return image; }
    const std::vector<unsigned char>& bytes() const { return image; }

    // FAT. Clusters run from firstdatacluster() to lastcluster(); setfat and
    // fat also take 0 and 1 (the media and flag entries).
    std::uint32_t firstdatacluster() const { return 2; }
    std::uint32_t clustercount() const { return clusters; }
    std::uint32_t lastcluster() const { return clusters + 1; }
    std::uint32_t clusterbytes() const { return std::uint32_t(lay.bytespersector) * lay.sectorspercluster; }
    // The end-of-chain mark written by chain(): 0xFFFF or 0x0FFFFFFF.
    std::uint32_t endmark() const { return lay.fatbits == 32 ? 0x0FFFFFFFu : 0xFFFFu; }
    // Writes value as is (FAT32: all 32 bits, so tests can set the reserved
    // top nibble) into every FAT copy. Keeps the FSInfo free count in step.
    void setfat(std::uint32_t cluster, std::uint32_t value);
    // The first copy's raw entry (FAT32: all 32 bits).
    std::uint32_t fat(std::uint32_t cluster) const;
    // Links the clusters in order and puts endmark() on the last. Any order
    // is allowed, repeats included (that makes a loop).
    void chain(const std::vector<std::uint32_t>& list);
    // The lowest free cluster at or after hint (wrapping to 2); throws when
    // the volume is full.
    std::uint32_t firstfree(std::uint32_t hint = 2) const;

    // Data area.
    std::uint64_t clusteroffset(std::uint32_t cluster) const;
    // Writes data at offset within the cluster; it must fit in the cluster.
    void writecluster(std::uint32_t cluster, const QByteArray& data, std::size_t offset = 0);
    QByteArray readcluster(std::uint32_t cluster) const;

    // Directory slots. dircluster 0 is the root: the fixed region on FAT16,
    // the rootcluster chain on FAT32. Slot n of a cluster directory lies in
    // the (n / slots per cluster)-th cluster of its chain; a chain too short
    // for the slot grows by zeroed free clusters. Throws on a FAT16 root
    // slot >= rootentries and on a directory chain that loops or is broken
    // (set such a chain up after writing the entries).
    void putentry(std::uint32_t dircluster, int slot, const Entry& entry);
    void putrawslot(std::uint32_t dircluster, int slot, const unsigned char raw[32]);
    // Byte offset of an existing slot in the image and its 32 bytes; these
    // never grow a chain and throw where putentry would have to.
    std::uint64_t slotoffset(std::uint32_t dircluster, int slot) const;
    QByteArray rawslot(std::uint32_t dircluster, int slot) const;

    // A file of contents in the slot: clusters taken one by one as the
    // lowest free at or after the previous one (starting at firstcluster, or
    // 2 when 0), chained and filled. An empty file gets start cluster 0.
    // Returns the start cluster.
    std::uint32_t addfile(std::uint32_t dircluster, int slot, const QByteArray& name83,
                          const QByteArray& contents, std::uint32_t firstcluster = 0);
    // The same on exactly these clusters, chained in this order whether free
    // or not (fragmentation, cross-links); there must be enough of them for
    // contents, and extra ones stay in the chain past the file size.
    std::uint32_t addfilechain(std::uint32_t dircluster, int slot, const QByteArray& name83,
                               const QByteArray& contents, const std::vector<std::uint32_t>& clusters);
    // A subdirectory of one zeroed cluster (lowest free at or after
    // firstcluster) holding "." (itself) and ".." (the parent, 0 for the
    // root, also on FAT32). Returns its cluster.
    std::uint32_t adddir(std::uint32_t dircluster, int slot, const QByteArray& name83,
                         std::uint32_t firstcluster = 0);
    // Marks the slot deleted (0xE5 in byte 0) as a FAT driver does: the
    // chain from its start cluster is zeroed in the FAT when freechain (a
    // walk bounded by the cluster count, so loops end), the data stays.
    // zerohighword also clears the FAT32 high start word (offset 20).
    void deleteentry(std::uint32_t dircluster, int slot, bool freechain = true, bool zerohighword = false);

    // Writes the image (or only its first truncateto bytes).
    bool save(const QString& path) const;
    bool save(const QString& path, std::uint64_t truncateto) const;

private:
    FatLayout lay;
    std::vector<unsigned char> image;
    std::uint32_t clusters = 0;
    std::uint64_t fatoffset = 0;   // first FAT copy
    std::uint64_t fatbytes = 0;    // one copy
    std::uint64_t rootoffset = 0;  // FAT16 fixed root
    std::uint64_t dataoffset = 0;  // cluster 2
    std::uint64_t fsinfooffset = 0;  // 0 on FAT16 or without FSInfo
    std::uint32_t freeclusters = 0;
    // The last directory chain walked (0: none), kept until setfat changes
    // one of its clusters but the last.
    mutable std::uint32_t walkstart = 0;
    mutable std::vector<std::uint32_t> walk;
    mutable std::vector<bool> walkseen;
    mutable bool walkended = false;

    void checkcluster(std::uint32_t cluster) const;
    void setfsinfofree(std::uint32_t count);
    std::uint32_t directorystart(std::uint32_t dircluster) const;
    // The cluster at position index of a chain, or 0 when the chain ends
    // before it (*last: then its final cluster). Throws on a loop and on a
    // free, bad or out-of-range link.
    std::uint32_t chainat(std::uint32_t start, std::uint32_t index, std::uint32_t* last) const;
    // Lengthens a cluster directory's chain until it holds the slot.
    void growtoslot(std::uint32_t dircluster, int slot);
    void writeentrybytes(unsigned char* p, const Entry& entry) const;
};

}  // namespace testsupport
