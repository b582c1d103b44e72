#include "run/opensource.h"

#include "exfat/exfatrun.h"
#include "layout/adopt.h"
#include "partitions/filesystemname.h"
#include "run/runengine.h"

#include <QFileInfo>
#include <QRegularExpression>

#include <cstring>

SOURCENAME splitsource(const QString& source)
{
    static const QRegularExpression form(QStringLiteral("^(.+):([0-9]{1,9})$"));
    const QRegularExpressionMatch match = form.match(source);
    if (QFileInfo::exists(source) || !match.hasMatch() || match.captured(2).toInt() == 0)
        return {source, 0};
    return {match.captured(1), match.captured(2).toInt()};
}

SOURCEVOLUMES findvolumes(KOVCore& core, const QString& source, bool several)
{
    SOURCEVOLUMES r;
    r.name = splitsource(source);
    const QString& path = r.name.path;
    platform::setblockdevicesenabled(false);
    platform::setimagefiles({path});
    const platform::VolumeSource whole = platform::rawsources().value(0);
    platform::assignletters({whole});
    unsigned char* boot = nullptr;
    std::uint64_t backup = 0;
    const int status = core.readdbr("C:\\", boot, &backup);
    if (status != 0) {
        // A directory or a file too short for a boot sector opens, and
        // fails its first read.
        r.fault = status == 1 ? SOURCEFAULT::unopened : SOURCEFAULT::unreadable;
        r.why = platform::sourceproblem(path);
        r.bootunread = status == 3 && r.why.isEmpty();
        return r;
    }
    const std::uint32_t type = KOVCore::classifydbr(boot);
    // A boot signature, or a FAT label, says a boot sector is there even
    // when its fields lay out no volume.
    r.bootsector = (boot[510] == 0x55 && boot[511] == 0xAA) || std::memcmp(boot + 54, "FAT", 3) == 0 ||
                   std::memcmp(boot + 82, "FAT", 3) == 0;
    // The label of a backup boot sector: sector 0 holds none.
    const QString backuplabel = QString::fromLatin1(reinterpret_cast<const char*>(boot) + 71, 11).trimmed();
    delete[] boot;
    if (partitions::recoverabletype(type)) {
        if (r.name.partition != 0) {
            r.fault = SOURCEFAULT::nopartitions;
            return r;
        }
        partitions::FATVOLUME volume;
        volume.source = whole;
        volume.fstype = type;
        if (backup == 0)
            volume.fstype = partitions::classifysource(whole, KOVCore::classifydbr, &volume.label);
        else
            volume.label = backuplabel;
        if (volume.fstype == 4)
            volume.label = exfat::volumelabel(whole);
        r.volumes.append(volume);
        return r;
    }
    QList<partitions::FATVOLUME> inside = partitions::fatvolumes(whole, KOVCore::classifydbr, &r.notes);
    for (partitions::FATVOLUME& volume : inside)
        if (volume.fstype == 4)
            volume.label = exfat::volumelabel(volume.source);
    if (r.name.partition != 0) {
        for (const partitions::FATVOLUME& volume : inside)
            if (volume.source.partition == r.name.partition)
                r.volumes.append(volume);
        if (r.volumes.isEmpty())
            r.fault = SOURCEFAULT::nosuchpartition;
        return r;
    }
    if (inside.isEmpty()) {
        // A table's partitions were named in the notes.
        r.why = partitions::readtable(whole).type.isEmpty() ? partitions::filesystemname(whole) : QString();
        r.fault = r.why.isEmpty() ? SOURCEFAULT::nofatvolume : SOURCEFAULT::otherfilesystem;
        return r;
    }
    r.volumes = inside;
    if (inside.size() > 1 && !several)
        r.fault = SOURCEFAULT::several;
    return r;
}

std::optional<std::vector<layout::FOUNDLAYOUT>> runlayoutsearch(
    layout::LAYOUTSEARCH& search, const std::function<bool(const layout::LAYOUTSEARCH&)>& progress)
{
    while (search.step())
        if (progress && !progress(search))
            return std::nullopt;
    return search.layouts();
}

bool takefoundlayout(RunEngine& engine, const std::vector<layout::FOUNDLAYOUT>& found)
{
    if (found.empty() || !layout::adoptlayout(engine, found.front()))
        return false;
    engine.setfoundlayout(found.front(), {found.begin() + 1, found.end()});
    return true;
}

VOLUMEOPENED openvolume(RunEngine& engine, const QString& root, std::optional<std::uint32_t> fstype,
                        const std::vector<layout::FOUNDLAYOUT>& found)
{
    engine.clearfoundlayout();
    const platform::VolumeSource source =
        root.isEmpty() ? platform::VolumeSource() : platform::sourceforletter(root.at(0));
    if (fstype == 4u) {
        // Laid out by the exFAT run itself when it begins.
        engine.setexfatsource(source);
        return VOLUMEOPENED::exfat;
    }
    engine.initdisk(root);
    if (engine.volumeready()) {
        engine.setexfatsource(std::nullopt);
        return VOLUMEOPENED::fat;
    }
    if (!found.empty()) {
        // Laid out from its directories; every later layout is an earlier
        // format's, recovered after it.
        engine.setexfatsource(std::nullopt);
        return takefoundlayout(engine, found) ? VOLUMEOPENED::found : VOLUMEOPENED::none;
    }
    // An exFAT volume has no FAT layout for the core: initdisk leaves it
    // unready without a word.
    const QByteArray latin = root.toLatin1();
    if (!fstype && !root.isEmpty() && engine.partitiontype(latin.constData()) == 4) {
        engine.setexfatsource(source);
        return VOLUMEOPENED::exfat;
    }
    engine.setexfatsource(std::nullopt);
    return VOLUMEOPENED::none;
}
