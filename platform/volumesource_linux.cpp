// Linux back end of the volume seam: image files and /sys/class/block devices,
// opened O_RDONLY, read with pread. A block device this process may not
// open is reached through udisks2 (udisks2_linux.cpp) instead.
#include "platform/volumesource.h"
#include "platform/imagewriter.h"
#include "platform/udisks2.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>

#include <fcntl.h>
#include <linux/aio_abi.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <span>

namespace platform {

namespace {

QStringList imagefiles;
bool blockdevicesenabled = true;
QMap<QChar, VolumeSource> lettertable;

struct FreeAligned {
    void operator()(unsigned char* p) const { std::free(p); }
};

// An open descriptor and the byte range of it that the handle reads.
struct OpenRange {
    int fd = -1;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    // The same device opened with O_DIRECT, or -1 (an image file, or a
    // device that refuses it): reads then go through fd.
    int directfd = -1;
    // directfd shares fd's open file (a descriptor a service handed over,
    // which may not be opened again by path): O_DIRECT is set on it only
    // while one of our reads is under way, since libblkid reads fd
    // unaligned in between.
    bool turned = false;
    std::shared_ptr<badsectors::SECTORMAP> map;
    std::unique_ptr<unsigned char, FreeAligned> bounce;  // piecebytes + one sector, page-aligned
    // batchpieces bounce-sized places for the pieces of one long read of
    // directfd, sent together; allocated on the first such read.
    std::unique_ptr<unsigned char, FreeAligned> batch;
    // For the sectors of a failed piece, read each on its own but all at
    // once (directfd only); 0 until needed, or when the system refuses.
    aio_context_t aio = 0;
    bool noaio = false;
    bool imaged = false;  // its reads go into the image too
    QString known;        // the canonical path its bad sectors are kept under once it closes
    READTHROUGH* through = nullptr;  // serves what it holds before the source is read
    bool throughbusy = false;         // reading the source around what it holds
};

// The most one read of the device asks for. A failed piece is read again
// one sector at a time, so its size bounds what one bad sector costs
// (256 reads of a sector); larger reads are pieces in a row.
constexpr std::uint64_t piecebytes = 128 << 10;
// The pieces of a long read in flight at once: the sweep's block.
constexpr std::uint64_t batchpieces = 32;
static_assert(piecebytes <= IMAGEWRITER::bufferbytes, "a piece is read into one of the image's buffers");
int retries = 1;

// Handle ids count up from 1 and are never reused.
std::map<std::intptr_t, OpenRange> openfds;
std::intptr_t nexthandle = 1;

const OpenRange* rangeof(volhandle h)
{
    auto it = openfds.find(reinterpret_cast<std::intptr_t>(h));
    return it == openfds.end() ? nullptr : &it->second;
}

int fdof(volhandle h)
{
    const OpenRange* r = rangeof(h);
    return r ? r->fd : -1;
}

// Bytes in an open file or block device; unknown (other kinds) is the
// largest value, leaving the end to the read itself.
std::uint64_t sizeoffd(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return 0;
    if (S_ISREG(st.st_mode))
        return std::uint64_t(st.st_size);
    std::uint64_t bytes = 0;
    if (S_ISBLK(st.st_mode) && ioctl(fd, BLKGETSIZE64, &bytes) == 0)
        return bytes;
    return UINT64_MAX;
}

// A read-only descriptor of path; -1 for a FIFO or a character device
// (a terminal, a pipe), whose open or reads could wait forever: they are
// opened without blocking and refused. Anything else opens as before (a
// directory then fails its first read).
int openvolumefile(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode) ||
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

QString presetpath;
std::vector<badsectors::BYTESPAN> presetspans;

// Sectors found unreadable through handles now closed, by canonical path
// (byte ranges of the path): a run opens its source more than once (the
// listing, the boot sector, the walk), and a later handle must not ask a
// failing card again for what an earlier one found bad. Kept with what the
// path was then, and forgotten by a new listing: it may be another medium.
struct KNOWNBAD {
    std::pair<std::uint64_t, std::uint64_t> identity;
    std::vector<badsectors::BYTESPAN> spans;
};
std::map<QString, KNOWNBAD> knownbad;

// What a descriptor reads: the device number of a block device, else the
// file's device and inode.
std::pair<std::uint64_t, std::uint64_t> identityof(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return {0, 0};
    if (S_ISBLK(st.st_mode))
        return {std::uint64_t(st.st_rdev), 0};
    return {std::uint64_t(st.st_dev), std::uint64_t(st.st_ino)};
}

// The image being made of one path: what it holds, why writing stopped,
// and the writer (none when no image is made). The writer's thread marks
// the sectors it has written and tells its failure: guard keeps map and
// fault for both threads.
struct IMAGESINK {
    QString path;
    std::mutex guard;
    std::unique_ptr<badsectors::SECTORMAP> map;
    QString fault;
    std::atomic<std::uint64_t> stops = 0;  // writes that ended imaging, in this process
    std::unique_ptr<IMAGEWRITER> writer;   // last: gone before what it marks
    bool writing() const { return writer && !writer->failed(); }
} sink;

void attachimage(volhandle h, const QString& path);


// Takes spans (byte ranges of the handle's path) as unreadable where they
// meet its range.
void takeunreadable(volhandle h, const std::vector<badsectors::BYTESPAN>& spans)
{
    std::uint64_t from = 0, bytes = 0;
    int fd = -1;
    if (!descriptor(h, &fd, &from, &bytes))
        return;
    const std::uint64_t stop = bytes > UINT64_MAX - from ? UINT64_MAX : from + bytes;
    for (const badsectors::BYTESPAN& s : spans) {
        const std::uint64_t first = std::max(s.offset, from);
        const std::uint64_t end = std::min(s.length > UINT64_MAX - s.offset ? UINT64_MAX : s.offset + s.length, stop);
        if (first < end)
            markunreadable(h, first - from, end - first);
    }
}

// h (opened on path) takes what earlier handles on it found bad, and
// keeps what it finds once closed.
void rememberbad(volhandle h, const QString& path)
{
    OpenRange* r = nullptr;
    if (auto it = openfds.find(reinterpret_cast<std::intptr_t>(h)); it != openfds.end())
        r = &it->second;
    if (!r)
        return;
    r->known = QFileInfo(path).canonicalFilePath();
    const auto found = knownbad.find(r->known);
    if (found != knownbad.end() && found->second.identity == identityof(r->fd))
        takeunreadable(h, found->second.spans);
}

volhandle openrange(const QString& path, const std::uint64_t* offset, const std::uint64_t* size)
{
    if (path.isEmpty())
        return invalidhandle();
    const int fd = openvolumefile(path);
    if (fd < 0)
        return invalidhandle();
    const std::uint64_t from = offset ? *offset : 0, bytes = offset ? *size : sizeoffd(fd);
    const volhandle h = adoptdescriptor(fd, from, bytes);
    if (!presetpath.isEmpty() && QFileInfo(path).canonicalFilePath() == presetpath)
        takeunreadable(h, presetspans);
    // After the image is attached: what this run found bad is bad in the
    // image's map too, where a ddrescue map's areas stay untried.
    attachimage(h, path);
    rememberbad(h, path);
    return h;
}

QString readsysfile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(f.readAll()).trimmed();
}

// A block device this process may not open, as opposed to one that is
// missing or has no medium.
bool deniedblockdevice(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st;
    return stat(name.constData(), &st) == 0 && S_ISBLK(st.st_mode) && access(name.constData(), R_OK) != 0 &&
           errno == EACCES;
}

bool hassubpartitions(const QDir& dev)
{
    const QString name = dev.dirName();
    for (const QString& entry : dev.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        if (entry.startsWith(name) && QFileInfo::exists(dev.filePath(entry + "/partition")))
            return true;
    return false;
}

// Block devices that can hold a FAT volume: partitions, and whole disks
// without partitions; never empty, ram, zram or unbacked loop devices.
QList<VolumeSource> blockdevices()
{
    QList<VolumeSource> out;
    QStringList denied;
    QDir sys("/sys/class/block");
    QStringList names = sys.entryList(QDir::Dirs | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& name : names) {
        if (name.startsWith("ram") || name.startsWith("zram"))
            continue;
        const QString base = sys.filePath(name);
        const QDir dev(QFileInfo(base).canonicalFilePath());
        const std::uint64_t sectors = readsysfile(base + "/size").toULongLong();
        if (sectors == 0)
            continue;
        // A partition of a loop device (loop0p1) has no loop/ directory of
        // its own: only whole loop devices are judged by their backing file.
        const bool ispartition = QFileInfo::exists(base + "/partition");
        if (name.startsWith("loop") && !ispartition && readsysfile(base + "/loop/backing_file").isEmpty())
            continue;
        if (!ispartition && hassubpartitions(dev))
            continue;
        VolumeSource source;
        source.path = "/dev/" + name;
        source.size = sectors * 512;
        source.whole = !ispartition;
        if (deniedblockdevice(source.path))
            denied.append(source.path);
        else
            out.append(source);
    }
    // udisks2 says which of the others hold FAT without our opening them.
    if (!denied.isEmpty())
        for (const VolumeSource& source : udisks2::fatvolumes())
            if (denied.contains(source.path))
                out.append(source);
    return out;
}

// Whether fd's open file takes O_DIRECT (set and cleared again at once).
bool turnsdirect(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || (flags & O_DIRECT) || ::fcntl(fd, F_SETFL, flags | O_DIRECT) != 0)
        return false;
    return ::fcntl(fd, F_SETFL, flags) == 0;
}

// O_DIRECT on a turned descriptor for the life of one read, as it was before after it.
class DIRECTTURN {
public:
    explicit DIRECTTURN(const OpenRange& r)
    {
        if (!r.turned)
            return;
        const int now = ::fcntl(r.directfd, F_GETFL);
        if (now >= 0 && !(now & O_DIRECT) && ::fcntl(r.directfd, F_SETFL, now | O_DIRECT) == 0) {
            fd = r.directfd;
            flags = now;
        }
    }
    ~DIRECTTURN()
    {
        if (fd >= 0)
            ::fcntl(fd, F_SETFL, flags);
    }
    DIRECTTURN(const DIRECTTURN&) = delete;
    DIRECTTURN& operator=(const DIRECTTURN&) = delete;

private:
    int fd = -1;
    int flags = 0;
};

}  // namespace

