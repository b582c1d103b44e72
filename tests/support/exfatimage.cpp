#include "support/exfatimage.h"

#include "support/fatbuilder.h"
#include "support/mtoolsimage.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <unistd.h>

namespace testsupport {

namespace {

std::uint16_t setsum(const unsigned char* set, int entries)
{
    std::uint16_t sum = 0;
    for (int i = 0; i < entries * 32; ++i)
        if (i != 2 && i != 3)
            sum = std::uint16_t(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + (i % 32 == 0 ? set[i] | 0x80 : set[i]));
    return sum;
}

}  // namespace

bool makeexfat(const QString& image, std::uint64_t sizebytes, std::uint32_t clusterbytes, const QStringList& extra)
{
    QFile f(image);
    if (!f.exists()) {
        if (!f.open(QIODevice::WriteOnly) || !f.resize(qint64(sizebytes)))
            return false;
        f.close();
    }
    return runtool("mkfs.exfat", QStringList{"-c", QString::number(clusterbytes)} + extra + QStringList{image});
}

ExfatMount::ExfatMount(const QString& image)
{
    if (geteuid() != 0) {
        reason = "the FUSE driver's loop device needs root";
        return;
    }
    QByteArray out;
    if (!runtool("losetup", {"-f", "--show", image}, &out)) {
        reason = "losetup: " + QString::fromStdString(lasterror());
        return;
    }
    device = QString::fromLocal8Bit(out).trimmed();
    const QString where = QDir::tempPath() + "/kovexfat-" + QString::number(getpid()) + "-" +
                          QFileInfo(image).fileName();
    QDir().mkpath(where);
    if (!runtool("mount.exfat-fuse", {device, where})) {
        reason = "mount.exfat-fuse: " + QString::fromStdString(lasterror());
        QProcess::execute("losetup", {"-d", device});
        device.clear();
        QDir().rmdir(where);
        return;
    }
    dir = where;
}

ExfatMount::~ExfatMount() { unmount(); }

bool ExfatMount::write(const QString& relative, const QByteArray& data, bool append) const
{
    QFile f(path(relative));
    if (!f.open(append ? QIODevice::Append : QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return f.write(data) == data.size() && f.flush();
}

bool ExfatMount::mkdir(const QString& relative) const { return QDir().mkdir(path(relative)); }

bool ExfatMount::remove(const QString& relative) const
{
    const QString p = path(relative);
    return QFileInfo(p).isDir() ? QDir(p).removeRecursively() : QFile::remove(p);
}

bool ExfatMount::unmount()
{
    bool ok = true;
    if (!dir.isEmpty()) {
        ok = runtool("umount", {dir});
        // The driver leaves when the mount goes; its last writes must be
        // on the image before anyone reads it.
        for (int i = 0; i < 100 && QProcess::execute("pgrep", {"-f", "mount.exfat-fuse " + device}) == 0; ++i)
            usleep(50000);
        QDir().rmdir(dir);
        dir.clear();
    }
    if (!device.isEmpty()) {
        ok = QProcess::execute("losetup", {"-d", device}) == 0 && ok;
        device.clear();
    }
    return ok;
}

ExfatPatch::ExfatPatch(const QString& image) : path(image)
{
    QFile f(image);
    if (!f.open(QIODevice::ReadOnly))
        return;
    bytes = f.readAll();
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.constData());
    if (bytes.size() < 512 || bytes.mid(3, 8) != "EXFAT   ")
        return;
    sectorbytes = std::uint64_t(1) << b[108];
    fatstart = get32(b + 80) * sectorbytes;
    heapstart = get32(b + 88) * sectorbytes;
    root = get32(b + 96);
    clusterbytes = std::uint32_t(sectorbytes << b[109]);
    // The bitmap entry of the root.
    for (std::uint64_t o = clusteroffset(root); o < clusteroffset(root) + clusterbytes; o += 32)
        if (b[o] == 0x81) {
            bitmapstart = clusteroffset(get32(b + o + 20));
            break;
        }
}

std::uint32_t ExfatPatch::heapclusters() const
{
    return get32(reinterpret_cast<const unsigned char*>(bytes.constData()) + 92);
}

bool ExfatPatch::save() const
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

std::uint64_t ExfatPatch::clusteroffset(std::uint32_t cluster) const
{
    return heapstart + std::uint64_t(cluster - 2) * clusterbytes;
}

std::uint32_t ExfatPatch::fat(std::uint32_t cluster) const
{
    return get32(reinterpret_cast<const unsigned char*>(bytes.constData()) + fatstart + 4 * std::uint64_t(cluster));
}

void ExfatPatch::setfat(std::uint32_t cluster, std::uint32_t value) { put32(at(fatstart + 4 * std::uint64_t(cluster)), value); }

bool ExfatPatch::bit(std::uint32_t cluster) const
{
    return (bytes[qsizetype(bitmapstart + (cluster - 2) / 8)] >> ((cluster - 2) % 8)) & 1;
}

void ExfatPatch::setbit(std::uint32_t cluster, bool on)
{
    unsigned char* p = at(bitmapstart + (cluster - 2) / 8);
    const auto mask = std::uint8_t(1u << ((cluster - 2) % 8));
    *p = on ? std::uint8_t(*p | mask) : std::uint8_t(*p & ~mask);
}

std::uint64_t ExfatPatch::findset(const QString& name, std::uint32_t folderfirst) const
{
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.constData());
    std::uint32_t cluster = folderfirst ? folderfirst : root;
    for (std::uint32_t step = 0; step < heapclusters() && cluster >= 2 && cluster - 2 < heapclusters(); ++step) {
        const std::uint64_t start = clusteroffset(cluster);
        for (std::uint64_t o = start; o + 96 <= start + clusterbytes; o += 32) {
            if ((b[o] | 0x80) != 0x85)
                continue;
            const int length = b[o + 32 + 3];
            QString found;
            for (int k = 0; k < length; ++k)
                found.append(QChar(get16(b + o + 64 + 32 * (k / 15) + 2 + 2 * (k % 15))));
            if (found == name)
                return o;
        }
        cluster = fat(cluster);
    }
    return 0;
}

void ExfatPatch::fixbootchecksum(int region)
{
    unsigned char* r = at(std::uint64_t(region) * 12 * sectorbytes);
    std::uint32_t sum = 0;
    for (std::uint64_t i = 0; i < 11 * sectorbytes; ++i)
        if (i != 106 && i != 107 && i != 112)
            sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + r[i];
    for (std::uint64_t i = 0; i < sectorbytes; i += 4)
        put32(r + 11 * sectorbytes + i, sum);
}

void ExfatPatch::fixchecksum(std::uint64_t offset)
{
    unsigned char* set = at(offset);
    put16(set + 2, setsum(set, set[1] + 1));
}

int ExfatPatch::writeset(std::uint64_t offset, const QString& name, bool inuse, bool directory, bool nofatchain,
                         std::uint32_t firstcluster, std::uint64_t validlength, std::uint64_t datalength)
{
    const int names = int((name.size() + 14) / 15);
    const int entries = 2 + names;
    unsigned char* set = at(offset);
    std::fill(set, set + 32 * entries, 0);
    set[0] = 0x85;
    set[1] = std::uint8_t(entries - 1);
    put16(set + 4, directory ? 0x10 : 0x20);
    // 2020-09-13 12:26:40 local, 10 ms part 0.
    const std::uint32_t stamp = std::uint32_t(fatdate(2020, 9, 13)) << 16 | fattime(12, 26, 40);
    put32(set + 8, stamp);
    put32(set + 12, stamp);
    put32(set + 16, stamp);
    unsigned char* stream = set + 32;
    stream[0] = 0xC0;
    stream[1] = std::uint8_t(0x01 | (nofatchain ? 0x02 : 0));
    stream[3] = std::uint8_t(name.size());
    put32(stream + 8, std::uint32_t(validlength));
    put32(stream + 12, std::uint32_t(validlength >> 32));
    put32(stream + 20, firstcluster);
    put32(stream + 24, std::uint32_t(datalength));
    put32(stream + 28, std::uint32_t(datalength >> 32));
    for (int k = 0; k < names; ++k) {
        unsigned char* e = set + 64 + 32 * k;
        e[0] = 0xC1;
        for (int c = 0; c < 15 && k * 15 + c < name.size(); ++c)
            put16(e + 2 + 2 * c, name.at(k * 15 + c).unicode());
    }
    fixchecksum(offset);
    if (!inuse)
        for (int k = 0; k < entries; ++k)
            set[32 * k] &= 0x7F;
    return entries;
}

void ExfatPatch::writecluster(std::uint32_t cluster, const QByteArray& data)
{
    std::copy(data.cbegin(), data.cbegin() + std::min<qsizetype>(data.size(), clusterbytes), at(clusteroffset(cluster)));
}

}  // namespace testsupport
