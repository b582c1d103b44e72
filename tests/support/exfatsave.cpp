#include "support/exfatsave.h"

#include "run/opensource.h"
#include "run/run.h"

#include <QDir>

namespace testsupport {

namespace {

class Recording : public RUNEVENTS {
public:
    explicit Recording(ExfatOutcome& into, const QString& dir) : o(into), outdir(dir) {}
    void showwarning(const QString& text) override { warnings.append(text); }
    void showinformation(const QString&) override {}
    void addvolumeitem(const platform::VolumeSource&) override {}
    void setstatuslines(const QString&, const QString&, const QString&) override {}
    void setbuttontext(const QString&) override {}
    void filesettled(const FILEPARM&, const SAVERECORD& r) override
    {
        const exfat::REBUILD how = r.nofatchain.value_or(false) ? exfat::REBUILD::contiguous
                                   : r.chainheld.value_or(false) ? exfat::REBUILD::chain
                                                                 : exfat::REBUILD::freeclusters;
        o.files.append(ExfatRecord{r.name, how, r});
        if (!outdir.isEmpty() && r.status != 0)
            ++o.failed;
        o.paths.append(outdir.isEmpty() || r.path.isEmpty() ? QString() : QDir(outdir).relativeFilePath(r.path));
    }
    QStringList warnings;

private:
    ExfatOutcome& o;
    QString outdir;
};

}  // namespace

ExfatOutcome exfatrecover(const QString& image, const QString& outdir, bool deep)
{
    ExfatOutcome o;
    if (!outdir.isEmpty() && !QDir().mkpath(outdir)) {
        o.error = QStringLiteral("cannot make %1").arg(outdir);
        return o;
    }
    Recording events(o, outdir);
    RUN run(events);
    platform::setblockdevicesenabled(false);
    platform::setimagefiles({image});
    if (run.engine().getallvol() != 1 ||
        ::openvolume(run.engine(), QStringLiteral("C:\\"), 4u) != VOLUMEOPENED::exfat) {
        o.error = QStringLiteral("no exFAT volume in %1 %2").arg(image, events.warnings.join(QLatin1Char(' ')));
        return o;
    }
    RUNOPTIONS options;
    options.deep = deep;
    run.setoptions(options);
    run.setlistonly(outdir.isEmpty());
    run.setrecoverdir(outdir.isEmpty() ? QDir::tempPath() + '/' : QDir(outdir).absolutePath() + '/');
    if (!run.startrun()) {
        o.error = run.startfailure().isEmpty() ? QStringLiteral("the run did not start") : run.startfailure();
        return o;
    }
    while (run.rununderway())
        run.step();
    const RUNREPORT r = run.report();
    o.notes = r.exfatnotes;
    o.counts = r.exfatwalk;
    o.deepclusters = r.scannedclusters;
    return o;
}

}  // namespace testsupport
