#include "exfat/exfatrun.h"

#include "model/kovcore.h"

namespace exfat {

EXFATRUN::EXFATRUN(KOVCore& owner, bool withdeep) : core(owner), deep(withdeep) {}

EXFATRUN::~EXFATRUN()
{
    // The walk and the scan read through the volume, which reads through
    // the handle.
    scan.reset();
    walk.reset();
    // The core must not read through a handle closed here.
    if (handle && core.diskparm.hdisk == handle) {
        core.diskparm = DISKPARM();
        core.dbrparm = DBRPARM();
    }
    if (handle && handle != platform::invalidhandle())
        platform::closesource(handle);
}

QString EXFATRUN::begin(const platform::VolumeSource& source)
{
    handle = platform::opensource(source);
    if (handle == platform::invalidhandle()) {
        handle = nullptr;
        return QStringLiteral("disk open error!");
    }
    if (const QString why = volume.open(handle, source.size); !why.isEmpty())
        return why;
    // The saver and the content checks read files through the core's
    // layout: here the cluster heap. The FAT engine's own walk is not run.
    core.diskparm = volume.disk();
    core.dbrparm = DBRPARM();
    core.dbrparm.fstype = 4;
    core.dbrparm.bytespersector = std::uint16_t(volume.layout().sectorbytes());
    core.dbrparm.sectorspercluster = std::uint32_t(volume.clusterbytes() / volume.layout().sectorbytes());
    walk = std::make_unique<EXFATWALK>(volume);
    if (deep)
        scan = std::make_unique<EXFATDEEP>(volume);
    return QString();
}

bool EXFATRUN::holdsentries(std::uint64_t lcn) const
{
    const std::uint64_t cluster = lcn + 2;
    if (volume.allocated(cluster))
        return true;  // also every cluster outside the readable heap
    const auto c = std::uint32_t(cluster);
    return (walk && (walk->used(c) || walk->isdirectory(c))) || (scan && scan->holdssets(c));
}

EXFATRUNCOUNTS EXFATRUN::counts() const
{
    EXFATRUNCOUNTS c;
    if (walk)
        c.walk = walk->counts();
    if (scan) {
        c.deepclusters = scan->scannedclusters();
        c.deepsets = scan->setsfound();
        c.deepdropped = scan->dropped();
    }
    return c;
}

QStringList EXFATRUN::notes() const
{
    QStringList out = volume.notes;
    if (walk)
        out += walk->notes();
    if (scan)
        out += scan->notes();
    return out;
}

QString volumelabel(const platform::VolumeSource& source)
{
    const platform::volhandle handle = platform::opensource(source);
    if (handle == platform::invalidhandle())
        return QString();
    EXFATVOLUME volume;
    const QString label = volume.openroot(handle, source.size).isEmpty() ? volume.label : QString();
    platform::closesource(handle);
    return label;
}

}  // namespace exfat
