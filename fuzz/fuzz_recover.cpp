// libFuzzer target: the input is a small header of run limits followed by a
// volume image. One complete recovery runs on the image through the core
// (listing, initialisation, both passes, saving into a fresh temporary
// directory, then the deep scan of the unused clusters). Besides the
// sanitizers it stops on a run that does not end, a change to the source,
// and anything the run leaves in the output directory other than plain
// files (and, from the deep scan, directories below lost/).
//
// An image whose boot sector says exFAT goes through the exfat engine
// instead: walk, saves and deep scan, with the same checks (plain files and
// folders only, one file per save, the run ends, the source unchanged).
// For it header byte 0 says which checksums are made right before the run,
// so that mutations reach past them: bit 0 the main boot region's, bit 1
// every entry set's that lies at a 32-byte boundary.
//
// Header (limitbytes bytes):
//   0  FAT cache limit: 0 the engine's default, n > 0 (n - 1) * 512 bytes, so
//      that most FATs are read entry by entry from the source;
//   1  saves before the run goes on listing only (0: list from the start);
//   2  bytes those saves may plan, in 32 KiB units plus one.
#include "deep/deepscan.h"
#include "exfat/bootregion.h"
#include "exfat/entryset.h"
#include "support/exfatsave.h"
#include "output/filesaver.h"
#include "model/kovcore.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cerrno>
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

// Far above what a run on an input of max_len bytes needs when every
// directory is entered once; reaching it means the walk does not end.
constexpr long tickcap = 2000000;
constexpr std::size_t limitbytes = 3;

class FuzzCore : public KOVCore {
public:
    // Saves per input before the run goes on listing only: a small image can
    // name thousands of deleted files that each span the whole volume, and
    // writing them all would spend the time on the output disk.
    std::uint64_t savebudget = 0;
    std::uint64_t savecountbudget = 0;
    std::uint64_t planned = 0;
    std::uint64_t plannedcount = 0;
    void showwarning(const QString&) override {}
    void showinformation(const QString&) override { ++informations; }
    void addvolumeitem(const platform::VolumeSource&) override {}
    void setstatuslines(const QString&, const QString&, const QString&) override {}
    void setbuttontext(const QString&) override {}
    void savefound(const FILEPARM& file) override
    {
        claims.mark(file.dataruns);
        if (deeprun)
            deeprun->notesaved(file);
        KOVCore::savefound(file);
    }
    deep::DEEPSCAN* deeprun = nullptr;
    ClusterClaims claims;
    void filefound(const FILEPARM& file, const QString&) override
    {
        planned += file.size;
        if (planned > savebudget || ++plannedcount > savecountbudget)
            listonly = true;
    }
    int informations = 0;

    // Back to the state of a fresh core, without paying for a new minute
    // table (42 MB) on every input.
    void reset()
    {
        platform::closesource(hdisk);
        hdisk = nullptr;
        geometry = DISKGEOMETRY();
        dbrparm = DBRPARM();
        diskparm = DISKPARM();
        bitmap.clear();
        fat.reset();
        fatbits = 32;
        fatentries = 0;
        curfile.clear();
        rootdir.clear();
        curdir.clear();
        paused = true;
        collecting = saving = listonly = false;
        stats = RUNSTATS();
        if (minutetable)
            for (std::int32_t s = minuteindex.above(minutetable.get(), -1); s >= 0;
                 s = minuteindex.above(minutetable.get(), s))
                minutetable[s] = 0xFFFF;
        minuteindex.reset(minutecount);
        planned = 0;
        plannedcount = 0;
        informations = 0;
    }
};

FuzzCore* core = nullptr;
std::uint64_t defaultcachelimit = 0;
QString tempbase;

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

// Everything a run may leave: plain files directly in the output directory,
// one for each save that created its file (whole, or cut short by a failed
// read or write), so that no save replaced another.
void checkoutput(const QString& dir, const RUNSTATS& stats)
{
    const QFileInfoList items =
        QDir(dir).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo& item : items)
        if (item.isSymLink() || !item.isFile())
            fail("the run left something other than a plain file in the output directory");
    if (std::uint64_t(items.size()) != stats.saved + stats.readfailed + stats.writefailed)
        fail("the output directory does not hold one file per save");
}

