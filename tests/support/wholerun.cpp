#include "support/wholerun.h"

#include "support/mtoolsimage.h"
#include "support/recordingcore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

namespace testsupport {

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
    RecordingCore core;
    platform::setblockdevicesenabled(false);
    platform::setimagefiles({image});
    o.listed = core.getallvol() == 1;
    if (o.listed) {
        core.initdisk(QStringLiteral("C:\\"));
        if (opened)
            opened(core);
        o.ticks = core.runtoend(out, wholeruntickcap);
    }
    o.warnings = core.warnings;
    o.informations = core.informations;
    o.stats = core.stats;
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
