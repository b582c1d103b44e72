#include "output/filesaver.h"

#include "names/longname.h"
#include "platform/volumesource.h"
#include "rebuild/aroundproven.h"
#include "scan/recoveredname.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>

#include <algorithm>
#include <new>

namespace {

// The one contents the candidates that proved themselves give: copies of
// one contents are one answer, two that differ are none.
struct ONEANSWER {
    std::optional<FILEPARM> winner;
    QByteArray hash;
    // False once two candidates differ.
    bool offer(FILEPARM& candidate, const QByteArray& digest)
    {
        if (winner)
            return digest == hash;
        winner = std::move(candidate);
        hash = digest;
        return true;
    }
};

// A last-write stamp (date << 32 | time) as ISO 8601 local time, as FAT
// keeps it; empty when the date is not valid.
QString isotime(std::uint64_t stamp)
{
    const auto date = std::uint16_t(stamp >> 32);
    const auto time = std::uint16_t(stamp);
    if (!KOVCore::validdate(date))
        return {};
    return QString::asprintf("%04d-%02d-%02dT%02d:%02d:%02d", 1980 + (date >> 9), (date >> 5) & 15, date & 31,
                             time >> 11, (time >> 5) & 63, (time & 31) * 2);
}

// Files up to this size are read into memory and checked before they are
// written.
constexpr std::uint64_t checkinmemory = 16u << 20;

// A file read whole into memory for a check, when it has not been written
// (a listing, a second-chance candidate), is at most this large: a
// recorded size of up to 4 GiB must not become one allocation per
// candidate.
constexpr std::uint64_t wholereadlimit = 256u << 20;

// Room a name keeps for the longest "(n)" the name search adds.
constexpr int suffixroom = 7;

// name, or, when it does not fit the output's name length, name with the
// end of its stem cut (whole characters) so that it fits with room for
// "(n)"; the extension goes too only when it alone is too long. A whole
// name that fits exactly and meets an equal one takes the fallback name.
QString fittedname(const QString& name)
{
    if (platform::namefits(name))
        return name;
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    QString stem = dot > 0 ? name.left(dot) : name;
    QString extension = dot > 0 ? name.mid(dot) : QString();
    if (!platform::namefits(QStringLiteral("x") + extension, suffixroom)) {
        stem = name;
        extension.clear();
    }
    while (!stem.isEmpty() && !platform::namefits(stem + extension, suffixroom)) {
        stem.chop(1);
        if (!stem.isEmpty() && stem.back().isHighSurrogate())
            stem.chop(1);
    }
    return stem + extension;
}

}  // namespace

FileSaver::FileSaver(KOVCore& owner, SAVEOPTIONS chosen, RECORDSINK recordsink, ClusterClaims* shared)
    : core(owner), options(chosen), sink(std::move(recordsink)), claims(shared), tree(owner)
{
}

void FileSaver::begin()
{
    if (core.listonly || begunin == core.recoverdir)
        return;
    begunin = core.recoverdir;
    tree.clear();
    if (options.deep || options.carve)
        tree.reservetop(QStringLiteral("lost"));
    if (options.verify)
        tree.reservetop(QStringLiteral("damaged"));
}

bool FileSaver::estimated(const FILEPARM& file) const
{
    return core.dbrparm.fstype == 1 && file.deleted && file.entryclusterhigh == 0;
}

SAVERECORD FileSaver::describe(const FILEPARM& file, const DIRSLOTS& around, bool ownname) const
{
    SAVERECORD r;
    r.highestimated = estimated(file);
    if (options.originalnames) {
        if (const auto found = entrylongname(around.raw, around.count, around.entry)) {
            r.longname = found->name;
            QByteArray shortname = file.namebytes();
            if (!shortname.isEmpty())
                shortname[0] = static_cast<char>(found->first);
            r.shortname = recoveredfilename(shortname);
        }
    }
    QByteArray base = recoveredname(file);
    if (ownname) {
        base = file.namebytes();
        if (!base.isEmpty() && base[0] == 0x05)
            base[0] = char(slotdeleted);  // a name that begins with 0xE5
    }
    // A long name too long for the output file system once "(n)" is added
    // would make the file impossible to create: the short name stands in.
    const QString longname = r.longname.isEmpty() ? QString() : safename(r.longname);
    r.name = !longname.isEmpty() && platform::namefits(longname, suffixroom) ? longname : recoveredfilename(base);
    return r;
}

