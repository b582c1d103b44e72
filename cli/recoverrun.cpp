#include "cli/recoverrun.h"

#include "layout/layoutsearch.h"
#include "partitions/partitiontable.h"
#include "platform/stopsignals.h"
#include "run/opensource.h"
#include "run/outputcheck.h"
#include "run/runimage.h"
#include "scan/recoveredname.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>

#include <algorithm>

#include <unistd.h>

namespace {

void say(const QString& text) { std::fprintf(stderr, "kov-recover: %s\n", qPrintable(text)); }

// Deep-scan files that cannot be saved named one a line, at most.
constexpr std::uint64_t unsavedlisted = 1000;

QString fatname(std::uint32_t fstype)
{
    const QString name = KOVCore::fstypename(fstype);
    return name.isEmpty() ? QStringLiteral("FAT16") : name;
}

}  // namespace

RecoverRun::RecoverRun(std::FILE* out, const RECOVEROPTIONS& chosen)
    : run(*this, RUNOPTIONS{chosen.deep, chosen.verify, chosen.originalnames, chosen.carve, chosen.retries}),
      listout(out),
      options(chosen),
      live(isatty(STDERR_FILENO) != 0)
{
}

RecoverRun::~RecoverRun() = default;

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

void RecoverRun::filesettled(const FILEPARM& file, const SAVERECORD& record)
{
    if (record.status == 4)
        unfinished = record.subdir + record.name;
    if (record.startbycontent && !options.json)
        say(QStringLiteral("%1: start cluster %2 chosen by content (estimate %3)")
                .arg(record.path.isEmpty() ? record.name : record.path)
                .arg(file.startcluster)
                .arg(record.estimatedstart));
    if (!record.unreadable.empty()) {
        QStringList spans;
        for (const badsectors::BYTESPAN& b : record.unreadable)
            spans << QStringLiteral("%1-%2").arg(b.offset).arg(b.offset + b.length - 1);
        say(QStringLiteral("%1: unreadable bytes %2 (zeros)")
                .arg(record.path.isEmpty() ? record.name : record.path, spans.join(QStringLiteral(", "))));
    }
    if (!run.listonly())
        return;
    if (options.json) {
        const QByteArray line = QJsonDocument(FileSaver::json(file, record)).toJson(QJsonDocument::Compact);
        std::fprintf(listout, "%s\n", line.constData());
        return;
    }
    // exFAT adds whether the file is contiguous (NoFatChain) or chained.
    std::fprintf(listout, "%s\t%llu\t%s\t%u\t%zu%s%s%s\n", qPrintable(record.subdir + record.name),
                 static_cast<unsigned long long>(file.size), qPrintable(KOVCore::fatfiletime2str(file.writetime)),
                 file.startcluster, file.dataruns.size(),
                 !record.nofatchain ? "" : *record.nofatchain ? "\tnofatchain" : "\tfatchain",
                 record.verdict ? "\t" : "",
                 record.verdict ? qPrintable(verify::verdictname(*record.verdict)) : "");
}

int RecoverRun::findvolumes(const QString& source, bool several, QList<partitions::FATVOLUME>* out)
{
    const SOURCEVOLUMES found = ::findvolumes(run.engine(), source, several);
    const QString& path = found.name.path;
    sourcepath = path;
    for (const QString& note : found.notes)
        say(note);
    nofatvolume = found.layoutless();
    switch (found.fault) {
    case SOURCEFAULT::none:
        *out = found.volumes;
        return exitok;
    case SOURCEFAULT::unopened:
        say(QStringLiteral("%1: disk open error! (%2)").arg(source, sourcereason(found.why)));
        return exitsource;
    case SOURCEFAULT::unreadable:
        if (found.bootunread)
            say(QStringLiteral("%1: get disk geometry error (its boot sector, sector 0, cannot be read: image the card "
                               "with ddrescue and run on the image with --deep)")
                    .arg(source));
        else
            say(found.why.isEmpty() ? QStringLiteral("%1: get disk geometry error").arg(source)
                                    : QStringLiteral("%1: not a volume: %2").arg(source, found.why));
        return exitsource;
    case SOURCEFAULT::nopartitions:
        say(QStringLiteral("%1: a bare volume without partitions has no partition %2")
                .arg(path)
                .arg(found.name.partition));
        return exitsource;
    case SOURCEFAULT::nosuchpartition:
        say(QStringLiteral("%1: partition %2 is not a FAT12, FAT16, FAT32 or exFAT volume")
                .arg(path)
                .arg(found.name.partition));
        return exitsource;
    case SOURCEFAULT::otherfilesystem:
        nofatwhy = found.why + QStringLiteral(" volume");
        say(QStringLiteral("%1: %2 volume: kov-recover reads FAT12, FAT16, FAT32 and exFAT").arg(source, found.why));
        return exitsource;
    case SOURCEFAULT::nofatvolume:
        nofatwhy = found.bootsector ? QStringLiteral("its boot sector lays out none") : QStringLiteral("no boot sector");
        if (!options.deep && !options.listvolumes)
            say(QStringLiteral("%1: not a FAT12, FAT16, FAT32 or exFAT volume (%2); --deep may find its "
                               "layout from its directories")
                    .arg(source, nofatwhy));
        return exitsource;
    case SOURCEFAULT::several:
        say(QStringLiteral("%1 holds %2 volumes; name one as %1:N:").arg(path).arg(found.volumes.size()));
        for (const partitions::FATVOLUME& volume : found.volumes)
            std::fprintf(stderr, "  %s:%d\t%s\t%llu bytes\t%s\n", qPrintable(path), volume.source.partition,
                         qPrintable(fatname(volume.fstype)), static_cast<unsigned long long>(volume.source.size),
                         qPrintable(volume.label));
        return exitsource;
    }
    return exitsource;
}