volhandle invalidhandle() { return reinterpret_cast<volhandle>(std::intptr_t(-1)); }

volhandle adoptdescriptor(int fd, std::uint64_t offset, std::uint64_t size)
{
    if (fd < 0)
        return invalidhandle();
    const std::intptr_t id = nexthandle++;
    OpenRange range;
    range.fd = fd;
    range.offset = offset;
    range.size = size;
    std::uint32_t sector = 512;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISBLK(st.st_mode)) {
        int logical = 0;
        if (ioctl(fd, BLKSSZGET, &logical) == 0 && logical > 0 && logical <= 65536)
            sector = std::uint32_t(logical);
        // A read of the block device through the page cache is widened to
        // pages, and a failed page asked for again: direct reads are not.
        if (offset % sector == 0) {
            range.directfd = ::open(QStringLiteral("/proc/self/fd/%1").arg(fd).toLatin1().constData(),
                                    O_RDONLY | O_CLOEXEC | O_DIRECT);
            if (range.directfd < 0 && (errno == EACCES || errno == EPERM) && turnsdirect(fd)) {
                range.directfd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
                range.turned = range.directfd >= 0;
            }
        }
    }
    range.map = std::make_shared<badsectors::SECTORMAP>(sector);
    openfds[id] = std::move(range);
    return reinterpret_cast<volhandle>(id);
}

