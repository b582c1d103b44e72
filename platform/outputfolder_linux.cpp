// The output folders on Linux: O_PATH descriptors of folders, *at calls
// relative to them, O_NOFOLLOW on every step.
#include "platform/outputfolder.h"

#include <QFile>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

OUTFOLDER::OUTFOLDER(OUTFOLDER&& other) noexcept : native(other.native), where(std::move(other.where))
{
    other.native = -1;
}

OUTFOLDER& OUTFOLDER::operator=(OUTFOLDER&& other) noexcept
{
    if (this != &other) {
        if (native >= 0)
            ::close(int(native));
        native = other.native;
        where = std::move(other.where);
        other.native = -1;
    }
    return *this;
}

OUTFOLDER::~OUTFOLDER()
{
    if (native >= 0)
        ::close(int(native));
}

bool pathfits(const QString& path, int reserve) { return QFile::encodeName(path).size() + reserve < PATH_MAX; }

OUTFOLDER openoutput(const QString& dir)
{
    QString path = dir;
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    const int fd = ::open(QFile::encodeName(dir).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    return fd < 0 ? OUTFOLDER() : OUTFOLDER(fd, path);
}

OUTFOLDER enterfolder(const OUTFOLDER& parent, const QString& name, bool make, FOLDERENTRY* result)
{
    *result = FOLDERENTRY::failed;
    const QString path = parent.path() + name + QLatin1Char('/');
    if (!parent.isopen() || name.isEmpty() || !pathfits(path))
        return OUTFOLDER();
    const int at = int(parent.handle());
    const QByteArray encoded = QFile::encodeName(name);
    if (make && ::mkdirat(at, encoded.constData(), 0777) != 0 && errno != EEXIST)
        return OUTFOLDER();
    const int fd = ::openat(at, encoded.constData(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        *result = FOLDERENTRY::entered;
        return OUTFOLDER(fd, path);
    }
    struct stat st;
    if (::fstatat(at, encoded.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        *result = S_ISLNK(st.st_mode) ? FOLDERENTRY::link : S_ISDIR(st.st_mode) ? FOLDERENTRY::failed
                                                                                   : FOLDERENTRY::taken;
    return OUTFOLDER();
}

PathState namestate(const OUTFOLDER& folder, const QString& name)
{
    if (!folder.isopen() || !pathfits(folder.path() + name))
        return PathState::unknown;
    struct stat st;
    if (::fstatat(int(folder.handle()), QFile::encodeName(name).constData(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        return PathState::taken;
    return errno == ENOENT ? PathState::free : PathState::unknown;
}

std::FILE* createfile(const OUTFOLDER& folder, const QString& name)
{
    if (!folder.isopen() || !pathfits(folder.path() + name))
        return nullptr;
    const int fd = ::openat(int(folder.handle()), QFile::encodeName(name).constData(),
                            O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    std::FILE* file = ::fdopen(fd, "wb");
    if (!file)
        ::close(fd);
    return file;
}

bool setmodificationtime(const OUTFOLDER& folder, const QString& name, std::int64_t utcseconds,
                         std::int32_t nanoseconds)
{
    const timespec times[2] = {{0, UTIME_OMIT}, {time_t(utcseconds), long(nanoseconds)}};
    return folder.isopen() && ::utimensat(int(folder.handle()), QFile::encodeName(name).constData(), times,
                                          AT_SYMLINK_NOFOLLOW) == 0;
}

bool movefile(const OUTFOLDER& from, const QString& name, const OUTFOLDER& to, const QString& newname)
{
    if (!from.isopen() || !to.isopen() || !pathfits(to.path() + newname))
        return false;
    const QByteArray source = QFile::encodeName(name);
    const QByteArray target = QFile::encodeName(newname);
    const int a = int(from.handle());
    const int b = int(to.handle());
    if (::renameat2(a, source.constData(), b, target.constData(), RENAME_NOREPLACE) == 0)
        return true;
    // File systems without RENAME_NOREPLACE: a hard link never replaces
    // either.
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    if (::linkat(a, source.constData(), b, target.constData(), 0) == 0)
        return ::unlinkat(a, source.constData(), 0) == 0;
    // Nor links (FAT, exFAT, SMB): only another writer in the same folder
    // in the instant between test and rename could be replaced.
    if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS)
        return false;
    struct stat st;
    if (::fstatat(b, target.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT)
        return false;
    return ::renameat(a, source.constData(), b, target.constData()) == 0;
}

bool removefile(const OUTFOLDER& folder, const QString& name)
{
    return folder.isopen() && ::unlinkat(int(folder.handle()), QFile::encodeName(name).constData(), 0) == 0;
}

namespace {

QString reason(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

}  // namespace

QString makeoutput(const QString& dir)
{
    const QByteArray path = QFile::encodeName(dir);
    struct stat st;
    if (::stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode))
        return {};
    // Each missing folder from the top down, as mkdir -p.
    for (qsizetype at = 1; at <= path.size(); ++at) {
        if (at < path.size() && path[at] != '/')
            continue;
        const QByteArray part = path.left(at);
        if (part.endsWith('/'))
            continue;
        if (::mkdir(part.constData(), 0777) == 0)
            continue;
        const int error = errno;
        if (error == EEXIST && ::stat(part.constData(), &st) == 0 && S_ISDIR(st.st_mode))
            continue;
        return QFile::decodeName(part) + QStringLiteral(": ") + reason(error == EEXIST ? ENOTDIR : error);
    }
    return {};
}

QString probeoutput(const QString& dir)
{
    const OUTFOLDER folder = openoutput(dir);
    if (!folder.isopen())
        return reason(errno);
    const int at = int(folder.handle());
    // A name nothing else uses; one left by a run that was killed in the
    // instant between making and removing it is passed over.
    for (int n = 0; n < 100; ++n) {
        const QByteArray name = ".kov-probe-" + QByteArray::number(::getpid()) + '-' + QByteArray::number(n);
        const int fd = ::openat(at, name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return reason(errno);
        }
        // One byte, so that a full disk shows before the first file.
        const bool written = ::write(fd, "k", 1) == 1;
        const int error = written ? 0 : errno;
        const bool closed = ::close(fd) == 0;
        const int closeerror = closed ? 0 : errno;
        ::unlinkat(at, name.constData(), 0);
        if (!written)
            return reason(error);
        if (!closed)
            return reason(closeerror);
        return {};
    }
    return reason(EEXIST);
}

}  // namespace platform
