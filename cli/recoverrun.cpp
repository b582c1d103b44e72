#include "cli/recoverrun.h"

#include "layout/adopt.h"
#include "layout/earlier.h"
#include "layout/layoutsearch.h"
#include "partitions/partitiontable.h"
#include "scan/recoveredname.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>
#include <QJsonDocument>

#include <algorithm>
#include <optional>

#include <unistd.h>

namespace {

void say(const QString& text) { std::fprintf(stderr, "kov-recover: %s\n", qPrintable(text)); }

// Deep-scan files that cannot be saved named one a line, at most.
constexpr std::uint64_t unsavedlisted = 1000;

QString fatname(std::uint32_t fstype) { return fstype == 1 ? QStringLiteral("FAT32") : QStringLiteral("FAT16"); }

// SOURCE as a path and a partition number (0: none). A path that exists as
// given wins over the IMAGE:N reading.
std::pair<QString, int> splitsource(const QString& source)
{
    static const QRegularExpression form(QStringLiteral("^(.+):([0-9]{1,9})$"));
    const QRegularExpressionMatch match = form.match(source);
    if (QFileInfo::exists(source) || !match.hasMatch() || match.captured(2).toInt() == 0)
        return {source, 0};
    return {match.captured(1), match.captured(2).toInt()};
}

}  // namespace

RecoverRun::RecoverRun(std::FILE* out, const RECOVEROPTIONS& chosen)
    : listout(out),
      options(chosen),
      saver(*this, SAVEOPTIONS{chosen.verify, chosen.originalnames, chosen.deep},
            [this](const FILEPARM& file, const SAVERECORD& record) { report(file, record); }, &claims),
      live(isatty(STDERR_FILENO) != 0)
{
}

void RecoverRun::showwarning(const QString& text)
{
    ++warningcount;
    if (live)
        std::fputs("\r\033[K", stderr);
    if (current.isEmpty())
        say(QStringLiteral("error: ") + text);
    else
        say(QStringLiteral("error: %1: %2").arg(current, text));
}

void RecoverRun::showinformation(const QString&) {}

void RecoverRun::addvolumeitem(const platform::VolumeSource&) {}

void RecoverRun::setstatuslines(const QString& name, const QString&, const QString&) { current = name; }

void RecoverRun::setbuttontext(const QString&) {}

void RecoverRun::savefound(const FILEPARM& file)
{
    if (deeprun)
        deeprun->notesaved(file);
    // The file's short entry is the slot the walk has just passed.
    saver.save(file, DIRSLOTS{curdir.dirbuf.get(), curdir.size / 32, curdir.entryindex - 1});
}

void RecoverRun::entrydropped(const FILEPARM& dir, const FILEPARM& entry)
{
    saver.dropped(entry, DIRSLOTS{dir.dirbuf.get(), dir.size / 32, dir.entryindex});
}

void RecoverRun::report(const FILEPARM& file, const SAVERECORD& record)
{
    if (record.startbycontent && !options.json)
        say(QStringLiteral("%1: start cluster %2 chosen by content (estimate %3)")
                .arg(record.path.isEmpty() ? record.name : record.path)
                .arg(file.startcluster)
                .arg(record.estimatedstart));
    if (!listonly)
        return;
    if (options.json) {
        const QByteArray line = QJsonDocument(FileSaver::json(file, record)).toJson(QJsonDocument::Compact);
        std::fprintf(listout, "%s\n", line.constData());
        return;
    }
    std::fprintf(listout, "%s\t%llu\t%s\t%u\t%zu%s%s\n", qPrintable(record.subdir + record.name),
                 static_cast<unsigned long long>(file.size), qPrintable(fatfiletime2str(file.writetime)),
                 file.startcluster, file.dataruns.size(), record.verdict ? "\t" : "",
                 record.verdict ? qPrintable(verify::verdictname(*record.verdict)) : "");
}

