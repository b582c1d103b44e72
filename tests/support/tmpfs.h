// A tmpfs mounted for one test (root only): a small one fills up, a
// read-only one refuses every file. Unmounted when it goes.
#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>

#include <sys/mount.h>
#include <unistd.h>

namespace testsupport {

class Tmpfs {
public:
    // size as tmpfs takes it ("2m").
    Tmpfs(const QString& dir, const QByteArray& size, bool readonly = false) : where(QFile::encodeName(dir))
    {
        const QByteArray options = "size=" + size;
        mounted = geteuid() == 0 && QDir().mkpath(dir) &&
                  ::mount("tmpfs", where.constData(), "tmpfs", readonly ? MS_RDONLY : 0, options.constData()) == 0;
    }
    ~Tmpfs()
    {
        if (mounted)
            ::umount2(where.constData(), MNT_DETACH);
    }
    Tmpfs(const Tmpfs&) = delete;
    Tmpfs& operator=(const Tmpfs&) = delete;
    bool ok() const { return mounted; }

private:
    QByteArray where;
    bool mounted = false;
};

}  // namespace testsupport