// After the deep scan: besides those files only directories below lost/,
// holding plain files, one for each further save.
void checkdeepoutput(const QString& dir, std::uint64_t before, const RUNSTATS& stats)
{
    std::uint64_t files = 0;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo item(it.next());
        const QString relative = QDir(dir).relativeFilePath(item.filePath());
        if (item.isSymLink() || (!item.isFile() && !item.isDir()) ||
            (item.isDir() && relative != QLatin1String("lost") && !relative.startsWith(QLatin1String("lost/"))))
            fail("the deep scan left something other than plain files and folders below lost/");
        files += item.isFile() ? 1 : 0;
    }
    if (files - before != stats.saved + stats.readfailed + stats.writefailed)
        fail("the deep scan did not leave one file per save");
}

// An exFAT image: one recovery through the exfat engine, deep scan
// included, saving at most budget bytes.
void exfatrun(const QString& image, std::uint64_t budget)
{
    QTemporaryDir out(tempbase + QStringLiteral("/kovfuzz-XXXXXX"));
    if (!out.isValid())
        fail("cannot make the output directory");
    const testsupport::ExfatOutcome o = testsupport::exfatrecover(image, out.path(), true, budget);
    std::uint64_t files = 0;
    QDirIterator it(out.path(), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo item(it.next());
        if (item.isSymLink() || (!item.isFile() && !item.isDir()))
            fail("the exFAT run left something other than plain files and folders");
        files += item.isFile() ? 1 : 0;
    }
    const std::uint64_t written = std::uint64_t(std::count_if(o.paths.cbegin(), o.paths.cend(),
                                                               [](const QString& p) { return !p.isEmpty(); }));
    if (files != written)
        fail("the exFAT run did not leave one file per save");
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
    core = new FuzzCore;
    defaultcachelimit = core->fatcachelimit;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t inputsize)
{
    if (inputsize < limitbytes)
        return 0;
    const std::uint8_t* data = input + limitbytes;
    const std::size_t size = inputsize - limitbytes;
    core->fatcachelimit = input[0] == 0 ? defaultcachelimit : std::uint64_t(input[0] - 1) * 512;
    core->savecountbudget = input[1];
    core->listonly = input[1] == 0;
    core->savebudget = (std::uint64_t(input[2]) + 1) << 15;

    loadimage(data, size);
    platform::setimagefiles({QStringLiteral("/proc/self/fd/%1").arg(image.fd)});
    const bool isexfat = size >= 512 && KOVCore::classifydbr(data) == 4;
    std::vector<std::uint8_t> fixed;
    if (isexfat && input[0] & 3) {
        fixed.assign(data, data + size);
        fixexfat(fixed.data(), size, input[0]);
        loadimage(fixed.data(), size);
        data = fixed.data();
    }

    if (isexfat)
        exfatrun(QStringLiteral("/proc/self/fd/%1").arg(image.fd), core->savebudget);
    else if (core->getallvol() == 1) {
        core->initdisk(QStringLiteral("C:\\"));
        if (core->dbrparm.fatvolume()) {
            QTemporaryDir out(tempbase + QStringLiteral("/kovfuzz-XXXXXX"));
            if (!out.isValid())
                fail("cannot make the output directory");
            core->recoverdir = out.path() + QLatin1Char('/');
            core->paused = false;
            core->claims.reset(core->bitmap.size());
            deep::DEEPSCAN deeprun(*core, core->claims);
            core->deeprun = &deeprun;
            core->beginrun();
            long ticks = 0;
            while (core->runactive() && ticks < tickcap) {
                core->scantick();
                if (core->saving)
                    deeprun.notewalk(core->curdir);
                ++ticks;
            }
            core->deeprun = nullptr;
            if (core->runactive())
                fail("the run did not end within the tick cap");
            if (core->informations != 1)
                fail("the run ended without its end notice");
            checkoutput(out.path(), core->stats);
            const std::uint64_t before = core->stats.saved + core->stats.readfailed + core->stats.writefailed;
            core->stats = RUNSTATS();
            deeprun.scan([](std::uint64_t, std::uint64_t) {});
            FileSaver saver(*core, SAVEOPTIONS{}, [](const FILEPARM&, const SAVERECORD&) {}, &core->claims);
            deeprun.recover(
                [&](const deep::DEEPCANDIDATE& candidate) {
                    saver.save(candidate.file,
                               DIRSLOTS{candidate.slotbytes.get(), candidate.slotcount, candidate.slotindex},
                               candidate.subdir, candidate.keepshortname);
                },
                [](const deep::DEEPCANDIDATE&, const QString&) {});
            checkdeepoutput(out.path(), before, core->stats);
        }
    }
    if (!sameimage(data, size))
        fail("the source image changed");
    core->reset();
    return 0;
}