void FileSaver::savewalked(const FILEPARM& file, const DIRSLOTS& around)
{
    if (!options.verify || !file.deleted || file.size > checkinmemory) {
        save(file, around);
        return;
    }
    SAVERECORD r = describe(file, around, false);
    verify::family kind = verify::family::none;
    r.verdict = contentverdict(file, r.name, QString(), &kind);
    if (r.verdict == verify::verdict::damaged && r.highestimated) {
        // An estimate that does not begin as its format does is a wrong
        // start: its second chance tries the others.
        const verify::family named = verify::familyofextension(r.name);
        if (!plausible(file, named != verify::family::none ? named : kind)) {
            save(file, around);
            return;
        }
    }
    starts.insert(file.startcluster);
    if (r.verdict == verify::verdict::damaged) {
        // Written once its clusters are settled: it may yet prove itself
        // rebuilt around the files that do, and a file that gave way is
        // never left under a final name.
        HELD h = keep(file, around, QString(), r, kind);
        if (maywait(h)) {
            proofwait.push_back(UNPROVEN{std::move(h), {}, false});
            return;
        }
    }
    if (claims)
        claims->mark(file.dataruns);
    // The verdict given is not checked again; a failed file that may not
    // wait goes into damaged/ as the walk rebuilt it.
    settle(file, r, QString(), true, around);
}

void FileSaver::save(const FILEPARM& file, const DIRSLOTS& around, const QString& subdir, bool ownname)
{
    if (options.verify && file.deleted)
        starts.insert(file.startcluster);
    if (claims)
        claims->mark(file.dataruns);
    settle(file, describe(file, around, ownname), subdir, true, around);
}

void FileSaver::savenamed(const FILEPARM& file, const QString& name, const QString& subdir, bool nofatchain)
{
    if (claims)
        claims->mark(file.dataruns);
    SAVERECORD r;
    r.nofatchain = nofatchain;
    r.name = fittedname(safename(name));
    settle(file, r, subdir, false, DIRSLOTS{});
}

void FileSaver::savecarved(const FILEPARM& file, const QString& name, const QString& subdir, const QString& type,
                           verify::verdict verdict)
{
    if (claims)
        claims->mark(file.dataruns);
    SAVERECORD r;
    r.name = fittedname(safename(name));
    r.carved = type;
    r.verdict = verdict;
    settle(file, r, subdir, false, DIRSLOTS{});
}

void FileSaver::settle(const FILEPARM& file, SAVERECORD r, const QString& subdir, bool mayhold,
                       const DIRSLOTS& around)
{
    r.subdir = subdir;
    begin();
    core.setstatuslines(r.name, QStringLiteral("%1 bytes").arg(file.size),
                        QStringLiteral("modify time:") + KOVCore::fatfiletime2str(file.writetime));
    verify::family kind = verify::family::none;
    // A verdict given with the file (carving's) is not checked again.
    const bool checking = options.verify && !r.verdict;
    if (core.listonly) {
        if (checking)
            r.verdict = contentverdict(file, r.name, QString(), &kind);
        r.unreadable = knownunreadable(file);
    } else {
        // Most files are checked from memory before they are written, so
        // that a damaged one goes straight into damaged/; the bytes come
        // from the same clusters the save then reads again (from the
        // cache). Larger files are checked in the file just written.
        std::optional<verify::verdict> early;
        if (checking && file.size <= checkinmemory)
            early = contentverdict(file, r.name, QString(), &kind);
        const bool damaged = early == verify::verdict::damaged || r.verdict == verify::verdict::damaged;
        const QString dir = damaged ? damageddir(subdir) : outdir(subdir);
        r.status = core.savefile(file, dir, r.name, &r.path, &r.unreadable, [&] { return damageddir(subdir); });
        if (checking && r.status == 0) {
            r.verdict = early ? early : contentverdict(file, r.name, r.path, &kind);
            if (!early && r.verdict == verify::verdict::damaged && !damaged && r.unreadable.empty())
                movetodamaged(r, subdir);
        }
    }
    if (mayhold && r.verdict == verify::verdict::damaged && r.highestimated) {
        if (const auto at = starts.find(file.startcluster); at != starts.end())
            starts.erase(at);
        hold(file, around, subdir, r, kind);
        return;
    }
    if (claims && r.verdict != verify::verdict::damaged) {
        if (sound.clusters() != claims->clusters())
            sound.reset(claims->clusters());
        sound.mark(file.dataruns);
    }
    count(r);
    sink(file, r);
}

