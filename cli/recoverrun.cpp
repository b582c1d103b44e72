#include "cli/recoverrun.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>

#include <unistd.h>

namespace {

void say(const QString& text) { std::fprintf(stderr, "kov-recover: %s\n", qPrintable(text)); }

}  // namespace

RecoverRun::RecoverRun(std::FILE* out) : listout(out), live(isatty(STDERR_FILENO) != 0) {}

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

void RecoverRun::setstatuslines(const QString&, const QString&, const QString&) {}

void RecoverRun::setbuttontext(const QString&) {}

void RecoverRun::filefound(const FILEPARM& file, const QString& recoveredname)
{
    current = recoveredname;
    if (!listonly)
        return;
    std::fprintf(listout, "%s\t%llu\t%s\t%u\t%zu\n", qPrintable(recoveredname),
                 static_cast<unsigned long long>(file.size), qPrintable(fatfiletime2str(file.writetime)),
                 file.startcluster, file.dataruns.size());
}

int RecoverRun::opensource(const QString& source)
{
    platform::setblockdevicesenabled(false);
    platform::setimagefiles({source});
    platform::volumesources();
    unsigned char* boot = nullptr;
    const int status = readdbr("C:\\", boot);
    if (status == 1) {
        say(QStringLiteral("%1: disk open error!").arg(source));
        return exitsource;
    }
    if (status != 0) {
        say(QStringLiteral("%1: get disk geometry error").arg(source));
        return exitsource;
    }
    const std::uint32_t type = classifydbr(boot);
    delete[] boot;
    if (type != 1 && type != 2) {
        say(QStringLiteral("%1: not a FAT16 or FAT32 volume").arg(source));
        return exitsource;
    }
    warningcount = 0;
    initdisk(QStringLiteral("C:\\"));
    return warningcount == 0 ? exitok : exitsource;
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
    if (!beginrun()) {
        say(QStringLiteral("disk open error!"));
        return false;
    }
    paused = false;
    bool wascollecting = true;
    if (!live)
        say(QStringLiteral("collecting pass"));
    while (runactive()) {
        current.clear();
        scantick();
        if (wascollecting && !collecting) {
            wascollecting = false;
            if (!live && saving)
                say(listonly ? QStringLiteral("listing pass") : QStringLiteral("saving pass"));
        }
        progress(false);
    }
    current.clear();
    if (live) {
        progress(true);
        std::fputs("\n", stderr);
    }
    return true;
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
                       "%7 entries walked, %8 s")
            .arg(stats.saved)
            .arg(stats.bytes)
            .arg(stats.failures())
            .arg(stats.createfailed)
            .arg(stats.readfailed)
            .arg(stats.writefailed)
            .arg(stats.entries)
            .arg(double(clock.elapsed()) / 1000.0, 0, 'f', 2));
    return stats.failures() == 0 ? exitok : exitsavefailed;
}

int RecoverRun::list()
{
    listonly = true;
    const bool ran = runpasses();
    listonly = false;
    return ran ? exitok : exitsource;
}