QString RecoverRun::verdictsummary() const
{
    if (!options.verify)
        return QString();
    const VERDICTCOUNTS& c = saver.counts();
    return QStringLiteral("; %1 verified, %2 unchecked, %3 damaged, %4 starts chosen by content")
        .arg(c.verified)
        .arg(c.unchecked)
        .arg(c.damaged)
        .arg(c.startbycontent);
}

int RecoverRun::findvolumes(const QString& source, bool several, QList<partitions::FATVOLUME>* out)
{
    const auto [path, number] = splitsource(source);
    platform::setblockdevicesenabled(false);
    platform::setimagefiles({path});
    const platform::VolumeSource whole = platform::rawsources().value(0);
    platform::assignletters({whole});
    unsigned char* boot = nullptr;
    std::uint64_t backup = 0;
    const int status = readdbr("C:\\", boot, &backup);
    if (status == 1) {
        say(QStringLiteral("%1: disk open error!").arg(source));
        return exitsource;
    }
    if (status != 0) {
        say(QStringLiteral("%1: get disk geometry error").arg(source));
        return exitsource;
    }
    const std::uint32_t type = classifydbr(boot);
    // The label of a backup boot sector: sector 0 holds none.
    const QString backuplabel = QString::fromLatin1(reinterpret_cast<const char*>(boot) + 71, 11).trimmed();
    delete[] boot;
    if (type == 1 || type == 2) {
        if (number != 0) {
            say(QStringLiteral("%1: a bare FAT volume without partitions has no partition %2").arg(path).arg(number));
            return exitsource;
        }
        partitions::FATVOLUME volume;
        volume.source = whole;
        volume.fstype = type;
        if (backup == 0)
            volume.fstype = partitions::classifysource(whole, classifydbr, &volume.label);
        else
            volume.label = backuplabel;
        out->append(volume);
        return exitok;
    }
    QStringList notes;
    QList<partitions::FATVOLUME> inside = partitions::fatvolumes(whole, classifydbr, &notes);
    for (const QString& note : notes)
        say(note);
    if (number != 0) {
        for (const partitions::FATVOLUME& volume : inside)
            if (volume.source.partition == number)
                out->append(volume);
        if (out->isEmpty()) {
            say(QStringLiteral("%1: partition %2 is not a FAT16 or FAT32 volume").arg(path).arg(number));
            return exitsource;
        }
        return exitok;
    }
    if (inside.isEmpty()) {
        nofatvolume = true;
        if (!options.deep && !options.listvolumes)
            say(QStringLiteral("%1: not a FAT16 or FAT32 volume (no boot sector); --deep may find its layout "
                               "from its directories")
                    .arg(source));
        return exitsource;
    }
    if (inside.size() > 1 && !several) {
        say(QStringLiteral("%1 holds %2 FAT volumes; name one as %1:N:").arg(path).arg(inside.size()));
        for (const partitions::FATVOLUME& volume : inside)
            std::fprintf(stderr, "  %s:%d\t%s\t%llu bytes\t%s\n", qPrintable(path), volume.source.partition,
                         qPrintable(fatname(volume.fstype)), static_cast<unsigned long long>(volume.source.size),
                         qPrintable(volume.label));
        return exitsource;
    }
    *out = inside;
    return exitok;
}

int RecoverRun::opensource(const QString& source)
{
    QList<partitions::FATVOLUME> volumes;
    if (const int status = findvolumes(source, false, &volumes); status != exitok) {
        if (!nofatvolume || !options.deep)
            return status;
        // The whole source, as findvolumes lettered it.
        warningcount = 0;
        initdisk(QStringLiteral("C:\\"));
        return warningcount == 0 && findlayout(source) ? exitok : exitsource;
    }
    const platform::VolumeSource chosen = volumes.value(0).source;
    if (chosen.partition != 0 && splitsource(source).second == 0)
        say(QStringLiteral("%1: using partition %2, the one FAT volume inside").arg(source).arg(chosen.partition));
    platform::assignletters({chosen});
    warningcount = 0;
    initdisk(QStringLiteral("C:\\"));
    for (const QString& note : std::as_const(volumenotes))
        say(QStringLiteral("%1: %2").arg(source, note));
    return warningcount == 0 ? exitok : exitsource;
}