std::vector<badsectors::BYTESPAN> FileSaver::knownunreadable(const FILEPARM& file) const
{
    std::vector<badsectors::BYTESPAN> out;
    const badsectors::SECTORMAP* map = platform::sectormap(core.diskparm.hdisk);
    const std::uint64_t cluster = core.diskparm.clustersize();
    if (!map || map->bad().empty() || cluster == 0 || file.dirbuf)
        return out;
    const std::uint64_t sector = map->sectorbytes();
    const std::uint64_t stored = std::min(file.size, file.validsize);
    for (const DATARUN& run : file.dataruns) {
        const std::uint64_t from = core.diskparm.clusterposition(run.lcn), bytes = run.length * cluster;
        badsectors::SECTORSPAN look{from / sector, (from + bytes + sector - 1) / sector - from / sector};
        // Each bad span met moves the look past it: at most one step a span.
        for (badsectors::SECTORSPAN bad = map->bad().firstmet(look); bad.count != 0;
             bad = map->bad().firstmet(look)) {
            const std::uint64_t begin = std::max(bad.first * sector, from);
            const std::uint64_t end = std::min((bad.first + bad.count) * sector, from + bytes);
            const std::uint64_t first = run.vcn * cluster + (begin - from), last = run.vcn * cluster + (end - from);
            if (first < stored)
                badsectors::addspan(&out, {first, std::min(last, stored) - first});
            const std::uint64_t next = bad.first + bad.count;
            if (next >= look.first + look.count)
                break;
            look = {next, look.first + look.count - next};
        }
    }
    return out;
}

std::optional<verify::verdict> FileSaver::contentverdict(const FILEPARM& file, const QString& name,
                                                         const QString& path, verify::family* kind) const
{
    if (!path.isEmpty()) {
        // The file just written is in the page cache: mapping it reads its
        // bytes once more from memory, not from the volume.
        QFile written(path);
        uchar* mapped = written.open(QIODevice::ReadOnly) ? written.map(0, qint64(file.size)) : nullptr;
        if (!mapped)
            return verify::verdict::unchecked;
        const verify::bytes data(mapped, std::size_t(file.size));
        *kind = verify::identify(data, name);
        return verify::check(*kind, data, clusterbytes());
    }
    // Junk under a format's name fails on its first bytes: no whole read.
    unsigned char head[64];
    std::uint64_t got = 0;
    if (!file.readfile(core.diskparm, 0, sizeof head, head, &got))
        return verify::verdict::unchecked;
    *kind = verify::identify(verify::bytes(head, std::size_t(got)), name);
    if (!verify::canbegin(*kind, verify::bytes(head, std::size_t(got))))
        return verify::verdict::damaged;
    const std::unique_ptr<unsigned char[]> data = readwhole(file);
    if (!data)
        return verify::verdict::unchecked;
    return verify::check(*kind, verify::bytes(data.get(), std::size_t(file.size)), clusterbytes());
}

std::unique_ptr<unsigned char[]> FileSaver::readwhole(const FILEPARM& file) const
{
    if (file.size > wholereadlimit)
        return nullptr;
    std::unique_ptr<unsigned char[]> buffer(new (std::nothrow) unsigned char[std::size_t(file.size)]);
    std::uint64_t got = 0;
    if (!buffer || !file.readfile(core.diskparm, 0, file.size, buffer.get(), &got) || got != file.size)
        return nullptr;
    return buffer;
}