int RecoverRun::opensource(const QString& source)
{
    QList<partitions::FATVOLUME> volumes;
    if (const int status = findvolumes(source, false, &volumes); status != exitok) {
        if (!nofatvolume || !options.deep)
            return status;
        // The whole source, as findvolumes lettered it: no FAT volume (3).
        warningcount = 0;
        ::openvolume(run.engine(), QStringLiteral("C:\\"), 3u);
        return warningcount == 0 && findlayout(source) ? exitok : exitsource;
    }
    const partitions::FATVOLUME chosen = volumes.value(0);
    if (chosen.source.partition != 0 && splitsource(source).partition == 0)
        say(QStringLiteral("%1: using partition %2, the one volume inside").arg(source).arg(chosen.source.partition));
    platform::assignletters({chosen.source});
    warningcount = 0;
    if (::openvolume(run.engine(), QStringLiteral("C:\\"), chosen.fstype) == VOLUMEOPENED::exfat)
        return exitok;
    for (const QString& note : std::as_const(run.engine().volumenotes))
        say(QStringLiteral("%1: %2").arg(source, note));
    return warningcount == 0 ? exitok : exitsource;
}

QString RecoverRun::sourcereason(const QString& why) const
{
    if (why.isEmpty())
        return QStringLiteral("it could not be opened");
    // The one case the user can mend at once.
    return why == platform::deniedreason() ? why + QStringLiteral("; run with sudo") : why;
}

void RecoverRun::layoutssearched(const layout::LAYOUTSEARCH& search, const std::vector<layout::FOUNDLAYOUT>& found)
{
    if (live)
        std::fputs("\r\033[K", stderr);
    if (search.capped())
        say(QStringLiteral("layout search: more than %1 directory beginnings, the rest were passed over")
                .arg(layout::maxpairs));
    if (search.unreadbytes() != 0)
        say(QStringLiteral("layout search: %1 bytes could not be read").arg(search.unreadbytes()));
    say(QStringLiteral("layout search: %1 directory beginnings, %2 layouts, %3 s")
            .arg(search.pairsfound())
            .arg(found.size())
            .arg(double(layoutclock.elapsed()) / 1000.0, 0, 'f', 2));
}

void RecoverRun::layoutprogress(const layout::LAYOUTSEARCH& search)
{
    if (!live || layoutclock.elapsed() - lastlayoutdraw < 200)
        return;
    lastlayoutdraw = layoutclock.elapsed();
    std::fprintf(stderr, "\r\033[Klayout search: %3llu%%",
                 static_cast<unsigned long long>(search.done() * 100 / std::max<std::uint64_t>(search.total(), 1)));
}

void RecoverRun::earlierbegun(const layout::FOUNDLAYOUT& earlier, const QString& tree)
{
    say(QStringLiteral("earlier layout: %1; its files go to %2").arg(earlier.describe(), tree));
}

