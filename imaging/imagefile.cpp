#include "imaging/imagefile.h"

#include "badsectors/mapfile.h"
#include "platform/volumesource.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace imaging {

namespace {

QString systemwords(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// Creates path exclusively for writing; -1 with errno when it cannot.
int createnew(const QString& path)
{
    return ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
}

}  // namespace

IMAGEFILE startimage(const QString& file, const QString& sourcepath)
{
    IMAGEFILE image;
    image.path = file;
    const QFileInfo out(file), in(sourcepath);
    if (out.exists() && in.exists() && out.canonicalFilePath() == in.canonicalFilePath()) {
        image.fault = IMAGEFAULT::sourceitself;
        return image;
    }
    if (platform::directoryonpath(out.absolutePath(), sourcepath)) {
        image.fault = IMAGEFAULT::onsource;
        return image;
    }
    if (platform::pathstate(file) != platform::PathState::free ||
        platform::pathstate(file + QStringLiteral(".map")) != platform::PathState::free) {
        image.fault = IMAGEFAULT::exists;
        return image;
    }
    const platform::volhandle h = platform::openpath(sourcepath);
    int sourcefd = -1;
    std::uint64_t offset = 0;
    const bool sized = platform::descriptor(h, &sourcefd, &offset, &image.size) && image.size != UINT64_MAX;
    platform::closesource(h);
    if (!sized) {
        image.fault = IMAGEFAULT::notcreated;
        image.why = QStringLiteral("%1 cannot be opened to learn its size").arg(sourcepath);
        return image;
    }
    image.fd = createnew(file);
    if (image.fd < 0) {
        image.fault = errno == EEXIST ? IMAGEFAULT::exists : IMAGEFAULT::notcreated;
        image.why = systemwords(errno);
        return image;
    }
    if (::ftruncate(image.fd, off_t(image.size)) != 0) {
        image.fault = IMAGEFAULT::notcreated;
        image.why = systemwords(errno);
        ::close(image.fd);
        ::unlink(QFile::encodeName(file).constData());
        image.fd = -1;
        return image;
    }
    platform::imagereads(sourcepath, image.fd);
    return image;
}

QString finishimage(IMAGEFILE* image)
{
    if (image->fd < 0)
        return {};
    platform::imagereads(QString(), -1);
    // No fsync: the image is as safe as any file written, and flushing a
    // whole card's worth of pages would lengthen the run for nothing.
    QString error;
    if (::close(image->fd) != 0 && platform::imagefault().isEmpty())
        error = QStringLiteral("%1: %2").arg(image->path, systemwords(errno));
    image->fd = -1;
    const QString mappath = image->path + QStringLiteral(".map");
    const badsectors::SECTORMAP none;
    const badsectors::SECTORMAP* map = platform::imagemap() ? platform::imagemap() : &none;
    const QByteArray text = badsectors::mapfiletext(*map, image->size);
    const int fd = createnew(mappath);
    bool written = fd >= 0;
    for (qsizetype done = 0; written && done < text.size();) {
        const ssize_t put = ::write(fd, text.constData() + done, std::size_t(text.size() - done));
        if (put < 0 && errno == EINTR)
            continue;
        written = put > 0;
        done += put > 0 ? put : 0;
    }
    const int why = errno;
    if (fd >= 0 && ::close(fd) != 0 && written)
        return QStringLiteral("%1: %2").arg(mappath, systemwords(errno));
    if (!written)
        return QStringLiteral("%1: %2").arg(mappath, systemwords(why));
    return error;
}

}  // namespace imaging