QString FileSaver::damageddir(const QString& subdir) { return outdir(QStringLiteral("damaged/") + subdir); }

QString FileSaver::outdir(const QString& subdir)
{
    const QString dir = tree.folder(subdir);
    return dir.isEmpty() ? core.recoverdir + subdir : dir;
}

void FileSaver::movetodamaged(SAVERECORD& r, const QString& subdir)
{
    const QString dir = damageddir(subdir);
    const QFileInfo written(r.path);
    const platform::OUTFOLDER from = core.outputfolder(written.path() + QDir::separator());
    const platform::OUTFOLDER to = core.outputfolder(dir);
    // The name chosen, or the fallback name the file got when that could
    // not be created; a move never replaces an existing file.
    for (const QString& name : {r.name, written.fileName()}) {
        const QString target =
            core.freenames.pick(dir, name, [&](const QString& c) { return platform::namestate(to, c); });
        if (!target.isEmpty() && platform::movefile(from, written.fileName(), to, target)) {
            r.path = dir + target;
            return;
        }
    }
    core.showwarning(QStringLiteral("Can not move the damaged file into %1.").arg(dir));
}

void FileSaver::count(const SAVERECORD& r)
{
    if (r.verdict == verify::verdict::verified)
        ++tally.verified;
    else if (r.verdict == verify::verdict::damaged)
        ++tally.damaged;
    else if (r.verdict == verify::verdict::unchecked)
        ++tally.unchecked;
    else if (r.verdict == verify::verdict::plausible)
        ++tally.plausible;
    if (r.startbycontent)
        ++tally.startbycontent;
    if (r.rebuiltaround)
        ++tally.rebuiltaround;
}

FileSaver::HELD FileSaver::keep(const FILEPARM& file, const DIRSLOTS& around, const QString& subdir,
                                std::optional<SAVERECORD> record, verify::family kind)
{
    HELD h{file, {}, subdir, std::move(record), kind};
    // The entry's own slot and the long-name slots a name can take (20).
    if (around.raw && around.entry < around.count) {
        const std::uint64_t from = around.entry >= 20 ? around.entry - 20 : 0;
        h.raw.assign(around.raw + from * 32, around.raw + (around.entry + 1) * 32);
    }
    h.file.parent.reset();
    return h;
}

void FileSaver::hold(const FILEPARM& file, const DIRSLOTS& around, const QString& subdir,
                     std::optional<SAVERECORD> record, verify::family kind)
{
    HELD h = keep(file, around, subdir, std::move(record), kind);
    // A file that begins as its format does is more likely the right file
    // damaged (or a format the check does not know yet) than a wrong
    // start: another start must not take its place.
    if (h.record && plausible(h.file, heldfamily(h))) {
        starts.insert(h.file.startcluster);
        count(*h.record);
        sink(h.file, *h.record);
        return;
    }
    held.push_back(std::move(h));
}

void FileSaver::dropped(const FILEPARM& entry, const DIRSLOTS& around)
{
    if (!options.verify || entry.isdir || !entry.deleted)
        return;
    if (!estimated(entry)) {
        starts.insert(entry.startcluster);
        // Overwritten where the walk rebuilt it; a format whose check sees
        // a foreign cluster may prove it rebuilt around the proven files.
        const verify::family kind = verify::familyofextension(describe(entry, around, false).name);
        if (kind != verify::family::none && !verify::blindtoforeign(kind)) {
            HELD h = keep(entry, around, QString(), std::nullopt, kind);
            if (maywait(h))
                proofwait.push_back(UNPROVEN{std::move(h), {}, false});
        }
        return;
    }
    // Nothing was read: the name alone says what the file was.
    const verify::family kind = verify::familyofextension(describe(entry, around, false).name);
    if (kind != verify::family::none)
        hold(entry, around, QString(), std::nullopt, kind);
}

