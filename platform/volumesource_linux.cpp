// Linux back end of the volume seam: image files and /sys/class/block devices,
// opened O_RDONLY, read with pread.
#include "platform/volumesource.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <map>

namespace platform {

namespace {

QStringList imagefiles;
bool blockdevicesenabled = true;
QMap<QChar, VolumeSource> lettertable;

// Handle ids count up from 1 and are never reused.
std::map<std::intptr_t, int> openfds;
std::intptr_t nexthandle = 1;

int fdof(volhandle h)
{
    auto it = openfds.find(reinterpret_cast<std::intptr_t>(h));
    return it == openfds.end() ? -1 : it->second;
}

QString readsysfile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(f.readAll()).trimmed();
}

bool hassubpartitions(const QDir& dev)
{
    const QString name = dev.dirName();
    for (const QString& entry : dev.entryList(QDir::Dirs | QDir::NoDotAndDotDot))
        if (entry.startsWith(name) && QFileInfo::exists(dev.filePath(entry + "/partition")))
            return true;
    return false;
}

// Block devices that can hold a FAT volume: partitions, and whole disks
// without partitions; never empty, ram, zram or unbacked loop devices.
QList<VolumeSource> blockdevices()
{
    QList<VolumeSource> out;
    QDir sys("/sys/class/block");
    QStringList names = sys.entryList(QDir::Dirs | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& name : names) {
        if (name.startsWith("ram") || name.startsWith("zram"))
            continue;
        const QString base = sys.filePath(name);
        const QDir dev(QFileInfo(base).canonicalFilePath());
        const std::uint64_t sectors = readsysfile(base + "/size").toULongLong();
        if (sectors == 0)
            continue;
        // A partition of a loop device (loop0p1) has no loop/ directory of
        // its own: only whole loop devices are judged by their backing file.
        const bool ispartition = QFileInfo::exists(base + "/partition");
        if (name.startsWith("loop") && !ispartition && readsysfile(base + "/loop/backing_file").isEmpty())
            continue;
        if (!ispartition && hassubpartitions(dev))
            continue;
        out.append({QString(), "/dev/" + name, sectors * 512});
    }
    return out;
}

}  // namespace

volhandle invalidhandle() { return reinterpret_cast<volhandle>(std::intptr_t(-1)); }

void setimagefiles(const QStringList& paths) { imagefiles = paths; }

void setblockdevicesenabled(bool enabled) { blockdevicesenabled = enabled; }

QList<VolumeSource> volumesources()
{
    QList<VolumeSource> all;
    for (const QString& path : imagefiles)
        all.append({QString(), path, std::uint64_t(QFileInfo(path).size())});
    if (blockdevicesenabled)
        all.append(blockdevices());

    lettertable.clear();
    QList<VolumeSource> out;
    char letter = 'C';
    for (VolumeSource s : all) {
        if (letter > 'Z')
            break;  // no drive letter left
        s.root = QString(QChar(letter)) + ":\\";
        lettertable.insert(QChar(letter), s);
        out.append(s);
        ++letter;
    }
    return out;
}

VolumeSource sourceforletter(QChar letter)
{
    return lettertable.value(letter.toUpper());
}

volhandle openpath(const QString& path)
{
    if (path.isEmpty())
        return invalidhandle();
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return invalidhandle();
    const std::intptr_t id = nexthandle++;
    openfds[id] = fd;
    return reinterpret_cast<volhandle>(id);
}

volhandle opensource(QChar letter)
{
    return openpath(sourceforletter(letter).path);
}

void closesource(volhandle h)
{
    auto it = openfds.find(reinterpret_cast<std::intptr_t>(h));
    if (it == openfds.end())
        return;
    ::close(it->second);
    openfds.erase(it);
}

bool sectorsize(volhandle h, std::uint32_t* bytes)
{
    const int fd = fdof(h);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0)
        return false;
    if (S_ISBLK(st.st_mode)) {
        int size = 0;
        if (ioctl(fd, BLKSSZGET, &size) != 0 || size <= 0)
            return false;
        *bytes = std::uint32_t(size);
        return true;
    }
    *bytes = 512;
    return true;
}

bool readat(volhandle h, std::uint64_t pos, std::uint32_t len, unsigned char* buf)
{
    const int fd = fdof(h);
    if (fd < 0 || pos > std::uint64_t(INT64_MAX))
        return false;
    ssize_t got;
    do {
        got = ::pread(fd, buf, len, off_t(pos));
    } while (got < 0 && errno == EINTR);
    return got >= 0 && std::uint64_t(got) == len;
}

namespace {

// The device number of the file system that holds path, or of its nearest
// existing ancestor.
bool fsdevice(const QString& path, dev_t* dev)
{
    QFileInfo info(QDir::cleanPath(QDir(path).absolutePath()));
    for (;;) {
        struct stat st;
        if (stat(QFile::encodeName(info.absoluteFilePath()).constData(), &st) == 0) {
            *dev = st.st_dev;
            return true;
        }
        const QString up = info.absolutePath();
        if (up == info.absoluteFilePath())
            return false;
        info = QFileInfo(up);
    }
}

// Block devices whose loop backing file is the image at path.
QList<dev_t> loopdevicesof(const QString& image)
{
    QList<dev_t> out;
    const QString canon = QFileInfo(image).canonicalFilePath();
    QDir sys("/sys/class/block");
    for (const QString& name : sys.entryList(QDir::Dirs | QDir::System | QDir::NoDotAndDotDot)) {
        if (!name.startsWith("loop"))
            continue;
        const QString backing = readsysfile(sys.filePath(name) + "/loop/backing_file");
        if (backing.isEmpty() || QFileInfo(backing).canonicalFilePath() != canon)
            continue;
        const QStringList majmin = readsysfile(sys.filePath(name) + "/dev").split(':');
        if (majmin.size() == 2)
            out.append(makedev(majmin[0].toUInt(), majmin[1].toUInt()));
    }
    return out;
}

}  // namespace

bool directoryonsource(const QString& dir, QChar letter)
{
    const VolumeSource src = sourceforletter(letter);
    dev_t target;
    if (src.path.isEmpty() || !fsdevice(dir, &target))
        return false;
    struct stat st;
    if (stat(QFile::encodeName(src.path).constData(), &st) != 0)
        return false;
    if (S_ISBLK(st.st_mode))
        return st.st_rdev == target;
    for (dev_t loop : loopdevicesof(src.path))
        if (loop == target)
            return true;
    return false;
}

}  // namespace platform

namespace platform {

bool forbiddennamebyte(unsigned char byte) { return byte == '/' || byte == 0; }

bool pathtaken(const QString& path)
{
    struct stat st;
    return lstat(QFile::encodeName(path).constData(), &st) == 0 || errno != ENOENT;
}

bool setmodificationtime(const QString& path, std::int64_t utcseconds)
{
    const timespec times[2] = {{0, UTIME_OMIT}, {time_t(utcseconds), 0}};
    return utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

}  // namespace platform