std::vector<layout::FOUNDLAYOUT> RecoverRun::searchlayouts()
{
    layout::LAYOUTSEARCH search(hdisk, sourcebytes);
    QElapsedTimer clock;
    clock.start();
    std::int64_t drawn = -1000;
    while (search.step()) {
        if (live && clock.elapsed() - drawn >= 200) {
            drawn = clock.elapsed();
            std::fprintf(stderr, "\r\033[Klayout search: %3llu%%",
                         static_cast<unsigned long long>(search.done() * 100 / std::max<std::uint64_t>(search.total(), 1)));
        }
    }
    if (live)
        std::fputs("\r\033[K", stderr);
    if (search.capped())
        say(QStringLiteral("layout search: more than %1 directory beginnings, the rest were passed over")
                .arg(layout::maxpairs));
    if (search.unreadbytes() != 0)
        say(QStringLiteral("layout search: %1 bytes could not be read").arg(search.unreadbytes()));
    std::vector<layout::FOUNDLAYOUT> found = search.layouts();
    say(QStringLiteral("layout search: %1 directory beginnings, %2 layouts, %3 s")
            .arg(search.pairsfound())
            .arg(found.size())
            .arg(double(clock.elapsed()) / 1000.0, 0, 'f', 2));
    return found;
}

bool RecoverRun::findlayout(const QString& source)
{
    if (!live)
        say(QStringLiteral("%1: no boot sector: searching the layout").arg(source));
    const std::vector<layout::FOUNDLAYOUT> found = searchlayouts();
    if (found.empty() || !layout::adoptlayout(*this, found.front())) {
        say(QStringLiteral("%1: not a FAT16 or FAT32 volume, and no layout found: fewer than %2 directory "
                           "beginnings agree on one")
                .arg(source)
                .arg(layout::minagree));
        return false;
    }
    otherlayouts.assign(found.begin() + 1, found.end());
    foundlayout = true;
    foundtype = found.front().fat32 ? QStringLiteral("FAT32 (found)") : QStringLiteral("FAT16 (found)");
    say(QStringLiteral("%1: layout found: %2").arg(source, found.front().describe()));
    if (found.size() > 1)
        say(QStringLiteral("%1: another layout (an earlier format) found too: %2").arg(source, found[1].describe()));
    return true;
}

int RecoverRun::listvolumes(const QString& source)
{
    QList<partitions::FATVOLUME> volumes;
    if (const int status = findvolumes(source, true, &volumes); status != exitok) {
        if (!nofatvolume)
            return status;
        warningcount = 0;
        initdisk(QStringLiteral("C:\\"));
        if (warningcount != 0 || !findlayout(source))
            return exitsource;
        std::fprintf(listout, "0\t0\t%llu\t%s\t\n", static_cast<unsigned long long>(sourcebytes),
                     qPrintable(foundtype));
        return exitok;
    }
    for (const partitions::FATVOLUME& volume : volumes)
        std::fprintf(listout, "%d\t%llu\t%llu\t%s\t%s\n", volume.source.partition,
                     static_cast<unsigned long long>(volume.source.offset),
                     static_cast<unsigned long long>(volume.source.size), qPrintable(fatname(volume.fstype)),
                     qPrintable(volume.label));
    return exitok;
}

void RecoverRun::progress(bool force)
{
    if (!force && stats.entries - lastprogress < 256)
        return;
    lastprogress = stats.entries;
    if (!live)
        return;
    std::fprintf(stderr, "\r\033[K%s: %llu entries, %llu files saved, %llu bytes",
                 collecting ? "collecting" : "saving", static_cast<unsigned long long>(stats.entries),
                 static_cast<unsigned long long>(stats.saved), static_cast<unsigned long long>(stats.bytes));
}