verify::family FileSaver::heldfamily(const HELD& h) const
{
    // The name says what the file was; the damaged contents only when the
    // name names no checked format.
    const verify::family named = verify::familyofextension(describe(h.file, h.around(), false).name);
    return named != verify::family::none ? named : h.kind;
}

std::uint32_t FileSaver::clusterbytes() const
{
    // Padding after a file's end lies inside its last cluster.
    return std::uint32_t(std::min<std::uint64_t>(core.diskparm.clustersize(), 0xFFFFFFFF));
}

bool FileSaver::plausible(const FILEPARM& file, verify::family kind) const
{
    return verify::mayverify(kind, file.size, [&](std::uint64_t offset, std::span<unsigned char> into) {
        std::uint64_t read = 0;
        return file.readfile(core.diskparm, offset, into.size(), into.data(), &read) && read == into.size();
    });
}

std::optional<QByteArray> FileSaver::provenhash(const FILEPARM& file, verify::family kind) const
{
    // A few clusters of its tail before the whole file.
    if (!plausible(file, kind))
        return std::nullopt;
    const std::unique_ptr<unsigned char[]> data = readwhole(file);
    if (!data || verify::check(kind, verify::bytes(data.get(), std::size_t(file.size)), clusterbytes()) !=
                     verify::verdict::verified)
        return std::nullopt;
    return QCryptographicHash::hash(QByteArrayView(data.get(), qsizetype(file.size)), QCryptographicHash::Sha256);
}

std::optional<FILEPARM> FileSaver::secondchance(const HELD& h)
{
    const FILEPARM& f = h.file;
    const verify::family kind = heldfamily(h);
    const std::uint64_t size = f.recordedsize;
    if (kind == verify::family::none || size == 0)
        return std::nullopt;
    const std::uint32_t low = f.startcluster & 0xFFFF;
    ONEANSWER answer;
    for (std::uint32_t high = 0; high <= 0xFFFF; ++high) {
        const std::uint64_t start = std::uint64_t(high) << 16 | low;
        if (start >= core.fatentries)
            break;
        if (start < 2 || start == f.startcluster || starts.count(std::uint32_t(start)) != 0 ||
            core.getfatentry(std::uint32_t(start)) != 0 || core.inuse(start - 2) != 0 ||
            (claims && claims->test(start - 2)))
            continue;
        // The start cluster's first bytes rule out most candidates before
        // their runs are rebuilt and read.
        FILEPARM candidate(f);
        candidate.startcluster = std::uint32_t(start);
        candidate.clusterhigh = std::uint16_t(high);
        candidate.dataruns = {DATARUN{start - 2, 1, 0}};
        candidate.size = size;
        unsigned char head[16];
        std::uint64_t got = 0;
        if (!candidate.readfile(core.diskparm, 0, sizeof head, head, &got) ||
            !verify::canbegin(kind, verify::bytes(head, std::size_t(got))))
            continue;
        candidate.dataruns = core.fatrecoverdatarun(std::uint32_t(start), size);
        // Clusters another saved file holds are that file's, not this one's.
        if (candidate.dataruns.empty() || core.clusterusage(candidate.dataruns) != 0 ||
            core.gettotclustersize(candidate.dataruns) < size || (claims && claims->any(candidate.dataruns)))
            continue;
        // Two copies of one file (saved twice, deleted twice) are one answer.
        const std::optional<QByteArray> hash = provenhash(candidate, kind);
        if (hash && !answer.offer(candidate, *hash))
            return std::nullopt;
    }
    return answer.winner;
}

bool FileSaver::finishstep()
{
    if (nextheld >= held.size()) {
        held.clear();
        nextheld = 0;
        return proofstep();
    }
    HELD h = std::move(held[nextheld++]);
    // The estimate's clusters are no other file's: the search may use them.
    if (h.record && claims)
        claims->release(h.file.dataruns);
    std::optional<FILEPARM> better = secondchance(h);
    // A dropped entry no other start gives may prove itself rebuilt
    // around the proven files.
    if (!better && !h.record && !verify::blindtoforeign(heldfamily(h)) && maywait(h)) {
        proofwait.push_back(UNPROVEN{std::move(h), {}, false});
        return true;
    }
    if (h.record) {
        // Its file stays where it was saved (damaged/), also when another
        // start wins, and keeps its clusters when none does.
        if (!better && claims)
            claims->mark(h.file.dataruns);
        count(*h.record);
        sink(h.file, *h.record);
    }
    if (!better)
        return true;
    if (claims)
        claims->mark(better->dataruns);
    starts.insert(better->startcluster);
    const DIRSLOTS around = h.around();
    SAVERECORD r = describe(*better, around, false);
    r.startbycontent = true;
    r.estimatedstart = h.file.startcluster;
    settle(*better, r, h.subdir, false, around);
    return true;
}

