#include "platform/scratch.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace platform {

std::intptr_t openscratch(const QString& dir)
{
    const QByteArray path = QFile::encodeName(dir);
    if (path.isEmpty())
        return -1;
    // Never linked where it can work; else named for a moment and unlinked
    // at once (vfat and the like refuse O_TMPFILE).
    int fd = ::open(path.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0)
        return fd;
    QByteArray name = path + "/.kov-scratch-XXXXXX";
    fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (::unlink(name.constData()) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void closescratch(std::intptr_t scratch)
{
    if (scratch >= 0)
        ::close(int(scratch));
}

namespace {

// All n bytes at at through one pread or pwrite after another.
template <class IO>
bool whole(std::intptr_t scratch, std::uint64_t at, std::uint64_t n, IO io)
{
    for (std::uint64_t done = 0; done < n;) {
        const ssize_t moved = io(int(scratch), done, n - done, off_t(at + done));
        if (moved < 0 && errno == EINTR)
            continue;
        if (moved <= 0)
            return false;
        done += std::uint64_t(moved);
    }
    return true;
}

}  // namespace

bool writescratch(std::intptr_t scratch, std::uint64_t at, const unsigned char* bytes, std::uint64_t n)
{
    return whole(scratch, at, n, [bytes](int fd, std::uint64_t done, std::uint64_t left, off_t where) {
        return ::pwrite(fd, bytes + done, left, where);
    });
}

bool readscratch(std::intptr_t scratch, std::uint64_t at, unsigned char* bytes, std::uint64_t n)
{
    return whole(scratch, at, n, [bytes](int fd, std::uint64_t done, std::uint64_t left, off_t where) {
        return ::pread(fd, bytes + done, left, where);
    });
}

std::uint64_t freespace(const QString& dir)
{
    struct statvfs st;
    if (::statvfs(QFile::encodeName(dir).constData(), &st) != 0)
        return 0;
    return std::uint64_t(st.f_bavail) * std::uint64_t(st.f_frsize);
}

}  // namespace platform