bool RecoverRun::runpasses()
{
    if (foundlayout) {
        // No table and no root to walk: the found directories are all
        // there is, every cluster free.
        claims.reset(bitmapsize * 8);
        deeprun = std::make_unique<deep::DEEPSCAN>(*this, claims);
        const std::vector<layout::FOUNDLAYOUT> others = otherlayouts;
        if (!others.empty())
            deeprun->foreign = [this, &others](std::uint64_t lcn) {
                return layout::insideearlierdirectory(*this, others.front(), lcn);
            };
        rundeep();
        for (const layout::FOUNDLAYOUT& earlier : others)
            runearlier(earlier);
        return true;
    }
    if (!beginrun()) {
        say(QStringLiteral("disk open error!"));
        return false;
    }
    paused = false;
    claims.reset(bitmapsize * 8);
    if (options.deep)
        deeprun = std::make_unique<deep::DEEPSCAN>(*this, claims);
    bool wascollecting = true;
    if (!live)
        say(QStringLiteral("collecting pass"));
    while (runactive()) {
        current.clear();
        scantick();
        if (deeprun && saving)
            deeprun->notewalk(curdir);
        if (wascollecting && !collecting) {
            wascollecting = false;
            if (!live && saving)
                say(listonly ? QStringLiteral("listing pass") : QStringLiteral("saving pass"));
        }
        progress(false);
    }
    current.clear();
    // Second chances need every deleted entry's start: after the walk.
    saver.finish();
    current.clear();
    if (live) {
        progress(true);
        std::fputs("\n", stderr);
    }
    if (deeprun) {
        // A reformat with another geometry left the earlier format's
        // directories where the current layout does not look: found first,
        // so that the deep scan leaves their pieces to them.
        std::optional<layout::FOUNDLAYOUT> earlier;
        for (const layout::FOUNDLAYOUT& found : searchlayouts())
            if (!layout::samelayout(*this, found)) {
                earlier = found;
                break;
            }
        if (earlier)
            deeprun->foreign = [this, &earlier](std::uint64_t lcn) {
                return layout::insideearlierdirectory(*this, *earlier, lcn);
            };
        rundeep();
        if (earlier)
            runearlier(*earlier);
    }
    return true;
}

void RecoverRun::runearlier(const layout::FOUNDLAYOUT& earlier)
{
    const std::vector<DATARUN> gone = layout::overwritten(*this, claims, earlier);
    if (!layout::adoptlayout(*this, earlier))
        return;
    setbitmap(gone);
    claims.reset(bitmapsize * 8);
    const QString tree = QStringLiteral("lost/earlier-layout-%1/").arg(earlier.sizename());
    say(QStringLiteral("earlier layout: %1; its files go to %2").arg(earlier.describe(), tree));
    deeprun = std::make_unique<deep::DEEPSCAN>(*this, claims);
    rundeep(tree);
}

void RecoverRun::deepprogress(std::uint64_t done, std::uint64_t total)
{
    const std::int64_t now = deepclock.elapsed();
    if (!live || (done < total && now - lastdeepdraw < 200))
        return;
    lastdeepdraw = now;
    const double seconds = double(std::max<std::int64_t>(now, 1)) / 1000.0;
    std::fprintf(stderr, "\r\033[Kdeep scan: %3llu%%, %llu of %llu clusters, %.0f clusters/s",
                 static_cast<unsigned long long>(total ? done * 100 / total : 100),
                 static_cast<unsigned long long>(done), static_cast<unsigned long long>(total),
                 double(deeprun->scannedclusters()) / seconds);
}

