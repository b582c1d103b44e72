// libFuzzer target: the input is a whole disk image. Its partition table
// is read (libblkid), its FAT volumes found and the image expanded into
// them, as the window and kov-recover do. Besides the sanitizers it stops
// on an entry or volume that reaches past the image, two volumes at one
// offset, more notes than a table may give, volumes that expanding and
// listing see differently, and a change to the image.
#include "model/kovcore.h"
#include "partitions/partitiontable.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

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

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
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
        if (volume.fstype != 1 && volume.fstype != 2)
            fail("a volume is not FAT16 or FAT32");
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
