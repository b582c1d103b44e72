#include "support/wholerun.h"

#include "run/opensource.h"
#include "run/run.h"
#include "support/mtoolsimage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

namespace testsupport {

namespace {

// What the window would have shown, its end told as the window tells it.
class RecordingEvents : public RUNEVENTS {
public:
    RUN* run = nullptr;
    QStringList warnings;
    QStringList informations;
    void showwarning(const QString& text) override { warnings.append(text); }
    void showinformation(const QString& text) override { informations.append(text); }
    void addvolumeitem(const platform::VolumeSource&) override {}
    void setstatuslines(const QString&, const QString&, const QString&) override {}
    void setbuttontext(const QString&) override {}
    void runended() override { run->tellend(); }
};

}  // namespace

QMap<QString, QByteArray> outputfiles(const QString& dir)
{
    QMap<QString, QByteArray> files;
    for (const QFileInfo& f :
         QDir(dir).entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot)) {
        QFile file(f.filePath());
        const bool plain = f.isFile() && !f.isSymLink() && file.open(QIODevice::ReadOnly);
        files.insert(f.fileName(), plain ? file.readAll() : QByteArray("<not a file>"));
    }
    return files;
}

RunOutcome wholerun(const QString& image, const QString& out, const std::function<void(const KOVCore&)>& opened)
{
    RunOutcome o;
    const QByteArray before = sha256(image);
    if (before.isNull() || !QDir().mkpath(out)) {
        ADD_FAILURE() << "cannot set up the run of " << qPrintable(image);
        return o;
    }
    RecordingEvents events;
    RUN run(events);
    events.run = &run;
    platform::setblockdevicesenabled(false);
    platform::setimagefiles({image});
    o.listed = run.engine().getallvol() == 1;
    if (o.listed) {
        ::openvolume(run.engine(), QStringLiteral("C:\\"), std::nullopt);
        if (opened)
            opened(run.engine());
        run.setrecoverdir(out.endsWith('/') ? out : out + '/');
        if (run.startrun()) {
            run.setpaused(false);
            for (long steps = 1; steps <= wholeruntickcap && run.rununderway(); ++steps) {
                run.step();
                if (!run.rununderway())
                    o.ticks = steps;
            }
        } else {
            o.ticks = 0;
        }
    }
    o.warnings = events.warnings;
    o.informations = events.informations;
    o.stats = run.stats();
    o.files = outputfiles(out);
    EXPECT_EQ(sha256(image), before) << "the source image was written";
    return o;
}

void expectended(const RunOutcome& o)
{
    ASSERT_TRUE(o.listed) << "the volume was not listed";
    EXPECT_GE(o.ticks, 0) << "the run did not end";
    ASSERT_EQ(o.informations.size(), 1);
    EXPECT_TRUE(o.informations[0].startsWith("Recovery accomplished!"));
}

}  // namespace testsupport
