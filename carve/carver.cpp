#include "carve/carver.h"

#include "carve/exiftime.h"
#include "carve/jpegfragments.h"
#include "carve/readcap.h"
#include "carve/signatures.h"
#include "carve/steppedreads.h"
#include "model/kovcore.h"
#include "output/clusterclaims.h"
#include "platform/volumesource.h"

#include <QtGlobal>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

namespace carve {

namespace {

constexpr std::uint64_t readbytes = 4 << 20;
// Clusters in use a step passes over before it returns.
constexpr std::uint64_t skipperstep = 1u << 20;
// The window a start is first judged over, in clusters: junk fails within
// it, and what needs more says so (want).
constexpr std::uint64_t firstclusters = 4;
// The window a start that wants more is judged over next; beyond it the
// window grows fourfold, or to what the structure names.
constexpr std::uint64_t secondwindow = 16u << 20;
// The bytes failed starts may have been read over past their first
// clusters, as a multiple of the bytes passed so far and a floor: a file's
// structure is read once for its end and once for its check, a failed
// start over the windows it needed. A start whose next window would take
// more is not read on (cut), so that starts at every cluster, each naming
// a structure the size of the cap, cost a bounded multiple of the volume;
// the allowance grows again as the window moves on, so that the files
// after such starts are still carved.
constexpr std::uint64_t failmultiple = 4;
constexpr std::uint64_t failfloor = 1ull << 30;
// A file read on past the window through its headers: what one header read
// is charged at least (a real video's top-level boxes or RIFF parts are a
// handful, a fragmented one's a few thousand: carve/readcap.h).
constexpr std::uint64_t headercost = 4096;

}  // namespace

CARVECOUNTS& CARVECOUNTS::operator+=(const CARVECOUNTS& more)
{
    scanned += more.scanned;
    starts += more.starts;
    carved += more.carved;
    plausible += more.plausible;
    zipleft += more.zipleft;
    failed += more.failed;
    toolarge += more.toolarge;
    duplicates += more.duplicates;
    cut += more.cut;
    overread += more.overread;
    return *this;
}

CARVEAREA fatarea(const KOVCore& core)
{
    CARVEAREA a;
    const DISKPARM& disk = core.diskparm;
    a.disk = disk;
    if (disk.clustersize() == 0)
        return a;
    a.clusters = core.readableclusters();
    a.taken = [&core](std::uint64_t lcn) { return core.inuse(lcn) != 0; };
    return a;
}

CARVER::CARVER(KOVCore& owner, CARVEAREA carved, const ClusterClaims& held, SAVEDFILES& files)
    : core(owner), area(std::move(carved)), claims(held), saved(files)
{
    clustersize = area.disk.clustersize();
    clustercount = clustersize == 0 ? 0 : area.clusters;
    bool ok = false;
    const std::uint64_t lower = qEnvironmentVariable("KOV_CARVE_WINDOW").toULongLong(&ok);
    if (ok && lower != 0)
        cap = std::clamp<std::uint64_t>(lower, readbytes, maxwindow);
}

CARVER::~CARVER() = default;

bool CARVER::eligible(std::uint64_t lcn) const
{
    return lcn < clustercount && !claims.firm(lcn) && !(area.taken && area.taken(lcn));
}

bool CARVER::begin()
{
    if (reader)
        reader->abandon();
    streaming.reset();
    readfromcard = 0;
    at = 0;
    have = 0;
    offset = 0;
    candidate = verify::family::none;
    tally = CARVECOUNTS();
    failspent = 0;
    pdfunmarked = 0;
    retryend = 0;
    retrygot = 0;
    lastfailed = false;
    runend = 0;
    return clustercount != 0;
}

bool CARVER::room(std::uint64_t bytes)
{
    if (offset + bytes <= capacity)
        return true;
    if (bytes <= capacity) {
        std::memmove(buffer.get(), buffer.get() + offset, std::size_t(have));
        offset = 0;
        return true;
    }
    const std::uint64_t grown = std::max(bytes, std::min(2 * capacity, cap + readbytes));
    std::unique_ptr<unsigned char[]> larger(new (std::nothrow) unsigned char[std::size_t(grown)]);
    if (!larger)
        return false;
    if (have != 0)
        std::memcpy(larger.get(), buffer.get() + offset, std::size_t(have));
    buffer = std::move(larger);
    capacity = grown;
    offset = 0;
    return true;
}

std::uint64_t CARVER::load(std::uint64_t bytes)
{
    const std::uint64_t first = at + have / clustersize;
    const std::uint64_t most = std::max<std::uint64_t>(1, bytes / clustersize);
    std::uint64_t n = 0;
    while (n < most && first + n != stuck && eligible(first + n))
        ++n;
    if (n == 0 || !room(have + n * clustersize)) {
        stuck = first;
        return 0;
    }
    const DISKPARM& disk = area.disk;
    unsigned char* const to = buffer.get() + offset + have;
    const bool retrying = first < retryend;
    if (retrying)
        n = std::min(n, retryend - first);
    std::vector<badsectors::BYTESPAN> missing;
    const bool inside =
        platform::readsome(disk.hdisk, disk.clusterposition(first), std::uint32_t(n * clustersize), to, &missing);
    readfromcard += n * clustersize;
    if (inside && missing.empty()) {
        lastfailed = false;
        if (retrying)
            retrygot += n;
        have += n * clustersize;
        tally.scanned += n;
        return n;
    }
    if (!retrying) {
        if (lastfailed) {
            // After a failed read of which no cluster could be read, a
            // failed read is passed over whole, as the deep scans do.
            stuck = first;
            if (have == 0)
                at = first + n;  // unreadable: no start can be judged there
            return 0;
        }
        retryend = first + n;
        retrygot = 0;
    }
    // One bad cluster must not hide the others of a read that failed: the
    // read went around its unreadable sectors, and the window takes its
    // clusters up to the first that holds one (an empty window passes over
    // those before the first that does not). Where the source ends inside
    // the read, its clusters are read one at a time.
    const auto readable = [&](std::uint64_t k) {
        if (!inside) {
            readfromcard += clustersize;
            return platform::readat(disk.hdisk, disk.clusterposition(first + k), std::uint32_t(clustersize),
                                    to + k * clustersize);
        }
        return !badsectors::meets(missing, k * clustersize, (k + 1) * clustersize);
    };
    std::uint64_t got = 0;
    std::uint64_t k = 0;
    for (; k < n; ++k) {
        if (readable(k)) {
            if (got != k)
                std::memmove(to + got * clustersize, to + k * clustersize, std::size_t(clustersize));
            ++got;
        } else if (have == 0 && got == 0) {
            at = first + k + 1;
        } else {
            break;
        }
    }
    if (k < n)
        stuck = first + k;
    retrygot += got;
    lastfailed = retrygot == 0 && first + k == retryend;
    have += got * clustersize;
    tally.scanned += got;
    return got;
}

bool CARVER::cangrow() const
{
    const std::uint64_t next = at + have / clustersize;
    return have < cap && next != stuck && eligible(next);
}

void CARVER::drop(std::uint64_t clusters)
{
    clusters = std::min(clusters, have / clustersize);
    offset += clusters * clustersize;
    have -= clusters * clustersize;
    at += clusters;
    if (have == 0)
        offset = 0;
}

bool CARVER::step(const std::function<void(const CARVEDFILE&)>& save)
{
    if (clustersize == 0)
        return false;
    if (streaming) {
        streamstep(save);
        return true;
    }
    if (have == 0) {
        for (std::uint64_t passed = 0; at < clustercount;) {
            if (eligible(at)) {
                // A cluster the sweep saw begin no file is not read.
                const std::uint64_t to =
                    starts ? starts->skipto(area.disk.clusterposition(0), clustersize, at, clustercount) : at;
                if (to == at)
                    break;
                at = to;
            } else {
                ++at;
            }
            if (++passed == skipperstep)
                return true;
        }
        if (at >= clustercount) {
            buffer.reset();
            capacity = 0;
            return false;
        }
        stuck = ~std::uint64_t(0);
        load(readbytes);
        return true;
    }
    if (candidate == verify::family::none) {
        // The loaded clusters' first bytes, all in this step: a look each.
        while (have != 0) {
            const verify::family f =
                startfamily(verify::bytes(buffer.get() + offset, std::size_t(std::min<std::uint64_t>(headbytes, have))));
            if (f != verify::family::none) {
                candidate = f;
                need = firstclusters * clustersize;
                pending = 0;
                ++tally.starts;
                break;
            }
            drop(1);
        }
        if (candidate == verify::family::none)
            return true;
    }
    if (need > have && cangrow()) {
        load(std::min(need - have, readbytes));
        return true;
    }
    judge(save);
    return true;
}

void CARVER::judge(const std::function<void(const CARVEDFILE&)>& save)
{
    const std::uint64_t window = std::min(have, need);
    const verify::bytes data(buffer.get() + offset, std::size_t(window));
    verify::RECALL recall;
    const verify::EXTENT found = verify::extent(candidate, data, std::uint32_t(clustersize), &recall);
    pending += window;
    // A file its headers bound is not held past the second window: it is
    // read on through them (stream), so that memory stays bounded.
    const bool named = candidate == verify::family::ole2 || candidate == verify::family::tiff;
    const std::uint64_t limit =
        verify::streamable(candidate) ? std::min(cap, named ? namedwindow : streamwindow) : cap;
    if (found.want > window) {
        // More bytes may show the end: those loaded, or the clusters that
        // follow while they are free.
        if (found.want <= limit && (have > window || cangrow())) {
            const std::uint64_t spent = failspent + charge();
            const std::uint64_t left = allowance() > spent ? allowance() - spent : 0;
            if (found.want <= left) {
                const std::uint64_t next = window < secondwindow ? secondwindow : 4 * window;
                need = std::min<std::uint64_t>({limit, left, std::max<std::uint64_t>(found.want, next)});
                return;
            }
            if (found.v != verify::verdict::verified || found.end == 0) {
                ++tally.cut;
                fail();
                return;
            }
        }
        // A walk that ends with the window may have stopped only because the
        // next header lies past it: a file its headers bound is read on
        // through them instead.
        const bool streamon = verify::streamable(candidate) && window >= limit;
        if (found.v == verify::verdict::verified && found.end != 0 && !streamon) {
            // The bytes read on in vain for what might follow the end (a
            // ZIP appended without its end record) count as a failed
            // start's: starts that each want the rest of the volume cost a
            // bounded multiple of it.
            failspent += charge();
            take(found.end, save, &recall);
            return;
        }
        if (found.want > limit || window >= limit) {
            if (verify::streamable(candidate)) {
                stream(save);
                return;
            }
            ++tally.toolarge;
        } else {
            if (splice(save))
                return;
            ++tally.failed;
        }
        fail();
        return;
    }
    if (found.v == verify::verdict::verified && found.end != 0 && found.end <= window) {
        take(found.end, save, &recall);
        return;
    }
    if (splice(save))
        return;
    ++tally.failed;
    fail();
}

std::uint64_t CARVER::charge() const
{
    // Every start is judged over its first clusters: that much per cluster
    // is bounded already.
    const std::uint64_t first = firstclusters * clustersize;
    return pending > first ? pending - first : 0;
}

std::uint64_t CARVER::allowance() const { return failmultiple * at * clustersize + failfloor; }

void CARVER::fail()
{
    failspent += charge();
    candidate = verify::family::none;
    drop(1);
}

void CARVER::take(std::size_t end, const std::function<void(const CARVEDFILE&)>& save, verify::RECALL* recall)
{
    const verify::bytes data(buffer.get() + offset, end);
    pending += end;
    if (verify::check(candidate, data, std::uint32_t(clustersize), recall) != verify::verdict::verified) {
        if (splice(save))
            return;
        ++tally.failed;
        fail();
        return;
    }
    const std::uint64_t clusters = (end + clustersize - 1) / clustersize;
    // MP3 frames end where no frame follows: the last one of a file whose
    // later clusters are gone runs into whatever took them. When that
    // cluster begins as a file does, the MP3 is cut short and the file
    // after it is not to be passed over.
    if (candidate == verify::family::mp3 && clusters > 1 && headbytes <= clustersize &&
        startfamily(verify::bytes(buffer.get() + offset + (clusters - 1) * clustersize, headbytes)) !=
            verify::family::none) {
        ++tally.failed;
        fail();
        return;
    }
    if (saved.holds(data)) {
        // The same bytes are saved already; starts inside them are that file's data.
        ++tally.duplicates;
        candidate = verify::family::none;
        drop(clusters);
        return;
    }
    saved.notecarved(handout(end, data, save), area.disk, data);
    // An archive appended to the file (a JPEG's) that is not whole where
    // the clusters could be read: the file is saved without it, and the
    // summary says so.
    if (end % clustersize != 0 && have - end >= 4 && std::memcmp(buffer.get() + offset + end, "PK\x03\x04", 4) == 0)
        ++tally.zipleft;
    candidate = verify::family::none;
    drop(clusters);
}

FILEPARM CARVER::handout(std::uint64_t end, verify::bytes head, const std::function<void(const CARVEDFILE&)>& save,
                         const std::vector<DATARUN>* pieces)
{
    const std::uint64_t clusters = (end + clustersize - 1) / clustersize;
    CARVEDFILE c;
    c.kind = candidate;
    // Pieces whose restart markers number on across every splice are one file.
    c.verdict =
        pieces ? verify::verdict::verified : verify::carvedverdict(candidate, head, std::uint32_t(clustersize));
    c.type = extensionof(candidate, head);
    c.file.dialog = &core;
    c.file.startcluster = std::uint32_t(at + 2);
    c.file.entryclusterhigh = std::uint16_t((at + 2) >> 16);
    c.file.size = end;
    c.file.recordedsize = end;
    if (pieces)
        c.file.dataruns = *pieces;
    else
        c.file.dataruns.push_back(DATARUN{at, clusters, 0});
    const auto taken = phototime(candidate, head);
    if (taken) {
        c.file.writetime = taken->stamp;
        // The stamp keeps two-second steps; the file's time keeps the photo's own second.
        if (const auto utc = core.minuteclock.utcseconds(std::uint16_t(taken->stamp >> 32), std::uint16_t(taken->stamp)))
            c.file.modifiedms = (*utc + (taken->oddsecond ? 1 : 0)) * 1000;
    }
    const bool raw = (candidate == verify::family::tiff && c.type != QLatin1String("tif")) ||
                     candidate == verify::family::raf || candidate == verify::family::crw ||
                     (candidate == verify::family::mp4 && c.type == QLatin1String("cr3"));
    c.place = pairs.place(c.type, c.file.startcluster, raw, taken ? taken->key : QByteArray());
    // Every byte of the file at hand (the window, or the pieces put
    // together): the saver writes them as they are, never reading the
    // clusters again. Not owned, and gone before the file is handed back.
    if (head.size() >= end)
        c.file.dirbuf = std::shared_ptr<const unsigned char[]>(std::shared_ptr<const unsigned char[]>(), head.data());
    save(c);
    c.file.dirbuf.reset();
    ++tally.carved;
    if (c.verdict == verify::verdict::plausible)
        ++tally.plausible;
    return c.file;
}

bool CARVER::splice(const std::function<void(const CARVEDFILE&)>& save)
{
    // What the pieces cost is charged as a failed start's bytes are: starts
    // that each read pieces up to the bounds cost a bounded multiple of the volume.
    if (!pieces || candidate != verify::family::jpeg || failspent + charge() >= allowance())
        return false;
    const DISKPARM& disk = area.disk;
    const JPEGCLUSTERS from{
        clustersize, clustercount, [this](std::uint64_t lcn) { return lcn != stuck && eligible(lcn); },
        [&disk, this](std::uint64_t lcn, std::uint64_t n, unsigned char* to) {
            return platform::readat(disk.hdisk, disk.clusterposition(lcn), std::uint32_t(n * clustersize), to);
        }};
    std::uint64_t spent = 0;
    const std::optional<SPLICEDJPEG> found = splicejpeg(from, at, &spent);
    pending += spent;
    readfromcard += spent;
    if (!found)
        return false;
    // What a success read beyond its own bytes is charged too, so that
    // many starts searching the same gaps stay within the allowance.
    failspent += spent > found->data.size() ? spent - found->data.size() : 0;
    const verify::bytes data(found->data.data(), found->data.size());
    if (saved.holds(data))
        ++tally.duplicates;
    else
        saved.notecarved(handout(data.size(), data, save, &found->runs), disk, data);
    // The window held the first piece and what followed it, which the
    // pieces may have taken: carving goes on past the first piece, read anew.
    candidate = verify::family::none;
    at = found->runs.front().lcn + found->runs.front().length;
    have = 0;
    offset = 0;
    runend = 0;
    return true;
}

std::uint64_t CARVER::freerunend()
{
    // Clusters ahead of the window do not change while carving passes
    // them, so one look along a free run serves every start inside it.
    if (runend <= at)
        for (runend = at; eligible(runend);)
            ++runend;
    return runend;
}

void CARVER::stream(const std::function<void(const CARVEDFILE&)>& save)
{
    // Only the headers are read here; the saver writes the file from its
    // clusters in pieces, under a temporary name until it is whole.
    // Each read costs its bytes, a header's a page at least, charged as a
    // failed start's bytes are once it fails. A whole file is passed over;
    // one that fails puts the failed bytes past the allowance, so that no
    // start reads on again until the window has moved on by a share of
    // them: failed starts so cost the allowance and one free run at most.
    // The bytes the window holds already are not read again.
    streaming = STREAMING{};
    streaming->length = (freerunend() - at) * clustersize;
    streaming->cap = READCAP(streaming->length, headercost);
    streaming->allowed = allowance() > failspent + charge();
    // A PDF's end is searched for, a compound document's or a TIFF's
    // offsets lead anywhere in the run: such a walk reads on without its
    // bytes proving anything, and a false start would read the rest of the
    // free run (again for every false start after it). Each of its reads is
    // held to the allowance left, so that the failed ones spend no more
    // than failed starts may and the starts after them are read on once the
    // window has moved on. The others check what they read as they go (an
    // archive's members, a stream's packets, a video's boxes), and fail
    // near where they stop being a file: begun within the allowance, they
    // read on to their end.
    streaming->held = candidate == verify::family::pdf || candidate == verify::family::ole2 ||
                      candidate == verify::family::tiff;
    streaming->found = std::make_shared<verify::EXTENT>();
    // The bytes an earlier PDF start's search found no end in are not
    // searched again: a storm of false starts reads the free run once.
    if (candidate == verify::family::pdf) {
        const std::uint64_t base = at * clustersize;
        streaming->unmarked =
            std::make_shared<std::uint64_t>(pdfunmarked > base ? std::min(pdfunmarked - base, streaming->length) : 0);
    }
    // Most end within a step's worth (a video's headers, a false start):
    // read at once. One that reads on past it (an archive) is read again
    // from its start over steps, a step's worth each.
    std::uint64_t stepcost = 0;
    bool over = false;
    const verify::EXTENT found = verify::streamedextent(
        candidate, streaming->length,
        [&](std::uint64_t from, std::size_t n, unsigned char* to) {
            if (stepcost >= readbytes) {
                over = true;
                return false;
            }
            return streamread(from, n, to, stepcost);
        },
        std::uint32_t(clustersize), streaming->unmarked.get());
    if (!over) {
        *streaming->found = found;
        streamed(save);
        return;
    }
    streaming->cap = READCAP(streaming->length, headercost);
    streaming->cost = 0;
    streaming->cut = streaming->capped = false;
    const verify::family f = candidate;
    const std::uint64_t length = streaming->length;
    const std::uint32_t bytes = std::uint32_t(clustersize);
    const std::shared_ptr<verify::EXTENT> into = streaming->found;
    const std::shared_ptr<std::uint64_t> unmarked = streaming->unmarked;
    if (!reader)
        reader = std::make_unique<STEPPEDREADS>();
    reader->start([f, length, bytes, into, unmarked](const verify::READAT& read) {
        *into = verify::streamedextent(f, length, read, bytes, unmarked.get());
    });
}

bool CARVER::streamread(std::uint64_t from, std::size_t n, unsigned char* to, std::uint64_t& stepcost)
{
    STREAMING& s = *streaming;
    const std::uint64_t price = std::max<std::uint64_t>(headercost, n);
    if (s.held ? failspent + charge() + s.cost + price > allowance() : !s.allowed) {
        s.cut = true;
        return false;
    }
    if (!s.cap.take(from, n, price)) {
        s.capped = true;
        return false;
    }
    s.cost += price;
    stepcost += price;
    if (from + n <= have) {
        std::memcpy(to, buffer.get() + offset + from, n);
        return true;
    }
    readfromcard += n;
    return platform::readat(area.disk.hdisk, area.disk.clusterposition(at) + from, std::uint32_t(n), to);
}

void CARVER::streamstep(const std::function<void(const CARVEDFILE&)>& save)
{
    std::uint64_t stepcost = 0;
    if (reader->resume(
            [&](std::uint64_t from, std::size_t n, unsigned char* to) { return streamread(from, n, to, stepcost); },
            [&stepcost] { return stepcost >= readbytes; }))
        streamed(save);
}

void CARVER::streamed(const std::function<void(const CARVEDFILE&)>& save)
{
    const DISKPARM& disk = area.disk;
    const STREAMING done = std::move(*streaming);
    streaming.reset();
    if (done.unmarked)
        pdfunmarked = std::max(pdfunmarked, at * clustersize + *done.unmarked);
    pending += done.cost;
    const verify::EXTENT found = *done.found;
    if (done.capped) {
        ++tally.overread;
        fail();
        return;
    }
    if (done.cut) {
        ++tally.cut;
        fail();
        return;
    }
    if (found.v != verify::verdict::verified || found.end == 0 || found.end > done.length) {
        ++tally.failed;
        fail();
        return;
    }
    const std::uint64_t clusters = (found.end + clustersize - 1) / clustersize;
    FILEPARM whole;
    whole.size = found.end;
    whole.dataruns.push_back(DATARUN{at, clusters, 0});
    if (saved.holds(whole, disk))
        ++tally.duplicates;
    else
        saved.note(handout(found.end, verify::bytes(buffer.get() + offset, std::size_t(have)), save), disk);
    // Starts inside the file are its data.
    candidate = verify::family::none;
    const std::uint64_t inwindow = std::min(clusters, have / clustersize);
    drop(inwindow);
    at += clusters - inwindow;
}

}  // namespace carve
