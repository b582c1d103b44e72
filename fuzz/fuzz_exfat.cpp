// libFuzzer target: the exFAT parser, through the run both faces hold
// (RUN, with the deep scan, listing what it would save). The input is an
// exFAT image (or its first part), read from memory: the boot region is
// made valid (name, signature and checksum) so that mutations reach the
// root, the bitmap, the entry sets, the walk and the deep scan, which run
// to their end. Byte 120 (boot code, unused) chooses:
//   bit 0  every entry set at a 32-byte boundary gets its checksum made right
//   bit 1  the main region's checksum is left as it is (the backup and the
//          unchecked fields are tried)
// Besides the sanitizers it stops on a run that does not end, and on a
// record that breaks what the save path relies on: runs inside the heap
// holding exactly the clusters of the valid length, none of them
// allocated or a live file's, and no cluster given to two files of the
// deep scan or to one of them and a file of the walk. What is in use is
// told by a walk of the image's own, beside the run.
#include "exfat/bootregion.h"
#include "exfat/entryset.h"
#include "exfat/walk.h"
#include "output/saverecord.h"
#include "run/run.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unordered_set>
#include <vector>

#include <QDir>
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
std::vector<std::uint32_t> clustersof(const exfat::EXFATVOLUME& volume, const FILEPARM& file)
{
    std::vector<std::uint32_t> out;
    std::uint64_t count = 0;
    for (const DATARUN& run : file.dataruns) {
        if (run.length == 0 || run.lcn + run.length > volume.heapclusters() || run.vcn != count)
            fail("a record's run lies outside the heap or out of order");
        count += run.length;
        for (std::uint64_t i = 0; i < run.length; ++i)
            out.push_back(std::uint32_t(run.lcn + 2 + i));
    }
    const std::uint64_t valid = std::min(file.validsize, file.size);
    const std::uint64_t need = (valid + volume.clusterbytes() - 1) / volume.clusterbytes();
    if (count != need || (file.validsize != ~std::uint64_t(0) && file.validsize > file.size))
        fail("a record's runs do not hold the clusters of its valid length");
    return out;
}

// Every file the run settles, checked as it comes against the image's own
// walk: those of the walk first, then the deep scan's (its lost files).
class CHECKING : public RUNEVENTS {
public:
    const exfat::EXFATVOLUME* volume = nullptr;
    const exfat::EXFATWALK* walk = nullptr;
    RUN* run = nullptr;
    std::unordered_set<std::uint32_t> saved;
    void showwarning(const QString&) override {}
    void showinformation(const QString&) override {}
    void addvolumeitem(const platform::VolumeSource&) override {}
    void setstatuslines(const QString&, const QString&, const QString&) override {}
    void setbuttontext(const QString&) override {}
    void filesettled(const FILEPARM& file, const SAVERECORD& record) override
    {
        const bool deep = run->phase() == RUNPHASE::lostfiles;
        for (const std::uint32_t c : clustersof(*volume, file)) {
            if (!deep) {
                if (!record.nofatchain.value_or(false) && walk->used(c))
                    fail("a rebuilt file of the walk holds a cluster in use");
                saved.insert(c);
            } else if (volume->allocated(c) || walk->used(c) || walk->isdirectory(c) || !saved.insert(c).second) {
                fail("a file of the deep scan holds a cluster in use or given to another file");
            }
        }
    }
};

CHECKING* checking = nullptr;
RUN* fuzzrun = nullptr;

void run(const QString& path, std::uint64_t size)
{
    const platform::volhandle handle = platform::openpath(path);
    if (handle == platform::invalidhandle())
        fail("cannot open the image");
    exfat::EXFATVOLUME volume;
    if (volume.open(handle, size).isEmpty()) {
        exfat::EXFATWALK walk(volume);
        std::optional<exfat::EXFATFILE> found;
        long steps = 0;
        while (walk.step(&found))
            if (++steps > stepcap)
                fail("the walk does not end");
        checking->volume = &volume;
        checking->walk = &walk;
        checking->saved.clear();
        RunEngine& engine = fuzzrun->engine();
        platform::VolumeSource source;
        source.root = QStringLiteral("C:\\");
        source.path = path;
        source.size = size;
        engine.setexfatsource(source);
        RUNOPTIONS options;
        options.deep = true;
        fuzzrun->setoptions(options);
        fuzzrun->setlistonly(true);
        fuzzrun->setrecoverdir(QDir::tempPath() + QLatin1Char('/'));
        if (fuzzrun->startrun())
            for (steps = 0; fuzzrun->rununderway(); fuzzrun->step())
                if (++steps > stepcap)
                    fail("the run does not end");
        fuzzrun->abandonrun();
        engine.setexfatsource(std::nullopt);
        checking->volume = nullptr;
        checking->walk = nullptr;
    }
    platform::closesource(handle);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    platform::setblockdevicesenabled(false);
    checking = new CHECKING;
    fuzzrun = new RUN(*checking);
    checking->run = fuzzrun;
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
