// libFuzzer target: the input bytes are a volume image. One complete
// recovery runs on it through the core (listing, initialisation, both
// passes, saving into a fresh temporary directory, then the deep scan of
// the unused clusters). Besides the sanitizers it stops on a run that does
// not end, a change to the source, and anything the run leaves in the
// output directory other than plain files (and, from the deep scan,
// directories below lost/).
#include "deep/deepscan.h"
#include "output/filesaver.h"
#include "model/kovcore.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// Far above what a run on an input of max_len bytes needs when every
// directory is entered once; reaching it means the walk does not end.
constexpr long tickcap = 2000000;
// Saves per input before the run goes on listing only: a small image can
// name thousands of deleted files that each span the whole volume, and
// writing them all would spend the time on the output disk.
constexpr std::uint64_t savebudget = 4u << 20;
constexpr std::uint64_t savecountbudget = 32;

class FuzzCore : public KOVCore {
public:
    std::uint64_t planned = 0;
    std::uint64_t plannedcount = 0;
    void showwarning(const QString&) override {}
    void showinformation(const QString&) override { ++informations; }
    void addvolumeitem(const platform::VolumeSource&) override {}
    void setstatuslines(const QString&, const QString&, const QString&) override {}
    void setbuttontext(const QString&) override {}
    void savefound(const FILEPARM& file) override
    {
        if (deeprun)
            deeprun->claim(file.dataruns);
        KOVCore::savefound(file);
    }
    deep::DEEPSCAN* deeprun = nullptr;
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
        bitmap.reset();
        bitmapsize = 0;
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
QString tempbase;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "fuzz_recover: %s\n", what);
    std::abort();
}

// A sealed memory file holding the image: the run can read it through
// /proc/self/fd/N and nothing can write to it.
int imagefd(const std::uint8_t* data, std::size_t size)
{
    const int fd = memfd_create("kovimage", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0)
        fail("memfd_create failed");
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0)
            fail("cannot fill the image");
        done += std::size_t(n);
    }
    if (fcntl(fd, F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_GROW | F_SEAL_SHRINK | F_SEAL_SEAL) != 0)
        fail("cannot seal the image");
    return fd;
}

bool sameimage(int fd, const std::uint8_t* data, std::size_t size)
{
    std::vector<std::uint8_t> back(size + 1);
    const ssize_t n = pread(fd, back.data(), size + 1, 0);
    return n == ssize_t(size) && std::memcmp(back.data(), data, size) == 0;
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
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const int fd = imagefd(data, size);
    platform::setimagefiles({QStringLiteral("/proc/self/fd/%1").arg(fd)});

    if (core->getallvol() == 1) {
        core->initdisk(QStringLiteral("C:\\"));
        if (core->dbrparm.fstype == 1 || core->dbrparm.fstype == 2) {
            QTemporaryDir out(tempbase + QStringLiteral("/kovfuzz-XXXXXX"));
            if (!out.isValid())
                fail("cannot make the output directory");
            core->recoverdir = out.path() + QLatin1Char('/');
            core->paused = false;
            deep::DEEPSCAN deeprun(*core);
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
            FileSaver saver(*core, SAVEOPTIONS{}, [](const FILEPARM&, const SAVERECORD&) {});
            deeprun.recover([&](const deep::DEEPCANDIDATE& candidate) {
                saver.save(candidate.file,
                           DIRSLOTS{candidate.slotbytes.get(), candidate.slotcount, candidate.slotindex},
                           candidate.subdir, candidate.keepshortname);
            });
            checkdeepoutput(out.path(), before, core->stats);
        }
    }
    if (!sameimage(fd, data, size))
        fail("the source image changed");
    core->reset();
    close(fd);
    return 0;
}
