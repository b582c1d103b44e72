// The two-pass recovery run, one walk entry per tick.
#include "model/kovcore.h"
#include "scan/recoveredname.h"

#include <QDir>
#include <QFile>

#include <cstdint>

namespace {

// One for the whole process: fallback names never repeat within it.
std::int32_t recoveredcounter = 0;

const char* const endofrun =
    "Recovery accomplished!\nThe first character of the name of recovered file is replaced with 'k' "
    "or 'ko' because it was erased when the file was deleted. You may change it back to the original "
    "one.\nFor files whose names were completely corrupted, they are saved as 'kovrecoveredxx'.\nNote "
    "that KOV does not guarantee to recover all the files correctly. Those deleted files whose disk "
    "space was re-written by other files can not be recovered correctly. You need to double-check the "
    "recovered files.";

}  // namespace

QString KOVCore::getrecoveredname() { return fallbackpath(recoverdir); }

QString KOVCore::fallbackpath(const QString& dir)
{
    // Never replace an earlier file; once the counter is spent there are
    // no more names rather than an overflow.
    return firstfreepath([&] {
        if (recoveredcounter == INT32_MAX)
            return QString();
        return dir + QStringLiteral("kovrecovered") + QString::number(recoveredcounter++);
    });
}

QString KOVCore::fallbackname(const platform::OUTFOLDER& folder)
{
    return firstfreename(
        [&] {
            if (recoveredcounter == INT32_MAX)
                return QString();
            return QStringLiteral("kovrecovered") + QString::number(recoveredcounter++);
        },
        [&](const QString& name) { return platform::namestate(folder, name); });
}

bool KOVCore::beginrun()
{
    if (!volumeready())
        return false;
    if (runactive())
        return true;
    collecting = true;
    saving = false;
    stats = RUNSTATS();
    freenames.clear();
    restartwalk();
    return true;
}

void KOVCore::restartwalk()
{
    entereddirs.clear();
    continuations.clear();
    continuationreads = 65536;
    // The FAT16 root lies outside the data area: its nominal cluster 2 is
    // some directory's real one.
    if (dbrparm.fstype == 1)
        entereddirs.insert(rootdir.startcluster);
}

void KOVCore::scantick()
{
    if (intick || !volumeready())
        return;
    intick = true;

    FILEPARM out;
    out.dialog = this;
    const int r = curdir.getnextfile(out, collecting ? 1 : 0);
    if (r == -2) {
        if (collecting) {
            collecting = false;
            saving = true;
            restartwalk();
            curfile = rootdir;
            curdir = rootdir;
        } else {
            collecting = false;
            saving = false;
            curfile = rootdir;
            curdir = rootdir;
            walkended();
        }
        intick = false;
        return;
    }
    curfile = out;
    ++stats.entries;

    // Backing up hands out a copy of the containing directory: it was
    // recorded when it was found, and recording its creation minute again
    // could take the slot of a later live file of that minute.
    if (collecting && r > 0) {
        setbitmap(curfile.dataruns);
        if (dbrparm.fstype == 1)
            recordminute(curfile.createtime, curfile.entryclusterhigh);
    } else if (saving && !curfile.isdir && curfile.deleted && curfile.size != 0) {
        savefound(curfile);
    }

    if (r == -1) {
        curdir = out;
    } else if (r > 0 && curfile.isdir && curfile.size != 0) {
        curfile.parent = std::make_shared<const FILEPARM>(curdir);
        // A directory that several entries share (cross-linked on a damaged
        // volume) is entered once per pass: entering it again at every one
        // would repeat its whole subtree, exponentially when nested. Every
        // ancestor was entered in this pass (the FAT32 root is put in the
        // set when the pass starts), so the set also answers the loop test
        // of detectloop, in constant time at any depth.
        if (entereddirs.insert(curfile.startcluster).second)
            curdir = curfile;
    }
    intick = false;
}

QString KOVCore::endofruntext() { return QString::fromLatin1(endofrun); }

void KOVCore::walkended()
{
    paused = true;
    setbuttontext(QStringLiteral("Recover"));
    showinformation(endofruntext());
}

void KOVCore::savefound(const FILEPARM& file)
{
    const QString name = recoveredfilename(recoveredname(file));
    setstatuslines(name, QStringLiteral("%1 bytes").arg(file.size),
                   QStringLiteral("modify time:") + fatfiletime2str(file.writetime));
    filefound(file, name);
    if (!listonly)
        savefile(file, recoverdir, name);
}

platform::OUTFOLDER KOVCore::outputfolder(const QString& dir)
{
    if (recoverdir.isEmpty() || !dir.startsWith(recoverdir))
        return platform::openoutput(dir);
    platform::OUTFOLDER folder = platform::openoutput(recoverdir);
    for (const QString& part : dir.mid(recoverdir.size()).split(QDir::separator(), Qt::SkipEmptyParts)) {
        platform::FOLDERENTRY met;
        const QString path = folder.path() + part;
        folder = platform::enterfolder(folder, part, false, &met);
        if (met == platform::FOLDERENTRY::link)
            showwarning(QStringLiteral("%1 is a symbolic link: nothing is saved through it.").arg(path));
        if (!folder.isopen())
            break;
    }
    return folder;
}