void RecoverRun::rundeep(const QString& tree)
{
    if (!live)
        say(QStringLiteral("deep scan"));
    deepclock.start();
    lastdeepdraw = -1000;
    deeprun->scan([this](std::uint64_t done, std::uint64_t total) { deepprogress(done, total); });
    if (live)
        std::fputs("\n", stderr);
    if (deeprun->capped())
        say(QStringLiteral("deep scan: too many directory clusters, the rest were passed over"));
    if (deeprun->walkcapped())
        say(QStringLiteral("deep scan: too many deleted folders in the walk, the rest were not noted"));
    deeprun->recover(
        [&](const deep::DEEPCANDIDATE& candidate) {
            current.clear();
            const QString subdir = tree.isEmpty() ? candidate.subdir : tree + candidate.subdir.mid(5);
            saver.save(candidate.file,
                       DIRSLOTS{candidate.slotbytes.get(), candidate.slotcount, candidate.slotindex},
                       subdir, candidate.keepshortname);
        },
        [&](const deep::DEEPCANDIDATE& candidate, const QString& reason) {
            // Lost clusters full of entries must not flood the terminal.
            if (deeprun->unsavedfiles() > unsavedlisted)
                return;
            const QString name = recoveredfilename(candidate.keepshortname ? candidate.file.namebytes()
                                                                           : recoveredname(candidate.file));
            const QString subdir = tree.isEmpty() ? candidate.subdir : tree + candidate.subdir.mid(5);
            say(QStringLiteral("deep scan: %1 not saved: %2").arg(subdir + name, reason));
        });
    saver.finish();
    current.clear();
    if (deeprun->shallowerfiles() != 0)
        say(QStringLiteral("deep scan: %1 files of folders more than %2 levels deep saved at that depth")
                .arg(deeprun->shallowerfiles())
                .arg(deep::DEEPSCAN::maxdepth));
    const std::uint64_t unsaved = deeprun->unsavedfiles();
    say(QStringLiteral("deep scan: %1 clusters read, %2 directory clusters found, %3 files not saved%4")
            .arg(deeprun->scannedclusters())
            .arg(deeprun->directoryclusters())
            .arg(unsaved)
            .arg(unsaved > unsavedlisted ? QStringLiteral(" (the first %1 named)").arg(unsavedlisted) : QString()));
    deeprun.reset();
}

int RecoverRun::recover(const QString& outdir)
{
    QString dir = QDir::toNativeSeparators(outdir);
    if (!dir.endsWith(QDir::separator()))
        dir += QDir::separator();
    if (platform::directoryonsource(dir, QLatin1Char('C'))) {
        say(QStringLiteral("Do not save recovered files on the same disk being recovered!"));
        return exitoutput;
    }
    if (!QDir(dir).exists() && !QDir().mkpath(dir)) {
        say(QStringLiteral("Can not create the directory to save the recovered files!"));
        return exitoutput;
    }
    recoverdir = dir;
    QElapsedTimer clock;
    clock.start();
    if (!runpasses())
        return exitsource;
    say(QStringLiteral("%1 files saved, %2 bytes, %3 failed (create %4, read %5, write %6), "
                       "%7 entries walked, %8 s%9")
            .arg(stats.saved)
            .arg(stats.bytes)
            .arg(stats.failures())
            .arg(stats.createfailed)
            .arg(stats.readfailed)
            .arg(stats.writefailed)
            .arg(stats.entries)
            .arg(double(clock.elapsed()) / 1000.0, 0, 'f', 2)
            .arg(verdictsummary()));
    return stats.failures() == 0 ? exitok : exitsavefailed;
}

int RecoverRun::list()
{
    listonly = true;
    const bool ran = runpasses();
    listonly = false;
    if (!ran)
        return exitsource;
    if (options.verify)
        say(QStringLiteral("%1 files listed%2").arg(saver.counts().verified + saver.counts().unchecked +
                                                    saver.counts().damaged)
                .arg(verdictsummary()));
    return exitok;
}
