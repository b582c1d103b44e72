#include "output/filesaver.h"

#include "output/filecontents.h"

#include "names/longname.h"
#include "platform/volumesource.h"
#include "scan/recoveredname.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>

#include <algorithm>

namespace {

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
    if (!options.verify || !file.deleted || file.size > checkinmemory || !waitroom) {
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
        if (!filecontents::plausible(core, file, named != verify::family::none ? named : kind)) {
            save(file, around);
            return;
        }
    }
    waitroom->startmet(file.startcluster);
    // Written once its clusters are settled: it may yet prove itself
    // rebuilt around the files that do, and a file that gave way is never
    // left under a final name.
    if (r.verdict == verify::verdict::damaged && waitroom->wait(HELDFILE::keep(file, around, QString(), r, kind)))
        return;
    if (claims)
        claims->mark(file.dataruns);
    // The verdict given is not checked again; a failed file that may not
    // wait goes into damaged/ as the walk rebuilt it.
    settle(file, r, QString(), true, around);
}

void FileSaver::save(const FILEPARM& file, const DIRSLOTS& around, const QString& subdir, bool ownname)
{
    if (options.verify && file.deleted && waitroom)
        waitroom->startmet(file.startcluster);
    if (claims)
        claims->mark(file.dataruns);
    settle(file, describe(file, around, ownname), subdir, true, around);
}

void FileSaver::savenamed(const FILEPARM& file, const QString& name, const QString& subdir, bool nofatchain,
                          bool chainheld)
{
    if (claims)
        claims->mark(file.dataruns);
    SAVERECORD r;
    r.nofatchain = nofatchain;
    if (!nofatchain)
        r.chainheld = chainheld;
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
        // Its CRC-32 as it is written, so that carving's look for equal
        // files reads it no more.
        std::uint32_t crc = 0;
        if (roomfor)
            roomfor(file.size);
        r.status = core.savefile(
            file, dir, r.name, &r.path, &r.unreadable, [&] { return damageddir(subdir); },
            [&crc](const unsigned char* piece, std::size_t n) { crc = verify::crc32(verify::bytes(piece, n), crc); });
        if (r.status == 0 && r.unreadable.empty())
            r.crc = crc;
        if (checking && r.status == 0) {
            r.verdict = early ? early : contentverdict(file, r.name, r.path, &kind);
            if (!early && r.verdict == verify::verdict::damaged && !damaged && r.unreadable.empty())
                movetodamaged(r, subdir);
        }
    }
    if (mayhold && waitroom && r.verdict == verify::verdict::damaged && r.highestimated) {
        waitroom->startgone(file.startcluster);
        waitroom->hold(HELDFILE::keep(file, around, subdir, r, kind));
        return;
    }
    if (waitroom && r.verdict != verify::verdict::damaged)
        waitroom->proven(file.dataruns);
    report(file, r);
}

void FileSaver::settlewaited(const FILEPARM& file, const SAVERECORD& record, const QString& subdir,
                             const DIRSLOTS& around)
{
    settle(file, record, subdir, false, around);
}

void FileSaver::report(const FILEPARM& file, const SAVERECORD& record, bool claimed)
{
    // A file that failed its check is written as rebuilt, but its clusters
    // may hold a file carving finds whole. One that let its runs go must not
    // weaken the claims other files hold there.
    if (claims && claimed && record.verdict == verify::verdict::damaged)
        claims->weaken(file.dataruns);
    count(record);
    sink(file, record);
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
        return verify::check(*kind, data, filecontents::clusterbytes(core));
    }
    // Junk under a format's name fails on its first bytes: no whole read.
    unsigned char head[64];
    std::uint64_t got = 0;
    if (!file.readfile(core.diskparm, 0, sizeof head, head, &got))
        return verify::verdict::unchecked;
    *kind = verify::identify(verify::bytes(head, std::size_t(got)), name);
    if (!verify::canbegin(*kind, verify::bytes(head, std::size_t(got))))
        return verify::verdict::damaged;
    const std::unique_ptr<unsigned char[]> data = filecontents::readwhole(core, file);
    if (!data)
        return verify::verdict::unchecked;
    return verify::check(*kind, verify::bytes(data.get(), std::size_t(file.size)), filecontents::clusterbytes(core));
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

void FileSaver::dropped(const FILEPARM& entry, const DIRSLOTS& around)
{
    if (!options.verify || entry.isdir || !entry.deleted || !waitroom)
        return;
    // Nothing was read: the name alone says what the file was.
    const verify::family kind = verify::familyofextension(describe(entry, around, false).name);
    if (!estimated(entry)) {
        waitroom->startmet(entry.startcluster);
        // Overwritten where the walk rebuilt it; a format whose check sees
        // a foreign cluster may prove it rebuilt around the proven files.
        if (kind != verify::family::none && !verify::blindtoforeign(kind))
            waitroom->wait(HELDFILE::keep(entry, around, QString(), std::nullopt, kind));
        return;
    }
    if (kind != verify::family::none)
        waitroom->hold(HELDFILE::keep(entry, around, QString(), std::nullopt, kind));
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