bool FileSaver::maywait(const HELD& h)
{
    const std::size_t bytes = sizeof(UNPROVEN) + h.raw.size() + h.file.dataruns.size() * sizeof(DATARUN);
    if (waitingbytes + bytes > waitinglimit)
        return false;
    waitingbytes += bytes;
    return true;
}

bool FileSaver::proofstep()
{
    for (;;) {
        if (nextproof < proofwait.size()) {
            UNPROVEN& u = proofwait[nextproof++];
            if (u.settled)
                continue;
            if (proofround <= proofrounds) {
                proofchanged = rebuildaround(u) || proofchanged;
                return true;
            }
            // Not proven: as the walk rebuilt it, into damaged/; a dropped
            // entry stays dropped.
            u.settled = true;
            if (u.held.record) {
                if (claims)
                    claims->mark(u.held.file.dataruns);
                settle(u.held.file, *u.held.record, u.held.subdir, false, u.held.around());
            }
            return true;
        }
        if (proofwait.empty())
            return false;
        if (proofround > proofrounds) {
            proofwait.clear();
            nextproof = 0;
            waitingbytes = 0;
            proofround = 0;
            return false;
        }
        // A round ends: another only when this one proved a file, whose
        // clusters may be what kept another from proving itself.
        if (proofround == 0)
            proofround = 1;
        else if (!proofchanged || proofround == proofrounds)
            proofround = proofrounds + 1;
        else
            ++proofround;
        proofchanged = false;
        nextproof = 0;
    }
}

bool FileSaver::rebuildaround(UNPROVEN& u)
{
    const FILEPARM& f = u.held.file;
    const verify::family kind = heldfamily(u.held);
    const std::uint64_t size = f.recordedsize;
    // A check blind to a foreign cluster proves nothing about the clusters
    // a rebuild chose.
    if (kind == verify::family::none || verify::blindtoforeign(kind) || size == 0 || size > wholereadlimit)
        return false;
    // The start, and for an estimated high word every other one with its
    // low word that is no other entry's start.
    std::vector<std::uint32_t> candidates{f.startcluster};
    if (estimated(f)) {
        const std::uint32_t low = f.startcluster & 0xFFFF;
        for (std::uint64_t high = 0; high <= 0xFFFF; ++high) {
            const std::uint64_t start = high << 16 | low;
            if (start >= core.fatentries)
                break;
            if (start >= 2 && start != f.startcluster && starts.count(std::uint32_t(start)) == 0)
                candidates.push_back(std::uint32_t(start));
        }
    }
    // Files that failed their check gave way: their clusters are not taken.
    const auto taken = [this](std::uint64_t lcn) { return core.inuse(lcn) != 0 || (claims && sound.test(lcn)); };
    std::vector<FILEPARM> rebuilt;
    // Every candidate's runs, each closed by an empty run: a digest, so
    // that what waits holds no copy of them.
    QCryptographicHash tried(QCryptographicHash::Sha256);
    for (const std::uint32_t start : candidates) {
        FILEPARM candidate(f);
        candidate.startcluster = start;
        candidate.clusterhigh = std::uint16_t(start >> 16);
        candidate.size = size;
        // A start that is taken, or whose first bytes cannot begin the
        // format, is passed over before its runs are rebuilt.
        if (core.getfatentry(start) == 0 && !taken(start - 2)) {
            candidate.dataruns = {DATARUN{start - 2, 1, 0}};
            unsigned char head[16];
            std::uint64_t got = 0;
            if (candidate.readfile(core.diskparm, 0, sizeof head, head, &got) &&
                verify::canbegin(kind, verify::bytes(head, std::size_t(got))))
                candidate.dataruns = rebuild::aroundtaken(core, start, size, taken);
            else
                candidate.dataruns.clear();
        }
        const DATARUN close{};
        tried.addData(QByteArrayView(reinterpret_cast<const char*>(candidate.dataruns.data()),
                                     qsizetype(candidate.dataruns.size() * sizeof(DATARUN))));
        tried.addData(QByteArrayView(reinterpret_cast<const char*>(&close), qsizetype(sizeof close)));
        // The walk's own rebuild failed already.
        if (candidate.dataruns.empty() ||
            (u.held.record && start == f.startcluster && candidate.dataruns == f.dataruns))
            continue;
        rebuilt.push_back(std::move(candidate));
    }
    // Nothing taken since the last round: the same runs prove no more.
    const QByteArray digest = tried.result();
    if (digest == u.tried)
        return false;
    u.tried = digest;
    ONEANSWER answer;
    for (FILEPARM& candidate : rebuilt) {
        const std::optional<QByteArray> hash = provenhash(candidate, kind);
        if (hash && !answer.offer(candidate, *hash))
            return false;
    }
    std::optional<FILEPARM>& winner = answer.winner;
    if (!winner)
        return false;
    if (claims)
        claims->mark(winner->dataruns);
    starts.insert(winner->startcluster);
    u.settled = true;
    const DIRSLOTS around = u.held.around();
    SAVERECORD r = describe(*winner, around, false);
    r.verdict = verify::verdict::verified;
    r.rebuiltaround = true;
    if (winner->startcluster != f.startcluster) {
        r.startbycontent = true;
        r.estimatedstart = f.startcluster;
    }
    settle(*winner, r, u.held.subdir, false, around);
    return true;
}

