#include "cardimage.h"

#include "mtoolsimage.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>

namespace testsupport {

bool makecard(const QString& image, int fatbits, std::uint64_t sizebytes, int sectorspercluster, int files,
              QList<CardFile>* out, std::uint32_t seed, std::uint64_t leading)
{
    out->clear();
    if (!makefat(image, fatbits, sizebytes, sectorspercluster))
        return false;
    QTemporaryDir local;
    if (leading > 0) {
        CardFile lead{QStringLiteral("LEAD.BIN"), patterndata(leading, seed * 100000 + 99999)};
        if (!writefile(local.filePath(QStringLiteral("lead")), lead.data) ||
            !mcopy(image, local.filePath(QStringLiteral("lead")), lead.path))
            return false;
        out->append(lead);
    }
    const QStringList dirs{QStringLiteral("DCIM"), QStringLiteral("DCIM/100CAMERA"), QStringLiteral("DOCS"),
                           QStringLiteral("DOCS/2019"), QStringLiteral("DOCS/2019/Letters"),
                           QStringLiteral("DOCS/2020"), QStringLiteral("DOCS/2020/Invoices")};
    for (const QString& d : dirs)
        if (!mmd(image, d))
            return false;
    const QStringList homes{QStringLiteral("DCIM/100CAMERA"), QStringLiteral("DOCS/2019/Letters"),
                            QStringLiteral("DOCS/2020/Invoices"), QStringLiteral("DOCS/2019"), QString()};
    for (int i = 0; i < files; ++i) {
        // Sessions interleave the folders, so their clusters interleave.
        const QString home = homes[i % homes.size()];
        const bool photo = home.startsWith(QLatin1String("DCIM"));
        const QString name = photo ? QStringLiteral("IMG_%1.JPG").arg(i, 4, 10, QLatin1Char('0'))
                                   : QStringLiteral("Document number %1.txt").arg(i);
        const std::uint64_t size = 700 + (std::uint64_t(i) * 7919 + seed * 104729) % (photo ? 60000 : 9000);
        CardFile f{home.isEmpty() ? name : home + QLatin1Char('/') + name, patterndata(size, seed * 100000 + i)};
        const QString file = local.filePath(QStringLiteral("f"));
        if (!writefile(file, f.data) || !mcopy(image, file, f.path))
            return false;
        out->append(f);
    }
    for (int i = 0; i < out->size(); i += 5) {
        if (!mdel(image, (*out)[i].path))
            return false;
        (*out)[i].deleted = true;
    }
    return true;
}

QMap<QString, QByteArray> outputtree(const QString& dir)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDirIterator::Subdirectories);
    const QDir base(dir);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile f(path);
        files.insert(base.relativeFilePath(path), f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray());
    }
    return files;
}

bool overwrite(const QString& image, std::uint64_t offset, std::uint64_t length, int fill)
{
    QFile f(image);
    if (!f.open(QIODevice::ReadWrite) || !f.seek(qint64(offset)))
        return false;
    const QByteArray bytes = fill == 0 ? QByteArray(qsizetype(length), '\0') : patterndata(length, std::uint32_t(fill));
    return f.write(bytes) == qint64(bytes.size());
}

BootGeometry bootgeometry(const QString& image)
{
    QFile f(image);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    const QByteArray b = f.read(512);
    if (b.size() < 512)
        return {};
    auto u16 = [&](int at) { return std::uint64_t(std::uint8_t(b[at])) | std::uint64_t(std::uint8_t(b[at + 1])) << 8; };
    BootGeometry g;
    g.sectorbytes = u16(11);
    g.fatstart = u16(14) * g.sectorbytes;
    g.fatbytes = (u16(22) != 0 ? u16(22) : u16(36) | u16(38) << 16) * g.sectorbytes;
    const std::uint64_t rootsectors = g.sectorbytes ? (u16(17) * 32 + g.sectorbytes - 1) / g.sectorbytes : 0;
    g.datastart = g.fatstart + std::uint8_t(b[16]) * g.fatbytes + rootsectors * g.sectorbytes;
    g.clustersize = std::uint64_t(std::uint8_t(b[13])) * g.sectorbytes;
    return g;
}

}  // namespace testsupport
