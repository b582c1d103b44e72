// libFuzzer target: the input is a whole disk image. Its partition table
// is read (libblkid), its FAT volumes found and the image expanded into
// them, as the window and kov-recover do. Besides the sanitizers it stops
// on an entry or volume that reaches past the image, two volumes at one
// offset, more notes than a table may give, volumes that expanding and
// listing see differently, and a change to the image.
//
// libblkid is not instrumented, and a mutated GPT mostly fails its
// checksums: the checksums of both GPT headers and their entry arrays are
// made again before the image is read, so that mutated entries get through.
#include "model/kovcore.h"
#include "model/littleendian.h"
#include "partitions/partitiontable.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace {

// Kinds of note a table gives: the backup GPT, entries past the end,
// clipped entries, repeated starts, partitions that are not FAT, overlaps.
constexpr qsizetype notekinds = 6;

int imagefd = -1;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "fuzz_partitions: %s\n", what);
    std::abort();
}

std::uint32_t crc(const std::uint8_t* bytes, std::size_t size)
{
    return std::uint32_t(::crc32(0, bytes, uInt(size)));
}

void put32(std::uint8_t* p, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        p[i] = std::uint8_t(v >> (8 * i));
}

// Makes the checksums of the GPT header at byte offset at, and of the entry
// array it names, match, where both lie inside the image.
void fixgpt(std::vector<std::uint8_t>& image, std::uint64_t at)
{
    constexpr std::uint64_t sector = 512;
    if (at > image.size() || image.size() - at < sector || std::memcmp(image.data() + at, "EFI PART", 8) != 0)
        return;
    std::uint8_t* h = image.data() + at;
    const std::uint64_t array = std::uint64_t(le32(h + 72)) * sector;
    const std::uint64_t arraybytes = std::uint64_t(le32(h + 80)) * le32(h + 84);
    if (le32(h + 76) == 0 && array < image.size() && arraybytes <= image.size() - array)
        put32(h + 88, crc(image.data() + array, std::size_t(arraybytes)));
    const std::uint32_t headerbytes = le32(h + 12);
    if (headerbytes >= 20 && headerbytes <= sector) {
        put32(h + 16, 0);
        put32(h + 16, crc(h, headerbytes));
    }
}

void loadimage(const std::uint8_t* data, std::size_t size)
{
    if (imagefd < 0) {
        imagefd = memfd_create("kovdisk", MFD_CLOEXEC);
        if (imagefd < 0)
            fail("memfd_create failed");
    }
    if (ftruncate(imagefd, 0) != 0 || ftruncate(imagefd, off_t(size)) != 0)
        fail("cannot size the image");
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = pwrite(imagefd, data + done, size - done, off_t(done));
        if (n <= 0)
            fail("cannot write the image");
        done += std::size_t(n);
    }
}

bool sameimage(const std::uint8_t* data, std::size_t size)
{
    struct stat info {};
    if (fstat(imagefd, &info) != 0 || std::uint64_t(info.st_size) != size)
        return false;
    if (size == 0)
        return true;
    void* map = mmap(nullptr, size, PROT_READ, MAP_SHARED, imagefd, 0);
    if (map == MAP_FAILED)
        fail("cannot map the image");
    const bool same = std::memcmp(map, data, size) == 0;
    munmap(map, size);
    return same;
}

bool inside(std::uint64_t offset, std::uint64_t bytes, std::uint64_t disk)
{
    return bytes > 0 && offset < disk && bytes <= disk - offset;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    platform::setblockdevicesenabled(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size)
{
    std::vector<std::uint8_t> image(input, input + size);
    fixgpt(image, 512);
    if (size >= 1024)
        fixgpt(image, (size / 512 - 1) * 512);
    const std::uint8_t* data = image.data();
    loadimage(data, size);
    platform::setimagefiles({QStringLiteral("/proc/self/fd/%1").arg(imagefd)});
    const platform::VolumeSource whole = platform::rawsources().value(0);
    if (whole.size != size)
        fail("the source does not have the image's size");
    const qsizetype notecap = notekinds * (partitions::notesperkind + 1);

    const partitions::PARTITIONTABLE table = partitions::readtable(whole);
    for (const partitions::PARTITIONENTRY& entry : table.entries)
        if (!inside(entry.offset, entry.size, size))
            fail("a table entry reaches past the image");
    if (table.notes.size() > notecap)
        fail("the table gave more notes than its cap");

    QStringList notes;
    const QList<partitions::FATVOLUME> volumes = partitions::fatvolumes(whole, KOVCore::classifydbr, &notes);
    std::set<std::uint64_t> offsets;
    for (const partitions::FATVOLUME& volume : volumes) {
        const platform::VolumeSource& s = volume.source;
        if (!inside(s.offset, s.size, size) || s.whole || s.path != whole.path)
            fail("a volume reaches past the image or is not a partition of it");
        if (volume.fstype != 1 && volume.fstype != 2 && volume.fstype != 5)
            fail("a volume is not FAT12, FAT16 or FAT32");
        if (!offsets.insert(s.offset).second)
            fail("two volumes start at one offset");
        if (std::none_of(table.entries.begin(), table.entries.end(), [&](const partitions::PARTITIONENTRY& e) {
                return e.number == s.partition && e.offset == s.offset && e.size == s.size;
            }))
            fail("a volume is not an entry of the table");
    }
    if (notes.size() > notecap)
        fail("the volumes gave more notes than their cap");

    QStringList expandnotes;
    const QList<platform::VolumeSource> expanded =
        partitions::expandsources({whole}, KOVCore::classifydbr, &expandnotes);
    const std::uint32_t type = partitions::classifysource(whole, KOVCore::classifydbr);
    if (type == 1 || type == 2 || volumes.isEmpty()) {
        if (expanded.size() != 1 || expanded.first().path != whole.path || !expanded.first().whole)
            fail("a source without FAT volumes inside, or FAT at byte 0, was expanded");
    } else {
        if (expanded.size() != volumes.size())
            fail("expanding and listing found different volumes");
        for (qsizetype i = 0; i < expanded.size(); ++i)
            if (expanded[i].offset != volumes[i].source.offset || expanded[i].partition != volumes[i].source.partition)
                fail("expanding and listing found different volumes");
    }

    if (!sameimage(data, size))
        fail("the image changed");
    return 0;
}
