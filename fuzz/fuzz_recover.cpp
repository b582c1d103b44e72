// libFuzzer target: the input is a small header of run limits followed by a
// volume image. One complete recovery runs on the image through the run
// both faces hold (RUN): the source opened as kov-recover opens it (a bare
// volume, the one volume of a partitioned image, or with the deep scan the
// layout found in a source that lays out none), then every phase the
// options plan, in the run's own order, saving into a fresh temporary
// directory. Besides the sanitizers it stops on a run that does not end or
// does not end once, a change to the source, and anything the run leaves
// in the output directory other than plain files and folders, one file
// for each save that created one.
//
// An exFAT image goes through the same run (its exFAT phases). For it
// header byte 0 says which checksums are made right before the run, so
// that mutations reach past them: bit 0 the main boot region's, bit 1
// every entry set's that lies at a 32-byte boundary.
//
// Header (limitbytes bytes):
//   0  FAT cache limit: 0 the engine's default, n > 0 (n - 1) * 512 bytes, so
//      that most FATs are read entry by entry from the source;
//   1  saves before the run goes on listing only (0: list from the start);
//   2  bytes those saves may plan, in 32 KiB units plus one; its low three
//      bits also choose the options beside the deep scan (always on):
//      bit 0 verify, bit 1 original names, bit 2 carving.
#include "exfat/bootregion.h"
#include "exfat/entryset.h"
#include "layout/layoutsearch.h"
#include "run/opensource.h"
#include "run/run.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryDir>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Far above the steps a run on an input of max_len bytes needs when every
// directory is entered once; reaching it means the run does not end.
constexpr long stepcap = 2000000;
constexpr std::size_t limitbytes = 3;

[[noreturn]] void fail(const char* what);

// What the run tells a face, kept only as far as the checks need it.
class FuzzEvents : public RUNEVENTS {
public:
    RUN* run = nullptr;
    // Saves per input before the run goes on listing only: a small image can
    // name thousands of deleted files that each span the whole volume, and
    // writing them all would spend the time on the output disk.
    std::uint64_t savebudget = 0;
    std::uint64_t savecountbudget = 0;
    std::uint64_t planned = 0;
    std::uint64_t plannedcount = 0;
    int warnings = 0;
    int ends = 0;
    QStringList written;  // every record's path, in the order settled

    void showwarning(const QString&) override { ++warnings; }
    void showinformation(const QString&) override {}
    void addvolumeitem(const platform::VolumeSource&) override {}
    void setstatuslines(const QString&, const QString&, const QString&) override {}
    void setbuttontext(const QString&) override {}
    void filesettled(const FILEPARM& file, const SAVERECORD& record) override
    {
        if (!record.path.isEmpty())
            written.append(record.path);
        planned += file.size;
        if (planned > savebudget || ++plannedcount > savecountbudget)
            run->setlistonly(true);
    }
    void runended() override
    {
        if (run->rununderway())
            fail("the run told its end while a phase was under way");
        ++ends;
    }
    void reset()
    {
        planned = plannedcount = 0;
        warnings = ends = 0;
        written.clear();
    }
};

FuzzEvents* events = nullptr;
RUN* fuzzrun = nullptr;
std::uint64_t defaultcachelimit = 0;
QString tempbase;

// The engine back to the state of a fresh one, without paying for a new
// minute table (42 MB) on every input.
void resetengine(RunEngine& core)
{
    core.abandonrun();
    core.clearfoundlayout();
    core.setexfatsource(std::nullopt);
    platform::closesource(core.hdisk);
    core.hdisk = nullptr;
    core.geometry = DISKGEOMETRY();
    core.dbrparm = DBRPARM();
    core.diskparm = DISKPARM();
    core.bitmap.clear();
    core.fat.reset();
    core.fatbits = 32;
    core.fatentries = 0;
    core.curfile.clear();
    core.rootdir.clear();
    core.curdir.clear();
    core.paused = true;
    core.collecting = core.saving = core.listonly = false;
    core.stats = RUNSTATS();
    if (core.minutetable)
        for (std::int32_t s = core.minuteindex.above(core.minutetable.get(), -1); s >= 0;
             s = core.minuteindex.above(core.minutetable.get(), s))
            core.minutetable[s] = 0xFFFF;
    core.minuteindex.reset(core.minutecount);
}

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "fuzz_recover: %s\n", what);
    std::abort();
}

// The image lives in one memory file for the whole process, read by the run
// through /proc/self/fd/N and opened read-only there. Its pages are reused
// from input to input: a fresh file per input spent most of a run's time
// allocating them.
struct IMAGEFILE {
    int fd = -1;
    unsigned char* map = nullptr;
    std::size_t capacity = 0;
};
IMAGEFILE image;

void loadimage(const std::uint8_t* data, std::size_t size)
{
    if (image.fd < 0) {
        image.fd = memfd_create("kovimage", MFD_CLOEXEC);
        if (image.fd < 0)
            fail("memfd_create failed");
    }
    if (ftruncate(image.fd, off_t(size)) != 0)
        fail("cannot size the image");
    if (size > image.capacity || !image.map) {
        if (image.map)
            munmap(image.map, image.capacity);
        image.capacity = std::max<std::size_t>(size, 1u << 20);
        void* map = mmap(nullptr, image.capacity, PROT_READ | PROT_WRITE, MAP_SHARED, image.fd, 0);
        if (map == MAP_FAILED)
            fail("cannot map the image");
        image.map = static_cast<unsigned char*>(map);
    }
    if (size != 0)
        std::memcpy(image.map, data, size);
}

