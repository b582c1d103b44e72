// libFuzzer target: the exFAT parser. The input is an exFAT image (or its
// first part), read from memory: the boot region is made valid (name,
// signature and checksum) so that mutations reach the root, the bitmap,
// the entry sets, the walk and the deep scan, which run to their end
// listing what they would save. Byte 120 (boot code, unused) chooses:
//   bit 0  every entry set at a 32-byte boundary gets its checksum made right
//   bit 1  the main region's checksum is left as it is (the backup and the
//          unchecked fields are tried)
// Besides the sanitizers it stops on a walk or scan that does not end, and
// on a record that breaks what the save path relies on: runs inside the
// heap holding exactly the clusters of the valid length, none of them
// allocated or a live file's, and no cluster given to two files of the
// deep scan or to one of them and a file of the walk.
#include "exfat/bootregion.h"
#include "exfat/deep.h"
#include "exfat/entryset.h"
#include "exfat/walk.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_set>
#include <vector>

#include <QString>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// Far above the steps of any input of max_len bytes.
constexpr long stepcap = 4000000;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "fuzz_exfat: %s\n", what);
    std::abort();
}

int imagefd = -1;

void makevalid(unsigned char* image, std::size_t size)
{
    const std::uint8_t options = image[120];
    std::memcpy(image + 3, "EXFAT   ", 8);
    image[510] = 0x55;
    image[511] = 0xAA;
    if (options & 1)
        for (std::size_t at = 0; at + 64 <= size; at += 32) {
            if (!exfat::fileentry(image[at]))
                continue;
            const std::size_t entries = std::size_t(image[at + 1]) + 1;
            if (at + entries * 32 > size)
                continue;
            const std::uint16_t sum = exfat::setchecksum(image + at, std::uint32_t(entries), true);
            image[at + 2] = std::uint8_t(sum);
            image[at + 3] = std::uint8_t(sum >> 8);
        }
    const unsigned shift = image[exfat::bootfield::sectorshift];
    const std::size_t sector = shift >= 9 && shift <= 12 ? std::size_t(1) << shift : 512;
    if (!(options & 2) && size >= sector * 12) {
        const std::uint32_t sum = exfat::bootchecksum(image, std::uint32_t(sector));
        for (std::size_t i = 0; i < sector; i += 4)
            std::memcpy(image + sector * 11 + i, &sum, 4);
    }
}

// The clusters of a record's runs, checked against what the save path
// relies on.
std::vector<std::uint32_t> clustersof(const exfat::EXFATVOLUME& volume, const exfat::EXFATFILE& file)
{
    std::vector<std::uint32_t> out;
    std::uint64_t count = 0;
    for (const DATARUN& run : file.file.dataruns) {
        if (run.length == 0 || run.lcn + run.length > volume.heapclusters() || run.vcn != count)
            fail("a record's run lies outside the heap or out of order");
        count += run.length;
        for (std::uint64_t i = 0; i < run.length; ++i)
            out.push_back(std::uint32_t(run.lcn + 2 + i));
    }
    const std::uint64_t need = (file.validlength + volume.clusterbytes() - 1) / volume.clusterbytes();
    if (count != need || file.validlength > file.datalength || file.file.size != file.datalength)
        fail("a record's runs do not hold the clusters of its valid length");
    return out;
}

void run(const QString& path, std::uint64_t size)
{
    const platform::volhandle handle = platform::openpath(path);
    if (handle == platform::invalidhandle())
        fail("cannot open the image");
    exfat::EXFATVOLUME volume;
    if (volume.open(handle, size).isEmpty()) {
        exfat::EXFATWALK walk(volume);
        std::optional<exfat::EXFATFILE> found;
        std::unordered_set<std::uint32_t> saved;
        long steps = 0;
        while (walk.step(&found)) {
            if (++steps > stepcap)
                fail("the walk does not end");
            if (!found)
                continue;
            for (const std::uint32_t c : clustersof(volume, *found)) {
                if (!found->nofatchain && walk.used(c))
                    fail("a rebuilt file of the walk holds a cluster in use");
                saved.insert(c);
            }
        }
        exfat::EXFATDEEP scan(volume);
        scan.claim(walk.liveclusterbits());
        scan.claim(walk.directorybits());
        std::vector<DATARUN> walkruns;
        for (const std::uint32_t c : saved)
            walkruns.push_back({c - 2, 1, 0});
        scan.claim(walkruns);
        for (steps = 0; scan.scanstep();)
            if (++steps > stepcap)
                fail("the deep scan does not end");
        scan.link();
        for (steps = 0; scan.next(&found);) {
            if (++steps > stepcap)
                fail("the deep scan's files do not end");
            if (!found)
                continue;
            for (const std::uint32_t c : clustersof(volume, *found))
                if (volume.allocated(c) || walk.used(c) || walk.isdirectory(c) || !saved.insert(c).second)
                    fail("a file of the deep scan holds a cluster in use or given to another file");
        }
    }
    platform::closesource(handle);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    platform::setblockdevicesenabled(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 512)
        return 0;
    if (imagefd < 0 && (imagefd = memfd_create("kovexfat", MFD_CLOEXEC)) < 0)
        fail("memfd_create failed");
    std::vector<unsigned char> image(data, data + size);
    makevalid(image.data(), size);
    if (ftruncate(imagefd, 0) != 0 || pwrite(imagefd, image.data(), size, 0) != ssize_t(size))
        fail("cannot write the image");
    run(QStringLiteral("/proc/self/fd/%1").arg(imagefd), size);
    return 0;
}