bool cardsafterauthentication() { return udisks2::available(); }

void setimagefiles(const QStringList& paths) { imagefiles = paths; }

QStringList namedimagefiles() { return imagefiles; }

void setblockdevicesenabled(bool enabled) { blockdevicesenabled = enabled; }

QList<VolumeSource> rawsources()
{
    knownbad.clear();
    QList<VolumeSource> all;
    for (const QString& path : imagefiles) {
        VolumeSource source;
        source.path = path;
        source.size = std::uint64_t(QFileInfo(path).size());
        // A block device named as an image has no file size: ask it.
        const int fd = openvolumefile(path);
        if (fd >= 0) {
            if (const std::uint64_t bytes = sizeoffd(fd); bytes != UINT64_MAX)
                source.size = bytes;
            ::close(fd);
        }
        if (deniedblockdevice(path))
            udisks2::lookup(path, &source);
        all.append(source);
    }
    if (blockdevicesenabled)
        all.append(blockdevices());
    return all;
}

std::uint64_t pathbytes(const QString& path)
{
    const int fd = openvolumefile(path);
    if (fd >= 0) {
        const std::uint64_t bytes = sizeoffd(fd);
        ::close(fd);
        return bytes;
    }
    VolumeSource known;
    if (deniedblockdevice(path) && udisks2::lookup(path, &known))
        return known.size;
    return UINT64_MAX;
}

QList<VolumeSource> volumesources() { return assignletters(rawsources()); }

QList<VolumeSource> assignletters(const QList<VolumeSource>& sources)
{
    lettertable.clear();
    QList<VolumeSource> out;
    char letter = 'C';
    for (VolumeSource s : sources) {
        if (letter > 'Z')
            break;  // no drive letter left
        s.root = QString(QChar(letter)) + ":\\";
        lettertable.insert(QChar(letter), s);
        out.append(s);
        ++letter;
    }
    return out;
}

VolumeSource sourceforletter(QChar letter)
{
    return lettertable.value(letter.toUpper());
}

volhandle openpath(const QString& path) { return openrange(path, nullptr, nullptr); }

volhandle opensource(const VolumeSource& source)
{
    if (!source.udisksobject.isEmpty()) {
        const volhandle h = adoptdescriptor(udisks2::openforbackup(source.udisksobject), 0, source.size);
        attachimage(h, source.path);
        rememberbad(h, source.path);
        return h;
    }
    // A whole source reads to wherever the file or device ends now.
    if (source.offset == 0 && source.partition == 0)
        return openpath(source.path);
    return openrange(source.path, &source.offset, &source.size);
}

volhandle opensource(QChar letter)
{
    return opensource(sourceforletter(letter));
}

void closesource(volhandle h)
{
    auto it = openfds.find(reinterpret_cast<std::intptr_t>(h));
    if (it == openfds.end())
        return;
    if (const OpenRange& r = it->second; !r.known.isEmpty() && !r.map->bad().empty()) {
        KNOWNBAD& kept = knownbad[r.known];
        if (const auto now = identityof(r.fd); kept.identity != now)
            kept = {now, {}};
        const std::uint64_t sector = r.map->sectorbytes();
        std::vector<badsectors::BYTESPAN> all = std::move(kept.spans);
        kept.spans.clear();
        for (const badsectors::SECTORSPAN& span : r.map->bad().spans())
            all.push_back({r.offset + span.first * sector, span.count * sector});
        // Sorted and merged once: a set of many spans would be quadratic span by span.
        std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.offset < b.offset; });
        for (const badsectors::BYTESPAN& span : all)
            badsectors::appendspan(&kept.spans, span);
    }
    ::close(it->second.fd);
    if (it->second.directfd >= 0)
        ::close(it->second.directfd);
    if (it->second.aio != 0)
        syscall(SYS_io_destroy, it->second.aio);
    openfds.erase(it);
}