bool RecoverRun::findlayout(const QString& source)
{
    if (!live)
        say(QStringLiteral("%1: %2: searching the layout").arg(source, nofatwhy));
    layout::LAYOUTSEARCH search(run.engine().hdisk, run.engine().sourcebytes);
    layoutclock.start();
    lastlayoutdraw = -1000;
    const std::vector<layout::FOUNDLAYOUT> found = *runlayoutsearch(search, [this](const layout::LAYOUTSEARCH& at) {
        layoutprogress(at);
        return true;
    });
    layoutssearched(search, found);
    if (!takefoundlayout(run.engine(), found)) {
        say(QStringLiteral("%1: not a FAT12, FAT16 or FAT32 volume, and no layout found: fewer than %2 directory "
                           "beginnings agree on one")
                .arg(source)
                .arg(layout::minagree));
        return false;
    }
    nowalk = true;
    foundtype = found.front().fattype() + QStringLiteral(" (found)");
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
        ::openvolume(run.engine(), QStringLiteral("C:\\"), 3u);
        if (warningcount != 0 || !findlayout(source))
            return exitsource;
        std::fprintf(listout, "0\t0\t%llu\t%s\t\n", static_cast<unsigned long long>(run.engine().sourcebytes),
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
    const RUNSTATS& stats = run.stats();
    if (!force && stats.entries - lastprogress < 256)
        return;
    lastprogress = stats.entries;
    if (!live)
        return;
    std::fprintf(stderr, "\r\033[K%s: %llu entries, %llu files saved, %llu bytes",
                 run.collecting() ? "collecting" : "saving", static_cast<unsigned long long>(stats.entries),
                 static_cast<unsigned long long>(stats.saved), static_cast<unsigned long long>(stats.bytes));
}

void RecoverRun::newunit() { current.clear(); }

bool RecoverRun::runall()
{
    if (!run.startrun()) {
        say(run.startfailure().isEmpty() ? QStringLiteral("disk open error!") : run.startfailure());
        return false;
    }
    run.setpaused(false);
    progressended = false;
    stopsignal = 0;
    unfinished.clear();
    if (!live && run.phase() == RUNPHASE::collecting)
        say(QStringLiteral("collecting pass"));
    platform::catchstopsignals();
    while (run.rununderway()) {
        if ((stopsignal = platform::stopsignal()) != 0) {
            run.abandonrun();
            break;
        }
        const RUNPHASE was = run.phase();
        run.step();
        // A phase that has just ended has told its end: no line after it.
        if (was == RUNPHASE::collecting || was == RUNPHASE::saving)
            progress(false);
        else if (was == run.phase() &&
                 (was == RUNPHASE::layoutsearch || was == RUNPHASE::deepscan || was == RUNPHASE::carving))
            runprogress(was == RUNPHASE::layoutsearch ? "layout search"
                        : was == RUNPHASE::deepscan   ? "deep scan"
                                                      : "carving");
    }
    // A signal during the last step ends nothing more.
    if (stopsignal == 0)
        stopsignal = platform::stopsignal();
    platform::releasestopsignals();
    return true;
}

int RecoverRun::stopped(const QString& done)
{
    if (live)
        std::fputs("\n", stderr);
    say(QStringLiteral("stopped by %1: %2%3")
            .arg(QLatin1String(platform::stopsignalname(stopsignal)), done,
                 unfinished.isEmpty() ? QString()
                                      : QStringLiteral("; %1 was being written and is removed").arg(unfinished)));
    return exitstopped + stopsignal;
}

void RecoverRun::advise(const RUNREPORT& r)
{
    const QString advice = r.optionadvice();
    if (!advice.isEmpty())
        say(advice);
}

void RecoverRun::endprogress()
{
    // Once a run, and never for a volume laid out from its directories,
    // which has no walk.
    if (progressended || nowalk)
        return;
    progressended = true;
    if (live) {
        progress(true);
        std::fputs("\n", stderr);
    }
}

void RecoverRun::phasebegun(RUNPHASE phase)
{
    switch (phase) {
    case RUNPHASE::saving:
        if (!live)
            say(run.listonly() ? QStringLiteral("listing pass") : QStringLiteral("saving pass"));
        break;
    case RUNPHASE::layoutsearch:
        endprogress();
        if (!live)
            say(QStringLiteral("layout search"));
        layoutclock.start();
        deepclock.start();
        lastdeepdraw = -1000;
        break;
    case RUNPHASE::deepscan:
        endprogress();
        if (!live)
            say(QStringLiteral("deep scan"));
        // The layout search's pairs are noted in the deep scan's read.
        layoutclock.start();
        deepclock.start();
        lastdeepdraw = -1000;
        break;
    case RUNPHASE::carving:
        endprogress();
        // A run that went on to an earlier layout carves each layout into its own tree.
        if (!live)
            say(run.relaidout() ? QStringLiteral("carving into %1").arg(run.carvingtree()) : QStringLiteral("carving"));
        deepclock.start();
        lastdeepdraw = -1000;
        break;
    case RUNPHASE::lostfiles:
        if (live)
            std::fputs("\n", stderr);
        if (!run.deepscan())
            break;
        if (run.deepscan()->capped())
            say(QStringLiteral("deep scan: too many directory clusters, the rest were passed over"));
        if (run.deepscan()->walkcapped())
            say(QStringLiteral("deep scan: too many deleted folders in the walk, the rest were not noted"));
        break;
    default:
        break;
    }
}

void RecoverRun::lostnotsaved(const deep::DEEPCANDIDATE& candidate, const QString& reason)
{
    // Lost clusters full of entries must not flood the terminal.
    if (run.deepscan()->unsavedfiles() > unsavedlisted)
        return;
    const QString name =
        recoveredfilename(candidate.keepshortname ? candidate.file.namebytes() : recoveredname(candidate.file));
    say(QStringLiteral("deep scan: %1 not saved: %2").arg(candidate.subdir + name, reason));
}

void RecoverRun::imagingstopped(const QString& why)
{
    if (live)
        std::fputs("\r\033[K", stderr);
    say(imagingstoppedtext(options.image, why));
}

void RecoverRun::runended()
{
    const RUNREPORT r = run.report();
    rundeepended(r);
    if (r.options.carve) {
        if (live)
            std::fputs("\n", stderr);
        say(r.carvesummary());
    }
}

void RecoverRun::rundeepended(const RUNREPORT& r)
{
    if (r.exfat) {
        if (!r.options.deep)
            endprogress();
        // What was passed over or mended, and why files were not recovered.
        for (const QString& note : r.exfatnotes)
            say(note);
        if (r.options.deep)
            say(QStringLiteral("deep scan: %1 clusters read, %2 entry sets found, %3 files not saved")
                    .arg(r.scannedclusters)
                    .arg(r.directoryclusters)
                    .arg(r.unsavedlost));
        return;
    }
    if (!r.options.deep) {
        endprogress();
        return;
    }
    if (r.shallower != 0)
        say(QStringLiteral("deep scan: %1 files of folders more than %2 levels deep saved at that depth")
                .arg(r.shallower)
                .arg(deep::DEEPSCAN::maxdepth));
    say(QStringLiteral("deep scan: %1 clusters read, %2 directory clusters found, %3 files not saved%4")
            .arg(r.scannedclusters)
            .arg(r.directoryclusters)
            .arg(r.unsavedlost)
            .arg(r.unsavedlost > unsavedlisted ? QStringLiteral(" (the first %1 named)").arg(unsavedlisted)
                                               : QString()));
}

void RecoverRun::runprogress(const char* what)
{
    const RUNPROGRESS at = run.progress();
    const std::int64_t now = deepclock.elapsed();
    if (!live || (at.now.done < at.now.total && now - lastdeepdraw < 200))
        return;
    lastdeepdraw = now;
    std::fprintf(stderr, "\r\033[K%s: %s", what, qPrintable(at.words()));
}

int RecoverRun::recover(const QString& outdir)
{
    const OUTPUTCHECK checked = checkoutput(outdir, QLatin1Char('C'), sourcepath, true);
    const QString& dir = checked.dir;
    switch (checked.fault) {
    case OUTPUTFAULT::none:
        break;
    case OUTPUTFAULT::sourceitself:
        say(QStringLiteral("%1 is the source itself: name a directory on another disk for the recovered files")
                .arg(outdir));
        return exitoutput;
    case OUTPUTFAULT::onsource:
        say(QStringLiteral("Do not save recovered files on the same disk being recovered!"));
        return exitoutput;
    case OUTPUTFAULT::notcreated:
        say(QStringLiteral("Can not create the directory to save the recovered files! (%1)").arg(checked.why));
        return exitoutput;
    case OUTPUTFAULT::notwritable:
        // One message before the walk, not one per file.
        say(QStringLiteral("Can not create recovered files in %1: %2").arg(dir, checked.why));
        return exitoutput;
    }
    run.setrecoverdir(dir);
    QElapsedTimer clock;
    clock.start();
    if (!runall())
        return exitsource;
    const RUNREPORT r = run.report();
    const QString summary = r.summary(double(clock.elapsed()) / 1000.0);
    if (stopsignal != 0)
        return stopped(QStringLiteral("%1 (whole, in %2)").arg(summary, dir));
    say(summary);
    if (!r.unreadablemap.isEmpty())
        say(QStringLiteral("The sectors read and those that could not be read: %1 (a GNU ddrescue mapfile)")
                .arg(r.unreadablemap));
    advise(r);
    return run.stats().failures() == 0 ? exitok : exitsavefailed;
}

int RecoverRun::list()
{
    run.setlistonly(true);
    const bool ran = runall();
    run.setlistonly(false);
    if (!ran)
        return exitsource;
    const RUNREPORT r = run.report();
    if (stopsignal != 0)
        return stopped(QStringLiteral("%1 files listed").arg(r.settled));
    if (options.verify)
        say(QStringLiteral("%1 files listed%2")
                .arg(r.verdicts.verified + r.verdicts.unchecked + r.verdicts.damaged + r.verdicts.plausible)
                .arg(r.verdictsummary()));
    advise(r);
    return exitok;
}
