#include "support/recordingcore.h"

namespace testsupport {

void RecordingCore::openimage(const QString& path)
{
    platform::setblockdevicesenabled(false);
    platform::setimagefiles({path});
    platform::volumesources();
    initdisk(QStringLiteral("C:\\"));
}

long RecordingCore::runtoend(const QString& outdir, long maxticks)
{
    recoverdir = outdir.endsWith('/') ? outdir : outdir + '/';
    paused = false;
    beginrun();
    for (long ticks = 1; ticks <= maxticks; ++ticks) {
        scantick();
        if (!runactive())
            return ticks;
    }
    return -1;
}

}  // namespace testsupport