bool sameimage(const std::uint8_t* data, std::size_t size)
{
    struct stat info {};
    return fstat(image.fd, &info) == 0 && std::uint64_t(info.st_size) == size &&
           (size == 0 || std::memcmp(image.map, data, size) == 0);
}

// Everything a run may leave: plain files and folders below the output
// directory, the files exactly those the run's records say it wrote (whole,
// or cut short by a failed read or write), so that no save replaced another
// and none was left unnamed.
void checkoutput(const QString& dir, const QStringList& written)
{
    QSet<QString> files;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo item(it.next());
        if (item.isSymLink() || (!item.isFile() && !item.isDir()))
            fail("the run left something other than plain files and folders");
        if (item.isFile())
            files.insert(QDir::cleanPath(item.absoluteFilePath()));
    }
    QSet<QString> named;
    for (const QString& path : written) {
        const QString clean = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
        if (named.contains(clean))
            fail("two saves wrote the same file");
        named.insert(clean);
    }
    if (files != named)
        fail("the output does not hold one file per save that wrote one");
}

// Recomputes the checksums header byte 0 asks for in an exFAT image.
void fixexfat(unsigned char* image, std::size_t size, std::uint8_t which)
{
    if ((which & 1) && size >= 512) {
        const unsigned shift = image[108];
        const std::size_t sector = shift >= 9 && shift <= 12 ? std::size_t(1) << shift : 512;
        if (size >= sector * 12) {
            const std::uint32_t sum = exfat::bootchecksum(image, std::uint32_t(sector));
            for (std::size_t i = 0; i < sector; i += 4)
                std::memcpy(image + sector * 11 + i, &sum, 4);
        }
    }
    if (which & 2)
        for (std::size_t at = 0; at + 64 <= size; at += 32) {
            if ((image[at] | 0x80) != 0x85)
                continue;
            const std::size_t entries = std::size_t(image[at + 1]) + 1;
            if (at + entries * 32 > size)
                continue;
            const std::uint16_t sum = exfat::setchecksum(image + at, std::uint32_t(entries), true);
            image[at + 2] = std::uint8_t(sum);
            image[at + 3] = std::uint8_t(sum >> 8);
        }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // Output size limits must fail a write, not end the process.
    std::signal(SIGXFSZ, SIG_IGN);
    platform::setblockdevicesenabled(false);
    const char* base = std::getenv("KOV_FUZZ_TMPDIR");
    if (base && *base)
        tempbase = QString::fromLocal8Bit(base);
    else if (QFileInfo(QStringLiteral("/dev/shm")).isWritable())
        tempbase = QStringLiteral("/dev/shm");
    else
        tempbase = QDir::tempPath();
    events = new FuzzEvents;
    fuzzrun = new RUN(*events);
    events->run = fuzzrun;
    defaultcachelimit = fuzzrun->engine().fatcachelimit;
    return 0;
}

namespace {

// Lays the image out as kov-recover does for these options; false when it
// gives the run no volume.
bool opensource(RUN& run, const QString& path, const RUNOPTIONS& options)
{
    RunEngine& engine = run.engine();
    const SOURCEVOLUMES found = findvolumes(engine, path, false);
    if (found.ok()) {
        const partitions::FATVOLUME chosen = found.volumes.value(0);
        platform::assignletters({chosen.source});
        if (::openvolume(engine, QStringLiteral("C:\\"), chosen.fstype) == VOLUMEOPENED::exfat)
            return true;
        return events->warnings == 0;
    }
    if (!found.layoutless() || !options.deep)
        return false;
    ::openvolume(engine, QStringLiteral("C:\\"), 3u);
    if (events->warnings != 0)
        return false;
    layout::LAYOUTSEARCH search(engine.hdisk, engine.sourcebytes);
    return takefoundlayout(engine, *runlayoutsearch(search));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t inputsize)
{
    if (inputsize < limitbytes)
        return 0;
    const std::uint8_t* data = input + limitbytes;
    const std::size_t size = inputsize - limitbytes;
    RUN& run = *fuzzrun;
    RunEngine& engine = run.engine();
    engine.fatcachelimit = input[0] == 0 ? defaultcachelimit : std::uint64_t(input[0] - 1) * 512;
    events->savecountbudget = input[1];
    events->savebudget = (std::uint64_t(input[2]) + 1) << 15;
    const RUNOPTIONS options{true, (input[2] & 1) != 0, (input[2] & 2) != 0, (input[2] & 4) != 0};

    loadimage(data, size);
    std::vector<std::uint8_t> fixed;
    if (size >= 512 && KOVCore::classifydbr(data) == 4 && input[0] & 3) {
        fixed.assign(data, data + size);
        fixexfat(fixed.data(), size, input[0]);
        loadimage(fixed.data(), size);
        data = fixed.data();
    }

    run.setoptions(options);
    if (opensource(run, QStringLiteral("/proc/self/fd/%1").arg(image.fd), options)) {
        QTemporaryDir out(tempbase + QStringLiteral("/kovfuzz-XXXXXX"));
        if (!out.isValid())
            fail("cannot make the output directory");
        run.setrecoverdir(out.path() + QLatin1Char('/'));
        run.setlistonly(input[1] == 0);
        if (run.startrun()) {
            run.setpaused(false);
            long steps = 0;
            while (run.rununderway() && steps < stepcap) {
                run.step();
                ++steps;
            }
            if (run.rununderway())
                fail("the run did not end within the step cap");
            if (events->ends != 1)
                fail("the run did not tell its end once");
            checkoutput(out.path(), events->written);
        }
    }
    if (!sameimage(data, size))
        fail("the source image changed");
    resetengine(engine);
    events->reset();
    return 0;
}