bool descriptor(volhandle h, int* fd, std::uint64_t* offset, std::uint64_t* size)
{
    const OpenRange* r = rangeof(h);
    if (!r)
        return false;
    *fd = r->fd;
    *offset = r->offset;
    *size = r->size;
    return true;
}

bool sectorsize(volhandle h, std::uint32_t* bytes)
{
    const int fd = fdof(h);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0)
        return false;
    if (S_ISBLK(st.st_mode)) {
        int size = 0;
        if (ioctl(fd, BLKSSZGET, &size) != 0 || size <= 0)
            return false;
        *bytes = std::uint32_t(size);
        return true;
    }
    *bytes = 512;
    return true;
}

namespace {

OpenRange* openrangeof(volhandle h)
{
    auto it = openfds.find(reinterpret_cast<std::intptr_t>(h));
    return it == openfds.end() ? nullptr : &it->second;
}

enum class READ { whole, failed, ended };

// Reads sectors first .. first + count - 1 of r into to (r's bounce buffer,
// or a sector's place in it) in one request. ended: the source held fewer
// bytes than asked without an error, which is no bad sector.
READ readsectors(OpenRange* r, std::uint64_t first, std::uint64_t count, std::uint64_t want, unsigned char* to,
                 std::uint64_t* bytes = nullptr)
{
    const std::uint64_t sector = r->map->sectorbytes();
    const int fd = r->directfd >= 0 ? r->directfd : r->fd;
    ssize_t got;
    do {
        got = ::pread(fd, to, count * sector, off_t(r->offset + first * sector));
    } while (got < 0 && errno == EINTR);
    if (got < 0)
        return READ::failed;
    if (bytes)
        *bytes = std::uint64_t(got);
    // Some bytes, then fewer than asked inside the source: the read stopped
    // at one that failed (a buffered read gives what came before a failed
    // page). Nothing at all is the source's end.
    if (std::uint64_t(got) >= want)
        return READ::whole;
    return got > 0 ? READ::failed : READ::ended;
}

// One read of the direct descriptor sent with others: bytes at offset of
// the device into to (aligned), and what it gave (bytes, or -1 for an
// error; untried when it was never sent).
struct AIOREAD {
    static constexpr std::int64_t untried = -2;
    std::uint64_t offset = 0;
    std::uint64_t bytes = 0;
    unsigned char* to = nullptr;
    std::int64_t got = untried;
};

// The most reads in flight at once on one handle's context.
constexpr std::uint64_t aiodepth = 128;

// Sends reads (at most aiodepth) to r's direct descriptor together and
// waits for them all. Where the system refuses (no AIO, a failed submit),
// the reads not sent stay untried, and AIO is not asked again on r.
void aioreads(OpenRange* r, std::span<AIOREAD> reads)
{
    if (reads.empty() || reads.size() > aiodepth || r->directfd < 0 || r->noaio)
        return;
    if (r->aio == 0 && syscall(SYS_io_setup, unsigned(aiodepth), &r->aio) != 0) {
        r->aio = 0;
        r->noaio = true;
        return;
    }
    const auto stopaio = [r] {
        syscall(SYS_io_destroy, r->aio);  // waits for what is still in flight
        r->aio = 0;
        r->noaio = true;
    };
    std::vector<iocb> blocks(reads.size());
    std::vector<iocb*> queue(reads.size());
    for (std::size_t k = 0; k < reads.size(); ++k) {
        blocks[k] = iocb{};
        blocks[k].aio_data = k;
        blocks[k].aio_fildes = std::uint32_t(r->directfd);
        blocks[k].aio_lio_opcode = IOCB_CMD_PREAD;
        blocks[k].aio_buf = std::uint64_t(reinterpret_cast<std::uintptr_t>(reads[k].to));
        blocks[k].aio_nbytes = reads[k].bytes;
        blocks[k].aio_offset = std::int64_t(reads[k].offset);
        queue[k] = &blocks[k];
    }
    std::size_t sent = 0;
    while (sent < reads.size()) {
        const long put = syscall(SYS_io_submit, r->aio, long(reads.size() - sent), queue.data() + sent);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            break;
        sent += std::size_t(put);
    }
    std::vector<io_event> events(reads.size());
    for (std::size_t back = 0; back < sent;) {
        const long came = syscall(SYS_io_getevents, r->aio, 1L, long(sent - back), events.data(), nullptr);
        if (came < 0 && errno == EINTR)
            continue;
        if (came <= 0) {
            // What did not come back stays untried: read again, alone.
            stopaio();
            return;
        }
        for (const io_event& e : std::span(events.data(), std::size_t(came)))
            reads[e.data].got = e.res < 0 ? -1 : e.res;
        back += std::size_t(came);
    }
    // Refused: the rest go one after the other, now and from now on.
    if (sent < reads.size())
        stopaio();
}

// What each sector of a failed piece gave: its bytes, or -1 for an error.
// Reads sectors first .. first + count - 1 of r one request each, sector k
// into the bounce buffer at k sectors. One after the other, each request
// waits for the device and back; on the direct descriptor they go out
// together instead, every other sector first and then those between, so
// that no two requests in flight touch: the block layer would merge them
// into one, which a bad sector fails whole.
std::vector<std::int64_t> readeach(OpenRange* r, std::uint64_t first, std::uint64_t count)
{
    const std::uint64_t sector = r->map->sectorbytes();
    std::vector<std::int64_t> got(count, AIOREAD::untried);
    if (count > 1) {
        for (std::uint64_t half = 0; half < 2; ++half) {
            std::vector<AIOREAD> reads;
            for (std::uint64_t k = half; k < count; k += 2)
                reads.push_back({r->offset + (first + k) * sector, sector, r->bounce.get() + k * sector});
            for (std::size_t at = 0; at < reads.size(); at += aiodepth)
                aioreads(r, std::span(reads).subspan(at, std::min<std::size_t>(aiodepth, reads.size() - at)));
            for (std::size_t n = 0; n < reads.size(); ++n)
                got[half + 2 * n] = reads[n].got;
        }
    }
    for (std::uint64_t k = 0; k < count; ++k) {
        if (got[k] != AIOREAD::untried)
            continue;
        std::uint64_t bytes = 0;
        const READ one = readsectors(r, first + k, 1, 0, r->bounce.get() + k * sector, &bytes);
        got[k] = one == READ::failed ? -1 : std::int64_t(bytes);
    }
    return got;
}

// The image's sectors that bytes at .. at + len - 1 of its path cover
// whole (inner) or touch (outer). Under sink.guard.
badsectors::SECTORSPAN imagesectors(std::uint64_t at, std::uint64_t len, bool inner)
{
    const std::uint64_t s = sink.map->sectorbytes();
    const std::uint64_t first = inner ? (at + s - 1) / s : at / s;
    const std::uint64_t end = inner ? (at + len) / s : (at + len + s - 1) / s;
    return {first, end > first ? end - first : 0};
}

// Queues the len bytes just read for sector first (at from) for the image;
// the writer marks them in its map once written, and the first write that
// fails stops imaging.
void imageread(const OpenRange* r, std::uint64_t first, std::uint64_t len, const unsigned char* from)
{
    if (!r->imaged || !sink.writer || len == 0)
        return;
    sink.writer->put(r->offset + first * r->map->sectorbytes(), from, len);
}

// Sectors of r found (or taken as) unreadable: in its map, and in the
// image's as long as it is made.
void notebad(OpenRange* r, badsectors::SECTORSPAN span)
{
    r->map->markbad(span);
    if (r->imaged && sink.writing()) {
        const std::uint64_t sector = r->map->sectorbytes();
        const std::lock_guard<std::mutex> held(sink.guard);
        sink.map->markbad(imagesectors(r->offset + span.first * sector, span.count * sector, false));
    }
}

// A range of whole sectors of a source read without O_DIRECT (an image
// file), none known bad, read straight into buf at once: no bounce, no
// pieces. The sectors it gave before a read failed or the source ended;
// those are noted read.
std::uint64_t readstraight(OpenRange* r, std::uint64_t pos, std::uint64_t len, unsigned char* buf)
{
    std::uint64_t done = 0;
    while (done < len) {
        const ssize_t got = ::pread(r->fd, buf + done, len - done, off_t(r->offset + pos + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        done += std::uint64_t(got);
    }
    const std::uint64_t sector = r->map->sectorbytes();
    const std::uint64_t whole = done / sector;
    r->map->markread({pos / sector, whole});
    imageread(r, pos / sector, whole * sector, buf);
    return whole;
}

void attachimage(volhandle h, const QString& path)
{
    OpenRange* r = openrangeof(h);
    if (!r || !sink.writing() || path.isEmpty() || QFileInfo(path).canonicalFilePath() != sink.path)
        return;
    r->imaged = true;
    // The map counts in the device's sectors, once it knows them: once
    // nothing is marked, nor queued to be.
    sink.writer->drain();
    const std::lock_guard<std::mutex> held(sink.guard);
    if (sink.map->read().empty() && sink.map->bad().empty())
        sink.map = std::make_unique<badsectors::SECTORMAP>(r->map->sectorbytes());
}

}  // namespace

void setreadretries(int n) { retries = std::clamp(n, 0, 16); }

int readretries() { return retries; }

const badsectors::SECTORMAP* sectormap(volhandle h)
{
    const OpenRange* r = rangeof(h);
    return r ? r->map.get() : nullptr;
}

void presetunreadable(const QString& path, const std::vector<badsectors::BYTESPAN>& spans)
{
    presetpath = path.isEmpty() ? QString() : QFileInfo(path).canonicalFilePath();
    presetspans = spans;
}

void markunreadable(volhandle h, std::uint64_t pos, std::uint64_t len)
{
    OpenRange* r = openrangeof(h);
    if (!r || len == 0)
        return;
    const std::uint64_t sector = r->map->sectorbytes();
    notebad(r, {pos / sector, (pos + len + sector - 1) / sector - pos / sector});
}

void imagereads(const QString& path, int fd)
{
    // Every write queued is made, or given up, before fd is the caller's again.
    sink.writer.reset();
    const bool start = !path.isEmpty() && fd >= 0;
    sink.path = start ? QFileInfo(path).canonicalFilePath() : QString();
    if (!start)
        return;
    sink.map = std::make_unique<badsectors::SECTORMAP>();
    sink.fault.clear();
    sink.writer = std::make_unique<IMAGEWRITER>(
        fd,
        [](std::uint64_t at, std::uint64_t len) {
            const std::lock_guard<std::mutex> held(sink.guard);
            sink.map->markread(imagesectors(at, len, true));
        },
        [](int error) {
            const std::lock_guard<std::mutex> held(sink.guard);
            sink.fault = QString::fromLocal8Bit(std::strerror(error));
            ++sink.stops;
        });
}

void imagewait()
{
    if (sink.writer)
        sink.writer->drain();
}

QString imagefault()
{
    const std::lock_guard<std::mutex> held(sink.guard);
    return sink.fault;
}

std::uint64_t imagestops() { return sink.stops; }

bool makingimage() { return sink.writer != nullptr; }

const badsectors::SECTORMAP* imagemap()
{
    imagewait();
    return sink.map.get();
}

void readthrough(volhandle h, READTHROUGH* through)
{
    if (OpenRange* r = openrangeof(h))
        r->through = through;
}

namespace {

// readsome through r->through: what it holds from there, the gaps from the
// source as always.
bool readaround(volhandle h, OpenRange* r, std::uint64_t pos, std::uint32_t len, unsigned char* buf,
                std::vector<badsectors::BYTESPAN>* missing)
{
    for (std::uint64_t done = 0; done < len;) {
        std::uint64_t unheld = 0;
        const std::uint64_t got = r->through->serve(pos + done, len - done, buf + done, &unheld);
        if (got != 0) {
            done += std::min<std::uint64_t>(got, len - done);
            continue;
        }
        unheld = std::clamp<std::uint64_t>(unheld, 1, len - done);
        std::vector<badsectors::BYTESPAN> gap;
        r->throughbusy = true;
        const bool ok = readsome(h, pos + done, std::uint32_t(unheld), buf + done, missing ? &gap : nullptr);
        r->throughbusy = false;
        if (!ok)
            return false;
        for (const badsectors::BYTESPAN& m : gap)
            badsectors::addspan(missing, {m.offset + done, m.length});
        done += unheld;
    }
    return true;
}

}  // namespace

bool readsome(volhandle h, std::uint64_t pos, std::uint32_t len, unsigned char* buf,
              std::vector<badsectors::BYTESPAN>* missing)
{
    OpenRange* r = openrangeof(h);
    if (!r || pos > r->size || len > r->size - pos)
        return false;
    if (r->offset > std::uint64_t(INT64_MAX) || pos > std::uint64_t(INT64_MAX) - r->offset)
        return false;
    if (len == 0)
        return true;
    if (r->through && !r->throughbusy)
        return readaround(h, r, pos, len, buf, missing);
    const DIRECTTURN turn(*r);
    badsectors::SECTORMAP& map = *r->map;
    const std::uint64_t sector = map.sectorbytes();
    // Where a straight read stopped, the careful way goes on: which sectors
    // failed, or whether the source ended.
    std::uint64_t straight = 0;
    if (r->directfd < 0 && pos % sector == 0 && len % sector == 0 &&
        map.bad().firstmet({pos / sector, len / sector}).count == 0) {
        straight = readstraight(r, pos, len, buf);
        if (straight * sector == len)
            return true;
    }
    if (!r->bounce) {
        void* p = nullptr;
        if (posix_memalign(&p, 4096, piecebytes + sector) != 0)
            return false;
        r->bounce.reset(static_cast<unsigned char*>(p));
    }
    const std::uint64_t end = pos + len;
    const std::uint64_t last = (end + sector - 1) / sector;  // one past the last sector
    const std::uint64_t perpiece = std::max<std::uint64_t>(1, piecebytes / sector);
    // Copies sectors first .. first + count - 1 from where they were read
    // (source, sector first there), or zeros for them, into buf where
    // they meet the range.
    const auto deliver = [&](std::uint64_t first, std::uint64_t count, const unsigned char* source) {
        const std::uint64_t from = std::max(pos, first * sector);
        const std::uint64_t to = std::min(end, (first + count) * sector);
        if (from >= to)
            return;
        if (source) {
            std::memcpy(buf + (from - pos), source + (from - first * sector), to - from);
        } else {
            std::memset(buf + (from - pos), 0, to - from);
            if (missing)
                badsectors::addspan(missing, {from - pos, to - from});
        }
    };
    // The bytes a read must give: up to the range's end.
    const auto wanted = [&](std::uint64_t first, std::uint64_t count) {
        return std::min((first + count) * sector, end) - first * sector;
    };
    // A run of sectors none of which is known bad, read whole into from
    // (bytes of it given): into the map, the image and buf.
    const auto tookwhole = [&](std::uint64_t first, std::uint64_t count, std::uint64_t bytes,
                               const unsigned char* from, IMAGEWRITER::BUFFER* lent = nullptr) {
        map.markread({first, count});
        deliver(first, count, from);
        const std::uint64_t imaged = std::min(bytes, count * sector);
        if (lent && *lent)
            sink.writer->give(r->offset + first * sector, std::move(*lent), imaged);
        else
            imageread(r, first, imaged, from);
    };
    // A run whose read as one failed: each sector on its own.
    const auto readalone = [&](std::uint64_t first, std::uint64_t count) {
        if (retries == 0) {
            notebad(r, {first, count});
            deliver(first, count, nullptr);
            return true;
        }
        const std::vector<std::int64_t> alone = readeach(r, first, count);
        for (std::uint64_t s = first; s < first + count; ++s) {
            unsigned char* const to = r->bounce.get() + (s - first) * sector;
            const std::int64_t gave = alone[s - first];
            std::uint64_t bytes = gave < 0 ? 0 : std::uint64_t(gave);
            READ one = gave < 0 ? READ::failed : bytes >= wanted(s, 1) ? READ::whole : READ::ended;
            for (int attempt = 1; attempt < retries && one == READ::failed; ++attempt)
                one = readsectors(r, s, 1, wanted(s, 1), to, &bytes);
            if (one == READ::ended)
                return false;
            if (one == READ::whole) {
                map.markread({s, 1});
                imageread(r, s, std::min<std::uint64_t>(bytes, sector), to);
            } else {
                notebad(r, {s, 1});
            }
            deliver(s, 1, one == READ::whole ? to : nullptr);
        }
        return true;
    };
    // One run of sectors none of which is known bad.
    const auto readrun = [&](std::uint64_t first, std::uint64_t count) {
        std::uint64_t bytes = 0;
        const READ got = readsectors(r, first, count, wanted(first, count), r->bounce.get(), &bytes);
        if (got == READ::whole) {
            tookwhole(first, count, bytes, r->bounce.get());
            return true;
        }
        return got == READ::failed && readalone(first, count);
    };
    // The next piece from at: at most perpiece sectors, cut where a known
    // bad stretch begins, or that stretch itself (bad), never read again.
    struct RUN {
        std::uint64_t first, count;
        bool bad;
    };
    const auto nextrun = [&](std::uint64_t at) {
        const std::uint64_t stop = std::min(last, at + perpiece);
        const badsectors::SECTORSPAN known = map.bad().firstmet({at, stop - at});
        if (known.count != 0 && known.first <= at)
            return RUN{at, std::min(stop, known.first + known.count) - at, true};
        return RUN{at, (known.count != 0 ? known.first : stop) - at, false};
    };
    // On a device, the pieces of a long read go out together, as the
    // kernel's read-ahead would send them: one after the other, each waits
    // for the device and back, and a card reader idles between them.
    const bool together = r->directfd >= 0 && !r->noaio && last - pos / sector > perpiece;
    if (together && !r->batch) {
        void* p = nullptr;
        if (posix_memalign(&p, 4096, batchpieces * (piecebytes + sector)) == 0)
            r->batch.reset(static_cast<unsigned char*>(p));
    }
    for (std::uint64_t at = pos / sector + straight; at < last;) {
        if (together && r->batch && !r->noaio) {
            std::vector<RUN> runs;
            std::vector<AIOREAD> reads;
            // While an image is made, each piece is read into a buffer of
            // the image's writer, which then writes it as it is.
            std::vector<IMAGEWRITER::BUFFER> lent;
            const bool lend = r->imaged && sink.writer;
            for (std::uint64_t next = at; next < last && runs.size() < batchpieces;) {
                const RUN run = nextrun(next);
                runs.push_back(run);
                if (!run.bad) {
                    unsigned char* to = r->batch.get() + reads.size() * (piecebytes + sector);
                    if (lend) {
                        lent.push_back(sink.writer->lend());
                        if (lent.back())
                            to = lent.back().get();
                    }
                    reads.push_back({r->offset + run.first * sector, run.count * sector, to});
                }
                next = run.first + run.count;
            }
            const auto giveback = [&] {
                for (IMAGEWRITER::BUFFER& b : lent)
                    if (b)
                        sink.writer->takeback(std::move(b));
            };
            // Every other piece first, then those between: two requests in
            // flight that touch would be merged into one, which a bad
            // sector fails whole.
            std::vector<AIOREAD> half[2];
            for (std::size_t n = 0; n < reads.size(); ++n)
                half[n % 2].push_back(reads[n]);
            for (std::size_t n = 0; n < 2; ++n)
                aioreads(r, half[n]);
            for (std::size_t n = 0; n < reads.size(); ++n)
                reads[n] = half[n % 2][n / 2];
            std::size_t k = 0;
            for (const RUN& run : runs) {
                if (run.bad) {
                    deliver(run.first, run.count, nullptr);
                    continue;
                }
                IMAGEWRITER::BUFFER* const own = lend ? &lent[k] : nullptr;
                const AIOREAD& read = reads[k++];
                const std::uint64_t want = wanted(run.first, run.count);
                if (read.got >= 0 && std::uint64_t(read.got) >= want) {
                    tookwhole(run.first, run.count, std::uint64_t(read.got), read.to, own);
                } else if (read.got == 0) {
                    giveback();
                    return false;  // the source ended; a short read is read sector by sector below
                } else if (!(read.got == AIOREAD::untried ? readrun(run.first, run.count)
                                                          : readalone(run.first, run.count))) {
                    giveback();
                    return false;
                }
            }
            giveback();
            at = runs.back().first + runs.back().count;
            continue;
        }
        const RUN run = nextrun(at);
        if (run.bad)
            deliver(run.first, run.count, nullptr);
        else if (!readrun(run.first, run.count))
            return false;
        at = run.first + run.count;
    }
    return true;
}

bool readat(volhandle h, std::uint64_t pos, std::uint32_t len, unsigned char* buf)
{
    const OpenRange* r = rangeof(h);
    if (!r || pos > r->size || len > r->size - pos)
        return false;
    const std::uint64_t sector = r->map->sectorbytes();
    if (len != 0 && r->map->bad().firstmet({pos / sector, (pos + len - 1) / sector - pos / sector + 1}).count != 0)
        return false;
    std::vector<badsectors::BYTESPAN> missing;
    return readsome(h, pos, len, buf, &missing) && missing.empty();
}

namespace {

// The device number of the file system that holds path, or of its nearest
// existing ancestor.
bool fsdevice(const QString& path, dev_t* dev)
{
    QFileInfo info(QDir::cleanPath(QDir(path).absolutePath()));
    for (;;) {
        struct stat st;
        if (stat(QFile::encodeName(info.absoluteFilePath()).constData(), &st) == 0) {
            *dev = st.st_dev;
            return true;
        }
        const QString up = info.absolutePath();
        if (up == info.absoluteFilePath())
            return false;
        info = QFileInfo(up);
    }
}

bool devnumber(const QString& sysdir, dev_t* dev)
{
    const QStringList majmin = readsysfile(sysdir + "/dev").split(':');
    if (majmin.size() != 2)
        return false;
    *dev = makedev(majmin[0].toUInt(), majmin[1].toUInt());
    return true;
}

// The device numbers of a block device's partitions (its sysfs directory
// holds one subdirectory with a "partition" file per partition).
void appendpartitions(const QString& sysdir, QList<dev_t>* out)
{
    const QDir dev(sysdir);
    for (const QString& entry : dev.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        dev_t number;
        if (QFileInfo::exists(dev.filePath(entry + "/partition")) &&
            devnumber(dev.filePath(entry), &number))
            out->append(number);
    }
}

// Block devices whose loop backing file is the image at path, and their
// partitions.
QList<dev_t> loopdevicesof(const QString& image)
{
    QList<dev_t> out;
    const QString canon = QFileInfo(image).canonicalFilePath();
    QDir sys("/sys/class/block");
    for (const QString& name : sys.entryList(QDir::Dirs | QDir::System | QDir::NoDotAndDotDot)) {
        if (!name.startsWith("loop"))
            continue;
        const QString backing = readsysfile(sys.filePath(name) + "/loop/backing_file");
        if (backing.isEmpty() || QFileInfo(backing).canonicalFilePath() != canon)
            continue;
        dev_t number;
        if (devnumber(sys.filePath(name), &number))
            out.append(number);
        appendpartitions(QFileInfo(sys.filePath(name)).canonicalFilePath(), &out);
    }
    return out;
}

}  // namespace

QString sourceproblem(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st;
    if (::stat(name.constData(), &st) != 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    if (S_ISDIR(st.st_mode))
        return QString::fromLocal8Bit(std::strerror(EISDIR));
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode))
        return QStringLiteral("not an image file or block device");
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return QString::fromLocal8Bit(std::strerror(errno));
    const std::uint64_t bytes = sizeoffd(fd);
    ::close(fd);
    if (bytes == 0)
        return S_ISREG(st.st_mode) ? QStringLiteral("empty file") : QStringLiteral("no medium");
    if (bytes < 512)
        return QStringLiteral("only %1 bytes, too few for a boot sector").arg(bytes);
    return {};
}

QString deniedreason() { return QString::fromLocal8Bit(std::strerror(EACCES)); }

bool directoryonsource(const QString& dir, QChar letter) { return directoryonpath(dir, sourceforletter(letter).path); }

bool directoryonpath(const QString& dir, const QString& sourcepath)
{
    dev_t target;
    if (sourcepath.isEmpty() || !fsdevice(dir, &target))
        return false;
    struct stat st;
    if (stat(QFile::encodeName(sourcepath).constData(), &st) != 0)
        return false;
    if (S_ISBLK(st.st_mode)) {
        if (st.st_rdev == target)
            return true;
        QList<dev_t> parts;
        appendpartitions(QStringLiteral("/sys/dev/block/%1:%2").arg(major(st.st_rdev)).arg(minor(st.st_rdev)),
                         &parts);
        return parts.contains(target);
    }
    for (dev_t loop : loopdevicesof(sourcepath))
        if (loop == target)
            return true;
    return false;
}

}  // namespace platform

namespace platform {

bool forbiddennamebyte(unsigned char byte) { return byte == '/' || byte == 0; }

bool namefits(const QString& name, int reserve) { return QFile::encodeName(name).size() + reserve <= NAME_MAX; }

PathState pathstate(const QString& path)
{
    struct stat st;
    if (lstat(QFile::encodeName(path).constData(), &st) == 0)
        return PathState::taken;
    return errno == ENOENT ? PathState::free : PathState::unknown;
}

bool setmodificationtime(const QString& path, std::int64_t utcseconds)
{
    const timespec times[2] = {{0, UTIME_OMIT}, {time_t(utcseconds), 0}};
    return utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

}  // namespace platform