int KOVCore::savefile(const FILEPARM& file, const QString& dir, const QString& name, QString* written,
                      std::vector<badsectors::BYTESPAN>* unreadable, const std::function<QString()>& damagedfolder,
                      const std::function<void(const unsigned char*, std::size_t)>& wrote)
{
    std::vector<badsectors::BYTESPAN> holes;
    const platform::OUTFOLDER folder = outputfolder(dir);
    const auto test = [&](const QString& c) { return platform::namestate(folder, c); };
    // Written under a name of its own beside the one it gets when whole
    // (NAME.part, NAME.part(1) ...), so that a file cut short by a full
    // disk, a stop or a crash never stands under a recovered file's name.
    QString part;
    const auto save = [&](const QString& chosen) {
        if (chosen.isEmpty())
            return 1;
        // A name at the output's length limit has no room for ".part".
        const QString base = platform::namefits(chosen + QStringLiteral(".part"), 4)
                                 ? chosen + QStringLiteral(".part")
                                 : QStringLiteral("kovrecovering.part");
        int n = 0;
        part = firstfreename([&] { return numberedname(base, n++); }, test);
        holes.clear();
        return part.isEmpty() ? 1 : file.saveas(diskparm, folder, part, &holes, wrote);
    };
    QString chosen = freenames.pick(dir, name, test);
    int result = save(chosen);
    if (result == 1) {
        chosen = fallbackname(folder);
        result = save(chosen);
    }
    if (result == 0) {
        // The entry's last-write time (local, as FAT keeps it; exFAT's to
        // the 10 ms in UTC), set before the rename, which keeps it; an
        // invalid stamp leaves the file's own time.
        if (file.modifiedms) {
            const std::int64_t ms = *file.modifiedms;
            const std::int64_t seconds = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
            platform::setmodificationtime(folder, part, seconds, std::int32_t(ms - seconds * 1000) * 1000000);
        } else if (const auto when = minuteclock.utcseconds(std::uint16_t(file.writetime >> 32),
                                                     std::uint16_t(file.writetime)))
            platform::setmodificationtime(folder, part, *when);
    }
    const bool damaged = result == 2 || (result == 0 && !holes.empty());
    QString finaldir = dir;
    platform::OUTFOLDER apart;
    const platform::OUTFOLDER* to = &folder;
    if (damaged) {
        // Zeros where the card gave nothing, or cut short: set apart.
        finaldir = damagedfolder ? damagedfolder() : QString();
        if (finaldir.isEmpty()) {
            platform::FOLDERENTRY met;
            apart = platform::enterfolder(folder, QStringLiteral("damaged"), true, &met);
            finaldir = dir + QStringLiteral("damaged") + QDir::separator();
        } else {
            apart = outputfolder(finaldir);
        }
        if (apart.isopen()) {
            to = &apart;
            chosen = freenames.pick(finaldir, name, [&](const QString& c) { return platform::namestate(apart, c); });
        } else {
            finaldir = dir;
        }
    }
    if (result == 0 || result == 2) {
        // Whole, or all a failing card gives of it: under its name, never
        // replacing one that appeared meanwhile.
        const auto intest = [&](const QString& c) { return platform::namestate(*to, c); };
        bool named = !chosen.isEmpty() && platform::movefile(folder, part, *to, chosen);
        for (int tries = 0; !named && tries < 3; ++tries) {
            chosen = tries < 2 ? freenames.pick(finaldir, name, intest) : fallbackname(*to);
            named = !chosen.isEmpty() && platform::movefile(folder, part, *to, chosen);
        }
        if (!named) {
            chosen = part;
            finaldir = dir;
            showwarning(QStringLiteral("Can not give %1 its name: it stays as %2.").arg(dir + name, dir + part));
        }
    } else if (result != 1) {
        // A write that failed or was stopped leaves nothing behind.
        if (!platform::removefile(folder, part))
            showwarning(QStringLiteral("Can not remove the unfinished %1.").arg(dir + part));
        chosen.clear();
    }
    const QString path = chosen.isEmpty() || result == 1 ? QString() : finaldir + chosen;
    if (result == 0 && !holes.empty())
        ++stats.unreadablefiles;
    if (unreadable)
        *unreadable = holes;
    if (written)
        *written = path;
    switch (result) {
    case 0:
        ++stats.saved;
        stats.bytes += file.size;
        break;
    case 1:
        ++stats.createfailed;
        showwarning(QStringLiteral("Can not create recovered file."));
        break;
    case 2:
        ++stats.readfailed;
        showwarning(QStringLiteral("Can not read file."));
        break;
    case 3:
        ++stats.writefailed;
        showwarning(QStringLiteral("Can not write file. Please check if the disk is full."));
        break;
    default:
        // Stopped: neither saved nor failed; the front end that stopped
        // the run says so.
        break;
    }
    return result;
}
