#include "badsectors/savemap.h"
#include "badsectors/mapfile.h"
#include "platform/outputfolder.h"
#include "scan/recoveredname.h"

#include <cstdio>

namespace badsectors {

QString saveunreadablemap(const QString& dir, platform::volhandle h, QString* error)
{
    const SECTORMAP* map = platform::sectormap(h);
    int fd = -1;
    std::uint64_t offset = 0, size = 0;
    if (!map || map->bad().empty() || !platform::descriptor(h, &fd, &offset, &size))
        return {};
    const platform::OUTFOLDER folder = platform::openoutput(dir);
    int n = 0;
    const QString name = firstfreename(
        [&] { return n++ == 0 ? QStringLiteral("unreadable.map") : QStringLiteral("unreadable(%1).map").arg(n - 1); },
        [&](const QString& c) { return platform::namestate(folder, c); });
    std::FILE* file = name.isEmpty() ? nullptr : platform::createfile(folder, name);
    const QByteArray text = mapfiletext(*map, size, offset);
    const bool written = file && std::fwrite(text.constData(), std::size_t(text.size()), 1, file) == 1;
    if (file && std::fclose(file) != 0 && written) {
        *error = QStringLiteral("Can not write %1.").arg(dir + name);
        return {};
    }
    if (!written) {
        *error = QStringLiteral("Can not write the map of unreadable sectors into %1.").arg(dir);
        return {};
    }
    return name;
}

}  // namespace badsectors