void FileSaver::finish()
{
    while (finishstep()) {
    }
}

QJsonObject FileSaver::json(const FILEPARM& file, const SAVERECORD& r)
{
    QJsonObject o;
    o.insert(QStringLiteral("name"), r.name);
    if (!r.subdir.isEmpty())
        o.insert(QStringLiteral("dir"), r.subdir);
    if (!r.longname.isEmpty())
        o.insert(QStringLiteral("longname"), r.longname);
    if (!r.shortname.isEmpty())
        o.insert(QStringLiteral("shortname"), r.shortname);
    o.insert(QStringLiteral("size"), qint64(file.size));
    o.insert(QStringLiteral("modified"), isotime(file.writetime));
    o.insert(QStringLiteral("start"), qint64(file.startcluster));
    o.insert(QStringLiteral("highestimated"), r.highestimated);
    QJsonArray runs;
    for (const DATARUN& run : file.dataruns)
        runs.append(QJsonObject{{QStringLiteral("cluster"), qint64(run.lcn + 2)},
                                {QStringLiteral("clusters"), qint64(run.length)}});
    o.insert(QStringLiteral("runs"), runs);
    if (r.verdict)
        o.insert(QStringLiteral("verdict"), verify::verdictname(*r.verdict));
    o.insert(QStringLiteral("startbycontent"), r.startbycontent);
    if (r.startbycontent)
        o.insert(QStringLiteral("estimatedstart"), qint64(r.estimatedstart));
    if (r.nofatchain)
        o.insert(QStringLiteral("nofatchain"), *r.nofatchain);
    if (!r.carved.isEmpty())
        o.insert(QStringLiteral("type"), r.carved);
    if (r.rebuiltaround)
        o.insert(QStringLiteral("rebuiltaround"), true);
    if (!r.unreadable.empty()) {
        QJsonArray spans;
        for (const badsectors::BYTESPAN& b : r.unreadable)
            spans.append(QJsonObject{{QStringLiteral("offset"), qint64(b.offset)},
                                     {QStringLiteral("length"), qint64(b.length)}});
        o.insert(QStringLiteral("unreadable"), spans);
    }
    return o;
}
