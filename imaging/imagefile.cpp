#include "imaging/imagefile.h"

#include "badsectors/mapfile.h"
#include "platform/outputfolder.h"
#include "platform/volumesource.h"

#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <cstdio>
#include <unistd.h>

namespace imaging {

namespace {

QString systemwords(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// Where a file of the image is made: its folder, opened as the output
// folder is, and its name there.
struct PLACE {
    platform::OUTFOLDER folder;
    QString name;
};

PLACE placeof(const QString& path)
{
    const QFileInfo info(path);
    return {platform::openoutput(info.absolutePath()), info.fileName()};
}

// Makes the file at place as the output folder makes every file; null,
// with errno, when it cannot.
std::FILE* createnew(const PLACE& place)
{
    errno = 0;
    std::FILE* file = platform::createfile(place.folder, place.name);
    if (!file && errno == 0)
        errno = place.folder.isopen() ? ENAMETOOLONG : ENOENT;
    return file;
}

// Ends imaging (every write queued made or given up) and closes the
// image; false, with errno, when the close failed.
bool closeimage(IMAGEFILE* image)
{
    platform::imagereads(QString(), -1);
    // No fsync: the image is as safe as any file written, and flushing a
    // whole card's worth of pages would lengthen the run for nothing.
    const bool closed = std::fclose(image->stream) == 0;
    image->stream = nullptr;
    image->fd = -1;
    return closed;
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
    image.size = platform::pathbytes(sourcepath);
    if (image.size == UINT64_MAX) {
        image.fault = IMAGEFAULT::notcreated;
        image.why = QStringLiteral("%1 cannot be opened to learn its size").arg(sourcepath);
        return image;
    }
    const PLACE place = placeof(file), mapplace = placeof(file + QStringLiteral(".map"));
    image.stream = createnew(place);
    // The map is made now, saying nothing was read: its name cannot be
    // taken before the end, and a run that dies leaves a map that sends
    // ddrescue over the whole card, never one that trusts the image.
    image.mapstream = image.stream ? createnew(mapplace) : nullptr;
    const badsectors::SECTORMAP none;
    const QByteArray untried = badsectors::mapfiletext(none, image.size);
    // Written with pwrite alone: nothing goes through the stream's buffer.
    if (!image.mapstream || ::ftruncate(::fileno(image.stream), off_t(image.size)) != 0 ||
        std::fwrite(untried.constData(), std::size_t(untried.size()), 1, image.mapstream) != 1 ||
        std::fflush(image.mapstream) != 0) {
        image.fault = errno == EEXIST ? IMAGEFAULT::exists : IMAGEFAULT::notcreated;
        image.why = systemwords(errno);
        if (image.mapstream) {
            std::fclose(image.mapstream);
            platform::removefile(mapplace.folder, mapplace.name);
        }
        if (image.stream) {
            std::fclose(image.stream);
            platform::removefile(place.folder, place.name);
        }
        image.stream = image.mapstream = nullptr;
        return image;
    }
    image.fd = ::fileno(image.stream);
    platform::imagereads(sourcepath, image.fd);
    return image;
}

QString finishimage(IMAGEFILE* image)
{
    if (image->fd < 0)
        return {};
    QString error;
    if (!closeimage(image) && platform::imagefault().isEmpty())
        error = QStringLiteral("%1: %2").arg(image->path, systemwords(errno));
    const QString mappath = image->path + QStringLiteral(".map");
    const badsectors::SECTORMAP none;
    const badsectors::SECTORMAP* map = platform::imagemap() ? platform::imagemap() : &none;
    const QByteArray text = badsectors::mapfiletext(*map, image->size);
    std::FILE* file = image->mapstream;
    image->mapstream = nullptr;
    errno = 0;
    const bool written = std::fseek(file, 0, SEEK_SET) == 0 && ::ftruncate(::fileno(file), 0) == 0 &&
                         std::fwrite(text.constData(), std::size_t(text.size()), 1, file) == 1 &&
                         std::fflush(file) == 0;
    int why = errno;
    const bool closed = std::fclose(file) == 0;
    if (!closed && written)
        why = errno;
    if (!written || !closed) {
        // A map cut short or empty under its final name misleads whoever
        // goes on from it: none is better, and the failure is told.
        const PLACE mapplace = placeof(mappath);
        platform::removefile(mapplace.folder, mapplace.name);
        return QStringLiteral("%1: %2").arg(mappath, systemwords(why));
    }
    return error;
}

void dropimage(IMAGEFILE* image)
{
    if (image->fd < 0)
        return;
    closeimage(image);
    std::fclose(image->mapstream);
    image->mapstream = nullptr;
    for (const QString& path : {image->path, image->path + QStringLiteral(".map")}) {
        const PLACE place = placeof(path);
        platform::removefile(place.folder, place.name);
    }
}

}  // namespace imaging
